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

Notice::Notice(const MsgBoxParams& params) : params_(params), done_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    // A command's remaining time is not known: no falling number.
    params_.look.quiet_title = true;
    params_.look.ends_with = done_.get();
    const HDESK desktop = GetThreadDesktop(GetCurrentThreadId());
    thread_ = std::thread([this, desktop] {
        // Nothing may leave a thread procedure.
        try {
            // The creator's desktop: a new thread of a run started on
            // another desktop than its station's first would show nothing.
            SetThreadDesktop(desktop);
            ShowBox(params_);
        } catch (...) {
        }
    });
}
