// Measures velmo beside its peers, every figure the median of several runs,
// and prints one Markdown table.
#include <windows.h>

#include "tests/e2e/doubles.h"
#include "tests/e2e/harness.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

std::wstring g_dir;

struct Peer {
    const wchar_t* name;
    // Command line for a box with the given caption and timeout (0: none).
    std::function<std::wstring(const std::wstring&, int)> command;
    bool has_timeout;
};

const double kMissing = NAN;

// velmo's own builds, which count down and are measured for it.
bool IsVelmo(const Peer& p) { return std::wstring(p.name).compare(0, 5, L"velmo") == 0; }

struct Sample {
    double to_box_ms = kMissing;
    double closed_ms = kMissing;  // box seen to box gone
    double ended_ms = kMissing;   // click posted to process ended
    DWORD exit_code = 0;
};

double Now() {
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return 1000.0 * c.QuadPart / f.QuadPart;
}

// Starts a peer's box; its process (empty when it could not start) and id.
kt::unique_handle StartBox(const Peer& peer, const std::wstring& caption, int timeout, DWORD& pid) {
    std::wstring cmd = peer.command(caption, timeout);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, g_dir.c_str(), &si, &pi)) return {};
    kt::unique_handle thread(pi.hThread);
    pid = pi.dwProcessId;
    return kt::unique_handle(pi.hProcess);
}

// One run: start, wait for the box, then either click after hold_ms or let
// the timeout close it; CPU and memory are read after the process ended.
Sample RunOnce(const Peer& peer, int timeout, DWORD hold_ms, int run) {
    Sample s;
    DWORD pid = 0;
    double t0 = Now();
    kt::unique_handle process = StartBox(peer, std::wstring(L"Bench ") + peer.name + L" " + std::to_wstring(run),
                                         timeout, pid);
    if (!process) return s;
    HWND box = e2e::FindBox(pid, e2e::kBoxWait);
    double t_box = Now();
    if (box) {
        s.to_box_ms = t_box - t0;
        if (hold_ms) {
            Sleep(hold_ms);
            double t_click = Now();
            PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDNO, BN_CLICKED), 0);
            if (WaitForSingleObject(process.get(), 30000) == WAIT_OBJECT_0) s.ended_ms = Now() - t_click;
        } else {
            while (IsWindow(box) && Now() - t_box < 60000) Sleep(1);
            if (!IsWindow(box)) s.closed_ms = Now() - t_box;
            WaitForSingleObject(process.get(), 30000);
        }
    }
    if (WaitForSingleObject(process.get(), 0) != WAIT_OBJECT_0) TerminateProcess(process.get(), 1);
    WaitForSingleObject(process.get(), 5000);
    GetExitCodeProcess(process.get(), &s.exit_code);
    return s;
}

// A 10 s countdown watched every millisecond: how far each title "[n]" came
// from its second (counted from "[10]"), and when the box was gone after
// the deadline.
struct Ticks {
    double worst_title_ms = kMissing;  // largest distance of a title from its second
    double gone_ms = kMissing;         // box gone, after the deadline
};

Ticks WatchCountdown(const Peer& peer, int run) {
    const int kSeconds = 10;
    Ticks t;
    DWORD pid = 0;
    kt::unique_handle process =
        StartBox(peer, std::wstring(L"Ticks ") + peer.name + L" " + std::to_wstring(run), kSeconds, pid);
    if (!process) return t;
    HWND box = e2e::FindBox(pid, e2e::kBoxWait);
    // When each remaining second was first seen in the title.
    std::vector<double> seen(kSeconds + 1, kMissing);
    double gone = kMissing;
    double start = Now();
    wchar_t title[256];
    while (box && Now() - start < 30000) {
        if (!IsWindow(box)) {
            gone = Now();
            break;
        }
        // The title without a message: the box's own thread is not disturbed.
        int n = GetWindowTextW(box, title, 256);
        std::wstring s(title, n > 0 ? n : 0);
        size_t open = s.rfind(L" [");
        if (open != std::wstring::npos) {
            int left = _wtoi(s.c_str() + open + 2);
            if (left >= 1 && left <= kSeconds && std::isnan(seen[left])) seen[left] = Now();
        }
        Sleep(1);
    }
    WaitForSingleObject(process.get(), 30000);
    if (std::isnan(seen[kSeconds])) return t;
    double worst = 0;
    for (int left = 1; left < kSeconds; ++left) {
        if (std::isnan(seen[left])) return t;
        worst = std::max(worst, std::fabs(seen[left] - seen[kSeconds] - 1000.0 * (kSeconds - left)));
    }
    t.worst_title_ms = worst;
    if (!std::isnan(gone)) t.gone_ms = gone - seen[kSeconds] - 1000.0 * kSeconds;
    return t;
}

