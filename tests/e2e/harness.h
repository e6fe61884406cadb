// Drives the real velmo.exe: start it, find its box, read it, click it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "lib/owner.h"
#include "tests/common.h"

namespace e2e {

// How long a test waits for a box to appear or a run to end.
const DWORD kBoxWait = 20000;

// Directory of this test program (velmo.exe is built beside it).
std::wstring ExeDir();
std::wstring VelmoPath();

struct Control {
    HWND hwnd;
    int id;
    std::wstring cls;
    std::wstring text;
    bool visible;
};

// A started process; terminated on destruction if it is still running.
class Process {
public:
    Process() = default;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process();
    // Starts velmo.exe with the given argument text (already quoted).
    bool StartVelmo(const std::wstring& args);
    // Starts the given copy of velmo.exe.
    bool StartExe(const std::wstring& exe, const std::wstring& args);
    // output: an inheritable handle the program gets as its standard output
    // and error; null leaves them as they are.
    bool Start(const std::wstring& cmdline, HANDLE output = nullptr);
    // Exit code, or kTimedOut (the process is then killed).
    DWORD WaitExit(DWORD ms);
    bool Running() const;
    DWORD Pid() const { return pid_; }
    static const DWORD kTimedOut = 0xDEADBEEF;

private:
    kt::unique_handle process_;
    kt::unique_handle thread_;
    DWORD pid_ = 0;
};

// First visible top-level dialog of the process (or with the title, pid 0).
HWND FindBox(DWORD pid, DWORD timeout_ms, const std::wstring& title = std::wstring());
// First visible top-level dialog of any process whose message text is text.
HWND FindBoxWithText(const std::wstring& text, DWORD timeout_ms);
std::wstring Text(HWND w);
std::vector<Control> Children(HWND parent);
std::vector<int> VisibleButtonIds(HWND box);
// The box's message text: its visible static control with text.
std::wstring MessageText(HWND box);
bool IconVisible(HWND box);
// The part of the box's title after the caption, once the countdown has
// written one (polled until limit_ms pass or the box is gone).
std::wstring TitleSuffix(HWND box, const std::wstring& caption, DWORD limit_ms = 8000);
// Clicks a button the way the box's own button would.
void Click(HWND box, int id);

}  // namespace e2e
