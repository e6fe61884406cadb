#include "win32gui/Relay.h"

#include <wtsapi32.h>
#include <userenv.h>

#include "Log/Log.h"
#include "gen/module.h"
#include "lib/owner.h"

namespace kt {

namespace {

const wchar_t kCategory[] = L"RLY";

// WTSAPI32.dll and USERENV.dll are not known DLLs: loaded by their System32
// path, never from beside the exe (run as SYSTEM from a folder that users
// can write to, a planted copy would run with SYSTEM's rights).
class RelayDlls {
public:
    RelayDlls() {
        if (Load(L"WTSAPI32.dll", wtsapi_) && Load(L"USERENV.dll", userenv_)) {
            Proc(wtsapi_, "WTSQueryUserToken", query_token) && Proc(wtsapi_, "WTSEnumerateSessionsW", enumerate) &&
                Proc(wtsapi_, "WTSQuerySessionInformationW", query_info) && Proc(wtsapi_, "WTSFreeMemory", free) &&
                Proc(userenv_, "CreateEnvironmentBlock", create_env) &&
                Proc(userenv_, "DestroyEnvironmentBlock", destroy_env);
        }
    }
    result loaded;
    BOOL(WINAPI* query_token)(ULONG, PHANDLE) = nullptr;
    BOOL(WINAPI* enumerate)(HANDLE, DWORD, DWORD, PWTS_SESSION_INFOW*, DWORD*) = nullptr;
    BOOL(WINAPI* query_info)(HANDLE, DWORD, WTS_INFO_CLASS, LPWSTR*, DWORD*) = nullptr;
    void(WINAPI* free)(PVOID) = nullptr;
    BOOL(WINAPI* create_env)(LPVOID*, HANDLE, BOOL) = nullptr;
    BOOL(WINAPI* destroy_env)(LPVOID) = nullptr;

private:
    bool Load(const wchar_t* name, unique_module& m) {
        std::wstring path;
        if (DWORD e = System32Path(name, path)) {
            loaded = result(e, name);
            return false;
        }
        // Its own dependencies are looked for in System32 first, too.
        m.reset(LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
        if (!m) loaded = LastErrorResult(name);
        return static_cast<bool>(m);
    }
    template <class F>
    bool Proc(const unique_module& m, const char* name, F& f) {
        f = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(m.get(), name)));
        if (!f) loaded = result(ERROR_PROC_NOT_FOUND, AnsiToWide(name));
        return f != nullptr;
    }
    unique_module wtsapi_;
    unique_module userenv_;
};

std::wstring SessionUser(const RelayDlls& dlls, DWORD session) {
    LPWSTR name = nullptr;
    DWORD bytes = 0;
    if (!dlls.query_info(WTS_CURRENT_SERVER_HANDLE, session, WTSUserName, &name, &bytes) || !name) return L"";
    std::wstring user = name;
    dlls.free(name);
    return user;
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

// "DOMAIN\name" of the token's user, for the log.
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

// A job that ends its processes when its last handle closes: when this
// process ends, however it ends.
unique_handle KillOnCloseJob() {
    unique_handle job(CreateJobObjectW(nullptr, nullptr));
    if (!job) return job;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits)) job.reset();
    return job;
}

struct Started {
    unique_handle process;
    DWORD id = 0;
};

// Starts the process suspended, puts it into the job and lets it run. A
// process that cannot be put into the job is ended before it ran: Windows 7
// allows one job per process, so a caller's job is left then.
result StartInJob(HANDLE token, const std::wstring& exe, const std::wstring& cmdline, const std::wstring& env,
                  HANDLE job, Started& started) {
    std::wstring dir = exe.substr(0, exe.find_last_of(L'\\'));
    STARTUPINFOW si{};
    si.cb = sizeof si;
    wchar_t desktop[] = L"WinSta0\\Default";
    si.lpDesktop = desktop;
    const DWORD kBreakaway[] = {0, CREATE_BREAKAWAY_FROM_JOB};
    result r;
    for (DWORD breakaway : kBreakaway) {
        std::wstring line = cmdline;
        PROCESS_INFORMATION pi{};
        // The environment block is read, not written, but the call takes it
        // as a plain pointer.
        void* block = const_cast<wchar_t*>(env.c_str());
        if (!CreateProcessAsUserW(token, exe.c_str(), &line[0], nullptr, nullptr, FALSE,
                                  CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW | breakaway, block,
                                  dir.c_str(), &si, &pi))
            return LastErrorResult(L"CreateProcessAsUserW");
        unique_handle process(pi.hProcess);
        unique_handle thread(pi.hThread);
        if (AssignProcessToJobObject(job, process.get())) {
            ResumeThread(thread.get());
            started.process = std::move(process);
            started.id = pi.dwProcessId;
            return {};
        }
        r = LastErrorResult(L"AssignProcessToJobObject");
        TerminateProcess(process.get(), ERROR_CANCELLED);
    }
    return r;
}

}  // namespace