double Median(std::vector<double> v) {
    v.erase(std::remove_if(v.begin(), v.end(), [](double x) { return std::isnan(x); }), v.end());
    if (v.empty()) return kMissing;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

std::string Cell(double v, const char* fmt) {
    if (std::isnan(v)) return "n/a";
    char buf[32];
    snprintf(buf, sizeof buf, fmt, v);
    return buf;
}

std::wstring Quote(const std::wstring& s) { return L"\"" + s + L"\""; }

}  // namespace

// "close <caption> <ms>": clicks No on the box with that caption after ms
// milliseconds (the bare peer has no timeout of its own); "close-text <text>
// <ms>" finds the box by its message text instead (a box without caption).
int CloseLater(const std::wstring& key, DWORD ms, bool by_text) {
    HWND box = by_text ? e2e::FindBoxWithText(key, e2e::kBoxWait) : e2e::FindBox(0, e2e::kBoxWait, key);
    if (!box) return 1;
    Sleep(ms);
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDNO, BN_CLICKED), 0);
    return 0;
}

// Start to end of a program (one that does nothing: what one process start
// costs; a command), without a console window; missing when it does not
// end within a minute.
double Life(std::wstring cmd) {
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    double t0 = Now();
    if (!CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, g_dir.c_str(), &si, &pi))
        return kMissing;
    kt::unique_handle process(pi.hProcess), thread(pi.hThread);
    if (WaitForSingleObject(process.get(), 60000) != WAIT_OBJECT_0) return kMissing;
    return Now() - t0;
}

// Start to box of two peers, run in turn so that both meet the same state
// of the machine: medians of each and of the differences within a pair.
void ComparePairs(const std::vector<std::pair<const Peer*, const Peer*>>& pairs, int runs) {
    printf("\n| start to box on screen, %d runs in turn, ms: first / second | first | second | "
           "second - first, median of the differences |\n",
           runs);
    printf("|---|---|---|---|\n");
    for (const auto& pair : pairs) {
        std::vector<double> a, b, diff;
        for (int r = 0; r < runs; ++r) {
            Sample x = RunOnce(*pair.first, 0, 100, 200 + r);
            Sample y = RunOnce(*pair.second, 0, 100, 200 + r);
            a.push_back(x.to_box_ms);
            b.push_back(y.to_box_ms);
            diff.push_back(y.to_box_ms - x.to_box_ms);
        }
        printf("| %ls / %ls | %s | %s | %s |\n", pair.first->name, pair.second->name,
               Cell(Median(a), "%.0f").c_str(), Cell(Median(b), "%.0f").c_str(), Cell(Median(diff), "%+.0f").c_str());
    }
}

