#include <gtest/gtest.h>

#include "io/file.h"
#include "tests/common.h"
#include "tests/testdir.h"

namespace {

const std::wstring kText = L"A\u00E9\u0416\u4E2D\U0001F600";  // 1, 2, 2, 3 and 4 UTF-8 bytes

struct WriteCase {
    const char* name;
    kt::text_encoding enc;
    std::string written;  // bytes after write()
    std::string appended;  // bytes after a following append()
};

std::string U16(const std::wstring& w) { return std::string(reinterpret_cast<const char*>(w.data()), w.size() * 2); }
const std::string kUtf8 = "A\xC3\xA9\xD0\x96\xE4\xB8\xAD\xF0\x9F\x98\x80";

TEST(TextFile, EncodingsByteForByte) {
    const WriteCase cases[] = {
        {"utf8", {CP_UTF8, 0}, kUtf8, kUtf8 + kUtf8},
        {"utf8 bom", {CP_UTF8, 1}, "\xEF\xBB\xBF" + kUtf8, "\xEF\xBB\xBF" + kUtf8 + kUtf8},
        {"utf16", {kt::cpUtf16, 0}, U16(kText), U16(kText) + U16(kText)},
        {"utf16 bom", {kt::cpUtf16, 1}, "\xFF\xFE" + U16(kText), "\xFF\xFE" + U16(kText) + U16(kText)},
        {"utf16 forced", {kt::cpUtf16Marked, 0}, "\xFF\xFE" + U16(kText), "\xFF\xFE" + U16(kText) + U16(kText)},
    };
    TestDir dir(L"enc");
    for (const WriteCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::wstring path = dir / std::wstring(c.name, c.name + strlen(c.name));
        kt::textfile f(path, c.enc);
        EXPECT_TRUE(f.write(kText).ok());
        EXPECT_EQ(TestDir::Read(path), c.written);
        kt::textfile g(path, c.enc);
        EXPECT_TRUE(g.append(kText).ok());
        EXPECT_EQ(TestDir::Read(path), c.appended);
    }
}

TEST(TextFile, AnsiOemAndOtherCodePages) {
    TestDir dir(L"cp");
    const std::wstring latin = L"caf\u00E9";
    kt::textfile ansi(dir / L"ansi", {0, 1});
    EXPECT_TRUE(ansi.write(latin).ok());
    std::string want(4, '\0');
    WideCharToMultiByte(CP_ACP, 0, latin.c_str(), 4, &want[0], 4, nullptr, nullptr);
    EXPECT_EQ(TestDir::Read(dir / L"ansi"), want);  // no mark for ANSI

    kt::textfile koi(dir / L"koi8", {20866, 0});
    EXPECT_TRUE(koi.write(L"\u0416").ok());
    EXPECT_EQ(TestDir::Read(dir / L"koi8"), "\xF6");
    kt::textfile koi2(dir / L"koi8", {20866, 0});
    kt::result r = koi2.append(L"\u0416");
    EXPECT_EQ(r.code(), test::Code(ERROR_INVALID_PARAMETER));  // appending in another code page is refused
    EXPECT_EQ(TestDir::Read(dir / L"koi8"), "\xF6");
}

TEST(TextFile, WriteCutsALongerOldContent) {
    TestDir dir(L"cut");
    TestDir::Write(dir / L"f", std::string(100, 'x'));
    kt::textfile f(dir / L"f", {CP_UTF8, 1});
    EXPECT_TRUE(f.write(L"ab").ok());
    EXPECT_EQ(TestDir::Read(dir / L"f"), "\xEF\xBB\xBF" "ab");
}

TEST(TextFile, AppendToExistingFileWritesNoMark) {
    TestDir dir(L"nomark");
    TestDir::Write(dir / L"f", "old");
    kt::textfile f(dir / L"f", {CP_UTF8, 1});
    EXPECT_TRUE(f.append(L"new").ok());
    EXPECT_EQ(TestDir::Read(dir / L"f"), "oldnew");
}

TEST(TextFile, EmptyText) {
    TestDir dir(L"empty");
    kt::textfile u8(dir / L"u8", {CP_UTF8, 0});
    EXPECT_TRUE(u8.append(L"").ok());
    EXPECT_EQ(TestDir::Read(dir / L"u8"), "");
    kt::textfile u16(dir / L"u16", {kt::cpUtf16, 0});
    EXPECT_TRUE(u16.write(L"").ok());
    kt::textfile ansi(dir / L"ansi", {kt::cpAnsi, 0});
    EXPECT_FALSE(ansi.write(L"").ok());  // nothing to convert
}

TEST(TextFile, FailuresAndFileError) {
    TestDir dir(L"fail");
    CreateDirectoryW((dir / L"sub").c_str(), nullptr);
    EXPECT_TRUE(kt::file_exists(dir / L"sub"));
    kt::textfile d(dir / L"sub", {CP_UTF8, 0});
    kt::result r = d.append(L"x");
    EXPECT_FALSE(r.ok());
    try {
        kt::textfile e(dir / L"sub", {CP_UTF8, 0});
        e.append_or_throw(L"x");
        FAIL() << "no throw";
    } catch (const kt::file_error& e) {
        EXPECT_EQ(e.code(), r.code());
        EXPECT_EQ(e.name(), dir / L"sub");
        EXPECT_EQ(e.text(), L"File operation failed '" + (dir / L"sub") + L"' (" + kt::ErrorText(e.code()) + L")");
    }
    kt::file f;
    EXPECT_THROW(f.open(dir / L"missing", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr),
                 kt::file_error);
    EXPECT_EQ(f.try_open(dir / L"missing", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr),
              test::Code(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(kt::file_exists(dir / L"missing"));
}

TEST(TextFile, LockedFileFailsWithoutChangingIt) {
    TestDir dir(L"locked");
    TestDir::Write(dir / L"f", "keep");
    kt::unique_handle lock = TestDir::Open(dir / L"f", GENERIC_READ | GENERIC_WRITE, 0);
    ASSERT_TRUE(lock);
    kt::textfile f(dir / L"f", {CP_UTF8, 0});
    EXPECT_EQ(f.append(L"x").code(), test::Code(ERROR_SHARING_VIOLATION));
    lock.reset();
    EXPECT_EQ(TestDir::Read(dir / L"f"), "keep");
}

TEST(FileTimes, LastWriteAsLocalTime) {
    TestDir dir(L"times");
    TestDir::Write(dir / L"f", "x");
    kt::b_time created, accessed, written;
    EXPECT_TRUE(kt::get_file_times(dir / L"f", &created, &accessed, &written).ok());
    SYSTEMTIME now;
    GetLocalTime(&now);
    EXPECT_EQ(written.year(), now.wYear);
    EXPECT_TRUE(written.valid().ok());
    EXPECT_TRUE(kt::get_file_times(dir / L"f", nullptr, nullptr, nullptr).ok());
    EXPECT_FALSE(kt::get_file_times(dir / L"none", nullptr, nullptr, &written).ok());
}

}  // namespace
