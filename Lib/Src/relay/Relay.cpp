#include "relay/Relay.h"

#include <userenv.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <set>

#include "Log/Log.h"
#include "gen/module.h"
#include "io/security.h"
#include "relay/Dlls.h"
#include "relay/Follow.h"
#include "relay/Message.h"
#include "threads/job.h"

namespace kt {

namespace {

const wchar_t kCategory[] = L"RLY";

// The completion keys of the port: the session boxes' answers, the
// command's end, the channels' operations, the runs' ends, the sessions'
// notifications.
const ULONG_PTR kMessageKey = 2, kStopKey = 3, kChannelKey = 4, kExitKey = 5, kSessionKey = 6;
// How long an ended run is waited for, so that its copy can go; how long the
// channels' last operations are waited for when the relay ends.
const DWORD kEndWaitMs = 5000, kDrainMs = 5000;
// How long the runs have to go by themselves once their channels are closed.
const DWORD kGoMs = 1000;

// One asked session: its person, and how they are asked.
struct Person {
    DWORD session = kNoSession;
    unique_handle token;
    std::wstring sid, name;
    std::wstring language;  // once asked for
    bool language_read = false;
    Attempts attempts;
    Way way = wyNobody;     // how they are asked, once a way worked
    unique_handle process;  // their relayed run
    DWORD pid = 0;
    JobPlace place = jpInJob;
    bool asking = false;    // their box may still answer
    std::unique_ptr<PortChannel> channel;
    std::unique_ptr<EndWatch> end;  // tells the port when the run ends
    bool took = false;              // its one request for a deferral came
    bool reported = false;          // its apps' report came, or its channel ended
    ChannelMessage closed;          // that report (ctClosed), where one came
    // Whether the session is still theirs: it has not been seen to log off,
    // disconnect or change users since (see Leavers), with the user it was
    // asked for as the sessions' report names them.
    bool claim = true;
    std::wstring claim_user;
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

// A list of attributes for CreateProcess*: the one handle the run inherits.
class InheritOnly {
public:
    explicit InheritOnly(HANDLE h) : handle_(h) {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        buffer_.assign(size, '\0');
        list_ = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(&buffer_[0]);
        ok_ = size && InitializeProcThreadAttributeList(list_, 1, 0, &size) &&
              UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &handle_, sizeof handle_, nullptr,
                                        nullptr);
        if (!ok_) error_ = GetLastError();
    }
    InheritOnly(const InheritOnly&) = delete;
    InheritOnly& operator=(const InheritOnly&) = delete;
    ~InheritOnly() {
        if (ok_) DeleteProcThreadAttributeList(list_);
    }
    LPPROC_THREAD_ATTRIBUTE_LIST get() const { return ok_ ? list_ : nullptr; }
    DWORD error() const { return error_; }

private:
    HANDLE handle_;
    std::string buffer_;
    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
    bool ok_ = false;
    DWORD error_ = 0;
};

// The relayed runs and the session boxes of one relay, and their ends
// through one completion port.
class Relay {
public:
    Relay(const RelayDlls& dlls, const RelayAsk& ask, const RelayEnd& end, std::deque<Person>& people)
        : dlls_(dlls), ask_(ask), end_(end), people_(people), log_(get_log()), start_(GetTickCount()) {}
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;
    ~Relay() { End(); }

