#include "relay/Relay.h"

#include <userenv.h>

#include "Log/Log.h"
#include "gen/module.h"
#include "io/security.h"
#include "relay/Dlls.h"
#include "relay/Message.h"

namespace kt {

namespace {

const wchar_t kCategory[] = L"RLY";

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
                  const std::wstring& dir, HANDLE job, Started& started) {
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

// One relay: what it needs to start a run, and the run once started.
class Relay {
public:
    Relay(const RelayDlls& dlls, HANDLE token, const std::wstring& cmdline, const std::vector<std::wstring>& entries)
        : dlls_(dlls), token_(token), cmdline_(cmdline), entries_(entries), log_(get_log()) {}

    // Starts exe as the user in dir; 0 or the error, logged.
    DWORD Start(Way way, const std::wstring& exe, const std::wstring& dir) {
        result r = Prepare();
        if (r.ok()) r = StartInJob(token_, exe, cmdline_, env_, dir, job_.get(), child_);
        if (!r.ok()) {
            log_wprintf(log_, kCategory, L"start %s refused: %s", WayText(way), r.str().c_str());
            return r.code() ? r.code() : ERROR_INTERNAL_ERROR;
        }
        log_wprintf(log_, kCategory, L"relayed process PID=%04X started %s on WinSta0\\Default: %s",
                    static_cast<unsigned>(child_.id), WayText(way), exe.c_str());
        return 0;
    }

    // Waits for the started run; its answer of q, if it gave one.
    bool Wait(const Question& q, int& answer) {
        DWORD limit = RelayWaitMs(q);
        if (WaitForSingleObject(child_.process.get(), limit) == WAIT_TIMEOUT) {
            TerminateJobObject(job_.get(), ERROR_TIMEOUT);
            WaitForSingleObject(child_.process.get(), kEndWaitMs);
            log_wprintf(log_, kCategory, L"no answer within %u s: relayed process PID=%04X ended",
                        static_cast<unsigned>(limit / 1000), static_cast<unsigned>(child_.id));
            return false;
        }
        DWORD code = 0;
        GetExitCodeProcess(child_.process.get(), &code);
        bool answered = DecodeAnswer(code, answer) && IsAnswerOf(answer, q);
        if (answered) {
            log_wprintf(log_, kCategory, L"relayed process PID=%04X ended with 0x%08X: answer %d",
                        static_cast<unsigned>(child_.id), static_cast<unsigned>(code), answer);
        } else {
            log_wprintf(log_, kCategory, L"relayed process PID=%04X ended with %u (0x%08X) without an answer",
                        static_cast<unsigned>(child_.id), static_cast<unsigned>(code), static_cast<unsigned>(code));
        }
        return answered;
    }

    // The user's profile folder, which they can open; empty when unknown.
    std::wstring ProfileFolder() const {
        wchar_t path[MAX_PATH];
        DWORD n = MAX_PATH;
        return dlls_.profile_dir(token_, path, &n) ? std::wstring(path) : std::wstring();
    }

    // Ends what is left of the run.
    void End() {
        job_.reset();
        child_.process.reset();
    }

private:
    // How long an ended run is waited for after its job was ended.
    static const DWORD kEndWaitMs = 5000;

    // The user's environment with the entries, and the job; made once.
    result Prepare() {
        if (prepared_) return prepare_result_;
        prepared_ = true;
        LPVOID block = nullptr;
        if (!dlls_.create_env(&block, token_, FALSE)) return prepare_result_ = LastErrorResult(L"CreateEnvironmentBlock");
        env_ = WithEntries(static_cast<const wchar_t*>(block));
        dlls_.destroy_env(block);
        job_ = KillOnCloseJob();
        if (!job_) return prepare_result_ = LastErrorResult(L"CreateJobObjectW");
        return prepare_result_;
    }
    std::wstring WithEntries(const wchar_t* block) const {
        std::wstring env = WithEntry(block, entries_.empty() ? std::wstring() : entries_[0]);
        for (size_t i = 1; i < entries_.size(); ++i) env = WithEntry(env.c_str(), entries_[i]);
        return env;
    }

    const RelayDlls& dlls_;
    HANDLE token_;
    const std::wstring& cmdline_;
    const std::vector<std::wstring>& entries_;
    Log* log_;
    bool prepared_ = false;
    result prepare_result_;
    std::wstring env_;
    unique_handle job_;
    Started child_;
};

// Opens the copies' folder in root (make: made where missing, or a fresh
// one where it cannot be trusted) and removes what killed askers left in
// the shared one, saying so.
result OpenCopies(CopiesFolder& copies, const std::wstring& root, bool make) {
    if (copies.handle()) return {};
    result r = copies.open(root, make);
    if (!r.ok()) return r;
    if (!copies.shared()) {
        log_wprintf(get_log(), kCategory, L"not using %s%s (%s): a fresh folder, not swept: %s", root.c_str(),
                    kCopiesFolder, copies.distrust().c_str(), copies.path().c_str());
        return r;
    }
    for (const std::wstring& stale : RemoveStaleCopies(copies))
        log_wprintf(get_log(), kCategory, L"removed a stale copy: %s", stale.c_str());
    return r;
}

// Removes a private copy, saying so.
void RemoveCopy(PrivateCopy& copy) {
    if (copy.folder().empty()) return;
    std::wstring folder = copy.folder();
    if (DWORD e = copy.remove())
        log_wprintf(get_log(), kCategory, L"could not remove the private copy %s: error %u", folder.c_str(),
                    static_cast<unsigned>(e));
    else
        log_wprintf(get_log(), kCategory, L"removed the private copy %s", folder.c_str());
}

}  // namespace

std::wstring WithEntry(const wchar_t* block, const std::wstring& entry) {
    std::wstring name = entry.substr(0, entry.find(L'=') + 1);
    std::wstring out;
    bool placed = entry.empty();
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

RelayRun RelayToUser(const std::wstring& cmdline, const std::vector<std::wstring>& environment, const Question& q,
                     const std::function<Question(const std::wstring&)>& in_language) {
    Log* log = get_log();
    RelayRun run;
    RelayDlls dlls;
    if (!dlls.loaded.ok()) {
        log_wprintf(log, kCategory, L"cannot relay: %s", dlls.loaded.str().c_str());
        return run;
    }
    SessionReport report = ReadSessions(dlls);
    unique_handle token;
    run.choice = ChooseUser(dlls, report, token);
    if (run.choice.whom != whAsked) {
        log_wprintf(log, kCategory, L"nobody to ask: %s (console session %d, %u sessions listed, error %u)",
                    WhomText(run.choice.whom), static_cast<int>(report.console),
                    static_cast<unsigned>(report.sessions.size()), static_cast<unsigned>(run.choice.error));
        return run;
    }
    log_wprintf(log, kCategory, L"asking session %u, user %s", static_cast<unsigned>(run.choice.session),
                UserOf(token.get()).c_str());


    Relay relay(dlls, token.get(), cmdline, environment);
    const std::wstring exe = module().FileName();
    Attempts attempts;
    DWORD error = 0;
    attempts.may_run = exe.empty() ? -1 : UserMayRun(token.get(), exe, &error);
    if (attempts.may_run == 1) {
        log_wprintf(log, kCategory, L"the user may run %s where it is", exe.c_str());
    } else {
        log_wprintf(log, kCategory, L"the user may not run %s where it is (%s, error %u)", exe.c_str(),
                    attempts.may_run == 0 ? L"no read and execute access" : L"not known", static_cast<unsigned>(error));
    }
    // What an asker that was killed left behind, by any relay; the folder
    // is made only for a copy. Declared before the copy: removed after it.
    const std::wstring root = TempRoot();
    CopiesFolder copies;
    OpenCopies(copies, root, false);
    PrivateCopy copy;
    for (Way way = NextWay(attempts); way != wyAsked && way != wyNobody; way = NextWay(attempts)) {
        if (way == wyInPlace) {
            std::wstring dir = relay.ProfileFolder();
            if (dir.empty()) dir = exe.substr(0, exe.find_last_of(L'\\'));
            attempts.in_place = relay.Start(way, exe, dir);
        } else if (way == wyCopy) {
            result made = exe.empty() ? result(ERROR_BAD_PATHNAME, L"module::FileName") : OpenCopies(copies, root, true);
            if (made.ok()) made = copy.make(exe, TokenUserSid(token.get()), copies.path());
            if (made.ok()) {
                log_wprintf(log, kCategory, L"private copy made: %s", copy.exe().c_str());
                attempts.copy = relay.Start(way, copy.exe(), copy.folder());
                // Not left behind while the session's box waits for the person.
                if (attempts.copy) RemoveCopy(copy);
            } else {
                log_wprintf(log, kCategory, L"no private copy in %s: %s", root.c_str(), made.str().c_str());
                attempts.copy = made.code() ? made.code() : ERROR_INTERNAL_ERROR;
            }
        } else {
            log_wprintf(log, kCategory, L"asking through the session's message box of session %u",
                        static_cast<unsigned>(run.choice.session));
            DWORD response = 0;
            const Question asked = in_language ? in_language(UserUiLanguage(token.get())) : q;
            attempts.message = SendSessionMessage(dlls, run.choice.session, asked, response);
            if (attempts.message) {
                log_wprintf(log, kCategory, L"WTSSendMessageW failed: %s", result(attempts.message).str().c_str());
            } else {
                run.way = wyMessage;
                run.answer = SessionAnswer(response, q);
                run.answered = run.answer >= 0;
                log_wprintf(log, kCategory, L"the session's message box answered %u%s", static_cast<unsigned>(response),
                            run.answered ? L"" : L": no answer of this box");
                return run;
            }
        }
    }
    if (NextWay(attempts) == wyNobody) return run;
    run.way = attempts.in_place == 0 ? wyInPlace : wyCopy;
    run.answered = relay.Wait(q, run.answer);
    relay.End();
    RemoveCopy(copy);
    return run;
}

}  // namespace kt
