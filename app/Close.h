// CloseApps=: the apps in the way of an install, named in the box while it
// is up, closed on button 1 as their person would close them, and with
// Reopen started again once the command has ended. Nothing is lost unless
// ForceClose says so.
#pragma once

#include <functional>

#include "app/CmdLine.h"
#include "relay/Relay.h"
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

// Until `until` is signalled (a command's end, a relayed run's channel), an
// app that starts in session is asked to close at once (the notice names
// it); looked for once a second.
void KeepAppsClosed(HANDLE until, const CloseTerms& terms, DWORD session);

// CloseApps='s value for the apps, as a relayed run is sent it.
std::wstring AppsValue(const std::vector<kt::AppPattern>& apps);

// A relayed run's report of its person's apps (ctClosed), and its reading:
// how many it found and how many still run, and each as "image: how".
kt::ChannelMessage ClosedMessage(const Closing& closing);
struct ClosedReport {
    uint32_t found = 0, running = 0;
    std::wstring apps;
};
bool ReadClosed(const kt::ChannelMessage& m, ClosedReport& r);

// From SYSTEM, once the runs have closed their persons' apps (reports):
// the apps of every session as they are now, combined by Verdict (a
// session without a report was never asked); with ForceClose what still
// runs is ended. Button 1's answer where none runs any more, else 1618.
// closed: every app found before that runs no more, for Reopen.
int ConcludeClosing(const MsgBoxParams& p, const std::vector<kt::RunningApp>& before,
                    const std::vector<kt::RelayRun::Closed>& reports, Closing* closed = nullptr);

// Reopen from where nobody sees it: each app as its own person, in their
// session (their token, environment and the shown desktop), never on this
// process's own unseen one.
void ReopenAsTheirPersons(const Closing& closing);
