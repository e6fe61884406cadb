// The countdown, run for real: titles, timing, the default button, and
// boxes that must not be confused with other windows.
#include <gtest/gtest.h>

#include "tests/e2e/logfile.h"

namespace {

using e2e::Process;

using e2e::kBoxWait;

// What the test saw of one box, polled every 10 ms.
struct Watched {
    DWORD appeared = 0;
    DWORD gone = 0;
    std::vector<std::wstring> titles;  // distinct, in order
};

Watched Watch(HWND box, DWORD limit_ms) {
    Watched w;
    w.appeared = GetTickCount();
    while (GetTickCount() - w.appeared < limit_ms) {
        if (!IsWindow(box)) break;
        std::wstring t = e2e::Text(box);
        if (!t.empty() && (w.titles.empty() || w.titles.back() != t)) w.titles.push_back(t);
        Sleep(10);
    }
    w.gone = GetTickCount();
    return w;
}

TEST(Countdown, TitleCountsDownAndTheBoxClosesAtZero) {
    Process p;
    HWND box;
    ASSERT_TRUE(e2e::Launch(p, L"\"Proceed?\" \"Counting three\" \"Question|YesNo\" 3", box));
    Watched w = Watch(box, 10000);
    std::vector<std::wstring> suffixed;
    for (const std::wstring& t : w.titles) {
        if (t != L"Counting three") suffixed.push_back(t);
    }
    EXPECT_EQ(suffixed, (std::vector<std::wstring>{L"Counting three [3]", L"Counting three [2]", L"Counting three [1]"}));
    DWORD lived = w.gone - w.appeared;
    // The box is seen up to 5 ms late and its end up to 10 ms late, and the
    // worker may take it for the box a moment before it is shown: 50 ms of
    // slack below the three seconds, none above.
    EXPECT_GE(lived, 2950u);
    EXPECT_LE(lived, 3500u);
    EXPECT_EQ(p.WaitExit(kBoxWait), test::Code(IDYES));
}

TEST(Countdown, FirstSuffixShowsTheWholeTime) {
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"59", L" [59]"}, {L"60", L" [1:00]"}, {L"3600", L" [1:00:00]"}, {L"-5", L" [1193046:28:11]"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(test::Narrow(c.first));
        std::wstring caption = std::wstring(L"Suffix ") + c.first;
        Process p;
        HWND box;
        ASSERT_TRUE(e2e::Launch(p, L"text \"" + caption + L"\" OkCancel " + c.first, box));
        EXPECT_EQ(e2e::TitleSuffix(box, caption), c.second);
        e2e::Click(box, IDOK);
        EXPECT_EQ(p.WaitExit(kBoxWait), 1u);
    }
}

struct DefCase {
    const wchar_t* set;
    int def;
    int expected;  // 0: the box stays open
};

void PrintTo(const DefCase& c, std::ostream* os) { *os << test::Narrow(c.set) << "/DefButton" << c.def; }

class DefaultButton : public ::testing::TestWithParam<DefCase> {};

TEST_P(DefaultButton, ClickedAtZero) {
    const DefCase& c = GetParam();
    std::wstring caption = std::wstring(L"Default ") + c.set + L" " + std::to_wstring(c.def);
    Process p;
    HWND box;
    std::wstring flags = std::wstring(c.set) + L"|DefButton" + std::to_wstring(c.def);
    ASSERT_TRUE(e2e::Launch(p, L"text \"" + caption + L"\" \"" + flags + L"\" 1", box));
    if (c.expected) {
        EXPECT_EQ(p.WaitExit(5000), test::Code(c.expected));
        return;
    }
    // No such button: the countdown ends without closing the box.
    Sleep(2500);
    ASSERT_TRUE(p.Running());
    EXPECT_EQ(e2e::Text(box), caption + L" [1]");
    std::vector<int> ids = e2e::VisibleButtonIds(box);
    ASSERT_FALSE(ids.empty());
    e2e::Click(box, ids.front());
    EXPECT_EQ(p.WaitExit(kBoxWait), test::Code(ids.front()));
}

INSTANTIATE_TEST_SUITE_P(
    Table, DefaultButton,
    ::testing::Values(DefCase{L"OK", 1, 2}, DefCase{L"OK", 2, 0}, DefCase{L"OK", 3, 0}, DefCase{L"OkCancel", 1, 1},
                      DefCase{L"OkCancel", 2, 2}, DefCase{L"OkCancel", 3, 0}, DefCase{L"AbortRetryIgnore", 1, 3},
                      DefCase{L"AbortRetryIgnore", 2, 4}, DefCase{L"AbortRetryIgnore", 3, 5},
                      DefCase{L"YesNoCancel", 1, 6}, DefCase{L"YesNoCancel", 2, 7}, DefCase{L"YesNoCancel", 3, 2},
                      DefCase{L"YesNo", 1, 6}, DefCase{L"YesNo", 2, 7}, DefCase{L"YesNo", 3, 0},
                      DefCase{L"RetryCancel", 1, 4}, DefCase{L"RetryCancel", 2, 2}, DefCase{L"RetryCancel", 3, 0},
                      DefCase{L"CancelTryContinue", 1, 2}, DefCase{L"CancelTryContinue", 2, 10},
                      DefCase{L"CancelTryContinue", 3, 11}),
    [](const ::testing::TestParamInfo<DefCase>& i) {
        return test::Identifier(i.param.set) + "_" + std::to_string(i.param.def);
    });

