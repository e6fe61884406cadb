#include "relay/Relay.h"

#include <userenv.h>

#include <memory>

#include "Log/Log.h"
#include "gen/module.h"
#include "io/security.h"
#include "relay/Dlls.h"
#include "relay/Message.h"

namespace kt {

namespace {

const wchar_t kCategory[] = L"RLY";

// The completion keys of the port: the job's messages, and the session
// boxes' answers.
const ULONG_PTR kJobKey = 1, kMessageKey = 2, kStopKey = 3;
// How long an ended run is waited for, so that its copy can go.
const DWORD kEndWaitMs = 5000;

// A job that ends its processes when its last handle closes (when this
// process ends, however it ends), and tells port when one of them ends.
result KillOnCloseJob(HANDLE port, unique_handle& job) {
    job.reset(CreateJobObjectW(nullptr, nullptr));
    if (!job) return LastErrorResult(L"CreateJobObjectW");
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    JOBOBJECT_ASSOCIATE_COMPLETION_PORT associate{reinterpret_cast<PVOID>(kJobKey), port};
    if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
        !SetInformationJobObject(job.get(), JobObjectAssociateCompletionPortInformation, &associate,
                                 sizeof associate)) {
        result r = LastErrorResult(L"SetInformationJobObject");
        job.reset();
        return r;
    }
    return {};
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

// One asked session: its person, and how they are asked.
struct Person {
    DWORD session = kNoSession;
    unique_handle token;
    std::wstring sid, name;
    Attempts attempts;
    Way way = wyNobody;     // how they are asked, once a way worked
    unique_handle process;  // their relayed run
    DWORD pid = 0;
    bool asking = false;    // their box may still answer
};

// A session's message box on a thread of its own, which owns this: the
// box cannot be ended and may outlive the relay (its answer is then
// nobody's), so the thread keeps what it needs, a port handle included.
struct MessageTask {
    unique_handle port;
    SendMessageFunction send;
    DWORD session;
    Question q;
    size_t person;
};
// What it posts to the port (kMessageKey) when the box has ended.
struct MessageDone {
    size_t person;
    DWORD error;
    DWORD response;
};

DWORD WINAPI MessageThread(LPVOID param) {
    std::unique_ptr<MessageTask> task(static_cast<MessageTask*>(param));
    // Nothing may leave the thread procedure.
    try {
        DWORD response = 0;
        DWORD error = SendSessionMessage(task->send, task->session, task->q, response);
        auto* done = new MessageDone{task->person, error, response};
        if (!PostQueuedCompletionStatus(task->port.get(), 0, kMessageKey, reinterpret_cast<LPOVERLAPPED>(done)))
            delete done;
    } catch (...) {
        return ERROR_INTERNAL_ERROR;
    }
    return 0;
}

// The relayed runs and the session boxes of one relay, and their ends
// through one completion port.
class Relay {
public:
    Relay(const RelayDlls& dlls, const std::wstring& cmdline, const std::vector<std::wstring>& entries,
          const Question& q)
        : dlls_(dlls), cmdline_(cmdline), entries_(entries), q_(q), log_(get_log()) {}
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;
    ~Relay() { Drain(); }

