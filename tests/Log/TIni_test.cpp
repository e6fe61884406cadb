#include <gtest/gtest.h>

#include "Log/TIni.h"
#include "tests/common.h"
#include "tests/testdir.h"

namespace {

std::string S(const kt::Str& s) { return std::string(s.data() ? s.data() : "", s.length()); }

// What a document holds, flattened: "[section]" then "name=value" per line.
std::string Dump(const kt::TIni& ini) {
    std::string out;
    for (uint32_t i = 0; i < ini.count(); ++i) {
        const kt::TIniSection* s = ini.at(i);
        out += "[" + S(s->name()) + "]";
        for (uint32_t j = 0; j < s->count(); ++j) out += S(s->at(j)->name()) + "=" + S(s->at(j)->value()) + ";";
    }
    return out;
}

struct ParseCase {
    std::string text;  // may hold a NUL
    const char* dump;
};

TEST(TIni, ParseRules) {
    const ParseCase cases[] = {
        {"", ""},
        {"[Prms]\r\nA=1\r\n\r\n\nB=2", "[Prms]A=1;B=2;"},
        {"[ Prms ]\nx=1", "[Prms]x=1;"},
        {"  [Prms]  \nx=1", "[Prms]x=1;"},
        {"[Prms]\n\t[Evts]\n", "[Prms]=[Evts];"},        // a tab-indented header is a value line
        {"before=dropped\n[S]\nx=1", "[S]x=1;"},
        {"[S]\n;comment\n ;value\nx=1", "[S]=;value;x=1;"},
        {"[S]\nTmFrmt = x  \n", "[S]TmFrmt= x;"},
        {"[S]\n\"a=b\"=c", "[S]a=b=c;"},
        {"[S]\nno equals sign", "[S]=no equals sign;"},
        {"[S]\nx=1\n[]\ny=2\n[s]\nz=3", "[S]x=1;z=3;[s]"},  // values join the first section of the name
        {std::string("[S]\nx=1\0[T]\ny=2", 15), "[S]x=1;"},  // a NUL ends the text
        {"[S\nx=1", ""},                                      // no closing bracket: a value line, dropped
        {"[S]\n\"unclosed=1", "[S]=\"unclosed=1;"},
    };
    for (const ParseCase& c : cases) {
        kt::TIni ini;
        ini.parse(c.text.data(), c.text.size());
        EXPECT_EQ(Dump(ini), c.dump) << c.text;
    }
}

TEST(TIni, LookupsIgnoreCaseAndReturnTheFirst) {
    kt::TIni ini;
    const char text[] = "[Prms]\nPID=On\npid=Off\n\"TmFrmt\"=x\n[prms]\nlate=1";
    ini.parse(text, sizeof text - 1);
    const kt::TIniSection* s = ini.section("PRMS");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(S(s->value("pid")->value()), "On");
    EXPECT_EQ(S(s->value(" \"tmfrmt\" ")->value()), "x");
    EXPECT_EQ(S(s->value("LATE")->value()), "1");
    EXPECT_EQ(s->value("none"), nullptr);
    EXPECT_EQ(ini.section("Evts"), nullptr);
    EXPECT_EQ(ini.section("prms"), s);
    ini.add_value("New", "k=v");
    EXPECT_EQ(S(ini.section("new")->value("K")->value()), "v");
}

TEST(TIni, ItemsSplitAtCommasOutsideQuotes) {
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"k=a, \"b,c\" ,d", {"a", "b,c", "d"}},
        {"k=a,b,", {"a", "b"}},
        {"k=", {}},
        {"k= x ", {"x"}},
        {"k=,", {""}},
    };
    for (const auto& c : cases) {
        kt::TIniVal v(c.first);
        std::vector<std::string> got;
        for (uint32_t i = 0; i < v.items().count(); ++i) got.push_back(S(v.items().data()[i]));
        EXPECT_EQ(got, c.second) << c.first;
    }
}

TEST(TIni, LoadsFilesAndReportsOpenErrors) {
    TestDir dir(L"ini");
    TestDir::Write(dir / L"a.ini", "[Prms]\r\nTmFrmt=HH\r\n");
    kt::TIni ini;
    EXPECT_EQ(ini.Ld(dir / L"a.ini", FILE_SHARE_READ), 0u);
    EXPECT_NE(ini.section("Prms"), nullptr);
    EXPECT_EQ(ini.Ld(dir / L"missing.ini", FILE_SHARE_READ), test::Code(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(ini.count(), 0u);
    TestDir::Write(dir / L"empty.ini", "");
    EXPECT_EQ(ini.Ld(dir / L"empty.ini", FILE_SHARE_READ), 0u);
    EXPECT_EQ(ini.count(), 0u);
    kt::unique_handle lock = TestDir::Open(dir / L"a.ini", GENERIC_WRITE, 0);
    ASSERT_TRUE(lock);
    EXPECT_EQ(ini.Ld(dir / L"a.ini", FILE_SHARE_READ), test::Code(ERROR_SHARING_VIOLATION));
}

}  // namespace
