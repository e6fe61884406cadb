#include "relay/Session.h"

#include "relay/Dlls.h"

#include "gen/Texts.h"
#include "io/security.h"

namespace kt {

namespace {

std::wstring SessionUser(const RelayDlls& dlls, DWORD session) {
    LPWSTR name = nullptr;
    DWORD bytes = 0;
    if (!dlls.query_info(WTS_CURRENT_SERVER_HANDLE, session, WTSUserName, &name, &bytes) || !name) return L"";
    std::wstring user = name;
    dlls.free(name);
    return user;
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

SessionChoice ChooseSession(const SessionReport& report, const std::function<DWORD(DWORD)>& token_error) {
    SessionChoice choice;
    // True when the session decides: its user, or no right to any user.
    auto decides = [&](DWORD id) {
        DWORD e = token_error(id);
        if (e == 0) {
            choice.session = id;
            choice.whom = whAsked;
            choice.error = 0;
            return true;
        }
        choice.error = e;
        if (e == ERROR_PRIVILEGE_NOT_HELD || e == ERROR_ACCESS_DENIED) {
            choice.whom = whNoRight;
            return true;
        }
        return false;
    };
    if (report.console != kNoSession && decides(report.console)) return choice;
    std::vector<DWORD> users;
    for (const SessionReport::Session& s : report.sessions) {
        if (s.active && s.user && s.id != report.console) users.push_back(s.id);
    }
    if (users.size() > 1) {
        choice.whom = whSeveralUsers;
        return choice;
    }
    if (users.size() == 1 && decides(users[0])) return choice;
    choice.whom = whNoUser;
    return choice;
}

const wchar_t* WhomText(Whom whom) {
    switch (whom) {
        case whAsked: return L"asked";
        case whNoUser: return L"nobody is logged on";
        case whSeveralUsers: return L"several users are logged on";
        case whNoRight: return L"no right to take a user's token";
    }
    return L"?";
}

SessionReport ReadSessions(const RelayDlls& dlls) {
    SessionReport report;
    report.console = WTSGetActiveConsoleSessionId();
    PWTS_SESSION_INFOW list = nullptr;
    DWORD n = 0;
    if (!dlls.enumerate(WTS_CURRENT_SERVER_HANDLE, 0, 1, &list, &n)) return report;
    auto release = scope_exit([&] { dlls.free(list); });
    for (DWORD i = 0; i < n; ++i) {
        bool active = list[i].State == WTSActive;
        report.sessions.push_back({list[i].SessionId, active, active && !SessionUser(dlls, list[i].SessionId).empty()});
    }
    return report;
}

SessionChoice ChooseUser(const RelayDlls& dlls, const SessionReport& report, unique_handle& token) {
    return ChooseSession(report, [&](DWORD id) {
        HANDLE t = nullptr;
        DWORD e = ErrorUnless(dlls.query_token(id, &t));
        token.reset(e ? nullptr : t);
        return e;
    });
}

std::wstring UserOf(HANDLE token) {
    DWORD bytes = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &bytes);
    if (bytes == 0) return L"?";
    std::wstring buffer(bytes / sizeof(wchar_t) + 1, L'\0');
    auto* user = reinterpret_cast<TOKEN_USER*>(&buffer[0]);
    if (!GetTokenInformation(token, TokenUser, user, bytes, &bytes)) return L"?";
    wchar_t name[256], domain[256];
    DWORD name_len = 256, domain_len = 256;
    SID_NAME_USE use;
    if (!LookupAccountSidW(nullptr, user->User.Sid, name, &name_len, domain, &domain_len, &use)) return L"?";
    return std::wstring(domain) + L"\\" + name;
}

namespace {
// A REG_MULTI_SZ or REG_SZ value of HKEY_USERS\<sid>\<key>, raw; empty when
// absent.
std::wstring UserValue(const std::wstring& sid, const wchar_t* key, const wchar_t* name) {
    HKEY k = nullptr;
    if (RegOpenKeyExW(HKEY_USERS, (sid + L"\\" + key).c_str(), 0, KEY_QUERY_VALUE, &k) != ERROR_SUCCESS) return L"";
    DWORD type = 0, bytes = 0;
    std::wstring value;
    if (RegQueryValueExW(k, name, nullptr, &type, nullptr, &bytes) == ERROR_SUCCESS &&
        (type == REG_MULTI_SZ || type == REG_SZ) && bytes >= sizeof(wchar_t)) {
        value.assign(bytes / sizeof(wchar_t) + 1, L'\0');
        if (RegQueryValueExW(k, name, nullptr, &type, reinterpret_cast<BYTE*>(&value[0]), &bytes) != ERROR_SUCCESS)
            value.clear();
    }
    RegCloseKey(k);
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
