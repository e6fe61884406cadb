// The diagnostic log of the real exe: switched on by a .wli file beside it.
#include <gtest/gtest.h>

#include <regex>

#include "tests/e2e/logfile.h"

namespace {

// The log-file helpers, the process and the wait constants.
using namespace e2e;

const std::wstring kA = L"A\u00B7\u00B7";

TEST(LogFile, CountdownRunWritesItsLinesInOrder) {
    Sandbox box(L"order");
    TestDir::Write(box.wli(), "[Prms]\r\nStrtMd=append\r\n[Evts]\r\n.*=\r\n");
    ASSERT_EQ(box.RunOnce(L"\"Proceed?\" \"Please confirm\" \"Question|YesNo\" 1"), test::Code(IDYES));
    std::vector<Line> lines = ParseLog(TestDir::Read(box.log()));
    ASSERT_FALSE(lines.empty());
    // The writer's own load lines may come before or after the start line.
    std::vector<std::string> seq;
    std::wstring main_tid, worker_tid;
    for (const Line& l : lines) {
        EXPECT_EQ(l.pid, lines[0].pid);
        if (l.category == L"TIL") continue;
        std::string step;
        if (l.category == kA && l.text == L"velmo start") step = "start", main_tid = l.tid;
        else if (l.category == L"SMT" && l.text.find(L"Creating mutex \"KT_TThrd_") == 0) step = "mutex";
        else if (l.category == L"STT" && l.text.find(L"Create thread: handle=") == 0) step = "create";
        else if (l.category == L"ST." && l.text.find(L"Thread routine begin(thrd=") == 0) step = "begin", worker_tid = l.tid;
        else if (l.category == L"UWE" && l.text.find(L"::SrchWnd('Please confirm','Proceed?') found ") == 0) step = "search";
        else if (l.category == L"UB\u00B7" && l.text.find(L"btn_id=6,item=") == 0 &&
                 l.text.substr(l.text.size() - 5) == L",143]")
            step = "click";
        else if (l.category == L"ST." && l.text.find(L"Thread routine end 0 (00000000)") == 0) step = "end";
        else if (l.category == L"STC" && l.text.find(L"Closing thread handle: handle=") == 0) step = "close";
        else if (l.category == kA && l.text == L"velmo end(6)") step = "stop";
        else step = "other:" + test::Narrow(l.category);
        if (step == "search" && !seq.empty() && seq.back() == "search") continue;  // one per pass
        seq.push_back(step);
    }
    EXPECT_EQ(seq, (std::vector<std::string>{"start", "mutex", "create", "begin", "search", "click", "end", "close",
                                             "stop"}));
    EXPECT_NE(main_tid, worker_tid);
}

TEST(LogFile, WithoutParameterFileNothingIsWritten) {
    Sandbox box(L"none");
    ASSERT_EQ(box.RunOnce(), test::Code(IDCANCEL));
    EXPECT_TRUE(box.LogFiles().empty());
    // An existing log is not touched either.
    TestDir::Write(box.log(), "old");
    ASSERT_EQ(box.RunOnce(), test::Code(IDCANCEL));
    EXPECT_EQ(TestDir::Read(box.log()), "old");
}

TEST(LogFile, LineFormEnablesOnlyItsCategories) {
    Sandbox box(L"lineform");
    TestDir::Write(box.wli(), "+A\xB7\xB7\r\n!IMM\r\n");  // ANSI, as the line form is read
    ASSERT_EQ(box.RunOnce(), test::Code(IDCANCEL));
    std::vector<Line> lines = ParseLog(TestDir::Read(box.log()));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].category, kA);
    EXPECT_EQ(lines[0].text, L"velmo start");
    EXPECT_EQ(lines[1].text, L"velmo end(2)");
}