// Start to box of velmo relayed to the person at the screen (started in a
// window station that no display shows) against the same velmo started on
// the display, both through the tests' launcher, run in turn; the relayed
// box from a folder the user may not read (a private copy is made) against
// one from a readable folder; and the start to end of a program that does
// nothing: the one process start that a relayed box may cost more.
void CompareRelay(const std::wstring& root, int runs) {
    const std::wstring launcher = Quote(root + L"\\station_launch.exe");
    const std::wstring pid_file = Quote(g_dir + L"\\relay.pid");
    // The copy that lock_exes.sh made unreadable; none where it could not.
    const std::wstring locked = root + L"\\locked\\velmo.exe";
    const bool have_locked = GetFileAttributesW(locked.c_str()) != INVALID_FILE_ATTRIBUTES;
    auto box_after = [&](const std::wstring& how, const std::wstring& exe, int run) {
        std::wstring text = L"Bench relay " + std::to_wstring(run) + how + (exe == locked ? L" locked" : L"");
        std::wstring cmd = launcher + how + L" " + pid_file + L" " + Quote(exe) + L" " + Quote(text) +
                           L" \"Bench relay\" \"Question|YesNo|DefButton2\" 3600";
        STARTUPINFOW si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        double t0 = Now();
        if (!CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, g_dir.c_str(), &si, &pi))
            return kMissing;
        kt::unique_handle process(pi.hProcess), thread(pi.hThread);
        HWND box = e2e::FindBoxWithText(text, e2e::kBoxWait);
        double took = box ? Now() - t0 : kMissing;
        if (box) PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDNO, BN_CLICKED), 0);
        if (WaitForSingleObject(process.get(), 30000) != WAIT_OBJECT_0) TerminateProcess(process.get(), 1);
        return took;
    };
    const std::wstring readable = root + L"\\velmo.exe";
    std::vector<double> direct, relayed, diff, start, from_locked, copy_cost, new_file, station;
    for (int r = 0; r < runs; ++r) {
        double d = box_after(L" --visible", readable, r);
        double y = box_after(L"", readable, r);
        direct.push_back(d);
        relayed.push_back(y);
        diff.push_back(y - d);
        // What the launcher's own window station costs, with a program that
        // does nothing: the test's, not velmo's.
        station.push_back(Life(launcher + L" " + pid_file + L" " + Quote(g_dir + L"\\noop.exe")) -
                          Life(launcher + L" --visible " + pid_file + L" " + Quote(g_dir + L"\\noop.exe")));
        if (have_locked) {
            double l = box_after(L"", locked, r);
            from_locked.push_back(l);
            copy_cost.push_back(l - y);
            // What any exe written just before costs at its first start, with
            // no relay: a fresh copy on the display against the same exe.
            std::wstring fresh = g_dir + L"\\fresh-copy.exe";
            DeleteFileW(fresh.c_str());
            if (CopyFileW(readable.c_str(), fresh.c_str(), FALSE))
                new_file.push_back(box_after(L" --visible", fresh, 1000 + r) - d);
            DeleteFileW(fresh.c_str());
        }
        start.push_back(Life(Quote(g_dir + L"\\noop.exe")));
    }
    printf("\n| start to box on screen, %d runs in turn, ms | on the display | relayed | median of the differences | "
           "start to end of a program that does nothing | the launcher's unseen station alone (noop: unseen - shown) |\n",
           runs);
    printf("|---|---|---|---|---|---|\n");
    printf("| velmo through the launcher | %s | %s | %s | %s | %s |\n", Cell(Median(direct), "%.0f").c_str(),
           Cell(Median(relayed), "%.0f").c_str(), Cell(Median(diff), "%+.0f").c_str(),
           Cell(Median(start), "%.0f").c_str(), Cell(Median(station), "%+.0f").c_str());
    printf("\n| relayed, start to box on screen, %d runs in turn, ms | from a readable folder | from a folder the user "
           "may not read (private copy) | median of the differences | a new exe file's first start on the display, "
           "no relay: median of the differences |\n",
           runs);
    printf("|---|---|---|---|---|\n");
    printf("| velmo through the launcher | %s | %s | %s | %s |\n", Cell(Median(relayed), "%.0f").c_str(),
           have_locked ? Cell(Median(from_locked), "%.0f").c_str() : "n/a (no locked copy: not root)",
           have_locked ? Cell(Median(copy_cost), "%+.0f").c_str() : "n/a",
           have_locked ? Cell(Median(new_file), "%+.0f").c_str() : "n/a");
}