    // The port and the job; made once.
    result Open() {
        if (opened_) return open_result_;
        opened_ = true;
        port_.reset(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
        if (!port_) return open_result_ = LastErrorResult(L"CreateIoCompletionPort");
        if (DWORD e = job_.create()) return open_result_ = result(e, L"CreateJobObjectW");
        return open_result_;
    }

    // Whether the command the notice is for has ended: nothing more is sent.
    bool Over() const { return end_.until && WaitForSingleObject(end_.until, 0) == WAIT_OBJECT_0; }

    // The person's user interface language, read once where the words
    // depend on it.
    const std::wstring& Language(Person& p) {
        if (!p.language_read && ask_.by_language) p.language = UserUiLanguage(p.token.get());
        p.language_read = true;
        return p.language;
    }

    // Starts exe as the person in dir, with its end of a new channel, and
    // sends it its question; 0 or the error, logged.
    DWORD Start(size_t index, Way way, const std::wstring& exe, const std::wstring& dir) {
        Person& p = people_[index];
        result r = Open();
        ChannelPipe pipe;
        if (r.ok()) r = MakeChannel(pipe);
        std::wstring env;
        if (r.ok()) r = Environment(p.token.get(), env);
        StartedProcess started;
        if (r.ok()) {
            InheritOnly inherit(pipe.run.get());
            STARTUPINFOEXW si{};
            si.StartupInfo.cb = sizeof si;
            wchar_t desktop[] = L"WinSta0\\Default";
            si.StartupInfo.lpDesktop = desktop;
            si.lpAttributeList = inherit.get();
            const std::wstring cmdline = L"\"" + exe + L"\" " + RelayedWord(pipe.run.get());
            auto create = [&](DWORD flags, PROCESS_INFORMATION& pi) {
                std::wstring line = cmdline;
                // The environment block is read, not written, but the call
                // takes it as a plain pointer.
                void* block = const_cast<wchar_t*>(env.c_str());
                return ErrorUnless(CreateProcessAsUserW(p.token.get(), exe.c_str(), &line[0], nullptr, nullptr, TRUE,
                                                        CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW |
                                                            EXTENDED_STARTUPINFO_PRESENT | flags,
                                                        block, dir.c_str(), &si.StartupInfo, &pi));
            };
            if (!si.lpAttributeList) {
                r = result(inherit.error(), L"UpdateProcThreadAttribute");
            } else if (DWORD e = StartInJob(job_.get(), create, started)) {
                r = result(e, L"CreateProcessAsUserW");
            }
        }
        // The run holds its own copy of its end now.
        pipe.run.reset();
        if (!r.ok()) {
            log_wprintf(log_, kCategory, L"start %s for session %u refused: %s", WayText(way),
                        static_cast<unsigned>(p.session), r.str().c_str());
            return r.code() ? r.code() : ERROR_INTERNAL_ERROR;
        }
        p.process = std::move(started.process);
        p.pid = started.id;
        p.place = started.place;
        p.way = way;
        p.asking = true;
        log_wprintf(log_, kCategory, L"relayed process PID=%04X of session %u started %s on WinSta0\\Default%s: %s",
                    static_cast<unsigned>(p.pid), static_cast<unsigned>(p.session), WayText(way),
                    started.place == jpInJob ? L"" : (std::wstring(L", ") + JobPlaceText(started.place)).c_str(),
                    exe.c_str());
        const uint32_t remaining = Remaining();
        p.channel = std::make_unique<PortChannel>(std::move(pipe.asker), index);
        p.channel->Send(ask_.run_question(Language(p), remaining));
        if (DWORD e = p.channel->Open(port_.get(), kChannelKey)) {
            // A run without its channel would show a box nobody could hear.
            log_wprintf(log_, kCategory, L"the channel of session %u failed: %s: its run is ended",
                        static_cast<unsigned>(p.session), ErrorText(e).c_str());
            TerminateProcess(p.process.get(), ERROR_CANCELLED);
            p.asking = false;
            return e;
        }
        p.end = std::make_unique<EndWatch>();
        if (DWORD e = p.end->watch(p.process.get(), port_.get(), kExitKey, index))
            log_wprintf(log_, kCategory, L"the end of session %u's run is not watched: %s", static_cast<unsigned>(p.session),
                        ErrorText(e).c_str());
        return 0;
    }

    // Asks through the session's message box, on a thread of its own; 0 or
    // why it could not be started.
    DWORD AskByMessage(size_t index) {
        Person& p = people_[index];
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
        task->q = ask_.session_question ? ask_.session_question(Language(p)) : ask_.q;
        // One who arrives sees the countdown's time left, not a fresh one.
        if (task->q.timeout) task->q.timeout = Remaining();
        task->person = index;
        unique_handle thread(CreateThread(nullptr, 0, MessageThread, task.get(), 0, nullptr));
        if (!thread) return GetLastError();
        task.release();
        p.way = wyMessage;
        p.asking = true;
        return 0;
    }

    // Follows the sessions while Wait waits: scan reads them again and asks
    // who has arrived (see RelayToUsers), at kFollowMs and on each session
    // notification.
    void Follow(std::function<void()> scan) { scan_ = std::move(scan); }

    // Whether one who arrives now is still asked: the command has not ended
    // and the countdown has not run out.
    bool MayAskMore() const {
        if (Over()) return false;
        return !CountdownEnds(ask_.q) || TicksSince(start_) / 1000 < ask_.q.timeout;
    }

    size_t Asking() const {
        size_t n = 0;
        for (const Person& p : people_) n += p.asking;
        return n;
    }

    // The person has left their session (logged off, disconnected, another
    // user): their run is ended, and its end is nobody's answer; a session's
    // box cannot be ended, and its answer no longer counts.
    void Leave(size_t index, const wchar_t* how) {
        Person& p = people_[index];
        p.claim = false;
        lost_ = true;
        if (!p.asking) {
            log_wprintf(log_, kCategory, L"session %u (%s) has left (%s)", static_cast<unsigned>(p.session),
                        p.name.c_str(), how);
            return;
        }
        p.asking = false;
        if (p.way == wyMessage) {
            log_wprintf(log_, kCategory, L"session %u (%s) has left (%s): its message box stays, its answer is nobody's",
                        static_cast<unsigned>(p.session), p.name.c_str(), how);
            return;
        }
        log_wprintf(log_, kCategory, L"session %u (%s) has left (%s): its relayed process PID=%04X is ended, nobody's answer",
                    static_cast<unsigned>(p.session), p.name.c_str(), how, static_cast<unsigned>(p.pid));
        if (p.channel) p.channel->Close();
        if (p.process) TerminateProcess(p.process.get(), ERROR_CANCELLED);
    }

    // Waits until a person answers (the others are then ended), every box
    // has ended without one, the command has ended, or RelayWaitMs has
    // passed (what runs is then ended). While the sessions are followed it
    // also waits, with nobody asked, for one who may arrive: a notice's
    // until its command ends, a question's, once an asked person has left,
    // until its countdown runs out (without one, nobody's answer at once,
    // as when nobody was there).
    void Wait(RelayRun& run) {
        if (scan_ && !Open().ok()) scan_ = nullptr;
        // A notice where no run started has nothing to report.
        CheckReports();
        const DWORD limit = RelayWaitMs(ask_.q);
        // What ends the relay from outside comes through the port too.
        HANDLE stop_wait = nullptr;
        if (end_.until && (Asking() || scan_) &&
            !RegisterWaitForSingleObject(&stop_wait, end_.until, Stop, port_.get(), INFINITE,
                                         WT_EXECUTEONLYONCE | WT_EXECUTEINWAITTHREAD))
            log_wprintf(log_, kCategory, L"no wait for the command's end: %s", result(GetLastError()).str().c_str());
        auto unwait = scope_exit([&] {
            if (stop_wait) UnregisterWaitEx(stop_wait, INVALID_HANDLE_VALUE);
        });
        SessionWatch watch;
        if (scan_) {
            const DWORD e = watch.Start(dlls_, port_.get(), kSessionKey);
            log_wprintf(log_, kCategory, L"following the sessions: every %u s%s%s", static_cast<unsigned>(kFollowMs / 1000),
                        e ? L", no notifications: " : L" and on their notifications", e ? ErrorText(e).c_str() : L"");
        }
        DWORD next_scan = kFollowMs;  // since start_
        for (;;) {
            const bool following = scan_ && MayAskMore();
            const bool awaits = end_.notice ? end_.until != nullptr : lost_ && CountdownEnds(ask_.q);
            if (!Asking() && !(following && awaits)) return;
            // Due whatever keeps the port busy.
            if (following && TicksSince(start_) >= next_scan) {
                scan_();
                next_scan = TicksSince(start_) + kFollowMs;
                continue;
            }
            const DWORD elapsed = TicksSince(start_);
            if (limit != INFINITE && elapsed >= limit) {
                EndRuns(L"no answer within the countdown and 30 s");
                return;
            }
            DWORD timeout = limit == INFINITE ? INFINITE : limit - elapsed;
            if (following) {
                timeout = std::min<DWORD>(timeout, next_scan > elapsed ? next_scan - elapsed : 0);
                // The countdown's end stops the following: woken for it.
                if (CountdownEnds(ask_.q)) {
                    const uint64_t ends = uint64_t(ask_.q.timeout) * 1000;
                    if (ends > elapsed) timeout = static_cast<DWORD>(std::min<uint64_t>(timeout, ends - elapsed));
                }
            }
            DWORD bytes = 0;
            ULONG_PTR key = 0;
            LPOVERLAPPED overlapped = nullptr;
            DWORD error = 0;
            if (!GetQueuedCompletionStatus(port_.get(), &bytes, &key, &overlapped, timeout)) {
                error = GetLastError();
                // A failed operation of a channel comes with its Io.
                if (!overlapped) {
                    if (error != WAIT_TIMEOUT) {
                        log_wprintf(log_, kCategory, L"cannot wait for the relayed runs: %s", result(error).str().c_str());
                        EndRuns(L"the wait failed");
                        return;
                    }
                    continue;
                }
            }
            if (key == kStopKey) {
                EndRuns(L"the command has ended");
                return;
            }
            if (key == kSessionKey) {
                // A lock or an unlock changes nobody's claim. The others make
                // a reading due shortly: a storm of them costs one.
                if (bytes == kSessionLock || bytes == kSessionUnlock) continue;
                log_wprintf(log_, kCategory, L"notified: %s of session %u", SessionEventText(bytes),
                            static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(overlapped)));
                next_scan = std::min<DWORD>(next_scan, TicksSince(start_) + kNotifiedScanMs);
                continue;
            }
            Person* p = nullptr;
            Outcome o;
            if (key == kMessageKey && overlapped) {
                std::unique_ptr<MessageDone> done(reinterpret_cast<MessageDone*>(overlapped));
                p = done->person < people_.size() ? &people_[done->person] : nullptr;
                if (p && p->asking) o = MessageEnded(*p, *done);
                else p = nullptr;
            } else if (key == kExitKey) {
                p = RunExited(reinterpret_cast<size_t>(overlapped));
            } else if (key == kChannelKey && overlapped) {
                p = ChannelDone(reinterpret_cast<PortChannel::Io*>(overlapped), bytes, error, o, run);
                if (run.answered) return;
            }
            if (!p) continue;
            p->asking = false;
            if (o.ending == enPerson && o.answer == ask_.q.deferral && !run.taken) o = Take(*p, o, run);
            const Combined c = Combine(o, Asking(), ask_.q);
            // A person who closes a notice closes only their own.
            if (end_.notice || !c.by_person) continue;
            Decide(*p, c.answer, run);
            return;
        }
    }

