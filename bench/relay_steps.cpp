// The relayed start, step by step, as the asking velmo makes it (in this
// process, as the account the bench runs as): the sessions read, the
// person's token, the check of their access to the exe, their environment
// block, the channel, the process start in the job, and the relayed run's
// box on screen; beside the same box started directly, and a program that
// does nothing. Medians of every step, in ms.
//   relay_steps.exe <runs>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "app/CmdLine.h"
#include "app/Relayed.h"
#include "gen/module.h"
#include "relay/Channel.h"
#include "relay/Dlls.h"
#include "relay/Session.h"
#include "relay/Start.h"
#include "tests/e2e/harness.h"
#include "threads/job.h"

namespace {

double Now() {
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return 1000.0 * c.QuadPart / f.QuadPart;
}

double Median(std::vector<double> v) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// A process through create, its box found by text and answered; start to
// box on screen, or -1.
double ToBox(const std::function<bool(PROCESS_INFORMATION&)>& create, const std::wstring& text,
             const std::function<void()>& after_start = nullptr) {
    PROCESS_INFORMATION pi{};
    const double t0 = Now();
    if (!create(pi)) return -1;
    kt::unique_handle process(pi.hProcess), thread(pi.hThread);
    if (after_start) after_start();
    HWND box = e2e::FindBoxWithText(text, e2e::kBoxWait);
    const double took = box ? Now() - t0 : -1;
    if (box) PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDNO, BN_CLICKED), 0);
    if (WaitForSingleObject(process.get(), 30000) != WAIT_OBJECT_0) TerminateProcess(process.get(), 1);
    return took;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const int runs = argc > 1 ? std::max(1, _wtoi(argv[1])) : 9;
    const std::wstring dir = e2e::ExeDir();
    const std::wstring velmo = dir + L"\\..\\velmo.exe", noop = dir + L"\\noop.exe";
    std::vector<double> sessions, token, may_run, env, channel, start, relayed_box, direct_box, nothing;
    kt::RelayDlls dlls;
    if (!dlls.loaded.ok()) {
        fwprintf(stderr, L"cannot load the relay's DLLs: %ls\n", dlls.loaded.str().c_str());
        return 1;
    }
    for (int r = 0; r < runs; ++r) {
        double t = Now();
        const kt::SessionReport report = kt::ReadSessions(dlls);
        sessions.push_back(Now() - t);
        t = Now();
        std::vector<std::pair<DWORD, kt::unique_handle>> tokens;
        kt::ChooseUsers(dlls, report, kt::scAll, tokens);
        token.push_back(Now() - t);
        if (tokens.empty()) {
            fwprintf(stderr, L"nobody to ask here\n");
            return 1;
        }
        HANDLE user = tokens[0].second.get();
        t = Now();
        kt::UserMayRun(user, velmo);
        may_run.push_back(Now() - t);
        t = Now();
        LPVOID block = nullptr;
        dlls.create_env(&block, user, FALSE);
        env.push_back(Now() - t);

        // The relayed run: its channel, its start in a job, its box.
        const std::wstring text = L"Bench relay steps " + std::to_wstring(r);
        MsgBoxParams p;
        ParseCmdLine(p, (L"velmo.exe \"" + text + L"\" \"Bench relay\" \"Question|YesNo|DefButton2\" 3600").c_str());
        t = Now();
        kt::ChannelPipe pipe;
        kt::MakeChannel(pipe);
        kt::PortChannel asker(std::move(pipe.asker), 0);
        kt::unique_handle port(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
        asker.Send(QuestionMessage(p, 3600));
        asker.Open(port.get(), 1);
        channel.push_back(Now() - t);
        kt::KillOnCloseJob job;
        job.create();
        double started_ms = -1;
        relayed_box.push_back(ToBox(
            [&](PROCESS_INFORMATION& pi) {
                SIZE_T size = 0;
                InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
                std::string attributes(size, '\0');
                auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(&attributes[0]);
                HANDLE inherited = pipe.run.get();
                InitializeProcThreadAttributeList(list, 1, 0, &size);
                UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &inherited, sizeof inherited,
                                          nullptr, nullptr);
                STARTUPINFOEXW si{};
                si.StartupInfo.cb = sizeof si;
                si.lpAttributeList = list;
                const std::wstring line = L"\"" + velmo + L"\" " + kt::RelayedWord(pipe.run.get());
                const double s = Now();
                kt::StartedProcess started;
                const DWORD e = kt::StartInJob(
                    job.get(),
                    [&](DWORD flags, PROCESS_INFORMATION& created) {
                        std::wstring l = line;
                        return kt::ErrorUnless(CreateProcessAsUserW(
                            user, velmo.c_str(), &l[0], nullptr, nullptr, TRUE,
                            CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW |
                                EXTENDED_STARTUPINFO_PRESENT | flags,
                            block, nullptr, &si.StartupInfo, &created));
                    },
                    started);
                started_ms = Now() - s;
                DeleteProcThreadAttributeList(list);
                pipe.run.reset();
                if (e) return false;
                pi.hProcess = started.process.release();
                pi.hThread = nullptr;
                return true;
            },
            text));
        start.push_back(started_ms);
        dlls.destroy_env(block);
        asker.Close();

        // The same box started directly, and a program that does nothing.
        const std::wstring direct_text = L"Bench direct steps " + std::to_wstring(r);
        direct_box.push_back(ToBox(
            [&](PROCESS_INFORMATION& pi) {
                std::wstring line = L"\"" + velmo + L"\" \"" + direct_text + L"\" \"Bench relay\" \"Question|YesNo|DefButton2\" 3600";
                STARTUPINFOW si{};
                si.cb = sizeof si;
                return CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi) != 0;
            },
            direct_text));
        t = Now();
        std::wstring line = L"\"" + noop + L"\"";
        STARTUPINFOW si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        if (CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi)) {
            WaitForSingleObject(pi.hProcess, 30000);
            CloseHandle(pi.hProcess);
            CloseHandle(pi.hThread);
            nothing.push_back(Now() - t);
        }
    }
    printf("\n| the relayed start, step by step, median of %d runs | ms |\n|---|---|\n", runs);
    printf("| sessions read (WTSEnumerateSessionsW, WTSQuerySessionInformationW) | %.1f |\n", Median(sessions));
    printf("| the person's token (WTSQueryUserToken) | %.1f |\n", Median(token));
    printf("| their access to the exe (AccessCheck) | %.1f |\n", Median(may_run));
    printf("| their environment block (CreateEnvironmentBlock) | %.1f |\n", Median(env));
    printf("| the channel (a pipe, its port, the question queued) | %.1f |\n", Median(channel));
    printf("| the process start in the job (CreateProcessAsUserW, AssignProcessToJobObject) | %.1f |\n", Median(start));
    printf("| process start to the relayed box on screen | %.0f |\n", Median(relayed_box));
    printf("| the same box started directly, start to box on screen | %.0f |\n", Median(direct_box));
    printf("| start to end of a program that does nothing | %.0f |\n", Median(nothing));
    return 0;
}
