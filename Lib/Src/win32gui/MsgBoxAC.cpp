#include "win32gui/MsgBoxAC.h"

#include <cstdio>
#include <memory>

#include "Log/Log.h"
#include "win32gui/BoxLook.h"
#include "win32gui/SrchWnd.h"

namespace kt {

namespace {
// The line number that the click's log line carries, part of its text.
const unsigned kClickLine = 143;
const DWORD kSecondMs = 1000;
// Pause between searches that found nothing: short while the box is being
// created (the box is found within about 10 ms of appearing; a shorter pause
// slowed the box's creation measurably), the retry period (also after a
// failed search) once that has taken longer than it ever does.
const DWORD kEmptySearchPauseMs = 10;
const DWORD kQuickSearchMs = 2000;
const DWORD kSearchLimitMs = 60000;
const DWORD kWorkerWaitMs = 10000;

}  // namespace

uint32_t DefaultButton(uint32_t flags, bool no_buttons) {
    // Without visible buttons the box must close itself at zero, whatever
    // default button was named: IDCANCEL closes the OK-only box.
    if (no_buttons) return IDCANCEL;
    return ButtonItem(flags, (flags & MB_DEFMASK) >> 8);
}

uint32_t TMsgBoxAutoCloser::def_button_id() const { return DefaultButton(flags_, !buttons_visible_); }

result TMsgBoxAutoCloser::run() {
    HWND found = nullptr;
    result res = wait_for_box(found, kSearchLimitMs);
    HWND dlg = found ? GetParent(found) : nullptr;
    if (!dlg) return result(ERROR_NOT_FOUND);
    if (!buttons_visible_) {
        DisableClose(dlg);
        ShowWindow(ButtonWindow(dlg, MB_OK, 0), SW_HIDE);
    }
    res.add(count_down(dlg));
    return res;
}

result TMsgBoxAutoCloser::wait_for_box(HWND& found, DWORD time_limit) {
    found = nullptr;
    // No window with an empty title is ever compared: such a search cannot
    // succeed, so it is not made.
    if (caption_.empty()) return {};
    std::vector<std::wstring> path{caption_, text_};
    TStrCmpCmd cmp;
    DWORD start = GetTickCount();
    for (;;) {
        result r = SrchWnd(found, path, cmp, process_id_);
        if (found) return {};
        // WM_QUIT stays queued; it only ends the search.
        DWORD pause = r.ok() && TicksSince(start) < kQuickSearchMs ? kEmptySearchPauseMs : kRetryMs;
        if (SleepUnlessQuit(pause)) return result(ERROR_CANCELLED);
        if (TicksSince(start) >= time_limit) return {};
    }
}

result TMsgBoxAutoCloser::count_down(HWND dlg) {
    if (GetWndText(dlg) != caption_) return result(ERROR_INTERNAL_ERROR);
    result res;
    DWORD start = GetTickCount();
    uint32_t last_shown = 0;
    while (IsWindow(dlg)) {
        uint32_t elapsed = TicksSince(start) / kSecondMs;
        if (elapsed >= timeout_sec_) {
            uint32_t id = def_button_id();
            HWND item = GetDlgItem(dlg, static_cast<int>(id));
            // Before the send: the box may end on it, and the main thread
            // read this, before SendMessageW returns here.
            clicked_ = id;
            LRESULT sent = SendMessageW(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(item));
            log_printf(get_log(), "UB\xB7", "btn_id=%u,item=%#010x,res=%u [%s,%u]", id, LogPtr(item),
                       static_cast<unsigned>(sent), KT_SRC_FILE, kClickLine);
            break;
        }
        uint32_t remaining = timeout_sec_ - elapsed;
        if (title_shown_ && remaining != last_shown) {
            std::wstring title = caption_ + L" [" + FmtCountdown(remaining) + L"]";
            res.add(KT_BOOL_RESULT(SetWindowTextW(dlg, title.c_str())));
            last_shown = remaining;
        }
        // Until the next whole second of the countdown, so that each title
        // and the click come on their second; the box's end (WM_QUIT from
        // the main thread) cuts the wait short.
        if (SleepUnlessQuit(kSecondMs - TicksSince(start) % kSecondMs)) break;
    }
    return res;
}

result DisableClose(HWND w) {
    if (EnableMenuItem(GetSystemMenu(w, FALSE), SC_CLOSE, MF_BYCOMMAND | MF_DISABLED | MF_GRAYED) == -1)
        return result(ERROR_NOT_FOUND);
    return {};
}

std::wstring FmtCountdown(uint32_t seconds) {
    wchar_t buf[32];
    if (seconds < 60)
        swprintf(buf, 32, L"%u", seconds);
    else if (seconds < 3600)
        swprintf(buf, 32, L"%u:%02u", seconds / 60, seconds % 60);
    else
        swprintf(buf, 32, L"%u:%02u:%02u", seconds / 3600, seconds / 60 % 60, seconds % 60);
    return buf;
}

int MsgBoxAC(HWND owner, const std::wstring& text, const std::wstring& caption, uint32_t flags,
             uint32_t timeout_sec, bool no_buttons, bool* closed_at_zero, const MsgBoxLook& look, BoxEnd* end) {
    if (closed_at_zero) *closed_at_zero = false;
    BoxEnd how;
    // Heap objects: a worker that does not end in time keeps using them, so
    // they are then left to it instead of being destroyed under it.
    auto closer = std::make_unique<TMsgBoxAutoCloser>();
    auto worker = std::make_unique<task_thread>(closer.get());

    flags |= MB_SETFOREGROUND;
    if (no_buttons) {
        closer->hide_buttons();
        flags &= ~0xFu;
    }
    closer->set(text, caption, flags);
    closer->set_timeout(timeout_sec);
    if (look.quiet_title) closer->quiet_title();
    closer->own_process_only(GetCurrentProcessId());

    // A worker that cannot be created leaves a plain box, never a hang.
    bool started = false;
    for (int tries = 0; tries < 50 && !started; ++tries) {
        started = worker->start(false) == 0;
        if (!started) Sleep(kRetryMs);
    }
    if (!started) return ShowMsgBox(owner, text, caption, flags, look, end);
    // The box tells the countdown's click from a person's where it watches.
    MsgBoxLook watched = look;
    watched.countdown = closer->click();

    // The box is shown once the worker has a queue, or when it has ended
    // without ever getting one.
    worker->post_when_ready(WM_NULL, 0, 0);

    int answer = ShowMsgBox(owner, text, caption, flags, watched, &how);

    // A worker that has ended (1444) needs no WM_QUIT; a failed post is
    // retried, a successful one waited for at once.
    result stop(ERROR_INTERNAL_ERROR);
    for (int i = 0; i < 100; ++i) {
        DWORD rc = worker->post(WM_QUIT, 0, 0);
        if (rc == ERROR_INVALID_THREAD_ID) rc = 0;
        stop.set_code(rc);
        if (stop.ok()) break;
        Sleep(kRetryMs);
    }
    bool ended = worker->wait(kWorkerWaitMs) == 0;
    if (!how.watched) {
        // The click ended the box when the box answered with it; an OK-only
        // box answers its one button's click with IDOK on Windows and with
        // IDCANCEL on Wine, and has no other answer a person could give.
        uint32_t clicked = closer->clicked();
        how.countdown = clicked != 0 && (static_cast<uint32_t>(answer) == clicked || (flags & MB_TYPEMASK) == MB_OK);
    }
    if (closed_at_zero) *closed_at_zero = how.countdown;
    if (end) *end = how;
    if (!ended) {
        // Still running: both objects stay alive until the process ends.
        worker.release();
        closer.release();
    }
    return answer;
}

}  // namespace kt
