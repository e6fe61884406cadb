// The sessions followed while a relay asks: WTSAPI32's session notifications
// on a hidden window of the asker's own, each one told to the relay's
// completion port. They only say when to read the sessions again: what a
// message carries is not trusted (anyone on the desktop can post one), and
// notifications can be missed (Windows sends them to a service through its
// handler rather than a window; Wine has none), so the relay also reads the
// sessions at an interval.
#pragma once

#include <memory>

#include "lib/owner.h"

namespace kt {

class RelayDlls;

// The interval at which the relay reads the sessions again: a logon without
// a notification is seen within it.
const DWORD kFollowMs = 2000;
// How soon after a notification they are read: the notifications of one
// logon, or of a storm of them, cost one reading.
const DWORD kNotifiedScanMs = 100;
// WM_WTSSESSION_CHANGE's lock and unlock, which change nobody's claim.
const DWORD kSessionLock = 7, kSessionUnlock = 8;

// A session notification (WM_WTSSESSION_CHANGE's wParam) in the log's words.
const wchar_t* SessionEventText(WPARAM event);

class SessionWatch {
public:
    SessionWatch() = default;
    SessionWatch(const SessionWatch&) = delete;
    SessionWatch& operator=(const SessionWatch&) = delete;
    ~SessionWatch() { Stop(); }

    // Registers a window of a thread of its own for every session's
    // notifications; each one is posted to port with key, the event as the
    // byte count and the session as the overlapped pointer. 0, or why none
    // will come (the DLL has no such function, the call failed).
    DWORD Start(const RelayDlls& dlls, HANDLE port, ULONG_PTR key);
    // Unregisters, destroys the window and ends the thread.
    void Stop();

    struct Task;  // what the thread owns

private:
    unique_handle thread_;
    std::shared_ptr<Task> task_;  // shared with the thread, which may outlive Stop
};

}  // namespace kt
