#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "Log/LogParams.h"
#include "gen/module.h"
#include "tests/common.h"
#include "tests/testdir.h"

namespace {

using test::Narrow;

struct FilterCase {
    std::map<std::wstring, std::wstring> events;
    const wchar_t* category;
    const wchar_t* text;
    bool admitted;
};

TEST(LogParams, EventFilter) {
    const FilterCase cases[] = {
        {{}, L"A\u00B7\u00B7", L"velmo start", false},
        {{{L".*", L""}}, L"A\u00B7\u00B7", L"velmo start", true},
        {{{L"st.", L""}}, L"ST!", L"x", true},
        {{{L"st.", L""}}, L"STC", L"x", true},
        {{{L"ST", L""}}, L"STT", L"x", false},              // whole match only
        {{{L"ST.", L"Thread.*end.*"}}, L"ST.", L"Thread routine end 0", true},
        {{{L"ST.", L"thread.*END.*"}}, L"ST.", L"Thread routine end 0", true},   // case-insensitive
        {{{L"ST.", L"begin"}}, L"ST.", L"Thread routine begin", false},          // whole text
        {{{L"A..", L""}}, L"A\u00B7\u00B7", L"x", true},
        {{{L"UWE", L""}, {L"TIL", L""}}, L"TIL", L"x", true},
        {{{L"(", L""}}, L"ABC", L"x", false},  // invalid: admits nothing
        {{{L"A.*", L"("}}, L"ABC", L"x", false},
        {{{L"A.*", L"\\1(x)"}}, L"ABC", L"x", false},  // back-references are refused
    };
    for (const FilterCase& c : cases) {
        kt::LogParams p;
        p.events = c.events;
        EXPECT_EQ(p.accepts(c.category, c.text), c.admitted) << Narrow(c.category) << " " << Narrow(c.text);
    }
}

// An invalid pattern drops only the records that only it could admit:
// entries before and after it in key order still admit theirs.
TEST(LogParams, AnInvalidPatternDropsOnlyItsRecords) {
    kt::LogParams p;
    p.events = {{L"A.*", L""}, {L"[", L""}, {L"ZZZ", L""}, {L"UWE", L"(unclosed"}};
    EXPECT_TRUE(p.accepts(L"ABC", L"x"));
    EXPECT_TRUE(p.accepts(L"ZZZ", L"x"));
    EXPECT_FALSE(p.accepts(L"UWE", L"x"));
    EXPECT_FALSE(p.accepts(L"XYZ", L"x"));
    EXPECT_TRUE(p.format(kt::b_time::now(), 1, 2, L"UWE", L"x").empty());
}

kt::b_time Stamp() {
    kt::b_time t;
    t.set(2026, 12, 6, 17, 51, 19, 23);
    return t;
}

struct LayoutCase {
    const wchar_t* time_format;
    bool pid, tid, category;
    const wchar_t* cat;
    DWORD pid_v, tid_v;
    const wchar_t* line;
};

TEST(LogParams, LineLayout) {
    const LayoutCase cases[] = {
        {L"dd.MM.yyyy HH:mm:ss.ii", true, true, true, L"A\u00B7\u00B7", 0x20, 0xFC,
         L"A\u00B7\u00B7 06.12.2026 17:51:19.023 PID=0020 TID=00FC velmo start\r\n"},
        {L"", true, true, true, L"UWE", 0x20, 0xFC, L"UWE PID=0020 TID=00FC velmo start\r\n"},
        {L"HH:mm", false, false, true, L"UWE", 1, 2, L"UWE 17:51 velmo start\r\n"},
        {L"HH", true, false, false, L"UWE", 0x12345, 2, L"17 PID=12345 velmo start\r\n"},
        {L"HH", false, false, true, L"", 1, 2, L"17 velmo start\r\n"},
        {L"", false, false, false, L"UWE", 1, 2, L"velmo start\r\n"},
    };
    for (const LayoutCase& c : cases) {
        kt::LogParams p;
        p.events = {{L".*", L""}};
        p.time_format = c.time_format;
        p.show_pid = c.pid;
        p.show_tid = c.tid;
        p.show_category = c.category;
        EXPECT_EQ(p.format(Stamp(), c.pid_v, c.tid_v, c.cat, L"velmo start"), c.line) << Narrow(c.line);
    }
    kt::LogParams p;
    p.events = {{L".*", L""}};
    EXPECT_EQ(p.format(Stamp(), 1, 2, L"UWE", L""), L"UWE 06.12.2026 17:51:19.023 PID=0001 TID=0002 \r\n");
    p.events.clear();
    EXPECT_EQ(p.format(Stamp(), 1, 2, L"UWE", L"x"), L"");
}

// A value a user chose (a language list from their registry, a file's
// line) can neither end a log line nor start one of its own.
TEST(LogParams, ControlCharactersAreShownEscaped) {
    const struct {
        const wchar_t* text;
        const wchar_t* shown;
    } cases[] = {
        {L"de-DE\r\nRLY 01.01.2026 00:00:00.000 PID=0004 forged", L"de-DE\\r\\nRLY 01.01.2026 00:00:00.000 PID=0004 forged"},
        {L"a\tb", L"a\\tb"},
        {L"\x1B[31mred", L"\\x1B[31mred"},
        {L"\x01\x1F\x7F", L"\\x01\\x1F\\x7F"},
        {L"next\x85line", L"next\\x85line"},  // C1's NEL
        {L"a\u2028b\u2029c", L"a\\u2028b\\u2029c"},
        {L"C:\\Windows\\Temp\\velmo-relay \u0420\u0443\u0441", L"C:\\Windows\\Temp\\velmo-relay \u0420\u0443\u0441"},
        {L"", L""},
    };
    for (const auto& c : cases) EXPECT_EQ(kt::EscapeControls(c.text), c.shown) << Narrow(c.text);
    kt::LogParams p;
    p.events = {{L".*", L""}};
    p.time_format.clear();
    p.show_category = p.show_pid = p.show_tid = true;
    EXPECT_EQ(p.format(Stamp(), 1, 2, L"RLY", L"section for ru\r\nRLY PID=0004 TID=0004 x"),
              L"RLY PID=0001 TID=0002 section for ru\\r\\nRLY PID=0004 TID=0004 x\r\n");
}

TEST(LogParams, DefaultsAndPathsBesideTheExe) {
    kt::LogWliParams p;
    std::wstring exe = kt::module().FileName();
    std::wstring stem = exe.substr(0, exe.size() - 4);
    EXPECT_EQ(p.wli_path, stem + L".wli");
    EXPECT_EQ(p.file_name, stem + L".log");
    EXPECT_EQ(p.time_format, L"dd.MM.yyyy HH:mm:ss.ii");
    EXPECT_EQ(p.flush_seconds, 60);
    EXPECT_EQ(p.flush_bytes, 4096);
    EXPECT_EQ(p.reload_seconds, 60);
    EXPECT_TRUE(p.events.empty());
    EXPECT_FALSE(p.wli_time.valid().ok());
    p.file_name = L"kept";
    p.reset();
    EXPECT_EQ(p.file_name, L"kept");
}

TEST(LogParams, FileNameByStartMode) {
    TestDir dir(L"names");
    std::wstring exe = dir / L"tool.exe";
    kt::LogParams p;
    p.start_mode = kt::smAppend;
    p.make_file_name(exe);
    EXPECT_EQ(p.file_name, dir / L"tool.log");

    TestDir::Write(dir / L"tool.log", "old");
    p.start_mode = kt::smOverwrite;
    p.make_file_name(exe);
    EXPECT_EQ(p.file_name, dir / L"tool.log");
    EXPECT_EQ(GetFileAttributesW((dir / L"tool.log").c_str()), INVALID_FILE_ATTRIBUTES);
    p.make_file_name(exe);  // a missing file is no error

    p.start_mode = kt::smNew;
    p.make_file_name(exe);
    std::string name = Narrow(p.file_name.substr(dir.path().size() + 1));
    EXPECT_TRUE(std::regex_match(name, std::regex("tool[0-9]{8}-[0-9]{9}\\.log"))) << name;

    p.start_mode = 7;
    p.file_name = L"unchanged";
    p.make_file_name(exe);
    EXPECT_EQ(p.file_name, L"unchanged");
}

// The longest record the program can write (the search line carries the
// caption and the text, up to the command-line limit) must not exhaust a
// thread's stack, whatever pattern filters it.
// Patterns up to the limit compile on a default stack, nested or not; longer
// ones admit nothing instead of exhausting the stack.
TEST(LogParams, PatternLengthLimit) {
    const size_t max = kt::LogParams::kMaxPatternLength;
    std::wstring nested = std::wstring(max / 2, L'(') + std::wstring(max / 2, L')');
    std::wstring flat(max, L'x');
    bool results[4] = {};
    std::thread worker([&] {
        kt::LogParams p;
        p.events = {{nested, L""}};
        results[0] = p.accepts(L"", L"x");  // the empty group matches the empty category
        p.events = {{L"A", flat}};
        results[1] = p.accepts(L"A", flat);
        p.events = {{L"A", flat + L"x"}};
        results[2] = p.accepts(L"A", flat + L"x");
        p.events = {{std::wstring(20000, L'(') + std::wstring(20000, L')'), L""}, {L"B", L""}};
        results[3] = p.accepts(L"B", L"x");
    });
    worker.join();
    EXPECT_TRUE(results[0]);
    EXPECT_TRUE(results[1]);
    EXPECT_FALSE(results[2]);
    EXPECT_TRUE(results[3]);
}

TEST(LogParams, FilteringTheLongestRecordOnADefaultStack) {
    std::wstring text = L"::SrchWnd('" + std::wstring(16000, L'c') + L"','" + std::wstring(16760, L't') + L"') found 0";
    const std::map<std::wstring, std::wstring> patterns[] = {
        {{L"UWE", L".*"}}, {{L"UWE", L"(.)*"}}, {{L"UWE", L"(a|.)*x"}}, {{L"UWE", L".*found.*"}}, {{L"U.E", L"[^z]*"}}};
    bool expected[] = {true, true, false, true, true};
    for (size_t i = 0; i < 5; ++i) {
        bool got = false;
        std::thread worker([&] {  // a default-sized stack, not the writer's
            kt::LogParams p;
            p.events = patterns[i];
            got = p.accepts(L"UWE", text);
        });
        worker.join();
        EXPECT_EQ(got, expected[i]) << i;
    }
}

}  // namespace
