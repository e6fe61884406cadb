// The boxes at any display scale. solo_wine.sh runs these once at 96 dpi and
// then at 144 dpi (Wine's LogPixels), each time on a screen of its own size:
// the 96-dpi run keeps what it measured for the 144-dpi runs to compare with.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "tests/e2e/logfile.h"
#include "tests/help_texts.h"

namespace {

using e2e::kBoxWait;
using e2e::Process;

int Dpi() {
    const char* d = getenv("VELMO_TEST_DPI");
    return d ? atoi(d) : 0;
}

const char* Screen() {
    const char* s = getenv("VELMO_TEST_SCREEN");
    return s ? s : "?";
}

bool Inside(const RECT& r, const RECT& area) {
    return r.left >= area.left && r.top >= area.top && r.right <= area.right && r.bottom <= area.bottom;
}

// What a box measures, in pixels.
struct Figures {
    int frame_w = 0, frame_h = 0, button_w = 0, button_h = 0, text_h = 0, icon_w = 0;
};

// Kept by the 96-dpi run beside the test programs: "name frame_w ... icon_w".
std::wstring FiguresFile() { return e2e::ExeDir() + L"\\dpi-96-figures.txt"; }

std::map<std::string, Figures> ReadFigures() {
    std::map<std::string, Figures> all;
    std::istringstream in(TestDir::Read(FiguresFile()));
    std::string name;
    Figures f;
    while (in >> name >> f.frame_w >> f.frame_h >> f.button_w >> f.button_h >> f.text_h >> f.icon_w) all[name] = f;
    return all;
}

struct ScaleCase {
    const char* name;
    const wchar_t* args;
    std::vector<const wchar_t*> labels;  // the buttons' texts; empty: the system's
    int click;
};

void PrintTo(const ScaleCase& c, std::ostream* os) { *os << c.name; }

class Scale : public ::testing::TestWithParam<ScaleCase> {};

// Text, icon and buttons larger at 144 dpi than at 96, the labels whole,
// one width for all buttons, the box on the screen.
TEST_P(Scale, LargerAtHigherDpiAndOnTheScreen) {
    const ScaleCase& c = GetParam();
    if (!Dpi()) GTEST_SKIP() << "run by solo_wine.sh";
    Process p;
    HWND box;
    ASSERT_TRUE(e2e::Launch(p, c.args, box));
    RECT frame{};
    GetWindowRect(box, &frame);
    EXPECT_TRUE(Inside(frame, e2e::WorkArea(box)));
    std::vector<e2e::Control> row = e2e::ButtonRow(box);
    ASSERT_FALSE(row.empty());
    RECT first = e2e::RectIn(box, row[0].hwnd);
    RECT client{};
    GetClientRect(box, &client);
    int widest_text = 0;
    for (size_t i = 0; i < row.size(); ++i) {
        RECT r = e2e::RectIn(box, row[i].hwnd);
        EXPECT_EQ(r.right - r.left, first.right - first.left) << i;
        EXPECT_TRUE(Inside(r, client)) << i;
        if (!c.labels.empty()) {
            EXPECT_EQ(row[i].text, c.labels.at(i));
        }
        widest_text = std::max(widest_text, e2e::MessageFontWidth(row[i].text));
    }
    // Not clipped: each button holds its words.
    EXPECT_GT(first.right - first.left, widest_text);
    Figures f;
    f.frame_w = frame.right - frame.left;
    f.frame_h = frame.bottom - frame.top;
    f.button_w = first.right - first.left;
    f.button_h = first.bottom - first.top;
    for (const e2e::Control& t : e2e::TextColumns(box)) {
        RECT r = e2e::RectIn(box, t.hwnd);
        f.text_h = std::max(f.text_h, static_cast<int>(r.bottom - r.top));
    }
    for (const e2e::Control& k : e2e::Children(box)) {
        if (k.visible && k.text.empty() && _wcsicmp(k.cls.c_str(), L"Static") == 0) {
            RECT r = e2e::RectIn(box, k.hwnd);
            f.icon_w = r.right - r.left;
        }
    }
    printf("%s at %d dpi on %s: box %dx%d, button %dx%d, text %d px high, icon %d px\n", c.name, Dpi(), Screen(),
           f.frame_w, f.frame_h, f.button_w, f.button_h, f.text_h, f.icon_w);
    e2e::Click(box, c.click);
    EXPECT_EQ(p.WaitExit(kBoxWait), test::Code(c.click));
    if (Dpi() == 96) {
        std::map<std::string, Figures> all = ReadFigures();
        all[c.name] = f;
        std::ostringstream out;
        for (const auto& e : all)
            out << e.first << ' ' << e.second.frame_w << ' ' << e.second.frame_h << ' ' << e.second.button_w << ' '
                << e.second.button_h << ' ' << e.second.text_h << ' ' << e.second.icon_w << '\n';
        TestDir::Write(FiguresFile(), out.str());
        return;
    }
    std::map<std::string, Figures> all = ReadFigures();
    ASSERT_EQ(all.count(c.name), 1u) << "no figures from a 96-dpi run";
    const Figures& low = all[c.name];
    // 1.5 times as many pixels per inch; fonts round, so at least 1.3 times.
    auto larger = [](int high, int at96) { return high * 10 >= at96 * 13; };
    EXPECT_TRUE(larger(f.button_w, low.button_w)) << f.button_w << " vs " << low.button_w;
    EXPECT_TRUE(larger(f.button_h, low.button_h)) << f.button_h << " vs " << low.button_h;
    EXPECT_TRUE(larger(f.text_h, low.text_h)) << f.text_h << " vs " << low.text_h;
    EXPECT_TRUE(larger(f.icon_w, low.icon_w)) << f.icon_w << " vs " << low.icon_w;
    EXPECT_GT(f.frame_w, low.frame_w);
    EXPECT_GT(f.frame_h, low.frame_h);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Scale,
    ::testing::Values(ScaleCase{"plain", L"\"Install the updates now?\" \"Scale plain\" \"Question|YesNo\"", {}, IDNO},
                      ScaleCase{"labels",
                                L"\"Updates are installed.\" \"Scale labels\" \"Question|YesNoCancel|Button1=&Restart "
                                L"now|Button2=Remind me in &four hours|Button3=Remind me &tomorrow morning\"",
                                {L"&Restart now", L"Remind me in &four hours", L"Remind me &tomorrow morning"},
                                IDCANCEL}),
    [](const ::testing::TestParamInfo<ScaleCase>& i) { return std::string(i.param.name); });

// The help box (in the language of this run) on the work area, its whole
// text readable in its columns, its OK button on the screen.
void ExpectHelpFits(HWND box) {
    RECT frame{}, client{};
    GetWindowRect(box, &frame);
    GetClientRect(box, &client);
    RECT work = e2e::WorkArea(box);
    EXPECT_TRUE(Inside(frame, work)) << "box " << frame.left << "," << frame.top << "-" << frame.right << ","
                                     << frame.bottom << " work " << work.right << "x" << work.bottom;
    std::vector<e2e::Control> buttons = e2e::ButtonRow(box);
    ASSERT_EQ(buttons.size(), 1u);
    RECT ok{};
    GetWindowRect(buttons[0].hwnd, &ok);
    EXPECT_TRUE(Inside(ok, work));
    RECT ok_in = e2e::RectIn(box, buttons[0].hwnd);
    std::vector<e2e::Control> columns = e2e::TextColumns(box);
    ASSERT_FALSE(columns.empty());
    std::wstring joined;
    RECT previous{};
    for (size_t i = 0; i < columns.size(); ++i) {
        SCOPED_TRACE(i);
        joined += (i ? L"\n" : L"") + columns[i].text;
        RECT r = e2e::RectIn(box, columns[i].hwnd);
        EXPECT_TRUE(Inside(r, client));
        EXPECT_LE(r.bottom, ok_in.top);
        if (i) {
            EXPECT_GE(r.left, previous.right);
        }
        // Tall enough for its lines as the message font breaks them.
        EXPECT_GE(r.bottom - r.top, e2e::MessageFontHeight(columns[i].text, r.right - r.left));
        previous = r;
    }
    EXPECT_EQ(joined, RussianUi() ? RussianHelp() : EnglishHelp());
    printf("help (%s) at %d dpi on %s: box %ldx%ld in %zu column(s), work area %ldx%ld\n", RussianUi() ? "ru" : "en",
           Dpi(), Screen(), frame.right - frame.left, frame.bottom - frame.top, columns.size(),
           work.right - work.left, work.bottom - work.top);
}

// Waiting for its OK, and counting down: fitted, it is still found by its
// countdown.
TEST(HelpFits, TheWorkAreaAtAnyScale) {
    if (!Dpi()) GTEST_SKIP() << "run by solo_wine.sh";
    for (bool counts : {false, true}) {
        SCOPED_TRACE(counts ? "counting down" : "waiting");
        Process p;
        HWND box;
        ASSERT_TRUE(e2e::Launch(p, counts ? L"\"text\" \"caption\" \"Question|Bogus\" 2" : L"", box));
        ExpectHelpFits(box);
        if (counts)
            EXPECT_EQ(e2e::TitleSuffix(box, RussianUi() ? RussianHelpCaption() : EnglishHelpCaption()), L" [2]");
        else
            e2e::Click(box, IDOK);
        EXPECT_EQ(p.WaitExit(counts ? 6000 : kBoxWait), test::Code(ERROR_INVALID_PARAMETER));
    }
}

}  // namespace
