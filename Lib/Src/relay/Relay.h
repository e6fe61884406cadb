// A box that no one could see, asked of the persons at the screen: a run of
// this program again on each one's desktop, as that person (from this exe
// where they may run it, else from a private copy), or where no program may
// start for them the session's own message box. All at once; the first
// person's answer wins. Every step leaves a log line (category RLY).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "relay/Answer.h"
#include "relay/Channel.h"
#include "relay/Session.h"
#include "relay/Start.h"

namespace kt {

struct RelayRun {
    SessionChoice choice;
    bool answered = false;          // a person answered
    int answer = 0;                 // that answer
    DWORD session = kNoSession;     // whose
    std::wstring who;               // "DOMAIN\user" of that session
    Way way = wyNobody;             // and how they were asked
    int left = 0;                   // with a deferral taken for the answer: what is left after it
    bool taken = false;
    // What each run reported of its person's apps (a ctClosed message), by
    // session: the runs that were told to close them, or a notice's.
    struct Closed {
        DWORD session;
        ChannelMessage report;
    };
    std::vector<Closed> closed;
};

// What is asked, and of whom in which words.
struct RelayAsk {
    // The box as asked: its answers' rules and the wait's bound.
    Question q;
    // A person's words, by their user interface language: the question a
    // relayed run is sent (remaining: the countdown's seconds left, 0 for
    // none), and the session's own box.
    std::function<ChannelMessage(const std::wstring& language, uint32_t remaining)> run_question;
    std::function<Question(const std::wstring& language)> session_question;
    // Whether the words depend on the language (a texts file, a date in
    // them): else it is not read, and empty.
    bool by_language = true;
    // A person's choice of the defer button (q.deferral), who: "DOMAIN\user":
    // whether a deferral is taken for it, and what is left. Null: none is.
    std::function<bool(const std::wstring& who, int& left)> take;
    // Whether the answer that counts closes the persons' apps: every run
    // still there is told it (ctDecided), and its report (ctClosed) waited
    // for, up to close_wait_ms and half a minute. Null: none does.
    std::function<bool(int answer)> closes_apps;
    DWORD close_wait_ms = 0;
    // A notice's runs close their apps at once: called (on the relay's
    // thread) once every run has reported, or has ended. Null: not waited.
    std::function<void(const std::vector<RelayRun::Closed>&)> reported;
};

// How a relay ends besides its answers.
struct RelayEnd {
    // Once this is signalled (a command that ended), every run left is
    // ended and the relay returns; nobody more is asked. Null: never.
    HANDLE until = nullptr;
    // A notice, not a question: a person's answer closes their box alone.
    bool notice = false;
};

// Asks of every person ChooseSessions names for scope, at once. A relayed
// run is this exe on WinSta0\Default of its session, with that user's token
// and own environment; its command line names one handle, its end of a
// channel (see Channel.h), the only handle it inherits. It is sent its
// question there and reports its box's end there; a run whose channel
// breaks ends its box (nobody's answer). All runs are in one job that ends
// them when this process ends; their ends, and the channels' traffic, come
// through one completion port (no limit on their number). The first
// person's answer ends every other run (their boxes go) and is the answer;
// a countdown's click, or a run that ends without an answer, drops out
// while others ask. A person's choice of the defer button is theirs only
// once ask.take gives them a deferral (a relayed run asks at the click,
// and its box stays without one). After RelayWaitMs every run left is
// ended. Where no program may start for a person, the session's message
// box asks, on a thread of its own (it cannot be ended: it stays until its
// own timeout). WTSAPI32.dll and USERENV.dll are loaded from System32 alone.
RelayRun RelayToUsers(const RelayAsk& ask, SessionScope scope, const RelayEnd& end = RelayEnd());

}  // namespace kt
