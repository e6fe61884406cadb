#include <gtest/gtest.h>

#include "win32gui/TextFit.h"

namespace {

// A text as lines of so many characters, 6 px wide and 13 px high each,
// wrapped at the column's width; -1 is the empty remainder after a final
// line break.
const int kChar = 6, kLine = 13;

struct FitCase {
    const char* name;
    std::vector<int> lines;
    int min_width, width, height;  // the box's text width, the room
    int want_width;
    std::vector<size_t> want_starts;
    std::vector<int> want_heights;
    bool fits;
};

std::vector<int> Repeat(int n, int chars) { return std::vector<int>(static_cast<size_t>(n), chars); }

std::vector<int> Concat(std::vector<int> a, const std::vector<int>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(FitColumns, Table) {
    const FitCase cases[] = {
        // Wider before taller: 100-character lines unwrapped in one column.
        {"sideways_first", Repeat(10, 100), 254, 800, 200, 600, {0}, {130}, true},
        // No wider than it takes.
        {"sideways_as_far_as_needed", Repeat(10, 100), 254, 400, 300, 300, {0}, {260}, true},
        {"two_columns", Repeat(40, 40), 254, 800, 300, 254, {0, 20}, {260, 260}, true},
        {"three_columns", Repeat(60, 40), 254, 900, 260, 254, {0, 20, 40}, {260, 260, 260}, true},
        // Split where the taller column is lowest, not where the first fills.
        {"balanced", Repeat(10, 10), 60, 400, 100, 60, {0, 5}, {65, 65}, true},
        {"narrowest_that_fits", {10, 10, 10, 10, 60}, 60, 400, 60, 90, {0, 4}, {52, 52}, true},
        {"uneven_lines", Concat(Repeat(6, 10), {50, 50}), 100, 300, 80, 100, {0, 6}, {78, 78}, true},
        // Nothing follows a final line break: no height, last column.
        {"final_line_break", Concat(Repeat(20, 30), {-1}), 180, 800, 130, 180, {0, 10}, {130, 130}, true},
        {"never_narrower_than_the_box", Repeat(4, 10), 300, 1000, 100, 300, {0}, {52}, true},
        // No room beside: the one column, the lowest there is.
        {"no_room_for_a_second", Repeat(40, 40), 254, 500, 300, 254, {0}, {520}, false},
        {"nothing_fits", Repeat(80, 40), 254, 1200, 100, 254, {0, 20, 40, 60}, {260, 260, 260, 260}, false},
    };
    for (const FitCase& c : cases) {
        SCOPED_TRACE(c.name);
        kt::ColumnRoom room;
        room.lines = c.lines.size();
        room.line_height = [&](size_t i, int width) {
            int chars = c.lines[i];
            return chars < 0 ? 0 : kLine * std::max(1, (chars * kChar + width - 1) / width);
        };
        for (int chars : c.lines) room.natural_width = std::max(room.natural_width, chars * kChar);
        room.min_width = c.min_width;
        room.width = c.width;
        room.height = c.height;
        room.gap = 24;
        kt::TextColumns got = kt::FitColumns(room);
        EXPECT_EQ(got.width, c.want_width);
        EXPECT_EQ(got.starts, c.want_starts);
        EXPECT_EQ(got.heights, c.want_heights);
        EXPECT_EQ(got.fits, c.fits);
        if (got.fits) {
            int n = static_cast<int>(got.starts.size());
            EXPECT_LE(n * got.width + (n - 1) * room.gap, room.width);
            EXPECT_LE(got.height(), room.height);
        }
    }
}

}  // namespace
