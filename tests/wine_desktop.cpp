// Keeps Wine's desktop up while the scripts run tests or programs. Wine ends
// its desktop process about a second after the last program on the desktop
// has gone; the next program starts it again and hands it its own standard
// output, which then stays open as long as the desktop runs (a test's pipe,
// which CTest or a shell's $(...) waits on). The scripts start this program
// with its output detached; it ends with the wineserver.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // Joins the desktop (and starts it when there is none).
    GetDesktopWindow();
    Sleep(INFINITE);
    return 0;
}