    // Ends every run: their channels closed first, so that each run ends
    // its box and goes by itself; what is left after kGoMs goes with the
    // job. Then waits for them to go, and for what the port still owes.
    void End() {
        if (ended_) return;
        ended_ = true;
        for (Person& p : people_) {
            if (p.channel) p.channel->Close();
        }
        const DWORD start = GetTickCount();
        for (Person& p : people_) {
            const DWORD spent = TicksSince(start);
            if (p.process) WaitForSingleObject(p.process.get(), spent < kGoMs ? kGoMs - spent : 0);
        }
        job_.reset();
        for (Person& p : people_) {
            // Not in the job (Windows 7 and a caller's job): ended by hand.
            if (p.process && p.place != jpInJob && WaitForSingleObject(p.process.get(), 0) == WAIT_TIMEOUT)
                TerminateProcess(p.process.get(), ERROR_CANCELLED);
        }
        for (Person& p : people_) {
            if (p.process) WaitForSingleObject(p.process.get(), kEndWaitMs);
            // Its callback may run now: waited for, since it names the port.
            p.end.reset();
        }
        Drain();
        for (Person& p : people_) p.process.reset();
    }

private:
    static void CALLBACK Stop(PVOID port, BOOLEAN) { PostQueuedCompletionStatus(static_cast<HANDLE>(port), 0, kStopKey, nullptr); }