    // The port and the job; made once.
    result Open() {
        if (opened_) return open_result_;
        opened_ = true;
        port_.reset(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
        if (!port_) return open_result_ = LastErrorResult(L"CreateIoCompletionPort");
        return open_result_ = KillOnCloseJob(port_.get(), job_);
    }

    // Starts exe as the person in dir; 0 or the error, logged.
    DWORD Start(Person& p, Way way, const std::wstring& exe, const std::wstring& dir) {
        result r = Open();
        std::wstring env;
        if (r.ok()) r = Environment(p.token.get(), env);
        Started started;
        if (r.ok()) r = StartInJob(p.token.get(), exe, cmdline_, env, dir, job_.get(), started);
        if (!r.ok()) {
            log_wprintf(log_, kCategory, L"start %s for session %u refused: %s", WayText(way),
                        static_cast<unsigned>(p.session), r.str().c_str());
            return r.code() ? r.code() : ERROR_INTERNAL_ERROR;
        }
        p.process = std::move(started.process);
        p.pid = started.id;
        p.way = way;
        p.asking = true;
        log_wprintf(log_, kCategory, L"relayed process PID=%04X of session %u started %s on WinSta0\\Default: %s",
                    static_cast<unsigned>(p.pid), static_cast<unsigned>(p.session), WayText(way), exe.c_str());
        return 0;
    }

    // Asks through the session's message box, on a thread of its own; 0 or
    // why it could not be started.
    DWORD AskByMessage(Person& p, size_t index, const Question& asked) {
        result r = Open();
        if (!r.ok()) return r.code() ? r.code() : ERROR_INTERNAL_ERROR;
        log_wprintf(log_, kCategory, L"asking through the session's message box of session %u",
                    static_cast<unsigned>(p.session));
        // The thread may outlive this relay: WTSAPI32.dll stays loaded.
        HMODULE pinned = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(dlls_.send_message)), &pinned);
        auto task = std::make_unique<MessageTask>();
        HANDLE port = nullptr;
        if (!DuplicateHandle(GetCurrentProcess(), port_.get(), GetCurrentProcess(), &port, 0, FALSE,
                             DUPLICATE_SAME_ACCESS))
            return GetLastError();
        task->port.reset(port);
        task->send = dlls_.send_message;
        task->session = p.session;
        task->q = asked;
        task->person = index;
        unique_handle thread(CreateThread(nullptr, 0, MessageThread, task.get(), 0, nullptr));
        if (!thread) return GetLastError();
        task.release();
        p.way = wyMessage;
        p.asking = true;
        return 0;
    }

    // Waits until a person answers (the others are then ended), every box
    // has ended without one, or RelayWaitMs has passed (what runs is then
    // ended).
    void Wait(std::vector<Person>& people, RelayRun& run, const RelayEnd& end) {
        size_t asking = 0;
        for (const Person& p : people) asking += p.asking;
        const DWORD limit = RelayWaitMs(q_), start = GetTickCount();
        // What ends the relay from outside comes through the port too.
        HANDLE stop_wait = nullptr;
        if (end.until && asking &&
            !RegisterWaitForSingleObject(&stop_wait, end.until, Stop, port_.get(), INFINITE,
                                         WT_EXECUTEONLYONCE | WT_EXECUTEINWAITTHREAD))
            log_wprintf(log_, kCategory, L"no wait for the command's end: %s", result(GetLastError()).str().c_str());
        auto unwait = scope_exit([&] {
            if (stop_wait) UnregisterWaitEx(stop_wait, INVALID_HANDLE_VALUE);
        });
        while (asking > 0) {
            const DWORD elapsed = TicksSince(start);
            if (limit != INFINITE && elapsed >= limit) {
                EndRuns(people, L"no answer within the countdown and 30 s");
                return;
            }
            DWORD message = 0;
            ULONG_PTR key = 0;
            LPOVERLAPPED overlapped = nullptr;
            if (!GetQueuedCompletionStatus(port_.get(), &message, &key, &overlapped,
                                           limit == INFINITE ? INFINITE : limit - elapsed)) {
                if (overlapped || GetLastError() == WAIT_TIMEOUT) continue;
                log_wprintf(log_, kCategory, L"cannot wait for the relayed runs: %s", result(GetLastError()).str().c_str());
                EndRuns(people, L"the wait failed");
                return;
            }
            if (key == kStopKey) {
                EndRuns(people, L"the command has ended");
                return;
            }
            Outcome o;
            Person* p = Ended(people, key, message, overlapped, o);
            if (!p) continue;
            p->asking = false;
            --asking;
            const Combined c = Combine(o, asking, q_);
            // A person who closes a notice closes only their own.
            if (end.notice || !c.by_person) continue;
            run.answered = true;
            run.answer = c.answer;
            run.session = p->session;
            run.who = p->name;
            run.way = p->way;
            log_wprintf(log_, kCategory, L"session %u (%s) answered %d first, asked %s", static_cast<unsigned>(p->session),
                        p->name.c_str(), c.answer, WayText(p->way));
            EndRuns(people, L"another person answered");
            return;
        }
    }

