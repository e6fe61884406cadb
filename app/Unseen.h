// velmo where no one can see its box: the answer of nobody, and the box
// relayed to the person at the screen.
#pragma once

#include "app/CmdLine.h"
#include "app/Deferral.h"
#include "relay/Answer.h"
#include "relay/Relay.h"

#include <functional>

// The box of the command line, as the relay asks it.
kt::Question AskedOf(const MsgBoxParams& p);

// The exit code when nobody can answer (kt::NobodyAnswer of the box).
int NobodyAnswer(const MsgBoxParams& p);

// The box as a person of that user interface language sees it: the texts
// file's section for them, and the deferrals (with Defer=) in their words.
MsgBoxParams ForPerson(const MsgBoxParams& p, const std::wstring& language, const DeferralsNow& deferrals);

// Shows the box on the desktops of the persons at the screen (see
// kt::RelayToUsers); the first answer, or NobodyAnswer when nobody can be asked or
// nobody answered. p holds the command line's own words and a texts file's
// content: each person is asked in the words of their language. With
// Defer=, deferrals are those left and the deadline: shown to each person,
// a deferral taken at a person's click, and the count kept after the first
// person's answer.
int AskUser(const MsgBoxParams& p, const DeferralsNow& deferrals = DeferralsNow());

// Run from where nobody sees it: the notice relayed to the persons at the
// screen (see kt::RelayToUsers) until `until` is signalled (the command's
// end); every relayed notice goes then. Returns once no notice is left or
// until is signalled. With CloseApps= the runs close their persons' apps at
// once: reported is told once every run has said how (see
// kt::RelayAsk::reported).
void NoticeToUsers(const MsgBoxParams& p, HANDLE until,
                   const std::function<void(const std::vector<kt::RelayRun::Closed>&)>& reported = nullptr);