TEST(Countdown, ButtonClickedBeforeZeroWinsAtOnce) {
    Process p;
    HWND box;
    ASSERT_TRUE(e2e::Launch(p, L"text \"Early click\" \"YesNo\" 3", box));
    ASSERT_EQ(e2e::TitleSuffix(box, L"Early click"), L" [3]");
    DWORD clicked = GetTickCount();
    e2e::Click(box, IDNO);
    EXPECT_EQ(p.WaitExit(kBoxWait), test::Code(IDNO));
    EXPECT_LT(GetTickCount() - clicked, 1500u);
}

// Whatever default button is named, a box without buttons closes itself.
TEST(Countdown, NoButtonsHidesTheButtonAndClosesAtZero) {
    const wchar_t* const defaults[] = {L"", L"|DefButton2", L"|DefButton3", L"|DefButton4"};
    Process p[4];
    for (int i = 0; i < 4; ++i) {
        std::wstring caption = L"No buttons " + std::to_wstring(i);
        ASSERT_TRUE(p[i].StartVelmo(L"\"Working...\" \"" + caption + L"\" \"Information|NoButtons" + defaults[i] + L"\" 2"));
    }
    for (int i = 0; i < 4; ++i) {
        std::wstring caption = L"No buttons " + std::to_wstring(i);
        SCOPED_TRACE(caption);
        HWND box = e2e::FindBox(p[i].Pid(), kBoxWait);
        ASSERT_NE(box, nullptr);
        ASSERT_EQ(e2e::TitleSuffix(box, caption), L" [2]");
        Sleep(100);
        EXPECT_TRUE(e2e::VisibleButtonIds(box).empty());
        EXPECT_TRUE(e2e::IconVisible(box));
    }
    DWORD start = GetTickCount();
    for (int i = 0; i < 4; ++i) EXPECT_EQ(p[i].WaitExit(5000), test::Code(IDCANCEL)) << i;
    EXPECT_LT(GetTickCount() - start, 3000u);
}

// A text or caption given as a quote pair passes the parser and is empty.
TEST(Countdown, EmptyCaptionOrTextMeansAPlainBox) {
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {{L"\\\"\\\"", L"\"Empty text\""}, {L"text", L"\\\"\\\""}};
    for (const auto& c : cases) {
        Process p;
        HWND box;
        ASSERT_TRUE(e2e::Launch(p, std::wstring(c.first) + L" " + c.second + L" OkCancel 1", box));
        std::wstring title = e2e::Text(box);
        Sleep(2500);
        ASSERT_TRUE(p.Running());
        EXPECT_EQ(e2e::Text(box), title);
        DWORD clicked = GetTickCount();
        e2e::Click(box, IDCANCEL);
        EXPECT_EQ(p.WaitExit(kBoxWait), test::Code(IDCANCEL));
        // The worker ends with the box; the run does not wait out its 10 s.
        EXPECT_LT(GetTickCount() - clicked, 3000u);
    }
}

TEST(Countdown, AnotherProgramsWindowWithTheCaptionDoesNotTakeTheCountdown) {
    // A window of this (foreign) process with the same caption and text, on
    // top of the box in the window order.
    e2e::TestWindow decoy(L"Decoy caption", L"Decoy text", WS_EX_TOPMOST);
    Process p;
    HWND box;
    ASSERT_TRUE(e2e::Launch(p, L"\"Decoy text\" \"Decoy caption\" \"YesNo|DefButton2\" 2", box));
    EXPECT_EQ(e2e::TitleSuffix(box, L"Decoy caption"), L" [2]");
    EXPECT_EQ(p.WaitExit(6000), test::Code(IDNO));
    EXPECT_EQ(e2e::Text(decoy.hwnd()), L"Decoy caption");
}

TEST(Countdown, TwoVelmosWithTheSameBoxEachCountDown) {
    Process a, b;
    ASSERT_TRUE(a.StartVelmo(L"\"Same text\" \"Same caption\" \"YesNo\" 2"));
    ASSERT_TRUE(b.StartVelmo(L"\"Same text\" \"Same caption\" \"YesNo|DefButton2\" 3"));
    DWORD start = GetTickCount();
    ASSERT_NE(e2e::FindBox(a.Pid(), kBoxWait), nullptr);
    ASSERT_NE(e2e::FindBox(b.Pid(), kBoxWait), nullptr);
    EXPECT_EQ(a.WaitExit(8000), test::Code(IDYES));
    EXPECT_EQ(b.WaitExit(8000), test::Code(IDNO));
    EXPECT_LT(GetTickCount() - start, 6000u);
}

