// What Wine lacks, stood in for a test or a bench: a per-program DLL
// override, and the WTSAPI32 double in the system folder.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace e2e {

// A DLL override for these programs only: "native,builtin" takes a DLL of
// the exe's folder first, as Windows takes a DLL that is not a known one
// (Wine would otherwise always take its built-in one); "" disables the DLL.
// Wine reads the override from its per-program registry key when a process
// starts (a child does not get WINEDLLOVERRIDES from its parent's Windows
// environment).
class DllOverride {
public:
    DllOverride(std::vector<std::wstring> exes, std::vector<const wchar_t*> dlls, const std::wstring& value)
        : exes_(std::move(exes)) {
        for (const std::wstring& exe : exes_) {
            for (const wchar_t* dll : dlls)
                RegSetKeyValueW(HKEY_CURRENT_USER, Key(exe).c_str(), dll, REG_SZ, value.c_str(),
                                static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
        }
    }
    DllOverride(const DllOverride&) = delete;
    DllOverride& operator=(const DllOverride&) = delete;
    ~DllOverride() {
        for (const std::wstring& exe : exes_) RegDeleteTreeW(HKEY_CURRENT_USER, AppKey(exe).c_str());
    }

private:
    static std::wstring AppKey(const std::wstring& exe) { return L"Software\\Wine\\AppDefaults\\" + exe; }
    static std::wstring Key(const std::wstring& exe) { return AppKey(exe) + L"\\DllOverrides"; }
    std::vector<std::wstring> exes_;
};

// WTSAPI32.dll's test double (wts_double.dll, see there) in the system
// folder, taken by the copies of velmo named velmo_wts.exe and
// velmoc_wts.exe alone (Wine's own WTSSendMessageW is a stub and Wine has
// one session); the original back afterwards. version: the Windows version
// Wine gives those copies ("win10", "win7"); dll_dir: where the double lies.
class WtsDouble {
public:
    explicit WtsDouble(const wchar_t* version = L"win10", const std::wstring& dll_dir = ExeDir())
        : override_({L"velmo_wts.exe", L"velmoc_wts.exe"}, {L"wtsapi32"}, L"native") {
        for (const wchar_t* exe : {L"velmo_wts.exe", L"velmoc_wts.exe"})
            RegSetKeyValueW(HKEY_CURRENT_USER, (std::wstring(L"Software\\Wine\\AppDefaults\\") + exe).c_str(),
                            L"Version", REG_SZ, version, static_cast<DWORD>((wcslen(version) + 1) * sizeof(wchar_t)));
        wchar_t system[MAX_PATH] = {};
        GetSystemDirectoryW(system, MAX_PATH);
        dll_ = std::wstring(system) + L"\\wtsapi32.dll";
        saved_ = dll_ + L".velmo-saved";
        installed_ = MoveFileExW(dll_.c_str(), saved_.c_str(), MOVEFILE_REPLACE_EXISTING) &&
                     CopyFileW((dll_dir + L"\\wts_double.dll").c_str(), dll_.c_str(), FALSE);
    }
    WtsDouble(const WtsDouble&) = delete;
    WtsDouble& operator=(const WtsDouble&) = delete;
    ~WtsDouble() { MoveFileExW(saved_.c_str(), dll_.c_str(), MOVEFILE_REPLACE_EXISTING); }
    bool installed() const { return installed_; }

private:
    DllOverride override_;
    std::wstring dll_, saved_;
    bool installed_ = false;
};

// The double's sessions (VELMO_WTS_SESSIONS) for n active sessions 1..n,
// each with its own user.
inline std::wstring ActiveSessions(int n) {
    std::wstring sessions;
    for (int id = 1; id <= n; ++id)
        sessions += (id > 1 ? L";" : L"") + std::to_wstring(id) + L":active:WINE\\u" + std::to_wstring(id) + L":-";
    return sessions;
}

}  // namespace e2e
