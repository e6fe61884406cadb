// A DLL dropped beside velmo.exe under the name of one that velmo uses (and
// that is not a known DLL) is never loaded into velmo.
#include <gtest/gtest.h>

#include <vector>

#include "tests/e2e/launch.h"
#include "tests/testdir.h"

namespace {

using e2e::kBoxWait;
using e2e::Process;

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Native DLLs first for these two programs, as for a real ODBC32.dll: Wine
// would otherwise always take its built-in one. Wine reads the override from
// its per-program registry key when a process starts (a child does not get
// WINEDLLOVERRIDES from its parent's Windows environment).
class PreferNativeOdbc {
public:
    explicit PreferNativeOdbc(std::vector<std::wstring> exes) : exes_(std::move(exes)) {
        for (const std::wstring& exe : exes_) {
            RegSetKeyValueW(HKEY_CURRENT_USER, Key(exe).c_str(), L"odbc32", REG_SZ, L"native,builtin",
                            sizeof L"native,builtin");
        }
    }
    ~PreferNativeOdbc() {
        for (const std::wstring& exe : exes_) RegDeleteTreeW(HKEY_CURRENT_USER, AppKey(exe).c_str());
    }

private:
    static std::wstring AppKey(const std::wstring& exe) { return L"Software\\Wine\\AppDefaults\\" + exe; }
    static std::wstring Key(const std::wstring& exe) { return AppKey(exe) + L"\\DllOverrides"; }
    std::vector<std::wstring> exes_;
};

TEST(Planting, Odbc32BesideTheExeIsNeverLoaded) {
    TestDir dir(L"planted");
    const std::wstring marker = dir / L"planted.marker";
    ASSERT_TRUE(CopyFileW((e2e::ExeDir() + L"\\planted_odbc32.dll").c_str(), (dir / L"odbc32.dll").c_str(), FALSE));
    // Names of their own, so that no other test's run is affected.
    ASSERT_TRUE(CopyFileW(e2e::VelmoPath().c_str(), (dir / L"velmo_planted.exe").c_str(), FALSE));
    ASSERT_TRUE(CopyFileW((e2e::ExeDir() + L"\\odbc_control.exe").c_str(), (dir / L"odbc_planted.exe").c_str(), FALSE));
    PreferNativeOdbc native({L"velmo_planted.exe", L"odbc_planted.exe"});
    {
        // The control: an ordinary import of ODBC32 takes the planted one.
        Process control;
        ASSERT_TRUE(control.StartExe(dir / L"odbc_planted.exe", L""));
        EXPECT_EQ(control.WaitExit(kBoxWait), 0u);
        ASSERT_TRUE(Exists(marker)) << "the planted DLL was not loaded by the control";
        ASSERT_TRUE(DeleteFileW(marker.c_str()));
    }
    Process p;
    HWND box;
    ASSERT_TRUE(
        e2e::LaunchExe(p, dir / L"velmo_planted.exe", L"\"Planted DLL beside me\" \"Planting\" YesNo 30", box));
    EXPECT_EQ(e2e::TitleSuffix(box, L"Planting"), L" [30]");
    e2e::Click(box, IDNO);
    EXPECT_EQ(p.WaitExit(kBoxWait), test::Code(IDNO));
    EXPECT_FALSE(Exists(marker));
}

}  // namespace
