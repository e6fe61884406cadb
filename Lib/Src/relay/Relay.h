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
#include "relay/Session.h"
#include "relay/Start.h"

namespace kt {

// An environment block (entries "name=value", each ended by a zero, the
// block by one more) with entry ("name=value") put in: in place of the
// variable of that name, or where its name sorts, without letter case.
std::wstring WithEntry(const wchar_t* block, const std::wstring& entry);

struct RelayRun {
    SessionChoice choice;
    bool answered = false;          // a person answered
    int answer = 0;                 // that answer
    DWORD session = kNoSession;     // whose
    std::wstring who;               // "DOMAIN\user" of that session
    Way way = wyNobody;             // and how they were asked
};

// Asks q of every person ChooseSessions names for scope, at once. A relayed
// run is this exe with cmdline, on WinSta0\Default of its session, with that
// user's token and environment (plus the entries), inheriting no handles;
// all runs are in one job that ends them when this process ends, and
// report their ends through one completion port (no limit on their
// number). A run reports its answer as CodeAnswer does. The first person's
// answer ends every other run (their boxes go) and is the answer; a
// countdown's click, or a run that ends without an answer, drops out while
// others ask. After RelayWaitMs every run left is ended. Where no program
// may start for a person, the session's message box asks, on a thread of
// its own (it cannot be ended: it stays until its own timeout), in
// in_language(that person's UI language) when given, else q. WTSAPI32.dll
// and USERENV.dll are loaded from System32 alone.
// How a relay ends besides its answers.
struct RelayEnd {
    // Once this is signalled (a command that ended), every run left is
    // ended and the relay returns. Null: never.
    HANDLE until = nullptr;
    // A notice, not a question: a person's answer closes their box alone.
    bool notice = false;
};

RelayRun RelayToUsers(const std::wstring& cmdline, const std::vector<std::wstring>& environment, const Question& q,
                      SessionScope scope, const std::function<Question(const std::wstring&)>& in_language = nullptr,
                      const RelayEnd& end = RelayEnd());

}  // namespace kt
