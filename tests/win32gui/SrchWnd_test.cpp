#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "win32gui/SrchWnd.h"
#include "tests/common.h"

namespace {

// Windows made by the test itself, destroyed at the end of each test.
class Windows : public ::testing::Test {
protected:
    void TearDown() override {
        for (auto it = made_.rbegin(); it != made_.rend(); ++it) DestroyWindow(*it);
    }
    // A visible top-level window; the newest is listed first.
    HWND Top(const std::wstring& title) {
        HWND w = CreateWindowExW(0, L"STATIC", title.c_str(), WS_OVERLAPPED | WS_VISIBLE, 0, 0, 50, 50, nullptr,
                                 nullptr, nullptr, nullptr);
        made_.push_back(w);
        return w;
    }
    HWND Child(HWND parent, const std::wstring& text, const wchar_t* cls = L"STATIC") {
        return CreateWindowExW(0, cls, text.c_str(), WS_CHILD | WS_VISIBLE, 0, 0, 10, 10, parent, nullptr, nullptr,
                               nullptr);
    }
    // A title no other window has.
    std::wstring Unique(const wchar_t* base) {
        return std::wstring(base) + L" " + std::to_wstring(GetCurrentProcessId()) + L"." + std::to_wstring(++n_);
    }
    std::vector<HWND> made_;
    int n_ = 0;
};

TEST_F(Windows, FullPathFindsTheTextWindow) {
    std::wstring cap = Unique(L"Box");
    HWND box = Top(cap);
    Child(box, L"Yes", L"BUTTON");
    HWND text = Child(box, L"Proceed?");
    HWND found = reinterpret_cast<HWND>(1);
    kt::result r = kt::SrchWnd(found, {cap, L"Proceed?"});
    EXPECT_EQ(found, text);
    EXPECT_EQ(GetParent(found), box);
    EXPECT_TRUE(r.ok()) << r.code();
}

TEST_F(Windows, NothingMatchingGivesNullAndSuccess) {
    HWND found = reinterpret_cast<HWND>(1);
    kt::result r = kt::SrchWnd(found, {Unique(L"absent"), L"x"});
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(r.code(), 0u);
}

TEST_F(Windows, EmptyPathIsRefused) {
    HWND found = reinterpret_cast<HWND>(1);
    kt::result r = kt::SrchWnd(found, {});
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(r.code(), test::Code(ERROR_INVALID_PARAMETER));
}

TEST_F(Windows, ADecoyListedFirstStopsTheSearchThere) {
    std::wstring cap = Unique(L"Same");
    HWND box = Top(cap);
    Child(box, L"text");
    HWND decoy = Top(cap);  // newer, so listed before the box
    Child(decoy, L"other");
    HWND found = nullptr;
    kt::SrchWnd(found, {cap, L"text"});
    // No backtracking: after the decoy matched the caption, the box was
    // compared with the text, not with the caption.
    EXPECT_EQ(found, decoy);
}

TEST_F(Windows, NoBacktrackingMatchesLaterWindowsAgainstTheNextElement) {
    std::wstring a = Unique(L"A"), b = Unique(L"B");
    HWND later = Top(b);
    HWND first = Top(a);
    Child(first, L"unrelated");
    HWND found = nullptr;
    kt::SrchWnd(found, {a, b});
    EXPECT_EQ(found, later);
    (void)first;
}

TEST_F(Windows, OnePathElementDoesNotListChildren) {
    struct Counting : kt::TStrCmpCmd {
        int calls = 0;
        std::vector<std::wstring> seen;
        kt::result run() override {
            ++calls;
            seen.push_back(*text_);
            return kt::TStrCmpCmd::run();
        }
    } cmp;
    std::wstring cap = Unique(L"Solo");
    HWND top = Top(cap);
    Child(top, L"child text");
    HWND found = nullptr;
    kt::SrchWnd(found, {cap}, cmp);
    EXPECT_EQ(found, top);
    EXPECT_EQ(std::count(cmp.seen.begin(), cmp.seen.end(), L"child text"), 0);
}

TEST_F(Windows, ComparisonIsExact) {
    std::wstring cap = Unique(L"Exact");
    HWND box = Top(cap);
    Child(box, L"text");
    // A caption that differs finds nothing; a text that differs stops at the
    // box (a partial match).
    const std::pair<std::vector<std::wstring>, HWND> cases[] = {
        {{cap + L" ", L"text"}, nullptr},
        {{L"exact" + cap.substr(5), L"text"}, nullptr},
        {{cap, L"TEXT"}, box},
        {{cap, L"text "}, box},
    };
    for (const auto& c : cases) {
        HWND found = reinterpret_cast<HWND>(1);
        kt::SrchWnd(found, c.first);
        EXPECT_EQ(found, c.second);
    }
}

TEST_F(Windows, TextEqualToAButtonFindsTheFirstDescendant) {
    std::wstring cap = Unique(L"Buttons");
    HWND box = Top(cap);
    HWND first = Child(box, L"Yes", L"BUTTON");
    Child(box, L"Yes");
    HWND found = nullptr;
    kt::SrchWnd(found, {cap, L"Yes"});
    EXPECT_EQ(found, first);
    EXPECT_EQ(GetParent(found), box);
}

TEST_F(Windows, GrandchildrenAreSearchedToo) {
    std::wstring cap = Unique(L"Deep");
    HWND box = Top(cap);
    HWND mid = Child(box, L"");
    HWND deep = Child(mid, L"deep text");
    HWND found = nullptr;
    kt::SrchWnd(found, {cap, L"deep text"});
    EXPECT_EQ(found, deep);
}

TEST_F(Windows, ProcessRestrictionSkipsOtherProcessesWindows) {
    std::wstring cap = Unique(L"Mine");
    HWND box = Top(cap);
    HWND text = Child(box, L"t");
    kt::TStrCmpCmd cmp;
    HWND found = nullptr;
    kt::SrchWnd(found, {cap, L"t"}, cmp, GetCurrentProcessId());
    EXPECT_EQ(found, text);
    kt::SrchWnd(found, {cap, L"t"}, cmp, GetCurrentProcessId() + 4);
    EXPECT_EQ(found, nullptr);
}

TEST(SrchWndProc, NullWindowContinues) {
    kt::SrchWndState st;
    EXPECT_TRUE(kt::SrchWndProc(nullptr, reinterpret_cast<LPARAM>(&st)));
}

TEST(SrchWndProc, ExceptionInTheComparerEndsTheSearchAsAResult) {
    struct Throwing : kt::TStrCmpCmd {
        kt::result run() override { throw kt::wexception(L"cmp failed"); }
    } cmp;
    HWND w = CreateWindowExW(0, L"STATIC", L"throwing", WS_OVERLAPPED | WS_VISIBLE, 0, 0, 9, 9, nullptr, nullptr,
                             nullptr, nullptr);
    HWND found = nullptr;
    kt::result r = kt::SrchWnd(found, {L"throwing", L"x"}, cmp);
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.text(), L"cmp failed");
    DestroyWindow(w);
}

TEST(TStack, PushAndClearOwnTheirCells) {
    kt::TStack<HWND> s;
    for (int i = 1; i <= 3; ++i) s.push(reinterpret_cast<HWND>(static_cast<intptr_t>(i)));
    EXPECT_EQ(s.count(), 3u);
    EXPECT_EQ(*s.first()->value, reinterpret_cast<HWND>(1));
    EXPECT_EQ(*s.first()->next->next->value, reinterpret_cast<HWND>(3));
    s.clear();
    EXPECT_EQ(s.count(), 0u);
    EXPECT_EQ(s.first(), nullptr);
}

TEST(GetWndText, ReadsTheWholeText) {
    std::wstring longtext(5000, L'w');
    longtext += L"\u0416\U0001F600";
    HWND w = CreateWindowExW(0, L"STATIC", longtext.c_str(), WS_OVERLAPPED, 0, 0, 9, 9, nullptr, nullptr, nullptr,
                             nullptr);
    EXPECT_EQ(kt::GetWndText(w), longtext);
    SetWindowTextW(w, L"");
    EXPECT_EQ(kt::GetWndText(w), L"");
    DestroyWindow(w);
}

}  // namespace
