#include <gtest/gtest.h>

#include <regex>

#include "gen/BStr.h"

namespace {

std::string S(const kt::Str& s) { return std::string(s.data(), s.length()); }

TEST(Str, AssignWithLimit) {
    EXPECT_EQ(S(kt::Str("abcdef", 3)), "abc");
    EXPECT_EQ(S(kt::Str("abcdef", 0)), "abcdef");
    EXPECT_EQ(S(kt::Str("abc", 10)), "abc");
    kt::Str a("xyz");
    kt::Str b;
    b = a;
    a = "changed";
    EXPECT_EQ(S(b), "xyz");
    b = b;
    EXPECT_EQ(S(b), "xyz");
}

TEST(Str, ReserveGrowsIn32ByteStepsAndResetsForEmpty) {
    kt::Str s;
    EXPECT_GE(s.capacity(), 32u);
    s.reserve(40);
    EXPECT_GE(s.capacity(), 64u);
    s.reserve(0);
    EXPECT_LT(s.capacity(), 64u);
}

struct TrimCase {
    const char* in;
    const char* left;
    const char* right;
    const char* both;
};

TEST(Str, Trimming) {
    const TrimCase cases[] = {
        {"", "", "", ""},
        {"   ", "", "", ""},
        {" \t a b \t", "a b \t", " \t a b", "a b"},
        {"ab", "ab", "ab", "ab"},
    };
    for (const TrimCase& c : cases) {
        kt::Str l(c.in), r(c.in), b(c.in);
        l.trim_left();
        r.trim_right();
        b.trim();
        EXPECT_EQ(S(l), c.left) << c.in;
        EXPECT_EQ(S(r), c.right) << c.in;
        EXPECT_EQ(S(b), c.both) << c.in;
    }
}

TEST(Str, AutomaticTrimFlagsApplyAfterChanges) {
    kt::Str s;
    s.set_flags(kt::BStr::trim_lead | kt::BStr::trim_trail);
    s.assign("  padded  ", 0);
    EXPECT_EQ(S(s), "padded");
    s.append("   ");
    EXPECT_EQ(S(s), "padded");
    s.insert("  ", 0, 0);
    EXPECT_EQ(S(s), "padded");
}

TEST(Str, Unquote) {
    const std::pair<const char*, const char*> cases[] = {
        {"\"a b\"", "a b"}, {"\"a\"b\"", "\"a\"b\""}, {"\"", "\""}, {"\"\"", ""}, {"x\"", "x\""}, {"", ""},
    };
    for (const auto& c : cases) {
        kt::Str s(c.first);
        s.unquote();
        EXPECT_EQ(S(s), c.second) << c.first;
    }
}

TEST(Str, EraseAndCut) {
    kt::Str s("abcdef");
    s.erase(2, 0);
    EXPECT_EQ(S(s), "ab");
    kt::Str t("abcdef");
    try {
        t.erase(5, 3);
        FAIL() << "no throw";
    } catch (const kt::wexception& e) {
        std::string msg(e.text().begin(), e.text().end());
        EXPECT_TRUE(std::regex_match(msg, std::regex("Lib\\\\Src\\\\gen\\\\BStr line [0-9]+"))) << msg;
    }
    EXPECT_EQ(S(t), "abcdef");
    t.erase(1, 2);
    EXPECT_EQ(S(t), "adef");
    kt::Str c("abcdef");
    c.cut_right(2);
    EXPECT_EQ(S(c), "abcd");
    c.cut_right(9);
    EXPECT_EQ(S(c), "");
}

TEST(Str, InsertAppendAndPlus) {
    kt::Str s("ad");
    s.insert("bc", 1, 0);
    EXPECT_EQ(S(s), "abcd");
    s.insert("xyz", 4, 1);
    EXPECT_EQ(S(s), "abcdx");
    s.insert("", 0, 0);
    EXPECT_EQ(S(s), "abcdx");
    kt::Str t = s + "!";
    EXPECT_EQ(S(t), "abcdx!");
    EXPECT_EQ(S(s), "abcdx");
    std::string long_text(1000, 'q');
    s.append(long_text.c_str());
    EXPECT_EQ(S(s), "abcdx" + long_text);
}

TEST(Str, FormatGrowsUntilItFits) {
    kt::Str s;
    std::string big(500, 'z');
    const char* p = s.format("%s-%u-%08X", big.c_str(), 42u, 0xABCu);
    EXPECT_EQ(p, s.data());
    EXPECT_EQ(S(s), big + "-42-00000ABC");
    EXPECT_GT(s.capacity(), s.length());
}

TEST(Array, ResizeKeepsPrefix) {
    kt::Array<wchar_t> a(4);
    for (uint32_t i = 0; i < 4; ++i) a[i] = static_cast<wchar_t>(L'a' + i);
    a.resize(8);
    EXPECT_EQ(a.count(), 8u);
    EXPECT_EQ(std::wstring(a.data(), 4), L"abcd");
    a.resize(2);
    EXPECT_EQ(std::wstring(a.data(), 2), L"ab");
    a.resize(0);
    EXPECT_EQ(a.data(), nullptr);
    EXPECT_THROW(a[0], kt::wexception);
}

TEST(Conversion, AnsiToWide) {
    EXPECT_EQ(kt::AnsiToWide("hello", 0), L"hello");
    EXPECT_EQ(kt::AnsiToWide("hello", 3), L"hel");
    EXPECT_EQ(kt::AnsiToWide(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
    EXPECT_EQ(kt::AnsiToWide("", 0), L"");
    kt::Array<wchar_t> out;
    kt::AnsiToWide(kt::Str("xy"), out);
    EXPECT_EQ(out.count(), 3u);
    EXPECT_EQ(std::wstring(out.data()), L"xy");
    kt::AnsiToWide(kt::Str(""), out);
    EXPECT_EQ(out.count(), 0u);
    // The middle dot of the log categories is one unit in every ANSI code page.
    EXPECT_EQ(kt::AnsiToWide("A\xB7\xB7", 0).size(), 3u);
}

TEST(Heap, BufferSizesFollowHeapSize) {
    kt::char_buffer b(10);
    EXPECT_GE(b.size(), 10u);
    b.reallocate(100);
    EXPECT_GE(b.size(), 100u);
    EXPECT_EQ(b.release(), 0u);
    EXPECT_EQ(b.data(), nullptr);
    EXPECT_EQ(b.size(), 0u);
}

}  // namespace
