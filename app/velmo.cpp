// velmo: shows a message box for a batch file and returns the clicked button
// as the exit code; with a timeout the box counts down and clicks its default
// button at zero. Built twice: velmo.exe (GUI) and velmoc.exe (VELMO_CONSOLE:
// a console program, which shells wait for, that also writes the answer to
// stdout and its help to stderr instead of a help box).
#include <windows.h>

#include "Log/Log.h"
#include "app/Box.h"
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

// Run: the command, and the notice while it runs. Its exit code, or
// kCannotRun where it cannot be started (no notice then).
int RunWithNotice(MsgBoxParams& params, const MsgBoxParams& given, bool seen) {
    kt::Log* log = kt::get_log();
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
// deferral then; the count is kept once the box has ended.
int Ask(MsgBoxParams& params, const DeferralsNow& deferrals) {
    const std::wstring who = kt::OwnUser();
    if (params.look.deferral >= 0) {
        params.look.take = [&params, &deferrals, &who] {
            int left = 0;
            return TakeDeferral(params, deferrals, who, left);
        };
    }
    const Shown shown = ShowBox(params);
    KeepDeferrals(params, kt::OutcomeOf(shown.answer, shown.end, AskedOf(params)), who, shown.end.taken);
    return shown.answer;
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