    // The countdown's seconds left now (at least 1); 0 without a countdown.
    uint32_t Remaining() const {
        if (!ask_.q.timeout) return 0;
        const uint32_t spent = TicksSince(start_) / 1000;
        return spent < ask_.q.timeout ? ask_.q.timeout - spent : 1;
    }

    // The person's own environment, and nothing of this process's.
    result Environment(HANDLE token, std::wstring& env) const {
        LPVOID block = nullptr;
        if (!dlls_.create_env(&block, token, FALSE)) return LastErrorResult(L"CreateEnvironmentBlock");
        const wchar_t* end = static_cast<const wchar_t*>(block);
        while (*end) end += wcslen(end) + 1;
        env.assign(static_cast<const wchar_t*>(block), end + 1);
        dlls_.destroy_env(block);
        return {};
    }

    // A run has ended: its channel is closed, so that what it still holds
    // is read and then its end told (a run that duplicated its end away
    // holds nobody up).
    Person* RunExited(size_t index) {
        if (index >= people_.size()) return nullptr;
        Person& p = people_[index];
        if (!p.asking || !p.channel) return nullptr;
        if (!p.channel->closed()) {
            p.channel->Close();
            return nullptr;
        }
        // Closed with nothing under way: no packet will tell its end.
        if (!p.channel->idle()) return nullptr;
        log_wprintf(log_, kCategory, L"relayed process PID=%04X of session %u ended without an answer",
                    static_cast<unsigned>(p.pid), static_cast<unsigned>(p.session));
        return &p;
    }

