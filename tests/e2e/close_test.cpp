// CloseApps= with apps nobody here wrote: Wine's notepad (no version
// resource: named "notepad") and regedit ("Wine Registry Editor"). They
// run alone (their windows would take the front from other tests' boxes,
// and velmo closes every notepad of the session).
#include <gtest/gtest.h>

#include "tests/e2e/logfile.h"

namespace {

using e2e::kBoxWait;
using e2e::Process;

std::wstring Windows() {
    wchar_t dir[MAX_PATH];
    GetWindowsDirectoryW(dir, MAX_PATH);
    return dir;
}

// An app of the test's own: started, its main window found; ended with the
// test if it still runs.
class App {
public:
    // title: the main window's, for an app that starts another process to
    // show it (Wine's 32-bit regedit does); else the started process's.
    explicit App(const std::wstring& cmdline, const wchar_t* title = nullptr) {
        if (!starter_.Start(cmdline)) return;
        const DWORD started = starter_.Pid();
        test::Eventually([&] { return (window_ = title ? FindWindowW(nullptr, title) : MainWindow(started)) != nullptr; });
        if (window_) GetWindowThreadProcessId(window_, &pid_);
        process_.reset(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid_));
    }
    App(const App&) = delete;
    App& operator=(const App&) = delete;
    ~App() {
        if (Running()) TerminateProcess(process_.get(), 0);
    }
    HWND window() const { return window_; }
    DWORD pid() const { return pid_; }
    bool Running() const { return process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }
    bool GoneWithin(DWORD ms) const {
        return process_ && WaitForSingleObject(process_.get(), ms) == WAIT_OBJECT_0;
    }
    // Its text, changed and not saved: closing it asks "save changes?".
    void Type(const std::wstring& text) const {
        HWND edit = FindWindowExW(window_, nullptr, L"Edit", nullptr);
        SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
        SendMessageW(edit, EM_SETMODIFY, TRUE, 0);
    }
    std::wstring Typed() const {
        HWND edit = FindWindowExW(window_, nullptr, L"Edit", nullptr);
        wchar_t text[256] = {};
        // Another process's control: its text is asked of it.
        SendMessageW(edit, WM_GETTEXT, 256, reinterpret_cast<LPARAM>(text));
        return text;
    }

private:
    struct Find {
        DWORD pid;
        HWND found;
    };
    static BOOL CALLBACK FindMain(HWND w, LPARAM param) {
        auto* f = reinterpret_cast<Find*>(param);
        DWORD owner = 0;
        GetWindowThreadProcessId(w, &owner);
        if (owner != f->pid || !IsWindowVisible(w) || GetWindow(w, GW_OWNER)) return TRUE;
        f->found = w;
        return FALSE;
    }
    static HWND MainWindow(DWORD pid) {
        Find find{pid, nullptr};
        EnumWindows(FindMain, reinterpret_cast<LPARAM>(&find));
        return find.found;
    }
    Process starter_;  // ends what it started, when it still runs, with the test
    kt::unique_handle process_;
    DWORD pid_ = 0;
    HWND window_ = nullptr;
};

std::wstring Notepad(const std::wstring& file = L"") {
    return L"\"" + Windows() + L"\\system32\\notepad.exe\"" + (file.empty() ? L"" : L" \"" + file + L"\"");
}
std::wstring Regedit() { return L"\"" + Windows() + L"\\regedit.exe\""; }

// None of the apps runs: no box; button 1's answer at once, and the log
// says so.
TEST(CloseApps, NoneRunningNoBox) {
    e2e::Sandbox dir(L"close_none");
    TestDir::Write(dir.wli(), "[Prms]\r\n[Evts]\r\nAPP=\r\n");
    for (const wchar_t* flags : {L"YesNo", L"OkCancel"}) {
        Process p;
        const DWORD start = GetTickCount();
        ASSERT_TRUE(p.StartExe(dir.exe(), std::wstring(L"\"Close {apps}\" IT \"") + flags +
                                              L"|CloseApps=no-such-app,C:\\No\\Such\\\" 60"));
        EXPECT_EQ(p.WaitExit(kBoxWait), std::wstring(flags) == L"YesNo" ? test::Code(IDYES) : test::Code(IDOK));
        EXPECT_LT(GetTickCount() - start, 5000u) << "a box was up";
    }
    EXPECT_TRUE(e2e::Contains(e2e::ParseLog(TestDir::Read(dir.log())), L"none of the apps runs: no box, button 1's answer"));
}

// {apps} names each app once, as its person knows it; the list follows an
// app its person closed; the box ends by itself when the last has closed,
// with button 1's answer.
TEST(CloseApps, TheListFollowsTheAppsAndTheBoxEndsWithTheLast) {
    App first(Notepad()), second(Notepad()), registry(Regedit(), L"Registry Editor");
    ASSERT_TRUE(first.window() && second.window() && registry.window());
    Process p;
    HWND box;
    ASSERT_TRUE(e2e::Launch(p, L"\"Please close:\\n{apps}\" \"IT\" \"YesNo|CloseApps=notepad,regedit.exe\" 120", box));
    EXPECT_EQ(e2e::MessageText(box), L"Please close:\nnotepad\nWine Registry Editor");
    const RECT before = e2e::RectIn(GetDesktopWindow(), box);
    PostMessageW(registry.window(), WM_CLOSE, 0, 0);
    EXPECT_TRUE(test::Eventually([&] { return e2e::MessageText(box) == L"Please close:\nnotepad"; }, 3000))
        << test::Narrow(e2e::MessageText(box));
    const RECT after = e2e::RectIn(GetDesktopWindow(), box);
    EXPECT_LT(after.bottom - after.top, before.bottom - before.top) << "the box did not shrink to its text";
    PostMessageW(first.window(), WM_CLOSE, 0, 0);
    PostMessageW(second.window(), WM_CLOSE, 0, 0);
    EXPECT_EQ(p.WaitExit(kBoxWait), test::Code(IDYES));
}

