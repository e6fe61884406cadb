#include "relay/Session.h"

#include "relay/Dlls.h"

#include "gen/Texts.h"
#include "io/security.h"

namespace kt {

namespace {

// A text the system holds of a session; empty when it has none.
std::wstring SessionText(const RelayDlls& dlls, DWORD session, WTS_INFO_CLASS what) {
    LPWSTR text = nullptr;
    DWORD bytes = 0;
    if (!dlls.query_info(WTS_CURRENT_SERVER_HANDLE, session, what, &text, &bytes) || !text) return L"";
    std::wstring value = text;
    dlls.free(text);
    return value;
}

}  // namespace

bool StationSeen(bool flags_read, DWORD flags, DWORD session) {
    if (session == 0) return false;
    return !flags_read || (flags & WSF_VISIBLE) != 0;
}

bool StationVisible() {
    USEROBJECTFLAGS flags{};
    DWORD needed = 0;
    bool read = GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof flags, &needed) != 0;
    DWORD session = kNoSession;
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &session)) session = kNoSession;
    return StationSeen(read, flags.dwFlags, session);
}

SessionChoice ChooseSessions(const SessionReport& report, SessionScope scope,
                             const std::function<DWORD(DWORD)>& token_error) {
    SessionChoice choice;
    std::vector<DWORD> candidates;
    bool console_listed = false;
    for (const SessionReport::Session& s : report.sessions) {
        console_listed |= s.id == report.console;
        if (s.id == 0 || !s.active || !s.user) continue;
        if (scope == scConsole && s.id != report.console) continue;
        candidates.push_back(s.id);
    }
    if (!console_listed && report.console != kNoSession && report.console != 0)
        candidates.insert(candidates.begin(), report.console);
    bool denied = false;
    for (DWORD id : candidates) {
        DWORD e = token_error(id);
        // No privilege is no right to any session; a refusal for one
        // session passes that one over.
        if (e == ERROR_PRIVILEGE_NOT_HELD) {
            choice.sessions.clear();
            choice.whom = whNoRight;
            choice.error = e;
            return choice;
        }
        if (e == 0) {
            choice.sessions.push_back(id);
        } else {
            denied |= e == ERROR_ACCESS_DENIED;
            choice.error = e;
        }
    }
    if (!choice.sessions.empty()) {
        choice.whom = whAsked;
        choice.error = 0;
    } else {
        choice.whom = denied ? whNoRight : scope == scConsole ? whNoConsoleUser : whNoUser;
    }
    return choice;
}

std::vector<DWORD> Newcomers(const SessionReport& now, SessionScope scope, const std::vector<AskedSession>& asked) {
    std::vector<DWORD> arrived;
    auto asked_already = [&](DWORD id, const std::wstring& user) {
        for (const AskedSession& a : asked) {
            if (a.first == id && (user.empty() || a.second.empty() || a.second == user)) return true;
        }
        return false;
    };
    bool console_listed = false;
    for (const SessionReport::Session& s : now.sessions) {
        console_listed |= s.id == now.console;
        if (s.id == 0 || !s.active || !s.user) continue;
        if (scope == scConsole && s.id != now.console) continue;
        if (!asked_already(s.id, s.name)) arrived.push_back(s.id);
    }
    // A console the report does not list (Wine lists none): by its id.
    if (!console_listed && now.console != kNoSession && now.console != 0 && !asked_already(now.console, L""))
        arrived.insert(arrived.begin(), now.console);
    return arrived;
}

std::vector<DWORD> Leavers(const SessionReport& now, const std::vector<AskedSession>& asked) {
    std::vector<DWORD> left;
    for (const AskedSession& a : asked) {
        bool listed = false, same = false;
        for (const SessionReport::Session& s : now.sessions) {
            if (s.id != a.first) continue;
            listed = true;
            same = s.active && s.user && (a.second.empty() || s.name.empty() || s.name == a.second);
        }
        // Gone from a list that lists any (a remote logoff ends its
        // session, whose id the next logon may take); Wine lists none. An
        // unlisted console is asked by its id (see Newcomers): it stays.
        if (listed ? !same : !now.sessions.empty() && a.first != now.console) left.push_back(a.first);
    }
    return left;
}

const wchar_t* WhomText(Whom whom) {
    switch (whom) {
        case whAsked: return L"asked";
        case whNoUser: return L"nobody is logged on in an active session";
        case whNoConsoleUser: return L"nobody is logged on at the console in an active session";
        case whNoRight: return L"no right to take a user's token";
    }
    return L"?";
}

const wchar_t* StateText(int state) {
    switch (state) {
        case WTSActive: return L"active";
        case WTSConnected: return L"connected";
        case WTSConnectQuery: return L"connecting";
        case WTSShadow: return L"shadowing";
        case WTSDisconnected: return L"disconnected";
        case WTSIdle: return L"idle";
        case WTSListen: return L"listening";
        case WTSReset: return L"reset";
        case WTSDown: return L"down";
        case WTSInit: return L"initializing";
    }
    return L"?";
}