struct ReportCase {
    const char* name;
    const wchar_t* flags;
    int wait;          // the countdown, seconds
    int click;         // clicked once the countdown shows (late: after the deadline), 0: nobody
    bool late;
    bool batch;        // run by report.bat, whose exit code is the branch taken
    int topmost;       // the box is top-most: 1 yes, 0 no, -1 not looked at
    DWORD code;        // exit code of velmo or of the batch file
    DWORD logged;      // the code of the log's end line
};

void PrintTo(const ReportCase& c, std::ostream* os) { *os << c.name; }

class ReportTimeout : public ::testing::TestWithParam<ReportCase> {};

// ReportTimeout tells nobody (32000) from an answer; the window words reach
// the box and the countdown still finds it.
TEST_P(ReportTimeout, TellsNobodyFromAnAnswer) {
    const ReportCase& c = GetParam();
    e2e::Sandbox dir(L"report");
    TestDir::Write(dir.wli(), "[Prms]\r\n[Evts]\r\nA..=\r\n");
    const std::wstring text = L"Report " + std::wstring(c.name, c.name + strlen(c.name));
    SetEnvironmentVariableW(L"VELMO_TEXT", text.c_str());
    SetEnvironmentVariableW(L"VELMO_FLAGS", c.flags);
    SetEnvironmentVariableW(L"VELMO_WAIT", std::to_wstring(c.wait).c_str());
    Process p;
    bool started;
    if (c.batch) {
        CopyFileW((e2e::ExeDir() + L"\\report.bat").c_str(), (dir / L"report.bat").c_str(), FALSE);
        started = p.Start(L"cmd.exe /c \"" + (dir / L"report.bat") + L"\"");
    } else {
        started = p.StartExe(dir.exe(), L"\"" + text + L"\" \"Report timeout\" \"" + c.flags + L"\" " +
                                            std::to_wstring(c.wait));
    }
    ASSERT_TRUE(started);
    HWND box = e2e::FindBoxWithText(text, kBoxWait);
    ASSERT_NE(box, nullptr);
    if (c.topmost >= 0) {
        EXPECT_EQ((GetWindowLongW(box, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0, c.topmost == 1);
    }
    EXPECT_NE(e2e::TitleSuffix(box, L"Report timeout"), L"<none>");
    if (c.click) {
        if (c.late) {
            // The countdown has clicked a button that the box does not have.
            Sleep(c.wait * 1000 + 1500);
            ASSERT_TRUE(p.Running());
        }
        e2e::Click(box, c.click);
    }
    EXPECT_EQ(p.WaitExit(kBoxWait), c.code);
    std::vector<e2e::Line> lines = e2e::ParseLog(TestDir::Read(dir.log()));
    EXPECT_TRUE(e2e::Contains(lines, L"velmo end(" + std::to_wstring(c.logged) + L")"));
}

// Wine 8 leaves MB_TOPMOST's box as it is (Windows makes it top-most), and
// makes MB_SYSTEMMODAL's box top-most.
INSTANTIATE_TEST_SUITE_P(
    Table, ReportTimeout,
    ::testing::Values(
        ReportCase{"countdown", L"YesNo|DefButton2|ReportTimeout", 1, 0, false, false, 0, 32000, 32000},
        ReportCase{"click", L"YesNo|ReportTimeout", 30, IDNO, false, false, 0, IDNO, IDNO},
        ReportCase{"no_buttons", L"Information|NoButtons|ReportTimeout", 1, 0, false, false, 0, 32000, 32000},
        ReportCase{"ok_box", L"OK|ReportTimeout", 1, 0, false, false, 0, 32000, 32000},
        ReportCase{"defbutton4_waits", L"YesNo|DefButton4|ReportTimeout", 1, IDYES, true, false, 0, IDYES, IDYES},
        ReportCase{"without_the_word", L"YesNo|DefButton2", 1, 0, false, false, 0, IDNO, IDNO},
        ReportCase{"system_modal", L"SystemModal|YesNo|ReportTimeout", 30, IDYES, false, false, 1, IDYES, IDYES},
        ReportCase{"window_words", L"TopMost|TaskModal|Right|RtlReading|YesNo|DefButton2|ReportTimeout", 1, 0, false,
                   false, -1, 32000, 32000},
        ReportCase{"batch_nobody", L"Question|YesNo|ReportTimeout", 1, 0, false, true, 0, 80, 32000},
        ReportCase{"batch_yes", L"Question|YesNo|ReportTimeout", 30, IDYES, false, true, 0, 60, IDYES}),
    [](const ::testing::TestParamInfo<ReportCase>& i) { return std::string(i.param.name); });

}  // namespace
