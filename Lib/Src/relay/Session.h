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
        std::wstring name = L"";                        // "DOMAIN\user", for the log
        int state = 0;                                  // WTS_CONNECTSTATE_CLASS
        LONG lock = -1;                                 // WTSINFOEX's session flags: 0, 1, or -1 unknown
    };
    DWORD console = kNoSession;     // WTSGetActiveConsoleSessionId
    std::vector<Session> sessions;  // WTSEnumerateSessionsW
};

// Whom velmo asks (Session=): every active session with a user, or only
// the console's.
enum SessionScope : int { scAll = 0, scConsole };

// Whom the box is shown to, or why to nobody.
enum Whom : int {
    whAsked = 0,        // the persons of the chosen sessions
    whNoUser,           // nobody is logged on in an active session
    whNoConsoleUser,    // Session=Console: nobody is logged on at the console, or it is not active
    whNoRight,          // the caller may not take a user's token
};

struct SessionChoice {
    std::vector<DWORD> sessions;  // to ask, in the report's order
    Whom whom = whNoUser;
    DWORD error = 0;  // the token query's error behind a "nobody"
};

// Every session that is active (WTSActive) with a user logged on, never
// session 0 (or, scConsole, the console session alone, when it is so): a
// session disconnected, idle, listening or without a user is nobody's
// screen. A console session that the report does not list (Wine lists
// none) counts when its user's token can be taken. token_error(id) is
// WTSQueryUserToken's answer for a session: 0; ERROR_NO_TOKEN (its user
// left meanwhile) or ERROR_ACCESS_DENIED (refused for that session):
// passed over, and no right when every session was refused;
// ERROR_PRIVILEGE_NOT_HELD (the caller has no right to any: nobody is
// asked).
SessionChoice ChooseSessions(const SessionReport& report, SessionScope scope,
                             const std::function<DWORD(DWORD)>& token_error);

// A session asked, by its id and the user it was asked for ("DOMAIN\user";
// empty where the report does not name one).
using AskedSession = std::pair<DWORD, std::wstring>;
// Who has arrived since velmo began to ask: a session of the report that
// ChooseSessions would ask (active with a user, never session 0; with
// scConsole the console's alone), but not with the user it was asked for
// already (a new logon, a reconnected session, a new console user).
// Their tokens are taken afterwards: a logon's may come a while after it.
std::vector<DWORD> Newcomers(const SessionReport& now, SessionScope scope, const std::vector<AskedSession>& asked);
// Who has left: an asked session that the report lists, but no longer as
// active with the user it was asked for (disconnected, logged off, another
// user), or that a report listing sessions no longer lists (a remote
// session ends with its logoff). With none listed (Wine) nobody leaves.
std::vector<DWORD> Leavers(const SessionReport& now, const std::vector<AskedSession>& asked);

// The log's words for a choice, a session's state and its lock: the lock
// flags are reversed on Windows 7 and Server 2008 R2 (windows7).
const wchar_t* WhomText(Whom whom);
const wchar_t* StateText(int state);
const wchar_t* LockText(LONG flags, bool windows7);

// The sessions as the system reports them now.
SessionReport ReadSessions(const RelayDlls& dlls);
// The choice for the report, with each chosen user's token (by session).
SessionChoice ChooseUsers(const RelayDlls& dlls, const SessionReport& report, SessionScope scope,
                          std::vector<std::pair<DWORD, unique_handle>>& tokens);

// The user interface language of a logged-on user as a tag ("de-DE"), by
// ProfileLanguage over their loaded profile (HKEY_USERS\<their SID>): for
// the session's box from SYSTEM, and in the relayed run for its own user,
// so that one person gets one section either way.
std::wstring UserUiLanguage(HANDLE token);

}  // namespace kt
