// A test double of WTSAPI32.dll, put in the test prefix's system folder for
// the copies of velmo named velmo_wts.exe and velmoc_wts.exe: Wine's own
// WTSSendMessageW is a stub that fails, and Wine has one session. Set by
// the asker's environment:
// - VELMO_WTS_SESSIONS: the sessions it lists, "id:state:DOMAIN\user:lock"
//   joined by ";" (state active, connected, disconnected, idle, listening;
//   an empty user for none; lock locked, unlocked or -). Each session with
//   a user gets the caller's own token, any other ERROR_NO_TOKEN. Unset: no
//   session listed, and the caller's token for any, as Wine answers.
// - VELMO_WTS_SESSIONS_FILE: a file holding the same (UTF-8), read at each
//   call, so that a test changes the sessions while velmo runs; it stands
//   before VELMO_WTS_SESSIONS. WTSRegisterSessionNotificationEx watches it
//   (every 50 ms) and posts WM_WTSSESSION_CHANGE to the registered windows
//   for each change: a logon, a remote connect or disconnect, a logoff, a
//   lock or an unlock. VELMO_WTS_NOTIFY=0 makes the registration fail, as
//   Wine's own has none.
// - VELMO_WTS_ANSWER: the session message's response, for every session
//   ("6") or by session ("1=32000@200,2=7"; "@ms" answers after that
//   long); "fail" makes the call fail.
// - VELMO_WTS_RECORD: a file (UTF-8) where each session message is recorded.
// (Its functions are declared here as they are exported;
// WTS_CURRENT_SERVER_HANDLE is null.)
#include <windows.h>

// Debian's MinGW headers declare these two without WINAPI: their
// declarations are put aside, and the functions defined as exported.
#define WTSRegisterSessionNotificationEx WTSRegisterSessionNotificationEx_as_declared
#define WTSUnRegisterSessionNotificationEx WTSUnRegisterSessionNotificationEx_as_declared
#include <wtsapi32.h>
#undef WTSRegisterSessionNotificationEx
#undef WTSUnRegisterSessionNotificationEx

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "lib/owner.h"
#include "relay/Dlls.h"

namespace {

std::string Utf8(const wchar_t* s, DWORD bytes) {
    int n = static_cast<int>(bytes / sizeof(wchar_t));
    std::string out(n * 3 + 1, '\0');
    int got = n ? WideCharToMultiByte(CP_UTF8, 0, s, n, &out[0], static_cast<int>(out.size()), nullptr, nullptr) : 0;
    out.resize(got > 0 ? got : 0);
    return out;
}

std::wstring Env(const wchar_t* name) {
    wchar_t value[4096] = {};
    DWORD n = GetEnvironmentVariableW(name, value, 4096);
    return n && n < 4096 ? value : L"";
}

std::vector<std::wstring> Split(const std::wstring& s, wchar_t by) {
    std::vector<std::wstring> parts;
    size_t at = 0;
    for (size_t next; (next = s.find(by, at)) != std::wstring::npos; at = next + 1) parts.push_back(s.substr(at, next - at));
    parts.push_back(s.substr(at));
    return parts;
}

struct Session {
    DWORD id;
    WTS_CONNECTSTATE_CLASS state;
    std::wstring domain, user;
    LONG lock;
};

// The sessions' text: the file's, else the variable's.
std::wstring Config() {
    const std::wstring file = Env(L"VELMO_WTS_SESSIONS_FILE");
    if (file.empty()) return Env(L"VELMO_WTS_SESSIONS");
    // The test rewrites it in place: read whatever is there, shared.
    kt::unique_handle f(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
    char bytes[8192];
    DWORD got = 0;
    if (!f || !ReadFile(f.get(), bytes, sizeof bytes, &got, nullptr)) return L"";
    std::wstring text(got, L'\0');
    int n = got ? MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(got), &text[0], static_cast<int>(got)) : 0;
    text.resize(n > 0 ? n : 0);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
    return text;
}

// The configured sessions; false when none are configured.
bool Sessions(std::vector<Session>& sessions) {
    const std::wstring config = Config();
    sessions.clear();
    if (config.empty()) return false;
    for (const std::wstring& entry : Split(config, L';')) {
        std::vector<std::wstring> f = Split(entry, L':');
        if (f.size() != 4) continue;
        Session s{static_cast<DWORD>(wcstoul(f[0].c_str(), nullptr, 10)), WTSActive, L"", L"", -1};
        if (f[1] == L"connected") s.state = WTSConnected;
        if (f[1] == L"disconnected") s.state = WTSDisconnected;
        if (f[1] == L"idle") s.state = WTSIdle;
        if (f[1] == L"listening") s.state = WTSListen;
        size_t slash = f[2].find(L'\\');
        if (slash != std::wstring::npos) {
            s.domain = f[2].substr(0, slash);
            s.user = f[2].substr(slash + 1);
        }
        s.lock = f[3] == L"locked" ? 0 : f[3] == L"unlocked" ? 1 : -1;
        sessions.push_back(s);
    }
    return true;
}

const Session* Find(const std::vector<Session>& sessions, DWORD id) {
    for (const Session& s : sessions) {
        if (s.id == id) return &s;
    }
    return nullptr;
}

// A block the caller frees with WTSFreeMemory.
template <class T>
T* Allocate(size_t bytes) {
    return static_cast<T*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes));
}

