// The caller's words on the system box's buttons, put in place before the box
// is first shown, with the button row widened to fit them.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "lib/kt.h"

namespace kt {

const unsigned kMaxButtons = 3;
// The longest label, in characters as the caller wrote it.
const size_t kMaxLabelChars = 40;

// Buttons of the set that flags name (flags & 7): 1 to 3, 0 for no set.
unsigned ButtonCount(uint32_t flags);
// Dialog item of button index (0-based, as the box shows them) of the set;
// 0 when the set has no such button. The OK-only box's button is IDCANCEL.
uint32_t ButtonItem(uint32_t flags, unsigned index);
// The visible button of the box that stands for item id: the item itself,
// or for the OK-only box the one visible button (Wine numbers it 1).
HWND ButtonWindow(HWND dlg, uint32_t flags, unsigned index);

// How long a guarded box takes no answer.
const DWORD kGuardMs = 1000;

// What changes on the box: before it is first shown, and while it is up.
struct MsgBoxLook {
    // Button1..Button3; empty keeps the system's words.
    std::wstring labels[kMaxButtons];
    // Guard: for kGuardMs after the box is first shown, and again each time
    // it becomes the active window, key and mouse input to it is dropped and
    // its buttons are greyed.
    bool guard = false;
    // A long text (the help) is fitted to the screen: the box grows
    // sideways, then sets its text in columns (see TextFit.h).
    bool fit_text = false;
    // Top-most and in front as it appears (Wine leaves MB_TOPMOST aside):
    // the relayed box, asked from a process that may not give it the front.
    bool topmost = false;
    // A button (0-based index of the set) greyed for as long as the box is
    // up, that nothing can answer with: its command is dropped, whoever
    // sends it (a click, a key, Escape for a Cancel button), and so is a
    // close. -1: none.
    int locked = -1;
    // The box goes by itself once this object is signalled (a process that
    // ends, a relayed run's channel that broke), and by nothing else. Null:
    // never.
    HANDLE ends_with = nullptr;
    // The defer button (0-based index of the set): a person's click of it
    // counts only once take() has granted it (a deferral taken then, under
    // its lock); refused, the box stays, the button greyed for good and the
    // labels those of none_left that are set. At deferral_until (UTC, in
    // FILETIME units; 0: never) it greys by itself the same way. -1: none.
    int deferral = -1;
    std::function<bool()> take;
    uint64_t deferral_until = 0;
    std::wstring none_left[kMaxButtons];
    // Words that follow what changes while the box is up: every refresh_ms,
    // refresh() gives the text and the labels as they are now (empty: kept);
    // the box takes them, growing or shrinking to the text, and where done
    // is set it ends with button 1, as its person's answer. Null: none.
    struct LiveWords {
        std::wstring text;
        std::wstring labels[kMaxButtons];
        bool done = false;
    };
    std::function<LiveWords()> refresh;
    DWORD refresh_ms = 1000;
    // Called once the box is laid out, as it is about to be shown.
    std::function<void()> on_shown;
    // The countdown's click as it sends it (MsgBoxAC): a command of that
    // button sent from another thread is the countdown's, not a person's.
    const std::atomic<uint32_t>* countdown = nullptr;
    // The countdown, where there is one, keeps the title as it is.
    bool quiet_title = false;
    // Whether any label is set.
    bool any() const;
};

// A child window's rectangle in the box's client coordinates.
RECT RectInBox(HWND box, HWND child);

// Where a row sits between the gaps left and right of it.
enum RowAlign { raCentred, raLeft, raRight };
// Centred unless one gap is clearly the smaller: Wine centres its rows a
// few pixels off, Windows sets its buttons to the right.
RowAlign Alignment(int left_gap, int right_gap);

// A button row as the box laid it out, in client coordinates of the box.
struct ButtonRow {
    int client_width = 0;
    std::vector<RECT> buttons;  // left to right, all one width
    int edge = 0;               // the margin the box keeps at its sides
};

// Where the row goes once every button is width wide.
struct RowFit {
    int width = 0;           // of each button
    int client_width = 0;    // of the box, at least the old one
    std::vector<int> lefts;  // of the buttons, left to right
};

// Widens every button to width (never narrower than they are), keeping the
// spacing and the row's alignment (centred, or kept to the side whose gap
// is smaller); the client area grows when the row needs it, up to
// max_client_width, beyond which the buttons are narrowed to fit.
RowFit FitRow(const ButtonRow& row, int width, int max_client_width);

// What ended a box besides its answer, where the box was watched (watched:
// a look that needs its messages; else only the answer is known).
struct BoxEnd {
    bool watched = false;
    bool countdown = false;  // the countdown's click (look.countdown)
    bool object = false;     // look.ends_with was signalled
    bool taken = false;      // a person's defer click that take() granted
};

// MessageBoxW with look applied: the labels once the system has laid the box
// out and before it is shown, the guard from then on (a subclass of the box,
// set by a hook of this thread when the box is created). end: how it ended.
int ShowMsgBox(HWND owner, const std::wstring& text, const std::wstring& caption, uint32_t flags,
               const MsgBoxLook& look, BoxEnd* end = nullptr);

}  // namespace kt
