// The caller's words on the buttons, run for real: in place when the box is
// first seen, the buttons' codes, the countdown, real keys, and the row
// widened to fit.
#include <gtest/gtest.h>

#include "tests/e2e/logfile.h"

namespace {

using e2e::kBoxWait;
using e2e::Process;

enum Answer { byClick, byMnemonic, byCountdown };

struct LabelCase {
    const char* name;
    const wchar_t* flags;
    const wchar_t* timeout;     // the fourth argument; empty: none
    std::vector<const wchar_t*> labelled;  // texts of the labelled buttons, in order, null: the system's word
    Answer how;
    int target;                 // the button clicked (1-based, left to right) or mnemonic key
    DWORD code;
};

void PrintTo(const LabelCase& c, std::ostream* os) { *os << c.name; }

class Labels : public ::testing::TestWithParam<LabelCase> {};

TEST_P(Labels, SeenAtOnceAndAnsweredWithTheButtonsCode) {
    const LabelCase& c = GetParam();
    const std::wstring caption = L"Labels " + std::wstring(c.name, c.name + strlen(c.name));
    Process p;
    HWND box;
    std::wstring args = L"\"Updates are installed.\" \"" + caption + L"\" \"" + c.flags + L"\"";
    if (*c.timeout) args += std::wstring(L" ") + c.timeout;
    ASSERT_TRUE(e2e::Launch(p, args, box));
    // The first look: the harness sees the box within 5 ms of its showing.
    std::vector<std::wstring> first = e2e::ButtonTexts(box);
    ASSERT_EQ(first.size(), c.labelled.size());
    for (size_t i = 0; i < first.size(); ++i) {
        if (c.labelled[i]) {
            EXPECT_EQ(first[i], c.labelled[i]) << i;
        } else {
            EXPECT_FALSE(first[i].empty()) << i;
            for (const wchar_t* l : c.labelled) {
                EXPECT_NE(first[i], l ? l : L"") << i;
            }
        }
    }
    if (*c.timeout) {
        EXPECT_NE(e2e::TitleSuffix(box, caption), L"<none>");
    }
    if (c.how == byClick) {
        std::vector<e2e::Control> row = e2e::ButtonRow(box);
        ASSERT_TRUE(e2e::BringToFront(box));
        e2e::ClickAt(row.at(c.target - 1).hwnd);
    } else if (c.how == byMnemonic) {
        ASSERT_TRUE(e2e::BringToFront(box));
        e2e::PressKeys({static_cast<WORD>(c.target)}, true);
    }
    EXPECT_EQ(p.WaitExit(kBoxWait), c.code);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Labels,
    ::testing::Values(
        LabelCase{"click_first", L"Question|YesNo|Button1=&Restart now|Button2=&Later", L"",
                  {L"&Restart now", L"&Later"}, byClick, 1, IDYES},
        LabelCase{"click_second", L"YesNo|Button2=&Later|Button1=&Restart now", L"30", {L"&Restart now", L"&Later"},
                  byClick, 2, IDNO},
        LabelCase{"click_third", L"AbortRetryIgnore|Button3=Go &on|Button1=&Stop|Button2=&Again", L"",
                  {L"&Stop", L"&Again", L"Go &on"}, byClick, 3, IDIGNORE},
        LabelCase{"countdown", L"YesNo|DefButton2|Button1=&Restart now|Button2=&Later", L"1",
                  {L"&Restart now", L"&Later"}, byCountdown, 0, IDNO},
        LabelCase{"report_timeout", L"YesNo|DefButton2|ReportTimeout|Button1=&Restart now|Button2=&Later", L"1",
                  {L"&Restart now", L"&Later"}, byCountdown, 0, 32000},
        LabelCase{"alt_mnemonic", L"YesNo|Button1=&Restart now|Button2=&Later", L"", {L"&Restart now", L"&Later"},
                  byMnemonic, 'L', IDNO},
        LabelCase{"partial", L"YesNoCancel|Button2=&Snooze", L"", {nullptr, L"&Snooze", nullptr}, byClick, 2, IDNO},
        LabelCase{"ok_box", L"OK|Button1=Got &it", L"1", {L"Got &it"}, byCountdown, 0, IDCANCEL}),
    [](const ::testing::TestParamInfo<LabelCase>& i) { return std::string(i.param.name); });

std::vector<RECT> ButtonRects(HWND box) {
    std::vector<RECT> v;
    for (const e2e::Control& b : e2e::ButtonRow(box)) v.push_back(e2e::RectIn(box, b.hwnd));
    return v;
}

TEST(LabelGeometry, LongLabelsWidenTheRowAndTheBoxStaysOnTheScreen) {
    const wchar_t* const labels[] = {L"&Restart now", L"Remind me in &four hours", L"Remind me &tomorrow morning"};
    // The system's own box of the same set: the room it gives its own words.
    Process plain;
    HWND own;
    ASSERT_TRUE(e2e::Launch(plain, L"\"Updates are installed.\" \"Long labels\" \"Question|YesNoCancel\"", own));
    std::vector<RECT> own_row = ButtonRects(own);
    ASSERT_EQ(own_row.size(), 3u);
    int widest_own = 0;
    for (const std::wstring& t : e2e::ButtonTexts(own)) widest_own = std::max(widest_own, e2e::MessageFontWidth(t));
    int own_width = own_row[0].right - own_row[0].left;
    int margin = own_width - widest_own;
    RECT own_frame{};
    GetWindowRect(own, &own_frame);
    e2e::Click(own, IDCANCEL);
    EXPECT_EQ(plain.WaitExit(kBoxWait), test::Code(IDCANCEL));

    e2e::Sandbox dir(L"labels");
    TestDir::Write(dir.wli(), "[Prms]\r\n[Evts]\r\nUB.=\r\n");
    Process p;
    HWND box;
    const std::wstring args = std::wstring(L"\"Updates are installed.\" \"Long labels\" \"Question|YesNoCancel") +
                              L"|Button1=" + labels[0] + L"|Button2=" + labels[1] + L"|Button3=" + labels[2] + L"\"";
    ASSERT_TRUE(e2e::LaunchExe(p, dir.exe(), args, box));
    std::vector<RECT> row = ButtonRects(box);
    ASSERT_EQ(row.size(), 3u);
    RECT client{}, frame{};
    GetClientRect(box, &client);
    GetWindowRect(box, &frame);
    int width = row[0].right - row[0].left;
    for (size_t i = 0; i < row.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(row[i].right - row[i].left, width);
        EXPECT_GE(width, e2e::MessageFontWidth(labels[i]) + margin);
        EXPECT_GE(row[i].left, 0);
        EXPECT_LE(row[i].right, client.right);
        EXPECT_LE(row[i].bottom, client.bottom);
        if (i) {
            EXPECT_EQ(row[i].left - row[i - 1].right, own_row[1].left - own_row[0].right);  // spacing kept
        }
    }
    EXPECT_GT(frame.right - frame.left, own_frame.right - own_frame.left);
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    EXPECT_GE(frame.left, work.left);
    EXPECT_LE(frame.right, work.right);
    // The icon and the text stay where the system put them.
    EXPECT_TRUE(e2e::IconVisible(box));
    EXPECT_EQ(e2e::MessageText(box), L"Updates are installed.");
    printf("own buttons %d px, box %ld px; labelled buttons %d px, box %ld px\n", own_width,
           own_frame.right - own_frame.left, width, frame.right - frame.left);
    e2e::Click(box, IDNO);
    EXPECT_EQ(p.WaitExit(kBoxWait), test::Code(IDNO));
    wchar_t resized[160];
    swprintf(resized, 160, L"button width %d->%d, box width %ld->%ld", own_width, width,
             own_frame.right - own_frame.left, frame.right - frame.left);
    std::wstring line = std::wstring(L"labels 1='") + labels[0] + L"',2='" + labels[1] + L"',3='" + labels[2] +
                        L"'; " + resized;
    EXPECT_TRUE(e2e::Contains(e2e::ParseLog(TestDir::Read(dir.log())), line)) << test::Narrow(line);
}

// A label that fits changes no geometry.
TEST(LabelGeometry, AShortLabelMovesNothing) {
    RECT frames[2]{};
    std::vector<RECT> rows[2];
    const wchar_t* const flags[] = {L"YesNo", L"YesNo|Button1=&Ja"};
    for (int i = 0; i < 2; ++i) {
        Process p;
        HWND box;
        ASSERT_TRUE(e2e::Launch(p, std::wstring(L"\"Same text\" \"Short label\" \"") + flags[i] + L"\"", box));
        GetWindowRect(box, &frames[i]);
        rows[i] = ButtonRects(box);
        e2e::Click(box, IDNO);
        EXPECT_EQ(p.WaitExit(kBoxWait), test::Code(IDNO));
    }
    EXPECT_EQ(frames[0].right - frames[0].left, frames[1].right - frames[1].left);
    ASSERT_EQ(rows[0].size(), rows[1].size());
    for (size_t i = 0; i < rows[0].size(); ++i) {
        EXPECT_EQ(rows[0][i].left, rows[1][i].left);
        EXPECT_EQ(rows[0][i].right, rows[1][i].right);
    }
}

}  // namespace
