#include <gtest/gtest.h>

#include "gen/module.h"
#include "tests/help_texts.h"

namespace {

// String id from the table of one language, read from the raw resource block.
std::wstring RawString(UINT id, WORD lang) {
    HMODULE m = GetModuleHandleW(nullptr);
    HRSRC r = FindResourceExW(m, MAKEINTRESOURCEW(6), MAKEINTRESOURCEW(id / 16 + 1), lang);
    if (!r) return L"<no block>";
    auto* p = static_cast<const WCHAR*>(LockResource(LoadResource(m, r)));
    for (UINT i = 0; i < id % 16; ++i) p += 1 + *p;
    return std::wstring(p + 1, *p);
}

TEST(Module, StringTablesHoldBothLanguagesExactly) {
    const WORD en = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), ru = MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT);
    EXPECT_EQ(RawString(1001, en), EnglishHelp());
    EXPECT_EQ(RawString(1002, en), EnglishHelpCaption());
    EXPECT_EQ(RawString(1001, ru), RussianHelp());
    EXPECT_EQ(RawString(1002, ru), RussianHelpCaption());
    // Long enough that loading it needs the buffer doubled five times (64 to 2048).
    EXPECT_GT(EnglishHelp().size(), 1024u);
}

TEST(Module, LoadStrReadsLongStringsWhole) {
    kt::module self;
    std::wstring help = self.LoadStr(1001);
    // Whichever language the loader picks, nothing may be cut.
    EXPECT_TRUE(help == EnglishHelp() || help == RussianHelp()) << help.size();
    std::wstring caption = self.LoadStr(1002);
    EXPECT_TRUE(caption == EnglishHelpCaption() || caption == RussianHelpCaption());
    EXPECT_EQ(self.LoadStr(1004), L"");
    EXPECT_EQ(kt::LoadResStr(nullptr, 1001), help);
}

TEST(Module, FileNameIsThisExecutable) {
    std::wstring path = kt::module().FileName();
    ASSERT_GT(path.size(), 10u);
    EXPECT_EQ(path.substr(path.size() - 14), L"\\gen_tests.exe");
    EXPECT_NE(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
