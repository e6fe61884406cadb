// The Guard word, run for real with a person's input (SendInput): keys and
// clicks in the guarded second are dropped, later ones answer; the countdown
// is never held up.
#include <gtest/gtest.h>

#include "tests/e2e/logfile.h"

namespace {

using e2e::kBoxWait;
using e2e::Process;

enum Act { actEnter, actEscape, actLetterN, actAltN, actAltF4, actClickNo, actGreyed, actEnabled, actReactivate };

struct Step {
    DWORD at_ms;   // after the box was found, or after it was made active again
    Act act;
    bool answers;  // the box closes on it; otherwise it must still be up
};

struct GuardCase {
    const char* name;
    const wchar_t* flags;
    const wchar_t* timeout;
    std::vector<Step> steps;
    DWORD code;
    int guards;  // "guard starts" lines in the log, at least
};

void PrintTo(const GuardCase& c, std::ostream* os) { *os << c.name; }

HWND ButtonOf(HWND box, int id) { return GetDlgItem(box, id); }

class Guard : public ::testing::TestWithParam<GuardCase> {};

TEST_P(Guard, DropsEarlyInputAndAnswersAfterTheSecond) {
    const GuardCase& c = GetParam();
    e2e::Sandbox dir(L"guard");
    TestDir::Write(dir.wli(), "[Prms]\r\n[Evts]\r\nA..=\r\nUB.=\r\n");
    const std::wstring caption = L"Guard " + std::wstring(c.name, c.name + strlen(c.name));
    Process p;
    HWND box;
    std::wstring args = L"\"Restart now?\" \"" + caption + L"\" \"" + c.flags + L"\"";
    if (*c.timeout) args += std::wstring(L" ") + c.timeout;
    ASSERT_TRUE(e2e::LaunchExe(p, dir.exe(), args, box));
    ASSERT_TRUE(e2e::BringToFront(box));
    DWORD base = GetTickCount();
    std::unique_ptr<e2e::TestWindow> other;
    for (const Step& s : c.steps) {
        SCOPED_TRACE(s.at_ms);
        DWORD now = GetTickCount() - base;
        ASSERT_LE(now, s.at_ms) << "the test fell behind its own schedule";
        Sleep(s.at_ms - now);
        ASSERT_TRUE(p.Running());
        switch (s.act) {
            case actEnter: e2e::PressKeys({VK_RETURN}); break;
            case actEscape: e2e::PressKeys({VK_ESCAPE}); break;
            case actLetterN: e2e::PressKeys({'N'}); break;
            case actAltN: e2e::PressKeys({'N'}, true); break;
            case actAltF4: e2e::PressKeys({VK_F4}, true); break;
            case actClickNo: e2e::ClickAt(ButtonOf(box, IDNO)); break;
            case actGreyed: EXPECT_TRUE(e2e::ButtonsEnabled(box, false)); continue;
            case actEnabled: EXPECT_TRUE(e2e::ButtonsEnabled(box, true)); continue;
            case actReactivate:
                // Another window takes the front, then the box is active again.
                other = std::make_unique<e2e::TestWindow>(L"Guard other", L"typing here");
                ASSERT_TRUE(e2e::BringToFront(other->hwnd()));
                Sleep(100);
                ASSERT_TRUE(e2e::BringToFront(box));
                base = GetTickCount();
                continue;
        }
        if (s.answers) break;
        // Dropped: a moment later the box is still there.
        Sleep(150);
        ASSERT_TRUE(p.Running()) << "answered in the guarded second";
    }
    EXPECT_EQ(p.WaitExit(kBoxWait), c.code);
    std::vector<e2e::Line> lines = e2e::ParseLog(TestDir::Read(dir.log()));
    EXPECT_TRUE(e2e::Contains(lines, L"velmo end(" + std::to_wstring(c.code) + L")"));
    int starts = 0;
    for (const e2e::Line& l : lines) starts += l.text == L"guard starts";
    // One more when the box had to be brought to the front at the start.
    if (c.guards) {
        EXPECT_GE(starts, c.guards);
    } else {
        EXPECT_EQ(starts, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Guard,
    ::testing::Values(
        GuardCase{"enter", L"Question|YesNo|Guard", L"", {{200, actEnter, false}, {1500, actEnter, true}}, IDYES, 1},
        GuardCase{"click", L"YesNo|Guard", L"", {{250, actClickNo, false}, {1500, actClickNo, true}}, IDNO, 1},
        GuardCase{"keys",
                  L"YesNo|Guard",
                  L"",
                  {{100, actEscape, false},
                   {300, actLetterN, false},
                   {500, actAltN, false},
                   {700, actAltF4, false},
                   {1500, actAltN, true}},
                  IDNO,
                  1},
        GuardCase{"greyed",
                  L"YesNo|Guard",
                  L"30",
                  {{200, actGreyed, false}, {1300, actEnabled, false}, {1400, actEnter, true}},
                  IDYES,
                  1},
        GuardCase{"reactivated",
                  L"YesNo|Guard",
                  L"",
                  {{1300, actReactivate, false}, {200, actEnter, false}, {1200, actEnter, true}},
                  IDYES,
                  2},
        GuardCase{"countdown", L"YesNo|DefButton2|Guard|ReportTimeout", L"1", {}, 32000, 1},
        GuardCase{"no_buttons", L"Information|NoButtons|Guard|ReportTimeout", L"1", {{200, actEnter, false}}, 32000,
                  1},
        GuardCase{"without_the_word", L"YesNo", L"", {{200, actEnter, true}}, IDYES, 0}),
    [](const ::testing::TestParamInfo<GuardCase>& i) { return std::string(i.param.name); });

}  // namespace