// Start to the last box of n boxes: velmo relayed to n sessions (the
// WTSAPI32 double lists them; Wine shows every box on its one display)
// against n velmo boxes started directly at once. The relay should add its
// own start and about nothing per box.
void CompareSessions(const std::wstring& root, int runs) {
    e2e::WtsDouble double_dll(L"win10", root);
    if (!double_dll.installed()) {
        printf("\n(the sessions' figures: the WTSAPI32 double could not be put in the system folder)\n");
        return;
    }
    const std::wstring relayed_exe = g_dir + L"\\velmo_wts.exe";
    CopyFileW((root + L"\\velmo.exe").c_str(), relayed_exe.c_str(), FALSE);
    const std::wstring launcher = Quote(root + L"\\station_launch.exe"), pid_file = Quote(g_dir + L"\\sessions.pid");
    auto start = [](std::wstring cmd, std::vector<kt::unique_handle>& processes) {
        STARTUPINFOW si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        if (!CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, g_dir.c_str(), &si, &pi)) return;
        CloseHandle(pi.hThread);
        processes.emplace_back(pi.hProcess);
    };
    // Start to the n-th box; then every box is closed and every process ended.
    auto last_box = [&](bool relayed, int n, int run) {
        const std::wstring text = L"Bench sessions " + std::to_wstring(n) + (relayed ? L" relayed " : L" direct ") +
                                  std::to_wstring(run);
        const std::wstring args = L" " + Quote(text) + L" \"Bench sessions\" \"Question|YesNo|DefButton2\" 3600";
        std::vector<kt::unique_handle> processes;
        double t0 = Now();
        if (relayed) {
            SetEnvironmentVariableW(L"VELMO_WTS_SESSIONS", e2e::ActiveSessions(n).c_str());
            start(launcher + L" " + pid_file + L" " + Quote(relayed_exe) + args, processes);
            SetEnvironmentVariableW(L"VELMO_WTS_SESSIONS", nullptr);
        } else {
            for (int i = 0; i < n; ++i) start(Quote(root + L"\\velmo.exe") + args, processes);
        }
        std::vector<HWND> boxes = e2e::FindBoxesWithText(text, static_cast<size_t>(n), 120000);
        double took = boxes.size() == static_cast<size_t>(n) ? Now() - t0 : kMissing;
        // One answer ends the relayed boxes; the direct ones each need theirs.
        for (HWND box : boxes) {
            PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDNO, BN_CLICKED), 0);
            if (relayed) break;
        }
        for (kt::unique_handle& p : processes) {
            if (WaitForSingleObject(p.get(), 30000) != WAIT_OBJECT_0) TerminateProcess(p.get(), 1);
        }
        return took;
    };
    printf("\n| start to the last box, %d runs in turn, ms | n boxes started directly at once | relayed to n sessions "
           "| median of the differences |\n",
           runs);
    printf("|---|---|---|---|\n");
    for (int n : {1, 8, 32}) {
        std::vector<double> direct, relayed, diff;
        for (int r = 0; r < runs; ++r) {
            double d = last_box(false, n, r);
            double y = last_box(true, n, r);
            direct.push_back(d);
            relayed.push_back(y);
            diff.push_back(y - d);
        }
        printf("| %d | %s | %s | %s |\n", n, Cell(Median(direct), "%.0f").c_str(), Cell(Median(relayed), "%.0f").c_str(),
               Cell(Median(diff), "%+.0f").c_str());
    }
    DeleteFileW(relayed_exe.c_str());
}

