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
// Its timeout in seconds: the countdown's while it ends the box; else 0,
// which waits for the person.
DWORD SessionMessageTimeout(const Question& q);
// The answer for the box's response: IDTIMEOUT (32000) as the countdown's
// answer (the default button, or 32000 with ReportTimeout), a button of the
// set as it is; -1 for anything else (nobody answered).
int SessionAnswer(DWORD response, const Question& q);
// Shows the box in the session and waits for it: 0 with the response, or
// WTSSendMessageW's error.
DWORD SendSessionMessage(const RelayDlls& dlls, DWORD session, const Question& q, DWORD& response);

}  // namespace kt
