// Generated command lines: whatever comes in, the parser answers with a
// success or with code 87 and one of its four texts, and never crashes.
#include <gtest/gtest.h>

#include <random>

#include "app/CmdLine.h"
#include "tests/common.h"

namespace {

const wchar_t* const kWords[] = {L"OK", L"OkCancel", L"abortretryignore", L"YESNOCANCEL", L"YesNo", L"RetryCancel",
                                 L"CancelTryContinue", L"NoButtons", L"Information", L"question", L"Warning",
                                 L"Error", L"DefButton1", L"DEFBUTTON2", L"DefButton3", L"DefButton4",
                                 L"TopMost", L"systemmodal", L"TaskModal", L"Right", L"RtlReading", L"ReportTimeout",
                                 L"guard"};
const uint32_t kWordCount = sizeof kWords / sizeof kWords[0];

class Gen {
public:
    explicit Gen(uint32_t seed) : rng_(seed) {}
    uint32_t n(uint32_t bound) { return rng_() % bound; }

    std::wstring piece() {
        switch (n(10)) {
        case 0: return L"";
        case 1: return L" " + std::wstring(kWords[n(kWordCount)]);
        case 2: return junk(1 + n(8));
        default: return kWords[n(kWordCount)];
        }
    }
    std::wstring flags() {
        std::wstring f = piece();
        for (uint32_t i = n(5); i > 0; --i) f += (n(8) ? L"|" : L"||") + piece();
        if (n(10) == 0) f += L"|";
        return f;
    }
    std::wstring number() {
        const wchar_t* const fixed[] = {L"0", L"60", L"-5", L"2147483647", L"2147483648", L"-2147483648",
                                        L"-2147483649", L"4294967296", L"99999999999999999999", L" 7s", L"+",
                                        L"\uFF19\uFF19", L"\u0660", L"abc", L""};
        if (n(2)) return fixed[n(15)];
        std::wstring s = n(2) ? L"-" : L"";
        for (uint32_t i = 1 + n(25); i > 0; --i) s += static_cast<wchar_t>(L'0' + n(10));
        return s;
    }
    // Text with escapes, quotes, non-ASCII and unpaired surrogates.
    std::wstring junk(uint32_t len) {
        const wchar_t alphabet[] = L"abcXYZ \t\\\"|-/:^~nNtT\u00B7\u0416\u4E2D\xD83D\xDE00\xD800\xDFFF\u0000";
        std::wstring s;
        for (uint32_t i = 0; i < len; ++i) {
            wchar_t c = alphabet[n(sizeof alphabet / sizeof alphabet[0] - 1)];
            s += c ? c : L'x';
        }
        return s;
    }
    std::wstring arg() {
        switch (n(12)) {
        case 0: return L"";
        case 1: return junk(1000 + n(9000));
        case 2: return L"-esc:" + junk(n(4));
        case 3: return L"/ESC:";
        default: return junk(1 + n(30));
        }
    }
    // One argument as it would be written on a command line: quoted or bare.
    std::wstring quoted(const std::wstring& a) {
        if (n(4) == 0) return a;  // bare: the splitter takes it as it comes
        std::wstring q = L"\"";
        for (wchar_t c : a) {
            if (c == L'"') q += L"\\\"";
            else q += c;
        }
        return q + L"\"";
    }

private:
    std::mt19937 rng_;
};

bool KnownError(const std::wstring& t) {
    return t == L"ERROR: no arguments" || t == L"ERROR: no message text" ||
           (t.size() >= 24 && t.compare(0, 23, L"ERROR: unknown option '") == 0 && t.back() == L'\'');
}

TEST(ParseCmdLineFuzz, EveryResultIsSuccessOr87WithAKnownText) {
    int ok = 0, failed = 0;
    for (uint32_t seed = 1; seed <= 6000; ++seed) {
        Gen g(seed);
        std::wstring line = L"velmo.exe";
        uint32_t count = g.n(7);
        for (uint32_t i = 0; i < count; ++i) {
            std::wstring a = (i == 2 || (i == 3 && g.n(2))) ? g.flags() : (i >= 3 ? g.number() : g.arg());
            line += L" " + g.quoted(a);
        }
        if (line.size() > 32767) line.resize(32767);
        MsgBoxParams p;
        kt::result r = ParseCmdLine(p, line.c_str());
        if (r.ok()) {
            ++ok;
            ASSERT_EQ(r.code(), 0u) << seed;
            ASSERT_EQ(p.flags & ~0x1C3377u, 0u) << seed;  // only table bits
        } else {
            ++failed;
            ASSERT_EQ(r.code(), test::Code(ERROR_INVALID_PARAMETER)) << seed;
            ASSERT_TRUE(KnownError(r.text())) << seed << " " << r.text().size();
        }
    }
    // The generator reaches both outcomes in quantity.
    EXPECT_GT(ok, 300);
    EXPECT_GT(failed, 300);
}

TEST(ParseCmdLineFuzz, ArgumentsAtTheCommandLineLimit) {
    std::wstring text(16000, L'\u4E2D'), caption(16000, L'\u0416');
    std::wstring line = L"velmo.exe \"" + text + L"\" \"" + caption + L"\" \"YesNo|DefButton2\" 99999999999";
    MsgBoxParams p;
    ASSERT_TRUE(ParseCmdLine(p, line.c_str()).ok());
    EXPECT_TRUE(p.text == text) << p.text.size();
    EXPECT_TRUE(p.caption == caption) << p.caption.size();
    EXPECT_EQ(p.timeout, 2147483647);
    std::wstring escapes;
    for (int i = 0; i < 10000; ++i) escapes += L"\\n";
    line = L"velmo.exe \"" + escapes + L"\" c OK";
    ASSERT_TRUE(ParseCmdLine(p, line.c_str()).ok());
    EXPECT_TRUE(p.text == std::wstring(10000, L'\n')) << p.text.size();
}

}  // namespace
