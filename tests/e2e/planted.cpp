// A stand-in for a DLL that someone dropped beside velmo.exe (ODBC32.dll,
// WTSAPI32.dll, USERENV.dll: one .def file each): loading it leaves
// planted.marker beside it. Its exports only fill the names and ordinals.
#include <windows.h>

#include "lib/owner.h"

extern "C" {
int Stub2() { return -1; }
int Stub15() { return -1; }
int Stub75() { return -1; }
int Stub110() { return -1; }
}

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    wchar_t path[MAX_PATH] = {};
    DWORD n = GetModuleFileNameW(self, path, MAX_PATH);
    while (n > 0 && path[n - 1] != L'\\') --n;
    lstrcpyW(path + n, L"planted.marker");
    kt::unique_handle marker(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    return TRUE;
}
