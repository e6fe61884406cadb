// A command for Run's tests and bench: sleeps, says so, and exits with a
// given code.
//   sleeper.exe <milliseconds> <exit code> [anything]
// Writes "sleeper <pid> starts" to stdout, and where VELMO_SLEEPER_RECORD
// names a file, records there (UTF-8) its raw command line, its process id,
// whether its window station is shown ("visible" or "unseen") and its own
// path (which of several copies ran).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    const DWORD ms = static_cast<DWORD>(wcstoul(argv[1], nullptr, 10));
    const int code = _wtoi(argv[2]);
    printf("sleeper %lu starts\n", static_cast<unsigned long>(GetCurrentProcessId()));
    fflush(stdout);
    wchar_t record[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"VELMO_SLEEPER_RECORD", record, MAX_PATH)) {
        USEROBJECTFLAGS flags{};
        DWORD needed = 0;
        GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof flags, &needed);
        wchar_t self[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring text = std::wstring(GetCommandLineW()) + L"\n" + std::to_wstring(GetCurrentProcessId()) + L"\n" +
                            ((flags.dwFlags & WSF_VISIBLE) ? L"visible" : L"unseen") + L"\n" + self + L"\n";
        std::string bytes(text.size() * 3 + 1, '\0');
        int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0],
                                    static_cast<int>(bytes.size()), nullptr, nullptr);
        HANDLE f = CreateFileW(record, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD put = 0;
        if (f != INVALID_HANDLE_VALUE) {
            WriteFile(f, bytes.data(), static_cast<DWORD>(n > 0 ? n : 0), &put, nullptr);
            CloseHandle(f);
        }
    }
    Sleep(ms);
    return code;
}
