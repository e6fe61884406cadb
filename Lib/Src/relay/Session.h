// Where no one can see a box: this process's window station, the session of
// the person at the screen, and a run of this program again on that
// person's desktop, as that person.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "lib/kt.h"

namespace kt {

// The session identifier that names no session (no console attached).
const DWORD kNoSession = 0xFFFFFFFF;

// Whether this process's window station is shown on a display. A service's
// station, or a task's run "whether the user is logged on or not", is not.
// A station whose flags cannot be read counts as shown.
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

// An environment block (entries "name=value", each ended by a zero, the
// block by one more) with entry ("name=value") put in: in place of the
// variable of that name, or where its name sorts, without letter case.
std::wstring WithEntry(const wchar_t* block, const std::wstring& entry);

// A run of this program on the desktop of the person at the screen.
struct RelayRun {
    SessionChoice choice;
    result error;            // why the relayed process did not run
    DWORD exit_code = 0;     // its exit code, once it ran
    bool ran() const { return choice.whom == whAsked && error.ok(); }
};

// Starts this exe (its own full path) again with cmdline on WinSta0\Default
// of the chosen session, with that session's user token and environment
// (plus environment_entry), inheriting no handles, in a job that ends it
// when this process ends; waits for it to end. WTSAPI32.dll and USERENV.dll
// are loaded from System32 alone. Every step leaves a log line.
RelayRun RelayToUser(const std::wstring& cmdline, const std::wstring& environment_entry);

}  // namespace kt
