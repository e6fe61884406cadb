#include <gtest/gtest.h>

#include "Log/PrmsLdr.h"
#include "io/file.h"
#include "tests/common.h"
#include "tests/testdir.h"

namespace {

struct LoadResult {
    uint32_t rc;
    kt::LogWliParams p;
};

struct LineCase {
    const char* file;
    std::map<std::wstring, std::wstring> events;
    int32_t flush_bytes;
};

TEST(LineLoader, Tokens) {
    const LineCase cases[] = {
        {"+ST.\r\n", {{L"ST.", L""}}, 4096},
        {"+ S T .\n", {{L"ST.", L""}}, 4096},
        {"+ABCD\n", {{L"ABC", L""}}, 4096},
        {"\t+ABC\n", {}, 4096},
        {"+TIL\r\n\r\n+UWE\r\n!IMM\r\n", {{L"TIL", L""}, {L"UWE", L""}}, 1},
        {"!imm", {}, 1},
        {"! I M M", {}, 1},
        {"!IM\n!IMMX", {}, 1},
        {"!IMX\n#+ST.\n", {}, 4096},
        {"+\n", {{L"", L""}}, 4096},
        {"+A\xB7\xB7\n", {{L"A\u00B7\u00B7", L""}}, 4096},
    };
    TestDir dir(L"lines");
    for (const LineCase& c : cases) {
        TestDir::Write(dir / L"p.wli", c.file);
        kt::LogWliParams p;
        EXPECT_EQ(LogWliParamsLoader().load(p, dir / L"p.wli"), 0u) << c.file;
        EXPECT_EQ(p.events, c.events) << c.file;
        EXPECT_EQ(p.flush_bytes, c.flush_bytes) << c.file;
    }
}

TEST(LineLoader, EmptyAndMissingFiles) {
    TestDir dir(L"lines2");
    TestDir::Write(dir / L"e.wli", "");
    kt::LogWliParams p;
    p.events[L"x"] = L"";
    EXPECT_EQ(LogWliParamsLoader().load(p, dir / L"e.wli"), test::Code(ERROR_INVALID_DATA));
    EXPECT_TRUE(p.events.empty());
    EXPECT_THROW(LogWliParamsLoader().load(p, dir / L"missing.wli"), kt::file_error);
}

struct IniCase {
    const char* file;
    uint32_t rc;
    const wchar_t* time_format;
    bool pid, tid;
    int32_t start_mode, flush_seconds, flush_bytes;
    std::map<std::wstring, std::wstring> events;
};

TEST(IniLoader, Keys) {
    const IniCase cases[] = {
        {"[Prms]\r\nTmFrmt=dd.MM.yyyy HH:mm:ss.ii\r\nPID=On\r\nTID=On\r\nStrtMd=new\r\nFlshSec=10\r\nFlshLns=50\r\n"
         "[Evts]\r\nST.=\r\nTIL=\r\n",
         0, L"dd.MM.yyyy HH:mm:ss.ii", true, true, 2, 10, 4000, {{L"ST.", L""}, {L"TIL", L""}}},
        {"[prms]\ntmfrmt=\npid=ON\ntid=off\nstrtmd=OVRWRT\nflushseconds=30\n[evts]\nUWE=.*Please.*\n", 0, L"", true,
         false, 1, 30, 4096, {{L"UWE", L".*Please.*"}}},
        {"[Prms]\nStrtMd= new\nPID= On\nFlshSec= 30\nFlshLns=x\n[Evts]\n", 0, L"dd.MM.yyyy HH:mm:ss.ii", false, true,
         0, 30, 0, {}},
        {"[Prms]\nStrtMd=overwrite\nFlshSec=5\nflushseconds=9\nflushlines=2\n[Evts]\nA=1\na=2\nA=3\n", 0,
         L"dd.MM.yyyy HH:mm:ss.ii", true, true, 1, 5, 160, {{L"A", L"3"}, {L"a", L"2"}}},
        {"[Prms]\nStrtMd=bogus\n[Evts]\n", 0, L"dd.MM.yyyy HH:mm:ss.ii", true, true, 0, 60, 4096, {}},
        {"[Prms]\nPID=Off\n", 13, L"dd.MM.yyyy HH:mm:ss.ii", false, true, 0, 60, 4096, {}},
        {"[Evts]\nST.=\n", 13, L"dd.MM.yyyy HH:mm:ss.ii", true, true, 0, 60, 4096, {}},
        {"\xEF\xBB\xBF[Prms]\n[Evts]\nST.=\n", 13, L"dd.MM.yyyy HH:mm:ss.ii", true, true, 0, 60, 4096, {}},
    };
    TestDir dir(L"ini");
    for (const IniCase& c : cases) {
        SCOPED_TRACE(c.file);
        TestDir::Write(dir / L"p.wli", c.file);
        kt::LogWliParams p;
        EXPECT_EQ(LogWliParamsLoader2().load(p, dir / L"p.wli"), c.rc);
        EXPECT_EQ(p.time_format, c.time_format);
        EXPECT_EQ(p.show_pid, c.pid);
        EXPECT_EQ(p.show_tid, c.tid);
        EXPECT_EQ(p.start_mode, c.start_mode);
        EXPECT_EQ(p.flush_seconds, c.flush_seconds);
        EXPECT_EQ(p.flush_bytes, c.flush_bytes);
        EXPECT_EQ(p.events, c.events);
    }
}

TEST(Reload, LoadsOnlyWhenTheFileChanged) {
    TestDir dir(L"reload");
    kt::LogWliParams p;
    p.wli_path = dir / L"p.wli";
    p.reload();  // no file: defaults
    EXPECT_TRUE(p.events.empty());

    TestDir::Write(p.wli_path, "+ST.\n");  // line form: the INI reading fails first
    p.reload();
    EXPECT_EQ(p.events.count(L"ST."), 1u);
    EXPECT_TRUE(p.wli_time.valid().ok());

    p.events.clear();
    p.reload();  // same last-write time: not loaded again
    EXPECT_TRUE(p.events.empty());

    p.wli_time.clear();
    p.reload();
    EXPECT_EQ(p.events.count(L"ST."), 1u);

    // Prms without Evts: the line loader runs and finds no "+" line.
    TestDir::Write(p.wli_path, "[Prms]\nPID=Off\n");
    p.wli_time.clear();
    p.reload();
    EXPECT_TRUE(p.events.empty());
    EXPECT_TRUE(p.show_pid);

    DeleteFileW(p.wli_path.c_str());
    p.events[L"x"] = L"";
    p.reload();
    EXPECT_TRUE(p.events.empty());
    EXPECT_FALSE(p.wli_time.valid().ok());
}

TEST(Reload, LockedFileIsTriedAgainLater) {
    TestDir dir(L"locked");
    kt::LogWliParams p;
    p.wli_path = dir / L"p.wli";
    TestDir::Write(p.wli_path, "[Prms]\n[Evts]\n.*=\n");
    // A writer that lets others read: the time query succeeds, the loads fail.
    kt::unique_handle lock = TestDir::Open(p.wli_path, GENERIC_WRITE, FILE_SHARE_READ);
    ASSERT_TRUE(lock);
    EXPECT_THROW(p.reload(), kt::file_error);
    EXPECT_FALSE(p.wli_time.valid().ok());
    lock.reset();
    p.reload();
    EXPECT_EQ(p.events.count(L".*"), 1u);
}

}  // namespace