    // Ends every run (at once, with the job) and waits for them to go.
    void End(std::vector<Person>& people) {
        job_.reset();
        for (Person& p : people) {
            if (p.process) WaitForSingleObject(p.process.get(), kEndWaitMs);
            p.process.reset();
        }
    }

private:
    static void CALLBACK Stop(PVOID port, BOOLEAN) { PostQueuedCompletionStatus(static_cast<HANDLE>(port), 0, kStopKey, nullptr); }

    // The person's own environment with the entries.
    result Environment(HANDLE token, std::wstring& env) const {
        LPVOID block = nullptr;
        if (!dlls_.create_env(&block, token, FALSE)) return LastErrorResult(L"CreateEnvironmentBlock");
        env = WithEntry(static_cast<const wchar_t*>(block), entries_.empty() ? std::wstring() : entries_[0]);
        dlls_.destroy_env(block);
        for (size_t i = 1; i < entries_.size(); ++i) env = WithEntry(env.c_str(), entries_[i]);
        return {};
    }

    // The person whose box a packet of the port tells the end of, and how
    // it ended; null for anything else (a process not asked, a box that
    // was already done).
    Person* Ended(std::vector<Person>& people, ULONG_PTR key, DWORD message, LPOVERLAPPED overlapped, Outcome& o) {
        if (key == kMessageKey && overlapped) {
            std::unique_ptr<MessageDone> done(reinterpret_cast<MessageDone*>(overlapped));
            Person* p = done->person < people.size() ? &people[done->person] : nullptr;
            if (!p || !p->asking) return nullptr;
            o = MessageEnded(*p, *done);
            return p;
        }
        if (key != kJobKey || (message != JOB_OBJECT_MSG_EXIT_PROCESS && message != JOB_OBJECT_MSG_ABNORMAL_EXIT_PROCESS))
            return nullptr;
        const DWORD pid = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(overlapped));
        for (Person& p : people) {
            if (p.asking && p.pid == pid && p.way != wyMessage) {
                o = RunEnded(p);
                return &p;
            }
        }
        return nullptr;
    }

    Outcome RunEnded(const Person& p) {
        DWORD code = 0;
        GetExitCodeProcess(p.process.get(), &code);
        Outcome o = DecodeAnswer(code, q_);
        if (o.ending == enNone) {
            log_wprintf(log_, kCategory, L"relayed process PID=%04X of session %u ended with %u (0x%08X) without an answer",
                        static_cast<unsigned>(p.pid), static_cast<unsigned>(p.session), static_cast<unsigned>(code),
                        static_cast<unsigned>(code));
        } else {
            log_wprintf(log_, kCategory, L"relayed process PID=%04X of session %u ended with 0x%08X: answer %d%s",
                        static_cast<unsigned>(p.pid), static_cast<unsigned>(p.session), static_cast<unsigned>(code),
                        o.answer, o.ending == enCountdown ? L" of the countdown" : L"");
        }
        return o;
    }

    Outcome MessageEnded(const Person& p, const MessageDone& done) {
        if (done.error) {
            log_wprintf(log_, kCategory, L"WTSSendMessageW failed for session %u: %s", static_cast<unsigned>(p.session),
                        result(done.error).str().c_str());
            return Outcome();
        }
        Outcome o = SessionOutcome(done.response, q_);
        log_wprintf(log_, kCategory, L"the session's message box answered %u in session %u%s",
                    static_cast<unsigned>(done.response), static_cast<unsigned>(p.session),
                    o.ending == enNone ? L": no answer of this box" : o.ending == enCountdown ? L": its timeout" : L"");
        return o;
    }