TEST(LogFile, StartModes) {
    {
        Sandbox box(L"new");
        TestDir::Write(box.wli(), "[Prms]\r\nStrtMd=new\r\n[Evts]\r\nA..=\r\n");
        ASSERT_EQ(box.RunOnce(), test::Code(IDCANCEL));
        ASSERT_EQ(box.RunOnce(), test::Code(IDCANCEL));
        std::vector<std::wstring> files = box.LogFiles();
        ASSERT_EQ(files.size(), 2u);
        for (const std::wstring& f : files) {
            EXPECT_TRUE(std::regex_match(f, std::wregex(L"velmo[0-9]{8}-[0-9]{9}\\.log"))) << test::Narrow(f);
            EXPECT_EQ(ParseLog(TestDir::Read(box / f)).size(), 2u);
        }
    }
    const std::pair<const char*, size_t> modes[] = {{"ovrwrt", 2}, {"append", 4}};
    for (const auto& m : modes) {
        Sandbox box(std::wstring(L"mode-") + (m.second == 2 ? L"ovrwrt" : L"append"));
        TestDir::Write(box.wli(), std::string("[Prms]\r\nStrtMd=") + m.first + "\r\n[Evts]\r\nA..=\r\n");
        ASSERT_EQ(box.RunOnce(), test::Code(IDCANCEL));
        ASSERT_EQ(box.RunOnce(), test::Code(IDCANCEL));
        EXPECT_EQ(box.LogFiles(), std::vector<std::wstring>{L"velmo.log"});
        EXPECT_EQ(ParseLog(TestDir::Read(box.log())).size(), m.second) << m.first;
    }
}

// The one slow test: the parameter file is checked once a minute.
TEST(LogFile, ParameterFileSwitchesLoggingWhileABoxIsUp) {
    Sandbox on(L"switch-on"), off(L"switch-off");
    const char* wli = "[Prms]\r\nFlshLns=0\r\n[Evts]\r\nA..=\r\n";
    TestDir::Write(off.wli(), wli);
    Process a, b;
    ASSERT_TRUE(a.StartExe(on.exe(), L"\"switching on\" \"Log on\" OK"));
    ASSERT_TRUE(b.StartExe(off.exe(), L"\"switching off\" \"Log off\" OK"));
    HWND box_a = e2e::FindBox(a.Pid(), kBoxWait), box_b = e2e::FindBox(b.Pid(), kBoxWait);
    ASSERT_NE(box_a, nullptr);
    ASSERT_NE(box_b, nullptr);
    TestDir::Write(on.wli(), wli);
    DeleteFileW(off.wli().c_str());
    Sleep(66000);
    e2e::Click(box_a, IDOK);
    e2e::Click(box_b, IDOK);
    EXPECT_EQ(a.WaitExit(kBoxWait), test::Code(IDOK));
    EXPECT_EQ(b.WaitExit(kBoxWait), test::Code(IDOK));
    std::vector<Line> la = ParseLog(TestDir::Read(on.log())), lb = ParseLog(TestDir::Read(off.log()));
    EXPECT_FALSE(Contains(la, L"velmo start"));
    EXPECT_TRUE(Contains(la, L"velmo end(1)"));
    EXPECT_TRUE(Contains(lb, L"velmo start"));
    EXPECT_FALSE(Contains(lb, L"velmo end(1)"));
}

TEST(LogFile, UnwritableLogNeverChangesTheExitCode) {
    {
        Sandbox box(L"locked");
        TestDir::Write(box.wli(), "[Prms]\r\n[Evts]\r\n.*=\r\n");
        kt::unique_handle lock = TestDir::Open(box.log(), GENERIC_WRITE, 0, CREATE_ALWAYS);
        ASSERT_TRUE(lock);
        DWORD start = GetTickCount();
        EXPECT_EQ(box.RunOnce(), test::Code(IDCANCEL));
        EXPECT_LT(GetTickCount() - start, 21000u);  // one second of box, at most 15 s of retries
        lock.reset();
        EXPECT_EQ(TestDir::Read(box.log()), "");
    }
    {
        Sandbox box(L"dirlog");
        TestDir::Write(box.wli(), "[Prms]\r\n[Evts]\r\n.*=\r\n");
        CreateDirectoryW(box.log().c_str(), nullptr);
        DWORD start = GetTickCount();
        EXPECT_EQ(box.RunOnce(), test::Code(IDCANCEL));
        EXPECT_LT(GetTickCount() - start, 21000u);
    }
}

}  // namespace
