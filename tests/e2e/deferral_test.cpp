// Deferrals kept between runs, with the real velmo and a person's input: the
// count on the labels, the defer button greyed when none is left, what uses
// one and what does not. (Under Wine velmo runs elevated: the count is in
// HKLM\SOFTWARE\velmo\Deferrals, the 64-bit view.)
#include <gtest/gtest.h>

#include "app/Deferral.h"
#include "tests/e2e/logfile.h"

namespace {

using e2e::kBoxWait;
using e2e::Process;

using Key = e2e::DeferralKey;

// One run of the sandbox's velmo with Defer=: "Restart now?" with Yes and
// Later ({left}), the default on Later.
struct DeferRun {
    Process p;
    HWND box = nullptr;
};
::testing::AssertionResult Start(DeferRun& run, const std::wstring& exe, const Key& key, const std::wstring& more,
                                 const std::wstring& timeout = L"30") {
    return e2e::LaunchExe(run.p, exe,
                          L"\"Restart now? {left} left\" \"Deferral " + key.name() +
                              L"\" \"YesNo|DefButton2|Button2=Later ({left})|Defer=" + key.name() + more + L"\" " +
                              timeout,
                          run.box);
}

std::wstring Later(int left) { return L"Later (" + std::to_wstring(left) + L")"; }

// The count on the labels, 2, 1, 0; at 0 the defer button is greyed and
// takes no click, and the countdown clicks button 1; then a person's
// proceed ends the cycle.
TEST(Deferral, CountsDownThenGreysTheDeferButton) {
    e2e::Sandbox dir(L"deferral_count");
    TestDir::Write(dir.wli(), "[Prms]\r\n[Evts]\r\nDFR=\r\nUB.=button.*|answer.*\r\n");
    Key key(L"count");
    for (int left : {2, 1}) {
        SCOPED_TRACE(left);
        DeferRun run;
        ASSERT_TRUE(Start(run, dir.exe(), key, L":2"));
        EXPECT_EQ(e2e::ButtonTexts(run.box), (std::vector<std::wstring>{L"&Yes", Later(left)}));
        EXPECT_EQ(e2e::MessageText(run.box), L"Restart now? " + std::to_wstring(left) + L" left");
        e2e::Click(run.box, IDNO);
        EXPECT_EQ(run.p.WaitExit(kBoxWait), test::Code(IDNO));
        EXPECT_EQ(key.Left(), left - 1);
    }
    EXPECT_FALSE(key.Text(L"LastDeferred").empty());
    EXPECT_NE(key.Text(L"LastDeferredBy").find(L'\\'), std::wstring::npos) << "not DOMAIN\\user";
    {
        DeferRun run;
        ASSERT_TRUE(Start(run, dir.exe(), key, L":2", L"4"));
        EXPECT_EQ(e2e::ButtonTexts(run.box), (std::vector<std::wstring>{L"&Yes", Later(0)}));
        HWND later = GetDlgItem(run.box, IDNO);
        ASSERT_NE(later, nullptr);
        EXPECT_FALSE(IsWindowEnabled(later)) << "the defer button is not greyed";
        // A person's click on it, and its command sent: nothing answers.
        ASSERT_TRUE(e2e::BringToFront(run.box));
        e2e::ClickAt(later);
        e2e::Click(run.box, IDNO);
        Sleep(500);
        EXPECT_TRUE(IsWindow(run.box)) << "the greyed button answered";
        // The countdown clicks button 1 instead.
        EXPECT_EQ(run.p.WaitExit(kBoxWait), test::Code(IDYES));
        EXPECT_EQ(key.Left(), 0) << "the countdown changed the count";
    }
    {
        DeferRun run;
        ASSERT_TRUE(Start(run, dir.exe(), key, L":2"));
        e2e::Click(run.box, IDYES);
        EXPECT_EQ(run.p.WaitExit(kBoxWait), test::Code(IDYES));
        EXPECT_EQ(key.Left(), -1) << "a person's proceed leaves the record";
    }
    {
        DeferRun run;
        ASSERT_TRUE(Start(run, dir.exe(), key, L":2"));
        EXPECT_EQ(e2e::ButtonTexts(run.box), (std::vector<std::wstring>{L"&Yes", Later(2)}));
        e2e::Click(run.box, IDYES);
        EXPECT_EQ(run.p.WaitExit(kBoxWait), test::Code(IDYES));
    }
    std::vector<e2e::Line> lines = e2e::ParseLog(TestDir::Read(dir.log()));
    EXPECT_TRUE(e2e::HasLineStarting(lines, L"deferral used by "));
    EXPECT_TRUE(e2e::HasLineStarting(lines, L"no deferral left: 0 of 2"));
    EXPECT_TRUE(e2e::Contains(lines, L"button 2 greyed for good"));
    EXPECT_TRUE(e2e::Contains(lines, L"answer 7 dropped: button 2 is greyed"));
    EXPECT_TRUE(e2e::Contains(lines, L"the countdown's answer 6 uses no deferral"));
    EXPECT_TRUE(e2e::Contains(lines, L"deferrals ended by answer 6: record removed"));
}

// The countdown's click on the defer button is nobody's choice: no
// deferral is used, and the exit code is the button's.
TEST(Deferral, ATimeoutUsesNone) {
    e2e::Sandbox dir(L"deferral_timeout");
    TestDir::Write(dir.wli(), "[Prms]\r\n[Evts]\r\nDFR=\r\n");
    Key key(L"timeout");
    for (const wchar_t* report : {L"", L"|ReportTimeout"}) {
        DeferRun run;
        ASSERT_TRUE(Start(run, dir.exe(), key, std::wstring(L":3") + report, L"1"));
        EXPECT_EQ(run.p.WaitExit(kBoxWait), *report ? 32000u : test::Code(IDNO));
        EXPECT_EQ(key.Left(), -1) << "a timeout used a deferral";
    }
    EXPECT_TRUE(e2e::Contains(e2e::ParseLog(TestDir::Read(dir.log())), L"the countdown's answer 7 uses no deferral"));
}

// A record that cannot be used does not stop the box: it counts as new.
TEST(Deferral, ABrokenRecord) {
    e2e::Sandbox dir(L"deferral_broken");
    TestDir::Write(dir.wli(), "[Prms]\r\n[Evts]\r\nDFR=\r\n");
    Key key(L"broken");
    key.SetLeftText(L"two");
    DeferRun run;
    ASSERT_TRUE(Start(run, dir.exe(), key, L":3"));
    EXPECT_EQ(e2e::ButtonTexts(run.box), (std::vector<std::wstring>{L"&Yes", Later(3)}));
    e2e::Click(run.box, IDNO);
    EXPECT_EQ(run.p.WaitExit(kBoxWait), test::Code(IDNO));
    EXPECT_EQ(key.Left(), 2);
    EXPECT_TRUE(e2e::HasLineStarting(e2e::ParseLog(TestDir::Read(dir.log())),
                                     L"record of " + key.name() + L" unreadable: Left is not a REG_DWORD"));
}

// After the deadline no deferral is left, whatever the count.
TEST(Deferral, ADeadlineThatHasPassed) {
    e2e::Sandbox dir(L"deferral_deadline");
    TestDir::Write(dir.wli(), "[Prms]\r\n[Evts]\r\nDFR=\r\n");
    Key key(L"deadline");
    for (const wchar_t* more : {L":3|DeferUntil=2020-01-31", L"|DeferUntil=2020-01-31T08:00"}) {
        SCOPED_TRACE(test::Narrow(more));
        DeferRun run;
        ASSERT_TRUE(Start(run, dir.exe(), key, more));
        EXPECT_EQ(e2e::ButtonTexts(run.box), (std::vector<std::wstring>{L"&Yes", Later(0)}));
        EXPECT_FALSE(IsWindowEnabled(GetDlgItem(run.box, IDNO)));
        e2e::Click(run.box, IDYES);
        EXPECT_EQ(run.p.WaitExit(kBoxWait), test::Code(IDYES));
    }
    EXPECT_TRUE(e2e::HasLineStarting(e2e::ParseLog(TestDir::Read(dir.log())), L"no deferral left: the deadline has passed"));
}

// Starts velmo in a time zone: as a Wine process of its own whose TZ is
// zone (Wine takes its zone from the TZ of the Unix process it starts in,
// which the environment of a Windows parent does not reach: measured).
// The loader is winerun's. False when it cannot be started here.
bool StartInZone(const wchar_t* zone, const std::wstring& exe, const std::wstring& args) {
    wchar_t loader[MAX_PATH] = {};
    const DWORD n = GetEnvironmentVariableW(L"VELMO_WINE", loader, MAX_PATH);
    const std::string unix_exe = test::UnixPath(exe);
    if (n == 0 || n >= MAX_PATH || unix_exe.empty()) return false;
    std::wstring line = std::wstring(L"Z:\\usr\\bin\\env TZ=") + zone + L" " + loader + L" " +
                        std::wstring(unix_exe.begin(), unix_exe.end()) + L" " + args;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
}

// A visible box of any process whose title starts with caption (the
// countdown writes after it), within kBoxWait.
struct TitleSearch {
    const std::wstring* caption;
    HWND found;
};
BOOL CALLBACK TitledFrom(HWND w, LPARAM p) {
    auto* s = reinterpret_cast<TitleSearch*>(p);
    wchar_t cls[16] = {};
    GetClassNameW(w, cls, 16);
    if (!IsWindowVisible(w) || wcscmp(cls, L"#32770") != 0 || e2e::Text(w).compare(0, s->caption->size(), *s->caption) != 0)
        return TRUE;
    s->found = w;
    return FALSE;
}
HWND BoxTitled(const std::wstring& caption) {
    TitleSearch search{&caption, nullptr};
    for (DWORD start = GetTickCount(); !search.found && GetTickCount() - start < kBoxWait; Sleep(20))
        EnumWindows(TitledFrom, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// A deadline without a zone is fixed as an instant the first time velmo
// sees it: where the clock was later moved 12 hours back (a time zone
// changed, or a daylight saving time's end), it does not open again.
// {until} shows the instant in each run's own zone.
TEST(Deferral, AnotherTimeZoneDoesNotReopenAPassedDeadline) {
    e2e::Sandbox dir(L"deferral_zone");
    TestDir::Write(dir.wli(), "[Prms]\r\n[Evts]\r\nDFR=\r\n");
    Key key(L"zone");
    // An hour ago in UTC, the minute as written.
    FILETIME f{};
    GetSystemTimeAsFileTime(&f);
    const ULONGLONG hour = 60ULL * 60 * 10000000;
    ULONGLONG ago = ((static_cast<ULONGLONG>(f.dwHighDateTime) << 32) | f.dwLowDateTime) - hour;
    ago -= ago % (hour / 60);
    SYSTEMTIME t{};
    f = {static_cast<DWORD>(ago), static_cast<DWORD>(ago >> 32)};
    FileTimeToSystemTime(&f, &t);
    wchar_t deadline[32];
    swprintf(deadline, 32, L"%04u-%02u-%02uT%02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute);
    const struct {
        const wchar_t* zone;
        int hours_east;
    } zones[] = {{L"UTC", 0}, {L"Etc/GMT+12", -12}};  // POSIX's sign: 12 hours behind UTC
    for (const auto& z : zones) {
        SCOPED_TRACE(test::Narrow(z.zone));
        // The instant as a person in that zone reads it.
        const ULONGLONG there = ago + static_cast<long long>(z.hours_east) * static_cast<long long>(hour);
        f = {static_cast<DWORD>(there), static_cast<DWORD>(there >> 32)};
        SYSTEMTIME local{};
        FileTimeToSystemTime(&f, &local);
        wchar_t date[64] = {}, time[64] = {};
        GetDateFormatEx(LOCALE_NAME_USER_DEFAULT, DATE_SHORTDATE, &local, nullptr, date, 64, nullptr);
        GetTimeFormatEx(LOCALE_NAME_USER_DEFAULT, TIME_NOSECONDS, &local, nullptr, time, 64);
        const std::wstring caption = L"Deferral " + key.name() + L" in " + z.zone;
        ASSERT_TRUE(StartInZone(z.zone, dir.exe(),
                                L"\"Until {until}\" \"" + caption + L"\" \"YesNo|DefButton2|Button2=Later ({left})|Defer=" +
                                    key.name() + L":3|DeferUntil=" + deadline + L"\" 3"))
            << "no loader in VELMO_WINE (winerun's), or no Unix path for the exe";
        HWND box = BoxTitled(caption);
        ASSERT_NE(box, nullptr) << "no box";
        DWORD pid = 0;
        GetWindowThreadProcessId(box, &pid);
        kt::unique_handle velmo(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
        ASSERT_TRUE(velmo);
        EXPECT_EQ(e2e::MessageText(box), std::wstring(L"Until ") + date + L" " + time) << "not this zone's time";
        EXPECT_EQ(e2e::ButtonTexts(box), (std::vector<std::wstring>{L"&Yes", Later(0)}));
        EXPECT_FALSE(IsWindowEnabled(GetDlgItem(box, IDNO))) << "the deadline opened again";
        // The countdown answers (button 1: Later is greyed): the record,
        // and its fixed deadline, stay.
        EXPECT_EQ(WaitForSingleObject(velmo.get(), kBoxWait), static_cast<DWORD>(WAIT_OBJECT_0));
        DWORD code = 0;
        GetExitCodeProcess(velmo.get(), &code);
        EXPECT_EQ(code, test::Code(IDYES));
        EXPECT_EQ(key.Text(L"DeadlineAsWritten"), deadline);
        EXPECT_EQ(key.Text(L"Deadline"), std::wstring(deadline) + L"Z");
    }
    std::vector<e2e::Line> lines = e2e::ParseLog(TestDir::Read(dir.log()));
    EXPECT_TRUE(e2e::HasLineStarting(lines, L"deadline " + std::wstring(deadline) + L" fixed as " + deadline + L"Z"));
    EXPECT_TRUE(e2e::HasLineStarting(lines, L"deadline " + std::wstring(deadline) + L" as fixed on first sight"));
    EXPECT_TRUE(e2e::HasLineStarting(lines, L"no private namespace for the keys' locks"));
}

// Whether the box's thread takes no message within a moment: it waits.
bool Busy(HWND box) {
    DWORD_PTR result = 0;
    return !SendMessageTimeoutW(box, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 50, &result);
}

// Two runs with one key at once: a deferral is taken at the click under the
// key's lock, so both are counted; and on the last one only one run gets
// it, the other's box stays with Later greyed and its label updated. The
// clicks come while the test holds the key's lock: both runs wait for it,
// and read the record only once they have it.
TEST(Deferral, TwoRunsAtOnceTakeOneEach) {
    for (DWORD left : {DWORD{3}, DWORD{1}}) {
        SCOPED_TRACE(left);
        e2e::Sandbox dir(L"deferral_two");
        Key key(L"two");
        key.SetLeft(left);
        DeferRun first, second;
        ASSERT_TRUE(Start(first, dir.exe(), key, L":5"));
        ASSERT_TRUE(Start(second, dir.exe(), key, L":5"));
        {
            kt::unique_handle lock(CreateMutexW(nullptr, TRUE, DeferralLockName(key.name(), L"", false).c_str()));
            ASSERT_TRUE(lock);
            e2e::Click(first.box, IDNO);
            e2e::Click(second.box, IDNO);
            EXPECT_TRUE(test::Eventually([&] { return Busy(first.box) && Busy(second.box); })) << "not both waiting";
            ReleaseMutex(lock.get());
        }
        if (left == 3) {
            EXPECT_EQ(first.p.WaitExit(kBoxWait), test::Code(IDNO));
            EXPECT_EQ(second.p.WaitExit(kBoxWait), test::Code(IDNO));
            EXPECT_EQ(key.Left(), 1);
            continue;
        }
        // One of them got the last; the other still asks, Later greyed.
        DeferRun* got = nullptr;
        DeferRun* stays = nullptr;
        ASSERT_TRUE(test::Eventually([&] {
            got = !first.p.Running() ? &first : !second.p.Running() ? &second : nullptr;
            return got != nullptr;
        })) << "nobody got the last deferral";
        stays = got == &first ? &second : &first;
        EXPECT_EQ(got->p.WaitExit(kBoxWait), test::Code(IDNO));
        EXPECT_TRUE(test::Eventually([&] { return !IsWindowEnabled(GetDlgItem(stays->box, IDNO)); }))
            << "Later given twice, or not greyed";
        EXPECT_TRUE(IsWindow(stays->box));
        EXPECT_EQ(e2e::ButtonTexts(stays->box), (std::vector<std::wstring>{L"&Yes", Later(0)}));
        EXPECT_EQ(key.Left(), 0);
        e2e::Click(stays->box, IDYES);
        EXPECT_EQ(stays->p.WaitExit(kBoxWait), test::Code(IDYES));
    }
}

// DeferInterval=: after a person's Later the next run within the interval
// shows no box, answers Later at once and uses no deferral; once the
// interval has passed the box is back, with the count as it was.
TEST(Deferral, TheIntervalHoldsThePromptBack) {
    e2e::Sandbox dir(L"deferral_interval");
    TestDir::Write(dir.wli(), "[Prms]\r\n[Evts]\r\nDFR=\r\n");
    Key key(L"interval");
    {
        DeferRun run;
        ASSERT_TRUE(Start(run, dir.exe(), key, L":3|DeferInterval=60"));
        e2e::Click(run.box, IDNO);
        EXPECT_EQ(run.p.WaitExit(kBoxWait), test::Code(IDNO));
        EXPECT_EQ(key.Left(), 2);
    }
    {
        Process held;
        ASSERT_TRUE(held.StartExe(dir.exe(), L"\"Restart now?\" \"Deferral " + key.name() +
                                                 L"\" \"YesNo|DefButton2|Defer=" + key.name() + L":3|DeferInterval=60\" 30"));
        EXPECT_EQ(held.WaitExit(kBoxWait), test::Code(IDNO));
        EXPECT_EQ(key.Left(), 2) << "a deferral was used without a prompt";
    }
    {
        // The interval holds a prompt back, not an install that needs none.
        Process free_to_go;
        ASSERT_TRUE(free_to_go.StartExe(dir.exe(), L"\"Restart now?\" \"Deferral " + key.name() +
                                                       L"\" \"YesNo|DefButton2|Defer=" + key.name() +
                                                       L":3|DeferInterval=60|CloseApps=velmo_no_such_app.exe\" 30"));
        EXPECT_EQ(free_to_go.WaitExit(kBoxWait), test::Code(IDYES)) << "held although none of the apps runs";
        EXPECT_EQ(key.Left(), 2);
    }
    std::vector<e2e::Line> lines = e2e::ParseLog(TestDir::Read(dir.log()));
    EXPECT_TRUE(e2e::HasLineStarting(lines, L"deferred by a person at "));
    EXPECT_TRUE(e2e::Contains(lines, L"no prompt yet: answer 7, no deferral used"));
    // The Later an hour and a minute ago: the interval has passed.
    key.SetText(L"LastDeferred", UtcText(UtcNow() - 61ULL * 60 * 10000000));
    {
        DeferRun run;
        ASSERT_TRUE(Start(run, dir.exe(), key, L":3|DeferInterval=60"));
        EXPECT_EQ(e2e::ButtonTexts(run.box), (std::vector<std::wstring>{L"&Yes", Later(2)}));
        e2e::Click(run.box, IDYES);
        EXPECT_EQ(run.p.WaitExit(kBoxWait), test::Code(IDYES));
        EXPECT_EQ(key.Left(), -1) << "a proceed leaves the record, and the interval with it";
    }
    EXPECT_EQ(e2e::Count(e2e::ParseLog(TestDir::Read(dir.log())), L"no prompt yet"), 1u);
}

// The 32-bit and the 64-bit build keep one count (the registry's 64-bit
// view): each build's count is the other's.
TEST(Deferral, BothBuildsShareOneCount) {
    const std::wstring here = e2e::ExeDir();
    const bool in_x64 = here.size() > 7 && _wcsicmp(here.c_str() + here.size() - 7, L"\\x86_64") == 0;
    const std::wstring other = in_x64 ? here.substr(0, here.size() - 7) + L"\\velmo.exe" : here + L"\\x86_64\\velmo.exe";
    if (GetFileAttributesW(other.c_str()) == INVALID_FILE_ATTRIBUTES) GTEST_SKIP() << "no other build here";
    // Where the kernel runs no 32-bit programs, Wine cannot start that build.
    {
        Process probe;
        if (!probe.StartExe(other, L"\"Deferral probe\" \"Deferral probe\" OK 1")) GTEST_SKIP() << "the other build does not start here";
        probe.WaitExit(kBoxWait);
    }
    Key key(L"builds");
    {
        DeferRun run;
        ASSERT_TRUE(Start(run, e2e::VelmoPath(), key, L":3"));
        e2e::Click(run.box, IDNO);
        EXPECT_EQ(run.p.WaitExit(kBoxWait), test::Code(IDNO));
    }
    DeferRun run;
    ASSERT_TRUE(Start(run, other, key, L":3"));
    EXPECT_EQ(e2e::ButtonTexts(run.box), (std::vector<std::wstring>{L"&Yes", Later(2)}));
    e2e::Click(run.box, IDNO);
    EXPECT_EQ(run.p.WaitExit(kBoxWait), test::Code(IDNO));
    EXPECT_EQ(key.Left(), 1);
}

}  // namespace
