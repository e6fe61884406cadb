// velmo: shows a message box for a batch file and returns the clicked button
// as the exit code; with a timeout the box counts down and clicks its default
// button at zero. Built twice: velmo.exe (GUI) and velmoc.exe (VELMO_CONSOLE:
// a console program, which shells wait for, that also writes the answer to
// stdout and its help to stderr instead of a help box).
#include <windows.h>

#include "Log/Log.h"
#include "app/CmdLine.h"
#include "app/Command.h"
#include "app/Console.h"
#include "app/Deferral.h"
#include "app/Texts.h"
#include "app/Unseen.h"
#include "app/resource.h"
#include "gen/module.h"
#include "io/security.h"
#include "win32gui/MsgBoxAC.h"
#include "relay/Relay.h"

namespace {

// The box's answer; *by_countdown: whether the countdown closed it.
int ShowBox(const MsgBoxParams& params, bool* by_countdown = nullptr) {
    if (params.timeout == 0)
        return kt::ShowMsgBox(GetDesktopWindow(), params.text, params.caption, params.flags | MB_SETFOREGROUND,
                              params.look);
    // A negative timeout is taken as the same 32 bits, unsigned.
    bool closed_at_zero = false;
    int answer = kt::MsgBoxAC(GetDesktopWindow(), params.text, params.caption, params.flags | MB_SETFOREGROUND,
                              static_cast<uint32_t>(params.timeout), !params.buttons, &closed_at_zero, params.look);
    if (by_countdown) *by_countdown = closed_at_zero;
    // Nobody answered: a script that asked for it can tell.
    return params.report_timeout && closed_at_zero ? kExitTimedOut : answer;
}

// seen: whether a box would be seen at all; relayed: whether the asking
// velmo speaks for this run.
void ShowHelp(const kt::result& error, bool seen, bool relayed) {
    kt::module self;
    std::wstring help = self.LoadStr(IDS_HELP);
#ifdef VELMO_CONSOLE
    (void)seen;
    if (!relayed) WriteText(GetStdHandle(STD_ERROR_HANDLE), error.text() + L"\n" + help);
#else
    (void)relayed;
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

// The profile's language of this process's user (kt::UserUiLanguage).
std::wstring OwnUiLanguage() { return kt::UserUiLanguage(kt::OwnToken().get()); }

// Run: the command, and the notice while it runs. Its exit code, or
// kCannotRun where it cannot be started (no notice then). A relayed run
// shows the notice alone: its asker runs the command.
int RunWithNotice(MsgBoxParams& params, const MsgBoxParams& given, bool seen, bool relayed, DWORD& process_code) {
    kt::Log* log = kt::get_log();
    // A command's remaining time is not known: no falling number.
    params.look.quiet_title = true;
    if (relayed) {
        if (!seen) return NobodyAnswer(params);
        params.flags |= MB_TOPMOST;
        params.look.topmost = true;
        bool by_countdown = false;
        int answer = ShowBox(params, &by_countdown);
        process_code = kt::CodeAnswer(answer, by_countdown);
        return answer;
    }
    Command command;
    if (command.Start(params.command)) return static_cast<int>(kCannotRun);
    if (seen) {
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

int Run() {
    kt::Log* log = kt::get_log();
    log->start();
    kt::log_printf(log, "A\xB7\xB7", "velmo start");

    int exit_code = 0;
    // A relayed run's answer goes to its asker marked (see kt::CodeAnswer).
    DWORD process_code = 0;
    MsgBoxParams params;
    kt::result parsed = ParseCmdLine(params);
    // A service's window station, or a task's run without the user: a box
    // there is shown to no one.
    bool seen = kt::StationVisible();
    std::wstring relayed_by = RelayedBy();
    if (!relayed_by.empty()) kt::log_wprintf(log, L"RLY", L"relayed by PID=%s", relayed_by.c_str());
    if (!seen) kt::log_printf(log, "RLY", "the window station is not visible");
    // A texts file is a part of the command line: a bad one is a bad command
    // line. A relayed run takes what its asker read.
    if (parsed.ok()) parsed = LoadTexts(params, !relayed_by.empty());
    // The command line's own words, with the file's content: an asker asks
    // in the language of the person it finds.
    const MsgBoxParams given = params;
    if (parsed.ok() && !params.texts.empty()) {
        // A relayed run takes its person's language by the rule the asker's
        // session box takes it, so that both give one person one section.
        const std::wstring language = relayed_by.empty() ? kt::UiLanguage() : OwnUiLanguage();
        kt::SectionChoice choice;
        parsed = ApplyTexts(params, language, &choice);
        kt::log_wprintf(log, L"TXT", L"texts from '%s': section [%s] for %s (%s)", params.texts.c_str(),
                        choice.tag.c_str(), language.c_str(),
                        kt::SectionMatchText(choice.how));
    }
    if (!parsed.ok() && !params.texts.empty()) kt::log_wprintf(log, L"TXT", L"%s", parsed.text().c_str());
    // The deferrals left and the deadline, from the store or (a relayed
    // run) from the asker.
    DeferralsNow deferrals;
    if (parsed.ok() && params.defer.given()) {
        deferrals = DeferralsBefore(params, !relayed_by.empty());
        ApplyDeferral(params, deferrals, LOCALE_NAME_USER_DEFAULT);
    }
    if (parsed.ok() && params.run) {
        exit_code = RunWithNotice(params, given, seen, !relayed_by.empty(), process_code);
    } else if (parsed.ok()) {
        if (seen && !relayed_by.empty()) {
            // A question from a deployment is not hidden behind the user's
            // windows.
            params.flags |= MB_TOPMOST;
            params.look.topmost = true;
            // The countdown's click is told apart: it is nobody's answer.
            bool by_countdown = false;
            exit_code = ShowBox(params, &by_countdown);
            process_code = kt::CodeAnswer(exit_code, by_countdown);
            kt::log_printf(log, "RLY", "answer %d %sreported to the asker as 0x%08X", exit_code,
                           by_countdown ? "of the countdown " : "", static_cast<unsigned>(process_code));
        } else if (seen) {
            bool by_countdown = false;
            exit_code = ShowBox(params, &by_countdown);
            KeepDeferrals(params, by_countdown ? kt::enCountdown : kt::enPerson, exit_code, deferrals, kt::OwnUser());
        } else if (!relayed_by.empty()) {
            // Never relayed twice: nobody answers.
            exit_code = NobodyAnswer(params);
            kt::log_printf(log, "RLY", "relayed, yet not visible: nobody answers %d", exit_code);
        } else {
            exit_code = AskUser(given, deferrals);
        }
#ifdef VELMO_CONSOLE
        // The asking velmoc writes the word. A relayed run's standard handles
        // are nobody's: Wine hands a console child its starter's output even
        // when no handle is inherited, and the word came twice.
        const char* name = relayed_by.empty() ? AnswerName(exit_code) : nullptr;
        if (name) WriteText(GetStdHandle(STD_OUTPUT_HANDLE), kt::AnsiToWide(name) + L"\n");
#endif
    } else {
        ShowHelp(parsed, seen, !relayed_by.empty());
        exit_code = ERROR_INVALID_PARAMETER;
    }

    if (!process_code) process_code = static_cast<DWORD>(exit_code);
    kt::log_printf(log, "A\xB7\xB7", "velmo end(%u)", static_cast<unsigned>(process_code));
    log->stop(INFINITE);
    return static_cast<int>(process_code);
}

}  // namespace

#ifdef VELMO_CONSOLE
int wmain() { return Run(); }
#else
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return Run(); }
#endif
