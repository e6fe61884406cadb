// A texts file: the box's words in several languages, one section per
// language tag, so that each person is asked in their own language and any
// language gets past a batch file's code page.
//
//   [de]
//   Caption=Neustart
//   Text=Updates sind installiert.
//   Text=Jetzt neu starten?
//   Button1=&Jetzt
//   [*]
//   Caption=Restart
//
// UTF-8 (with or without a byte-order mark) or UTF-16 LE with its mark,
// decoded strictly; at most 64 KB. Only the keys Caption, Text (repeated:
// one line each) and Button1 to Button3 are read; nothing else in it is run
// or interpreted.
#pragma once

#include <string>
#include <vector>

#include "lib/kt.h"

namespace kt {

// The largest texts file, in bytes.
const size_t kMaxTextsBytes = 64 * 1024;

struct TextsSection {
    std::wstring tag;   // "de-AT", "de", or "*" for everyone else
    unsigned line = 0;  // of its header
    bool has_caption = false, has_text = false;
    std::wstring caption;
    std::wstring text;  // its Text= lines joined by line feeds
    bool has_label[3] = {false, false, false};
    std::wstring labels[3];
    unsigned label_line[3] = {0, 0, 0};
};

struct TextsFile {
    std::vector<TextsSection> sections;
};

// The file's bytes as text: UTF-8 (a leading mark dropped) or, after the
// mark FF FE, UTF-16 LE. Nothing is guessed: an ill-formed sequence, an
// unpaired surrogate or a NUL character is an error, whose line is in *line.
result DecodeTexts(const std::string& bytes, std::wstring& text, unsigned* line = nullptr);

// Parses decoded text. Errors name the line: a line outside a section, a
// bad or repeated section name, a line without "=", an unknown key, a key
// other than Text= given twice in a section; "no section" for a file
// without one. Values are the raw text after the first "=".
result ParseTexts(const std::wstring& text, TextsFile& file);

// Reads a texts file whole (at most kMaxTextsBytes) and decodes it.
result ReadTextsFile(const std::wstring& path, std::wstring& text);

// How a section was chosen for a language.
enum SectionMatch : int { smExact = 0, smLanguage, smEveryone, smFirst, smNone };
const wchar_t* SectionMatchText(SectionMatch how);

struct SectionChoice {
    int section = -1;  // the chosen section, -1 for a file without one
    int everyone = -1;  // the [*] section, -1 when there is none
    SectionMatch how = smNone;
    std::wstring tag;   // the chosen section's
};

// The section for a language tag ("de-AT"): the same tag, without letter
// case; else the tag's primary language ("de"); else [*]; else the first.
SectionChoice ChooseSection(const TextsFile& file, const std::wstring& language);

// The user interface language of this process's user as a tag ("de-DE").
std::wstring UiLanguage();

// How a user's profile names their display language, as the registry holds
// it (REG_MULTI_SZ lists or REG_SZ, raw: empty when absent), in the order
// Windows weighs them.
struct ProfileLanguages {
    std::wstring policy;     // Software\Policies\Microsoft\Control Panel\Desktop: PreferredUILanguages
    std::wstring preferred;  // Control Panel\Desktop: PreferredUILanguages, the display language chosen
    std::wstring languages;  // Control Panel\International\User Profile: Languages, their list
    std::wstring system;     // the system's user interface language
};
// The person's language: the first tag of the first form that starts with
// a language tag. What is not a tag (a value a user wrote) is passed over.
// The one rule for every box shown to a person whom velmo asks for SYSTEM:
// the relayed box and the session's own box.
std::wstring ProfileLanguage(const ProfileLanguages& forms);

}  // namespace kt
