// CloseApps=: the apps in the way of an install, named in the box while it
// is up, closed on button 1 as their person would close them, and with
// Reopen started again once the command has ended. Nothing is lost unless
// ForceClose says so.
#pragma once

#include <functional>

#include "app/CmdLine.h"
#include "win32gui/Apps.h"

// The code deployment systems retry (another install is under way): an app
// would not close.
const int kRetryLater = 1618;

// Button 1's answer, as a box that ends by itself gives it (the OK-only
// box's OK).
int Button1Answer(const MsgBoxParams& p);
// Whether the box's answer is button 1's (for an OK-only box, Wine's
// Cancel for its one button too).
bool IsButton1(int answer, const MsgBoxParams& p);

// The session this process runs in.
DWORD OwnSession();

// The words as written (texts and deferrals already in them) with {apps}:
// the apps, one line each.
void ApplyApps(MsgBoxParams& p, const MsgBoxParams& written, const std::vector<kt::RunningApp>& running);

// The box's words follow the apps of session every second (see
// MsgBoxLook::refresh); with done_when_none the box ends with button 1 once
// none of them runs. The finder is the box's own.
std::function<kt::MsgBoxLook::LiveWords()> FollowApps(const MsgBoxParams& written, DWORD session, bool done_when_none);

// What closing did: each app, and how it ended.
struct Closing {
    std::vector<kt::RunningApp> apps;
    std::vector<kt::AppEnd> ends;
    bool AllEnded() const;
};

// Closes the apps of session as their person would: WM_CLOSE to each of
// their windows, then up to CloseWait for them to end; with ForceClose
// what still runs is ended. shown: the apps the box named first (those
// gone by now were closed by their person before velmo asked). Each app
// is logged: its image, PID, session and user, and how it ended.
Closing CloseApps(const CloseTerms& terms, DWORD session, const std::vector<kt::RunningApp>& shown,
                  bool with_cmdline = false);

// One session's apps after the closing: how many still run. A session
// where nobody was asked (disconnected, or asked through its own message
// box) had its apps never asked to close: they all count as running.
struct SessionApps {
    DWORD session = 0;
    bool asked = false;
    size_t found = 0;    // its apps when velmo began
    size_t running = 0;  // of an asked session: still running after the wait
};
// How the sessions combine: button 1's answer once none runs anywhere;
// else, with ForceClose, what still runs is ended (to_end: how many) and
// the answer is button 1's where that works; else 1618.
enum ClosingVerdict { cvClosed, cvForce, cvRetry };
ClosingVerdict Verdict(const std::vector<SessionApps>& sessions, bool force, size_t* to_end = nullptr);

// Starts what was closed again, as it was started (its command line, else
// its image alone), as this process's user; logged.
void Reopen(const Closing& closing);
