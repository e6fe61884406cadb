#include "win32gui/TextFit.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

#include "Log/Log.h"
#include "win32gui/BoxLook.h"
#include "win32gui/SrchWnd.h"

namespace kt {

TextMeter::TextMeter(HWND control) : dc_(window_dc{control, GetDC(control)}) {
    HFONT font = reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0));
    if (dc_ && font) old_font_ = SelectObject(dc_.get().dc, font);
}

TextMeter::~TextMeter() {
    if (old_font_) SelectObject(dc_.get().dc, old_font_);
}

int TextMeter::width(const std::wstring& text, UINT flags) const {
    if (!dc_) return 0;
    RECT r{};
    DrawTextW(dc_.get().dc, text.c_str(), static_cast<int>(text.size()), &r, DT_CALCRECT | DT_SINGLELINE | flags);
    return r.right - r.left;
}

int TextMeter::height(const std::wstring& text, int width, UINT flags) const {
    if (!dc_) return 0;
    RECT r{0, 0, width, 0};
    DrawTextW(dc_.get().dc, text.c_str(), static_cast<int>(text.size()), &r,
              DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS | flags);
    return r.bottom - r.top;
}

int TextColumns::height() const { return heights.empty() ? 0 : *std::max_element(heights.begin(), heights.end()); }

namespace {

// Lines filled into columns in order, none taller than limit: the first
// line of each, or nothing when more than n columns would be needed.
std::vector<size_t> Pack(const std::vector<int>& heights, int limit, size_t n) {
    std::vector<size_t> starts{0};
    int used = 0;
    for (size_t i = 0; i < heights.size(); ++i) {
        if (used > 0 && used + heights[i] > limit) {
            if (starts.size() == n) return {};
            starts.push_back(i);
            used = 0;
        }
        used += heights[i];
    }
    return starts;
}

}  // namespace

namespace {

// The lines in n columns of this width, split where the tallest column is
// lowest.
TextColumns Layout(const ColumnRoom& room, size_t n, int width) {
    std::vector<int> heights(room.lines);
    int total = 0, tallest = 0;
    for (size_t i = 0; i < room.lines; ++i) {
        heights[i] = room.line_height(i, width);
        total += heights[i];
        tallest = std::max(tallest, heights[i]);
    }
    // The lowest column height at which n columns take every line.
    int lo = tallest, hi = std::max(tallest, total);
    while (lo < hi) {
        int mid = lo + (hi - lo) / 2;
        if (Pack(heights, mid, n).empty())
            lo = mid + 1;
        else
            hi = mid;
    }
    TextColumns c;
    c.width = width;
    c.starts = Pack(heights, lo, n);
    for (size_t k = 0; k < c.starts.size(); ++k) {
        size_t end = k + 1 < c.starts.size() ? c.starts[k + 1] : heights.size();
        int h = 0;
        for (size_t i = c.starts[k]; i < end; ++i) h += heights[i];
        c.heights.push_back(h);
    }
    int used = static_cast<int>(c.starts.size()) * width + static_cast<int>(c.starts.size() - 1) * room.gap;
    c.fits = c.height() <= room.height && used <= room.width;
    return c;
}

}  // namespace

TextColumns FitColumns(const ColumnRoom& room) {
    TextColumns best;
    for (size_t n = 1; n <= std::max(1u, room.max_columns); ++n) {
        int each = (room.width - static_cast<int>(n - 1) * room.gap) / static_cast<int>(n);
        int width = std::max(room.min_width, std::min(room.natural_width, each));
        // A further column would be narrower than the box's own.
        if (n > 1 && width > each) break;
        TextColumns c = Layout(room, n, width);
        if (c.fits) {
            // No wider than it takes: a box as compact as fits.
            int lo = room.min_width, hi = width;
            while (lo < hi) {
                int mid = lo + (hi - lo) / 2;
                if (Layout(room, n, mid).fits)
                    hi = mid;
                else
                    lo = mid + 1;
            }
            TextColumns narrow = Layout(room, n, lo);
            return narrow.fits ? narrow : c;
        }
        if (best.starts.empty() || c.height() < best.height()) best = c;
    }
    return best;
}

namespace {

// The message text of the system box (Windows and Wine), and the items of
// the columns that stand in for it.
const int kTextItem = 0xFFFF;
const int kFirstColumnItem = 0xFF00;

struct Child {
    HWND window;
    RECT rect;
    bool button;
};

BOOL CALLBACK ListChildProc(HWND w, LPARAM param) {
    if (!(GetWindowLongW(w, GWL_STYLE) & WS_VISIBLE) || GetDlgCtrlID(w) == kTextItem) return TRUE;
    wchar_t cls[16] = {};
    GetClassNameW(w, cls, 16);
    auto* list = reinterpret_cast<std::vector<Child>*>(param);
    list->push_back({w, RectInBox(GetParent(w), w), _wcsicmp(cls, L"Button") == 0});
    return TRUE;
}

std::vector<std::wstring> Lines(const std::wstring& text) {
    std::vector<std::wstring> lines;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(L'\n', start);
        lines.push_back(text.substr(start, end == std::wstring::npos ? end : end - start));
        if (end == std::wstring::npos) return lines;
        start = end + 1;
    }
}

}  // namespace

