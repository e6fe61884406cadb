// Bad input, faults and load against the real exe.
#include <gtest/gtest.h>

#include <thread>

#include "tests/e2e/logfile.h"

namespace {

// The log-file helpers, the process and the wait constants.
using namespace e2e;

// Text and caption filling the whole command line, every category logged
// through ".*" patterns: the countdown still works and the log has its lines.
TEST(Limits, CommandLineMaximumWithEveryCategoryLogged) {
    Sandbox box(L"limits");
    TestDir::Write(box.wli(), "[Prms]\r\nFlshLns=1000\r\n[Evts]\r\n.*=.*\r\n");
    const std::wstring flags = L" \"YesNo|DefButton2\" 2";
    size_t room = 32767 - 1 - (box.exe().size() + 2) - flags.size() - 6;
    std::wstring text(room / 2, L'\u0436'), caption(room - room / 2, L'c');
    text[0] = L'T';
    Process p;
    HWND hwnd;
    ASSERT_TRUE(e2e::LaunchExe(p, box.exe(), L"\"" + text + L"\" \"" + caption + L"\"" + flags, hwnd));
    EXPECT_TRUE(e2e::MessageText(hwnd) == text);
    EXPECT_EQ(e2e::TitleSuffix(hwnd, caption), L" [2]");
    EXPECT_EQ(p.WaitExit(40000), test::Code(IDNO));
    std::vector<Line> lines = ParseLog(TestDir::Read(box.log()));
    EXPECT_TRUE(Contains(lines, L"velmo start"));
    EXPECT_TRUE(Contains(lines, L"velmo end(7)"));
    std::wstring search = L"::SrchWnd('" + caption + L"','" + text + L"') found ";
    bool found_search = false, click = false;
    for (const Line& l : lines) {
        if (l.category == L"UWE" && l.text.compare(0, search.size(), search) == 0) found_search = true;
        if (l.category == L"UB\u00B7" && l.text.compare(0, 9, L"btn_id=7,") == 0) click = true;
    }
    EXPECT_TRUE(found_search);
    EXPECT_TRUE(click);
}

TEST(Unicode, UnitsArriveExactlyInBoxTitleAndLog) {
    Sandbox box(L"unicode");
    TestDir::Write(box.wli(), "[Prms]\r\n[Evts]\r\nUWE=\r\n");
    const std::wstring text = L"\u041F\u0440\u0438\u0432\u0435\u0442 \u4F60\u597D \U0001F600\U0001F680";
    const std::wstring caption = L"\u0417\u0430\u0433\u043E\u043B\u043E\u0432\u043E\u043A \u6807\u9898 \U0001D11E";
    Process p;
    HWND hwnd;
    ASSERT_TRUE(e2e::LaunchExe(p, box.exe(), L"\"" + text + L"\" \"" + caption + L"\" OK 2", hwnd));
    EXPECT_TRUE(e2e::MessageText(hwnd) == text);
    EXPECT_TRUE(e2e::TitleSuffix(hwnd, caption) == L" [2]");
    EXPECT_EQ(p.WaitExit(kBoxWait), test::Code(IDCANCEL));
    std::vector<Line> lines = ParseLog(TestDir::Read(box.log()));
    ASSERT_FALSE(lines.empty());
    std::wstring want = L"::SrchWnd('" + caption + L"','" + text + L"') found ";
    EXPECT_TRUE(lines.back().text.compare(0, want.size(), want) == 0);
}

struct LoadRun {
    std::wstring args;
    DWORD timeout_ms;
    DWORD code;
};

// Starts every run at once and checks that each ends by itself, with its
// code, between its deadline and a few seconds after it.
void RunTogether(const std::vector<LoadRun>& runs) {
    std::vector<std::unique_ptr<Process>> procs;
    DWORD start = GetTickCount();
    for (const LoadRun& r : runs) {
        procs.push_back(std::make_unique<Process>());
        ASSERT_TRUE(procs.back()->StartVelmo(r.args));
    }
    // Each run's own end, not the moment the runs before it were waited for.
    std::vector<DWORD> took(runs.size(), 0);
    for (size_t left = runs.size(); left && GetTickCount() - start < 30000; Sleep(10)) {
        for (size_t i = 0; i < runs.size(); ++i) {
            if (took[i] || procs[i]->Running()) continue;
            took[i] = GetTickCount() - start;
            --left;
        }
    }
    for (size_t i = 0; i < runs.size(); ++i) {
        SCOPED_TRACE(test::Narrow(runs[i].args));
        EXPECT_EQ(procs[i]->WaitExit(0), runs[i].code);
        EXPECT_GE(took[i], runs[i].timeout_ms);
        EXPECT_LT(took[i], runs[i].timeout_ms + 6000);
    }
}

TEST(Load, EightBoxesEachCloseAtTheirOwnDeadline) {
    const wchar_t* const sets[] = {L"YesNo", L"OkCancel|DefButton2", L"AbortRetryIgnore|DefButton3",
                                   L"CancelTryContinue|DefButton2", L"RetryCancel", L"YesNoCancel|DefButton2",
                                   L"OK", L"YesNo|DefButton2"};
    const DWORD codes[] = {6, 2, 5, 10, 4, 7, 2, 7};
    std::vector<LoadRun> runs;
    for (int i = 0; i < 8; ++i) {
        int t = 2 + i % 4;
        runs.push_back({L"\"Load " + std::to_wstring(i) + L"\" \"Load caption " + std::to_wstring(i) + L"\" \"" +
                            sets[i] + L"\" " + std::to_wstring(t),
                        static_cast<DWORD>(t) * 1000, codes[i]});
    }
    RunTogether(runs);
}

TEST(Load, EightBoxesWithTheSameCaptionAndText) {
    std::vector<LoadRun> runs;
    for (int i = 0; i < 8; ++i) {
        runs.push_back({std::wstring(L"\"Same for all\" \"Same caption\" ") + (i % 2 ? L"YesNo|DefButton2" : L"YesNo") +
                            L" 3",
                        3000, test::Code(i % 2 ? IDNO : IDYES)});
    }
    RunTogether(runs);
}

TEST(Faults, ReadOnlyLogFile) {
    Sandbox box(L"readonly");
    TestDir::Write(box.wli(), "[Prms]\r\n[Evts]\r\n.*=\r\n");
    TestDir::Write(box.log(), "old");
    SetFileAttributesW(box.log().c_str(), FILE_ATTRIBUTE_READONLY);
    // Wine run as root does not enforce the attribute (root may write any
    // file); the content is checked only where the platform refuses writes.
    bool enforced = !TestDir::Open(box.log(), GENERIC_WRITE, FILE_SHARE_READ);
    DWORD start = GetTickCount();
    EXPECT_EQ(box.RunOnce(), test::Code(IDCANCEL));
    EXPECT_LT(GetTickCount() - start, 21000u);
    SetFileAttributesW(box.log().c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!enforced) GTEST_SKIP() << "Wine run as root writes read-only files: the log's content cannot be checked";
    EXPECT_EQ(TestDir::Read(box.log()), "old");
}

TEST(Faults, ParameterFileDeletedOrRewrittenDuringARun) {
    const char* const rewrites[] = {nullptr, "\xFF\xFE[\0P\0", "[Prms]\r\nFlshSec=0\r\n[Evts]\r\n(=\r\n"};
    for (const char* rewrite : rewrites) {
        Sandbox box(L"wlichange");
        TestDir::Write(box.wli(), "[Prms]\r\n[Evts]\r\n.*=\r\n");
        Process p;
        ASSERT_TRUE(p.StartExe(box.exe(), L"\"changing\" \"Parameter file changes\" YesNo 2"));
        ASSERT_NE(e2e::FindBox(p.Pid(), kBoxWait), nullptr);
        if (rewrite) TestDir::Write(box.wli(), std::string(rewrite, rewrite[0] == '\xFF' ? 6 : strlen(rewrite)));
        else DeleteFileW(box.wli().c_str());
        EXPECT_EQ(p.WaitExit(kBoxWait), test::Code(IDYES));
        EXPECT_TRUE(Contains(ParseLog(TestDir::Read(box.log())), L"velmo end(6)"));
    }
}

TEST(Faults, EscapeAndAltF4DuringTheCountdown) {
    struct Case {
        const wchar_t* set;
        UINT msg;
        WPARAM key;
        LPARAM lparam;
        DWORD code;
        DWORD max_ms;  // from the key to the end of the run
    } cases[] = {
        {L"OkCancel", WM_KEYDOWN, VK_ESCAPE, 1, IDCANCEL, 2000},
        {L"OkCancel", WM_SYSKEYDOWN, VK_F4, 0x20000001, IDCANCEL, 2000},
        // Wine's YesNo box closes on both keys with IDCANCEL, long before the
        // countdown's IDYES. (Windows ignores both keys on a box without a
        // Cancel button; there the countdown would decide.)
        {L"YesNo", WM_KEYDOWN, VK_ESCAPE, 1, IDCANCEL, 2000},
        {L"YesNo", WM_SYSKEYDOWN, VK_F4, 0x20000001, IDCANCEL, 2000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(test::Narrow(c.set) + (c.msg == WM_KEYDOWN ? " Escape" : " Alt+F4"));
        Process p;
        HWND hwnd;
        ASSERT_TRUE(e2e::Launch(p, std::wstring(L"keys \"Keys ") + c.set + L"\" " + c.set + L" 4", hwnd));
        ASSERT_EQ(e2e::TitleSuffix(hwnd, std::wstring(L"Keys ") + c.set), L" [4]");
        DWORD sent = GetTickCount();
        PostMessageW(hwnd, c.msg, c.key, c.lparam);
        EXPECT_EQ(p.WaitExit(15000), c.code);
        EXPECT_LT(GetTickCount() - sent, c.max_ms);
    }
}

// A question is ended by its person or its countdown alone: the messages
// of the application's range that any program on the desktop may post end
// nothing, and leave nothing to count.
TEST(Faults, PostedApplicationMessagesEndNoQuestion) {
    Process p;
    HWND box;
    ASSERT_TRUE(e2e::Launch(p, L"\"Posted messages\" IT \"YesNo|Button2=Later\" 30", box));
    for (UINT m = WM_APP; m <= WM_APP + 0x3FF; ++m) PostMessageW(box, m, 0, 0);
    EXPECT_FALSE(e2e::GoneWithin(box, 500)) << "a posted message ended the question";
    e2e::Click(box, IDYES);
    EXPECT_EQ(p.WaitExit(kBoxWait), test::Code(IDYES));
}

}  // namespace
