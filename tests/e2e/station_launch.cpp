// Starts a program where a SYSTEM job puts it: in a window station of its
// own that no display shows (no WSF_VISIBLE), as a service's is.
//   station_launch.exe [--visible] <pid file> <command line>
// --visible starts it on this program's own desktop instead (the bench's
// direct run, started the same way).
// The program's process id goes to the pid file (written once it runs); it
// gets this program's standard handles, and its exit code is this
// program's. 2 when the station, its desktop or the process cannot be made.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>

#include "lib/owner.h"

namespace {

// The rest of the command line after n arguments, as written.
const wchar_t* SkipArgs(const wchar_t* p, int n) {
    for (int i = 0; i < n; ++i) {
        while (*p == L' ' || *p == L'\t') ++p;
        bool quoted = false;
        for (; *p && (quoted || (*p != L' ' && *p != L'\t')); ++p) {
            if (*p == L'"') quoted = !quoted;
        }
    }
    while (*p == L' ' || *p == L'\t') ++p;
    return p;
}

HANDLE Inheritable(DWORD which) {
    HANDLE h = GetStdHandle(which), copy = nullptr;
    if (!h || h == INVALID_HANDLE_VALUE) return nullptr;
    DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS);
    return copy;
}

}  // namespace

int wmain() {
    int argc = 0;
    kt::unique_local argv(CommandLineToArgvW(GetCommandLineW(), &argc));
    wchar_t** args = static_cast<wchar_t**>(argv.get());
    bool visible = argc > 1 && wcscmp(args[1], L"--visible") == 0;
    int first = visible ? 2 : 1;
    const wchar_t* rest = SkipArgs(GetCommandLineW(), first + 1);
    std::wstring pid_file = argc > first + 1 ? args[first] : L"";
    if (pid_file.empty() || !*rest) {
        fprintf(stderr, "usage: station_launch.exe [--visible] <pid file> <command line>\n");
        return 2;
    }

    wchar_t name[64];
    swprintf(name, 64, L"velmo-unseen-%lu", static_cast<unsigned long>(GetCurrentProcessId()));
    // Not visible: no WSF_VISIBLE in the flags (the second argument).
    HWINSTA station = CreateWindowStationW(name, 0, WINSTA_ALL_ACCESS, nullptr);
    if (!station) {
        fprintf(stderr, "CreateWindowStationW failed: %lu\n", GetLastError());
        return 2;
    }
    // A desktop is made in the process's own station.
    HWINSTA own = GetProcessWindowStation();
    SetProcessWindowStation(station);
    HDESK desktop = CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    DWORD desktop_error = GetLastError();
    SetProcessWindowStation(own);
    if (!desktop) {
        fprintf(stderr, "CreateDesktopW failed: %lu\n", desktop_error);
        return 2;
    }

    std::wstring where = visible ? L"WinSta0\\Default" : std::wstring(name) + L"\\Default";
    kt::unique_handle in(Inheritable(STD_INPUT_HANDLE)), out(Inheritable(STD_OUTPUT_HANDLE)),
        err(Inheritable(STD_ERROR_HANDLE));
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.lpDesktop = &where[0];
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in.get();
    si.hStdOutput = out.get();
    si.hStdError = err.get();
    std::wstring command = rest;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        DWORD error = GetLastError();
        // Wine reports a child that ended before its start was done so.
        fprintf(stderr, "CreateProcessW failed: %lu%s\n", static_cast<unsigned long>(error),
                error == ERROR_INTERNAL_ERROR ? " (the new process ended during its start)" : "");
        return 2;
    }
    kt::unique_handle process(pi.hProcess), thread(pi.hThread);
    in.reset();
    out.reset();
    err.reset();
    kt::unique_handle file(CreateFileW(pid_file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0,
                                       nullptr));
    char pid[16];
    DWORD n = static_cast<DWORD>(snprintf(pid, sizeof pid, "%lu", static_cast<unsigned long>(pi.dwProcessId)));
    DWORD put = 0;
    if (file) WriteFile(file.get(), pid, n, &put, nullptr);
    file.reset();
    WaitForSingleObject(process.get(), INFINITE);
    DWORD code = 2;
    GetExitCodeProcess(process.get(), &code);
    CloseDesktop(desktop);
    CloseWindowStation(station);
    return static_cast<int>(code);
}