void FitTextToScreen(HWND box) {
    HWND text = GetDlgItem(box, kTextItem);
    if (!text) return;
    RECT frame{}, client{};
    GetWindowRect(box, &frame);
    GetClientRect(box, &client);
    MONITORINFO mi{};
    mi.cbSize = sizeof mi;
    if (!GetMonitorInfoW(MonitorFromWindow(box, MONITOR_DEFAULTTONEAREST), &mi)) return;
    const RECT& work = mi.rcWork;
    int frame_w = frame.right - frame.left, frame_h = frame.bottom - frame.top;
    int work_w = work.right - work.left, work_h = work.bottom - work.top;
    if (frame_w <= work_w && frame_h <= work_h) return;

    RECT t = RectInBox(box, text);
    int text_w = t.right - t.left, text_h = t.bottom - t.top;
    int chrome_w = frame_w - client.right, chrome_h = frame_h - client.bottom;
    // The room the box keeps right of its text: its own measure, in its scale.
    int right_margin = std::max(0, static_cast<int>(client.right - t.right));
    std::vector<std::wstring> lines = Lines(GetWndText(text));
    LONG style = GetWindowLongW(text, GWL_STYLE);
    UINT prefix = (style & SS_NOPREFIX) ? DT_NOPREFIX : 0;
    TextMeter meter(text);

    ColumnRoom room;
    room.lines = lines.size();
    room.line_height = [&](size_t i, int width) {
        // Nothing follows the text's last line break; an empty line is one line high.
        if (lines[i].empty()) return i + 1 == lines.size() ? 0 : meter.height(L" ", width, prefix);
        return meter.height(lines[i], width, prefix);
    };
    for (const std::wstring& l : lines) room.natural_width = std::max(room.natural_width, meter.width(l, prefix | DT_EXPANDTABS));
    room.min_width = text_w;
    room.width = work_w - chrome_w - t.left - right_margin;
    room.height = work_h - chrome_h - (client.bottom - text_h);
    room.gap = 2 * right_margin;
    TextColumns columns = FitColumns(room);
    if (columns.starts.empty()) return;

    std::vector<Child> children;
    EnumChildWindows(box, ListChildProc, reinterpret_cast<LPARAM>(&children));
    HFONT font = reinterpret_cast<HFONT>(SendMessageW(text, WM_GETFONT, 0, 0));
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(box, GWLP_HINSTANCE));
    size_t n = columns.starts.size();
    for (size_t k = 0; k < n; ++k) {
        size_t end = k + 1 < n ? columns.starts[k + 1] : lines.size();
        std::wstring part;
        for (size_t i = columns.starts[k]; i < end; ++i) part += (i > columns.starts[k] ? L"\n" : L"") + lines[i];
        HWND column = CreateWindowExW(GetWindowLongW(text, GWL_EXSTYLE), L"STATIC", part.c_str(), style | WS_VISIBLE,
                                      t.left + static_cast<int>(k) * (columns.width + room.gap), t.top, columns.width,
                                      columns.heights[k], box,
                                      reinterpret_cast<HMENU>(static_cast<INT_PTR>(kFirstColumnItem + k)), instance,
                                      nullptr);
        if (!column) {
            log_printf(get_log(), "UB\xB7", "no column for the text: %lu", GetLastError());
            return;
        }
        SendMessageW(column, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    }
    // Hidden, it keeps the whole text: the countdown finds the box by it.
    ShowWindow(text, SW_HIDE);

    int new_text_h = columns.height();
    int dy = new_text_h - text_h;
    int used_w = static_cast<int>(n) * columns.width + static_cast<int>(n - 1) * room.gap;
    int new_client_w = std::max(static_cast<int>(client.right), static_cast<int>(t.left) + used_w + right_margin);
    int dx = new_client_w - client.right;
    // The button row keeps its alignment: centred, or to the side whose gap is smaller.
    int row_left = INT_MAX, row_right = 0;
    for (const Child& c : children) {
        if (!c.button) continue;
        row_left = std::min(row_left, static_cast<int>(c.rect.left));
        row_right = std::max(row_right, static_cast<int>(c.rect.right));
    }
    int left_gap = row_left, right_gap = client.right - row_right;
    int row_shift = 0;
    if (row_left <= row_right) {
        RowAlign align = Alignment(left_gap, right_gap);
        row_shift = align == raCentred ? dx / 2 : (align == raRight ? dx : 0);
    }
    // The box is not shown yet: nothing to redraw.
    const UINT kMove = SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOREDRAW | SWP_NOCOPYBITS | SWP_NOSIZE;
    for (const Child& c : children) {
        const RECT& r = c.rect;
        if (c.button) {
            SetWindowPos(c.window, nullptr, r.left + row_shift, r.top + dy, 0, 0, kMove);
        } else if (r.top > t.top && text_h > r.bottom - r.top) {
            // The icon keeps its place beside the text: at its top, or
            // where the box centred it.
            int h = r.bottom - r.top;
            int top = t.top + MulDiv(r.top - t.top, std::max(0, new_text_h - h), text_h - h);
            SetWindowPos(c.window, nullptr, r.left, top, 0, 0, kMove);
        }
    }
    int new_frame_w = new_client_w + chrome_w, new_frame_h = client.bottom + dy + chrome_h;
    int x = work.left + std::max(0, (work_w - new_frame_w) / 2);
    int y = work.top + std::max(0, (work_h - new_frame_h) / 2);
    SetWindowPos(box, nullptr, x, y, new_frame_w, new_frame_h, kMove & ~SWP_NOSIZE);
    log_printf(get_log(), "UB\xB7", "text in %u column(s) of %d px; box %dx%d->%dx%d, work area %dx%d",
               static_cast<unsigned>(n), columns.width, frame_w, frame_h, new_frame_w, new_frame_h, work_w, work_h);
}