// Sessions that arrive while velmo asks from where nobody sees it (the
// WTSAPI32 double, its sessions from a file): from the logon (the file
// rewritten) to the newcomer's box, told by a notification and seen by
// velmo's own reading of the sessions alone. (The asker's CPU while it
// waits is bench/run's, read from Linux: Wine's GetProcessTimes of another
// process is not to be trusted.)
void CompareFollow(const std::wstring& root, int runs) {
    e2e::WtsDouble double_dll(L"win10", root);
    if (!double_dll.installed()) {
        printf("\n(the arrivals' figures: the WTSAPI32 double could not be put in the system folder)\n");
        return;
    }
    const std::wstring relayed_exe = g_dir + L"\\velmo_wts.exe", file = g_dir + L"\\sessions.txt";
    CopyFileW((root + L"\\velmo.exe").c_str(), relayed_exe.c_str(), FALSE);
    const std::wstring launcher = Quote(root + L"\\station_launch.exe"), pid_file = g_dir + L"\\follow.pid";
    auto sessions = [&](const char* text) {
        const std::wstring next = file + L".new";
        kt::unique_handle f(CreateFileW(next.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD put = 0;
        if (f) WriteFile(f.get(), text, static_cast<DWORD>(strlen(text)), &put, nullptr);
        f.reset();
        MoveFileExW(next.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING);
    };
    auto start = [&](const std::wstring& args, bool notify) {
        sessions("1:active:WINE\\ann:-");
        SetEnvironmentVariableW(L"VELMO_WTS_SESSIONS_FILE", file.c_str());
        SetEnvironmentVariableW(L"VELMO_WTS_NOTIFY", notify ? nullptr : L"0");
        DeleteFileW(pid_file.c_str());
        std::wstring cmd = launcher + L" " + Quote(pid_file) + L" " + Quote(relayed_exe) + args;
        STARTUPINFOW si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        const BOOL ok = CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, g_dir.c_str(), &si, &pi);
        SetEnvironmentVariableW(L"VELMO_WTS_SESSIONS_FILE", nullptr);
        SetEnvironmentVariableW(L"VELMO_WTS_NOTIFY", nullptr);
        if (!ok) return kt::unique_handle();
        CloseHandle(pi.hThread);
        return kt::unique_handle(pi.hProcess);
    };
    auto newcomer = [&](bool notify, int run) {
        const std::wstring text = L"Bench follow " + std::to_wstring(notify) + L" " + std::to_wstring(run);
        kt::unique_handle p = start(L" " + Quote(text) + L" \"Bench follow\" \"Question|YesNo|DefButton2\" 3600", notify);
        double took = kMissing;
        std::vector<HWND> first = e2e::FindBoxesWithText(text, 1, 60000);
        if (p && first.size() == 1) {
            // Between two of velmo's readings, as a logon falls.
            Sleep(900);
            const double t0 = Now();
            sessions("1:active:WINE\\ann:-;2:active:WINE\\bob:-");
            if (e2e::FindBoxesWithText(text, 2, 30000).size() == 2) took = Now() - t0;
            PostMessageW(first[0], WM_COMMAND, MAKEWPARAM(IDNO, BN_CLICKED), 0);
        }
        if (p && WaitForSingleObject(p.get(), 30000) != WAIT_OBJECT_0) TerminateProcess(p.get(), 1);
        return took;
    };
    std::vector<double> notified, read;
    for (int r = 0; r < runs; ++r) {
        notified.push_back(newcomer(true, r));
        read.push_back(newcomer(false, r));
    }
    printf("\n| sessions that arrive while velmo asks, %d runs | told by a notification | seen by velmo's reading alone |\n", runs);
    printf("|---|---|---|\n");
    printf("| logon to the newcomer's box on screen, ms | %s | %s |\n", Cell(Median(notified), "%.0f").c_str(),
           Cell(Median(read), "%.0f").c_str());
    DeleteFileW(relayed_exe.c_str());
    DeleteFileW(file.c_str());
}

// CloseApps= with a few hundred processes running: start to box of the
// same box with and without it, in turn (one of the processes is the app,
// so that the box is shown), and the CPU each takes over a 10 s
// countdown, while the list is kept live once a second.
void CompareApps(const std::wstring& root, int runs) {
    const int kProcesses = 200;
    // The others are another program (a copy under another name): one
    // sleeper.exe among them is the app.
    const std::wstring other_exe = g_dir + L"\\busy.exe";
    CopyFileW((root + L"\\sleeper.exe").c_str(), other_exe.c_str(), FALSE);
    std::vector<kt::unique_handle> others;
    for (int i = 0; i < kProcesses; ++i) {
        std::wstring line = Quote(i == 0 ? root + L"\\sleeper.exe" : other_exe) + L" 600000 0";
        STARTUPINFOW si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, g_dir.c_str(), &si, &pi))
            break;
        CloseHandle(pi.hThread);
        others.emplace_back(pi.hProcess);
    }
    const std::wstring exe = Quote(root + L"\\velmo.exe");
    auto box = [&](const std::wstring& flags, int timeout, double* cpu_ms) {
        const std::wstring text = L"Bench apps " + flags;
        std::wstring line = exe + L" " + Quote(text) + L" \"Bench apps\" " + Quote(flags) + L" " + std::to_wstring(timeout);
        STARTUPINFOW si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        const double t0 = Now();
        if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, g_dir.c_str(), &si, &pi)) return kMissing;
        kt::unique_handle process(pi.hProcess), thread(pi.hThread);
        HWND w = e2e::FindBox(pi.dwProcessId, e2e::kBoxWait);
        const double took = w ? Now() - t0 : kMissing;
        if (w && !cpu_ms) PostMessageW(w, WM_COMMAND, MAKEWPARAM(IDNO, BN_CLICKED), 0);
        if (WaitForSingleObject(process.get(), 60000) != WAIT_OBJECT_0) TerminateProcess(process.get(), 1);
        if (cpu_ms) {
            FILETIME c, e, k, u;
            GetProcessTimes(process.get(), &c, &e, &k, &u);
            auto ms = [](const FILETIME& f) { return ((static_cast<ULONGLONG>(f.dwHighDateTime) << 32) | f.dwLowDateTime) / 1e4; };
            *cpu_ms = ms(k) + ms(u);
        }
        return took;
    };
    std::vector<double> plain, apps, diff, cpu_plain, cpu_apps;
    for (int r = 0; r < runs; ++r) {
        const double a = box(L"Question|YesNo|DefButton2", 3600, nullptr);
        const double b = box(L"Question|YesNo|DefButton2|CloseApps=sleeper", 3600, nullptr);
        plain.push_back(a);
        apps.push_back(b);
        diff.push_back(b - a);
    }
    for (int r = 0; r < std::max(1, runs / 3); ++r) {
        double c1 = kMissing, c2 = kMissing;
        // DefButton2: the countdown answers No, which closes nothing.
        box(L"Question|YesNo|DefButton2", 10, &c1);
        box(L"Question|YesNo|DefButton2|CloseApps=sleeper", 10, &c2);
        cpu_plain.push_back(c1);
        cpu_apps.push_back(c2);
    }
    for (kt::unique_handle& h : others) TerminateProcess(h.get(), 0);
    for (kt::unique_handle& h : others) WaitForSingleObject(h.get(), 5000);
    DeleteFileW(other_exe.c_str());
    printf("\n| CloseApps= with %d other processes running, %d runs in turn | without | with CloseApps= | median of the differences |\n",
           static_cast<int>(others.size()), runs);
    printf("|---|---|---|---|\n");
    printf("| start to box on screen, ms | %s | %s | %s |\n", Cell(Median(plain), "%.0f").c_str(),
           Cell(Median(apps), "%.0f").c_str(), Cell(Median(diff), "%+.0f").c_str());
    printf("| CPU of a 10 s countdown box (user + kernel), ms | %s | %s | |\n", Cell(Median(cpu_plain), "%.0f").c_str(),
           Cell(Median(cpu_apps), "%.0f").c_str());
}

