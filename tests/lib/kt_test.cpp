#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <regex>
#include <set>
#include <type_traits>
#include <vector>

#include "lib/kt.h"
#include "lib/owner.h"
#include "tests/common.h"

namespace {

using test::Narrow;

// ---- result -------------------------------------------------------------

TEST(Result, CodeZeroIsAlwaysSuccess) {
    kt::result r(0, L"text", kt::lvlError);
    EXPECT_EQ(r.level(), kt::lvlNone);
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.text(), L"text");
    kt::result d;
    EXPECT_EQ(d.code(), 0u);
    EXPECT_TRUE(d.ok());
    EXPECT_EQ(d.descr(), kt::ErrorText(0));
}

TEST(Result, WarningsCountAsSuccess) {
    EXPECT_TRUE(kt::result(87, L"w", kt::lvlWarning).ok());
    EXPECT_FALSE(kt::result(87, L"e", kt::lvlError).ok());
    EXPECT_FALSE(kt::result().set_code(5).ok());
    EXPECT_TRUE(kt::result(5).set_code(0).ok());
}

TEST(Result, NarrowTextKeepsCodeAndLevelAsGiven) {
    kt::result r(0, "narrow", kt::lvlError);
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.text(), L"narrow");
    EXPECT_TRUE(r.descr().empty());
    kt::result e(87, "ERROR: no message text", kt::lvlError);
    EXPECT_EQ(e.code(), test::Code(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(e.descr().empty());
}

TEST(Result, SeverityBitsAreMaskedButDescriptionUsesStoredCode) {
    kt::RegisterError(0x20000401, L"registered 401");
    kt::result r(0xE0000401);
    EXPECT_EQ(r.code(), 0x20000401u);
    EXPECT_TRUE(r.descr().empty());
    EXPECT_EQ(kt::result(0x20000401).descr(), L"registered 401");
}

TEST(Result, AddMergesFirstCodeHighestLevelAndTexts) {
    kt::result ok(0, L"a");
    ok.add(kt::result(0x20000402, L"b", kt::lvlError));
    kt::RegisterError(0x20000402, L"d402");
    EXPECT_EQ(ok.code(), 0x20000402u);
    EXPECT_EQ(ok.level(), kt::lvlError);
    EXPECT_EQ(ok.text(), L"ab");

    kt::result err(87, L"x", kt::lvlError);
    std::wstring descr = err.descr();
    err.add(kt::result(0, L""));
    err.add(kt::result(5, L"y", kt::lvlWarning));
    EXPECT_EQ(err.code(), test::Code(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(err.descr(), descr);
    EXPECT_EQ(err.level(), kt::lvlError);
    EXPECT_EQ(err.text(), L"xy");
}

TEST(Result, FormatReplacesInOrderIncludingInsertedPlaceholders) {
    kt::RegisterError(0x20000101, L"year");
    kt::result r(0x20000101, L"x");
    EXPECT_EQ(r.format(L"%cd/%ch/%c/%d"), L"536871169/20000101/x/year");
    kt::result inner(0x20000101, L"[%d]");
    EXPECT_EQ(inner.format(L"%c"), L"[year]");
}

TEST(Result, StrOfParameterError) {
    kt::result r(87, L"ERROR: no arguments", kt::lvlError);
    std::wstring d = kt::ErrorText(87);
    ASSERT_FALSE(d.empty());
    EXPECT_NE(d.back(), L'\n');
    EXPECT_NE(d.back(), L'\r');
    EXPECT_EQ(r.str(), L"ERROR: no arguments " + d + L" [87(00000057)]");
}

TEST(Result, CopyKeepsAllFields) {
    kt::result r(87, L"t", kt::lvlError);
    r.set_descr(L"custom");
    kt::result c(r);
    EXPECT_EQ(c.code(), test::Code(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(c.text(), L"t");
    EXPECT_EQ(c.descr(), L"custom");
    EXPECT_EQ(c.level(), kt::lvlError);
}

// ---- registry -----------------------------------------------------------

TEST(Registry, LookupDoesNotCreateRegistry) {
    bool existed = kt::ErrorRegistry() != nullptr;
    EXPECT_TRUE(kt::ErrorText(0x2000FFFF).empty());
    EXPECT_EQ(kt::ErrorRegistry() != nullptr, existed);
}

TEST(Registry, RefusesSystemCodesAndDuplicates) {
    EXPECT_FALSE(kt::RegisterError(87, L"no"));
    EXPECT_NE(kt::ErrorText(87), L"no");
    EXPECT_TRUE(kt::RegisterError(0x20000301, L"first"));
    EXPECT_FALSE(kt::RegisterError(0x20000301, L"second"));
    EXPECT_EQ(kt::ErrorText(0x20000301), L"first");
}

TEST(Registry, RegisterErrorTextAllocatesAfterLargest) {
    const kt::TList<kt::ErrCode>* reg = kt::ErrorRegistry();
    uint32_t expected = (reg && reg->count()) ? reg->at(reg->count() - 1)->code + 1 : 0x20000001;
    uint32_t a = kt::RegisterErrorText(L"text A");
    EXPECT_EQ(a, expected);
    EXPECT_EQ(kt::RegisterErrorText(L"text A"), a);
    EXPECT_NE(kt::RegisterErrorText(L"text a"), a);  // case-sensitive
    EXPECT_TRUE(kt::RegisterError(0x20000F09, L"high"));
    EXPECT_EQ(kt::RegisterErrorText(L"text B"), 0x20000F0Au);
    EXPECT_EQ(kt::ErrorText(0x20000F0A), L"text B");
}

TEST(Registry, KeepsCodesSortedWhateverTheOrderOfRegistration) {
    std::vector<uint32_t> codes;
    for (uint32_t i = 0; i < 300; ++i) codes.push_back(0x20010000 + i * 7);
    std::shuffle(codes.begin(), codes.end(), std::mt19937(42));
    for (uint32_t c : codes) EXPECT_TRUE(kt::RegisterError(c, std::to_wstring(c)));
    const kt::TList<kt::ErrCode>* reg = kt::ErrorRegistry();
    for (uint32_t i = 1; i < reg->count(); ++i) ASSERT_LT(reg->at(i - 1)->code, reg->at(i)->code);
    for (uint32_t c : codes) EXPECT_EQ(kt::ErrorText(c), std::to_wstring(c));
    EXPECT_TRUE(kt::ErrorText(0x20010001).empty());
}

// ---- exceptions and check macros -----------------------------------------

TEST(Checks, CheckTextNamesExpressionPathAndLine) {
    int evaluations = 0;
    auto count = [&] { ++evaluations; return false; };
    int line = __LINE__ + 2;
    try {
        KT_CHECK(count());
        FAIL() << "no throw";
    } catch (const kt::wexception& e) {
        EXPECT_EQ(e.text(), L"!count() at tests\\lib\\kt_test line " + std::to_wstring(line));
    }
    EXPECT_EQ(evaluations, 1);
    EXPECT_NO_THROW(KT_CHECK(1 + 1 == 2));
}

TEST(Checks, ThrowHereAndWindowsError) {
    int line = __LINE__ + 2;
    try {
        KT_THROW_HERE;
    } catch (const kt::wexception& e) {
        EXPECT_EQ(e.text(), L"tests\\lib\\kt_test line " + std::to_wstring(line));
    }
    kt::windows_error w(L"can't undo", 1);
    EXPECT_EQ(w.code(), 1u);
    EXPECT_EQ(w.text(), L"can't undo (" + kt::ErrorText(1) + L")");
}

TEST(Checks, BoolResultEvaluatesOnceAndKeepsTheCall) {
    int evaluations = 0;
    auto fails = [&] { ++evaluations; SetLastError(ERROR_ACCESS_DENIED); return FALSE; };
    kt::result r = KT_BOOL_RESULT(fails());
    EXPECT_EQ(evaluations, 1);
    EXPECT_EQ(r.code(), test::Code(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.text(), L"fails()");
    SetLastError(ERROR_ACCESS_DENIED);
    kt::result fine = KT_BOOL_RESULT(TRUE);
    EXPECT_TRUE(fine.ok());
    EXPECT_EQ(fine.code(), 0u);
    EXPECT_EQ(fine.text(), L"");
    SetLastError(ERROR_NOT_FOUND);
    EXPECT_EQ(kt::ErrorUnless(false), test::Code(ERROR_NOT_FOUND));
    EXPECT_EQ(kt::ErrorUnless(true), 0u);
}

// ---- owners -------------------------------------------------------------

// Kernel handles: tests/threads. Here the other owners and scope_exit.
TEST(Owners, LocalBlocksTimersSearchesAndScopeExit) {
    static_assert(!std::is_copy_constructible<kt::unique_local>::value, "an owner is not copied");
    kt::unique_local block(LocalAlloc(LMEM_FIXED, 16));
    EXPECT_TRUE(block);
    kt::unique_local moved(std::move(block));
    EXPECT_FALSE(block);
    EXPECT_TRUE(moved);
    moved.reset();
    EXPECT_FALSE(moved);
    UINT_PTR id = SetTimer(nullptr, 0, 60000, nullptr);
    ASSERT_NE(id, 0u);
    {
        kt::unique_thread_timer timer(id);
        EXPECT_EQ(timer.get(), id);
    }
    EXPECT_FALSE(KillTimer(nullptr, id));  // already killed by the owner
    // A search handle's "none" is INVALID_HANDLE_VALUE, and null is none too.
    EXPECT_EQ(kt::unique_find().get(), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(kt::unique_find(nullptr));
    int runs = 0;
    {
        auto once = kt::scope_exit([&] { ++runs; });
        auto never = kt::scope_exit([&] { runs += 10; });
        never.dismiss();
    }
    EXPECT_EQ(runs, 1);
}

// ---- TList --------------------------------------------------------------

int g_compares = 0;
int g_deleted = 0;

struct Num : kt::base {
    explicit Num(int v) : v(v) {}
    ~Num() override { ++g_deleted; }
    static kt::TCmpRes compare(const Num& a, const Num& b, uint32_t key) {
        ++g_compares;
        if (key == 7) return (a.v / 10) - (b.v / 10);  // a coarser key
        return a.v < b.v ? -1 : (a.v > b.v ? 1 : 0);
    }
    int v;
};

std::vector<int> values(const kt::TList<Num>& l) {
    std::vector<int> v;
    for (uint32_t i = 0; i < l.count(); ++i) v.push_back(l.at(i)->v);
    return v;
}

const std::regex kHeaderThrow("Lib\\\\Src\\\\lib\\\\kt line [0-9]+");

void ExpectHeaderThrow(const std::function<void()>& f) {
    try {
        f();
        ADD_FAILURE() << "no throw";
    } catch (const kt::wexception& e) {
        EXPECT_TRUE(std::regex_match(Narrow(e.text()), kHeaderThrow)) << Narrow(e.text());
    }
}

TEST(TList, SortedUniqueInsertion) {
    kt::TList<Num> l(1, 0x80, 64);
    l.add(new Num(1));
    l.add(new Num(5));
    l.add(new Num(9));
    EXPECT_EQ(l.add(new Num(7)), 2);
    EXPECT_EQ(values(l), (std::vector<int>{1, 5, 7, 9}));
    Num dup(5);
    EXPECT_EQ(l.add(&dup), -1);
    EXPECT_EQ(values(l), (std::vector<int>{1, 5, 7, 9}));
    g_compares = 0;
    Num* ten = new Num(10);
    EXPECT_EQ(l.add(ten), 4);
    EXPECT_EQ(g_compares, 2);  // the last element, then the unique check
    EXPECT_EQ(l.at(4), ten);
}

TEST(TList, RandomInsertionsStaySortedWithAndWithoutUnique) {
    std::mt19937 rng(7);
    kt::TList<Num> dups(1, 0, 8), uniq(1, 0x80, 8);
    std::multiset<int> all;
    std::set<int> distinct;
    for (int i = 0; i < 500; ++i) {
        int v = static_cast<int>(rng() % 200);
        dups.add(new Num(v));
        all.insert(v);
        Num* n = new Num(v);
        if (uniq.add(n) < 0) delete n;
        distinct.insert(v);
    }
    EXPECT_EQ(values(dups), std::vector<int>(all.begin(), all.end()));
    EXPECT_EQ(values(uniq), std::vector<int>(distinct.begin(), distinct.end()));
    EXPECT_EQ(dups.capacity() % 8, 0u);
}

TEST(TList, BoundsAndNullThrow) {
    kt::TList<Num> l(0, 0, 64);
    ExpectHeaderThrow([&] { l.add(nullptr); });
    l.add(new Num(1));
    ExpectHeaderThrow([&] { l.at(1); });
    Num* two = new Num(2);
    EXPECT_EQ(l.insert_at(two, 1), 1);  // at the count: appends
    Num three(3);
    ExpectHeaderThrow([&] { l.insert_at(&three, 3); });
    EXPECT_EQ(values(l), (std::vector<int>{1, 2}));
    EXPECT_EQ(l.insert_at(new Num(0), 0), 0);
    EXPECT_EQ(values(l), (std::vector<int>{0, 1, 2}));
}

TEST(TList, ReserveRoundsToStep) {
    kt::TList<Num> l(0, 0, 64);
    EXPECT_TRUE(l.reserve(1));
    EXPECT_EQ(l.capacity(), 64u);
    EXPECT_FALSE(l.reserve(64));
    EXPECT_TRUE(l.reserve(65));
    EXPECT_EQ(l.capacity(), 128u);
    EXPECT_FALSE(l.reserve(0));
}

// Every mode against a brute-force answer, for lists of 1 to 24 elements.
TEST(TList, SearchModesMatchLinearScan) {
    for (int n = 1; n <= 24; ++n) {
        kt::TList<Num> l(1, 0x80, 4);
        for (int i = 0; i < n; ++i) l.add(new Num(2 * i + 2));
        for (int probe = 0; probe <= 2 * n + 3; ++probe) {
            for (int mode = 0; mode <= 4; ++mode) {
                int want = -1;
                for (int i = 0; i < n; ++i) {
                    int v = 2 * i + 2;
                    bool fits = (mode == 0 && v < probe) || (mode == 1 && v <= probe) || (mode == 2 && v == probe) ||
                                (mode == 3 && v >= probe) || (mode == 4 && v > probe);
                    if (!fits) continue;
                    if (mode <= 1 || want < 0) want = i;  // greatest for 0/1, smallest for 3/4
                }
                uint32_t idx = 999;
                bool got = l.search(Num(probe), idx, mode);
                ASSERT_EQ(got, want >= 0) << "n=" << n << " probe=" << probe << " mode=" << mode;
                if (got) {
                    ASSERT_EQ(static_cast<int>(idx), want) << "n=" << n << " probe=" << probe << " mode=" << mode;
                }
                Num* f = l.find(Num(probe), 1, mode);
                ASSERT_EQ(f ? f->v : -1, want >= 0 ? 2 * want + 2 : -1);
            }
        }
    }
}

TEST(TList, FindWithOtherKeyScansInOrder) {
    kt::TList<Num> l(0, 0, 64);
    for (int v : {35, 12, 18, 51, 44}) l.add(new Num(v));
    EXPECT_EQ(l.find(Num(19), 7, kt::srchEqual)->v, 12);  // first in the tens
    EXPECT_EQ(l.find(Num(20), 7, kt::srchGreaterEq)->v, 35);  // smallest decade above 2
    EXPECT_EQ(l.find(Num(41), 7, kt::srchGreaterEq)->v, 44);
    EXPECT_EQ(l.find(Num(60), 7, kt::srchGreaterEq), nullptr);
    EXPECT_EQ(l.find(Num(12), 7, kt::srchLessEq), nullptr);
}

TEST(TList, ClearDeletesEverything) {
    g_deleted = 0;
    {
        kt::TList<Num> l(0, 0, 64);
        for (int i = 0; i < 70; ++i) l.add(new Num(i));
        EXPECT_EQ(l.clear(), 0u);
        EXPECT_EQ(l.count(), 0u);
        EXPECT_EQ(l.capacity(), 0u);
        EXPECT_EQ(g_deleted, 70);
        l.add(new Num(1));
    }
    EXPECT_EQ(g_deleted, 71);
}

}  // namespace
