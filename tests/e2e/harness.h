// Drives the real velmo.exe: start it, find its box, read it, click it.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
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
    // "running", or how it ended ("ended with 0xC0000135"): for a failure's message.
    std::string State() const;
    DWORD Pid() const { return pid_; }
    static const DWORD kTimedOut = 0xDEADBEEF;

private:
    kt::unique_handle process_;
    kt::unique_handle thread_;
    DWORD pid_ = 0;
};

// What another process of this one's architecture was started with, read
// from its process block (Wine 8 answers no ProcessCommandLineInformation):
// its command line and its environment block's entries. False when they
// cannot be read.
bool StartedWith(DWORD pid, std::wstring& cmdline, std::vector<std::wstring>& environment);

// First visible top-level dialog of the process (or with the title, pid 0).
HWND FindBox(DWORD pid, DWORD timeout_ms, const std::wstring& title = std::wstring());
// First visible top-level dialog of any process whose message text is text.
HWND FindBoxWithText(const std::wstring& text, DWORD timeout_ms);
// Every visible top-level dialog whose message text is text, once count
// of them are up or timeout_ms have passed.
std::vector<HWND> FindBoxesWithText(const std::wstring& text, size_t count, DWORD timeout_ms);
// Whether w is gone within timeout_ms.
bool GoneWithin(HWND w, DWORD timeout_ms);
std::wstring Text(HWND w);
std::vector<Control> Children(HWND parent);
std::vector<int> VisibleButtonIds(HWND box);  // left to right
// The box's message text: its visible static control with text.
std::wstring MessageText(HWND box);
// The visible static controls with text, left to right (a text set in
// columns has one per column).
std::vector<Control> TextColumns(HWND box);
bool IconVisible(HWND box);
// The part of the box's title after the caption, once the countdown has
// written one (polled until limit_ms pass or the box is gone).
std::wstring TitleSuffix(HWND box, const std::wstring& caption, DWORD limit_ms = 8000);
// Clicks a button the way the box's own button would.
void Click(HWND box, int id);

// A top-level window of the test program with a child showing text, pumping
// its own messages on a thread of its own.
class TestWindow {
public:
    TestWindow(const std::wstring& caption, const std::wstring& text, DWORD ex_style = 0) {
        thread_ = std::thread([=] {
            HWND top = CreateWindowExW(ex_style, L"STATIC", caption.c_str(), WS_OVERLAPPED | WS_VISIBLE, 0, 0, 200,
                                       80, nullptr, nullptr, nullptr, nullptr);
            CreateWindowExW(0, L"STATIC", text.c_str(), WS_CHILD | WS_VISIBLE, 0, 0, 100, 20, top, nullptr, nullptr,
                            nullptr);
            hwnd_ = top;
            MSG m;
            while (!stop_) {
                while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
                Sleep(5);
            }
            DestroyWindow(top);
        });
        while (!hwnd_) Sleep(5);
    }
    TestWindow(const TestWindow&) = delete;
    TestWindow& operator=(const TestWindow&) = delete;
    ~TestWindow() {
        stop_ = true;
        thread_.join();
    }
    HWND hwnd() const { return hwnd_; }

private:
    std::atomic<HWND> hwnd_{nullptr};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Real input, as a person gives it (SendInput): keys pressed and released
// in order, with Alt held around them when alt is set.
void PressKeys(std::initializer_list<WORD> keys, bool alt = false);
// A left click at the centre of the window.
void ClickAt(HWND w);
// Makes w the foreground window (an input event of this process's lets
// another program's window take it); true when it is.
bool BringToFront(HWND w);
// The visible buttons of the box, left to right.
std::vector<Control> ButtonRow(HWND box);
// Their texts.
std::vector<std::wstring> ButtonTexts(HWND box);
// Whether every visible button of the box is enabled (or every one greyed).
bool ButtonsEnabled(HWND box, bool enabled);
// The window's rectangle in the client coordinates of parent.
RECT RectIn(HWND parent, HWND w);
// Width of text in the system box's font (the message font at this
// process's scale), the mnemonic's "&" not counted; with width, the height
// of the text broken between words at that width, as a static draws it.
int MessageFontWidth(const std::wstring& text);
int MessageFontHeight(const std::wstring& text, int width);
// The work area of the monitor that shows w.
RECT WorkArea(HWND w);

}  // namespace e2e