    // Says which runs end, and why: all of them go at once with the job in
    // End; a session's box cannot be ended.
    void EndRuns(std::vector<Person>& people, const wchar_t* why) {
        for (Person& p : people) {
            if (!p.asking) continue;
            if (p.way == wyMessage) {
                log_wprintf(log_, kCategory, L"the session's message box of session %u stays until its own timeout (%s)",
                            static_cast<unsigned>(p.session), why);
            } else {
                log_wprintf(log_, kCategory, L"ended the relayed process PID=%04X of session %u (%s)",
                            static_cast<unsigned>(p.pid), static_cast<unsigned>(p.session), why);
            }
            p.asking = false;
        }
    }

    // What is left in the port when the relay ends.
    void Drain() {
        if (!port_) return;
        DWORD message = 0;
        ULONG_PTR key = 0;
        LPOVERLAPPED overlapped = nullptr;
        while (GetQueuedCompletionStatus(port_.get(), &message, &key, &overlapped, 0) || overlapped) {
            if (key == kMessageKey) delete reinterpret_cast<MessageDone*>(overlapped);
            overlapped = nullptr;
        }
    }

    const RelayDlls& dlls_;
    const std::wstring& cmdline_;
    const std::vector<std::wstring>& entries_;
    const Question& q_;
    Log* log_;
    bool opened_ = false;
    result open_result_;
    unique_handle port_;
    unique_handle job_;
};

// The user's profile folder, which they can open; empty when unknown.
std::wstring ProfileFolder(const RelayDlls& dlls, HANDLE token) {
    wchar_t path[MAX_PATH];
    DWORD n = MAX_PATH;
    return dlls.profile_dir(token, path, &n) ? std::wstring(path) : std::wstring();
}

bool Windows7() {
    OSVERSIONINFOEXW v{};
    v.dwOSVersionInfoSize = sizeof v;
    v.dwMajorVersion = 6;
    v.dwMinorVersion = 2;
    const DWORDLONG mask =
        VerSetConditionMask(VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL), VER_MINORVERSION, VER_GREATER_EQUAL);
    // Below 6.2 (Windows 8): 7 and Server 2008 R2, the oldest velmo runs on.
    return !VerifyVersionInfoW(&v, VER_MAJORVERSION | VER_MINORVERSION, mask);
}

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