CRITICAL_SECTION g_record;
bool g_record_ready = [] {
    InitializeCriticalSection(&g_record);
    return true;
}();

// The windows registered for notifications, and the watcher that posts
// them what changed in the sessions' file.
CRITICAL_SECTION g_windows;
bool g_windows_ready = [] {
    InitializeCriticalSection(&g_windows);
    return true;
}();
std::vector<HWND> g_registered;
bool g_watching = false;

// The documented WM_WTSSESSION_CHANGE events.
enum : WPARAM { kRemoteConnect = 3, kRemoteDisconnect = 4, kLogon = 5, kLogoff = 6, kLock = 7, kUnlock = 8 };

void Notify(WPARAM event, DWORD session) {
    EnterCriticalSection(&g_windows);
    std::vector<HWND> windows = g_registered;
    LeaveCriticalSection(&g_windows);
    for (HWND w : windows) PostMessageW(w, WM_WTSSESSION_CHANGE, event, session);
}

DWORD WINAPI Watcher(LPVOID) {
    std::vector<Session> before;
    Sessions(before);
    for (;;) {
        Sleep(50);
        std::vector<Session> now;
        Sessions(now);
        for (const Session& s : now) {
            const Session* was = Find(before, s.id);
            const bool in = s.state == WTSActive && !s.user.empty();
            const bool was_in = was && was->state == WTSActive && !was->user.empty();
            if (in && !was_in) Notify(was && !was->user.empty() ? kRemoteConnect : kLogon, s.id);
            if (!in && was_in) Notify(s.user.empty() ? kLogoff : kRemoteDisconnect, s.id);
            if (in && was_in && was->user != s.user) Notify(kLogon, s.id);
            if (was && s.lock != was->lock && s.lock >= 0) Notify(s.lock == 0 ? kLock : kUnlock, s.id);
        }
        for (const Session& s : before) {
            if (!Find(now, s.id)) Notify(kLogoff, s.id);
        }
        before = now;
    }
}

}  // namespace

extern "C" {

__declspec(dllexport) BOOL WINAPI WTSRegisterSessionNotificationEx(HANDLE, HWND window, DWORD) {
    if (Env(L"VELMO_WTS_NOTIFY") == L"0") {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    EnterCriticalSection(&g_windows);
    g_registered.push_back(window);
    const bool start = !std::exchange(g_watching, true);
    LeaveCriticalSection(&g_windows);
    if (start) CloseHandle(CreateThread(nullptr, 0, Watcher, nullptr, 0, nullptr));
    return TRUE;
}

__declspec(dllexport) BOOL WINAPI WTSUnRegisterSessionNotificationEx(HANDLE, HWND window) {
    EnterCriticalSection(&g_windows);
    for (size_t i = 0; i < g_registered.size(); ++i) {
        if (g_registered[i] == window) {
            g_registered.erase(g_registered.begin() + static_cast<std::ptrdiff_t>(i));
            break;
        }
    }
    LeaveCriticalSection(&g_windows);
    return TRUE;
}

__declspec(dllexport) BOOL WINAPI WTSQueryUserToken(ULONG session, PHANDLE token) {
    std::vector<Session> sessions;
    if (Sessions(sessions)) {
        const Session* s = Find(sessions, session);
        if (!s || s->user.empty()) {
            SetLastError(ERROR_NO_TOKEN);
            return FALSE;
        }
    }
    HANDLE own = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &own)) return FALSE;
    kt::unique_handle owned(own);
    return DuplicateTokenEx(own, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary, token);
}