// The proceed answer closes the apps as their person would: notepad asks
// "save changes?" and its person answers Yes, so the file is saved and the
// answer is button 1's. Unanswered, nothing is lost: 1618 after CloseWait,
// notepad and its text still there. With ForceClose it is ended.
TEST(CloseApps, NothingLostUnlessForceClose) {
    struct Case {
        const char* name;
        const wchar_t* more;  // after CloseApps=notepad
        bool answer_prompt;
        DWORD code;
        bool notepad_stays;
    };
    const Case cases[] = {
        {"saved_through_its_own_prompt", L"|CloseWait=20", true, test::Code(IDOK), false},
        {"unanswered_prompt", L"|CloseWait=2", false, 1618, true},
        {"force_close", L"|CloseWait=2|ForceClose", false, test::Code(IDOK), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        e2e::Sandbox dir(L"close_save");
        TestDir::Write(dir.wli(), "[Prms]\r\n[Evts]\r\nAPP=\r\n");
        const std::wstring doc = dir / L"doc.txt";
        TestDir::Write(doc, "before");
        App notepad(Notepad(doc));
        ASSERT_TRUE(notepad.window());
        notepad.Type(L"work of an hour");
        Process p;
        HWND box;
        ASSERT_TRUE(e2e::LaunchExe(p, dir.exe(), std::wstring(L"\"Close {apps}\" IT \"OkCancel|CloseApps=notepad") + c.more +
                                                    L"\" 120",
                                   box));
        e2e::Click(box, IDOK);
        HWND prompt = e2e::FindBox(notepad.pid(), kBoxWait, L"Notepad");
        ASSERT_NE(prompt, nullptr) << "notepad asked nothing";
        if (c.answer_prompt) e2e::Click(prompt, IDYES);
        EXPECT_EQ(p.WaitExit(kBoxWait), c.code);
        if (c.notepad_stays) {
            EXPECT_TRUE(notepad.Running()) << "notepad was ended";
            EXPECT_EQ(notepad.Typed(), L"work of an hour");
            EXPECT_TRUE(IsWindow(prompt)) << "its prompt went";
        } else {
            EXPECT_TRUE(notepad.GoneWithin(5000));
        }
        EXPECT_EQ(TestDir::Read(doc), c.answer_prompt ? "work of an hour" : "before");
        std::vector<e2e::Line> lines = e2e::ParseLog(TestDir::Read(dir.log()));
        const std::wstring how = c.notepad_stays ? L": still running" : c.answer_prompt ? L": closed when asked"
                                                                                          : L": ended after the wait";
        bool logged = false;
        for (const e2e::Line& l : lines) logged |= l.text.find(L"notepad.exe PID=") != std::wstring::npos &&
                                                   l.text.find(how) != std::wstring::npos;
        EXPECT_TRUE(logged) << test::Narrow(how);
    }
}

// Run: the apps close before the command starts; one that starts while
// the command runs is asked to close at once; with Reopen each app velmo
// closed starts again once the command has ended, with its command line.
TEST(CloseApps, RunKeepsThemClosedAndReopens) {
    e2e::Sandbox dir(L"close_run");
    TestDir::Write(dir.wli(), "[Prms]\r\n[Evts]\r\nAPP=\r\nRUN=\r\n");
    const std::wstring doc = dir / L"reopened.txt";
    TestDir::Write(doc, "reopen me");
    App before(Notepad(doc));
    ASSERT_TRUE(before.window());
    Process p;
    ASSERT_TRUE(p.StartExe(dir.exe(), L"\"Installing. {apps} stay closed.\" IT \"NoButtons|Run|CloseApps=notepad|CloseWait=10|Reopen\" 0 \"" +
                                          e2e::ExeDir() + L"\\sleeper.exe\" 4000 3010"));
    EXPECT_TRUE(before.GoneWithin(kBoxWait)) << "not closed before the command";
    // Started once the others are closed (the command runs, or is about to):
    // asked to close at once.
    App during(Notepad());
    ASSERT_TRUE(during.window());
    EXPECT_TRUE(during.GoneWithin(5000)) << "an app that started was not closed";
    EXPECT_EQ(p.WaitExit(kBoxWait), 3010u);
    std::vector<e2e::Line> lines = e2e::ParseLog(TestDir::Read(dir.log()));
    EXPECT_TRUE(e2e::HasLineStarting(lines, L"reopened ")) << "nothing reopened";
    // Reopened with its command line: the document is open again.
    HWND reopened = nullptr;
    EXPECT_TRUE(test::Eventually([&] { return (reopened = FindWindowW(nullptr, L"reopened.txt - Notepad")) != nullptr; }, 5000));
    if (reopened) {
        DWORD pid = 0;
        GetWindowThreadProcessId(reopened, &pid);
        kt::unique_handle h(OpenProcess(PROCESS_TERMINATE, FALSE, pid));
        if (h) TerminateProcess(h.get(), 0);
    }
}

}  // namespace
