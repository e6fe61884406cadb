// Run: the notice while a command runs (sleeper.exe sleeps and exits with a
// given code), and the command's exit code as velmo's.
#include <gtest/gtest.h>

#include "tests/e2e/logfile.h"

namespace {

using e2e::kBoxWait;
using e2e::Process;

std::wstring Sleeper() { return L"\"" + e2e::ExeDir() + L"\\sleeper.exe\""; }

// A Run of velmo (or velmoc) in a folder of its own; the command records
// itself there.
class RunDir : public TestDir {
public:
    explicit RunDir(const wchar_t* name) : TestDir(name) {}
    // Starts exe with args; output: velmoc's standard output goes to out.txt.
    bool Start(Process& p, const std::wstring& exe, const std::wstring& args, bool output = false) {
        SetEnvironmentVariableW(L"VELMO_SLEEPER_RECORD", (*this / L"record.txt").c_str());
        auto unset = kt::scope_exit([] { SetEnvironmentVariableW(L"VELMO_SLEEPER_RECORD", nullptr); });
        if (!output) return p.StartExe(exe, args);
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        kt::unique_handle out(CreateFileW((*this / L"out.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                          CREATE_ALWAYS, 0, nullptr));
        return p.Start(L"\"" + exe + L"\" " + args, out.get());
    }
    // The record's lines: the command line as it came, the pid, the station,
    // the command's own path.
    std::vector<std::string> Record() const {
        std::vector<std::string> lines;
        test::Eventually([&] {
            std::string r = Read(*this / L"record.txt");
            lines.clear();
            for (size_t at = 0, end; r != "<missing>" && (end = r.find('\n', at)) != std::string::npos; at = end + 1)
                lines.push_back(r.substr(at, end - at));
            return lines.size() == kRecordLines;
        });
        return lines;
    }
    DWORD CommandPid() const {
        std::vector<std::string> r = Record();
        return r.size() == kRecordLines ? strtoul(r[1].c_str(), nullptr, 10) : 0;
    }
    static constexpr size_t kRecordLines = 4;
};

// Where a bare command is looked for: a copy of velmo (its log on) with a
// tool.exe planted beside it, the current folder "here" and "bin" first on
// PATH. Every tool.exe is a copy of sleeper.exe, which records its path.
class SearchDir : public RunDir {
public:
    explicit SearchDir(const wchar_t* name) : RunDir(name) {
        for (const wchar_t* folder : {L"velmo", L"here", L"bin"}) CreateDirectoryW((*this / folder).c_str(), nullptr);
        CopyFileW(e2e::VelmoPath().c_str(), velmo().c_str(), FALSE);
        Write(*this / L"velmo\\velmo.wli", "[Prms]\r\n[Evts]\r\nRUN=\r\n");
        Plant(L"velmo");
    }
    std::wstring velmo() const { return *this / L"velmo\\velmo.exe"; }
    std::wstring Tool(const wchar_t* folder) const { return *this / folder + L"\\tool.exe"; }
    void Plant(const wchar_t* folder) const { CopyFileW((e2e::ExeDir() + L"\\sleeper.exe").c_str(), Tool(folder).c_str(), FALSE); }
    // Starts velmo with args in "here", with "bin" first on PATH.
    bool StartHere(Process& p, const std::wstring& args) {
        const DWORD n = GetEnvironmentVariableW(L"PATH", nullptr, 0);
        std::wstring path(n, L'\0');
        path.resize(GetEnvironmentVariableW(L"PATH", &path[0], n));
        test::FolderScope here(*this / L"here");
        test::EnvScope env({{L"PATH", *this / L"bin;" + path}});
        return Start(p, velmo(), args);
    }
    std::vector<e2e::Line> Log() const { return e2e::ParseLog(Read(*this / L"velmo\\velmo.log")); }
};

// The notice shows while the command runs, without a countdown in its
// title, and goes within 300 ms of the command's end; the code is the
// command's. A limit of 0 is no limit.
TEST(Run, TheNoticeGoesWithTheCommand) {
    for (const wchar_t* limit : {L"30", L"0"}) {
        SCOPED_TRACE(test::Narrow(limit));
        RunDir dir(L"run_notice");
        const std::wstring text = L"Installing. Please wait. " + std::wstring(limit);
        Process p;
        ASSERT_TRUE(dir.Start(p, e2e::VelmoPath(),
                              L"\"" + text + L"\" \"IT\" \"Information|NoButtons|Run\" " + limit + L" " + Sleeper() +
                                  L" 2500 3010"));
        HWND box = e2e::FindBoxWithText(text, kBoxWait);
        ASSERT_NE(box, nullptr) << "no notice; velmo " << p.State();
        kt::unique_handle command(OpenProcess(SYNCHRONIZE, FALSE, dir.CommandPid()));
        ASSERT_TRUE(command) << "the command does not run";
        Sleep(1200);
        EXPECT_TRUE(IsWindow(box)) << "the notice went before the command ended";
        EXPECT_EQ(e2e::Text(box), L"IT") << "a countdown in the title";
        ASSERT_EQ(WaitForSingleObject(command.get(), kBoxWait), WAIT_OBJECT_0);
        const DWORD ended = GetTickCount();
        EXPECT_TRUE(e2e::GoneWithin(box, 2000));
        EXPECT_LE(GetTickCount() - ended, 300u) << "the notice stayed after the command's end";
        EXPECT_EQ(p.WaitExit(kBoxWait), 3010u);
    }
}

// The command line after the timeout reaches the command as written:
// quotes, "|" and "&" inside them, several blanks.
TEST(Run, TheCommandAsWritten) {
    RunDir dir(L"run_written");
    const std::wstring command = Sleeper() + L"  10 0  \"a | b & c\"   \"say \\\"hi\\\"\"";
    Process p;
    ASSERT_TRUE(dir.Start(p, e2e::VelmoPath(), L"\"Run as written\" IT \"NoButtons|Run\" 30   " + command));
    EXPECT_EQ(p.WaitExit(kBoxWait), 0u);
    std::vector<std::string> record = dir.Record();
    ASSERT_EQ(record.size(), RunDir::kRecordLines);
    EXPECT_EQ(record[0], test::Narrow(command));
}

// A command that cannot be started: 9009 at once, and no notice.
TEST(Run, ACommandThatCannotStart) {
    for (const wchar_t* command : {L"C:\\no-such-folder\\setup.exe /quiet", L"\"\" x"}) {
        SCOPED_TRACE(test::Narrow(command));
        e2e::Sandbox dir(L"run_cannot");
        TestDir::Write(dir.wli(), "[Prms]\r\n[Evts]\r\nRUN=\r\n");
        Process p;
        DWORD start = GetTickCount();
        ASSERT_TRUE(p.StartExe(dir.exe(), std::wstring(L"\"Run cannot start\" IT \"NoButtons|Run\" 30 ") + command));
        EXPECT_EQ(p.WaitExit(kBoxWait), 9009u);
        EXPECT_LT(GetTickCount() - start, 5000u) << "not at once";
        EXPECT_TRUE(e2e::HasLineStarting(e2e::ParseLog(TestDir::Read(dir.log())), L"cannot start the command: "));
    }
}

// A tool.exe planted beside velmo never runs: the current folder's does,
// else the one on PATH, else none (9009, and the log says where velmo
// looked).
TEST(Run, APlantedToolBesideVelmoIsNotRun) {
    struct Case {
        const char* name;
        std::vector<const wchar_t*> tools;  // the folders with a tool.exe besides velmo's
        const wchar_t* ran;                 // null: none
    };
    const Case cases[] = {
        {"the current folder's", {L"here", L"bin"}, L"here"},
        {"the one on PATH", {L"bin"}, L"bin"},
        {"none", {}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SearchDir dir(L"run_planted");
        for (const wchar_t* folder : c.tools) dir.Plant(folder);
        Process p;
        ASSERT_TRUE(dir.StartHere(p, L"\"Run planted\" IT \"NoButtons|Run\" 30 tool 0 21"));
        if (!c.ran) {
            EXPECT_EQ(p.WaitExit(kBoxWait), 9009u);
            EXPECT_EQ(TestDir::Read(dir / L"record.txt"), "<missing>") << "a tool ran";
            const std::wstring start = L"cannot start the command: not found: tool with ";
            bool said = false;
            for (const e2e::Line& l : dir.Log()) {
                said |= l.text.compare(0, start.size(), start) == 0 &&
                        l.text.find(L" in " + (dir / L"here") + L"; " + (dir / L"bin") + L"; ") != std::wstring::npos &&
                        l.text.find(dir / L"velmo") == std::wstring::npos;
            }
            EXPECT_TRUE(said) << "no log line that names where velmo looked";
            continue;
        }
        EXPECT_EQ(p.WaitExit(kBoxWait), 21u);
        std::vector<std::string> record = dir.Record();
        ASSERT_EQ(record.size(), RunDir::kRecordLines);
        EXPECT_EQ(CompareStringOrdinal(e2e::FromUtf8(record[3]).c_str(), -1, dir.Tool(c.ran).c_str(), -1, TRUE),
                  CSTR_EQUAL)
            << record[3];
    }
}

// "install" is install.cmd in the current folder (not the one beside
// velmo), run by cmd with the rest of the line as written; its exit code is
// velmo's.
TEST(Run, InstallIsInstallCmd) {
    SearchDir dir(L"run_install");
    TestDir::Write(dir / L"here\\install.cmd", "@echo off\r\necho %*> \"%~dp0args.txt\"\r\nexit /b 7\r\n");
    TestDir::Write(dir / L"velmo\\install.cmd", "@exit /b 99\r\n");
    Process p;
    ASSERT_TRUE(dir.StartHere(p, L"\"Run install\" IT \"NoButtons|Run\" 30 install /quiet  \"a b\""));
    EXPECT_EQ(p.WaitExit(kBoxWait), 7u);
    EXPECT_EQ(TestDir::Read(dir / L"here\\args.txt"), "/quiet  \"a b\"\r\n");
}

// The countdown limits the notice, never the command; a person's close of
// the notice does not stop the command either.
TEST(Run, TheNoticeEndsButTheCommandGoesOn) {
    for (bool person : {false, true}) {
        SCOPED_TRACE(person ? "a person's close" : "the countdown");
        RunDir dir(L"run_goes_on");
        const std::wstring text = std::wstring(L"Run goes on ") + (person ? L"person" : L"countdown");
        Process p;
        ASSERT_TRUE(dir.Start(p, e2e::VelmoPath(),
                              L"\"" + text + L"\" IT \"Information|Run\" " + (person ? L"60 " : L"1 ") + Sleeper() +
                                  L" 4000 5"));
        HWND box = e2e::FindBoxWithText(text, kBoxWait);
        ASSERT_NE(box, nullptr);
        kt::unique_handle command(OpenProcess(SYNCHRONIZE, FALSE, dir.CommandPid()));
        ASSERT_TRUE(command);
        if (person) e2e::Click(box, IDCANCEL);
        EXPECT_TRUE(e2e::GoneWithin(box, 3000)) << "the notice stayed";
        EXPECT_EQ(WaitForSingleObject(command.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the command went with it";
        EXPECT_TRUE(p.Running()) << "velmo did not wait for the command";
        EXPECT_EQ(p.WaitExit(kBoxWait), 5u);
    }
}

// A velmo ended from outside (a deployment's time limit) takes its command
// with it.
TEST(Run, EndedFromOutsideTheCommandGoesToo) {
    RunDir dir(L"run_killed");
    const std::wstring text = L"Run killed";
    Process p;
    ASSERT_TRUE(dir.Start(p, e2e::VelmoPath(), L"\"" + text + L"\" IT \"NoButtons|Run\" 0 " + Sleeper() + L" 60000 0"));
    ASSERT_NE(e2e::FindBoxWithText(text, kBoxWait), nullptr);
    kt::unique_handle command(OpenProcess(SYNCHRONIZE, FALSE, dir.CommandPid()));
    ASSERT_TRUE(command);
    kt::unique_handle velmo(OpenProcess(PROCESS_TERMINATE, FALSE, p.Pid()));
    ASSERT_TRUE(velmo && TerminateProcess(velmo.get(), 1));
    EXPECT_EQ(WaitForSingleObject(command.get(), 10000), WAIT_OBJECT_0) << "the command outlived velmo";
}

// velmoc: the command's output is velmoc's, and no answer word is added.
TEST(Run, VelmocPassesTheCommandsOutput) {
    RunDir dir(L"run_output");
    Process p;
    ASSERT_TRUE(dir.Start(p, e2e::ExeDir() + L"\\velmoc.exe",
                          L"\"Run output\" IT \"NoButtons|Run\" 30 " + Sleeper() + L" 200 4", true));
    EXPECT_EQ(p.WaitExit(kBoxWait), 4u);
    const std::string out = TestDir::Read(dir / L"out.txt");
    EXPECT_EQ(out, "sleeper " + std::to_string(dir.CommandPid()) + " starts\r\n") << out;
}

// What the command leaves running when it ends by itself lives on after
// velmo, as it would after the command alone: an installer's app, a start.
TEST(Run, WhatTheCommandLeftRunningOutlivesVelmo) {
    RunDir dir(L"run_leaves");
    Process p;
    ASSERT_TRUE(dir.Start(p, e2e::VelmoPath(),
                          L"\"Run leaves\" IT \"NoButtons|Run\" 0 cmd /c start \"\" " + Sleeper() + L" 8000 0"));
    EXPECT_EQ(p.WaitExit(kBoxWait), 0u);
    const DWORD pid = dir.CommandPid();
    ASSERT_NE(pid, 0u) << "the grandchild never ran";
    kt::unique_handle grandchild(OpenProcess(SYNCHRONIZE, FALSE, pid));
    ASSERT_TRUE(grandchild);
    EXPECT_EQ(WaitForSingleObject(grandchild.get(), 1000), static_cast<DWORD>(WAIT_TIMEOUT)) << "it went with velmo";
    kt::unique_handle end(OpenProcess(PROCESS_TERMINATE, FALSE, pid));
    if (end) TerminateProcess(end.get(), 0);
}

// A variable in the caller's environment makes no run relayed: the command
// runs, and its code is velmo's.
TEST(Run, TheEnvironmentMakesNoRunRelayed) {
    RunDir dir(L"run_not_relayed");
    test::EnvScope env({{L"VELMO_RELAYED_BY", L"0001"}, {L"VELMO_DEFER_LEFT", L"99"}});
    Process p;
    ASSERT_TRUE(dir.Start(p, e2e::VelmoPath(), L"\"Run not relayed\" IT \"NoButtons|Run\" 30 " + Sleeper() + L" 300 4"));
    EXPECT_EQ(p.WaitExit(kBoxWait), 4u);
    EXPECT_NE(dir.CommandPid(), 0u) << "the command was skipped";
}

// Only the command's end ends the notice: what another program posts of
// the application's messages ends nothing.
TEST(Run, OnlyTheCommandsEndEndsTheNotice) {
    RunDir dir(L"run_posted");
    const std::wstring text = L"Run posted";
    Process p;
    ASSERT_TRUE(dir.Start(p, e2e::VelmoPath(), L"\"" + text + L"\" IT \"NoButtons|Run\" 0 " + Sleeper() + L" 3000 6"));
    HWND box = e2e::FindBoxWithText(text, kBoxWait);
    ASSERT_NE(box, nullptr);
    kt::unique_handle command(OpenProcess(SYNCHRONIZE, FALSE, dir.CommandPid()));
    ASSERT_TRUE(command);
    for (UINT m = WM_APP; m <= WM_APP + 0x3FF; ++m) PostMessageW(box, m, 0, 0);
    EXPECT_FALSE(e2e::GoneWithin(box, 500)) << "a posted message ended the notice";
    EXPECT_EQ(WaitForSingleObject(command.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    ASSERT_EQ(WaitForSingleObject(command.get(), kBoxWait), WAIT_OBJECT_0);
    EXPECT_TRUE(e2e::GoneWithin(box, 2000));
    EXPECT_EQ(p.WaitExit(kBoxWait), 6u);
}

}  // namespace