RelayRun RelayToUsers(const std::wstring& cmdline, const std::vector<std::wstring>& environment, const Question& q,
                      SessionScope scope, const std::function<Question(const std::wstring&)>& in_language,
                      const RelayEnd& end) {
    Log* log = get_log();
    RelayRun run;
    RelayDlls dlls;
    if (!dlls.loaded.ok()) {
        log_wprintf(log, kCategory, L"cannot relay: %s", dlls.loaded.str().c_str());
        return run;
    }
    const SessionReport report = ReadSessions(dlls);
    std::vector<std::pair<DWORD, unique_handle>> tokens;
    run.choice = ChooseUsers(dlls, report, scope, tokens);
    if (run.choice.whom != whAsked) {
        log_wprintf(log, kCategory, L"nobody to ask: %s (console session %d, %u sessions listed, error %u)",
                    WhomText(run.choice.whom), static_cast<int>(report.console),
                    static_cast<unsigned>(report.sessions.size()), static_cast<unsigned>(run.choice.error));
        return run;
    }
    const bool windows7 = Windows7();
    std::vector<Person> people(tokens.size());
    for (size_t i = 0; i < tokens.size(); ++i) {
        Person& p = people[i];
        p.session = tokens[i].first;
        p.token = std::move(tokens[i].second);
        p.sid = TokenUserSid(p.token.get());
        const SessionReport::Session* listed = nullptr;
        for (const SessionReport::Session& s : report.sessions) {
            if (s.id == p.session) listed = &s;
        }
        p.name = listed && !listed->name.empty() ? listed->name : UserOf(p.token.get());
        log_wprintf(log, kCategory, L"asking session %u, user %s (%s, %s)", static_cast<unsigned>(p.session),
                    p.name.c_str(), listed ? StateText(listed->state) : L"not listed",
                    LockText(listed ? listed->lock : kWtsSessionStateUnknown, windows7));
    }

    // What an asker that was killed left behind, by any relay; the folder
    // is made only for a copy. Declared before the copy: removed after it.
    const std::wstring root = TempRoot();
    CopiesFolder copies;
    OpenCopies(copies, root, false);
    PrivateCopy copy;
    Relay relay(dlls, cmdline, environment, q);
    const std::wstring exe = module().FileName();
    for (Person& p : people) {
        DWORD error = 0;
        p.attempts.may_run = exe.empty() ? -1 : UserMayRun(p.token.get(), exe, &error);
        if (p.attempts.may_run == 1) {
            log_wprintf(log, kCategory, L"the user of session %u may run %s where it is", static_cast<unsigned>(p.session),
                        exe.c_str());
        } else {
            log_wprintf(log, kCategory, L"the user of session %u may not run %s where it is (%s, error %u)",
                        static_cast<unsigned>(p.session), exe.c_str(),
                        p.attempts.may_run == 0 ? L"no read and execute access" : L"not known",
                        static_cast<unsigned>(error));
        }
    }
    // Each way in its order, for every person it is next for: one after the
    // other, none waited for.
    for (Person& p : people) {
        if (NextWay(p.attempts) != wyInPlace) continue;
        std::wstring dir = ProfileFolder(dlls, p.token.get());
        if (dir.empty()) dir = exe.substr(0, exe.find_last_of(L'\\'));
        p.attempts.in_place = relay.Start(p, wyInPlace, exe, dir);
    }
    std::vector<std::wstring> copy_users;
    for (const Person& p : people) {
        if (NextWay(p.attempts) == wyCopy) copy_users.push_back(p.sid);
    }
    if (!copy_users.empty()) {
        // One copy that each of them may read and run, and nobody else.
        result made = exe.empty() ? result(ERROR_BAD_PATHNAME, L"module::FileName") : OpenCopies(copies, root, true);
        if (made.ok()) made = copy.make(exe, copy_users, copies.path());
        if (made.ok()) {
            log_wprintf(log, kCategory, L"private copy made: %s", copy.exe().c_str());
        } else {
            log_wprintf(log, kCategory, L"no private copy in %s: %s", root.c_str(), made.str().c_str());
        }
        bool started = false;
        for (Person& p : people) {
            if (NextWay(p.attempts) != wyCopy) continue;
            p.attempts.copy = !made.ok() ? (made.code() ? made.code() : ERROR_INTERNAL_ERROR)
                                         : relay.Start(p, wyCopy, copy.exe(), copy.folder());
            started |= p.attempts.copy == 0;
        }
        // Not left behind while the session's boxes wait for the persons.
        if (!started) RemoveCopy(copy);
    }
    for (size_t i = 0; i < people.size(); ++i) {
        Person& p = people[i];
        if (NextWay(p.attempts) != wyMessage) continue;
        const Question asked = in_language ? in_language(UserUiLanguage(p.token.get())) : q;
        p.attempts.message = relay.AskByMessage(p, i, asked);
        if (p.attempts.message)
            log_wprintf(log, kCategory, L"cannot ask session %u through its message box: %s",
                        static_cast<unsigned>(p.session), result(p.attempts.message).str().c_str());
    }
    for (const Person& p : people) {
        if (NextWay(p.attempts) == wyNobody)
            log_wprintf(log, kCategory, L"no way to ask session %u", static_cast<unsigned>(p.session));
    }
    relay.Wait(people, run, end);
    relay.End(people);
    RemoveCopy(copy);
    return run;
}

}  // namespace kt