    // An operation of a channel has completed: the person whose box it
    // tells the end of, and how it ended; null while their box asks.
    Person* ChannelDone(PortChannel::Io* io, DWORD bytes, DWORD error, Outcome& o, RelayRun& run) {
        PortChannel* channel = io->owner;
        std::vector<ChannelMessage> messages;
        const PortChannel::Event event = channel->Completed(io, bytes, error, messages);
        Person& p = people_[channel->tag()];
        // A report of its apps comes whether or not its box still asks.
        for (const ChannelMessage& m : messages) {
            if (m.type() == ctClosed) Reported(p, &m);
        }
        if (event == PortChannel::evClosed) Reported(p, nullptr);
        if (!p.asking) return nullptr;
        for (const ChannelMessage& m : messages) {
            if (m.type() == ctClosed) continue;
            if (m.type() == ctTake) {
                // A box asks once, and only for a defer button it has.
                if (p.took || !ask_.q.deferral || end_.notice) return Breach(p, L"a request for a deferral it cannot make");
                p.took = true;
                TakeAtClick(p, run);
                if (run.answered) return nullptr;
            } else if (m.type() == ctAnswer && ReadAnswer(m, o)) {
                if (o.ending == enPerson && !IsAnswerOf(o.answer, ask_.q)) o = Outcome();
                if (o.ending == enNone) {
                    log_wprintf(log_, kCategory, L"relayed process PID=%04X of session %u: no answer",
                                static_cast<unsigned>(p.pid), static_cast<unsigned>(p.session));
                } else {
                    log_wprintf(log_, kCategory, L"relayed process PID=%04X of session %u: answer %d%s",
                                static_cast<unsigned>(p.pid), static_cast<unsigned>(p.session), o.answer,
                                o.ending == enCountdown ? L" of the countdown" : L"");
                }
                return &p;
            } else {
                return Breach(p, L"a message of no run");
            }
        }
        if (event != PortChannel::evClosed) return nullptr;
        // Its process goes with its end of the channel: its code is told.
        DWORD code = STILL_ACTIVE;
        if (WaitForSingleObject(p.process.get(), kGoMs) == WAIT_OBJECT_0) GetExitCodeProcess(p.process.get(), &code);
        if (code == STILL_ACTIVE) {
            log_wprintf(log_, kCategory, L"relayed process PID=%04X of session %u: its channel ended without an answer (%s)",
                        static_cast<unsigned>(p.pid), static_cast<unsigned>(p.session), channel->why().c_str());
        } else {
            log_wprintf(log_, kCategory, L"relayed process PID=%04X of session %u ended with %u (0x%08X) without an answer",
                        static_cast<unsigned>(p.pid), static_cast<unsigned>(p.session), static_cast<unsigned>(code),
                        static_cast<unsigned>(code));
        }
        o = Outcome();
        return &p;
    }

    // What no run of velmo sends came over the channel (the person's own
    // process is theirs to write to): the channel is closed, and the end
    // that follows is nobody's answer.
    Person* Breach(Person& p, const wchar_t* what) {
        log_wprintf(log_, kCategory, L"session %u sent %s: its channel is closed", static_cast<unsigned>(p.session), what);
        p.channel->Close();
        return nullptr;
    }

    // A run's report of its person's apps (null: its channel ended without
    // one). Once every run has reported, a notice's asker is told.
    void Reported(Person& p, const ChannelMessage* report) {
        if (p.reported) return;
        p.reported = true;
        if (report) p.closed = *report;
        log_wprintf(log_, kCategory, L"session %u %s", static_cast<unsigned>(p.session),
                    report ? L"reported how its apps closed" : L"ended without a report of its apps");
        CheckReports();
    }

    void CheckReports() {
        if (!ask_.reported || told_reports_) return;
        for (const Person& p : people_) {
            if (p.channel && !p.reported) return;
        }
        told_reports_ = true;
        ask_.reported(Reports());
    }

    std::vector<RelayRun::Closed> Reports() const {
        std::vector<RelayRun::Closed> reports;
        for (const Person& p : people_) {
            if (p.closed.type() == ctClosed) reports.push_back({p.session, p.closed});
        }
        return reports;
    }

