#include "win32gui/MsgBoxAC.h"

#include <cstdio>
#include <memory>

#include "Log/Log.h"
#include "win32gui/SrchWnd.h"

namespace kt {

namespace {
// Rows: flags & 7; columns: DefButton1..3. The OK-only box's button is IDCANCEL.
const uint32_t kDefButtons[8][3] = {
    {2, 0, 0}, {1, 2, 0}, {3, 4, 5}, {6, 7, 2}, {6, 7, 0}, {4, 2, 0}, {2, 10, 11}, {0, 0, 0},
};

// The style bit, not IsWindowVisible: the box itself may not be shown yet.
bool ShownButton(HWND w) {
    wchar_t cls[16] = {};
    GetClassNameW(w, cls, 16);
    return _wcsicmp(cls, L"Button") == 0 && (GetWindowLongW(w, GWL_STYLE) & WS_VISIBLE);
}

BOOL CALLBACK FindButtonProc(HWND w, LPARAM param) {
    if (!ShownButton(w)) return TRUE;
    *reinterpret_cast<HWND*>(param) = w;
    return FALSE;
}

// The OK-only box's one button: item 2 on Windows, item 1 on Wine.
HWND OnlyButton(HWND dlg) {
    HWND b = GetDlgItem(dlg, IDCANCEL);
    if (b && ShownButton(b)) return b;
    b = nullptr;
    EnumChildWindows(dlg, FindButtonProc, reinterpret_cast<LPARAM>(&b));
    return b;
}
}  // namespace

uint32_t TMsgBoxAutoCloser::def_button_id() const {
    uint32_t column = (flags_ & 0x300) >> 8;
    return column < 3 ? kDefButtons[flags_ & 7][column] : 0;
}

result TMsgBoxAutoCloser::run() {
    // The main thread shows the box only after its post reached this thread,
    // and a thread gets its message queue with the first message call.
    MSG msg;
    PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);

    HWND found = nullptr;
    result res = wait_for_box(found, 60000);
    HWND dlg = found ? GetParent(found) : nullptr;
    if (!dlg) return result(ERROR_NOT_FOUND, L"", lvlError);
    if (!buttons_visible_) {
        DisableClose(dlg);
        ShowWindow(OnlyButton(dlg), SW_HIDE);
    }
    res.add(count_down(dlg));
    return res;
}

result TMsgBoxAutoCloser::wait_for_box(HWND& found, DWORD time_limit) {
    std::vector<std::wstring> path{caption_, text_};
    TStrCmpCmd cmp;
    found = nullptr;
    DWORD start = GetTickCount();
    for (;;) {
        result r = SrchWnd(found, path, cmp, process_id_);
        if (!r.ok()) {
            Sleep(100);
        } else {
            MSG msg;
            // WM_QUIT stays queued; only its presence is checked.
            if (PeekMessageW(&msg, reinterpret_cast<HWND>(-1), WM_QUIT, WM_QUIT, PM_NOREMOVE))
                return result(ERROR_CANCELLED, L"", lvlError);
        }
        if (TicksSince(start) >= time_limit || found) return result(0, L"");
    }
}

result TMsgBoxAutoCloser::count_down(HWND dlg) {
    if (GetWndText(dlg) != caption_) return result(ERROR_INTERNAL_ERROR, L"", lvlError);
    result res(0, L"");
    DWORD start = GetTickCount();
    uint32_t last_shown = 0;
    while (IsWindow(dlg)) {
        uint32_t elapsed = TicksSince(start) / 1000;
        if (elapsed >= timeout_sec_) {
            uint32_t id = def_button_id();
            HWND item = GetDlgItem(dlg, static_cast<int>(id));
            LRESULT sent = SendMessageW(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(item));
            log_printf(get_log(), "UB\xB7", "btn_id=%u,item=%#010x,res=%u [%s,%u]", id, item,
                       static_cast<unsigned>(sent), KT_SRC_FILE, static_cast<unsigned>(__LINE__));
            break;
        }
        uint32_t remaining = timeout_sec_ - elapsed;
        if (remaining != last_shown) {
            std::wstring title = caption_ + L" [" + FmtCountdown(remaining) + L"]";
            DWORD rc = SetWindowTextW(dlg, title.c_str()) ? 0 : GetLastError();
            res.add(result(rc, L"", lvlError));
            last_shown = remaining;
        }
        Sleep(250);
    }
    return res;
}

result DisableClose(HWND w) {
    if (EnableMenuItem(GetSystemMenu(w, FALSE), SC_CLOSE, MF_BYCOMMAND | MF_DISABLED | MF_GRAYED) == -1)
        return result(ERROR_NOT_FOUND, L"", lvlError);
    return result(0, L"");
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
             uint32_t timeout_sec, bool no_buttons) {
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
    closer->own_process_only(GetCurrentProcessId());

    // A worker that cannot be created leaves a plain box, never a hang.
    bool started = false;
    for (int tries = 0; tries < 50 && !started; ++tries) {
        started = worker->start(false) == 0;
        if (!started) Sleep(100);
    }
    if (!started) return MessageBoxW(owner, text.c_str(), caption.c_str(), flags);

    // The box is shown once the worker has a queue, or when it has ended
    // without ever getting one.
    while (worker->post(WM_NULL, 0, 0) != 0) {
        if (worker->wait(0) == 0) break;
        Sleep(100);
    }

    int answer = MessageBoxW(owner, text.c_str(), caption.c_str(), flags);

    result stop(ERROR_INTERNAL_ERROR);
    for (int i = 0; i < 100; ++i) {
        DWORD rc = worker->post(WM_QUIT, 0, 0);
        if (rc == ERROR_INVALID_THREAD_ID) rc = 0;
        stop.set_code(rc);
        Sleep(100);
        if (stop.ok()) break;
    }
    if (worker->wait(10000) != 0) {
        // Still running: both objects stay alive until the process ends.
        worker.release();
        closer.release();
    }
    return answer;
}

}  // namespace kt
