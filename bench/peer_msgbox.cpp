// The bare peer: one MessageBoxW call with the text and caption given.
#include <windows.h>
#include <shellapi.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc < 3) return 87;
    return MessageBoxW(GetDesktopWindow(), argv[1], argv[2], MB_YESNO | MB_ICONQUESTION | MB_SETFOREGROUND);
}
