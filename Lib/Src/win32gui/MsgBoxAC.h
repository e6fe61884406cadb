// The system message box with a countdown in its title bar that clicks the
// default button at zero.
#pragma once

#include <atomic>

#include "threads/thread.h"
#include "win32gui/BoxLook.h"

namespace kt {

// Finds the box shown for the main thread, counts down and clicks; runs on
// the worker thread.
class TMsgBoxAutoCloser : public task {
public:
    TMsgBoxAutoCloser() : task(0) {}
    void set(const std::wstring& text, const std::wstring& caption, uint32_t flags) {
        text_ = text;
        caption_ = caption;
        flags_ = flags;
    }
    void set_timeout(uint32_t seconds) { timeout_sec_ = seconds; }
    void hide_buttons() { buttons_visible_ = false; }
    // The title keeps its caption: no remaining time is shown.
    void quiet_title() { title_shown_ = false; }
    // Only top-level windows of this process may be taken for the box.
    void own_process_only(DWORD process_id) { process_id_ = process_id; }

    result run() override;
    // Dialog item of the default button for the flags; 0 when there is none.
    uint32_t def_button_id() const;
    // The button that the countdown clicked at zero; 0 until it has.
    uint32_t clicked() const { return clicked_; }
    // The same as the box sees it (MsgBoxLook::countdown).
    const std::atomic<uint32_t>* click() const { return &clicked_; }
    // Searches until a window is found, time_limit ms pass or WM_QUIT waits.
    result wait_for_box(HWND& found, DWORD time_limit);
    result count_down(HWND dlg);

private:
    std::wstring text_;
    std::wstring caption_;
    uint32_t flags_ = 0;
    uint32_t timeout_sec_ = 0;
    bool buttons_visible_ = true;
    bool title_shown_ = true;
    DWORD process_id_ = 0;
    // Written by the worker, read by the main thread once the box is gone.
    std::atomic<uint32_t> clicked_{0};
};

// The dialog item that the countdown clicks at zero for these flags; 0 when
// it clicks none (DefButton4, a default button that the set lacks). A box
// without visible buttons always closes itself: IDCANCEL.
uint32_t DefaultButton(uint32_t flags, bool no_buttons);

// Greys the Close item of the window's system menu; ERROR_NOT_FOUND when it has none.
result DisableClose(HWND w);
// 59 -> "59", 60 -> "1:00", 3661 -> "1:01:01".
std::wstring FmtCountdown(uint32_t seconds);

// Shows the box and counts down timeout_sec seconds; returns MessageBoxW's
// result. closed_at_zero (may be null) tells whether the countdown's click
// closed the box rather than a person's answer. look: the caller's words on
// the buttons and the guard; end: how the box ended, as ShowMsgBox tells.
int MsgBoxAC(HWND owner, const std::wstring& text, const std::wstring& caption, uint32_t flags,
             uint32_t timeout_sec, bool no_buttons, bool* closed_at_zero = nullptr,
             const MsgBoxLook& look = MsgBoxLook(), BoxEnd* end = nullptr);

}  // namespace kt