const wchar_t* LockText(LONG flags, bool windows7) {
    if (flags != kWtsSessionStateLock && flags != kWtsSessionStateUnlock) return L"lock not known";
    return (flags == kWtsSessionStateLock) != windows7 ? L"locked" : L"unlocked";
}

SessionReport ReadSessions(const RelayDlls& dlls) {
    SessionReport report;
    report.console = WTSGetActiveConsoleSessionId();
    PWTS_SESSION_INFOW list = nullptr;
    DWORD n = 0;
    if (!dlls.enumerate(WTS_CURRENT_SERVER_HANDLE, 0, 1, &list, &n)) return report;
    auto release = scope_exit([&] { dlls.free(list); });
    for (DWORD i = 0; i < n; ++i) {
        SessionReport::Session s{list[i].SessionId, list[i].State == WTSActive, false};
        s.state = list[i].State;
        // One query for the user, the domain and the lock where Windows has
        // it (8 and later, Server 2008 R2); else the user and domain alone.
        LPWSTR info = nullptr;
        DWORD bytes = 0;
        if (dlls.query_info(WTS_CURRENT_SERVER_HANDLE, s.id, kWtsSessionInfoEx, &info, &bytes) && info &&
            bytes >= sizeof(WtsInfoEx) && reinterpret_cast<WtsInfoEx*>(info)->Level == 1) {
            const WtsInfoExLevel1& ex = reinterpret_cast<WtsInfoEx*>(info)->Data.WTSInfoExLevel1;
            std::wstring user(ex.UserName, wcsnlen(ex.UserName, 21)), domain(ex.DomainName, wcsnlen(ex.DomainName, 18));
            s.user = !user.empty();
            s.name = user.empty() ? L"" : domain + L"\\" + user;
            s.lock = ex.SessionFlags;
        } else {
            std::wstring user = SessionText(dlls, s.id, WTSUserName);
            s.user = !user.empty();
            s.name = user.empty() ? L"" : SessionText(dlls, s.id, WTSDomainName) + L"\\" + user;
        }
        if (info) dlls.free(info);
        report.sessions.push_back(s);
    }
    return report;
}

SessionChoice ChooseUsers(const RelayDlls& dlls, const SessionReport& report, SessionScope scope,
                          std::vector<std::pair<DWORD, unique_handle>>& tokens) {
    tokens.clear();
    return ChooseSessions(report, scope, [&](DWORD id) {
        HANDLE t = nullptr;
        DWORD e = ErrorUnless(dlls.query_token(id, &t));
        if (!e) tokens.emplace_back(id, unique_handle(t));
        return e;
    });
}

namespace {
// A REG_MULTI_SZ or REG_SZ value of HKEY_USERS\<sid>\<key>, raw; empty when
// absent.
std::wstring UserValue(const std::wstring& sid, const wchar_t* key, const wchar_t* name) {
    HKEY k = nullptr;
    if (RegOpenKeyExW(HKEY_USERS, (sid + L"\\" + key).c_str(), 0, KEY_QUERY_VALUE, &k) != ERROR_SUCCESS) return L"";
    unique_hkey opened(k);
    DWORD type = 0, bytes = 0;
    std::wstring value;
    if (RegQueryValueExW(k, name, nullptr, &type, nullptr, &bytes) == ERROR_SUCCESS &&
        (type == REG_MULTI_SZ || type == REG_SZ) && bytes >= sizeof(wchar_t)) {
        value.assign(bytes / sizeof(wchar_t) + 1, L'\0');
        if (RegQueryValueExW(k, name, nullptr, &type, reinterpret_cast<BYTE*>(&value[0]), &bytes) != ERROR_SUCCESS)
            value.clear();
    }
    return value;
}
}  // namespace

std::wstring UserUiLanguage(HANDLE token) {
    ProfileLanguages forms;
    const std::wstring sid = TokenUserSid(token);
    if (!sid.empty()) {
        forms.policy = UserValue(sid, L"Software\\Policies\\Microsoft\\Control Panel\\Desktop", L"PreferredUILanguages");
        forms.preferred = UserValue(sid, L"Control Panel\\Desktop", L"PreferredUILanguages");
        forms.languages = UserValue(sid, L"Control Panel\\International\\User Profile", L"Languages");
    }
    wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};
    if (LCIDToLocaleName(MAKELCID(GetSystemDefaultUILanguage(), SORT_DEFAULT), name, LOCALE_NAME_MAX_LENGTH, 0))
        forms.system = name;
    return ProfileLanguage(forms);
}

}  // namespace kt
