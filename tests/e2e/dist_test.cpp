// The release zip as a user gets it: the sample parameter file and every
// example batch file, run from the unpacked folder.
#include <gtest/gtest.h>

#include "tests/e2e/logfile.h"
#include "tests/e2e/restart_texts.h"

namespace {

using e2e::kBoxWait;
using e2e::Process;

// The zip unpacked by the dist_zip check, beside this test program.
std::wstring Unpacked() { return e2e::ExeDir() + L"\\dist-unpacked"; }

WORD PeMachine(const std::wstring& exe) {
    std::string b = TestDir::Read(exe);
    if (b.size() < 0x40) return 0;
    uint32_t pe = *reinterpret_cast<const uint32_t*>(&b[0x3C]);
    if (b.size() < pe + 6) return 0;
    return *reinterpret_cast<const WORD*>(&b[pe + 4]);
}

// The Russian cases run only as e2e_dist_ru, under a Russian UI language.
bool RunsInRussian() {
    const char* lang = getenv("VELMO_EXPECT_LANG");
    return lang && std::string(lang) == "ru";
}

// Copies the files and folders below from into to.
void CopyTree(const std::wstring& from, const std::wstring& to) {
    CreateDirectoryW(to.c_str(), nullptr);
    for (const WIN32_FIND_DATAW& fd : TestDir::List(from + L"\\*")) {
        std::wstring n = fd.cFileName;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            CopyTree(from + L"\\" + n, to + L"\\" + n);
        else
            CopyFileW((from + L"\\" + n).c_str(), (to + L"\\" + n).c_str(), FALSE);
    }
}

// A fresh copy of the unpacked folder: the zip of this suite's own
// architecture (win32 or win64), whose velmo.exe is the one built here.
class ReleaseDir : public TestDir {
public:
    explicit ReleaseDir(const std::wstring& name) : TestDir(name) {
        CopyTree(Unpacked(), path());
        WORD zipped = PeMachine(exe());
        if (zipped == 0) ADD_FAILURE() << "the unpacked zip has no velmo.exe that is a PE file";
        else if (zipped != PeMachine(e2e::VelmoPath())) ADD_FAILURE() << "the unpacked zip is not this suite's: " << zipped;
    }
    std::wstring exe() const { return *this / L"velmo.exe"; }
    // Starts an example with the given countdown in VELMO_WAIT; what it
    // writes goes to Output().
    bool Run(Process& cmd, const std::wstring& example, int wait_sec) const {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        kt::unique_handle out(CreateFileW(OutputFile().c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          &inherit, CREATE_ALWAYS, 0, nullptr));
        SetEnvironmentVariableW(L"VELMO_WAIT", std::to_wstring(wait_sec).c_str());
        bool ok = out && cmd.Start(L"cmd.exe /c \"" + (*this / (L"examples\\" + example)) + L"\"", out.get());
        SetEnvironmentVariableW(L"VELMO_WAIT", nullptr);
        return ok;
    }
    // What the last example wrote, without its last line end.
    std::string Output() const {
        std::string s = Read(OutputFile());
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        return s;
    }

private:
    std::wstring OutputFile() const { return *this / L"example-output.txt"; }
};

TEST(Release, ZipWasUnpacked) { ASSERT_NE(TestDir::Read(Unpacked() + L"\\velmo.exe"), "<missing>"); }

TEST(Release, SampleParameterFileSwitchesTheLogOn) {
    ReleaseDir rel(L"sample");
    ASSERT_TRUE(MoveFileW((rel / L"velmo.wli.sample").c_str(), (rel / L"velmo.wli").c_str()));
    Process p;
    ASSERT_TRUE(p.StartExe(rel.exe(), L"\"Sample log\" \"Sample caption\" OK 1"));
    EXPECT_EQ(p.WaitExit(kBoxWait), test::Code(IDCANCEL));
    std::vector<e2e::Line> lines = e2e::ParseLog(TestDir::Read(rel / L"velmo.log"));
    EXPECT_TRUE(e2e::Contains(lines, L"velmo start"));
    EXPECT_TRUE(e2e::Contains(lines, L"velmo end(2)"));
    bool search = false, click = false;
    for (const e2e::Line& l : lines) {
        search |= l.category == L"UWE" && l.text.find(L"::SrchWnd('Sample caption','Sample log') found 0x") == 0;
        click |= l.category == L"UB\u00B7" && l.text.find(L"btn_id=2,") == 0;
    }
    EXPECT_TRUE(search);
    EXPECT_TRUE(click);
}

struct Example {
    const wchar_t* file;
    const wchar_t* text;          // the box's message text
    DWORD unattended;             // exit code when nobody answers
    const char* unattended_says;  // and the line its branch writes
    int click;                    // button clicked, 0: none
    DWORD clicked;                // exit code after the click
};

void PrintTo(const Example& e, std::ostream* os) { *os << test::Narrow(e.file); }

class Examples : public ::testing::TestWithParam<Example> {};

TEST_P(Examples, TakeTheirBranch) {
    const Example& e = GetParam();
    ReleaseDir rel(L"examples");
    {
        SCOPED_TRACE("unattended");
        Process cmd;
        // A one-second countdown: the default button's branch, taken once
        // that second has passed and well within a few more.
        DWORD start = GetTickCount();
        ASSERT_TRUE(rel.Run(cmd, e.file, 1));
        EXPECT_EQ(cmd.WaitExit(6000), e.unattended);
        EXPECT_GE(GetTickCount() - start, 1000u);
        EXPECT_EQ(rel.Output(), e.unattended_says);
    }
    if (!e.click) return;
    SCOPED_TRACE("clicked");
    Process cmd;
    ASSERT_TRUE(rel.Run(cmd, e.file, 60));
    HWND box = e2e::FindBoxWithText(e.text, kBoxWait);
    ASSERT_NE(box, nullptr);
    e2e::Click(box, e.click);
    EXPECT_EQ(cmd.WaitExit(kBoxWait), e.clicked);
}

INSTANTIATE_TEST_SUITE_P(
    Release, Examples,
    ::testing::Values(
        Example{L"confirm.bat", L"Delete the old reports?\nThis cannot be undone.", 1, "Nothing deleted.", IDYES, 0},
        Example{L"unattended.bat", L"The nightly backup starts now.\nCancel to skip it tonight.", 0,
                "Running the backup.", IDCANCEL, 1},
        Example{L"please-wait.bat", L"", 0, "The update is installed.", 0, 0},
        // Outlook runs nowhere here: nobody is asked, and the update installs.
        Example{L"close-apps.bat", L"", 0, "The add-in is updated.", 0, 0},
        Example{L"retry.bat", L"Could not copy the report.", 2, "Going on without the copy.", IDABORT, 1},
        Example{L"restart-prompt.bat", L"Updates are installed.\nRestart now?", 2,
                "Nobody answered: the restart is left for later.", IDYES, 0},
        // Nobody answering uses no deferral: the record stays clean, and the
        // click installs.
        Example{L"deferral.bat", L"Office is about to be installed.\nSave your work first. You may put it off 3 more times.",
                1618, "Put off: the deployment tries again later.", IDYES, 0},
        Example{L"restart-prompt-multilingual.bat", L"Updates have been installed.\nRestart now? Save your work first.",
                2, "Nobody answered: the restart is left for later.", IDNO, 1}),
    [](const ::testing::TestParamInfo<Example>& i) {
        std::wstring f = i.param.file;
        return test::Identifier(f.substr(0, f.find(L'.')));
    });

// cmd reads the batch file in the console's OEM code page: CP866 under a
// Russian locale, where the text must arrive exactly.
TEST(ReleaseRussian, TextArrivesExactly) {
    if (!RunsInRussian()) GTEST_SKIP() << "runs as e2e_dist_ru";
    ReleaseDir rel(L"russian");
    Process cmd;
    ASSERT_TRUE(rel.Run(cmd, L"russian.bat", 60));
    HWND box = e2e::FindBoxWithText(
        L"\u0421\u043E\u0435\u0434\u0438\u043D\u0435\u043D\u0438\u0435 \u0431\u0443\u0434\u0435\u0442 "
        L"\u0437\u0430\u043A\u0440\u044B\u0442\u043E.\n\u041F\u0440\u043E\u0434\u043E\u043B\u0436\u0438\u0442\u044C?",
        kBoxWait);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(e2e::TitleSuffix(box, L"\u041F\u043E\u0434\u0442\u0432\u0435\u0440\u0436\u0434\u0435\u043D\u0438\u0435"),
              L" [1:00]");
    e2e::Click(box, IDYES);
    EXPECT_EQ(cmd.WaitExit(kBoxWait), 0u);
    Process unattended;
    DWORD start = GetTickCount();
    ASSERT_TRUE(rel.Run(unattended, L"russian.bat", 1));
    EXPECT_EQ(unattended.WaitExit(6000), 1u);
    EXPECT_GE(GetTickCount() - start, 1000u);
}

// The multilingual prompt, as unpacked, asks a Russian user in Russian
// whatever the batch file's code page.
TEST(ReleaseRussian, TheMultilingualPromptAsksInTheUsersLanguage) {
    if (!RunsInRussian()) GTEST_SKIP() << "runs as e2e_dist_ru";
    ReleaseDir rel(L"multilingual");
    Process cmd;
    ASSERT_TRUE(rel.Run(cmd, L"restart-prompt-multilingual.bat", 60));
    HWND box = e2e::FindBoxWithText(RestartWordsForTheRun().text, kBoxWait);
    ASSERT_NE(box, nullptr);
    EXPECT_TRUE(ShowsRestartWords(box, true));
    e2e::Click(box, IDNO);
    EXPECT_EQ(cmd.WaitExit(kBoxWait), 1u);
    EXPECT_EQ(rel.Output(), "The restart is left for later.");
}

}  // namespace