bool StationVisible() {
    USEROBJECTFLAGS flags{};
    DWORD needed = 0;
    if (!GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof flags, &needed)) return true;
    return (flags.dwFlags & WSF_VISIBLE) != 0;
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

std::wstring WithEntry(const wchar_t* block, const std::wstring& entry) {
    std::wstring name = entry.substr(0, entry.find(L'=') + 1);
    std::wstring out;
    bool placed = false;
    for (const wchar_t* p = block; p && *p; p += wcslen(p) + 1) {
        std::wstring e = p;
        // "=C:=C:\dir" and the like start with '=': never the variable.
        int order = e[0] == L'=' ? -1 : _wcsnicmp(e.c_str(), name.c_str(), name.size());
        if (!placed && order >= 0) {
            out += entry;
            out += L'\0';
            placed = true;
            if (order == 0) continue;
        }
        out += e;
        out += L'\0';
    }
    if (!placed) {
        out += entry;
        out += L'\0';
    }
    out += L'\0';
    return out;
}

RelayRun RelayToUser(const std::wstring& cmdline, const std::wstring& environment_entry) {
    Log* log = get_log();
    RelayRun run;
    RelayDlls dlls;
    if (!dlls.loaded.ok()) {
        run.error = dlls.loaded;
        log_wprintf(log, kCategory, L"cannot relay: %s", run.error.str().c_str());
        return run;
    }
    SessionReport report = ReadSessions(dlls);
    unique_handle token;
    run.choice = ChooseSession(report, [&](DWORD id) {
        HANDLE t = nullptr;
        DWORD e = ErrorUnless(dlls.query_token(id, &t));
        token.reset(e ? nullptr : t);
        return e;
    });
    if (run.choice.whom != whAsked) {
        log_wprintf(log, kCategory, L"nobody to ask: %s (console session %d, %u sessions listed, error %u)",
                    WhomText(run.choice.whom), static_cast<int>(report.console),
                    static_cast<unsigned>(report.sessions.size()), static_cast<unsigned>(run.choice.error));
        return run;
    }
    log_wprintf(log, kCategory, L"asking session %u, user %s", static_cast<unsigned>(run.choice.session),
                UserOf(token.get()).c_str());

    std::wstring env;
    LPVOID block = nullptr;
    if (dlls.create_env(&block, token.get(), FALSE)) {
        env = WithEntry(static_cast<const wchar_t*>(block), environment_entry);
        dlls.destroy_env(block);
    } else {
        run.error = LastErrorResult(L"CreateEnvironmentBlock");
    }
    std::wstring exe = module().FileName();
    if (run.error.ok() && exe.empty()) run.error = result(ERROR_BAD_PATHNAME, L"module::FileName");
    unique_handle job;
    if (run.error.ok()) {
        job = KillOnCloseJob();
        if (!job) run.error = LastErrorResult(L"CreateJobObjectW");
    }
    Started child;
    if (run.error.ok()) run.error = StartInJob(token.get(), exe, cmdline, env, job.get(), child);
    if (!run.error.ok()) {
        log_wprintf(log, kCategory, L"relayed process not started: %s", run.error.str().c_str());
        return run;
    }
    log_wprintf(log, kCategory, L"relayed process PID=%04X started on WinSta0\\Default", static_cast<unsigned>(child.id));
    WaitForSingleObject(child.process.get(), INFINITE);
    GetExitCodeProcess(child.process.get(), &run.exit_code);
    log_wprintf(log, kCategory, L"relayed process PID=%04X ended with %u", static_cast<unsigned>(child.id),
                static_cast<unsigned>(run.exit_code));
    return run;
}

}  // namespace kt