  public:
    // The answer that counts closes the persons' apps: every run still
    // there is told it, and its report waited for (each one's end counts as
    // one), up to the closing's wait and half a minute.
    void Conclude(int answer, RelayRun& run) {
        if (!ask_.closes_apps || !ask_.closes_apps(answer)) return;
        for (Person& p : people_) {
            p.asking = false;
            if (!p.channel || p.channel->closed() || p.reported) continue;
            p.channel->Send(DecidedMessage(answer));
            log_wprintf(log_, kCategory, L"session %u told answer %d: its apps close", static_cast<unsigned>(p.session), answer);
        }
        const DWORD start = GetTickCount(), limit = ask_.close_wait_ms + kRelaySlackMs;
        auto waiting = [&] {
            for (const Person& p : people_) {
                if (p.channel && !p.channel->closed() && !p.reported) return true;
            }
            return false;
        };
        while (waiting() && TicksSince(start) < limit) {
            DWORD bytes = 0, error = 0;
            ULONG_PTR key = 0;
            LPOVERLAPPED overlapped = nullptr;
            if (!GetQueuedCompletionStatus(port_.get(), &bytes, &key, &overlapped, limit - TicksSince(start))) {
                error = GetLastError();
                if (!overlapped) continue;
            }
            Outcome ignored;
            if (key == kChannelKey && overlapped) {
                ChannelDone(reinterpret_cast<PortChannel::Io*>(overlapped), bytes, error, ignored, run);
            } else if (key == kExitKey) {
                const size_t index = reinterpret_cast<size_t>(overlapped);
                if (index < people_.size() && people_[index].channel) people_[index].channel->Close();
            } else if (key == kMessageKey) {
                delete reinterpret_cast<MessageDone*>(overlapped);
            }
        }
        if (waiting()) log_wprintf(log_, kCategory, L"not every run reported its apps in time");
        run.closed = Reports();
    }

  private:
    // A person's click of the defer button, asked by their run: a deferral
    // given is their answer at once.
    void TakeAtClick(Person& p, RelayRun& run) {
        int left = 0;
        const bool given = ask_.take && !end_.notice && ask_.take(p.name, left);
        p.channel->Send(TakenMessage(given, left));
        log_wprintf(log_, kCategory, L"session %u (%s) chose to defer: %s", static_cast<unsigned>(p.session),
                    p.name.c_str(), given ? L"a deferral taken" : L"none given, the box stays");
        if (!given) return;
        run.taken = true;
        run.left = left;
        p.asking = false;
        Decide(p, ask_.q.deferral, run);
    }

    // A person's defer answer that no click asked for (the session's own
    // box): theirs with a deferral, else nobody's.
    Outcome Take(const Person& p, const Outcome& o, RelayRun& run) {
        int left = 0;
        if (ask_.take && ask_.take(p.name, left)) {
            run.taken = true;
            run.left = left;
            return o;
        }
        log_wprintf(log_, kCategory, L"session %u (%s) answered %d, but no deferral is left: nobody's answer",
                    static_cast<unsigned>(p.session), p.name.c_str(), o.answer);
        return Outcome();
    }

    void Decide(const Person& p, int answer, RelayRun& run) {
        run.answered = true;
        run.answer = answer;
        run.session = p.session;
        run.who = p.name;
        run.way = p.way;
        log_wprintf(log_, kCategory, L"session %u (%s) answered %d first, asked %s", static_cast<unsigned>(p.session),
                    p.name.c_str(), answer, WayText(p.way));
        EndRuns(L"another person answered");
    }

    Outcome MessageEnded(const Person& p, const MessageDone& done) {
        if (done.error) {
            log_wprintf(log_, kCategory, L"WTSSendMessageW failed for session %u: %s", static_cast<unsigned>(p.session),
                        result(done.error).str().c_str());
            return Outcome();
        }
        Outcome o = SessionOutcome(done.response, ask_.q);
        log_wprintf(log_, kCategory, L"the session's message box answered %u in session %u%s",
                    static_cast<unsigned>(done.response), static_cast<unsigned>(p.session),
                    o.ending == enNone ? L": no answer of this box" : o.ending == enCountdown ? L": its timeout" : L"");
        return o;
    }

