// The texts file: its forms, its sections, and the choice of a section.
#include <gtest/gtest.h>

#include <thread>

#include "gen/Texts.h"
#include "tests/testdir.h"

namespace {

std::string test_text(const std::wstring& w) {
    std::string s;
    for (wchar_t c : w) s += c < 128 ? static_cast<char>(c) : '?';
    return s;
}

std::string U16(const std::wstring& w) { return std::string(reinterpret_cast<const char*>(w.data()), w.size() * 2); }

// Decoded strictly, never guessed.
TEST(Texts, FileForms) {
    const struct {
        const char* name;
        std::string bytes;
        const wchar_t* text;  // null: an error
        unsigned line;        // of the error
    } cases[] = {
        {"utf8", "[de]\nText=Gr\xC3\xBC\xC3\x9F" "e", L"[de]\nText=Gr\u00FC\u00DFe", 0},
        {"utf8_bom", "\xEF\xBB\xBF[ru]", L"[ru]", 0},
        {"utf8_four_bytes", "[*]\nText=\xF0\x9F\x98\x80", L"[*]\nText=\U0001F600", 0},
        {"utf16_bom", "\xFF\xFE" + U16(L"[el]\r\nText=\u0393\u03B5\u03B9\u03AC"), L"[el]\r\nText=\u0393\u03B5\u03B9\u03AC", 0},
        {"empty", "", L"", 0},
        {"overlong", "[de]\nText=\xC0\xAF", nullptr, 2},
        {"surrogate_in_utf8", "[de]\n\n\xED\xA0\x80", nullptr, 3},
        {"truncated", "[de]\nText=\xE2\x82", nullptr, 2},
        {"stray_continuation", "\x80", nullptr, 1},
        {"above_unicode", "\xF4\x90\x80\x80", nullptr, 1},
        {"latin1", "Text=Gr\xFC\xDF" "e", nullptr, 1},
        {"nul", std::string("[de]\nText=a\0b", 13), nullptr, 2},
        {"utf16_without_bom", U16(L"[de]"), nullptr, 1},
        {"utf16_big_endian", "\xFE\xFF" + std::string("\0[", 2), nullptr, 1},
        {"utf16_odd_length", "\xFF\xFE[\0d", nullptr, 1},
        {"utf16_unpaired_high", "\xFF\xFE" + U16(L"[de]\n") + std::string("\x3D\xD8", 2) + U16(L"x"), nullptr, 2},
        {"utf16_lone_low", "\xFF\xFE" + std::string("\x00\xDC", 2), nullptr, 1},
        {"utf16_high_at_end", "\xFF\xFE" + std::string("\x3D\xD8", 2), nullptr, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::wstring text;
        unsigned line = 0;
        kt::result r = kt::DecodeTexts(c.bytes, text, &line);
        if (c.text) {
            EXPECT_TRUE(r.ok()) << test_text(r.text());
            EXPECT_EQ(text, c.text);
        } else {
            EXPECT_FALSE(r.ok());
            EXPECT_EQ(line, c.line);
            EXPECT_EQ(r.text().compare(0, 5 + std::to_wstring(c.line).size(), L"line " + std::to_wstring(c.line)), 0);
        }
    }
}

// "[tag]" then the keys as "key=value;" in file order, or the error.
std::wstring Dump(const std::wstring& text) {
    kt::TextsFile file;
    kt::result r = kt::ParseTexts(text, file);
    if (!r.ok()) return L"error " + r.text();
    std::wstring out;
    for (const kt::TextsSection& s : file.sections) {
        out += L"[" + s.tag + L"]" + std::to_wstring(s.line);
        if (s.has_caption) out += L"C=" + s.caption + L";";
        if (s.has_text) out += L"T=" + s.text + L";";
        for (int b = 0; b < 3; ++b) {
            if (s.has_label[b]) out += L"B" + std::to_wstring(b + 1) + L"=" + s.labels[b] + L"@" + std::to_wstring(s.label_line[b]) + L";";
        }
    }
    return out;
}

TEST(Texts, Sections) {
    const struct {
        const wchar_t* text;
        const wchar_t* dump;
    } cases[] = {
        {L"[de]\nCaption=Neustart\nText=Eins\nText=Zwei\nButton1=&Jetzt\n[*]\nText=x",
         L"[de]1C=Neustart;T=Eins\nZwei;B1=&Jetzt@5;[*]6T=x;"},
        // Any line end; keys in any letter case; blanks around the key and
        // the header; a value keeps its blanks and its "=".
        {L"\r\n; comment\r\n# also\r\n [ de-AT ] \r\ncaption = A = B \rTEXT=  x\r\nbutton3=c",
         L"[de-AT]4C= A = B ;T=  x;B3=c@7;"},
        {L"[de]\nText=", L"[de]1T=;"},
        {L"[de]\nText=\nText=b", L"[de]1T=\nb;"},
        // Escapes are the command line's, applied later.
        {L"[de]\nText=a\\nb", L"[de]1T=a\\nb;"},
        {L"[zh-Hans-CN]\n[sr-Latn]\n[*]", L"[zh-Hans-CN]1[sr-Latn]2[*]3"},
        {L"", L"error no section"},
        {L"; only a comment\n\n", L"error no section"},
        {L"Text=before\n[de]", L"error line 1: a line before the first section"},
        {L"[de]\nTitle=x", L"error line 2: unknown key 'Title'"},
        {L"[de]\nButton4=x", L"error line 2: unknown key 'Button4'"},
        {L"[de]\nButton0=x", L"error line 2: unknown key 'Button0'"},
        {L"[de]\njust words", L"error line 2: no \"=\" in the line"},
        {L"[de]\nCaption=a\nCaption=b", L"error line 3: Caption= given twice in [de]"},
        {L"[de]\nButton2=a\n\nbutton2=b", L"error line 4: button2= given twice in [de]"},
        {L"[de]\n[DE]", L"error line 2: section [DE] given twice"},
        {L"[de_DE]", L"error line 1: not a language tag: [de_DE]"},
        {L"[]", L"error line 1: not a language tag: []"},
        {L"[de", L"error line 1: not a language tag: [de"},
        {L"[de] x", L"error line 1: not a language tag: [de] x"},
        {L"[abcdefghi]", L"error line 1: not a language tag: [abcdefghi]"},
        {L"[de--AT]", L"error line 1: not a language tag: [de--AT]"},
    };
    for (const auto& c : cases) EXPECT_EQ(Dump(c.text), c.dump) << test_text(c.text);
}

TEST(Texts, TheSectionForALanguage) {
    kt::TextsFile file;
    ASSERT_TRUE(kt::ParseTexts(L"[de-AT]\n[de]\n[en]\n[*]\n[zh]\n[pt-BR]", file).ok());
    kt::TextsFile no_star;
    ASSERT_TRUE(kt::ParseTexts(L"[ru]\n[el]", no_star).ok());
    kt::TextsFile none;
    const struct {
        const kt::TextsFile* file;
        const wchar_t* language;
        const wchar_t* tag;
        kt::SectionMatch how;
    } cases[] = {
        {&file, L"de-AT", L"de-AT", kt::smExact},
        {&file, L"DE-at", L"de-AT", kt::smExact},
        {&file, L"de-DE", L"de", kt::smLanguage},
        {&file, L"de-CH", L"de", kt::smLanguage},
        {&file, L"de", L"de", kt::smExact},
        {&file, L"en-US", L"en", kt::smLanguage},
        {&file, L"zh-Hans-CN", L"zh", kt::smLanguage},
        {&file, L"pt-PT", L"*", kt::smEveryone},  // [pt-BR] is not Portugal's
        {&file, L"fr-FR", L"*", kt::smEveryone},
        {&file, L"", L"*", kt::smEveryone},
        {&no_star, L"fr-FR", L"ru", kt::smFirst},
        {&no_star, L"el-GR", L"el", kt::smLanguage},
        {&none, L"de-DE", L"", kt::smNone},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(test_text(c.language));
        kt::SectionChoice choice = kt::ChooseSection(*c.file, c.language);
        EXPECT_EQ(choice.tag, c.tag);
        EXPECT_EQ(choice.how, c.how);
        EXPECT_STRNE(kt::SectionMatchText(choice.how), L"?");
    }
    EXPECT_EQ(kt::ChooseSection(file, L"de").everyone, 3);
    EXPECT_FALSE(kt::UiLanguage().empty());
}

std::wstring Multi(std::initializer_list<const wchar_t*> tags) {
    std::wstring m;
    for (const wchar_t* t : tags) m += std::wstring(t) + L'\0';
    return m + L'\0';
}

// The one rule for a person whom velmo asks for SYSTEM, over the forms in
// which the registry holds their languages.
TEST(Texts, TheLanguageOfAProfile) {
    const struct {
        const char* name;
        kt::ProfileLanguages forms;
        const wchar_t* tag;
    } cases[] = {
        {"display_language_chosen", {L"", Multi({L"de-DE", L"en-US"}), Multi({L"en-US", L"de-DE"}), L"en-US"}, L"de-DE"},
        {"policy_first", {L"ru-RU", Multi({L"de-DE"}), L"", L"en-US"}, L"ru-RU"},
        {"policy_as_a_list", {Multi({L"el-GR", L"en-US"}), L"", L"", L"en-US"}, L"el-GR"},
        {"the_first_of_the_list", {L"", L"", Multi({L"fr-FR", L"en-US"}), L"en-US"}, L"fr-FR"},
        {"the_system_s", {L"", L"", L"", L"pt-BR"}, L"pt-BR"},
        {"a_sz_value", {L"", L"de-AT", L"", L"en-US"}, L"de-AT"},
        {"a_value_without_its_last_nul", {L"", std::wstring(L"sr-Latn-RS\0en", 13), L"", L"en-US"}, L"sr-Latn-RS"},
        {"an_empty_list", {L"", Multi({}), Multi({L"", L"de-DE"}), L"en-US"}, L"en-US"},
        // A value the user wrote is no tag: passed over, never taken as one.
        {"a_line_break", {L"", Multi({L"de-DE\r\nRLY forged"}), L"", L"en-US"}, L"en-US"},
        {"everyone_is_no_language", {L"", Multi({L"*"}), L"", L"en-US"}, L"en-US"},
        {"nothing", {L"", L"", L"", L""}, L""},
    };
    for (const auto& c : cases) EXPECT_EQ(kt::ProfileLanguage(c.forms), c.tag) << c.name;
}

TEST(Texts, ReadWhole) {
    TestDir dir(L"texts_read");
    std::wstring text;
    TestDir::Write(dir / L"max.txt", "[de]\n" + std::string(kt::kMaxTextsBytes - 5, ';'));
    EXPECT_TRUE(kt::ReadTextsFile(dir / L"max.txt", text).ok());
    EXPECT_EQ(text.size(), kt::kMaxTextsBytes);
    TestDir::Write(dir / L"large.txt", "[de]\n" + std::string(kt::kMaxTextsBytes - 4, ';'));
    kt::result large = kt::ReadTextsFile(dir / L"large.txt", text);
    EXPECT_FALSE(large.ok());
    EXPECT_EQ(large.text(), L"larger than 64 KB");
    kt::result missing = kt::ReadTextsFile(dir / L"missing.txt", text);
    EXPECT_FALSE(missing.ok());
    EXPECT_EQ(missing.code(), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
    TestDir::Write(dir / L"bad.txt", "[de]\n\xFF");
    kt::result bad = kt::ReadTextsFile(dir / L"bad.txt", text);
    EXPECT_EQ(bad.text().compare(0, 7, L"line 2:"), 0);
}

// A read may return less than the whole (a pipe, a network file): the file
// is read until its end, in as many reads as it takes.
TEST(Texts, ReadInPieces) {
    const std::wstring name = L"\\\\.\\pipe\\velmo-texts-" + std::to_wstring(GetCurrentProcessId());
    for (size_t total : {size_t(300), kt::kMaxTextsBytes + 1}) {
        SCOPED_TRACE(total);
        kt::unique_handle pipe(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1,
                                                4096, 4096, 0, nullptr));
        ASSERT_TRUE(pipe) << GetLastError();
        const std::string bytes = "[de]\nText=" + std::string(total - 10, 'x');
        std::thread writer([&] {
            ConnectNamedPipe(pipe.get(), nullptr);
            // Three pieces with pauses: each read returns what has come.
            for (size_t at = 0, piece = bytes.size() / 3 + 1; at < bytes.size(); at += piece) {
                DWORD put = 0;
                WriteFile(pipe.get(), bytes.data() + at, static_cast<DWORD>(std::min(piece, bytes.size() - at)), &put,
                          nullptr);
                Sleep(30);
            }
            // The writer closing its end is the end of the file.
            FlushFileBuffers(pipe.get());
            pipe.reset();
        });
        std::wstring text;
        kt::result r = kt::ReadTextsFile(name, text);
        writer.join();
        if (total <= kt::kMaxTextsBytes) {
            EXPECT_TRUE(r.ok()) << test_text(r.text());
            EXPECT_EQ(text.size(), total);
        } else {
            EXPECT_EQ(r.text(), L"larger than 64 KB");
        }
    }
}

// Thousands of sections: a repeated one is still found, at its line.
TEST(Texts, ManySections) {
    std::wstring text;
    for (int i = 0; i < 7000; ++i) text += L"[x" + std::to_wstring(i) + L"]\nText=t\n";
    kt::TextsFile file;
    ASSERT_TRUE(kt::ParseTexts(text, file).ok());
    EXPECT_EQ(file.sections.size(), 7000u);
    EXPECT_EQ(Dump(text + L"[X6999]"), L"error line 14001: section [X6999] given twice");
    EXPECT_EQ(Dump(text + L"[x0-a]\n[X0-A]"), L"error line 14002: section [X0-A] given twice");
}

}  // namespace
