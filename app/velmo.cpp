// velmo: shows a message box for a batch file and returns the clicked button
// as the exit code; with a timeout the box counts down and clicks its default
// button at zero.
#include <windows.h>

#include "Log/Log.h"
#include "app/CmdLine.h"
#include "app/resource.h"
#include "gen/module.h"
#include "win32gui/MsgBoxAC.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    kt::Log* log = kt::get_log();
    log->start();
    kt::log_printf(log, "A\xB7\xB7", "velmo start");

    int exit_code = 0;
    MsgBoxParams params;
    if (ParseCmdLine(params).ok()) {
        if (params.timeout != 0) {
            // A negative timeout is taken as the same 32 bits, unsigned.
            bool closed_at_zero = false;
            exit_code = kt::MsgBoxAC(GetDesktopWindow(), params.text, params.caption, params.flags | MB_SETFOREGROUND,
                                     static_cast<uint32_t>(params.timeout), !params.buttons, &closed_at_zero);
            // Nobody answered: a script that asked for it can tell.
            if (params.report_timeout && closed_at_zero) exit_code = kExitTimedOut;
        } else {
            exit_code = MessageBoxW(GetDesktopWindow(), params.text.c_str(), params.caption.c_str(),
                                    params.flags | MB_SETFOREGROUND);
        }
    } else {
        kt::module self;
        std::wstring caption = self.LoadStr(IDS_HELP_CAPTION);
        std::wstring help = self.LoadStr(IDS_HELP);
        MessageBoxW(GetDesktopWindow(), help.c_str(), caption.c_str(), MB_ICONINFORMATION);
        exit_code = ERROR_INVALID_PARAMETER;
    }

    kt::log_printf(log, "A\xB7\xB7", "velmo end(%u)", static_cast<unsigned>(exit_code));
    log->stop(INFINITE);
    return exit_code;
}
