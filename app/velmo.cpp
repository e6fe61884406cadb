// velmo: shows a message box for a batch file and returns the clicked button
// as the exit code; with a timeout the box counts down and clicks its default
// button at zero. Built twice: velmo.exe (GUI) and velmoc.exe (VELMO_CONSOLE:
// a console program, which shells wait for, that also writes the answer to
// stdout and its help to stderr instead of a help box).
#include <windows.h>

#include <algorithm>
#include <mutex>
#include <thread>

#include "Log/Log.h"
#include "app/Box.h"
#include "app/Close.h"
#include "app/CmdLine.h"
#include "app/Command.h"
#include "app/Console.h"
#include "app/Deferral.h"
#include "app/Relayed.h"
#include "app/Texts.h"
#include "app/Unseen.h"
#include "app/resource.h"
#include "gen/module.h"
#include "io/security.h"
#include "relay/Relay.h"
#include "win32gui/MsgBoxAC.h"

namespace {

// seen: whether a box would be seen at all.
void ShowHelp(const kt::result& error, bool seen) {
    kt::module self;
    std::wstring help = self.LoadStr(IDS_HELP);
#ifdef VELMO_CONSOLE
    (void)seen;
    WriteText(GetStdHandle(STD_ERROR_HANDLE), error.text() + L"\n" + help);
#else
    (void)error;
    // A help box that no one can see would hold the job up for nothing.
    if (!seen) return;
    std::wstring caption = self.LoadStr(IDS_HELP_CAPTION);
    // A caller that asked for a countdown is not left waiting on the help
    // box: it counts down too (the exit code stays 87).
    int32_t timeout = HelpTimeout(GetCommandLineW());
    // Taller than a small or scaled screen: fitted to it.
    kt::MsgBoxLook fitted;
    fitted.fit_text = true;
    if (timeout != 0)
        kt::MsgBoxAC(GetDesktopWindow(), help, caption, MB_ICONINFORMATION, static_cast<uint32_t>(timeout), false,
                     nullptr, fitted);
    else
        kt::ShowMsgBox(GetDesktopWindow(), help, caption, MB_ICONINFORMATION, fitted);
#endif
}

// Run with CloseApps= on this desktop: the notice names the apps while they
// close; the command starts only once none of them runs (else 1618); while
// it runs they are kept closed; with Reopen they start again after it.
int CloseAndRun(const MsgBoxParams& params) {
    const DWORD session = OwnSession();
    const std::vector<kt::RunningApp> shown = kt::AppFinder(params.close.apps).Find(session, params.close.reopen);
    MsgBoxParams words = params;
    ApplyApps(words, params, shown);
    words.look.refresh = FollowApps(params, session, false);
    Notice notice(words);
    Closing closing;
    if (!shown.empty()) {
        closing = CloseApps(params.close, session, shown, params.close.reopen);
        if (!closing.AllEnded()) {
            kt::log_printf(kt::get_log(), "RUN", "an app still runs: the command is not started (1618)");
            return kRetryLater;
        }
    }
    Command command;
    if (command.Start(params.command)) return static_cast<int>(kCannotRun);
    KeepAppsClosed(command.process(), params.close, session);
    const DWORD code = command.Wait();
    notice.Done();
    if (params.close.reopen) Reopen(closing);
    return static_cast<int>(code);
}

// Run with CloseApps= from where nobody sees it: the notice is relayed and
// each run closes its person's apps at once; once they have all said how
// (or the closing's wait and half a minute have passed), the command starts
// where none runs any more (ForceClose: what still runs ended), else 1618.
// With Reopen each app starts again as its person once the command ends.
int CloseAndRunUnseen(const MsgBoxParams& given) {
    kt::Log* log = kt::get_log();
    const std::vector<kt::RunningApp> before = kt::AppFinder(given.close.apps).Find(kt::kAllSessions, given.close.reopen);
    kt::unique_handle done(CreateEventW(nullptr, TRUE, FALSE, nullptr)), reported(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::mutex lock;
    std::vector<kt::RelayRun::Closed> reports;
    std::thread relay([&] {
        // Nothing may leave a thread procedure.
        try {
            NoticeToUsers(given, done.get(), [&](const std::vector<kt::RelayRun::Closed>& r) {
                std::lock_guard<std::mutex> hold(lock);
                reports = r;
                SetEvent(reported.get());
            });
        } catch (...) {
        }
        // A relay that ended (nobody to ask) has nothing more to report.
        SetEvent(reported.get());
    });
    auto finish = kt::scope_exit([&] {
        SetEvent(done.get());
        relay.join();
    });
    if (WaitForSingleObject(reported.get(), given.close.wait_s * 1000 + kt::kRelaySlackMs) != WAIT_OBJECT_0)
        kt::log_printf(log, "APP", "not every relayed run reported its apps in time");
    Closing closed;
    std::vector<kt::RelayRun::Closed> got;
    {
        std::lock_guard<std::mutex> hold(lock);
        got = reports;
    }
    if (ConcludeClosing(given, before, got, &closed) == kRetryLater) {
        kt::log_printf(log, "RUN", "an app still runs: the command is not started (1618)");
        return kRetryLater;
    }
    Command command;
    if (command.Start(given.command)) return static_cast<int>(kCannotRun);
    const DWORD code = command.Wait();
    SetEvent(done.get());
    if (given.close.reopen) ReopenAsTheirPersons(closed);
    return static_cast<int>(code);
}

// Run: the command, and the notice while it runs. Its exit code, or
// kCannotRun where it cannot be started (no notice then).
int RunWithNotice(MsgBoxParams& params, const MsgBoxParams& given, bool seen) {
    kt::Log* log = kt::get_log();
    if (seen && params.close.given()) return CloseAndRun(params);
    if (!seen && params.close.given()) return CloseAndRunUnseen(given);
    Command command;
    if (command.Start(params.command)) return static_cast<int>(kCannotRun);
    if (seen) {
        // A command's remaining time is not known: no falling number.
        params.look.quiet_title = true;
        params.look.ends_with = command.process();
        // A command that is done already needs no notice.
        if (!command.Ended()) {
            ShowBox(params);
            kt::log_printf(log, "RUN", command.Ended() ? "the notice went with the command's end"
                                                       : "the notice was closed; the command goes on");
        }
    } else {
        NoticeToUsers(given, command.process());
    }
    return static_cast<int>(command.Wait());
}

// A question on this desktop: a person's click of the defer button takes a
// deferral then; the count is kept once the box has ended. With
// CloseApps= nobody is asked for nothing: none of the apps running, button
// 1's answer at once; else the box names them while it is up, and button 1
// closes them (1618 where one would not close).
// Whether DeferInterval= holds the prompt back: it holds a prompt, not an
// install that needs none (CloseApps= with none of its apps running
// answers button 1 as before).
bool Held(const MsgBoxParams& params, const DeferralsNow& deferrals, bool seen) {
    if (!deferrals.held_until) return false;
    if (!params.close.given()) return true;
    return !kt::AppFinder(params.close.apps).Find(seen ? OwnSession() : kt::kAllSessions).empty();
}

int Ask(MsgBoxParams& params, const DeferralsNow& deferrals) {
    const std::wstring who = kt::OwnUser();
    if (params.look.deferral >= 0) {
        params.look.take = [&params, &deferrals, &who] {
            int left = 0;
            return TakeDeferral(params, deferrals, who, left);
        };
    }
    const DWORD session = OwnSession();
    std::vector<kt::RunningApp> shown;
    if (params.close.given()) {
        shown = kt::AppFinder(params.close.apps).Find(session);
        if (shown.empty()) {
            kt::log_printf(kt::get_log(), "APP", "none of the apps runs: no box, button 1's answer");
            return Button1Answer(params);
        }
        const MsgBoxParams written = params;
        ApplyApps(params, written, shown);
        params.look.refresh = FollowApps(written, session, true);
    }
    Shown shown_box = ShowBox(params);
    kt::Outcome o = kt::OutcomeOf(shown_box.answer, shown_box.end, AskedOf(params));
    // A box velmo could not watch answered Later without asking: the
    // deferral is taken now, and without one the answer is nobody's.
    if (!shown_box.end.watched && params.look.deferral >= 0 && o.ending == kt::enPerson &&
        o.answer == static_cast<int>(kt::ButtonItem(params.flags, static_cast<unsigned>(params.look.deferral)))) {
        int left = 0;
        shown_box.end.taken = TakeDeferral(params, deferrals, who, left);
        if (!shown_box.end.taken) {
            o = kt::Outcome();
            shown_box.answer = NobodyAnswer(params);
        }
    }
    KeepDeferrals(params, o, who, shown_box.end.taken);
    if (!params.close.given() || o.ending == kt::enNone || !IsButton1(shown_box.answer, params)) return shown_box.answer;
    return CloseApps(params.close, session, shown).AllEnded() ? Button1Answer(params) : kRetryLater;
}

int Run() {
    kt::Log* log = kt::get_log();
    log->start();
    kt::log_printf(log, "A\xB7\xB7", "velmo start");

    int exit_code = 0;
    HANDLE channel = nullptr;
    if (kt::ReadRelayedWord(GetCommandLineW(), channel)) {
        exit_code = RunRelayed(channel);
        kt::log_printf(log, "A\xB7\xB7", "velmo end(%u)", static_cast<unsigned>(exit_code));
        log->stop(INFINITE);
        return exit_code;
    }
    MsgBoxParams params;
    kt::result parsed = ParseCmdLine(params);
    // A service's window station, or a task's run without the user: a box
    // there is shown to no one.
    const bool seen = kt::StationVisible();
    if (!seen) kt::log_printf(log, "RLY", "the window station is not visible");
    // A texts file is a part of the command line: a bad one is a bad command
    // line.
    if (parsed.ok()) parsed = LoadTexts(params);
    // The command line's own words, with the file's content: an asker asks
    // in the language of the person it finds.
    const MsgBoxParams given = params;
    if (parsed.ok() && !params.texts.empty()) {
        const std::wstring language = kt::UiLanguage();
        kt::SectionChoice choice;
        parsed = ApplyTexts(params, language, &choice);
        kt::log_wprintf(log, L"TXT", L"texts from '%s': section [%s] for %s (%s)", params.texts.c_str(),
                        choice.tag.c_str(), language.c_str(), kt::SectionMatchText(choice.how));
    }
    if (!parsed.ok() && !params.texts.empty()) kt::log_wprintf(log, L"TXT", L"%s", parsed.text().c_str());
    // The deferrals left and the deadline, from the store.
    DeferralsNow deferrals;
    if (parsed.ok() && params.defer.given()) {
        deferrals = DeferralsBefore(params);
        ApplyDeferral(params, deferrals, LOCALE_NAME_USER_DEFAULT);
    }
    if (parsed.ok() && params.run) {
        exit_code = RunWithNotice(params, given, seen);
    } else if (parsed.ok() && Held(params, deferrals, seen)) {
        // Deferred a moment ago (DeferInterval=): no box; the defer button's
        // answer, and no deferral used.
        exit_code = static_cast<int>(kt::ButtonItem(params.flags, 1));
        kt::log_printf(log, "DFR", "no prompt yet: answer %d, no deferral used", exit_code);
#ifdef VELMO_CONSOLE
        if (const char* name = AnswerName(exit_code)) WriteText(GetStdHandle(STD_OUTPUT_HANDLE), kt::AnsiToWide(name) + L"\n");
#endif
    } else if (parsed.ok()) {
        exit_code = seen ? Ask(params, deferrals) : AskUser(given, deferrals);
#ifdef VELMO_CONSOLE
        if (const char* name = AnswerName(exit_code)) WriteText(GetStdHandle(STD_OUTPUT_HANDLE), kt::AnsiToWide(name) + L"\n");
#endif
    } else {
        ShowHelp(parsed, seen);
        exit_code = ERROR_INVALID_PARAMETER;
    }

    kt::log_printf(log, "A\xB7\xB7", "velmo end(%u)", static_cast<unsigned>(exit_code));
    log->stop(INFINITE);
    return exit_code;
}

}  // namespace

#ifdef VELMO_CONSOLE
int wmain() { return Run(); }
#else
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return Run(); }
#endif
