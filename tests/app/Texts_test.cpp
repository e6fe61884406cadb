// The box's words from a texts file: key by key from the chosen section, [*]
// and the command line; bad files as bad command lines; the hand-over.
#include <gtest/gtest.h>

#include "app/Texts.h"
#include "tests/common.h"
#include "tests/testdir.h"

namespace {

using test::Narrow;

const char kFile[] =
    "[de]\n"
    "Caption=Neustart\n"
    "Text=Updates sind installiert.\\nJetzt neu starten?\n"
    "Button1=&Jetzt\n"
    "[ru]\n"
    "Text=\xD0\x9F\xD0\xB5\xD1\x80\xD0\xB5\xD0\xB7\xD0\xB0\xD0\xBF\xD1\x83\xD1\x81\xD1\x82\xD0\xB8\xD1\x82\xD1\x8C?\n"
    "[*]\n"
    "Caption=Restart\n"
    "Button2=&Later\n";

struct Words {
    const wchar_t* text;
    const wchar_t* caption;
    const wchar_t* labels[3];
};

// Each key from the chosen section, else [*], else the command line.
TEST(Texts, EachKeyFallsBack) {
    TestDir dir(L"texts_fallback");
    TestDir::Write(dir / L"restart.txt", kFile);
    const struct {
        const char* name;
        const wchar_t* args;  // Texts= is added
        const wchar_t* language;
        Words want;
    } cases[] = {
        {"german", L"cmd-text cmd-caption YesNo", L"de-DE",
         {L"Updates sind installiert.\nJetzt neu starten?", L"Neustart", {L"&Jetzt", L"&Later", L""}}},
        {"russian_caption_from_star", L"cmd-text cmd-caption YesNo", L"ru-RU",
         {L"\u041F\u0435\u0440\u0435\u0437\u0430\u043F\u0443\u0441\u0442\u0438\u0442\u044C?", L"Restart",
          {L"", L"&Later", L""}}},
        {"others_from_star_and_the_command_line", L"cmd-text cmd-caption YesNo|Button1=&Yes!", L"fr-FR",
         {L"cmd-text", L"Restart", {L"&Yes!", L"&Later", L""}}},
        {"the_command_line_label_stays_where_none", L"a b YesNoCancel|Button3=&Never", L"de-AT",
         {L"Updates sind installiert.\nJetzt neu starten?", L"Neustart", {L"&Jetzt", L"&Later", L"&Never"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MsgBoxParams p;
        std::wstring line = std::wstring(L"velmo.exe ") + c.args + L"|Texts=" + (dir / L"restart.txt");
        ASSERT_TRUE(ParseCmdLine(p, line.c_str()).ok());
        ASSERT_TRUE(LoadTexts(p).ok());
        kt::SectionChoice choice;
        ASSERT_TRUE(ApplyTexts(p, c.language, &choice).ok());
        EXPECT_EQ(p.text, c.want.text);
        EXPECT_EQ(p.caption, c.want.caption);
        for (int b = 0; b < 3; ++b) EXPECT_EQ(p.look.labels[b], c.want.labels[b]) << b;
    }
}

// Bad files are bad command lines: code 87, and a reason naming the file and
// the line.
TEST(Texts, BadFilesAreBadCommandLines) {
    TestDir dir(L"texts_bad");
    const struct {
        const char* name;
        std::string bytes;       // of bad.txt
        const wchar_t* flags;
        const wchar_t* reason;   // after "ERROR: texts file '<path>': "
    } cases[] = {
        {"not_utf8", "[de]\nText=Gr\xFC\xDF" "e", L"YesNo", L"line 2: not valid UTF-8 or UTF-16 (byte 12)"},
        {"no_section", "; nothing\n", L"YesNo", L"no section"},
        {"unknown_key", "[de]\nTitel=x", L"YesNo", L"line 2: unknown key 'Titel'"},
        {"button_the_set_lacks", "[*]\nText=t\nCaption=c\n[de]\nButton3=&Nie", L"YesNo",
         L"line 5: the box has no button for it (Button3=)"},
        {"label_on_no_buttons", "[de]\nButton1=x", L"NoButtons", L"line 2: the box has no button for it (Button1=)"},
        {"label_too_long", "[de]\nButton1=" + std::string(41, 'x'), L"YesNo",
         L"line 2: label longer than 40 characters (Button1=)"},
        {"label_with_a_line_break", "[de]\nButton2=a\\nb", L"YesNo", L"line 2: control character in a label (Button2=)"},
        {"empty_label", "[de]\nButton1=", L"YesNo", L"line 2: empty label (Button1=)"},
        // Any section may be the asked person's: each needs a text and a caption.
        {"a_section_without_text", "[de]\nText=a\nCaption=b\n[ru]\nCaption=c", L"YesNo",
         L"line 4: no text for [ru], from it, [*] or the command line"},
        {"everyone_without_caption", "[*]\nText=a", L"YesNo", L"line 1: no caption for [*], from it, or the command line"},
        {"too_large", "[de]\n" + std::string(kt::kMaxTextsBytes, ';'), L"YesNo", L"larger than 64 KB"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestDir::Write(dir / L"bad.txt", c.bytes);
        MsgBoxParams p;
        std::wstring line = L"velmo.exe \"\" \"\" \"" + std::wstring(c.flags) + L"|Texts=" + (dir / L"bad.txt") + L"\" 5";
        ASSERT_TRUE(ParseCmdLine(p, line.c_str()).ok());
        kt::result r = LoadTexts(p);
        EXPECT_FALSE(r.ok());
        EXPECT_EQ(r.code(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(r.text(), L"ERROR: texts file '" + (dir / L"bad.txt") + L"': " + c.reason) << Narrow(r.text());
    }
    MsgBoxParams p;
    ASSERT_TRUE(ParseCmdLine(p, L"velmo.exe t c \"OK|Texts=no-such-file.txt\"").ok());
    kt::result missing = LoadTexts(p);
    EXPECT_EQ(missing.text().compare(0, 52, L"ERROR: texts file 'no-such-file.txt': cannot read it"), 0)
        << Narrow(missing.text());
}

// A relative path is the current directory's; a large file is read whole.
TEST(Texts, RelativePath) {
    TestDir dir(L"texts_relative");
    std::string big = "[de]\nText=";
    for (int i = 0; i < 4000; ++i) big += "Zeile \xC3\xA4\xC3\xB6 ";
    TestDir::Write(dir / L"big.txt", big + "\nCaption=c\n");
    wchar_t old_dir[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, old_dir);
    ASSERT_TRUE(SetCurrentDirectoryW(dir.path().c_str()));
    auto back = kt::scope_exit([&] { SetCurrentDirectoryW(old_dir); });
    MsgBoxParams p;
    ASSERT_TRUE(ParseCmdLine(p, L"velmo.exe \"\" \"\" \"YesNo|Texts=big.txt\"").ok());
    ASSERT_TRUE(LoadTexts(p).ok());
    ASSERT_GT(p.texts_content.size(), 32767u);
    ASSERT_TRUE(ApplyTexts(p, L"de-DE").ok());
    EXPECT_EQ(p.caption, L"c");
}

}  // namespace
