// Every test program marks that it got as far as its own code: scripts/winerun
// names a file in VELMO_STARTED_MARK, and a run that ends without it never
// started (winerun then says why instead of letting a test fail silently).
// The name is read as narrow text so that winerun finds it in the exe.
#include <windows.h>

namespace {

struct StartedMark {
    StartedMark() {
        char path[MAX_PATH];
        DWORD n = GetEnvironmentVariableA("VELMO_STARTED_MARK", path, MAX_PATH);
        if (n == 0 || n >= MAX_PATH) return;
        HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};
const StartedMark kMark;

}  // namespace
