// velmo where no one can see its box: the answer of nobody, and the box
// relayed to the person at the screen.
#pragma once

#include "app/CmdLine.h"
#include "app/Deferral.h"
#include "relay/Answer.h"

// The variable that marks a relayed run. A relayed velmo never relays again.
extern const wchar_t kRelayedVariable[];

// The asking velmo's process id (hexadecimal) when this run is relayed; empty
// otherwise.
std::wstring RelayedBy();

// The box of the command line, as the relay asks it.
kt::Question AskedOf(const MsgBoxParams& p);

// The exit code when nobody can answer (kt::NobodyAnswer of the box).
int NobodyAnswer(const MsgBoxParams& p);

// Shows the box on the desktops of the persons at the screen (see
// kt::RelayToUsers); the first answer, or NobodyAnswer when nobody can be asked or
// nobody answered. p holds the command line's own words and a texts file's
// content: the relayed run, and the session's box, take the words of the
// person's language.
// With Defer=, deferrals are those left and the deadline: handed to each
// relayed run, and the count kept after the first person's answer.
int AskUser(const MsgBoxParams& p, const DeferralsNow& deferrals = DeferralsNow());

// Run from where nobody sees it: the notice relayed to the persons at the
// screen (see kt::RelayToUsers) while the command runs; every relayed
// notice goes when it ends. Returns once no notice is left or the command
// has ended.
void NoticeToUsers(const MsgBoxParams& p, HANDLE command);