__declspec(dllexport) BOOL WINAPI WTSEnumerateSessionsW(HANDLE, DWORD, DWORD, PWTS_SESSION_INFOW* list, DWORD* count) {
    std::vector<Session> sessions;
    Sessions(sessions);
    *list = nullptr;
    *count = 0;
    if (sessions.empty()) return TRUE;
    *list = Allocate<WTS_SESSION_INFOW>(sessions.size() * sizeof(WTS_SESSION_INFOW));
    if (!*list) return FALSE;
    for (const Session& s : sessions) {
        WTS_SESSION_INFOW& info = (*list)[(*count)++];
        info.SessionId = s.id;
        info.State = s.state;
        info.pWinStationName = const_cast<LPWSTR>(L"RDP-Tcp");
    }
    return TRUE;
}

__declspec(dllexport) BOOL WINAPI WTSQuerySessionInformationW(HANDLE, DWORD id, WTS_INFO_CLASS what, LPWSTR* buffer,
                                                              DWORD* bytes) {
    std::vector<Session> sessions;
    Sessions(sessions);
    const Session* s = Find(sessions, id);
    if (!s) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    if (what == kWtsSessionInfoEx) {
        auto* info = Allocate<WtsInfoEx>(sizeof(WtsInfoEx));
        if (!info) return FALSE;
        info->Level = 1;
        WtsInfoExLevel1& l = info->Data.WTSInfoExLevel1;
        l.SessionId = s->id;
        l.SessionState = s->state;
        l.SessionFlags = s->lock;
        wcsncpy(l.UserName, s->user.c_str(), 20);
        wcsncpy(l.DomainName, s->domain.c_str(), 17);
        *buffer = reinterpret_cast<LPWSTR>(info);
        *bytes = sizeof(WtsInfoEx);
        return TRUE;
    }
    if (what == WTSUserName || what == WTSDomainName) {
        const std::wstring& text = what == WTSUserName ? s->user : s->domain;
        *bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
        *buffer = Allocate<wchar_t>(*bytes);
        if (!*buffer) return FALSE;
        wcscpy(*buffer, text.c_str());
        return TRUE;
    }
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

__declspec(dllexport) void WINAPI WTSFreeMemory(PVOID memory) {
    if (memory) HeapFree(GetProcessHeap(), 0, memory);
}

__declspec(dllexport) BOOL WINAPI WTSSendMessageW(HANDLE server, DWORD session, LPWSTR title, DWORD title_bytes,
                                                  LPWSTR message, DWORD message_bytes, DWORD style, DWORD timeout,
                                                  DWORD* response, BOOL wait) {
    char numbers[160];
    snprintf(numbers, sizeof numbers, "server=%s session=%lu title_bytes=%lu text_bytes=%lu style=0x%lX timeout=%lu wait=%d",
             server == nullptr ? "current" : "other", static_cast<unsigned long>(session), static_cast<unsigned long>(title_bytes),
             static_cast<unsigned long>(message_bytes), static_cast<unsigned long>(style),
             static_cast<unsigned long>(timeout), wait ? 1 : 0);
    std::string record = std::string(numbers) + "\ntitle=" + Utf8(title, title_bytes) + "\ntext=" +
                         Utf8(message, message_bytes) + "\n";
    {
        // The boxes of several sessions are asked at once, on threads.
        // The file is closed before another thread may open it: a handle
        // still open would refuse the next one (seen once: a record lost).
        EnterCriticalSection(&g_record);
        {
            kt::unique_handle f(CreateFileW(Env(L"VELMO_WTS_RECORD").c_str(), FILE_APPEND_DATA,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr));
            DWORD put = 0;
            if (f) WriteFile(f.get(), record.data(), static_cast<DWORD>(record.size()), &put, nullptr);
        }
        LeaveCriticalSection(&g_record);
    }
    // "6", or "<session>=<response>[@<ms>]" by session.
    std::wstring answer = Env(L"VELMO_WTS_ANSWER");
    DWORD delay = 0;
    if (answer.find(L'=') != std::wstring::npos) {
        std::wstring mine;
        for (const std::wstring& entry : Split(answer, L',')) {
            size_t eq = entry.find(L'=');
            if (eq != std::wstring::npos && wcstoul(entry.c_str(), nullptr, 10) == session) mine = entry.substr(eq + 1);
        }
        answer = mine;
    }
    size_t at = answer.find(L'@');
    if (at != std::wstring::npos) {
        delay = wcstoul(answer.c_str() + at + 1, nullptr, 10);
        answer.resize(at);
    }
    if (answer.empty() || answer == L"fail") {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    Sleep(delay);
    *response = wcstoul(answer.c_str(), nullptr, 10);
    return TRUE;
}

}  // extern "C"
