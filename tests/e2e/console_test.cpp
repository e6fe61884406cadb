// velmoc.exe, the console twin, run through cmd as a batch author would: the
// answer word on stdout, the code, and the help on stderr without a box.
#include <gtest/gtest.h>

#include "app/Console.h"
#include "tests/e2e/logfile.h"
#include "tests/help_texts.h"

namespace {

using e2e::kBoxWait;
using e2e::Process;

// A folder with both twins, where cmd runs velmoc.exe with its output in files.
class TwinDir : public e2e::Sandbox {
public:
    explicit TwinDir(const std::wstring& name) : Sandbox(name) {
        CopyFileW((e2e::ExeDir() + L"\\velmoc.exe").c_str(), twin().c_str(), FALSE);
    }
    std::wstring twin() const { return *this / L"velmoc.exe"; }
    // cmd /c "velmoc.exe args >out 2>err", or a batch file of this folder.
    bool Run(Process& p, const std::wstring& args) const {
        return p.Start(L"cmd.exe /c \"\"" + twin() + L"\" " + args + L" >\"" + (*this / L"out.txt") + L"\" 2>\"" +
                       (*this / L"err.txt") + L"\"\"");
    }
    bool RunBatch(Process& p, const std::string& body) const {
        Write(*this / L"twin.bat", body);
        return p.Start(L"cmd.exe /c \"" + (*this / L"twin.bat") + L"\"");
    }
    std::string Out() const { return Read(*this / L"out.txt"); }
    std::string Err() const { return Read(*this / L"err.txt"); }
};

struct TwinCase {
    const char* name;
    const wchar_t* args;  // after velmoc.exe; the box's text is "Twin <name>"
    int click;            // clicked once the box is up, 0: none
    const char* out;      // stdout, whole
    DWORD code;
};

void PrintTo(const TwinCase& c, std::ostream* os) { *os << c.name; }

class ConsoleTwin : public ::testing::TestWithParam<TwinCase> {};

TEST_P(ConsoleTwin, WritesTheAnswersWordAndEndsWithItsCode) {
    const TwinCase& c = GetParam();
    TwinDir dir(L"twin");
    const std::wstring text = L"Twin " + std::wstring(c.name, c.name + strlen(c.name));
    Process p;
    ASSERT_TRUE(dir.Run(p, L"\"" + text + L"\" " + c.args));
    if (c.click) {
        HWND box = e2e::FindBoxWithText(text, kBoxWait);
        ASSERT_NE(box, nullptr);
        e2e::Click(box, c.click);
    }
    EXPECT_EQ(p.WaitExit(kBoxWait), c.code);
    EXPECT_EQ(dir.Out(), c.out);
    EXPECT_EQ(dir.Err(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Table, ConsoleTwin,
    ::testing::Values(TwinCase{"countdown", L"\"Twin\" \"YesNo|DefButton2\" 1", 0, "No\r\n", IDNO},
                      TwinCase{"timeout", L"\"Twin\" \"YesNo|DefButton2|ReportTimeout\" 1", 0, "Timeout\r\n", 32000},
                      TwinCase{"click", L"\"Twin\" \"CancelTryContinue\" 30", IDTRYAGAIN, "TryAgain\r\n", IDTRYAGAIN},
                      TwinCase{"labels", L"\"Twin\" \"YesNo|Button1=&Restart now|Button2=&Later\"", IDYES, "Yes\r\n",
                               IDYES}),
    [](const ::testing::TestParamInfo<TwinCase>& i) { return std::string(i.param.name); });

TEST(ConsoleTwin, ForFCapturesTheWord) {
    TwinDir dir(L"twin_for");
    Process p;
    ASSERT_TRUE(dir.RunBatch(p,
                             "@echo off\r\n"
                             "for /f %%a in ('call \"%~dp0velmoc.exe\" \"Twin for\" \"Twin\" \"OkCancel|DefButton2\" 1') "
                             "do set ANSWER=%%a\r\n"
                             "if \"%ANSWER%\"==\"Cancel\" exit /b 22\r\n"
                             "exit /b 1\r\n"));
    EXPECT_EQ(p.WaitExit(kBoxWait), 22u);
}

// The help as text: the error line and the help on stderr, in the console's
// output code page when redirected; no box.
void ExpectHelpOnStderr(const std::wstring& help, UINT cp) {
    TwinDir dir(L"twin_help");
    Process p;
    ASSERT_TRUE(dir.Run(p, L""));
    EXPECT_EQ(e2e::FindBox(p.Pid(), 1500), nullptr);
    EXPECT_EQ(p.WaitExit(kBoxWait), test::Code(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(dir.Out(), "");
    EXPECT_EQ(dir.Err(), RedirectedText(L"ERROR: no arguments\n" + help, cp));
}

TEST(ConsoleTwin, NoArgumentsHelpOnStderr) { ExpectHelpOnStderr(EnglishHelp(), GetConsoleOutputCP()); }

// Run by CTest as e2e_console_ru, in the Russian locale (OEM code page 866).
TEST(ConsoleTwinRussian, HelpInTheOemCodePage) {
    if (!getenv("VELMO_EXPECT_LANG")) GTEST_SKIP() << "runs as e2e_console_ru";
    ExpectHelpOnStderr(RussianHelp(), 866);
}

}  // namespace
