// The box's words from a texts file, run for real: in the user's language
// (this test program runs as e2e_texts_en, _de and _ru), and bad files as
// bad command lines.
#include <gtest/gtest.h>

#include "tests/e2e/logfile.h"
#include "tests/e2e/restart_texts.h"
#include "tests/help_texts.h"

namespace {

using e2e::kBoxWait;
using e2e::Process;

// examples/restart.txt, copied beside the tests.
std::wstring RestartTexts() { return e2e::ExeDir() + L"\\restart.txt"; }

TEST(TextsLanguage, TheBoxInTheUsersLanguage) {
    if (!getenv("VELMO_EXPECT_LANG")) GTEST_SKIP() << "runs as e2e_texts_en, e2e_texts_de and e2e_texts_ru";
    const RestartWords& want = RestartWordsForTheRun();
    e2e::Sandbox dir(L"texts_language");
    TestDir::Write(dir.wli(), "[Prms]\r\n[Evts]\r\nTXT=\r\n");
    Process p;
    HWND box;
    // No text or caption on the command line: the file gives them.
    ASSERT_TRUE(e2e::LaunchExe(p, dir.exe(), L"\"\" \"\" \"Question|YesNo|DefButton2|Texts=" + RestartTexts() + L"\" 30",
                               box));
    EXPECT_EQ(e2e::MessageText(box), want.text);
    EXPECT_TRUE(ShowsRestartWords(box, true));
    e2e::Click(box, IDYES);
    EXPECT_EQ(p.WaitExit(kBoxWait), test::Code(IDYES));
    std::vector<e2e::Line> lines = e2e::ParseLog(TestDir::Read(dir.log()));
    const std::string lang = getenv("VELMO_EXPECT_LANG");
    const std::wstring section(lang.begin(), lang.end());
    EXPECT_TRUE(e2e::HasLineStarting(lines, L"texts from '" + RestartTexts() + L"': section [" + section + L"] for " +
                                                section + L"-"));
}

struct BadCase {
    const char* name;
    std::string bytes;      // of the file; "<none>": no file
    const wchar_t* flags;
    const char* reason;     // after "ERROR: texts file '<path>': "
};

void PrintTo(const BadCase& c, std::ostream* os) { *os << c.name; }

class BadTexts : public ::testing::TestWithParam<BadCase> {};

// velmoc says why on stderr and ends with 87 at once; nothing of the file is
// shown.
TEST_P(BadTexts, AreBadCommandLines) {
    const BadCase& c = GetParam();
    TestDir dir(L"texts_bad");
    const std::wstring file = dir / L"bad.txt";
    if (c.bytes != "<none>") TestDir::Write(file, c.bytes);
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    kt::unique_handle err(CreateFileW((dir / L"err.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                      CREATE_ALWAYS, 0, nullptr));
    Process p;
    ASSERT_TRUE(p.Start(L"\"" + e2e::ExeDir() + L"\\velmoc.exe\" \"\" \"\" \"" + c.flags + L"|Texts=" + file + L"\" 30",
                        err.get()));
    err.reset();
    EXPECT_EQ(p.WaitExit(kBoxWait), test::Code(ERROR_INVALID_PARAMETER));
    std::string out = TestDir::Read(dir / L"err.txt");
    std::string first = out.substr(0, out.find("\r\n"));
    const std::string want = "ERROR: texts file '" + test::Narrow(file) + "': " + c.reason;
    if (c.bytes == "<none>") {
        EXPECT_EQ(first.compare(0, want.size(), want), 0) << first;
        EXPECT_GT(first.size(), want.size());
    } else {
        EXPECT_EQ(first, want);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, BadTexts,
    ::testing::Values(
        // The rest is the system's own text.
        BadCase{"missing", "<none>", L"YesNo", "cannot read it: "},
        BadCase{"not_utf8", "[de]\r\nText=Gr\xFC\xDF" "e", L"YesNo", "line 2: not valid UTF-8 or UTF-16 (byte 13)"},
        BadCase{"too_large", "[de]\r\n" + std::string(70000, ';'), L"YesNo", "larger than 64 KB"},
        BadCase{"no_section", "Text=hello", L"YesNo", "line 1: a line before the first section"},
        BadCase{"bad_label", "[*]\r\nText=t\r\nCaption=c\r\nButton3=&Never", L"YesNo",
                "line 4: the box has no button for it (Button3=)"}),
    [](const ::testing::TestParamInfo<BadCase>& i) { return std::string(i.param.name); });

// velmo.exe shows its help for a bad file, counting down like any help box
// with a timeout, and ends with 87.
TEST(BadTexts, TheHelpBoxCountsDown) {
    TestDir dir(L"texts_help");
    TestDir::Write(dir / L"bad.txt", "[de]\r\nTitel=x");
    Process p;
    ASSERT_TRUE(p.StartVelmo(L"\"\" \"\" \"YesNo|Texts=" + (dir / L"bad.txt") + L"\" 1"));
    HWND box = e2e::FindBox(p.Pid(), kBoxWait);
    ASSERT_NE(box, nullptr) << "no help box; the program " << p.State();
    EXPECT_EQ(e2e::MessageText(box), RussianUi() ? RussianHelp() : EnglishHelp());
    EXPECT_EQ(p.WaitExit(kBoxWait), test::Code(ERROR_INVALID_PARAMETER));
}

}  // namespace