    // Says which runs end, and why: all of them go at once in End; a
    // session's box cannot be ended.
    void EndRuns(const wchar_t* why) {
        for (Person& p : people_) {
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

    // What the port still owes when the relay ends: the channels' last
    // operations (their Io lives in the channel), within kDrainMs; a channel
    // whose operation never completes is left to the process.
    void Drain() {
        if (!port_) return;
        const DWORD start = GetTickCount();
        auto busy = [&] {
            for (const Person& p : people_) {
                if (p.channel && !p.channel->idle()) return true;
            }
            return false;
        };
        for (;;) {
            const bool owed = busy();
            const DWORD spent = TicksSince(start);
            if (owed && spent >= kDrainMs) break;
            DWORD bytes = 0;
            ULONG_PTR key = 0;
            LPOVERLAPPED overlapped = nullptr;
            BOOL got = GetQueuedCompletionStatus(port_.get(), &bytes, &key, &overlapped, owed ? kDrainMs - spent : 0);
            if (!got && !overlapped) break;
            if (key == kMessageKey) delete reinterpret_cast<MessageDone*>(overlapped);
            if (key == kChannelKey && overlapped) {
                auto* io = reinterpret_cast<PortChannel::Io*>(overlapped);
                std::vector<ChannelMessage> ignored;
                io->owner->Completed(io, bytes, got ? 0 : GetLastError(), ignored);
            }
        }
        for (Person& p : people_) {
            if (p.channel && !p.channel->idle()) p.channel.release();
        }
    }

    const RelayDlls& dlls_;
    const RelayAsk& ask_;
    const RelayEnd& end_;
    std::deque<Person>& people_;  // grows as people arrive: its elements stay where they are
    Log* log_;
    DWORD start_;
    bool opened_ = false, ended_ = false, told_reports_ = false;
    bool lost_ = false;               // an asked person has left
    std::function<void()> scan_;      // reads the sessions again; null: not followed
    result open_result_;
    unique_handle port_;
    KillOnCloseJob job_;
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

RelayRun RelayToUsers(const RelayAsk& ask, SessionScope scope, const RelayEnd& end) {
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
    // A notice waits for who may arrive while its command runs; a question
    // that nobody can see now is answered at once, as the caller expects.
    const bool follow_nobody = end.notice && end.until && run.choice.whom != whNoRight;
    if (run.choice.whom != whAsked) {
        log_wprintf(log, kCategory, L"nobody to ask%s: %s (console session %d, %u sessions listed, error %u)",
                    follow_nobody ? L" yet" : L"", WhomText(run.choice.whom), static_cast<int>(report.console),
                    static_cast<unsigned>(report.sessions.size()), static_cast<unsigned>(run.choice.error));
        if (!follow_nobody) return run;
    }
    const bool windows7 = Windows7();
    const std::wstring exe = module().FileName();
    std::deque<Person> people;
    // One more person to ask, with their session as report lists it.
    auto add = [&](DWORD session, unique_handle token, const SessionReport& from) {
        people.emplace_back();
        Person& p = people.back();
        p.session = session;
        p.token = std::move(token);
        const SessionReport::Session* listed = nullptr;
        for (const SessionReport::Session& s : from.sessions) {
            if (s.id == p.session) listed = &s;
        }
        p.claim_user = listed ? listed->name : L"";
        p.name = !p.claim_user.empty() ? p.claim_user : UserOf(p.token.get());
        log_wprintf(log, kCategory, L"asking session %u, user %s (%s, %s)", static_cast<unsigned>(p.session),
                    p.name.c_str(), listed ? StateText(listed->state) : L"not listed",
                    LockText(listed ? listed->lock : kWtsSessionStateUnknown, windows7));
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
    };
    for (auto& t : tokens) add(t.first, std::move(t.second), report);

    // What an asker that was killed left behind, by any relay; the folder
    // is made only for a copy. Declared before the copies: removed after them.
    const std::wstring root = TempRoot();
    CopiesFolder copies;
    OpenCopies(copies, root, false);
    std::vector<std::unique_ptr<PrivateCopy>> copies_made;
    auto remove_copies = scope_exit([&] {
        for (auto& c : copies_made) RemoveCopy(*c);
    });
    Relay relay(dlls, ask, end, people);
    bool said = false;
    auto over = [&] {
        if (!relay.Over()) return false;
        if (!std::exchange(said, true)) log_wprintf(log, kCategory, L"the command has ended: nobody more is asked");
        return true;
    };
    // Asks people[first...]: each way in its order, for every person it is
    // next for, one after the other, none waited for; nothing more once the
    // command has ended.
    auto ask_from = [&](size_t first) {
        for (size_t i = first; i < people.size() && !over(); ++i) {
            Person& p = people[i];
            if (NextWay(p.attempts) != wyInPlace) continue;
            std::wstring dir = ProfileFolder(dlls, p.token.get());
            if (dir.empty()) dir = exe.substr(0, exe.find_last_of(L'\\'));
            p.attempts.in_place = relay.Start(i, wyInPlace, exe, dir);
        }
        std::vector<std::wstring> copy_users;
        for (size_t i = first; i < people.size(); ++i) {
            if (NextWay(people[i].attempts) == wyCopy) copy_users.push_back(TokenUserSid(people[i].token.get()));
        }
        if (!copy_users.empty() && !over()) {
            // One copy that each of them may read and run, and nobody else.
            auto copy = std::make_unique<PrivateCopy>();
            result made = exe.empty() ? result(ERROR_BAD_PATHNAME, L"module::FileName") : OpenCopies(copies, root, true);
            if (made.ok()) made = copy->make(exe, copy_users, copies.path());
            if (made.ok()) {
                log_wprintf(log, kCategory, L"private copy made: %s", copy->exe().c_str());
            } else {
                log_wprintf(log, kCategory, L"no private copy in %s: %s", root.c_str(), made.str().c_str());
            }
            bool started = false;
            for (size_t i = first; i < people.size(); ++i) {
                Person& p = people[i];
                if (NextWay(p.attempts) != wyCopy) continue;
                p.attempts.copy = !made.ok() ? (made.code() ? made.code() : ERROR_INTERNAL_ERROR)
                                             : relay.Start(i, wyCopy, copy->exe(), copy->folder());
                started |= p.attempts.copy == 0;
            }
            // Not left behind while the session's boxes wait for the persons.
            if (started) copies_made.push_back(std::move(copy));
            else RemoveCopy(*copy);
        }
        for (size_t i = first; i < people.size() && !over(); ++i) {
            Person& p = people[i];
            if (NextWay(p.attempts) != wyMessage) continue;
            p.attempts.message = relay.AskByMessage(i);
            if (p.attempts.message)
                log_wprintf(log, kCategory, L"cannot ask session %u through its message box: %s",
                            static_cast<unsigned>(p.session), result(p.attempts.message).str().c_str());
        }
        for (size_t i = first; i < people.size(); ++i) {
            if (NextWay(people[i].attempts) == wyNobody)
                log_wprintf(log, kCategory, L"no way to ask session %u", static_cast<unsigned>(people[i].session));
        }
    };
    ask_from(0);

    // Until someone answers: who leaves keeps no claim, who arrives is
    // asked. A token may come a while after its logon: asked once it does.
    std::set<DWORD> tokenless;
    auto claims = [&] {
        std::vector<AskedSession> asked;
        for (const Person& p : people) {
            if (p.claim) asked.emplace_back(p.session, p.claim_user);
        }
        return asked;
    };
    relay.Follow([&] {
        const SessionReport now = ReadSessions(dlls);
        for (DWORD id : Leavers(now, claims())) {
            const SessionReport::Session* listed = nullptr;
            for (const SessionReport::Session& s : now.sessions) {
                if (s.id == id) listed = &s;
            }
            const wchar_t* how = !listed || !listed->user ? L"logged off" : !listed->active ? StateText(listed->state) : L"another user";
            for (size_t i = 0; i < people.size(); ++i) {
                if (people[i].claim && people[i].session == id) relay.Leave(i, how);
            }
        }
        if (!relay.MayAskMore()) return;
        const size_t first = people.size();
        for (DWORD id : Newcomers(now, scope, claims())) {
            HANDLE t = nullptr;
            if (!dlls.query_token(id, &t)) {
                const DWORD e = GetLastError();
                if (tokenless.insert(id).second)
                    log_wprintf(log, kCategory, L"session %u has arrived, but its user's token is not there: %s",
                                static_cast<unsigned>(id), result(e).str().c_str());
                continue;
            }
            tokenless.erase(id);
            add(id, unique_handle(t), now);
            run.choice.whom = whAsked;
            run.choice.sessions.push_back(id);
        }
        if (people.size() > first) ask_from(first);
    });
    relay.Wait(run);
    if (!end.notice) relay.Conclude(run.answered ? run.answer : NobodyAnswer(ask.q), run);
    relay.End();
    return run;
}

}  // namespace kt
