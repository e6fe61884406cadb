// A DLL dropped beside velmo.exe (or velmoc.exe) under the name of one that velmo uses (and
// that is not a known DLL) is never loaded into velmo.
#include <gtest/gtest.h>

#include <vector>

#include "tests/e2e/logfile.h"

namespace {

using e2e::kBoxWait;
using e2e::DllOverride;
using e2e::Process;

// Both twins: velmo.exe and velmoc.exe, its console build.
TEST(Planting, Odbc32BesideTheExeIsNeverLoaded) {
    e2e::PlantedDir dir(L"planted", {L"odbc32"}, L"odbc_control.exe");
    ASSERT_TRUE(dir.ControlTakesThem()) << "the planted DLL was not loaded by the control";
    for (const std::wstring& exe : dir.Twins()) {
        SCOPED_TRACE(test::Narrow(exe));
        Process p;
        HWND box;
        ASSERT_TRUE(e2e::LaunchExe(p, exe, L"\"Planted DLL beside me\" \"Planting\" YesNo 30", box));
        EXPECT_EQ(e2e::TitleSuffix(box, L"Planting"), L" [30]");
        e2e::Click(box, IDNO);
        EXPECT_EQ(p.WaitExit(kBoxWait), test::Code(IDNO));
        EXPECT_FALSE(dir.Loaded());
    }
}

struct NoOdbcCase {
    const char* name;
    const wchar_t* args;
    int click;  // the button clicked, 0: the countdown decides
    DWORD code;
};

// Without a driver manager (disabled, as on Windows PE without its ODBC
// component) velmo still shows its box, counts down, clicks and exits with
// the button; the log names the failure's code.
TEST(Planting, WithoutOdbc32TheBoxWorksAndTheLogSaysWhy) {
    const NoOdbcCase cases[] = {
        {"countdown", L"\"No driver manager\" \"No ODBC\" \"YesNo|DefButton2\" 1", 0, IDNO},
        {"click", L"\"No driver manager\" \"No ODBC\" YesNo 30", IDYES, IDYES},
    };
    for (const NoOdbcCase& c : cases) {
        SCOPED_TRACE(c.name);
        TestDir dir(L"noodbc");
        const std::wstring exe = dir / L"velmo_no_odbc.exe";
        ASSERT_TRUE(CopyFileW(e2e::VelmoPath().c_str(), exe.c_str(), FALSE));
        TestDir::Write(dir / L"velmo_no_odbc.wli", "[Prms]\r\n[Evts]\r\n.*=\r\n");
        DllOverride disabled({L"velmo_no_odbc.exe"}, {L"odbc32"}, L"");
        Process p;
        HWND box;
        ASSERT_TRUE(e2e::LaunchExe(p, exe, c.args, box));
        EXPECT_NE(e2e::TitleSuffix(box, L"No ODBC"), L"<none>");
        if (c.click) e2e::Click(box, c.click);
        EXPECT_EQ(p.WaitExit(kBoxWait), c.code);
        std::vector<e2e::Line> lines = e2e::ParseLog(TestDir::Read(dir / L"velmo_no_odbc.log"));
        EXPECT_TRUE(e2e::Contains(lines, L"velmo start"));
        EXPECT_TRUE(e2e::Contains(lines, L"velmo end(" + std::to_wstring(c.code) + L")"));
        bool failure = false;
        for (const e2e::Line& l : lines) {
            failure |= l.category == L"ODB" && l.text.find(L"ODBC32.dll") != std::wstring::npos &&
                       l.text.find(L"[126(0000007E)]") != std::wstring::npos;
        }
        EXPECT_TRUE(failure);
    }
}

}  // namespace
