// Imports WTSAPI32.dll and USERENV.dll the ordinary way (static imports,
// looked for beside the exe first): the control that shows planted copies
// would be loaded.
#include <windows.h>

#include <userenv.h>
#include <wtsapi32.h>

int main(int argc, char**) {
    // Referenced, so that the imports exist; never called.
    BOOL(WINAPI * volatile token)(ULONG, PHANDLE) = &WTSQueryUserToken;
    BOOL(WINAPI * volatile env)(LPVOID*, HANDLE, BOOL) = &CreateEnvironmentBlock;
    if (argc > 99) token(0, nullptr), env(nullptr, nullptr, FALSE);
    return 0;
}
