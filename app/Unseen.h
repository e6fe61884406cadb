// velmo where no one can see its box: the answer of nobody, and the box
// relayed to the person at the screen.
#pragma once

#include "app/CmdLine.h"

// The variable that marks a relayed run. A relayed velmo never relays again.
extern const wchar_t kRelayedVariable[];

// The asking velmo's process id (hexadecimal) when this run is relayed; empty
// otherwise.
std::wstring RelayedBy();

// The exit code when nobody can answer: what the countdown gives at zero
// when there is one with a button to click (the default button, IDOK for an
// OK-only box as Windows answers it, 32000 with ReportTimeout), else 32000.
int NobodyAnswer(const MsgBoxParams& p);

// Whether a relayed velmo's exit code is an answer: a button or 32000. Any
// other (killed at log-off, ended by a crash) means nobody answered.
bool IsAnswer(DWORD code);

// Shows the box on the desktop of the person at the screen, through a run
// of this program in that person's session; the answer, or NobodyAnswer
// when nobody can be asked or nobody answered.
int AskUser(const MsgBoxParams& p);
