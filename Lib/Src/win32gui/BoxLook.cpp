#include "win32gui/BoxLook.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "Log/Log.h"
#include "lib/owner.h"
#include "win32gui/SrchWnd.h"
#include "win32gui/TextFit.h"

namespace kt {

namespace {
// Rows: flags & 7; columns: the buttons as the box shows them.
const uint32_t kSetItems[8][kMaxButtons] = {
    {IDCANCEL, 0, 0},
    {IDOK, IDCANCEL, 0},
    {IDABORT, IDRETRY, IDIGNORE},
    {IDYES, IDNO, IDCANCEL},
    {IDYES, IDNO, 0},
    {IDRETRY, IDCANCEL, 0},
    {IDCANCEL, IDTRYAGAIN, IDCONTINUE},
    {0, 0, 0},
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

BOOL CALLBACK LeftmostContentProc(HWND w, LPARAM param) {
    if (!ShownButton(w) && (GetWindowLongW(w, GWL_STYLE) & WS_VISIBLE)) {
        RECT r = RectInBox(GetParent(w), w);
        int& edge = *reinterpret_cast<int*>(param);
        if (r.left >= 0 && (edge < 0 || r.left < edge)) edge = r.left;
    }
    return TRUE;
}

struct Button {
    HWND window;
    RECT rect;
};

// Sets the labels, widens the row when a text does not fit, and says so in
// the log. Runs on the box's thread before the box is first shown.
void Dress(HWND dlg, uint32_t flags, const MsgBoxLook& look) {
    std::vector<Button> row;
    std::wstring named;
    std::unique_ptr<TextMeter> meter;
    int widest_own = 0, widest = 0;
    for (unsigned i = 0; i < ButtonCount(flags); ++i) {
        HWND b = ButtonWindow(dlg, flags, i);
        if (!b) continue;
        if (!meter) meter = std::make_unique<TextMeter>(b);
        row.push_back({b, RectInBox(dlg, b)});
        std::wstring own = GetWndText(b);
        widest_own = std::max(widest_own, meter->width(own));
        const std::wstring& label = look.labels[i];
        if (!label.empty()) {
            SetWindowTextW(b, label.c_str());
            named += (named.empty() ? L"" : L",") + std::to_wstring(i + 1) + L"='" + label + L"'";
        }
        widest = std::max(widest, meter->width(label.empty() ? own : label));
    }
    if (row.empty()) return;
    std::sort(row.begin(), row.end(), [](const Button& a, const Button& b) { return a.rect.left < b.rect.left; });

    RECT client{}, frame{};
    GetClientRect(dlg, &client);
    GetWindowRect(dlg, &frame);
    int old_width = row[0].rect.right - row[0].rect.left;
    // The room the box gave its own words beside them.
    int need = widest + std::max(0, old_width - widest_own);
    int frame_width = frame.right - frame.left;
    if (need <= old_width) {
        log_wprintf(get_log(), L"UB\xB7", L"labels %s; button width %d, box width %d", named.c_str(), old_width,
                    frame_width);
        return;
    }

    ButtonRow geometry;
    geometry.client_width = client.right;
    for (const Button& b : row) geometry.buttons.push_back(b.rect);
    geometry.edge = -1;
    EnumChildWindows(dlg, LeftmostContentProc, reinterpret_cast<LPARAM>(&geometry.edge));
    if (geometry.edge < 0) geometry.edge = row[0].rect.left;

    HMONITOR monitor = MonitorFromWindow(dlg, MONITOR_DEFAULTTONEAREST);
    MONITORINFO mi{};
    mi.cbSize = sizeof mi;
    GetMonitorInfoW(monitor, &mi);
    int work_width = mi.rcWork.right - mi.rcWork.left;
    int chrome = frame_width - client.right;
    RowFit fit = FitRow(geometry, need, work_width - chrome);

    // The box is not shown yet: nothing to redraw.
    const UINT kMove = SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOREDRAW | SWP_NOCOPYBITS;
    for (size_t i = 0; i < row.size(); ++i) {
        const RECT& r = row[i].rect;
        SetWindowPos(row[i].window, nullptr, fit.lefts[i], r.top, fit.width, r.bottom - r.top, kMove);
    }
    int new_frame = frame_width;
    if (fit.client_width > client.right) {
        new_frame = fit.client_width + chrome;
        // Grown about its centre, then kept inside the work area.
        int x = frame.left - (new_frame - frame_width) / 2;
        x = std::max(static_cast<int>(mi.rcWork.left), std::min(x, static_cast<int>(mi.rcWork.right) - new_frame));
        SetWindowPos(dlg, nullptr, x, frame.top, new_frame, frame.bottom - frame.top, kMove);
    }
    log_wprintf(get_log(), L"UB\xB7", L"labels %s; button width %d->%d, box width %d->%d", named.c_str(), old_width,
                fit.width, frame_width, new_frame);
}

// The call of ShowMsgBox under way on this thread.
struct BoxCall {
    const MsgBoxLook* look = nullptr;
    uint32_t flags = 0;
    unique_hook creation;        // waits for the box; let go once it is there
    HWND box = nullptr;          // once created
    WNDPROC box_proc = nullptr;  // the box's own window procedure
    bool laid_out = false;       // its WM_INITDIALOG has returned
    bool guarded = false;
    unique_hook input_filter;    // only while guarded
    std::vector<HWND> greyed;    // the buttons the guard disabled
    HWND focus = nullptr;        // the keyboard focus when the guard began
    HANDLE ending = nullptr;     // the wait for look->ends_with, while the box is up
    int locked = -1;             // the button greyed for good (look->locked, or a deferral refused)
    BoxEnd end;
};
thread_local BoxCall* t_call = nullptr;

const UINT_PTR kGuardTimer = 0x6775;
const UINT_PTR kDeadlineTimer = 0x6776;
const UINT_PTR kRefreshTimer = 0x6777;

bool IsDialog(HWND w) {
    wchar_t cls[16] = {};
    GetClassNameW(w, cls, 16);
    return wcscmp(cls, L"#32770") == 0;
}

BOOL CALLBACK GreyButtonProc(HWND w, LPARAM param) {
    if (ShownButton(w) && IsWindowEnabled(w)) reinterpret_cast<BoxCall*>(param)->greyed.push_back(w);
    return TRUE;
}

bool IsInput(UINT message) {
    return (message >= WM_KEYFIRST && message <= WM_KEYLAST) ||
           (message >= WM_MOUSEFIRST && message <= WM_MOUSELAST && message != WM_MOUSEMOVE) ||
           (message >= WM_NCLBUTTONDOWN && message <= WM_NCXBUTTONDBLCLK);
}

// Sees each message of the box's own loop before the box does: while the
// guard is on, key and mouse input to the box is dropped, not kept.
LRESULT CALLBACK InputFilterProc(int code, WPARAM wparam, LPARAM lparam) {
    try {
        BoxCall* call = t_call;
        const MSG* m = reinterpret_cast<const MSG*>(lparam);
        if (code >= 0 && call && call->guarded && IsInput(m->message) &&
            (m->hwnd == call->box || IsChild(call->box, m->hwnd)))
            return TRUE;
    } catch (...) {
    }
    return CallNextHookEx(nullptr, code, wparam, lparam);
}

void EndGuard(BoxCall& call) {
    KillTimer(call.box, kGuardTimer);
    if (!call.guarded) return;
    call.guarded = false;
    call.input_filter.reset();
    for (HWND b : call.greyed) EnableWindow(b, TRUE);
    call.greyed.clear();
    // A disabled button loses the focus: give it back, or to the default.
    HWND focus = call.focus;
    if (!focus || !IsChild(call.box, focus) || !IsWindowEnabled(focus)) {
        LRESULT def = SendMessageW(call.box, DM_GETDEFID, 0, 0);
        focus = HIWORD(def) == DC_HASDEFID ? GetDlgItem(call.box, LOWORD(def)) : nullptr;
    }
    if (focus && GetActiveWindow() == call.box)
        SendMessageW(call.box, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(focus), TRUE);
    log_printf(get_log(), "UB\xB7", "guard ends");
}

void CALLBACK GuardTimerProc(HWND w, UINT, UINT_PTR, DWORD) {
    BoxCall* call = t_call;
    if (call && call->box == w) EndGuard(*call);
}

// Starts the guarded second, or starts it anew when it is under way.
void StartGuard(BoxCall& call) {
    if (!call.guarded) {
        call.guarded = true;
        // Hooked only for the second: no cost to the box's loop after it.
        call.input_filter.reset(SetWindowsHookExW(WH_MSGFILTER, InputFilterProc, nullptr, GetCurrentThreadId()));
        if (!call.input_filter)
            log_printf(get_log(), "UB\xB7", "no hook for the guard's input: %lu", GetLastError());
        call.focus = GetFocus();
        EnumChildWindows(call.box, GreyButtonProc, reinterpret_cast<LPARAM>(&call));
        for (HWND b : call.greyed) EnableWindow(b, FALSE);
        log_printf(get_log(), "UB\xB7", "guard starts");
    }
    SetTimer(call.box, kGuardTimer, kGuardMs, GuardTimerProc);
}

// Posted to the box by the wait for what ends it. Anybody may post it: it
// ends the box only when that object is signalled.
const UINT kEndMessage = WM_APP + 0x56;

void CALLBACK EndsWith(PVOID box, BOOLEAN) { PostMessageW(static_cast<HWND>(box), kEndMessage, 0, 0); }

// Waits for what ends the box, on the system's thread pool: the box stays
// free for its person, and goes at once when it is signalled.
void WaitForTheEnd(HWND box, BoxCall& call) {
    if (!RegisterWaitForSingleObject(&call.ending, call.look->ends_with, EndsWith, box, INFINITE,
                                     WT_EXECUTEONLYONCE | WT_EXECUTEINWAITTHREAD))
        log_printf(get_log(), "UB\xB7", "no wait for the box's end: %lu", GetLastError());
}

// Greys the locked button for good.
void Lock(HWND box, const BoxCall& call) {
    HWND b = ButtonWindow(box, call.flags, static_cast<unsigned>(call.locked));
    if (b) EnableWindow(b, FALSE);
    log_printf(get_log(), "UB\xB7", "button %d greyed for good", call.locked + 1);
}

// The defer button greyed while the box is up (none left at the click, the
// deadline passed): its labels as for none left, the default and the focus
// moved to button 1 where they were on it.
void LockDeferral(HWND box, BoxCall& call) {
    if (call.locked >= 0) return;
    call.locked = call.look->deferral;
    KillTimer(box, kDeadlineTimer);
    const uint32_t item = ButtonItem(call.flags, static_cast<unsigned>(call.locked));
    HWND greyed = ButtonWindow(box, call.flags, static_cast<unsigned>(call.locked));
    HWND first = ButtonWindow(box, call.flags, 0);
    LRESULT def = SendMessageW(box, DM_GETDEFID, 0, 0);
    if (HIWORD(def) == DC_HASDEFID && LOWORD(def) == item) SendMessageW(box, DM_SETDEFID, ButtonItem(call.flags, 0), 0);
    if (greyed && GetFocus() == greyed && first) SendMessageW(box, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(first), TRUE);
    for (unsigned i = 0; i < kMaxButtons; ++i) {
        HWND b = ButtonWindow(box, call.flags, i);
        if (b && !call.look->none_left[i].empty()) SetWindowTextW(b, call.look->none_left[i].c_str());
    }
    Lock(box, call);
}

// The current UTC time in FILETIME units.
uint64_t UtcNow() {
    FILETIME f;
    GetSystemTimeAsFileTime(&f);
    return (static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
}

// Sets the timer for the deadline: at most what a timer can wait, again
// until the deadline is reached.
void ArmDeadline(HWND box, const BoxCall& call) {
    const uint64_t now = UtcNow(), until = call.look->deferral_until;
    const uint64_t ms = until > now ? (until - now + 9999) / 10000 : 0;
    SetTimer(box, kDeadlineTimer, static_cast<UINT>(ms < USER_TIMER_MAXIMUM ? ms : USER_TIMER_MAXIMUM), nullptr);
}

// Whether a command would answer with the locked button, or a close (which
// may answer with any): dropped, not kept.
bool Refused(const BoxCall& call, UINT message, WPARAM wparam) {
    const uint32_t item = ButtonItem(call.flags, static_cast<unsigned>(call.locked));
    const bool refused = (message == WM_COMMAND && LOWORD(wparam) == item) ||
                         message == WM_CLOSE || (message == WM_SYSCOMMAND && (wparam & 0xFFF0) == SC_CLOSE);
    if (refused) log_printf(get_log(), "UB\xB7", "answer %u dropped: button %d is greyed", static_cast<unsigned>(item),
                            call.locked + 1);
    return refused;
}

// A command before the box sees it: the countdown's click is told apart (on
// a greyed button it clicks button 1 instead); a person's click of the
// defer button asks take(). False: dropped.
bool Command(HWND box, BoxCall& call, WPARAM& wparam) {
    const MsgBoxLook& look = *call.look;
    const uint32_t id = LOWORD(wparam);
    const bool by_countdown = look.countdown && id == look.countdown->load() && InSendMessage();
    if (call.locked >= 0 && id == ButtonItem(call.flags, static_cast<unsigned>(call.locked))) {
        if (!by_countdown) return !Refused(call, WM_COMMAND, wparam);
        wparam = MAKEWPARAM(ButtonItem(call.flags, 0), BN_CLICKED);
        log_printf(get_log(), "UB\xB7", "the countdown clicks button 1: button %d is greyed", call.locked + 1);
    } else if (!by_countdown && look.deferral >= 0 && id == ButtonItem(call.flags, static_cast<unsigned>(look.deferral))) {
        bool granted = false;
        // A window procedure: nothing may escape it.
        try {
            granted = look.take ? look.take() : true;
        } catch (...) {
        }
        if (!granted) {
            LockDeferral(box, call);
            return false;
        }
        call.end.taken = true;
    }
    call.end.countdown = by_countdown;
    return true;
}

// The words as they are now; the box ends with button 1, as its person's
// answer, once refresh() says it is done.
void Refresh(HWND box, BoxCall& call) {
    MsgBoxLook::LiveWords words;
    // A window procedure: nothing may escape it.
    try {
        words = call.look->refresh();
    } catch (...) {
        return;
    }
    if (words.done) {
        KillTimer(box, kRefreshTimer);
        log_printf(get_log(), "UB\xB7", "the box ends by itself with button 1");
        SendMessageW(box, WM_COMMAND, MAKEWPARAM(ButtonItem(call.flags, 0), BN_CLICKED),
                     reinterpret_cast<LPARAM>(ButtonWindow(box, call.flags, 0)));
        return;
    }
    if (!words.text.empty()) SetBoxText(box, words.text);
    for (unsigned i = 0; i < kMaxButtons; ++i) {
        HWND b = ButtonWindow(box, call.flags, i);
        if (b && !words.labels[i].empty() && GetWndText(b) != words.labels[i]) SetWindowTextW(b, words.labels[i].c_str());
    }
}

// Sees the box's messages after its own procedure: once its WM_INITDIALOG
// has returned, the system has laid the box out (Wine lays it out there and
// activates it on the way, so activation is too early for the labels) and
// has not shown it yet. Each activation after that starts the guard anew.
LRESULT CALLBACK BoxProc(HWND w, UINT message, WPARAM wparam, LPARAM lparam) {
    BoxCall* call = t_call;
    WNDPROC own = call ? call->box_proc : nullptr;
    if (!own) return DefDlgProcW(w, message, wparam, lparam);
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(w, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(own));
        // Its callback may run now: waited for, so that it posts to no
        // window that is gone.
        if (call->ending) UnregisterWaitEx(std::exchange(call->ending, nullptr), INVALID_HANDLE_VALUE);
    }
    if (message == kEndMessage) {
        if (call->look->ends_with && WaitForSingleObject(call->look->ends_with, 0) == WAIT_OBJECT_0) {
            log_printf(get_log(), "UB\xB7", "the box ends with what it waited for");
            call->end.object = true;
            EndDialog(w, IDCANCEL);
        }
        return 0;
    }
    // A window procedure: nothing may escape it.
    try {
        if (message == WM_COMMAND && !Command(w, *call, wparam)) return 0;
        if (message != WM_COMMAND && call->locked >= 0 && Refused(*call, message, wparam)) return 0;
    } catch (...) {
        return 0;
    }
    if (message == WM_TIMER && wparam == kRefreshTimer) {
        Refresh(w, *call);
        return 0;
    }
    if (message == WM_TIMER && wparam == kDeadlineTimer) {
        if (UtcNow() >= call->look->deferral_until) {
            log_printf(get_log(), "UB\xB7", "the deadline has passed while the box is up");
            LockDeferral(w, *call);
        } else {
            ArmDeadline(w, *call);
        }
        return 0;
    }
    LRESULT r = CallWindowProcW(own, w, message, wparam, lparam);
    // A window procedure: nothing may escape it.
    try {
        if (message == WM_INITDIALOG) {
            call->laid_out = true;
            if (call->look->any()) Dress(w, call->flags, *call->look);
            if (call->locked >= 0) Lock(w, *call);
            if (call->locked < 0 && call->look->deferral >= 0 && call->look->deferral_until) ArmDeadline(w, *call);
            if (call->look->refresh) SetTimer(w, kRefreshTimer, call->look->refresh_ms, nullptr);
            if (call->look->on_shown) call->look->on_shown();
            if (call->look->ends_with) WaitForTheEnd(w, *call);
            if (call->look->fit_text) FitTextToScreen(w);
            if (call->look->topmost) {
                SetWindowPos(w, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
                SetForegroundWindow(w);
            }
            if (call->look->guard) StartGuard(*call);
        } else if (message == WM_ACTIVATE && call->laid_out && call->look->guard && LOWORD(wparam) != WA_INACTIVE) {
            StartGuard(*call);
        }
    } catch (...) {
    }
    return r;
}

// Waits for the box's creation, takes its messages (a subclass costs
// nothing per message, unlike a message hook) and lets go.
LRESULT CALLBACK CreationProc(int code, WPARAM wparam, LPARAM lparam) {
    BoxCall* call = t_call;
    HWND w = reinterpret_cast<HWND>(wparam);
    if (code == HCBT_CREATEWND && call && !call->box && IsDialog(w)) {
        call->box = w;
        call->box_proc = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrW(w, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(BoxProc)));
        LRESULT next = CallNextHookEx(nullptr, code, wparam, lparam);
        call->creation.reset();
        return next;
    }
    return CallNextHookEx(nullptr, code, wparam, lparam);
}

}  // namespace

unsigned ButtonCount(uint32_t flags) {
    unsigned n = 0;
    for (uint32_t item : kSetItems[flags & 7]) n += item != 0;
    return n;
}

uint32_t ButtonItem(uint32_t flags, unsigned index) {
    return index < kMaxButtons ? kSetItems[flags & 7][index] : 0;
}

HWND ButtonWindow(HWND dlg, uint32_t flags, unsigned index) {
    uint32_t item = ButtonItem(flags, index);
    if (!item) return nullptr;
    HWND b = GetDlgItem(dlg, static_cast<int>(item));
    if ((flags & 7) != MB_OK || (b && ShownButton(b))) return b;
    // The OK-only box's one button: item 2 on Windows, item 1 on Wine.
    b = nullptr;
    EnumChildWindows(dlg, FindButtonProc, reinterpret_cast<LPARAM>(&b));
    return b;
}

bool MsgBoxLook::any() const {
    for (const std::wstring& l : labels) {
        if (!l.empty()) return true;
    }
    return false;
}

RECT RectInBox(HWND box, HWND child) {
    RECT r{};
    GetWindowRect(child, &r);
    MapWindowPoints(HWND_DESKTOP, box, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

RowAlign Alignment(int left_gap, int right_gap) {
    if (std::abs(left_gap - right_gap) * 8 <= left_gap + right_gap) return raCentred;
    return right_gap < left_gap ? raRight : raLeft;
}

RowFit FitRow(const ButtonRow& row, int width, int max_client_width) {
    RowFit fit;
    fit.client_width = row.client_width;
    if (row.buttons.empty()) return fit;
    const RECT& first = row.buttons.front();
    const RECT& last = row.buttons.back();
    int n = static_cast<int>(row.buttons.size());
    int old_width = first.right - first.left;
    int spacing = n > 1 ? row.buttons[1].left - first.right : 0;
    int left_gap = first.left, right_gap = row.client_width - last.right;
    RowAlign align = Alignment(left_gap, right_gap);
    bool centred = align == raCentred;
    bool to_right = align == raRight;
    int margin_left = centred || to_right ? row.edge : left_gap;
    int margin_right = centred || !to_right ? row.edge : right_gap;

    fit.width = std::max(width, old_width);
    int need = n * fit.width + (n - 1) * spacing + margin_left + margin_right;
    fit.client_width = std::max(row.client_width, std::min(need, max_client_width));
    if (need > fit.client_width) {
        int room = fit.client_width - margin_left - margin_right - (n - 1) * spacing;
        fit.width = std::max(old_width, room / n);
    }
    if (fit.width == old_width && fit.client_width == row.client_width) {
        // Nothing to widen: the row stays exactly where the box put it.
        for (const RECT& r : row.buttons) fit.lefts.push_back(r.left);
        return fit;
    }
    int row_width = n * fit.width + (n - 1) * spacing;
    int left = centred ? (fit.client_width - row_width) / 2
                       : (to_right ? fit.client_width - margin_right - row_width : margin_left);
    for (int i = 0; i < n; ++i) fit.lefts.push_back(left + i * (fit.width + spacing));
    return fit;
}

int ShowMsgBox(HWND owner, const std::wstring& text, const std::wstring& caption, uint32_t flags,
               const MsgBoxLook& look, BoxEnd* end) {
    if (end) *end = BoxEnd();
    if (!look.any() && !look.guard && !look.fit_text && !look.topmost && look.locked < 0 && !look.ends_with &&
        look.deferral < 0 && !look.refresh && !look.on_shown)
        return MessageBoxW(owner, text.c_str(), caption.c_str(), flags);
    BoxCall call;
    call.look = &look;
    call.flags = flags;
    call.locked = look.locked;
    call.end.watched = true;
    BoxCall* outer = std::exchange(t_call, &call);
    auto restore = scope_exit([&] { t_call = outer; });
    // Without the hooks the box would show the system's words or take an
    // early answer: better a box than none, and the log says why.
    call.creation.reset(SetWindowsHookExW(WH_CBT, CreationProc, nullptr, GetCurrentThreadId()));
    if (!call.creation) log_printf(get_log(), "UB\xB7", "no hook for the labels and the guard: %lu", GetLastError());
    const int answer = MessageBoxW(owner, text.c_str(), caption.c_str(), flags);
    // Without the subclass nothing was seen but the answer.
    call.end.watched = call.box_proc != nullptr;
    if (end) *end = call.end;
    return answer;
}

}  // namespace kt
