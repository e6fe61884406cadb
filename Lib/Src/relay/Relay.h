// A box that no one could see, asked of the person at the screen: a run of
// this program again on that person's desktop, as that person (from this exe
// where they may run it, else from a private copy), or where no program may
// start for them the session's own message box. Every step leaves a log line
// (category RLY).
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
    Way way = wyNobody;     // how the person was asked; wyNobody when not
    bool answered = false;  // a real answer came back
    int answer = 0;
};

// Asks q of the person at the screen. A relayed run is this exe with cmdline,
// on WinSta0\Default of the chosen session, with that user's token and
// environment (plus the entries), inheriting no handles, in a job that ends
// it when this process ends; it reports its answer as CodeAnswer does, and
// one that gives no answer of q's within RelayWaitMs is ended. WTSAPI32.dll
// and USERENV.dll are loaded from System32 alone.
// The session's message box, which this process shows for the person, asks
// in_language(the person's UI language) when it is given, else q.
RelayRun RelayToUser(const std::wstring& cmdline, const std::vector<std::wstring>& environment, const Question& q,
                     const std::function<Question(const std::wstring&)>& in_language = nullptr);

}  // namespace kt
