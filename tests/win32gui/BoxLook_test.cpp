#include <gtest/gtest.h>

#include "win32gui/BoxLook.h"

namespace {

RECT At(int left, int width) { return RECT{left, 100, left + width, 123}; }

struct FitCase {
    const char* name;
    int client;                  // old client width
    std::vector<RECT> buttons;   // old row
    int edge;
    int width, max_client;       // asked for
    int fit_width, fit_client;   // expected
    std::vector<int> lefts;
};

TEST(FitRow, Table) {
    const FitCase cases[] = {
        // Wine's centred YesNo row: 52 px buttons 17 px apart in 200 px.
        {"fits_unchanged", 200, {At(40, 52), At(109, 52)}, 10, 52, 1000, 52, 200, {40, 109}},
        {"narrower_is_never_asked", 200, {At(40, 52), At(109, 52)}, 10, 30, 1000, 52, 200, {40, 109}},
        {"wider_in_the_box", 200, {At(40, 52), At(109, 52)}, 10, 80, 1000, 80, 200, {11, 108}},
        {"box_grows_centred", 200, {At(40, 52), At(109, 52)}, 10, 120, 1000, 120, 277, {10, 147}},
        // A right-aligned row keeps its right gap; the left gets the edge.
        {"right_aligned_grows", 300, {At(120, 75), At(205, 75)}, 11, 150, 1000, 150, 341, {11, 171}},
        {"right_aligned_in_place", 300, {At(120, 75), At(205, 75)}, 11, 90, 1000, 90, 300, {90, 190}},
        {"left_aligned", 300, {At(11, 75), At(96, 75)}, 11, 90, 1000, 90, 300, {11, 111}},
        {"one_button", 150, {At(49, 52)}, 10, 100, 1000, 100, 150, {25}},
        // Wine centres its OK button a few pixels off: still a centred row.
        {"off_centre_is_centred", 322, {At(138, 52)}, 12, 100, 1000, 100, 322, {111}},
        // The screen's limit narrows the buttons instead of pushing them out.
        {"capped", 200, {At(40, 52), At(109, 52)}, 10, 600, 500, 231, 500, {10, 258}},
        {"cap_below_the_box", 600, {At(40, 52), At(109, 52)}, 10, 60, 500, 60, 600, {0, 0}},
    };
    for (const FitCase& c : cases) {
        SCOPED_TRACE(c.name);
        kt::ButtonRow row;
        row.client_width = c.client;
        row.buttons = c.buttons;
        row.edge = c.edge;
        kt::RowFit fit = kt::FitRow(row, c.width, c.max_client);
        EXPECT_EQ(fit.width, c.fit_width);
        EXPECT_EQ(fit.client_width, c.fit_client);
        if (std::string(c.name) == "cap_below_the_box") {
            // A box already wider than the limit keeps its width.
            ASSERT_EQ(fit.lefts.size(), 2u);
            continue;
        }
        EXPECT_EQ(fit.lefts, c.lefts);
        // No overlap, the spacing kept, all inside.
        for (size_t i = 1; i < fit.lefts.size(); ++i) {
            int spacing = c.buttons[1].left - c.buttons[0].right;
            EXPECT_EQ(fit.lefts[i] - fit.lefts[i - 1] - fit.width, spacing);
        }
        EXPECT_GE(fit.lefts.front(), 0);
        EXPECT_LE(fit.lefts.back() + fit.width, fit.client_width);
    }
}

TEST(ButtonSet, CountsAndItemsInTheBoxsOrder) {
    const struct {
        uint32_t flags;
        unsigned count;
        uint32_t items[3];
    } sets[] = {
        {MB_OK, 1, {IDCANCEL, 0, 0}},
        {MB_OKCANCEL, 2, {IDOK, IDCANCEL, 0}},
        {MB_ABORTRETRYIGNORE, 3, {IDABORT, IDRETRY, IDIGNORE}},
        {MB_YESNOCANCEL | MB_ICONQUESTION | MB_DEFBUTTON2, 3, {IDYES, IDNO, IDCANCEL}},
        {MB_YESNO, 2, {IDYES, IDNO, 0}},
        {MB_RETRYCANCEL, 2, {IDRETRY, IDCANCEL, 0}},
        {MB_CANCELTRYCONTINUE, 3, {IDCANCEL, IDTRYAGAIN, IDCONTINUE}},
        {7, 0, {0, 0, 0}},
    };
    for (const auto& s : sets) {
        SCOPED_TRACE(s.flags);
        EXPECT_EQ(kt::ButtonCount(s.flags), s.count);
        for (unsigned i = 0; i < 3; ++i) EXPECT_EQ(kt::ButtonItem(s.flags, i), s.items[i]) << i;
        EXPECT_EQ(kt::ButtonItem(s.flags, 3), 0u);
    }
}

}  // namespace