void SetBoxText(HWND box, const std::wstring& text) {
    HWND control = GetDlgItem(box, kTextItem);
    if (!control || GetWndText(control) == text) return;
    RECT frame{}, client{};
    GetWindowRect(box, &frame);
    GetClientRect(box, &client);
    MONITORINFO mi{};
    mi.cbSize = sizeof mi;
    GetMonitorInfoW(MonitorFromWindow(box, MONITOR_DEFAULTTONEAREST), &mi);
    const RECT& work = mi.rcWork;
    const RECT t = RectInBox(box, control);
    const int text_w = t.right - t.left, text_h = t.bottom - t.top;
    const int chrome_w = (frame.right - frame.left) - client.right, chrome_h = (frame.bottom - frame.top) - client.bottom;
    const int right_margin = std::max(0, static_cast<int>(client.right - t.right));
    const UINT prefix = (GetWindowLongW(control, GWL_STYLE) & SS_NOPREFIX) ? DT_NOPREFIX : 0;
    TextMeter meter(control);
    // Wider where a line needs it, up to the work area; as tall as the text
    // at that width, and never lower than one line.
    int widest = 0;
    for (const std::wstring& l : Lines(text)) widest = std::max(widest, meter.width(l, prefix | DT_EXPANDTABS));
    const int room_w = (work.right - work.left) - chrome_w - t.left - right_margin;
    const int new_w = std::max(text_w, std::min(widest, room_w));
    const int new_h = std::max(meter.height(L" ", new_w, prefix), meter.height(text, new_w, prefix));
    const int dx = new_w - text_w, dy = new_h - text_h;
    std::vector<Child> children;
    EnumChildWindows(box, ListChildProc, reinterpret_cast<LPARAM>(&children));
    int row_left = INT_MAX, row_right = 0;
    for (const Child& c : children) {
        if (!c.button) continue;
        row_left = std::min(row_left, static_cast<int>(c.rect.left));
        row_right = std::max(row_right, static_cast<int>(c.rect.right));
    }
    int row_shift = 0;
    if (row_left <= row_right) {
        RowAlign align = Alignment(row_left, client.right - row_right);
        row_shift = align == raCentred ? dx / 2 : (align == raRight ? dx : 0);
    }
    const UINT kMove = SWP_NOZORDER | SWP_NOACTIVATE;
    SetWindowTextW(control, text.c_str());
    SetWindowPos(control, nullptr, 0, 0, new_w, new_h, kMove | SWP_NOMOVE);
    // What lies below the text (the buttons) moves with its end.
    for (const Child& c : children) {
        if (c.rect.top >= t.bottom) SetWindowPos(c.window, nullptr, c.rect.left + row_shift, c.rect.top + dy, 0, 0, kMove | SWP_NOSIZE);
    }
    // Grown or shrunk about its centre, and kept on the work area.
    const int new_frame_w = client.right + dx + chrome_w, new_frame_h = client.bottom + dy + chrome_h;
    int x = frame.left - dx / 2, y = frame.top - dy / 2;
    x = std::max(static_cast<int>(work.left), std::min(x, static_cast<int>(work.right) - new_frame_w));
    y = std::max(static_cast<int>(work.top), std::min(y, static_cast<int>(work.bottom) - new_frame_h));
    SetWindowPos(box, nullptr, x, y, new_frame_w, new_frame_h, kMove);
    InvalidateRect(box, nullptr, TRUE);
    log_printf(get_log(), "UB\xB7", "text changed: %d lines of text, box %dx%d->%dx%d", static_cast<int>(Lines(text).size()),
               static_cast<int>(frame.right - frame.left), static_cast<int>(frame.bottom - frame.top), new_frame_w,
               new_frame_h);
}

}  // namespace kt
