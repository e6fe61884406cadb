// Generated and corrupted parameter files: both loaders take them without
// crashing, and the parameters they leave filter records without crashing.
#include <gtest/gtest.h>

#include <random>

#include "Log/PrmsLdr.h"
#include "io/file.h"
#include "tests/testdir.h"

namespace {

std::string RandomBytes(std::mt19937& rng, size_t n) {
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng() & 0xFF);
    return s;
}

// A plausible file, then damaged in one of several ways.
std::string Corrupt(std::mt19937& rng, bool many) {
    const char* const heads[] = {"[Prms]\r\n", "[Evts]\r\n", "[ prms ]\n", "\xEF\xBB\xBF[Prms]\n", ""};
    const char* const lines[] = {"TmFrmt=dd.MM.yyyy HH:mm:ss.ii", "TmFrmt='", "TmFrmt=''''", "PID=On", "TID=off",
                                 "StrtMd=new", "FlshSec=-5", "FlshLns=99999999999", "FlshSec=0", ".*=",
                                 "[=", "(=", "A.*=(", "UWE=\\1(x)", "ST.=", "+TIL", "!IMM", "+", "=",
                                 "\"a=b\"=c", "x=a,\"b,c\",d,", "((((((((((=", "[a-=", "*=", "a{2,1}="};
    std::string s;
    uint32_t kind = rng() % 8;
    if (kind == 0) return RandomBytes(rng, rng() % 4096);
    if (kind == 1) {  // UTF-16 with a mark: NULs everywhere
        std::string t = "\xFF\xFE";
        for (char c : std::string("[Prms]\r\n[Evts]\r\n.*=\r\n")) t += std::string(1, c) + '\0';
        return t;
    }
    if (kind == 2) return std::string("[Prms]\n[Evts]\n") + std::string(200000 + rng() % 100000, 'a') + "=\n";
    if (kind == 3 && many) {  // thousands of sections and events (slow: once)
        for (int i = 0; i < 3000; ++i) s += "[S" + std::to_string(i) + "]\nk=v\n";
        s += "[Prms]\n[Evts]\n";
        for (int i = 0; i < 3000; ++i) s += "E" + std::to_string(i) + ".=\n";
        return s;
    }
    for (int i = 0; i < 40; ++i) {
        if (rng() % 6 == 0) s += heads[rng() % 5];
        s += lines[rng() % (sizeof lines / sizeof lines[0])];
        s += (rng() % 3) ? "\r\n" : "\n";
    }
    if (kind == 4 && !s.empty()) s[rng() % s.size()] = '\0';
    if (kind == 5) s += RandomBytes(rng, 64);
    return s;
}

TEST(ParameterFileFuzz, LoadersAndFilterSurviveAnyFile) {
    TestDir dir(L"wlifuzz");
    const std::wstring path = dir / L"p.wli";
    const std::wstring long_text(20000, L'x');
    for (uint32_t seed = 1; seed <= 250; ++seed) {
        std::mt19937 rng(seed);
        TestDir::Write(path, Corrupt(rng, seed == 5));  // seed 5 draws kind 3
        kt::LogWliParams p;
        p.wli_path = path;
        ASSERT_NO_THROW({
            try {
                p.reload();
            } catch (const kt::file_error&) {
            }
        }) << seed;
        for (const wchar_t* cat : {L"A\u00B7\u00B7", L"UWE", L"ST.", L"TIL", L"E1."}) {
            ASSERT_NO_THROW(p.format(kt::b_time::now(), 1, 2, cat, long_text)) << seed;
        }
    }
}

}  // namespace
