// A long message text (the help) fitted to the screen: the box grows
// sideways first, then the text is set in columns, so that the whole box,
// its title bar and its buttons stay on the work area at any display scale.
#pragma once

#include <functional>
#include <vector>

#include "lib/owner.h"

namespace kt {

// Measures texts as a control draws them: in its own device context and
// font, so in the box's own scale. One device context for all of them.
class TextMeter {
public:
    explicit TextMeter(HWND control);
    TextMeter(const TextMeter&) = delete;
    TextMeter& operator=(const TextMeter&) = delete;
    ~TextMeter();
    // On one line; a "&" that marks the mnemonic takes no room unless
    // prefixes are off, "&&" is one "&".
    int width(const std::wstring& text, UINT flags = 0) const;
    // Broken between words at width, as a left-aligned static draws it.
    int height(const std::wstring& text, int width, UINT flags = 0) const;

private:
    unique_window_dc dc_;
    HGDIOBJ old_font_ = nullptr;
};

// Room and measures for laying a text's lines out, in pixels of the box.
struct ColumnRoom {
    size_t lines = 0;
    // Height of line i when it wraps at width.
    std::function<int(size_t i, int width)> line_height;
    int natural_width = 0;  // of the widest line unwrapped
    int min_width = 0;      // the width the box itself gave the text
    int width = 0;          // for all columns and the gaps between them
    int height = 0;         // for the tallest column
    int gap = 0;            // between two columns
    unsigned max_columns = 4;
};

struct TextColumns {
    int width = 0;               // of each column
    std::vector<size_t> starts;  // the first line of each column
    std::vector<int> heights;    // of each column
    int height() const;          // of the tallest
    bool fits = false;           // within the room
};

// The fewest columns that fit the room, each no wider than it takes to fit
// (never narrower than min_width, never wider than the widest line), the
// lines split where the tallest column is lowest: one column grows sideways
// before a second is set beside it. When nothing fits, the layout with the
// lowest tallest column.
TextColumns FitColumns(const ColumnRoom& room);

// When the box (laid out, not yet shown) runs off the work area of its
// monitor, sets its message text in columns as FitColumns lays it out,
// measured in the text's own font, and moves the buttons and the icon with
// it. The text control keeps the whole text, hidden, so that the box is
// still found by its text. Runs on the box's thread.
void FitTextToScreen(HWND box);

// Puts a new message text into a box that is up: the box grows or shrinks
// to the text's height (and sideways where a line needs it, up to the work
// area), what lies below the text (the buttons) moving with its end. Runs
// on the box's thread.
void SetBoxText(HWND box, const std::wstring& text);

}  // namespace kt
