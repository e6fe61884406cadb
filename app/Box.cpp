#include "app/Box.h"

#include "win32gui/MsgBoxAC.h"

Shown ShowBox(const MsgBoxParams& params) {
    Shown shown;
    if (params.timeout == 0) {
        shown.answer = kt::ShowMsgBox(GetDesktopWindow(), params.text, params.caption, params.flags | MB_SETFOREGROUND,
                                      params.look, &shown.end);
        return shown;
    }
    // A negative timeout is taken as the same 32 bits, unsigned.
    shown.answer = kt::MsgBoxAC(GetDesktopWindow(), params.text, params.caption, params.flags | MB_SETFOREGROUND,
                                static_cast<uint32_t>(params.timeout), !params.buttons, nullptr, params.look, &shown.end);
    // Nobody answered: a script that asked for it can tell.
    if (params.report_timeout && shown.end.countdown) shown.answer = kExitTimedOut;
    return shown;
}
