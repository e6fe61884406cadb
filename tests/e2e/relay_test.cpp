// velmo run where a SYSTEM job runs it, in a window station that no display
// shows: the box goes to the desktop of the person at the screen, the
// answer comes back, and nothing is left behind. Run by solo_wine.sh on a
// wineserver of its own.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/Relayed.h"
#include "tests/e2e/logfile.h"
#include "tests/e2e/restart_texts.h"

#include <tlhelp32.h>
#include "tests/help_texts.h"

namespace {

using e2e::kBoxWait;
using e2e::Process;
using test::EnvScope;

// The copies of velmo that the user may not read (lock_exes.sh), or why
// there are none.
std::wstring LockedDir() { return e2e::ExeDir() + L"\\locked"; }
std::string NotLocked() {
    std::string why = TestDir::Read(LockedDir() + L"\\not-locked.txt");
    return why == "<missing>" ? "" : why;
}

// The full path of a process's exe.
std::wstring ImagePath(DWORD pid) {
    kt::unique_handle p(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    wchar_t path[MAX_PATH] = {};
    DWORD n = MAX_PATH;
    if (!p || !QueryFullProcessImageNameW(p.get(), 0, path, &n)) return L"?";
    return path;
}

// This account's temp folder, where the asker (the same account here) makes
// its private copies, and the copy folders in it.
std::wstring Temp() {
    wchar_t path[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, path);
    return path;
}
// The folder of every private copy, and a fresh one's beside it.
std::wstring Copies() { return Temp() + L"velmo-relay\\"; }
std::vector<std::wstring> CopyFolders() {
    std::vector<std::wstring> names;
    for (const WIN32_FIND_DATAW& fd : TestDir::List(Copies() + L"velmo-relay-*")) names.push_back(fd.cFileName);
    for (const WIN32_FIND_DATAW& fd : TestDir::List(Temp() + L"velmo-relay.*")) names.push_back(fd.cFileName);
    return names;
}
// Whether a process image is a private copy.
bool IsCopy(const std::wstring& image) { return image.compare(0, Copies().size() + 12, Copies() + L"velmo-relay-") == 0; }

enum Act { actClick, actCountdown, actGuard };

struct RelayCase {
    const char* name;
    bool locked;           // run from a copy the user may not read (lock_exes.sh)
    const wchar_t* exe;    // velmo.exe or velmoc.exe
    const wchar_t* flags;
    const wchar_t* timeout;  // empty: none
    Act act;
    int click;                  // the button clicked
    std::vector<const wchar_t*> labels;  // the buttons' texts, left to right; empty: not checked
    const char* out;            // velmoc's stdout
    DWORD code;
};

void PrintTo(const RelayCase& c, std::ostream* os) { *os << c.name; }

DWORD OwnerPid(HWND w) {
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    return pid;
}

class Relay : public ::testing::TestWithParam<RelayCase> {};

TEST_P(Relay, TheBoxIsShownToThePersonAtTheScreenAndTheAnswerComesBack) {
    const RelayCase& c = GetParam();
    if (c.locked && !NotLocked().empty()) GTEST_SKIP() << NotLocked();
    e2e::Sandbox sandbox(L"relay");
    CopyFileW((e2e::ExeDir() + L"\\velmoc.exe").c_str(), (sandbox / L"velmoc.exe").c_str(), FALSE);
    // Where the asker's exe lies; the test's own files stay in the sandbox.
    const std::wstring dir = c.locked ? LockedDir() : sandbox.path();
    const std::wstring exe = dir + L"\\" + c.exe;
    std::wstring stem(c.exe, wcslen(c.exe) - 4);
    const std::wstring log_file = dir + L"\\" + stem + L".log";
    DeleteFileW(log_file.c_str());
    TestDir::Write(dir + L"\\" + stem + L".wli", "[Prms]\r\n[Evts]\r\n.*=\r\n");
    auto unlog = kt::scope_exit([&] {
        if (c.locked) {
            DeleteFileW((dir + L"\\" + stem + L".wli").c_str());
            DeleteFileW(log_file.c_str());
        }
    });
    const std::vector<std::wstring> copies_before = CopyFolders();
    const std::wstring text = L"Relay " + std::wstring(c.name, c.name + strlen(c.name));
    const std::wstring caption = L"Relayed";
    std::wstring command = L"\"" + exe + L"\" \"" + text + L"\" \"" + caption + L"\" \"" + c.flags + L"\"";
    if (*c.timeout) command += std::wstring(L" ") + c.timeout;
    // velmoc's stdout and stderr.
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    kt::unique_handle out(CreateFileW((sandbox / L"out.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                      CREATE_ALWAYS, 0, nullptr));
    Process launcher;
    ASSERT_TRUE(e2e::StartUnseen(launcher, sandbox / L"asker.pid", command, out.get()));
    out.reset();
    DWORD asker = e2e::ReadPid(sandbox / L"asker.pid");
    ASSERT_NE(asker, 0u) << "no pid from the launcher, which " << launcher.State();
    HWND box = e2e::FindBoxWithText(text, kBoxWait);
    ASSERT_NE(box, nullptr) << "no relayed box on the display; the launcher " << launcher.State();
    // Another process shows it: the asker's own station shows nothing.
    EXPECT_NE(OwnerPid(box), asker);
    EXPECT_EQ(e2e::FindBox(asker, 0), nullptr);
    // Seen and in front: not hidden behind the user's windows.
    EXPECT_TRUE(GetWindowLongPtrW(box, GWL_EXSTYLE) & WS_EX_TOPMOST) << "the relayed box is not top-most";
    // In place where the user may run the exe; else from a private copy.
    const std::wstring image = ImagePath(OwnerPid(box));
    if (c.locked) {
        EXPECT_TRUE(IsCopy(image)) << test::Narrow(image);
        EXPECT_EQ(image.substr(image.rfind(L'\\') + 1), c.exe);
    } else {
        EXPECT_EQ(_wcsicmp(image.c_str(), exe.c_str()), 0) << test::Narrow(image);
    }
    if (!c.labels.empty()) {
        std::vector<std::wstring> texts = e2e::ButtonTexts(box);
        ASSERT_EQ(texts.size(), c.labels.size());
        for (size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(texts[i], c.labels[i]) << i;
    }
    if (*c.timeout) {
        // The relayed run's countdown finds its box.
        EXPECT_NE(e2e::TitleSuffix(box, caption), L"<none>");
    }
    if (c.act == actClick) {
        e2e::Click(box, c.click);
    } else if (c.act == actGuard) {
        ASSERT_TRUE(e2e::BringToFront(box));
        Sleep(200);
        EXPECT_TRUE(e2e::ButtonsEnabled(box, false));
        e2e::PressKeys({VK_RETURN});
        Sleep(300);
        ASSERT_TRUE(IsWindow(box)) << "answered in the guarded second";
        Sleep(1000);
        EXPECT_TRUE(e2e::ButtonsEnabled(box, true));
        e2e::PressKeys({VK_RETURN});
    }
    EXPECT_EQ(launcher.WaitExit(kBoxWait), c.code);
    if (*c.out) {
        EXPECT_EQ(TestDir::Read(sandbox / L"out.txt"), c.out);
    }
    // The copy and its folder are gone once the relayed run has ended.
    for (const std::wstring& folder : CopyFolders())
        EXPECT_NE(std::find(copies_before.begin(), copies_before.end(), folder), copies_before.end())
            << "left behind: " << test::Narrow(folder);

    // The asker's decisions, and (in place, where the .wli lies beside its
    // exe) the relayed run's own lines, in the one file beside the exe.
    std::vector<e2e::Line> lines = e2e::ParseLog(TestDir::Read(log_file));
    wchar_t pid[16];
    swprintf(pid, 16, L"%04X", static_cast<unsigned>(asker));
    std::wstring code = std::to_wstring(c.code);
    int ends = 0;
    bool asked = false, started = false, ended = false, relayed = false, removed = false;
    const std::wstring how = c.locked ? L" started from a private copy on WinSta0\\Default: "
                                      : L" started in place on WinSta0\\Default: ";
    for (const e2e::Line& l : lines) {
        if (l.pid == pid && l.text == L"velmo end(" + code + L")") ++ends;
        if (l.pid != pid && l.text.compare(0, 10, L"velmo end(") == 0) ++ends;
        if (l.category != L"RLY") continue;
        asked |= l.pid == pid && l.text.compare(0, 19, L"asking session 1, u") == 0;
        started |= l.pid == pid && l.text.find(how) != std::wstring::npos;
        // With ReportTimeout the box's own answer comes back; its asker makes it 32000.
        ended |= l.pid == pid && l.text.find(L": answer " + (c.code == 32000 ? std::to_wstring(IDNO) : code)) != std::wstring::npos;
        relayed |= l.pid != pid && l.text == std::wstring(L"relayed by PID=") + pid;
        removed |= l.pid == pid && l.text.compare(0, 25, L"removed the private copy ") == 0;
    }
    EXPECT_TRUE(e2e::Contains(lines, L"the window station is not visible"));
    EXPECT_TRUE(asked && started && ended);
    EXPECT_EQ(removed, c.locked);
    // A copy has no .wli beside it: only the asker logs.
    EXPECT_EQ(relayed, !c.locked);
    EXPECT_EQ(ends, c.locked ? 1 : 2);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Relay,
    ::testing::Values(
        RelayCase{"click", false, L"velmo.exe", L"Question|YesNo", L"30", actClick, IDNO, {}, "", IDNO},
        RelayCase{"countdown", false, L"velmo.exe", L"YesNo|DefButton2", L"2", actCountdown, 0, {}, "", IDNO},
        RelayCase{"report_timeout", false, L"velmo.exe", L"YesNo|DefButton2|ReportTimeout", L"1", actCountdown, 0, {}, "",
                  32000},
        RelayCase{"labels", false, L"velmo.exe", L"YesNo|Button1=&Restart now|Button2=&Later", L"", actClick, IDYES,
                  {L"&Restart now", L"&Later"}, "", IDYES},
        RelayCase{"guard", false, L"velmo.exe", L"YesNo|Guard", L"30", actGuard, 0, {}, "", IDYES},
        RelayCase{"console_twin", false, L"velmoc.exe", L"YesNo|DefButton2", L"1", actCountdown, 0, {}, "No\r\n", IDNO},
        RelayCase{"console_twin_click", false, L"velmoc.exe", L"CancelTryContinue", L"", actClick, IDTRYAGAIN, {},
                  "TryAgain\r\n", IDTRYAGAIN},
        // Where users may not read velmo: a deployment's cache.
        RelayCase{"locked_click", true, L"velmo.exe", L"Question|YesNo", L"30", actClick, IDNO, {}, "", IDNO},
        RelayCase{"locked_console_twin", true, L"velmoc.exe", L"YesNo|DefButton2", L"1", actCountdown, 0, {}, "No\r\n",
                  IDNO}),
    [](const ::testing::TestParamInfo<RelayCase>& i) { return std::string(i.param.name); });

// The deployment system's own time limit ends the asking velmo: the relayed
// box goes with it, and nobody answers a question that no one will read.
TEST(RelayEnds, WithTheAskingVelmo) {
    TestDir dir(L"relay_kill");
    const std::wstring text = L"Relay killed asker";
    Process launcher;
    ASSERT_TRUE(e2e::StartUnseen(launcher, dir / L"asker.pid",
                                 L"\"" + e2e::VelmoPath() + L"\" \"" + text + L"\" \"Relayed\" \"YesNo\" 60"));
    DWORD asker = e2e::ReadPid(dir / L"asker.pid");
    ASSERT_NE(asker, 0u) << "no pid from the launcher, which " << launcher.State();
    HWND box = e2e::FindBoxWithText(text, kBoxWait);
    ASSERT_NE(box, nullptr);
    kt::unique_handle relayed(OpenProcess(SYNCHRONIZE, FALSE, OwnerPid(box)));
    ASSERT_TRUE(relayed);
    kt::unique_handle p(OpenProcess(PROCESS_TERMINATE, FALSE, asker));
    ASSERT_TRUE(p);
    ASSERT_TRUE(TerminateProcess(p.get(), 1));
    EXPECT_EQ(WaitForSingleObject(relayed.get(), 10000), WAIT_OBJECT_0) << "the relayed velmo outlived the asker";
    EXPECT_FALSE(IsWindow(box));
    EXPECT_EQ(launcher.WaitExit(kBoxWait), 1u);
}

// Ending the relayed process from outside is nobody answering, whatever its
// exit code: 1 as Task Manager and taskkill give, or a button's code.
TEST(RelayEnds, FromOutsideIsNobodyAnswering) {
    for (UINT kill_code : {1u, static_cast<UINT>(IDYES), 32000u}) {
        SCOPED_TRACE(kill_code);
        e2e::Sandbox dir(L"relay_outside");
        TestDir::Write(dir.wli(), "[Prms]\r\n[Evts]\r\nRLY=\r\n");
        const std::wstring text = L"Relay ended from outside " + std::to_wstring(kill_code);
        Process launcher;
        ASSERT_TRUE(e2e::StartUnseen(launcher, dir / L"asker.pid",
                                     L"\"" + dir.exe() + L"\" \"" + text + L"\" \"Relayed\" \"YesNo|ReportTimeout\" 60"));
        HWND box = e2e::FindBoxWithText(text, kBoxWait);
        ASSERT_NE(box, nullptr) << "the launcher " << launcher.State();
        kt::unique_handle relayed(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, OwnerPid(box)));
        ASSERT_TRUE(relayed);
        ASSERT_TRUE(TerminateProcess(relayed.get(), kill_code));
        EXPECT_EQ(launcher.WaitExit(kBoxWait), 32000u);
        std::vector<e2e::Line> lines = e2e::ParseLog(TestDir::Read(dir.log()));
        bool without = false;
        for (const e2e::Line& l : lines)
            without |= l.text.find(L" ended with " + std::to_wstring(kill_code) + L" (") != std::wstring::npos &&
                       l.text.find(L"without an answer") != std::wstring::npos;
        EXPECT_TRUE(without);
        EXPECT_TRUE(e2e::Contains(lines, L"nobody answered: 32000"));
    }
}

// A relayed run that hangs (its threads suspended) holds the asker no longer
// than its countdown plus 30 s; then it is ended, and its box with it.
TEST(RelayEnds, AHungRunWithinItsCountdownAndHalfAMinute) {
    e2e::Sandbox dir(L"relay_hung");
    const std::wstring text = L"Relay hung";
    Process launcher;
    DWORD start = GetTickCount();
    ASSERT_TRUE(e2e::StartUnseen(launcher, dir / L"asker.pid",
                                 L"\"" + dir.exe() + L"\" \"" + text + L"\" \"Relayed\" \"YesNo|DefButton2\" 2"));
    HWND box = e2e::FindBoxWithText(text, kBoxWait);
    ASSERT_NE(box, nullptr) << "the launcher " << launcher.State();
    const DWORD relayed = OwnerPid(box);
    kt::unique_handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 t{};
    t.dwSize = sizeof t;
    int suspended = 0;
    for (BOOL more = Thread32First(snapshot.get(), &t); more; more = Thread32Next(snapshot.get(), &t)) {
        if (t.th32OwnerProcessID != relayed) continue;
        kt::unique_handle thread(OpenThread(THREAD_SUSPEND_RESUME, FALSE, t.th32ThreadID));
        if (thread && SuspendThread(thread.get()) != static_cast<DWORD>(-1)) ++suspended;
    }
    ASSERT_GT(suspended, 0);
    EXPECT_EQ(launcher.WaitExit(2000 + 30000 + 15000), test::Code(IDNO));
    EXPECT_LT(GetTickCount() - start, 2000 + 30000 + 15000u);
    EXPECT_FALSE(IsWindow(box)) << "the hung run's box stayed";
}

struct AtOnceCase {
    const char* name;
    const wchar_t* exe;
    const wchar_t* args;
    DWORD code;
    const char* err;  // velmoc's error line, followed by the help; null: nothing on stderr
};

void PrintTo(const AtOnceCase& c, std::ostream* os) { *os << c.name; }

class NobodyAnswers : public ::testing::TestWithParam<AtOnceCase> {};

// No box anywhere, and the job goes on at once: a bad command line.
TEST_P(NobodyAnswers, AtOnceWithoutABox) {
    const AtOnceCase& c = GetParam();
    TestDir dir(L"relay_nobody");
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    kt::unique_handle err(CreateFileW((dir / L"err.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                      CREATE_ALWAYS, 0, nullptr));
    Process launcher;
    DWORD start = GetTickCount();
    ASSERT_TRUE(e2e::StartUnseen(launcher, dir / L"asker.pid", L"\"" + e2e::ExeDir() + L"\\" + c.exe + L"\" " + c.args,
                                 err.get()));
    err.reset();
    // A box where nobody sees it (help or question) would hold the run until
    // a countdown of 30 s or more, or for ever: the time tells that none was
    // shown.
    EXPECT_EQ(launcher.WaitExit(kBoxWait), c.code);
    DWORD took = GetTickCount() - start;
    EXPECT_LT(took, 5000u) << "not at once";
    // velmoc's error and help, in this (English) run's console code page;
    // nothing from velmo.exe.
    std::string want;
    if (c.err) {
        want = c.err;
        for (wchar_t ch : EnglishHelp()) want += ch == L'\n' ? std::string("\r\n") : std::string(1, static_cast<char>(ch));
    }
    EXPECT_EQ(TestDir::Read(dir / L"err.txt"), want);
}

INSTANTIATE_TEST_SUITE_P(
    Table, NobodyAnswers,
    ::testing::Values(
        AtOnceCase{"no_arguments", L"velmo.exe", L"", ERROR_INVALID_PARAMETER, nullptr},
        AtOnceCase{"bad_word_with_timeout", L"velmo.exe", L"\"Nobody sees this\" \"c\" \"Bogus\" 30",
                   ERROR_INVALID_PARAMETER, nullptr},
        AtOnceCase{"console_no_arguments", L"velmoc.exe", L"", ERROR_INVALID_PARAMETER, "ERROR: no arguments\r\n"},
        AtOnceCase{"console_bad_word_with_timeout", L"velmoc.exe", L"\"Nobody sees this\" \"c\" \"Bogus\" 30",
                   ERROR_INVALID_PARAMETER, "ERROR: unknown option 'Bogus'\r\n"},
        AtOnceCase{"console_bad_session", L"velmoc.exe", L"\"Nobody sees this\" \"c\" \"YesNo|Session=Remote\" 30",
                   ERROR_INVALID_PARAMETER, "ERROR: not All or Console 'Session=Remote'\r\n"},
        AtOnceCase{"missing_texts_file", L"velmo.exe", L"\"\" \"\" \"YesNo|Texts=no-such-texts.txt\" 30",
                   ERROR_INVALID_PARAMETER, nullptr},
        // Nothing but an asker's channel makes a run relayed.
        AtOnceCase{"relayed_word_without_a_channel", L"velmo.exe", L"-relayed:4", ERROR_INVALID_PARAMETER, nullptr},
        AtOnceCase{"console_relayed_word_without_a_channel", L"velmoc.exe", L"-relayed:4", ERROR_INVALID_PARAMETER,
                   nullptr}),
    [](const ::testing::TestParamInfo<AtOnceCase>& i) { return std::string(i.param.name); });

// The relay cannot be made (here: WTSAPI32.dll disabled for this copy of
// velmo): nobody answers, at once, without a box.
TEST(RelayFails, NobodyAnswersAtOnce) {
    TestDir dir(L"relay_fails");
    const std::wstring exe = dir / L"velmo_no_wtsapi.exe";
    ASSERT_TRUE(CopyFileW(e2e::VelmoPath().c_str(), exe.c_str(), FALSE));
    TestDir::Write(dir / L"velmo_no_wtsapi.wli", "[Prms]\r\n[Evts]\r\nRLY=\r\nA..=\r\n");
    e2e::DllOverride disabled({L"velmo_no_wtsapi.exe"}, {L"wtsapi32"}, L"");
    Process launcher;
    DWORD start = GetTickCount();
    ASSERT_TRUE(e2e::StartUnseen(launcher, dir / L"asker.pid",
                                 L"\"" + exe + L"\" \"Nobody sees this\" \"c\" \"YesNo|DefButton2\" 60"));
    EXPECT_EQ(launcher.WaitExit(kBoxWait), test::Code(IDNO));
    // A box where nobody sees it would hold the run: the time tells.
    EXPECT_LT(GetTickCount() - start, 5000u) << "not at once";
    std::vector<e2e::Line> lines = e2e::ParseLog(TestDir::Read(dir / L"velmo_no_wtsapi.log"));
    bool cannot = false;
    for (const e2e::Line& l : lines) cannot |= l.text.compare(0, 14, L"cannot relay: ") == 0;
    EXPECT_TRUE(cannot);
    EXPECT_TRUE(e2e::Contains(lines, L"nobody answered: 7"));
    EXPECT_TRUE(e2e::Contains(lines, L"velmo end(7)"));
}

// A DLL that velmo loads only to relay, dropped beside it, is never loaded:
// run as SYSTEM from a folder that users can write to, it would give them
// SYSTEM's rights.
TEST(RelayPlanting, Wtsapi32AndUserenvBesideTheExeAreNeverLoaded) {
    e2e::PlantedDir dir(L"relay_planted", {L"wtsapi32", L"userenv"}, L"relay_control.exe");
    ASSERT_TRUE(dir.ControlTakesThem()) << "the control loaded no planted DLL";
    for (const std::wstring& exe : dir.Twins()) {
        SCOPED_TRACE(test::Narrow(exe));
        const std::wstring text = L"Relay planted " + exe.substr(exe.rfind(L'\\') + 1);
        Process launcher;
        ASSERT_TRUE(e2e::StartUnseen(launcher, dir / L"asker.pid",
                                     L"\"" + exe + L"\" \"" + text + L"\" \"Relayed\" \"YesNo\" 30"));
        HWND box = e2e::FindBoxWithText(text, kBoxWait);
        ASSERT_NE(box, nullptr) << "not relayed";
        e2e::Click(box, IDNO);
        EXPECT_EQ(launcher.WaitExit(kBoxWait), test::Code(IDNO));
        EXPECT_FALSE(dir.Loaded()) << "a planted DLL was loaded";
    }
}

// A copy left by an asker that was killed is removed by the next relay:
// velmo's own folders in the copies' folder, by their name, whose asker has
// ended. What others plant there under such names (a folder of another
// owner, a link to a folder, a copy whose exe is a link to a file) is left,
// and what a link points to untouched; nothing in the temp folder itself is
// swept, where users may add folders.
TEST(RelayCopies, OnlyStaleCopiesGoAndNothingBehindALink) {
    if (!NotLocked().empty()) GTEST_SKIP() << NotLocked();
    CreateDirectoryW(Copies().c_str(), nullptr);
    TestDir victim(L"relay_victim");
    TestDir::Write(victim / L"velmo.exe", "victim's");
    TestDir::Write(victim / L"notes.txt", "victim's");
    auto stale_name = [](wchar_t n) {
        return L"velmo-relay-7FFFFFF" + std::wstring(1, n) + L"-0123456789ABCDEF0123456789ABCDEF";
    };
    const std::wstring stale = Copies() + stale_name(L'0'), other = Copies() + L"velmo-relay-not-ours",
                       folder_link = Copies() + stale_name(L'1'), file_link = Copies() + stale_name(L'2'),
                       foreign = Copies() + stale_name(L'3'), in_temp = Temp() + stale_name(L'4');
    for (const std::wstring& d : {stale, other, foreign}) {
        CreateDirectoryW(d.c_str(), nullptr);
        TestDir::Write(d + L"\\velmo.exe", "MZ");
    }
    for (const std::wstring& d : {file_link, in_temp}) CreateDirectoryW(d.c_str(), nullptr);
    auto cleanup = kt::scope_exit([&] {
        for (const std::wstring& d : {stale, other, folder_link, file_link, foreign, in_temp}) test::RemoveUnix(d);
    });
    ASSERT_TRUE(test::UnixLink(victim.path(), folder_link));
    ASSERT_TRUE(test::UnixLink(victim / L"velmo.exe", file_link + L"\\velmo.exe"));
    ASSERT_TRUE(test::UnixLink(victim / L"notes.txt", in_temp + L"\\velmo.exe"));
    ASSERT_TRUE(test::GiveToNobody(foreign)) << "no folder of another owner";

    // From a locked exe: the relay makes a copy beside them.
    const std::wstring log_file = LockedDir() + L"\\velmo.log", wli = LockedDir() + L"\\velmo.wli";
    DeleteFileW(log_file.c_str());
    TestDir::Write(wli, "[Prms]\r\n[Evts]\r\nRLY=\r\n");
    auto unlog = kt::scope_exit([&] {
        DeleteFileW(wli.c_str());
        DeleteFileW(log_file.c_str());
    });
    TestDir dir(L"relay_stale");
    Process launcher;
    ASSERT_TRUE(e2e::StartUnseen(launcher, dir / L"asker.pid",
                                 L"\"" + LockedDir() + L"\\velmo.exe\" \"Relay stale\" \"Relayed\" \"YesNo|DefButton2\" 1"));
    EXPECT_EQ(launcher.WaitExit(kBoxWait), test::Code(IDNO));
    std::vector<e2e::Line> lines = e2e::ParseLog(TestDir::Read(log_file));
    EXPECT_TRUE(e2e::HasLineStarting(lines, L"private copy made: " + Copies() + L"velmo-relay-"));
    EXPECT_EQ(GetFileAttributesW(stale.c_str()), INVALID_FILE_ATTRIBUTES) << "the stale copy stayed";
    EXPECT_TRUE(e2e::Contains(lines, L"removed a stale copy: " + stale));
    for (const std::wstring& kept : {other, folder_link, file_link, foreign, in_temp}) {
        EXPECT_NE(GetFileAttributesW((kept + L"\\velmo.exe").c_str()), INVALID_FILE_ATTRIBUTES) << test::Narrow(kept);
        EXPECT_FALSE(e2e::Contains(lines, L"removed a stale copy: " + kept)) << test::Narrow(kept);
    }
    EXPECT_EQ(TestDir::Read(victim / L"velmo.exe"), "victim's") << "a file behind a link was deleted";
    EXPECT_EQ(TestDir::Read(victim / L"notes.txt"), "victim's") << "a file behind a link was deleted";
}

// A relayed box from a texts file that the person may not read, named
// relative to the asker's folder (the relayed run is a private copy in
// another folder): the asker reads it and hands its content over, and the
// box is in the person's language (this test runs as e2e_relay and, in
// Russian, e2e_relay_ru).
TEST(RelayTexts, FromAFileThePersonMayNotReadInTheirLanguage) {
    if (!NotLocked().empty()) GTEST_SKIP() << NotLocked();
    const RestartWords& want = RestartWordsForTheRun();
    TestDir dir(L"relay_texts");
    wchar_t here[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, here);
    Process launcher;
    {
        ASSERT_TRUE(SetCurrentDirectoryW(LockedDir().c_str()));
        auto back = kt::scope_exit([&] { SetCurrentDirectoryW(here); });
        ASSERT_TRUE(e2e::StartUnseen(launcher, dir / L"asker.pid",
                                     L"\"" + LockedDir() +
                                         L"\\velmo.exe\" \"\" \"\" \"Question|YesNo|DefButton2|Texts=restart.txt\" 30"));
    }
    HWND box = e2e::FindBoxWithText(want.text, kBoxWait);
    ASSERT_NE(box, nullptr) << "no relayed box in this language; the launcher " << launcher.State();
    const std::wstring image = ImagePath(OwnerPid(box));
    EXPECT_TRUE(IsCopy(image)) << test::Narrow(image);
    EXPECT_TRUE(ShowsRestartWords(box, true));
    e2e::Click(box, IDNO);
    EXPECT_EQ(launcher.WaitExit(kBoxWait), test::Code(IDNO));
}

struct MessageCase {
    const char* name;
    const wchar_t* exe;      // velmo_wts.exe or velmoc_wts.exe
    const wchar_t* flags;
    const wchar_t* timeout;  // empty: none
    const wchar_t* answer;   // the double's response, or "fail"
    const char* style;       // what the double was given
    const char* message_timeout;
    DWORD code;
    const char* out;         // velmoc's stdout
};

void PrintTo(const MessageCase& c, std::ostream* os) { *os << c.name; }

class SessionMessage : public ::testing::TestWithParam<MessageCase> {};

// Where no program may start for the user (a locked exe, and no temp folder
// for a copy), the session's own message box asks: with the box's text,
// caption, set, icon and default, and the countdown as its timeout.
TEST_P(SessionMessage, AsksWhereNoProgramMayStart) {
    const MessageCase& c = GetParam();
    if (!NotLocked().empty()) GTEST_SKIP() << NotLocked();
    e2e::WtsDouble double_dll;
    ASSERT_TRUE(double_dll.installed()) << "cannot put the double in the system folder: " << GetLastError();
    TestDir dir(L"relay_message");
    const std::wstring exe = LockedDir() + L"\\" + c.exe;
    std::wstring stem(c.exe, wcslen(c.exe) - 4);
    const std::wstring log_file = LockedDir() + L"\\" + stem + L".log";
    DeleteFileW(log_file.c_str());
    TestDir::Write(LockedDir() + L"\\" + stem + L".wli", "[Prms]\r\n[Evts]\r\nRLY=\r\nA..=\r\n");
    auto unlog = kt::scope_exit([&] {
        DeleteFileW((LockedDir() + L"\\" + stem + L".wli").c_str());
        DeleteFileW(log_file.c_str());
    });
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    kt::unique_handle out(CreateFileW((dir / L"out.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                      CREATE_ALWAYS, 0, nullptr));
    std::wstring command = L"\"" + exe + L"\" \"Restart now?\\nSaved work stays.\" \"IT department\" \"" + c.flags + L"\"";
    if (*c.timeout) command += std::wstring(L" ") + c.timeout;
    Process launcher;
    DWORD start = GetTickCount();
    {
        // The asker's: a temp folder that does not exist, so no copy can be made.
        test::EnvScope env({{L"TMP", dir / L"no-temp"}, {L"TEMP", dir / L"no-temp"},
                      {L"VELMO_WTS_RECORD", dir / L"record.txt"}, {L"VELMO_WTS_ANSWER", c.answer}});
        ASSERT_TRUE(e2e::StartUnseen(launcher, dir / L"asker.pid", command, out.get()));
    }
    out.reset();
    EXPECT_EQ(launcher.WaitExit(kBoxWait), c.code);
    EXPECT_LT(GetTickCount() - start, 10000u) << "the double answers at once";
    std::string want = std::string("server=current session=1 title_bytes=26 text_bytes=60 style=") + c.style +
                       " timeout=" + c.message_timeout + " wait=1\ntitle=IT department\ntext=Restart now?\nSaved work stays.\n";
    EXPECT_EQ(TestDir::Read(dir / L"record.txt"), want);
    if (*c.out) {
        EXPECT_EQ(TestDir::Read(dir / L"out.txt"), c.out);
    }
    std::vector<e2e::Line> lines = e2e::ParseLog(TestDir::Read(log_file));
    EXPECT_TRUE(e2e::HasLineStarting(lines, L"no private copy in "));
    EXPECT_TRUE(e2e::Contains(lines, L"asking through the session's message box of session 1"));
    bool failed = std::wstring(c.answer) == L"fail";
    EXPECT_EQ(e2e::HasLineStarting(lines, L"WTSSendMessageW failed for session 1: "), failed);
    EXPECT_EQ(e2e::HasLineStarting(lines, L"the session's message box answered "), !failed);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SessionMessage,
    ::testing::Values(
        MessageCase{"yes", L"velmo_wts.exe", L"Question|YesNo|DefButton2", L"60", L"6", "0x50124", "60", IDYES, ""},
        MessageCase{"timeout_is_the_default", L"velmo_wts.exe", L"Question|YesNo|DefButton2", L"60", L"32000",
                    "0x50124", "60", IDNO, ""},
        MessageCase{"timeout_reported", L"velmo_wts.exe", L"YesNo|ReportTimeout", L"30", L"32000", "0x50004", "30",
                    32000, ""},
        MessageCase{"no_countdown_waits", L"velmo_wts.exe", L"OkCancel|Warning", L"", L"2", "0x50031", "0", IDCANCEL,
                    ""},
        // Labels and Guard are not the session box's: it keeps its own words.
        MessageCase{"labels_left_aside", L"velmo_wts.exe", L"YesNo|Guard|Button1=&Restart", L"20", L"6", "0x50004",
                    "20", IDYES, ""},
        MessageCase{"not_a_button_of_the_set", L"velmo_wts.exe", L"OkCancel", L"", L"6", "0x50001", "0", 32000, ""},
        MessageCase{"fails", L"velmo_wts.exe", L"YesNo|DefButton2", L"60", L"fail", "0x50104", "60", IDNO, ""},
        MessageCase{"console_twin", L"velmoc_wts.exe", L"CancelTryContinue|DefButton3", L"45", L"32000", "0x50206",
                    "45", IDCONTINUE, "Continue\r\n"}),
    [](const ::testing::TestParamInfo<MessageCase>& i) { return std::string(i.param.name); });

// The session's box with a texts file: the words of the asked person's
// language (their profile names none under Wine: the system's, as the
// run's locale sets it).
TEST(SessionMessage, TakesTheWordsOfThePersonsLanguage) {
    if (!NotLocked().empty()) GTEST_SKIP() << NotLocked();
    e2e::WtsDouble double_dll;
    ASSERT_TRUE(double_dll.installed()) << "cannot put the double in the system folder: " << GetLastError();
    const RestartWords& want = RestartWordsForTheRun();
    TestDir dir(L"relay_message_texts");
    Process launcher;
    {
        test::EnvScope env({{L"TMP", dir / L"no-temp"}, {L"TEMP", dir / L"no-temp"},
                      {L"VELMO_WTS_RECORD", dir / L"record.txt"}, {L"VELMO_WTS_ANSWER", L"7"}});
        ASSERT_TRUE(e2e::StartUnseen(launcher, dir / L"asker.pid",
                                     L"\"" + LockedDir() + L"\\velmo_wts.exe\" \"\" \"\" \"YesNo|Texts=" + LockedDir() +
                                         L"\\restart.txt\" 30"));
    }
    EXPECT_EQ(launcher.WaitExit(kBoxWait), test::Code(IDNO));
    std::string record = TestDir::Read(dir / L"record.txt");
    EXPECT_NE(e2e::FromUtf8(record).find(std::wstring(L"\ntitle=") + want.caption + L"\ntext=" + want.text + L"\n"),
              std::wstring::npos)
        << record;
}

// Several sessions, through the WTSAPI32 double: velmo_wts.exe where the
// user may run it, with its log; every relayed box appears on Wine's one
// display.
class SessionsRun {
public:
    explicit SessionsRun(const wchar_t* name, const std::wstring& exe_name = L"velmo_wts.exe",
                         const wchar_t* version = L"win10")
        : double_(version), dir_(name), exe_(dir_ / exe_name) {
        CopyFileW((e2e::ExeDir() + L"\\" + (exe_name == L"velmoc_wts.exe" ? L"velmoc.exe" : L"velmo.exe")).c_str(),
                  exe_.c_str(), FALSE);
        stem_ = exe_name.substr(0, exe_name.size() - 4);
        // Each line written at once: the test reads the log while the asker runs.
        TestDir::Write(dir_ / (stem_ + L".wli"), "[Prms]\r\nFlshLns=1\r\n[Evts]\r\nRLY=\r\nA..=\r\nDFR=\r\nRUN=\r\n");
    }
    // Starts the asker where no display shows it, with the double's sessions.
    ::testing::AssertionResult Start(const std::wstring& sessions, const std::wstring& args,
                                     const std::wstring& answer = L"") {
        if (!double_.installed()) return ::testing::AssertionFailure() << "the double is not in the system folder";
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        kt::unique_handle out(CreateFileW((dir_ / L"out.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                          CREATE_ALWAYS, 0, nullptr));
        test::EnvScope env({{L"VELMO_WTS_SESSIONS", sessions}, {L"VELMO_WTS_ANSWER", answer},
                            {L"VELMO_WTS_RECORD", dir_ / L"record.txt"},
                            {L"VELMO_WTS_SESSIONS_FILE", following_ ? dir_ / L"sessions.txt" : L""},
                            {L"VELMO_WTS_NOTIFY", notify_ ? L"" : L"0"}});
        start_ = GetTickCount();
        return e2e::StartUnseen(launcher_, dir_ / L"asker.pid", L"\"" + exe_ + L"\" " + args, out.get());
    }
    // The sessions from a file that the test changes while the asker runs;
    // notify: the double tells of each change (else velmo reads them again
    // by itself, as under Wine's own WTSAPI32).
    ::testing::AssertionResult StartFollowing(const std::string& sessions, const std::wstring& args, bool notify = true) {
        following_ = true;
        notify_ = notify;
        SetSessions(sessions);
        return Start(L"", args);
    }
    // Replaced at once, never seen half written.
    void SetSessions(const std::string& sessions) {
        TestDir::Write(dir_ / L"sessions.new", sessions);
        MoveFileExW((dir_ / L"sessions.new").c_str(), (dir_ / L"sessions.txt").c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    DWORD Wait(DWORD ms = kBoxWait) { return launcher_.WaitExit(ms); }
    DWORD Took() const { return GetTickCount() - start_; }
    std::vector<e2e::Line> Log() const { return e2e::ParseLog(TestDir::Read(dir_ / (stem_ + L".log"))); }
    std::string LogBytes() const { return TestDir::Read(dir_ / (stem_ + L".log")); }
    std::string Out() const { return TestDir::Read(dir_ / L"out.txt"); }
    std::string Record() const { return TestDir::Read(dir_ / L"record.txt"); }
    Process& launcher() { return launcher_; }
    const TestDir& dir() const { return dir_; }
    // The session whose relayed process owns w, from the asker's log; 0
    // when none.
    DWORD SessionOf(HWND w) const {
        wchar_t pid[32];
        swprintf(pid, 32, L"PID=%04X of session ", static_cast<unsigned>(OwnerPid(w)));
        DWORD session = 0;
        // The relayed runs write to the same file: it may be held a moment.
        test::Eventually([&] {
            std::string bytes = TestDir::Read(dir_ / (stem_ + L".log"));
            for (const e2e::Line& l : bytes == "<missing>" ? std::vector<e2e::Line>() : e2e::ParseLog(bytes)) {
                size_t at = l.text.find(pid);
                if (l.text.compare(0, 17, L"relayed process P") == 0 && at != std::wstring::npos)
                    session = wcstoul(l.text.c_str() + at + wcslen(pid), nullptr, 10);
            }
            return session != 0;
        });
        return session;
    }

private:
    e2e::WtsDouble double_;
    TestDir dir_;
    std::wstring exe_, stem_;
    Process launcher_;
    DWORD start_ = 0;
    bool following_ = false, notify_ = true;
};

using e2e::Count;

// Three active sessions and a disconnected one: three boxes at once; one
// person's click ends the other two, and is the answer.
TEST(RelaySessions, EveryActiveSessionAtOnceAndTheFirstAnswerWins) {
    SessionsRun run(L"sessions_three");
    const std::wstring text = L"Relay sessions three";
    ASSERT_TRUE(run.Start(L"1:active:WINE\\ann:unlocked;2:active:WINE\\bob:locked;3:active:WINE\\cyd:-;"
                          L"4:disconnected:WINE\\dan:-",
                          L"\"" + text + L"\" Relayed \"Question|YesNo\" 30"));
    std::vector<HWND> boxes = e2e::FindBoxesWithText(text, 3, kBoxWait);
    ASSERT_EQ(boxes.size(), 3u) << "the launcher " << run.launcher().State();
    EXPECT_EQ(e2e::FindBoxesWithText(text, 4, 1000).size(), 3u) << "a disconnected session was asked";
    const DWORD answering = run.SessionOf(boxes[1]);
    e2e::Click(boxes[1], IDNO);
    for (HWND other : {boxes[0], boxes[2]}) EXPECT_TRUE(e2e::GoneWithin(other, 1000)) << "another box stayed";
    EXPECT_EQ(run.Wait(), test::Code(IDNO));
    std::vector<e2e::Line> lines = run.Log();
    EXPECT_TRUE(e2e::Contains(lines, L"asking session 1, user WINE\\ann (active, unlocked)"));
    EXPECT_TRUE(e2e::Contains(lines, L"asking session 2, user WINE\\bob (active, locked)"));
    EXPECT_TRUE(e2e::Contains(lines, L"asking session 3, user WINE\\cyd (active, lock not known)"));
    EXPECT_FALSE(e2e::HasLineStarting(lines, L"asking session 4"));
    const wchar_t* names[] = {L"", L"ann", L"bob", L"cyd"};
    ASSERT_TRUE(answering >= 1 && answering <= 3) << answering;
    EXPECT_TRUE(e2e::Contains(lines, L"session " + std::to_wstring(answering) + L" (WINE\\" + names[answering] +
                                         L") answered 7 first, asked in place"));
    EXPECT_EQ(Count(lines, L"ended the relayed process PID="), 2u);
    EXPECT_FALSE(e2e::HasLineStarting(lines, L"nobody answered"));
}

struct NobodyCase {
    const char* name;
    const wchar_t* exe;
    const wchar_t* flags;
    DWORD code;
    const char* out;  // velmoc's word
};

void PrintTo(const NobodyCase& c, std::ostream* os) { *os << c.name; }

class RelaySessionsNobody : public ::testing::TestWithParam<NobodyCase> {};

// Two sessions and nobody answers: each countdown's click is nobody's
// answer; once both boxes have ended, the countdown's answer, once.
TEST_P(RelaySessionsNobody, TheCountdownsAnswerOnce) {
    const NobodyCase& c = GetParam();
    SessionsRun run(L"sessions_nobody", c.exe);
    const std::wstring text = L"Relay sessions nobody " + std::wstring(c.exe);
    ASSERT_TRUE(run.Start(L"1:active:WINE\\ann:-;2:active:WINE\\bob:-", L"\"" + text + L"\" Relayed \"" + c.flags + L"\" 2"));
    std::vector<HWND> boxes = e2e::FindBoxesWithText(text, 2, kBoxWait);
    ASSERT_EQ(boxes.size(), 2u) << "the launcher " << run.launcher().State();
    EXPECT_EQ(run.Wait(), c.code);
    for (HWND box : boxes) EXPECT_FALSE(IsWindow(box)) << "a box stayed";
    std::vector<e2e::Line> lines = run.Log();
    EXPECT_EQ(Count(lines, L"relayed process PID="), 4u) << "two started, two ended";
    EXPECT_EQ(Count(lines, L"answer 7 of the countdown reported to the asker") +
                  Count(lines, L"answer 32000 of the countdown reported to the asker"),
              2u)
        << "the relayed runs' own lines";
    size_t countdowns = 0;
    for (const e2e::Line& l : lines)
        countdowns += l.text.compare(0, 17, L"relayed process P") == 0 && l.text.find(L" of the countdown") != std::wstring::npos;
    EXPECT_EQ(countdowns, 2u);
    EXPECT_EQ(Count(lines, L"nobody answered: "), 1u);
    EXPECT_TRUE(e2e::Contains(lines, L"nobody answered: " + std::to_wstring(c.code)));
    EXPECT_EQ(run.Out(), c.out);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RelaySessionsNobody,
    ::testing::Values(NobodyCase{"default", L"velmo_wts.exe", L"YesNo|DefButton2", IDNO, ""},
                      NobodyCase{"report_timeout", L"velmo_wts.exe", L"YesNo|DefButton2|ReportTimeout", 32000, ""},
                      NobodyCase{"console_twin", L"velmoc_wts.exe", L"YesNo|DefButton2", IDNO, "No\r\n"}),
    [](const ::testing::TestParamInfo<NobodyCase>& i) { return std::string(i.param.name); });

// One of two relayed runs ended from outside (with a button's code): the
// other still asks, and its answer counts.
TEST(RelaySessions, ARunEndedFromOutsideDropsOut) {
    SessionsRun run(L"sessions_outside");
    const std::wstring text = L"Relay sessions outside";
    ASSERT_TRUE(run.Start(L"1:active:WINE\\ann:-;2:active:WINE\\bob:-", L"\"" + text + L"\" Relayed \"YesNo\" 30"));
    std::vector<HWND> boxes = e2e::FindBoxesWithText(text, 2, kBoxWait);
    ASSERT_EQ(boxes.size(), 2u) << "the launcher " << run.launcher().State();
    kt::unique_handle killed(OpenProcess(PROCESS_TERMINATE, FALSE, OwnerPid(boxes[0])));
    ASSERT_TRUE(killed && TerminateProcess(killed.get(), IDYES));
    EXPECT_TRUE(e2e::GoneWithin(boxes[0], 5000));
    Sleep(500);
    ASSERT_TRUE(IsWindow(boxes[1])) << "the other box went too";
    EXPECT_TRUE(run.launcher().Running());
    const DWORD answering = run.SessionOf(boxes[1]);
    e2e::Click(boxes[1], IDNO);
    EXPECT_EQ(run.Wait(), test::Code(IDNO));
    std::vector<e2e::Line> lines = run.Log();
    bool without = false;
    for (const e2e::Line& l : lines) without |= l.text.find(L" ended with 6 (0x00000006) without an answer") != std::wstring::npos;
    EXPECT_TRUE(without);
    EXPECT_EQ(Count(lines, L"session " + std::to_wstring(answering) + L" (WINE\\"), 1u);
}

// The lock flags as Windows gives them: reversed on Windows 7 and Server
// 2008 R2, as documented (Wine gives each version's number as told).
TEST(RelaySessions, TheLockAsEachWindowsMeansIt) {
    for (const wchar_t* version : {L"win10", L"win7"}) {
        SCOPED_TRACE(test::Narrow(version));
        SessionsRun run(L"sessions_lock", L"velmo_wts.exe", version);
        ASSERT_TRUE(run.Start(L"1:active:WINE\\ann:locked;2:active:WINE\\bob:unlocked",
                              L"\"Relay sessions lock\" Relayed \"YesNo|DefButton2\" 1"));
        EXPECT_EQ(run.Wait(), test::Code(IDNO));
        const bool seven = std::wstring(version) == L"win7";
        std::vector<e2e::Line> lines = run.Log();
        EXPECT_TRUE(e2e::Contains(lines, std::wstring(L"asking session 1, user WINE\\ann (active, ") +
                                             (seven ? L"unlocked)" : L"locked)")));
        EXPECT_TRUE(e2e::Contains(lines, std::wstring(L"asking session 2, user WINE\\bob (active, ") +
                                             (seven ? L"locked)" : L"unlocked)")));
    }
}

// Nobody active with a user: nobody is asked, at once, without a box.
TEST(RelaySessions, NobodyActiveNobodyAsked) {
    for (const wchar_t* sessions : {L"1:disconnected:WINE\\ann:-", L"2:disconnected:WINE\\dan:-;3:idle:WINE\\eve:-",
                                    L"1:active::-;65536:listening::-"}) {
        SCOPED_TRACE(test::Narrow(sessions));
        SessionsRun run(L"sessions_none");
        ASSERT_TRUE(run.Start(sessions, L"\"Nobody sees this\" Relayed \"YesNo|DefButton2\" 60"));
        EXPECT_EQ(run.Wait(), test::Code(IDNO));
        EXPECT_LT(run.Took(), 5000u) << "not at once";
        std::vector<e2e::Line> lines = run.Log();
        EXPECT_TRUE(e2e::HasLineStarting(lines, L"nobody to ask: nobody is logged on in an active session"));
        EXPECT_FALSE(e2e::HasLineStarting(lines, L"asking session"));
    }
}

// Session=Console: the console's user alone, the remote ones not.
TEST(RelaySessions, ConsoleOnly) {
    SessionsRun run(L"sessions_console");
    const std::wstring text = L"Relay sessions console";
    ASSERT_TRUE(run.Start(L"1:active:WINE\\ann:-;2:active:WINE\\bob:-;3:active:WINE\\cyd:-",
                          L"\"" + text + L"\" Relayed \"YesNo|Session=Console\" 30"));
    std::vector<HWND> boxes = e2e::FindBoxesWithText(text, 2, 5000);
    ASSERT_EQ(boxes.size(), 1u) << "the launcher " << run.launcher().State();
    EXPECT_EQ(run.SessionOf(boxes[0]), 1u);
    e2e::Click(boxes[0], IDYES);
    EXPECT_EQ(run.Wait(), test::Code(IDYES));
    std::vector<e2e::Line> lines = run.Log();
    EXPECT_EQ(Count(lines, L"asking session "), 1u);
}

// Where the users may not run the exe in place: one private copy that each
// of them may run, removed after the last run.
TEST(RelaySessions, OneCopyForEveryone) {
    if (!NotLocked().empty()) GTEST_SKIP() << NotLocked();
    e2e::WtsDouble double_dll;
    ASSERT_TRUE(double_dll.installed());
    TestDir dir(L"sessions_copy");
    const std::vector<std::wstring> copies_before = CopyFolders();
    const std::wstring text = L"Relay sessions copy";
    Process launcher;
    {
        test::EnvScope env({{L"VELMO_WTS_SESSIONS", L"1:active:WINE\\ann:-;2:active:WINE\\bob:-"}});
        ASSERT_TRUE(e2e::StartUnseen(launcher, dir / L"asker.pid",
                                     L"\"" + LockedDir() + L"\\velmo_wts.exe\" \"" + text + L"\" Relayed YesNo 30"));
    }
    std::vector<HWND> boxes = e2e::FindBoxesWithText(text, 2, kBoxWait);
    ASSERT_EQ(boxes.size(), 2u) << "the launcher " << launcher.State();
    const std::wstring image = ImagePath(OwnerPid(boxes[0]));
    EXPECT_TRUE(IsCopy(image)) << test::Narrow(image);
    EXPECT_EQ(ImagePath(OwnerPid(boxes[1])), image) << "not one copy";
    e2e::Click(boxes[0], IDYES);
    EXPECT_EQ(launcher.WaitExit(kBoxWait), test::Code(IDYES));
    for (const std::wstring& folder : CopyFolders())
        EXPECT_NE(std::find(copies_before.begin(), copies_before.end(), folder), copies_before.end())
            << "left behind: " << test::Narrow(folder);
}

// 66 active sessions, more than one wait can hold: 66 boxes, and one click
// ends them all.
TEST(RelaySessions, SixtySixSessions) {
    SessionsRun run(L"sessions_66");
    const std::wstring text = L"Relay sessions 66";
    ASSERT_TRUE(run.Start(e2e::ActiveSessions(66), L"\"" + text + L"\" Relayed \"YesNo\" 120"));
    std::vector<HWND> boxes = e2e::FindBoxesWithText(text, 66, 120000);
    ASSERT_EQ(boxes.size(), 66u) << "the launcher " << run.launcher().State();
    e2e::Click(boxes[33], IDYES);
    EXPECT_EQ(run.Wait(60000), test::Code(IDYES));
    for (HWND box : boxes) {
        if (box != boxes[33]) {
            EXPECT_TRUE(e2e::GoneWithin(box, 5000)) << "a box stayed";
        }
    }
    EXPECT_EQ(Count(run.Log(), L"ended the relayed process PID="), 65u);
}

// Where no program may start (a locked exe, no temp folder for a copy):
// the session's message box in every session at once; a timeout is no
// person's answer, the first person's answer wins, and a box that cannot
// be closed stays until its own timeout.
TEST(RelaySessions, TheSessionsMessageBoxesAtOnce) {
    if (!NotLocked().empty()) GTEST_SKIP() << NotLocked();
    e2e::WtsDouble double_dll;
    ASSERT_TRUE(double_dll.installed());
    TestDir dir(L"sessions_message");
    const std::wstring log_file = LockedDir() + L"\\velmo_wts.log", wli = LockedDir() + L"\\velmo_wts.wli";
    DeleteFileW(log_file.c_str());
    TestDir::Write(wli, "[Prms]\r\n[Evts]\r\nRLY=\r\nA..=\r\n");
    auto unlog = kt::scope_exit([&] {
        DeleteFileW(wli.c_str());
        DeleteFileW(log_file.c_str());
    });
    Process launcher;
    DWORD start = GetTickCount();
    {
        test::EnvScope env({{L"TMP", dir / L"no-temp"}, {L"TEMP", dir / L"no-temp"},
                      {L"VELMO_WTS_SESSIONS", L"1:active:WINE\\ann:-;2:active:WINE\\bob:-;3:active:WINE\\cyd:-"},
                      {L"VELMO_WTS_RECORD", dir / L"record.txt"},
                      {L"VELMO_WTS_ANSWER", L"1=32000@100,2=7@600,3=6@4000"}});
        ASSERT_TRUE(e2e::StartUnseen(launcher, dir / L"asker.pid",
                                     L"\"" + LockedDir() + L"\\velmo_wts.exe\" \"Restart?\" IT \"YesNo|DefButton2\" 30"));
    }
    EXPECT_EQ(launcher.WaitExit(kBoxWait), test::Code(IDNO));
    // Asked at once: one after the other they would take 4.7 s.
    EXPECT_LT(GetTickCount() - start, 4000u) << "not at once";
    const std::string record = TestDir::Read(dir / L"record.txt");
    for (const char* session : {"session=1 ", "session=2 ", "session=3 "})
        EXPECT_NE(record.find(session), std::string::npos) << session << record;
    std::vector<e2e::Line> lines = e2e::ParseLog(TestDir::Read(log_file));
    EXPECT_TRUE(e2e::Contains(lines, L"the session's message box answered 32000 in session 1: its timeout"));
    EXPECT_TRUE(e2e::Contains(lines, L"the session's message box answered 7 in session 2"));
    EXPECT_TRUE(e2e::Contains(lines, L"session 2 (WINE\\bob) answered 7 first, asked through the session's message box"));
    EXPECT_TRUE(e2e::Contains(
        lines, L"the session's message box of session 3 stays until its own timeout (another person answered)"));
}

// Deferrals from SYSTEM: the asker keeps the count and tells each relayed
// run what is left; with several sessions the first answer counts once.
TEST(RelayDeferral, TheAskerKeepsTheCount) {
    e2e::DeferralKey key(L"relay");
    for (int sessions : {1, 2}) {
        SCOPED_TRACE(sessions);
        SessionsRun run(L"relay_deferral");
        const std::wstring text = L"Relay deferral " + std::to_wstring(sessions);
        ASSERT_TRUE(run.Start(e2e::ActiveSessions(sessions),
                              L"\"" + text + L"\" Relayed \"YesNo|Button2=Later ({left})|Defer=" + key.name() + L":3\" 30"));
        std::vector<HWND> boxes = e2e::FindBoxesWithText(text, static_cast<size_t>(sessions), kBoxWait);
        ASSERT_EQ(boxes.size(), static_cast<size_t>(sessions)) << "the launcher " << run.launcher().State();
        const int before = 3 - (sessions - 1);
        for (HWND box : boxes)
            EXPECT_EQ(e2e::ButtonTexts(box), (std::vector<std::wstring>{L"&Yes", L"Later (" + std::to_wstring(before) + L")"}));
        e2e::Click(boxes[0], IDNO);
        EXPECT_EQ(run.Wait(), test::Code(IDNO));
        EXPECT_EQ(key.Left(), before - 1) << "not counted once";
        // Only the asker counts; the relayed runs keep no count.
        std::vector<e2e::Line> lines = run.Log();
        wchar_t asker[16];
        swprintf(asker, 16, L"%04X", static_cast<unsigned>(e2e::ReadPid(run.dir() / L"asker.pid")));
        size_t used = 0, taken = 0;
        for (const e2e::Line& l : lines) {
            if (l.category == L"DFR") {
                EXPECT_EQ(l.pid, asker) << "a relayed run keeps a count: " << test::Narrow(l.text);
            }
            used += l.text.compare(0, 18, L"deferral used by W") == 0;
            taken += l.text.compare(0, 19, L"deferral taken for ") == 0;
        }
        EXPECT_EQ(used, 1u);
        EXPECT_EQ(taken, 1u);
    }
}

// Run from SYSTEM: the command runs where velmo runs, unseen, as the
// caller; the notice is relayed to the persons at the screen, and goes
// when the command ends. With nobody to show it to the command runs all
// the same.
TEST(RelayRun, TheCommandRunsUnseenAndTheNoticeIsRelayed) {
    TestDir dir(L"relay_run");
    const std::wstring text = L"Relay run notice";
    Process launcher;
    {
        test::EnvScope env({{L"VELMO_SLEEPER_RECORD", dir / L"record.txt"}});
        ASSERT_TRUE(e2e::StartUnseen(launcher, dir / L"asker.pid",
                                     L"\"" + e2e::VelmoPath() + L"\" \"" + text + L"\" IT \"Information|NoButtons|Run\" 30 \"" +
                                         e2e::ExeDir() + L"\\sleeper.exe\" 3000 7"));
    }
    HWND box = e2e::FindBoxWithText(text, kBoxWait);
    ASSERT_NE(box, nullptr) << "no relayed notice; the launcher " << launcher.State();
    EXPECT_NE(OwnerPid(box), e2e::ReadPid(dir / L"asker.pid")) << "not relayed";
    std::string record;
    ASSERT_TRUE(test::Eventually([&] {
        record = TestDir::Read(dir / L"record.txt");
        return record != "<missing>" && record.find("\n", record.find("\n") + 1) != std::string::npos;
    }));
    EXPECT_NE(record.find("\nunseen\n"), std::string::npos) << "the command ran on the display: " << record;
    kt::unique_handle command(OpenProcess(SYNCHRONIZE, FALSE, strtoul(record.substr(record.find('\n') + 1).c_str(), nullptr, 10)));
    ASSERT_TRUE(command);
    ASSERT_EQ(WaitForSingleObject(command.get(), kBoxWait), WAIT_OBJECT_0);
    EXPECT_TRUE(e2e::GoneWithin(box, 1000)) << "the relayed notice stayed";
    EXPECT_EQ(launcher.WaitExit(kBoxWait), 7u);
}

TEST(RelayRun, NobodyToShowItToTheCommandRunsAllTheSame) {
    SessionsRun run(L"relay_run_nobody");
    const std::wstring sleeper = L"\"" + e2e::ExeDir() + L"\\sleeper.exe\" 500 3010";
    ASSERT_TRUE(run.Start(L"2:disconnected:WINE\\dan:-", L"\"Nobody sees this\" IT \"NoButtons|Run\" 30 " + sleeper));
    EXPECT_EQ(run.Wait(), 3010u);
    std::vector<e2e::Line> lines = run.Log();
    // A notice waits, while its command runs, for one who may log on.
    EXPECT_TRUE(e2e::HasLineStarting(lines, L"nobody to ask yet: "));
    EXPECT_TRUE(e2e::HasLineStarting(lines, L"nobody sees the notice (nobody is logged on in an active session)"));
    // The command's start, its process id, its end and its code.
    EXPECT_TRUE(e2e::HasLineStarting(lines, L"command started, PID="));
    bool ended = false;
    for (const e2e::Line& l : lines) ended |= l.text.find(L" ended with 3010 (0x00000BC2)") != std::wstring::npos &&
                                              l.text.compare(0, 12, L"command PID=") == 0;
    EXPECT_TRUE(ended);
}

// A relayed run and its one channel, with the test as its asker: the run
// started on the display, or where nobody sees it.
class RelayedRun {
public:
    // Starts velmo (or velmoc) with the channel's word alone; unseen: in a
    // station no display shows.
    ::testing::AssertionResult Start(bool unseen, const wchar_t* exe = L"velmo.exe") {
        if (!asker_.made()) return ::testing::AssertionFailure() << "no channel";
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        kt::unique_handle out(CreateFileW((dir_ / L"out.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                          CREATE_ALWAYS, 0, nullptr));
        const std::wstring line = L"\"" + e2e::ExeDir() + L"\\" + exe + L"\" " + asker_.Word();
        // The handles are inherited: the run's end among them.
        const bool started = unseen ? static_cast<bool>(e2e::StartUnseen(run_, dir_ / L"run.pid", line, out.get()))
                                    : run_.Start(line, out.get());
        asker_.Started();
        return started ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << "cannot start";
    }
    e2e::FakeAsker& asker() { return asker_; }
    Process& run() { return run_; }
    std::string Out() const { return TestDir::Read(dir_ / L"out.txt"); }
    // The question of a command line's box.
    static kt::ChannelMessage Question(const std::wstring& args, uint32_t remaining) {
        MsgBoxParams p;
        EXPECT_TRUE(ParseCmdLine(p, (L"velmo.exe " + args).c_str()).ok());
        ApplyDeferralForTest(p);
        return QuestionMessage(p, remaining);
    }

private:
    // A box with Defer= as its asker sends it: one left, and its words when
    // none is.
    static void ApplyDeferralForTest(MsgBoxParams& p) {
        if (!p.defer.given()) return;
        for (unsigned i = 0; i < kt::kMaxButtons; ++i) {
            std::wstring& label = p.look.labels[i];
            const size_t at = label.find(L"{left}");
            if (at == std::wstring::npos) continue;
            p.look.none_left[i] = label.substr(0, at) + L"0" + label.substr(at + 6);
            label = label.substr(0, at) + L"1" + label.substr(at + 6);
        }
        p.look.deferral = 1;
    }
    TestDir dir_{L"relayed_run"};
    e2e::FakeAsker asker_;
    Process run_;
};

// Where nobody sees it, a relayed run never relays again: nobody answers,
// at once, without a box, and velmoc writes nothing (its asker speaks).
TEST(RelayedRun, WhereNobodySeesItNobodyAnswersAtOnce) {
    for (const wchar_t* exe : {L"velmo.exe", L"velmoc.exe"}) {
        SCOPED_TRACE(test::Narrow(exe));
        RelayedRun r;
        const DWORD start = GetTickCount();
        ASSERT_TRUE(r.Start(true, exe));
        ASSERT_TRUE(r.asker().Send(RelayedRun::Question(L"\"Nobody sees this\" c \"YesNo|DefButton2\" 60", 60)));
        kt::ChannelMessage m;
        ASSERT_TRUE(r.asker().Read(m, kBoxWait));
        kt::Outcome o;
        ASSERT_TRUE(kt::ReadAnswer(m, o));
        EXPECT_EQ(o.ending, kt::enNone);
        EXPECT_EQ(r.run().WaitExit(kBoxWait), test::Code(IDNO));
        EXPECT_LT(GetTickCount() - start, 5000u) << "not at once";
        EXPECT_EQ(r.Out(), "");
    }
}

// What is no question from an asker shows no box: the run ends with 87.
TEST(RelayedRun, WhatIsNoQuestionShowsNoBox) {
    const std::string good = RelayedRun::Question(L"\"No box\" c YesNo 30", 30).frame();
    kt::ChannelMessage odd = RelayedRun::Question(L"\"No box\" c YesNo 30", 30);
    odd.put(qfFlags, uint32_t{MB_YESNO | MB_SERVICE_NOTIFICATION});
    std::string oversized = good.substr(0, 8) + std::string("\xF0\xFF\xFF\x00", 4);
    const struct {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"torn", good.substr(0, good.size() / 2)},
        {"oversized", oversized},
        {"foreign", std::string("MZ\x90\x00 this is no frame", 22)},
        {"an_answer_instead", kt::AnswerMessage({kt::enPerson, IDYES}).frame()},
        {"a_style_no_command_line_gives", odd.frame()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RelayedRun r;
        const DWORD start = GetTickCount();
        ASSERT_TRUE(r.Start(false));
        ASSERT_TRUE(r.asker().Write(c.bytes));
        // A run that waited for the rest of its question would wait for ever.
        if (std::string(c.name) == "torn") r.asker().Close();
        EXPECT_EQ(r.run().WaitExit(kBoxWait), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_LT(GetTickCount() - start, 5000u) << "a box was up";
    }
}

// The box of a relayed question: posted messages of the application's
// range end nothing; the defer button is the person's only once the asker
// gives them a deferral (refused, the box stays with it greyed and its
// words for none left); the asker's going ends the box, as nobody's answer.
TEST(RelayedRun, TheBoxUnderItsAskersWord) {
    RelayedRun r;
    ASSERT_TRUE(r.Start(false));
    const std::wstring text = L"Relayed under its asker's word";
    ASSERT_TRUE(r.asker().Send(
        RelayedRun::Question(L"\"" + text + L"\" IT \"YesNo|Button2=Later ({left})|Defer=key:3\"", 0)));
    HWND box = e2e::FindBoxWithText(text, kBoxWait);
    ASSERT_NE(box, nullptr) << "the run " << r.run().State();
    for (UINT m = WM_APP; m <= WM_APP + 0x3FF; ++m) PostMessageW(box, m, 0, 0);
    e2e::Click(box, IDNO);
    kt::ChannelMessage take;
    ASSERT_TRUE(r.asker().Read(take, kBoxWait));
    EXPECT_EQ(take.type(), kt::ctTake);
    ASSERT_TRUE(r.asker().Send(kt::TakenMessage(false, 0)));
    EXPECT_TRUE(test::Eventually([&] { return !IsWindowEnabled(GetDlgItem(box, IDNO)); })) << "Later not greyed";
    EXPECT_TRUE(IsWindow(box)) << "a posted message or a refused Later ended the box";
    EXPECT_EQ(e2e::ButtonTexts(box), (std::vector<std::wstring>{L"&Yes", L"Later (0)"}));
    e2e::Click(box, IDYES);
    kt::ChannelMessage answer;
    ASSERT_TRUE(r.asker().Read(answer, kBoxWait));
    kt::Outcome o;
    ASSERT_TRUE(kt::ReadAnswer(answer, o));
    EXPECT_EQ(o.ending, kt::enPerson);
    EXPECT_EQ(o.answer, IDYES);
    EXPECT_EQ(r.run().WaitExit(kBoxWait), test::Code(IDYES));

    RelayedRun gone;
    ASSERT_TRUE(gone.Start(false));
    const std::wstring text2 = L"Relayed whose asker goes";
    ASSERT_TRUE(gone.asker().Send(RelayedRun::Question(L"\"" + text2 + L"\" IT YesNo 60", 60)));
    HWND box2 = e2e::FindBoxWithText(text2, kBoxWait);
    ASSERT_NE(box2, nullptr);
    gone.asker().Close();
    EXPECT_TRUE(e2e::GoneWithin(box2, 3000)) << "the box outlived its asker";
    const DWORD code = gone.run().WaitExit(kBoxWait);
    EXPECT_NE(code, static_cast<DWORD>(Process::kTimedOut));
}

// A relayed notice carries nothing of the command, nor of the asker's
// environment: its process was started with its channel's word alone, in
// its person's own environment.
TEST(RelayRun, TheNoticeHoldsNoWordOfTheCommand) {
    TestDir dir(L"relay_run_secret");
    const std::wstring text = L"Relay run secret";
    Process launcher;
    {
        test::EnvScope env({{L"VELMO_ASKERS_OWN", L"only-the-asker-has-this"}});
        ASSERT_TRUE(e2e::StartUnseen(launcher, dir / L"asker.pid",
                                     L"\"" + e2e::VelmoPath() + L"\" \"" + text + L"\" IT \"Information|NoButtons|Run\" 0 \"" +
                                         e2e::ExeDir() + L"\\sleeper.exe\" 4000 0 /key=SECRET-1234"));
    }
    HWND box = e2e::FindBoxWithText(text, kBoxWait);
    ASSERT_NE(box, nullptr) << "no relayed notice; the launcher " << launcher.State();
    std::wstring cmdline;
    std::vector<std::wstring> environment;
    ASSERT_TRUE(e2e::StartedWith(OwnerPid(box), cmdline, environment));
    EXPECT_EQ(cmdline.find(L"SECRET"), std::wstring::npos) << test::Narrow(cmdline);
    EXPECT_EQ(cmdline.find(L"sleeper"), std::wstring::npos) << test::Narrow(cmdline);
    EXPECT_NE(cmdline.find(L" -relayed:"), std::wstring::npos) << test::Narrow(cmdline);
    EXPECT_FALSE(environment.empty());
    for (const std::wstring& e : environment) {
        EXPECT_EQ(e.find(L"SECRET"), std::wstring::npos) << test::Narrow(e);
        EXPECT_EQ(e.find(L"only-the-asker-has-this"), std::wstring::npos) << test::Narrow(e);
        EXPECT_NE(e.compare(0, 6, L"VELMO_"), 0) << test::Narrow(e);
    }
    EXPECT_EQ(launcher.WaitExit(kBoxWait), 0u);
}

// A notice through the session's own box, which cannot be ended when the
// command ends: it waits a bounded time, and the command's code is velmo's.
TEST(SessionMessage, ANoticeWaitsABoundedTime) {
    if (!NotLocked().empty()) GTEST_SKIP() << NotLocked();
    e2e::WtsDouble double_dll;
    ASSERT_TRUE(double_dll.installed()) << "cannot put the double in the system folder: " << GetLastError();
    TestDir dir(L"relay_message_notice");
    Process launcher;
    {
        test::EnvScope env({{L"TMP", dir / L"no-temp"}, {L"TEMP", dir / L"no-temp"},
                            {L"VELMO_WTS_RECORD", dir / L"record.txt"}, {L"VELMO_WTS_ANSWER", L"32000@30000"}});
        ASSERT_TRUE(e2e::StartUnseen(launcher, dir / L"asker.pid",
                                     L"\"" + LockedDir() + L"\\velmo_wts.exe\" \"Installing\" IT \"NoButtons|Run\" 0 \"" +
                                         e2e::ExeDir() + L"\\sleeper.exe\" 1500 5"));
    }
    EXPECT_EQ(launcher.WaitExit(kBoxWait), 5u);
    const std::string record = TestDir::Read(dir / L"record.txt");
    EXPECT_NE(record.find(" timeout=300 wait=1\n"), std::string::npos) << record;
}

// CloseApps= from an unseen station: the relayed box names its person's
// apps; on their proceed their run closes them as they would (the asker
// told it the decision), reports how, and the answer is button 1's once
// none runs. Run closes them before the command, and Reopen starts them
// again as their person after it.
TEST(RelayCloseApps, ThePersonsRunClosesTheirApps) {
    wchar_t windows[MAX_PATH];
    GetWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring notepad = L"\"" + std::wstring(windows) + L"\\system32\\notepad.exe\"";
    e2e::Sandbox dir(L"relay_close");
    TestDir::Write(dir.wli(), "[Prms]\r\n[Evts]\r\nRLY=\r\nAPP=\r\nRUN=\r\nA..=\r\n");
    {
        Process app;
        ASSERT_TRUE(app.Start(notepad));
        ASSERT_TRUE(test::Eventually([&] { return FindWindowW(nullptr, L"Untitled - Notepad") != nullptr; }));
        const std::wstring text = L"Relay close {apps}";
        Process launcher;
        ASSERT_TRUE(e2e::StartUnseen(launcher, dir / L"asker.pid",
                                     L"\"" + dir.exe() + L"\" \"" + text + L"\" IT \"OkCancel|CloseApps=notepad\" 60"));
        HWND box = e2e::FindBoxWithText(L"Relay close notepad", kBoxWait);
        ASSERT_NE(box, nullptr) << "no relayed box naming notepad; the launcher " << launcher.State();
        e2e::Click(box, IDOK);
        EXPECT_EQ(launcher.WaitExit(kBoxWait), test::Code(IDOK));
        EXPECT_EQ(app.WaitExit(5000), 0u) << "notepad still runs";
        std::vector<e2e::Line> lines = e2e::ParseLog(TestDir::Read(dir.log()));
        EXPECT_TRUE(e2e::Contains(lines, L"session 1 closed its apps: 1 found, 0 still running"));
        EXPECT_TRUE(e2e::HasLineStarting(lines, L"session 1 told answer 1: its apps close"));
    }
    {
        DeleteFileW(dir.log().c_str());
        Process app;
        ASSERT_TRUE(app.Start(notepad));
        ASSERT_TRUE(test::Eventually([&] { return FindWindowW(nullptr, L"Untitled - Notepad") != nullptr; }));
        Process launcher;
        ASSERT_TRUE(e2e::StartUnseen(launcher, dir / L"asker.pid",
                                     L"\"" + dir.exe() + L"\" \"Installing; {apps} closed\" IT \"NoButtons|Run|CloseApps=notepad|Reopen\" 0 \"" +
                                         e2e::ExeDir() + L"\\sleeper.exe\" 2000 5"));
        EXPECT_EQ(app.WaitExit(kBoxWait), 0u) << "notepad not closed before the command";
        EXPECT_EQ(launcher.WaitExit(kBoxWait), 5u);
        HWND reopened = nullptr;
        EXPECT_TRUE(test::Eventually([&] { return (reopened = FindWindowW(nullptr, L"Untitled - Notepad")) != nullptr; }))
            << "not reopened";
        if (reopened) {
            // Gone before the next test looks for its own notepad.
            DWORD pid = 0;
            GetWindowThreadProcessId(reopened, &pid);
            kt::unique_handle h(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid));
            if (h) TerminateProcess(h.get(), 0);
            if (h) WaitForSingleObject(h.get(), 5000);
        }
        std::vector<e2e::Line> lines = e2e::ParseLog(TestDir::Read(dir.log()));
        EXPECT_TRUE(e2e::HasLineStarting(lines, L"reopened "));
        EXPECT_TRUE(e2e::HasLineStarting(lines, L"command started, PID="));
    }
}

// On a multi-session host the first person's proceed closes everyone's
// apps: a person whose apps close on someone else's answer is first told
// so in their own box, with the apps named. (Under Wine every run is in
// one session, so both runs see the one notepad.)
TEST(RelayCloseApps, AnotherPersonsAnswerIsToldFirst) {
    wchar_t windows[MAX_PATH];
    GetWindowsDirectoryW(windows, MAX_PATH);
    Process app;
    ASSERT_TRUE(app.Start(L"\"" + std::wstring(windows) + L"\\system32\\notepad.exe\""));
    HWND notepad = nullptr;
    ASSERT_TRUE(test::Eventually([&] { return (notepad = FindWindowW(nullptr, L"Untitled - Notepad")) != nullptr; }));
    // Unsaved work: notepad asks before it closes, which holds the closing.
    HWND edit = FindWindowExW(notepad, nullptr, L"Edit", nullptr);
    SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"unsaved"));
    SendMessageW(edit, EM_SETMODIFY, TRUE, 0);
    SessionsRun run(L"relay_close_told");
    const std::wstring text = L"Relay close told {apps}";
    ASSERT_TRUE(run.Start(L"1:active:WINE\\ann:-;2:active:WINE\\bob:-",
                          L"\"" + text + L"\" IT \"OkCancel|CloseApps=notepad|CloseWait=20\" 60"));
    std::vector<HWND> boxes = e2e::FindBoxesWithText(L"Relay close told notepad", 2, kBoxWait);
    ASSERT_EQ(boxes.size(), 2u) << "the launcher " << run.launcher().State();
    e2e::Click(boxes[0], IDOK);
    HWND told = e2e::FindBoxWithText(L"Another person chose to go on. These apps close now; each asks you to save what is "
                                      L"not saved:\nnotepad",
                                      kBoxWait);
    EXPECT_NE(told, nullptr) << "the other person was not told";
    // notepad's own "save changes?" (one for each run that asked it, both
    // being in Wine's one session): its person does not save.
    EXPECT_TRUE(test::Eventually([&] {
        if (HWND prompt = FindWindowW(L"#32770", L"Notepad")) e2e::Click(prompt, IDNO);
        return !app.Running();
    })) << "notepad still runs";
    EXPECT_EQ(run.Wait(), test::Code(IDOK));
}

// A box among boxes that is none of those.
HWND NewBox(const std::vector<HWND>& now, const std::vector<HWND>& before) {
    for (HWND w : now) {
        if (std::find(before.begin(), before.end(), w) == before.end()) return w;
    }
    return nullptr;
}

class RelayFollows : public ::testing::TestWithParam<bool> {};

// A third person logs on 4 s into a two-session question: their box shows
// the countdown's time left, and their answer ends every box. One who logs
// on after the answer gets nothing. Told by a notification, or seen by
// velmo's own reading of the sessions (Wine's WTSAPI32 tells nothing).
TEST_P(RelayFollows, APersonWhoLogsOnIsAskedWithTheTimeLeft) {
    const bool notify = GetParam();
    SessionsRun run(notify ? L"follow_logon" : L"follow_logon_read");
    const std::wstring text = std::wstring(L"Relay follow logon ") + (notify ? L"notified" : L"read");
    ASSERT_TRUE(run.StartFollowing("1:active:WINE\\ann:-;2:active:WINE\\bob:-",
                                   L"\"" + text + L"\" Follow \"Question|YesNo\" 30", notify));
    const std::vector<HWND> first = e2e::FindBoxesWithText(text, 2, kBoxWait);
    ASSERT_EQ(first.size(), 2u) << "the launcher " << run.launcher().State();
    if (run.Took() < 4000) Sleep(4000 - run.Took());
    const DWORD logon = GetTickCount();
    run.SetSessions("1:active:WINE\\ann:-;2:active:WINE\\bob:-;3:active:WINE\\cyd:-");
    const std::vector<HWND> all = e2e::FindBoxesWithText(text, 3, kBoxWait);
    ASSERT_EQ(all.size(), 3u) << "the newcomer was not asked";
    const HWND third = NewBox(all, first);
    ASSERT_NE(third, nullptr);
    const DWORD delay = GetTickCount() - logon;
    EXPECT_EQ(run.SessionOf(third), 3u);
    // 30 s less the 4 s gone (and a second for the asker's start after the
    // launch): never a fresh countdown.
    const std::wstring left = e2e::TitleSuffix(third, L"Follow");
    ASSERT_EQ(left.compare(0, 2, L" ["), 0) << left;
    const unsigned seconds = wcstoul(left.c_str() + 2, nullptr, 10);
    EXPECT_GE(seconds, 5u) << left;
    EXPECT_LE(seconds, 27u) << left;
    e2e::Click(third, IDYES);
    for (HWND other : first) EXPECT_TRUE(e2e::GoneWithin(other, 2000)) << "another box stayed";
    // The answer is in: the asker ends the other boxes only then.
    run.SetSessions("1:active:WINE\\ann:-;2:active:WINE\\bob:-;3:active:WINE\\cyd:-;4:active:WINE\\dan:-");
    EXPECT_EQ(run.Wait(), test::Code(IDYES));
    EXPECT_TRUE(e2e::FindBoxesWithText(text, 1, 2500).empty()) << "one who came after the answer was asked";
    std::vector<e2e::Line> lines = run.Log();
    EXPECT_TRUE(e2e::Contains(lines, L"asking session 3, user WINE\\cyd (active, lock not known)"));
    EXPECT_TRUE(e2e::Contains(lines, L"session 3 (WINE\\cyd) answered 6 first, asked in place"));
    EXPECT_FALSE(e2e::HasLineStarting(lines, L"asking session 4")) << "asked after the answer";
    EXPECT_EQ(e2e::HasLineStarting(lines, L"notified: logon of session 3"), notify);
    EXPECT_EQ(e2e::HasLineStarting(lines, L"following the sessions: every 2 s, no notifications"), !notify);
    RecordProperty("newcomer_box_ms", static_cast<int>(delay));
}

INSTANTIATE_TEST_SUITE_P(Ways, RelayFollows, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "notified" : "read"; });

// A disconnected person reconnects and is asked; the one who was asked
// disconnects: their box goes, and that is nobody's answer.
TEST(RelayFollow, WhoReconnectsIsAskedWhoDisconnectsKeepsNoClaim) {
    SessionsRun run(L"follow_reconnect");
    const std::wstring text = L"Relay follow reconnect";
    ASSERT_TRUE(run.StartFollowing("1:active:WINE\\ann:-;2:disconnected:WINE\\bob:-",
                                   L"\"" + text + L"\" Follow \"Question|YesNo\" 60"));
    const HWND ann = e2e::FindBoxWithText(text, kBoxWait);
    ASSERT_NE(ann, nullptr) << "the launcher " << run.launcher().State();
    run.SetSessions("1:disconnected:WINE\\ann:-;2:active:WINE\\bob:-");
    EXPECT_TRUE(e2e::GoneWithin(ann, 5000)) << "the box of who left stayed";
    std::vector<HWND> boxes = e2e::FindBoxesWithText(text, 1, kBoxWait);
    ASSERT_EQ(boxes.size(), 1u) << "who reconnected was not asked";
    EXPECT_EQ(run.SessionOf(boxes[0]), 2u);
    EXPECT_TRUE(run.launcher().Running()) << "the leaver's end was taken for an answer";
    e2e::Click(boxes[0], IDNO);
    EXPECT_EQ(run.Wait(), test::Code(IDNO));
    std::vector<e2e::Line> lines = run.Log();
    EXPECT_TRUE(e2e::HasLineStarting(lines, L"session 1 (WINE\\ann) has left (disconnected): its relayed process PID="));
    EXPECT_TRUE(e2e::Contains(lines, L"asking session 2, user WINE\\bob (active, lock not known)"));
    EXPECT_TRUE(e2e::Contains(lines, L"session 2 (WINE\\bob) answered 7 first, asked in place"));
}

// Nobody there when the command starts: one who logs on while it runs
// sees the notice, which goes with the command.
TEST(RelayFollow, ANoticeReachesWhoLogsOnDuringTheCommand) {
    SessionsRun run(L"follow_notice");
    const std::wstring text = L"Relay follow notice";
    const std::wstring sleeper = L"\"" + e2e::ExeDir() + L"\\sleeper.exe\" 8000 3010";
    ASSERT_TRUE(run.StartFollowing("2:disconnected:WINE\\dan:-", L"\"" + text + L"\" IT \"NoButtons|Run\" 0 " + sleeper));
    // Read as it is written: a line may be half there.
    ASSERT_TRUE(test::Eventually([&] { return run.LogBytes().find("nobody to ask yet: ") != std::string::npos; }));
    run.SetSessions("2:active:WINE\\dan:-");
    const HWND box = e2e::FindBoxWithText(text, kBoxWait);
    ASSERT_NE(box, nullptr) << "who logged on saw no notice";
    EXPECT_EQ(run.Wait(), 3010u);
    EXPECT_TRUE(e2e::GoneWithin(box, 2000)) << "the notice stayed after the command";
    EXPECT_TRUE(e2e::Contains(run.Log(), L"asking session 2, user WINE\\dan (active, lock not known)"));
}

}  // namespace
