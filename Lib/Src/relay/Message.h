// The session's own message box: WTSSendMessageW shows the system's box in a
// session, from SYSTEM, where no program may start for the user (app control,
// access). The same text, caption, set, icon and default button, and the
// countdown as its timeout; but no countdown in its title, no own labels and
// no Guard.
#pragma once

#include "relay/Answer.h"

namespace kt {

class RelayDlls;

// The style passed: the set, icon and default button, the text's alignment
// and reading order, top-most and in front (NoButtons shows OK).
DWORD SessionMessageStyle(const Question& q);
// How long the session's box shows a notice without a countdown: it cannot
// be ended when the command ends.
const DWORD kNoticeMessageS = 300;
// Its timeout in seconds: the countdown's while it ends the box; else, for
// a notice, kNoticeMessageS; else 0, which waits for the person.
DWORD SessionMessageTimeout(const Question& q);
// The answer for the box's response: IDTIMEOUT (32000) as the countdown's
// answer (the default button, or 32000 with ReportTimeout), a button of the
// set as it is; -1 for anything else (nobody answered).
int SessionAnswer(DWORD response, const Question& q);
// WTSSendMessageW.
using SendMessageFunction = BOOL(WINAPI*)(HANDLE, DWORD, LPWSTR, DWORD, LPWSTR, DWORD, DWORD, DWORD, DWORD*, BOOL);
// Shows the box in the session and waits for it: 0 with the response, or
// WTSSendMessageW's error.
DWORD SendSessionMessage(SendMessageFunction send, DWORD session, const Question& q, DWORD& response);
// How a response ends the asking in that session: a button of the set is
// a person's answer, IDTIMEOUT the countdown's (while a countdown ends the
// box), anything else none.
Outcome SessionOutcome(DWORD response, const Question& q);

}  // namespace kt