// Run: a command of one second with velmo's notice around it against the
// same command alone, start to end, in turn; and a program that does
// nothing, for the cost of one process start.
void CompareRun(const std::wstring& root, int runs) {
    const std::wstring command = Quote(root + L"\\sleeper.exe") + L" 1000 0";
    std::vector<double> alone, with, diff, start;
    for (int r = 0; r < runs; ++r) {
        double a = Life(command);
        double w = Life(Quote(root + L"\\velmo.exe") + L" \"Bench run " + std::to_wstring(r) +
                        L"\" \"Bench run\" \"Information|NoButtons|Run\" 0 " + command);
        alone.push_back(a);
        with.push_back(w);
        diff.push_back(w - a);
        start.push_back(Life(Quote(g_dir + L"\\noop.exe")));
    }
    printf("\n| start to end, %d runs in turn, ms | a 1 s command alone | with velmo's notice (Run) | median of the "
           "differences | start to end of a program that does nothing |\n",
           runs);
    printf("|---|---|---|---|---|\n");
    printf("| sleeper.exe 1000 | %s | %s | %s | %s |\n", Cell(Median(alone), "%.0f").c_str(),
           Cell(Median(with), "%.0f").c_str(), Cell(Median(diff), "%+.0f").c_str(), Cell(Median(start), "%.0f").c_str());
}

