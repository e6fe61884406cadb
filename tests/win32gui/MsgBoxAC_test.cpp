#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include <atomic>
#include <thread>

#include "lib/owner.h"
#include "win32gui/MsgBoxAC.h"
#include "win32gui/SrchWnd.h"
#include "tests/common.h"

namespace {

TEST(FmtCountdown, Table) {
    const std::pair<uint32_t, const wchar_t*> cases[] = {
        {0, L"0"},           {1, L"1"},          {59, L"59"},          {60, L"1:00"},
        {61, L"1:01"},       {599, L"9:59"},     {3599, L"59:59"},     {3600, L"1:00:00"},
        {3661, L"1:01:01"},  {86400, L"24:00:00"}, {90061, L"25:01:01"}, {4294967291u, L"1193046:28:11"},
    };
    for (const auto& c : cases) EXPECT_EQ(kt::FmtCountdown(c.first), c.second) << c.first;
}

TEST(DefButtonId, AllCombinations) {
    const uint32_t want[8][4] = {
        {2, 0, 0, 0}, {1, 2, 0, 0}, {3, 4, 5, 0}, {6, 7, 2, 0}, {6, 7, 0, 0}, {4, 2, 0, 0}, {2, 10, 11, 0}, {0, 0, 0, 0},
    };
    for (uint32_t set = 0; set < 8; ++set) {
        for (uint32_t def = 0; def < 4; ++def) {
            kt::TMsgBoxAutoCloser c;
            // Icon and other bits must not disturb the choice.
            c.set(L"t", L"c", set | (def << 8) | MB_ICONQUESTION | MB_SETFOREGROUND);
            EXPECT_EQ(c.def_button_id(), want[set][def]) << "set " << set << " def " << def;
            // Without visible buttons the box always closes itself.
            c.hide_buttons();
            EXPECT_EQ(c.def_button_id(), static_cast<uint32_t>(IDCANCEL)) << "set " << set << " def " << def;
        }
    }
}

TEST(DisableClose, GreysTheCloseItem) {
    HWND w = CreateWindowExW(0, L"STATIC", L"menu", WS_OVERLAPPEDWINDOW, 0, 0, 50, 50, nullptr, nullptr, nullptr,
                             nullptr);
    EXPECT_TRUE(kt::DisableClose(w).ok());
    UINT state = GetMenuState(GetSystemMenu(w, FALSE), SC_CLOSE, MF_BYCOMMAND);
    EXPECT_TRUE(state & MF_GRAYED);
    DestroyWindow(w);
    // Without WS_SYSMENU a window has no system menu, so no Close item.
    HWND plain = CreateWindowExW(0, L"STATIC", L"no menu", WS_POPUP, 0, 0, 5, 5, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(kt::DisableClose(plain).code(), test::Code(ERROR_NOT_FOUND));
    DestroyWindow(plain);
}

TEST(AutoCloser, NoBoxFoundEndsWithNotFound) {
    kt::TMsgBoxAutoCloser c;
    c.set(L"no such text", L"no such caption 7c1d", 0);
    c.set_timeout(1);
    HWND found = reinterpret_cast<HWND>(1);
    DWORD start = GetTickCount();
    EXPECT_TRUE(c.wait_for_box(found, 300).ok());
    EXPECT_GE(GetTickCount() - start, 300u);
    EXPECT_EQ(found, nullptr);
}

TEST(AutoCloser, QuitMessageCancelsTheSearch) {
    kt::TMsgBoxAutoCloser c;
    c.set(L"no such text", L"no such caption 9e2f", 0);
    PostQuitMessage(0);
    HWND found = nullptr;
    EXPECT_EQ(c.wait_for_box(found, 60000).code(), static_cast<uint32_t>(ERROR_CANCELLED));
    MSG m;
    // The quit message stays queued for its owner.
    EXPECT_TRUE(PeekMessageW(&m, reinterpret_cast<HWND>(-1), WM_QUIT, WM_QUIT, PM_REMOVE));
}

TEST(AutoCloser, TitleOtherThanTheCaptionIsRefused) {
    kt::TMsgBoxAutoCloser c;
    c.set(L"t", L"expected", 0);
    c.set_timeout(5);
    HWND w = CreateWindowExW(0, L"STATIC", L"different", WS_OVERLAPPED, 0, 0, 5, 5, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(c.count_down(w).code(), test::Code(ERROR_INTERNAL_ERROR));
    EXPECT_EQ(kt::GetWndText(w), L"different");
    DestroyWindow(w);
}

TEST(AutoCloser, CountdownEndsWhenTheWindowIsGone) {
    kt::TMsgBoxAutoCloser c;
    c.set(L"t", L"vanishing", 0);
    c.set_timeout(3600);
    HWND w = CreateWindowExW(0, L"STATIC", L"vanishing", WS_OVERLAPPED, 0, 0, 5, 5, nullptr, nullptr, nullptr, nullptr);
    // The window's own thread (this one) keeps answering messages while a
    // helper thread counts down, as the main thread does in its modal box.
    kt::result counted(1);
    std::atomic<bool> done{false};
    std::thread counter([&] {
        counted = c.count_down(w);
        done = true;
    });
    DWORD start = GetTickCount();
    bool title_seen = false;
    MSG m;
    while (!done && GetTickCount() - start < 10000) {
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
        if (IsWindow(w) && kt::GetWndText(w) == L"vanishing [1:00:00]") title_seen = true;
        if (title_seen && IsWindow(w) && GetTickCount() - start > 600) DestroyWindow(w);
        Sleep(10);
    }
    counter.join();
    EXPECT_TRUE(title_seen);
    EXPECT_TRUE(counted.ok());
    EXPECT_LT(GetTickCount() - start, 3000u);
}

}  // namespace

namespace {

// Looks for a box of this process with the title until it appears.
HWND AwaitBox(const std::wstring& title, DWORD limit_ms = 10000) {
    DWORD start = GetTickCount();
    while (GetTickCount() - start < limit_ms) {
        if (HWND w = FindWindowW(L"#32770", title.c_str())) return w;
        Sleep(10);
    }
    return nullptr;
}

TEST(MsgBoxAC, NoButtonsHidesTheButtonGreysCloseAndClosesAtZero) {
    std::atomic<bool> hidden{false}, greyed{false}, watched{false};
    std::thread watcher([&] {
        HWND box = AwaitBox(L"Hidden buttons [2]");
        if (box) {
            Sleep(100);
            bool any = false;
            for (HWND c = GetWindow(box, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
                wchar_t cls[16] = {};
                GetClassNameW(c, cls, 16);
                if (_wcsicmp(cls, L"Button") == 0 && IsWindowVisible(c)) any = true;
            }
            hidden = !any;
            UINT state = GetMenuState(GetSystemMenu(box, FALSE), SC_CLOSE, MF_BYCOMMAND);
            greyed = state != static_cast<UINT>(-1) && (state & MF_GRAYED);
        }
        watched = true;
    });
    DWORD start = GetTickCount();
    bool at_zero = false;
    int answer = kt::MsgBoxAC(GetDesktopWindow(), L"working", L"Hidden buttons", MB_OKCANCEL | MB_ICONINFORMATION, 2,
                              true, &at_zero);
    DWORD took = GetTickCount() - start;
    watcher.join();
    EXPECT_TRUE(watched);
    EXPECT_TRUE(hidden);
    EXPECT_TRUE(greyed);
    EXPECT_EQ(answer, IDCANCEL);
    EXPECT_TRUE(at_zero);
    EXPECT_GE(took, 2000u);
    EXPECT_LT(took, 4000u);
}

// Threads of this process now.
int ThreadCount() {
    kt::unique_handle snap(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 te{};
    te.dwSize = sizeof te;
    int n = 0;
    for (BOOL more = Thread32First(snap.get(), &te); more; more = Thread32Next(snap.get(), &te)) {
        if (te.th32OwnerProcessID == GetCurrentProcessId()) ++n;
    }
    return n;
}

// A window of this process that answers no message for a while: the worker
// that asks for its text is stuck in SendMessageW past the 10 s wait.
TEST(MsgBoxAC, WorkerStuckPastTheWaitKeepsItsTaskAlive) {
    const int threads_before = ThreadCount();
    std::atomic<HWND> hung{nullptr};
    std::thread sleeper([&] {
        hung = CreateWindowExW(WS_EX_TOPMOST, L"STATIC", L"Stuck worker", WS_OVERLAPPED | WS_VISIBLE, 0, 0, 50, 50,
                               nullptr, nullptr, nullptr, nullptr);
        Sleep(14000);
        MSG m;
        DWORD until = GetTickCount() + 8000;
        while (GetTickCount() < until) {
            while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
            Sleep(10);
        }
        DestroyWindow(hung);
    });
    while (!hung) Sleep(5);
    std::thread clicker([] {
        HWND box = AwaitBox(L"Stuck worker");
        Sleep(1500);
        if (box) PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDNO, BN_CLICKED), 0);
    });
    DWORD start = GetTickCount();
    bool at_zero = true;
    int answer = kt::MsgBoxAC(GetDesktopWindow(), L"text", L"Stuck worker", MB_YESNO, 1, false, &at_zero);
    DWORD took = GetTickCount() - start;
    clicker.join();
    EXPECT_EQ(answer, IDNO);
    EXPECT_FALSE(at_zero);
    // The box was answered by the click, not by a countdown, and the wait
    // for the worker was given up after its limit.
    EXPECT_GE(took, 11000u);
    EXPECT_LT(took, 14000u);
    // The worker now gets its answer and goes on with the objects left to
    // it (a use after free would take this process down here), finds no box
    // and ends: the process is back to its own threads.
    sleeper.join();
    DWORD waited = GetTickCount();
    while (ThreadCount() > threads_before && GetTickCount() - waited < 5000) Sleep(10);
    EXPECT_EQ(ThreadCount(), threads_before);
}

// The defer button of a box that is up: a person's click asks take(); a
// refusal leaves the box up, the button greyed and its words for none
// left; a grant ends the box with it. At its instant it greys by itself,
// and the countdown whose default it was clicks button 1 instead: the
// countdown's answer all the same.
TEST(MsgBoxAC, TheDeferButtonWhileTheBoxIsUp) {
    auto utc_now = [] {
        FILETIME f;
        GetSystemTimeAsFileTime(&f);
        return (static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
    };
    const struct {
        const char* name;
        bool grant;
        uint64_t until_ms;  // from now; 0: no deadline
        int answer;
        bool at_zero, taken;
    } cases[] = {
        {"refused_then_yes", false, 0, IDYES, false, false},
        {"granted", true, 0, IDNO, false, true},
        {"the_deadline_passes", false, 1200, IDYES, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring caption = std::wstring(L"Defer ") + std::wstring(c.name, c.name + strlen(c.name));
        kt::MsgBoxLook look;
        look.labels[1] = L"Later (1)";
        look.none_left[1] = L"Later (0)";
        look.deferral = 1;
        look.deferral_until = c.until_ms ? utc_now() + c.until_ms * 10000 : 0;
        int asked = 0;
        look.take = [&] {
            ++asked;
            return c.grant;
        };
        std::atomic<bool> greyed{false}, relabelled{false};
        std::thread person([&] {
            HWND box = AwaitBox(caption, 10000);
            if (!box) box = AwaitBox(caption + L" [3]", 10000);
            if (!box) return;
            if (!c.until_ms) PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDNO, BN_CLICKED), 0);
            for (DWORD start = GetTickCount(); IsWindow(box) && GetTickCount() - start < 5000; Sleep(10)) {
                // A box that has gone has no button to see greyed.
                HWND later = GetDlgItem(box, IDNO);
                if (!later || IsWindowEnabled(later) || !IsWindow(box)) continue;
                greyed = true;
                wchar_t text[32] = {};
                GetWindowTextW(GetDlgItem(box, IDNO), text, 32);
                relabelled = std::wstring(text) == L"Later (0)";
                break;
            }
            // The countdown ends the deadline's box; a person the refused one.
            if (!c.until_ms && !c.grant) PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDYES, BN_CLICKED), 0);
        });
        bool at_zero = false;
        kt::BoxEnd end;
        const int answer = kt::MsgBoxAC(GetDesktopWindow(), L"text", caption, MB_YESNO | MB_DEFBUTTON2,
                                        c.until_ms ? 3 : 30, false, &at_zero, look, &end);
        person.join();
        EXPECT_EQ(answer, c.answer);
        EXPECT_EQ(at_zero, c.at_zero);
        EXPECT_EQ(end.countdown, c.at_zero);
        EXPECT_EQ(end.taken, c.taken);
        EXPECT_EQ(asked, c.until_ms ? 0 : 1) << "take() asked at a click it did not see, or never";
        EXPECT_EQ(greyed.load(), !c.grant);
        EXPECT_EQ(relabelled.load(), !c.grant);
    }
}

}  // namespace
