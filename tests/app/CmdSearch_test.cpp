#include <gtest/gtest.h>

#include <vector>

#include "app/CmdSearch.h"
#include "lib/owner.h"
#include "tests/common.h"
#include "tests/testdir.h"

namespace {

// The places of every case: velmo.exe lies in C:\velmo, which is neither
// the current folder nor on PATH unless a case says so.
const wchar_t kCurrent[] = L"C:\\work";
const wchar_t kPath[] = L"C:\\bin;C:\\Windows\\system32";
const wchar_t kCmd[] = L"C:\\Windows\\System32\\cmd.exe";
const wchar_t kNativeCmd[] = L"C:\\Windows\\Sysnative\\cmd.exe";

enum CurrentFolder { currentSearched, currentSkipped };  // NoDefaultCurrentDirectoryInExePath
enum Bitness { native, wow64 };                          // a 32-bit velmo on 64-bit Windows

struct SearchCase {
    const char* name;
    const wchar_t* command;
    std::vector<const wchar_t*> files;  // what exists
    const wchar_t* current;             // null: kCurrent
    const wchar_t* path;                // null: kPath
    const wchar_t* pathext;             // empty: unset
    CurrentFolder current_folder;
    Bitness bitness;
    const wchar_t* application;  // empty: not found
    const wchar_t* line;         // null: the command as written
};

bool Exists(const std::vector<const wchar_t*>& files, const std::wstring& path) {
    for (const wchar_t* f : files) {
        if (CompareStringOrdinal(f, -1, path.c_str(), -1, TRUE) == CSTR_EQUAL) return true;
    }
    return false;
}

CmdLaunch Resolve(const SearchCase& c) {
    CmdSearchPlaces places;
    places.current = c.current ? c.current : kCurrent;
    places.current_first = c.current_folder == currentSearched;
    places.path = c.path ? c.path : kPath;
    places.pathext = c.pathext;
    places.windows = L"C:\\Windows";
    places.wow64 = c.bitness == wow64;
    return ResolveCommand(c.command, places, [&](const std::wstring& p) { return Exists(c.files, p); });
}

// The file cmd would run, and the line it gets.
TEST(ResolveCommand, SearchTable) {
    const SearchCase cases[] = {
        // The current folder first, then PATH in order.
        {"current folder", L"tool a", {L"C:\\work\\tool.exe", L"C:\\bin\\tool.exe"}, nullptr, nullptr, L"",
         currentSearched, native, L"C:\\work\\tool.EXE", nullptr},
        {"first PATH folder", L"tool a", {L"C:\\bin\\tool.exe", L"C:\\Windows\\system32\\tool.exe"}, nullptr, nullptr,
         L"", currentSearched, native, L"C:\\bin\\tool.EXE", nullptr},
        {"PATH in its order", L"tool", {L"C:\\bin\\tool.exe", L"C:\\Windows\\system32\\tool.exe"}, nullptr,
         L"C:\\Windows\\system32;C:\\bin", L"", currentSearched, native, L"C:\\Windows\\system32\\tool.EXE", nullptr},
        {"quoted and empty PATH entries", L"tool", {L"C:\\My;Tools\\tool.exe"}, nullptr,
         L";;\"C:\\My;Tools\";C:\\bin;", L"", currentSearched, native, L"C:\\My;Tools\\tool.EXE", nullptr},
        {"a relative PATH entry", L"tool", {L"C:\\work\\tools\\tool.exe"}, nullptr, L"tools", L"", currentSearched,
         native, L"C:\\work\\tools\\tool.EXE", nullptr},
        // PATHEXT: in its order within a folder, each folder before the next.
        {"PATHEXT order", L"tool", {L"C:\\bin\\tool.cmd", L"C:\\bin\\tool.bat", L"C:\\bin\\tool.exe"}, nullptr, nullptr,
         L"", currentSearched, native, L"C:\\bin\\tool.EXE", nullptr},
        {"PATHEXT as set", L"tool", {L"C:\\bin\\tool.cmd", L"C:\\bin\\tool.exe"}, nullptr, nullptr, L".CMD;.EXE",
         currentSearched, native, kCmd, L"\"C:\\Windows\\System32\\cmd.exe\" /d /s /c \"\"C:\\bin\\tool.CMD\"\""},
        {"a folder before the next", L"tool", {L"C:\\work\\tool.bat", L"C:\\bin\\tool.com"}, nullptr, nullptr, L"",
         currentSearched, native, kCmd, L"\"C:\\Windows\\System32\\cmd.exe\" /d /s /c \"\"C:\\work\\tool.BAT\"\""},
        {"an extension as written", L"tool.exe /q", {L"C:\\bin\\tool.exe.com", L"C:\\bin\\tool.exe"}, nullptr, nullptr,
         L"", currentSearched, native, L"C:\\bin\\tool.exe", nullptr},
        {"an extension not in PATHEXT", L"tool.v2", {L"C:\\bin\\tool.v2"}, nullptr, nullptr, L"", currentSearched,
         native, L"C:\\bin\\tool.v2", nullptr},
        // velmo's own folder only as the current folder or on PATH.
        {"velmo's folder", L"tool", {L"C:\\velmo\\tool.exe"}, nullptr, nullptr, L"", currentSearched, native, L"",
         nullptr},
        {"velmo's folder as the current one", L"tool", {L"C:\\velmo\\tool.exe", L"C:\\bin\\tool.exe"}, L"C:\\velmo",
         nullptr, L"", currentSearched, native, L"C:\\velmo\\tool.EXE", nullptr},
        {"velmo's folder on PATH", L"tool", {L"C:\\velmo\\tool.exe"}, nullptr, L"C:\\bin;C:\\velmo", L"",
         currentSearched, native, L"C:\\velmo\\tool.EXE", nullptr},
        // NoDefaultCurrentDirectoryInExePath: a bare name skips the current folder.
        {"current folder skipped", L"tool", {L"C:\\work\\tool.exe", L"C:\\bin\\tool.exe"}, nullptr, nullptr, L"",
         currentSkipped, native, L"C:\\bin\\tool.EXE", nullptr},
        {"only in the skipped folder", L"tool", {L"C:\\work\\tool.exe"}, nullptr, nullptr, L"", currentSkipped, native,
         L"", nullptr},
        {"a path despite the skip", L".\\tool", {L"C:\\work\\tool.exe"}, nullptr, nullptr, L"", currentSkipped, native,
         L"C:\\work\\tool.EXE", nullptr},
        // A word with a path: there alone, relative to the current folder.
        {"a relative path", L"sub\\tool x", {L"C:\\bin\\sub\\tool.exe", L"C:\\work\\sub\\tool.exe"}, nullptr, nullptr,
         L"", currentSearched, native, L"C:\\work\\sub\\tool.EXE", nullptr},
        {"a path is not searched on PATH", L"sub\\tool x", {L"C:\\bin\\sub\\tool.exe"}, nullptr, nullptr, L"",
         currentSearched, native, L"", nullptr},
        {"slashes", L"sub/tool.exe", {L"C:\\work\\sub\\tool.exe"}, nullptr, nullptr, L"", currentSearched, native,
         L"C:\\work\\sub\\tool.exe", nullptr},
        {"a parent folder", L"..\\apps\\.\\tool.exe", {L"C:\\apps\\tool.exe"}, nullptr, nullptr, L"", currentSearched,
         native, L"C:\\apps\\tool.exe", nullptr},
        {"from the drive's root", L"\\apps\\tool.exe", {L"C:\\apps\\tool.exe"}, nullptr, nullptr, L"",
         currentSearched, native, L"C:\\apps\\tool.exe", nullptr},
        {"a full path", L"D:\\apps\\tool.exe", {L"D:\\apps\\tool.exe", L"C:\\bin\\tool.exe"}, nullptr, nullptr, L"",
         currentSearched, native, L"D:\\apps\\tool.exe", nullptr},
        {"the current drive's folder", L"C:tool.exe", {L"C:\\work\\tool.exe"}, nullptr, nullptr, L"", currentSearched,
         native, L"C:\\work\\tool.exe", nullptr},
        {"a share", L"\\\\srv\\pkg\\setup.exe /s", {L"\\\\srv\\pkg\\setup.exe"}, nullptr, nullptr, L"",
         currentSearched, native, L"\\\\srv\\pkg\\setup.exe", nullptr},
        {"a folder, no file", L"sub\\ x", {L"C:\\work\\sub\\.exe"}, nullptr, nullptr, L"", currentSearched, native, L"",
         nullptr},
        // Quotes around the first word, or in it: blanks belong to the name.
        {"quoted with blanks", L"\"C:\\My Tools\\tool.exe\" a \"b c\"", {L"C:\\My Tools\\tool.exe"}, nullptr, nullptr,
         L"", currentSearched, native, L"C:\\My Tools\\tool.exe", nullptr},
        {"a quoted bare name", L"\"my tool\" x", {L"C:\\bin\\my tool.exe"}, nullptr, nullptr, L"", currentSearched,
         native, L"C:\\bin\\my tool.EXE", nullptr},
        {"quotes inside the word", L"C:\\\"My Tools\"\\tool.exe x", {L"C:\\My Tools\\tool.exe"}, nullptr, nullptr, L"",
         currentSearched, native, L"C:\\My Tools\\tool.exe", nullptr},
        {"an empty first word", L"\"\" x", {L"C:\\work\\.exe"}, nullptr, nullptr, L"", currentSearched, native, L"",
         nullptr},
        // Batch files through System32's cmd, the rest of the line as written.
        {"install is install.cmd", L"install /quiet  \"a b\" |x", {L"C:\\work\\install.cmd"}, nullptr, nullptr, L"",
         currentSearched, native, kCmd,
         L"\"C:\\Windows\\System32\\cmd.exe\" /d /s /c \"\"C:\\work\\install.CMD\" /quiet  \"a b\" |x\""},
        {"a .bat as written", L"\"C:\\My Tools\\setup.bat\"", {L"C:\\My Tools\\setup.bat"}, nullptr, nullptr, L"",
         currentSearched, native, kCmd,
         L"\"C:\\Windows\\System32\\cmd.exe\" /d /s /c \"\"C:\\My Tools\\setup.bat\"\""},
        // cmd's internal commands run in cmd, before any file of their name.
        {"start", L"start \"\" /wait setup.exe", {L"C:\\work\\start.exe"}, nullptr, nullptr, L"", currentSearched,
         native, kCmd, L"\"C:\\Windows\\System32\\cmd.exe\" /d /s /c \"start \"\" /wait setup.exe\""},
        {"an internal command in capitals", L"MKDIR \"C:\\a b\"", {}, nullptr, nullptr, L"", currentSearched, native,
         kCmd, L"\"C:\\Windows\\System32\\cmd.exe\" /d /s /c \"MKDIR \"C:\\a b\"\""},
        {"a quoted internal name is a file's", L"\"echo\" x", {L"C:\\bin\\echo.exe"}, nullptr, nullptr, L"",
         currentSearched, native, L"C:\\bin\\echo.EXE", nullptr},
        {"an internal name with a path is a file's", L".\\del x", {L"C:\\work\\del.exe"}, nullptr, nullptr, L"",
         currentSearched, native, L"C:\\work\\del.EXE", nullptr},
        // A 32-bit velmo on 64-bit Windows finds System32's own tools, and
        // runs batch files in the 64-bit cmd.
        {"System32 on PATH under WoW64", L"tool", {L"C:\\Windows\\Sysnative\\tool.exe"}, nullptr, nullptr, L"",
         currentSearched, wow64, L"C:\\Windows\\Sysnative\\tool.EXE", nullptr},
        {"System32 unmapped without WoW64", L"tool", {L"C:\\Windows\\Sysnative\\tool.exe"}, nullptr, nullptr, L"",
         currentSearched, native, L"", nullptr},
        {"a System32 path under WoW64", L"C:\\WINDOWS\\System32\\tool.exe", {L"C:\\Windows\\Sysnative\\tool.exe"},
         nullptr, nullptr, L"", currentSearched, wow64, L"C:\\Windows\\Sysnative\\tool.exe", nullptr},
        {"a folder in System32 under WoW64", L"tool", {L"C:\\Windows\\Sysnative\\Wbem\\tool.exe"}, nullptr,
         L"C:\\Windows\\System32\\Wbem\\", L"", currentSearched, wow64, L"C:\\Windows\\Sysnative\\Wbem\\tool.EXE",
         nullptr},
        {"a name like System32's under WoW64", L"tool", {L"C:\\Windows\\System32x\\tool.exe"}, nullptr,
         L"C:\\Windows\\System32x", L"", currentSearched, wow64, L"C:\\Windows\\System32x\\tool.EXE", nullptr},
        {"a batch file under WoW64", L"install", {L"C:\\work\\install.cmd"}, nullptr, nullptr, L"", currentSearched,
         wow64, kNativeCmd, L"\"C:\\Windows\\Sysnative\\cmd.exe\" /d /s /c \"\"C:\\work\\install.CMD\"\""},
        {"an internal command under WoW64", L"echo hi", {}, nullptr, nullptr, L"", currentSearched, wow64, kNativeCmd,
         L"\"C:\\Windows\\Sysnative\\cmd.exe\" /d /s /c \"echo hi\""},
        // Nowhere.
        {"not found", L"nothing /x", {L"C:\\work\\nothing.txt"}, nullptr, nullptr, L"", currentSearched, native, L"",
         nullptr},
    };
    for (const SearchCase& c : cases) {
        SCOPED_TRACE(c.name);
        const CmdLaunch launch = Resolve(c);
        EXPECT_EQ(launch.application, c.application);
        EXPECT_EQ(launch.line, launch.application.empty() ? L"" : c.line ? c.line : c.command);
    }
}

struct SoughtCase {
    const char* name;
    const wchar_t* command;
    const wchar_t* path;
    const wchar_t* pathext;
    CurrentFolder current_folder;
    Bitness bitness;
    const wchar_t* sought;
};

// What the log says was looked for, and where, when nothing was found.
TEST(ResolveCommand, SoughtTable) {
    const SoughtCase cases[] = {
        {"a bare name", L"install /q", nullptr, L"", currentSearched, native,
         L"not found: install with .COM;.EXE;.BAT;.CMD in C:\\work; C:\\bin; C:\\Windows\\system32"},
        {"as PATHEXT says", L"install", L"C:\\bin", L".EXE;.MSI", currentSkipped, native,
         L"not found: install with .EXE;.MSI in C:\\bin"},
        {"an extension", L"msiexec.exe /i x.msi", L"C:\\Windows\\system32", L"", currentSearched, wow64,
         L"not found: msiexec.exe in C:\\work; C:\\Windows\\Sysnative"},
        {"a path", L"C:\\no-such-folder\\setup.exe /quiet", nullptr, L"", currentSearched, native,
         L"not found: setup.exe in C:\\no-such-folder"},
        {"no folder", L"tool", L"", L"", currentSkipped, native,
         L"not found: tool with .COM;.EXE;.BAT;.CMD in no folder"},
        {"no name", L"\"\" x", nullptr, L"", currentSearched, native, L"the first word names no file"},
    };
    for (const SoughtCase& c : cases) {
        SCOPED_TRACE(c.name);
        const SearchCase search{c.name, c.command, {}, nullptr, c.path, c.pathext, c.current_folder, c.bitness, L"",
                                nullptr};
        const CmdLaunch launch = Resolve(search);
        EXPECT_EQ(launch.application, L"");
        EXPECT_EQ(launch.sought, c.sought);
    }
}

// The wrapper reads this process's own places: its current folder and PATH,
// NoDefaultCurrentDirectoryInExePath, System32 whatever %ComSpec% says, and
// never the folder of its exe (where a probe lies beside this test program).
TEST(ResolveCommand, ThisProcess) {
    TestDir dir(L"cmdsearch");
    const std::wstring here = dir / L"here", bin = dir / L"bin";
    CreateDirectoryW(here.c_str(), nullptr);
    CreateDirectoryW(bin.c_str(), nullptr);
    wchar_t exe[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring own = exe;
    own.resize(own.rfind(L'\\'));
    const std::wstring probe = L"cmdsearch-probe-" + std::to_wstring(GetCurrentProcessId());
    const std::wstring beside = own + L"\\" + probe + L".exe";
    TestDir::Write(beside, "probe");
    auto remove = kt::scope_exit([&] { DeleteFileW(beside.c_str()); });
    test::FolderScope folder(here);
    test::EnvScope env({{L"PATH", bin}, {L"ComSpec", dir / L"evil\\cmd.exe"}});

    // The probe's full name in a folder, as the search writes it.
    auto in = [&](const std::wstring& folder) { return folder + L"\\" + probe + L".EXE"; };
    auto same = [](const std::wstring& a, const std::wstring& b) {
        return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
    };
    EXPECT_EQ(ResolveCommand(probe).application, L"") << "found beside the exe";
    TestDir::Write(in(bin), "probe");
    EXPECT_PRED2(same, ResolveCommand(probe + L" x").application, in(bin));
    TestDir::Write(in(here), "probe");
    EXPECT_PRED2(same, ResolveCommand(probe).application, in(here));
    {
        test::EnvScope skip({{L"NoDefaultCurrentDirectoryInExePath", L"1"}});
        EXPECT_PRED2(same, ResolveCommand(probe).application, in(bin)) << "NoDefaultCurrentDirectoryInExePath";
    }

    wchar_t windows[MAX_PATH] = {};
    GetSystemWindowsDirectoryW(windows, MAX_PATH);
    BOOL wow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow64);
    EXPECT_EQ(ResolveCommand(L"echo x").application,
              std::wstring(windows) + (wow64 ? L"\\Sysnative" : L"\\System32") + L"\\cmd.exe");
}

}  // namespace