int wmain(int argc, wchar_t** argv) {
    if (argc > 3 && std::wstring(argv[1]).compare(0, 5, L"close") == 0)
        return CloseLater(argv[2], static_cast<DWORD>(_wtoi(argv[3])), std::wstring(argv[1]) == L"close-text");
    // "compare <runs>": only the pairs run in turn.
    bool compare_only = argc > 2 && std::wstring(argv[1]) == L"compare";
    int runs = compare_only ? _wtoi(argv[2]) : (argc > 1 ? _wtoi(argv[1]) : 5);
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    g_dir = exe;
    g_dir = g_dir.substr(0, g_dir.find_last_of(L'\\'));
    std::wstring root = g_dir.substr(0, g_dir.find_last_of(L'\\'));

    // The words of the labelled box as a texts file (UTF-8, with a mark).
    const std::wstring texts_file = g_dir + L"\\bench-texts.txt";
    {
        const char kTexts[] =
            "\xEF\xBB\xBF[*]\r\nCaption=Bench texts\r\nText=Proceed?\r\nButton1=&Restart now\r\n"
            "Button2=Remind me in &four hours\r\nButton3=Remind me &tomorrow morning\r\n";
        kt::unique_handle f(CreateFileW(texts_file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD put = 0;
        if (f) WriteFile(f.get(), kTexts, sizeof kTexts - 1, &put, nullptr);
    }
    // The same words after 7,000 sections of other languages: a texts file
    // of about 64 KB, whose repeated sections are looked for in each.
    const std::wstring big_texts_file = g_dir + L"\\bench-texts-64k.txt";
    {
        std::string big = "\xEF\xBB\xBF";
        for (int i = 0; i < 7000; ++i) big += "[a" + std::to_string(i) + "]\n";
        big += "[*]\r\nCaption=Bench texts\r\nText=Proceed?\r\nButton1=&Restart now\r\n"
               "Button2=Remind me in &four hours\r\nButton3=Remind me &tomorrow morning\r\n";
        kt::unique_handle f(CreateFileW(big_texts_file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD put = 0;
        if (f) WriteFile(f.get(), big.data(), static_cast<DWORD>(big.size()), &put, nullptr);
    }
    auto velmo_with = [](const std::wstring& exe, const std::wstring& flags) {
        return [exe, flags](const std::wstring& cap, int t) {
            return Quote(exe) + L" Proceed? " + Quote(cap) + L" " + Quote(flags) + L" " + std::to_wstring(t ? t : 3600);
        };
    };
    auto velmo = [&](const std::wstring& exe) { return velmo_with(exe, L"Question|YesNo|DefButton2"); };
    // The same three-button box with and without the caller's words.
    const std::wstring three = L"Question|YesNoCancel|DefButton2";
    const std::wstring labels =
        L"|Button1=&Restart now|Button2=Remind me in &four hours|Button3=Remind me &tomorrow morning";
    std::vector<Peer> peers = {
        {L"velmo", velmo(root + L"\\velmo.exe"), true},
        {L"velmo, Guard", velmo_with(root + L"\\velmo.exe", L"Question|YesNo|DefButton2|Guard"), true},
        {L"velmo, a label", velmo_with(root + L"\\velmo.exe", L"Question|YesNo|DefButton2|Button2=&Later ({left})"), true},
        // Deferrals: the record read at the start (and, as the driver clicks
        // the defer button, written at the end); a fresh record each run.
        {L"velmo, Defer=",
         [&](const std::wstring& cap, int t) {
             for (HKEY root_key : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER})
                 RegDeleteKeyExW(root_key, L"SOFTWARE\\velmo\\Deferrals\\velmo-bench", KEY_WOW64_64KEY, 0);
             return velmo_with(root + L"\\velmo.exe", L"Question|YesNo|DefButton2|Button2=&Later ({left})|Defer=velmo-bench:99")(
                 cap, t);
         },
         true},
        {L"velmo, 3 buttons", velmo_with(root + L"\\velmo.exe", three), true},
        {L"velmo, 3 buttons, 3 labels", velmo_with(root + L"\\velmo.exe", three + labels), true},
        // The same words (caption, text and labels) from a texts file.
        {L"velmo, the same from a texts file",
         [&](const std::wstring&, int t) {
             return Quote(root + L"\\velmo.exe") + L" \"\" \"\" " + Quote(three + L"|Texts=" + texts_file) + L" " +
                    std::to_wstring(t ? t : 3600);
         },
         true},
        {L"velmo, the same from a 64 KB texts file",
         [&](const std::wstring&, int t) {
             return Quote(root + L"\\velmo.exe") + L" \"\" \"\" " + Quote(three + L"|Texts=" + big_texts_file) + L" " +
                    std::to_wstring(t ? t : 3600);
         },
         true},
        {L"MessageBoxW + manifest",
         [&](const std::wstring& cap, int) { return Quote(g_dir + L"\\peer_manifest.exe") + L" Proceed? " + Quote(cap); },
         false},
        {L"MessageBoxW only",
         [&](const std::wstring& cap, int) { return Quote(g_dir + L"\\peer_msgbox.exe") + L" Proceed? " + Quote(cap); },
         false},
        {L"WSH Popup",
         [&](const std::wstring& cap, int t) {
             return L"wscript.exe " + Quote(g_dir + L"\\popup.js") + L" Proceed? " + Quote(cap) + L" " +
                    std::to_wstring(t);
         },
         true},
    };
    // An earlier velmo.exe measured in the same run (its Windows path).
    std::wstring before_exe;
    if (const wchar_t* b = _wgetenv(L"VELMO_BENCH_BEFORE")) before_exe = b;
    if (!before_exe.empty()) peers.insert(peers.begin(), Peer{L"velmo before", velmo(before_exe), true});
    const size_t kPeers = peers.size();

    auto named = [&](const wchar_t* name) {
        for (const Peer& p : peers) {
            if (std::wstring(p.name) == name) return &p;
        }
        return static_cast<const Peer*>(nullptr);
    };
    std::vector<std::pair<const Peer*, const Peer*>> pairs = {
        {named(L"velmo"), named(L"velmo, Guard")},
        {named(L"velmo, a label"), named(L"velmo, Defer=")},
        {named(L"velmo, 3 buttons"), named(L"velmo, 3 buttons, 3 labels")},
        {named(L"velmo, 3 buttons, 3 labels"), named(L"velmo, the same from a texts file")},
        {named(L"velmo, the same from a texts file"), named(L"velmo, the same from a 64 KB texts file")}};
    // The earlier build against this one, in turn.
    if (!before_exe.empty()) pairs.insert(pairs.begin(), {named(L"velmo before"), named(L"velmo")});
    if (compare_only) {
        ComparePairs(pairs, runs);
        CompareRelay(root, runs);
        CompareSessions(root, runs);
        CompareRun(root, runs);
        return 0;
    }
    // "run <runs>": only the figures of Run.
    if (argc > 2 && std::wstring(argv[1]) == L"run") {
        CompareRun(root, _wtoi(argv[2]));
        return 0;
    }
    // "apps <runs>": only CloseApps='s figures.
    if (argc > 2 && std::wstring(argv[1]) == L"apps") {
        CompareApps(root, _wtoi(argv[2]));
        return 0;
    }
    // "relay <runs>": only the relay's figures.
    if (argc > 2 && std::wstring(argv[1]) == L"relay") {
        CompareRelay(root, _wtoi(argv[2]));
        return 0;
    }
    // "follow <runs>": only the figures of sessions that arrive.
    if (argc > 2 && std::wstring(argv[1]) == L"follow") {
        CompareFollow(root, _wtoi(argv[2]));
        return 0;
    }
    // "sessions <runs>": only the sessions' figures.
    if (argc > 2 && std::wstring(argv[1]) == L"sessions") {
        CompareSessions(root, _wtoi(argv[2]));
        return 0;
    }

    struct Row {
        std::string name;
        std::vector<std::string> cells;
    };
    std::vector<Row> rows = {
        {"start to box on screen, ms", {}},
        {"click on a button to end of process, ms", {}},
        {"box closed by the 2 s timeout, ms after the deadline (from the box on screen)", {}},
        {"10 s countdown: largest distance of a title from its second (from [10]), ms", {}},
        {"10 s countdown: box gone after the deadline, ms", {}},
    };
    for (const Peer& peer : peers) {
        bool is_velmo = IsVelmo(peer);
        std::vector<double> to_box, ended, late, worst, gone;
        for (int r = 0; r < runs; ++r) {
            Sample s = RunOnce(peer, 0, 200, r);
            to_box.push_back(s.to_box_ms);
            ended.push_back(s.ended_ms);
            if (peer.has_timeout) {
                Sample t = RunOnce(peer, 2, 0, 100 + r);
                late.push_back(t.closed_ms - 2000);
            }
            if (is_velmo) {
                Ticks k = WatchCountdown(peer, r);
                worst.push_back(k.worst_title_ms);
                gone.push_back(k.gone_ms);
            }
        }
        rows[0].cells.push_back(Cell(Median(to_box), "%.0f"));
        rows[1].cells.push_back(Cell(Median(ended), "%.0f"));
        rows[2].cells.push_back(peer.has_timeout ? Cell(Median(late), "%+.0f") : "n/a (no timeout)");
        rows[3].cells.push_back(is_velmo ? Cell(Median(worst), "%.0f") : "n/a");
        rows[4].cells.push_back(is_velmo ? Cell(Median(gone), "%+.0f") : "n/a");
        fwprintf(stderr, L"measured %ls\n", peer.name);
    }
    printf("| median of %d runs |", runs);
    for (const Peer& peer : peers) printf(" %ls |", peer.name);
    printf("\n|---|");
    for (size_t p = 0; p < kPeers; ++p) printf("---|");
    printf("\n");
    for (const Row& r : rows) {
        printf("| %s |", r.name.c_str());
        for (const std::string& c : r.cells) printf(" %s |", c.c_str());
        printf("\n");
    }
    ComparePairs(pairs, runs * 5);
    CompareRelay(root, runs * 5);
    CompareSessions(root, runs);
    CompareRun(root, runs * 3);
    CompareApps(root, runs);
    CompareFollow(root, runs);
    // A velmo figure that could not be measured fails the run.
    for (const Row& r : rows) {
        for (size_t p = 0; p < kPeers; ++p) {
            if (IsVelmo(peers[p]) && r.cells[p] == "n/a") return 1;
        }
    }
    return 0;
}
