#include <gtest/gtest.h>

#include "gen/TCmpRes.h"

namespace {

TEST(TCmpRes, NormalisesSign) {
    EXPECT_EQ(kt::TCmpRes(42).value(), 1);
    EXPECT_EQ(kt::TCmpRes(-7).value(), -1);
    EXPECT_EQ(kt::TCmpRes(0).value(), 0);
    EXPECT_EQ(kt::TCmpRes().value(), 0);
}

struct NarrowCase {
    const char* left;
    const char* right;
    uint32_t flags;
    int expected;  // 2: any non-zero
};

TEST(TCmpRes, NarrowModes) {
    const NarrowCase cases[] = {
        {"abc", "ABC", 0, 2},    {"abc", "ABC", 1, 0},    {"abcdef", "abc", 2, 0}, {"abcdef", "abc", 0, 1},
        {"ab", "abc", 2, -1},    {"ABCdef", "abc", 3, 0}, {"ABCdef", "abc", 2, 2}, {"abc", "abd", 0, -1},
        {"", "", 0, 0},          {"x", "", 2, 0},
    };
    for (const NarrowCase& c : cases) {
        int got = kt::compare(kt::Str(c.left), c.right, c.flags).value();
        int got_str = kt::compare(kt::Str(c.left), kt::Str(c.right), c.flags).value();
        if (c.expected == 2) {
            EXPECT_NE(got, 0) << c.left << " " << c.right << " " << c.flags;
        } else {
            EXPECT_EQ(got, c.expected) << c.left << " " << c.right << " " << c.flags;
        }
        EXPECT_EQ(got, got_str);
    }
}

TEST(TCmpRes, CmpNoCase) {
    EXPECT_EQ(kt::CmpNoCase(L"Question", L"QUESTION").value(), 0);
    EXPECT_EQ(kt::CmpNoCase(L"Ok", L"OkCancel").value(), -1);
    EXPECT_EQ(kt::CmpNoCase(L"OkCancel", L"Ok").value(), 1);
    EXPECT_EQ(kt::CmpNoCase(L"", L"").value(), 0);
    // Only ASCII letters change case; units compare as unsigned.
    EXPECT_NE(kt::CmpNoCase(L"\u0434", L"\u0414").value(), 0);
    EXPECT_EQ(kt::CmpNoCase(L"\xFFFF", L"a").value(), 1);
    EXPECT_EQ(kt::CmpNoCase(L"[", L"a").value(), 1);  // 'a' maps to 'A' (0x41), below '[' (0x5B)
}

}  // namespace
