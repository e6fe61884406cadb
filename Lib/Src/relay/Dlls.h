// The system DLLs that only the relay needs, loaded by their System32 path
// when it runs: WTSAPI32.dll and USERENV.dll are not known DLLs, and run as
// SYSTEM from a folder users can write to, a planted copy beside the exe
// would run with SYSTEM's rights.
#pragma once

#include "lib/owner.h"

#include <wtsapi32.h>

// What Debian's MinGW headers lack of wtsapi32.h, as documented.
const WTS_INFO_CLASS kWtsSessionInfoEx = static_cast<WTS_INFO_CLASS>(25);
const LONG kWtsSessionStateLock = 0, kWtsSessionStateUnlock = 1, kWtsSessionStateUnknown = -1;

struct WtsInfoExLevel1 {  // WTSINFOEX_LEVEL1_W
    ULONG SessionId;
    WTS_CONNECTSTATE_CLASS SessionState;
    LONG SessionFlags;
    WCHAR WinStationName[33];
    WCHAR UserName[21];
    WCHAR DomainName[18];
    LARGE_INTEGER LogonTime, ConnectTime, DisconnectTime, LastInputTime, CurrentTime;
    DWORD IncomingBytes, OutgoingBytes, IncomingFrames, OutgoingFrames, IncomingCompressedBytes,
        OutgoingCompressedBytes;
};
struct WtsInfoEx {  // WTSINFOEXW
    DWORD Level;
    union {
        WtsInfoExLevel1 WTSInfoExLevel1;
    } Data;
};
// No pointers: one layout for both builds.
static_assert(sizeof(WtsInfoExLevel1) == 224, "WTSINFOEX_LEVEL1_W");
static_assert(sizeof(WtsInfoEx) == 232, "WTSINFOEXW");

namespace kt {

class RelayDlls {
public:
    RelayDlls();
    RelayDlls(const RelayDlls&) = delete;
    RelayDlls& operator=(const RelayDlls&) = delete;

    // Why they could not be used; ok when every function was found.
    result loaded;
    BOOL(WINAPI* query_token)(ULONG, PHANDLE) = nullptr;
    BOOL(WINAPI* enumerate)(HANDLE, DWORD, DWORD, PWTS_SESSION_INFOW*, DWORD*) = nullptr;
    BOOL(WINAPI* query_info)(HANDLE, DWORD, WTS_INFO_CLASS, LPWSTR*, DWORD*) = nullptr;
    void(WINAPI* free)(PVOID) = nullptr;
    BOOL(WINAPI* send_message)(HANDLE, DWORD, LPWSTR, DWORD, LPWSTR, DWORD, DWORD, DWORD, DWORD*, BOOL) = nullptr;
    BOOL(WINAPI* create_env)(LPVOID*, HANDLE, BOOL) = nullptr;
    BOOL(WINAPI* destroy_env)(LPVOID) = nullptr;
    BOOL(WINAPI* profile_dir)(HANDLE, LPWSTR, LPDWORD) = nullptr;
    // Session notifications, where WTSAPI32 has them (Wine's has not): null
    // otherwise, and not a reason to fail. (Debian's MinGW headers declare
    // them without WINAPI; they are WINAPI.)
    BOOL(WINAPI* register_notification)(HANDLE, HWND, DWORD) = nullptr;
    BOOL(WINAPI* unregister_notification)(HANDLE, HWND) = nullptr;

private:
    bool Load(const wchar_t* name, unique_module& m);
    template <class F>
    bool Proc(const unique_module& m, const char* name, F& f) {
        f = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(m.get(), name)));
        if (!f) loaded = result(ERROR_PROC_NOT_FOUND, AnsiToWide(name));
        return f != nullptr;
    }
    unique_module wtsapi_;
    unique_module userenv_;
};

}  // namespace kt
