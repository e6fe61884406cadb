// Where no one can see a box: this process's window station, and the session
// of the person at the screen.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "lib/owner.h"

namespace kt {

class RelayDlls;

// The session identifier that names no session (no console attached).
const DWORD kNoSession = 0xFFFFFFFF;

// Whether a window station is shown to anybody: its flags say so (an
// unreadable flag counts as shown), and it is not in session 0, which
// nobody sees since Windows Vista although its WinSta0 is marked visible
// (a service "interacting with the desktop" runs there).
bool StationSeen(bool flags_read, DWORD flags, DWORD session);
// The same for this process's station and session.
bool StationVisible();

// What the system reports of its sessions.
struct SessionReport {
    struct Session {
        DWORD id;
        bool active;  // WTSActive
        bool user;    // a user is logged on in it
    };
    DWORD console = kNoSession;     // WTSGetActiveConsoleSessionId
    std::vector<Session> sessions;  // WTSEnumerateSessionsW
};

// Whom the box is shown to, or why to nobody.
enum Whom : int {
    whAsked = 0,        // the person of the chosen session
    whNoUser,           // nobody is logged on
    whSeveralUsers,     // no console user, and more than one active session with a user
    whNoRight,          // the caller may not take a user's token
};

struct SessionChoice {
    DWORD session = kNoSession;
    Whom whom = whNoUser;
    DWORD error = 0;  // the token query's error behind a "nobody"
};

// The console session when a user is logged on there; else the one active
// session with a user; else nobody. token_error(id) is WTSQueryUserToken's
// answer for the session: 0, or its error (ERROR_NO_TOKEN: nobody logged
// on; ERROR_PRIVILEGE_NOT_HELD: the caller has no right to it).
SessionChoice ChooseSession(const SessionReport& report, const std::function<DWORD(DWORD)>& token_error);

// The log's words for a choice.
const wchar_t* WhomText(Whom whom);

// The sessions as the system reports them now.
SessionReport ReadSessions(const RelayDlls& dlls);
// The choice for the report, with the chosen user's token in token.
SessionChoice ChooseUser(const RelayDlls& dlls, const SessionReport& report, unique_handle& token);
// "DOMAIN\name" of the token's user, for the log ("?" when unknown).
std::wstring UserOf(HANDLE token);

// The user interface language of a logged-on user as a tag ("de-DE"), by
// ProfileLanguage over their loaded profile (HKEY_USERS\<their SID>): for
// the session's box from SYSTEM, and in the relayed run for its own user,
// so that one person gets one section either way.
std::wstring UserUiLanguage(HANDLE token);

}  // namespace kt
