// The program shell, run for real: plain boxes and the help box.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/e2e/launch.h"
#include "tests/help_texts.h"

namespace {

using e2e::Process;

using e2e::kBoxWait;

struct ButtonSet {
    const wchar_t* word;
    std::vector<int> ids;
};

void PrintTo(const ButtonSet& s, std::ostream* os) { *os << test::Narrow(s.word); }

class PlainBox : public ::testing::TestWithParam<ButtonSet> {};

// Every button of every set, clicked in a run of its own, is the exit code.
TEST_P(PlainBox, EachButtonIsTheExitCode) {
    const ButtonSet& set = GetParam();
    for (int id : set.ids) {
        std::wstring caption = std::wstring(L"Plain ") + set.word + L" " + std::to_wstring(id);
        SCOPED_TRACE(test::Narrow(caption));
        Process p;
        HWND box;
        ASSERT_TRUE(e2e::Launch(p, L"\"Proceed?\" \"" + caption + L"\" \"Question|" + set.word + L"\"", box));
        EXPECT_EQ(e2e::Text(box), caption);
        EXPECT_EQ(e2e::MessageText(box), L"Proceed?");
        std::vector<int> shown = e2e::VisibleButtonIds(box);
        std::sort(shown.begin(), shown.end());
        std::vector<int> want = set.ids;
        std::sort(want.begin(), want.end());
        EXPECT_EQ(shown, want);
        e2e::Click(box, id);
        EXPECT_EQ(p.WaitExit(kBoxWait), test::Code(id));
    }
}

INSTANTIATE_TEST_SUITE_P(AllSets, PlainBox,
                         ::testing::Values(ButtonSet{L"OK", {1}}, ButtonSet{L"OkCancel", {1, 2}},
                                           ButtonSet{L"AbortRetryIgnore", {3, 4, 5}},
                                           ButtonSet{L"YesNoCancel", {6, 7, 2}}, ButtonSet{L"YesNo", {6, 7}},
                                           ButtonSet{L"RetryCancel", {4, 2}},
                                           ButtonSet{L"CancelTryContinue", {2, 10, 11}}),
                         [](const ::testing::TestParamInfo<ButtonSet>& i) { return test::Identifier(i.param.word); });

TEST(PlainBox, EscapesReachTheBox) {
    Process p;
    HWND box;
    ASSERT_TRUE(e2e::Launch(p, L"-esc:~ \"one~ntwo~tthree\" \"Escapes\" OK", box));
    EXPECT_EQ(e2e::MessageText(box), L"one\ntwo\tthree");
    e2e::Click(box, 1);
    EXPECT_EQ(p.WaitExit(kBoxWait), 1u);
}

TEST(PlainBox, NoButtonsWithoutTimeoutIsAnOkBox) {
    Process p;
    HWND box;
    ASSERT_TRUE(e2e::Launch(p, L"\"text\" \"No buttons, no timeout\" NoButtons abc", box));
    EXPECT_EQ(e2e::VisibleButtonIds(box), std::vector<int>{1});
    e2e::Click(box, 1);
    EXPECT_EQ(p.WaitExit(kBoxWait), 1u);
}

void ExpectHelpBox(const std::wstring& args) {
    SCOPED_TRACE(test::Narrow(args));
    Process p;
    HWND box;
    ASSERT_TRUE(e2e::Launch(p, args, box));
    bool ru = RussianUi();
    EXPECT_EQ(e2e::Text(box), ru ? RussianHelpCaption() : EnglishHelpCaption());
    EXPECT_EQ(e2e::MessageText(box), ru ? RussianHelp() : EnglishHelp());
    EXPECT_EQ(e2e::VisibleButtonIds(box), std::vector<int>{1});
    EXPECT_TRUE(e2e::IconVisible(box));
    // The whole box fits the screen. (On a smaller work area it is set in
    // columns: e2e_dpi checks both languages on 1366 x 728 and at 144 dpi.)
    RECT r{};
    GetWindowRect(box, &r);
    EXPECT_LE(r.bottom - r.top, GetSystemMetrics(SM_CYSCREEN));
    e2e::Click(box, 1);
    EXPECT_EQ(p.WaitExit(kBoxWait), test::Code(ERROR_INVALID_PARAMETER));
}

TEST(HelpBox, BadCommandLinesShowHelpAndEndWith87) {
    ExpectHelpBox(L"");
    ExpectHelpBox(L"\"\" \"caption\" OK");
    ExpectHelpBox(L"-esc:~");
    ExpectHelpBox(L"\"message only\"");
    ExpectHelpBox(L"\"text\" \"caption\" \"Question|Bogus\"");
    ExpectHelpBox(L"\"text\" \"caption\"");
}

TEST(HelpBox, ExitCodeIs87WhateverClosesIt) {
    Process p;
    HWND box;
    ASSERT_TRUE(e2e::Launch(p, L"", box));
    e2e::Click(box, IDCANCEL);
    EXPECT_EQ(p.WaitExit(kBoxWait), test::Code(ERROR_INVALID_PARAMETER));
}

struct HelpCountdownCase {
    const char* name;
    const wchar_t* args;
    bool counts;  // the help box counts down 2 s and closes itself
};

void PrintTo(const HelpCountdownCase& c, std::ostream* os) { *os << c.name; }

class HelpCountdown : public ::testing::TestWithParam<HelpCountdownCase> {};

// An unattended caller that gave a timeout is never left on the help box.
TEST_P(HelpCountdown, ClosesItselfWhenATimeoutStandsInItsPlace) {
    const HelpCountdownCase& c = GetParam();
    Process p;
    HWND box;
    ASSERT_TRUE(e2e::Launch(p, c.args, box));
    const std::wstring caption = RussianUi() ? RussianHelpCaption() : EnglishHelpCaption();
    EXPECT_EQ(e2e::MessageText(box), RussianUi() ? RussianHelp() : EnglishHelp());
    if (c.counts) {
        EXPECT_EQ(e2e::TitleSuffix(box, caption), L" [2]");
        EXPECT_EQ(p.WaitExit(5000), test::Code(ERROR_INVALID_PARAMETER));
        return;
    }
    Sleep(3000);
    ASSERT_TRUE(p.Running());
    EXPECT_EQ(e2e::Text(box), caption);
    e2e::Click(box, 1);
    EXPECT_EQ(p.WaitExit(kBoxWait), test::Code(ERROR_INVALID_PARAMETER));
}

INSTANTIATE_TEST_SUITE_P(
    Table, HelpCountdown,
    ::testing::Values(HelpCountdownCase{"bad_word", L"\"text\" \"caption\" \"Question|Bogus\" 2", true},
                      HelpCountdownCase{"bad_word_esc", L"-esc:~ \"text\" \"caption\" \"YesNo|Bogus\" 2", true},
                      HelpCountdownCase{"empty_flags", L"\"text\" \"caption\" \"\" 2", true},
                      HelpCountdownCase{"empty_caption", L"\"text\" \"\" \"YesNo\" 2", true},
                      HelpCountdownCase{"no_timeout", L"\"text\" \"caption\" \"Question|Bogus\"", false},
                      HelpCountdownCase{"timeout_not_a_number", L"\"text\" \"caption\" \"Bogus\" soon", false}),
    [](const ::testing::TestParamInfo<HelpCountdownCase>& i) { return std::string(i.param.name); });

// Run by CTest once per user interface language (VELMO_EXPECT_LANG).
TEST(HelpLanguage, MatchesTheUserInterfaceLanguage) {
    const char* want = getenv("VELMO_EXPECT_LANG");
    if (!want) GTEST_SKIP() << "run through the e2e_help_en and e2e_help_ru tests";
    EXPECT_EQ(RussianUi(), std::string(want) == "ru");
    ExpectHelpBox(L"");
}

// A real caller: a batch file branching with "if errorlevel".
TEST(Batch, IfErrorlevelTakesTheClickedBranch) {
    const std::pair<int, DWORD> runs[] = {{IDYES, 60}, {IDNO, 70}};
    for (const auto& run : runs) {
        Process cmd;
        ASSERT_TRUE(cmd.Start(L"cmd.exe /c \"" + e2e::ExeDir() + L"\\errorlevel.bat\""));
        HWND box = e2e::FindBox(0, kBoxWait, L"Please confirm");
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(e2e::MessageText(box), L"Connection will be closed.\nDo you want to proceed?");
        e2e::Click(box, run.first);
        EXPECT_EQ(cmd.WaitExit(kBoxWait), run.second);
    }
}

}  // namespace
