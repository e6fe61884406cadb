// velmo run where a SYSTEM job runs it, in a window station that no display
// shows: the box goes to the desktop of the person at the screen, the
// answer comes back, and nothing is left behind. Run by solo_wine.sh on a
// wineserver of its own.
#include <gtest/gtest.h>

#include "tests/e2e/logfile.h"
#include "tests/help_texts.h"

namespace {

using e2e::kBoxWait;
using e2e::Process;

enum Act { actClick, actCountdown, actGuard };

struct RelayCase {
    const char* name;
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
    e2e::Sandbox dir(L"relay");
    CopyFileW((e2e::ExeDir() + L"\\velmoc.exe").c_str(), (dir / L"velmoc.exe").c_str(), FALSE);
    for (const wchar_t* wli : {L"velmo.wli", L"velmoc.wli"}) TestDir::Write(dir / wli, "[Prms]\r\n[Evts]\r\n.*=\r\n");
    const std::wstring text = L"Relay " + std::wstring(c.name, c.name + strlen(c.name));
    const std::wstring caption = L"Relayed";
    std::wstring command = L"\"" + (dir / c.exe) + L"\" \"" + text + L"\" \"" + caption + L"\" \"" + c.flags + L"\"";
    if (*c.timeout) command += std::wstring(L" ") + c.timeout;
    // velmoc's stdout and stderr.
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    kt::unique_handle out(CreateFileW((dir / L"out.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                      CREATE_ALWAYS, 0, nullptr));
    Process launcher;
    ASSERT_TRUE(e2e::StartUnseen(launcher, dir / L"asker.pid", command, out.get()));
    out.reset();
    DWORD asker = e2e::ReadPid(dir / L"asker.pid");
    ASSERT_NE(asker, 0u) << "no pid from the launcher, which " << launcher.State();
    HWND box = e2e::FindBoxWithText(text, kBoxWait);
    ASSERT_NE(box, nullptr) << "no relayed box on the display";
    // Another process shows it: the asker's own station shows nothing.
    EXPECT_NE(OwnerPid(box), asker);
    EXPECT_EQ(e2e::FindBox(asker, 0), nullptr);
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
        EXPECT_EQ(TestDir::Read(dir / L"out.txt"), c.out);
    }

    // Both runs log to the one file beside the exe: the asker's decisions and
    // the relayed run's own lines.
    std::wstring stem(c.exe, wcslen(c.exe) - 4);
    std::vector<e2e::Line> lines = e2e::ParseLog(TestDir::Read(dir / (stem + L".log")));
    wchar_t pid[16];
    swprintf(pid, 16, L"%04X", static_cast<unsigned>(asker));
    std::wstring code = std::to_wstring(c.code);
    int ends = 0;
    bool asked = false, started = false, ended = false, relayed = false;
    for (const e2e::Line& l : lines) {
        if (l.text == L"velmo end(" + code + L")") ++ends;
        if (l.category != L"RLY") continue;
        asked |= l.pid == pid && l.text.compare(0, 19, L"asking session 1, u") == 0;
        started |= l.pid == pid && l.text.find(L"started on WinSta0\\Default") != std::wstring::npos;
        ended |= l.pid == pid && l.text.find(L" ended with " + code) != std::wstring::npos;
        relayed |= l.pid != pid && l.text == std::wstring(L"relayed by PID=") + pid;
    }
    EXPECT_TRUE(e2e::Contains(lines, L"the window station is not visible"));
    EXPECT_TRUE(asked && started && ended && relayed);
    EXPECT_EQ(ends, 2);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Relay,
    ::testing::Values(
        RelayCase{"click", L"velmo.exe", L"Question|YesNo", L"30", actClick, IDNO, {}, "", IDNO},
        RelayCase{"countdown", L"velmo.exe", L"YesNo|DefButton2", L"2", actCountdown, 0, {}, "", IDNO},
        RelayCase{"report_timeout", L"velmo.exe", L"YesNo|DefButton2|ReportTimeout", L"1", actCountdown, 0, {}, "",
                  32000},
        RelayCase{"labels", L"velmo.exe", L"YesNo|Button1=&Restart now|Button2=&Later", L"", actClick, IDYES,
                  {L"&Restart now", L"&Later"}, "", IDYES},
        RelayCase{"guard", L"velmo.exe", L"YesNo|Guard", L"30", actGuard, 0, {}, "", IDYES},
        RelayCase{"console_twin", L"velmoc.exe", L"YesNo|DefButton2", L"1", actCountdown, 0, {}, "No\r\n", IDNO},
        RelayCase{"console_twin_click", L"velmoc.exe", L"CancelTryContinue", L"", actClick, IDTRYAGAIN, {},
                  "TryAgain\r\n", IDTRYAGAIN}),
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

struct AtOnceCase {
    const char* name;
    const wchar_t* exe;
    const wchar_t* args;
    bool relayed;  // started as a relayed run (the marker set)
    DWORD code;
    const char* err;  // the start of velmoc's stderr
};

void PrintTo(const AtOnceCase& c, std::ostream* os) { *os << c.name; }

class NobodyAnswers : public ::testing::TestWithParam<AtOnceCase> {};

// No box anywhere, and the job goes on at once: a bad command line, and a
// relayed run that finds itself where no one sees it (it never relays
// again).
TEST_P(NobodyAnswers, AtOnceWithoutABox) {
    const AtOnceCase& c = GetParam();
    TestDir dir(L"relay_nobody");
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    kt::unique_handle err(CreateFileW((dir / L"err.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                      CREATE_ALWAYS, 0, nullptr));
    // The launcher and the run it starts take the variable from here.
    if (c.relayed) SetEnvironmentVariableW(L"VELMO_RELAYED_BY", L"0001");
    auto unset = kt::scope_exit([] { SetEnvironmentVariableW(L"VELMO_RELAYED_BY", nullptr); });
    Process launcher;
    DWORD start = GetTickCount();
    ASSERT_TRUE(e2e::StartUnseen(launcher, dir / L"asker.pid", L"\"" + e2e::ExeDir() + L"\\" + c.exe + L"\" " + c.args,
                                 err.get()));
    err.reset();
    EXPECT_EQ(launcher.WaitExit(kBoxWait), c.code);
    DWORD took = GetTickCount() - start;
    EXPECT_LT(took, 5000u) << "not at once";
    // Nor later: no box of any velmo on the display.
    EXPECT_EQ(e2e::FindBoxWithText(RussianUi() ? RussianHelp() : EnglishHelp(), 500), nullptr);
    EXPECT_EQ(e2e::FindBoxWithText(L"Nobody sees this", 500), nullptr);
    std::string text = TestDir::Read(dir / L"err.txt");
    EXPECT_EQ(text.compare(0, strlen(c.err), c.err), 0) << text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, NobodyAnswers,
    ::testing::Values(
        AtOnceCase{"no_arguments", L"velmo.exe", L"", false, ERROR_INVALID_PARAMETER, ""},
        AtOnceCase{"bad_word_with_timeout", L"velmo.exe", L"\"Nobody sees this\" \"c\" \"Bogus\" 30", false,
                   ERROR_INVALID_PARAMETER, ""},
        AtOnceCase{"console_no_arguments", L"velmoc.exe", L"", false, ERROR_INVALID_PARAMETER,
                   "ERROR: no arguments\r\n"},
        AtOnceCase{"relayed_default", L"velmo.exe", L"\"Nobody sees this\" \"c\" \"YesNo|DefButton2\" 60", true,
                   IDNO, ""},
        AtOnceCase{"relayed_ok_box", L"velmo.exe", L"\"Nobody sees this\" \"c\" OK 60", true, IDOK, ""},
        AtOnceCase{"relayed_no_timeout", L"velmo.exe", L"\"Nobody sees this\" \"c\" YesNo", true, 32000, ""},
        AtOnceCase{"relayed_defbutton4", L"velmo.exe", L"\"Nobody sees this\" \"c\" \"YesNo|DefButton4\" 60", true,
                   32000, ""},
        AtOnceCase{"relayed_console", L"velmoc.exe", L"\"Nobody sees this\" \"c\" \"YesNo|ReportTimeout\" 60", true,
                   32000, ""}),
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
    EXPECT_LT(GetTickCount() - start, 5000u) << "not at once";
    EXPECT_EQ(e2e::FindBoxWithText(L"Nobody sees this", 500), nullptr);
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

}  // namespace
