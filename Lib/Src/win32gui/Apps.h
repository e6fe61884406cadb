// Apps that are in the way of an install: found by their processes' images,
// named as their person knows them, asked to close the way a person closes
// them (so that each may ask its own "save changes?"), and started again.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "lib/owner.h"

namespace kt {

// One app of CloseApps=: an exe's name (with or without .exe, any letter
// case), an exe's full path, or a folder (ending in \) whose programs all
// belong to it.
struct AppPattern {
    enum Kind { apName, apPath, apFolder } kind = apName;
    std::wstring text;  // the name without .exe; the path; the folder with its final backslash
    bool operator==(const AppPattern& o) const { return kind == o.kind && text == o.text; }
};
// CloseApps='s value, items split at commas: false (why says so) for an
// empty list or item, a path that is not a full one, or a name with a
// character no file name has.
bool ParseApps(const std::wstring& value, std::vector<AppPattern>& apps, std::wstring& why);
// Whether a process's image (its full path, as QueryFullProcessImageNameW
// gives it) is of the app, or of any of them.
bool AppMatches(const AppPattern& app, const std::wstring& image);
bool AnyApp(const std::vector<AppPattern>& apps, const std::wstring& image);

// Every session: for FindApps.
const DWORD kAllSessions = 0xFFFFFFFF;

// A process of one of the apps.
struct RunningApp {
    DWORD pid = 0;
    DWORD session = 0;
    std::wstring image;    // its full path
    std::wstring name;     // as its person knows it: FileDescription, else the exe's name without .exe
    std::wstring user;     // "DOMAIN\user", or "?"
    std::wstring cmdline;  // as it was started, where the system tells (else empty)
    // For waiting, ending and reading: may be empty when it cannot be opened.
    std::shared_ptr<unique_handle> process;
};

// How an app ended, for the log and the asker.
enum AppEnd : int {
    aeClosedBefore = 0,   // its person closed it before velmo asked
    aeClosedWhenAsked,    // it closed when asked
    aeEnded,              // ended after CloseWait (ForceClose)
    aeStillRunning,       // it still runs
};
const wchar_t* AppEndText(AppEnd end);

// Finds the apps' processes, remembering their names so that a search every
// second costs little: a process is opened only where its exe's name may
// match (with a folder among the apps, every process).
class AppFinder {
public:
    explicit AppFinder(const std::vector<AppPattern>& apps) : apps_(apps) {}
    // The apps' processes now, in session (kAllSessions: all), in the order
    // the system lists them. with_cmdline: each one's command line read too.
    std::vector<RunningApp> Find(DWORD session, bool with_cmdline = false);

private:
    std::wstring Name(const std::wstring& image);
    std::vector<AppPattern> apps_;
    std::map<std::wstring, std::wstring> names_;  // image -> name
    std::vector<char> list_;                      // the system's process list, kept for the next search
};

// {apps}: each app named once, however many processes it has, one line
// each, in the order found.
std::wstring AppsText(const std::vector<RunningApp>& running);
// The apps' names once each, in the order found.
std::vector<std::wstring> AppNames(const std::vector<RunningApp>& running);

// Asks the app to close as its person would: WM_CLOSE posted to each of its
// visible top-level windows (never sent: a "save changes?" prompt keeps it
// busy). The number of windows asked.
size_t AskToClose(const RunningApp& app);
// Whether the process has ended.
bool Ended(const RunningApp& app);
// Waits for h up to ms while this thread's windows get their messages
// (another thread's box may need them as it appears): WaitForSingleObject's
// answer.
DWORD WaitPumping(HANDLE h, DWORD ms);
// Waits until every one has ended or ms have passed: those still running.
std::vector<size_t> StillRunning(const std::vector<RunningApp>& running, DWORD ms);
// Ends the process (ForceClose): 0 or the error.
DWORD EndApp(const RunningApp& app);

// The command line a process was started with: the system's answer where
// it gives one (Windows 8.1 and later), else read from its process block
// (a process of this process's architecture); empty when neither can be.
std::wstring CommandLineOf(HANDLE process);

// The file's version resource's FileDescription; empty when it has none.
std::wstring FileDescription(const std::wstring& path);

}  // namespace kt
