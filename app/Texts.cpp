#include "app/Texts.h"

#include <cwchar>
#include <memory>

namespace {

kt::result Fail(const MsgBoxParams& p, const std::wstring& why) {
    return kt::result(ERROR_INVALID_PARAMETER, L"ERROR: texts file '" + p.texts + L"': " + why);
}

std::wstring Expand(std::wstring value, const std::wstring& esc) {
    ReplaceNoCase(value, esc + L"n", L"\n");
    ReplaceNoCase(value, esc + L"t", L"\t");
    return value;
}

// The words of a section, key by key from it, [*] or the command line.
struct Words {
    std::wstring text, caption, labels[kt::kMaxButtons];
};

// The section's own keys over w.
void Overlay(Words& w, const MsgBoxParams& p, const kt::TextsFile& file, int section) {
    if (section < 0) return;
    const kt::TextsSection& s = file.sections[section];
    if (s.has_text) w.text = Expand(s.text, p.escape);
    if (s.has_caption) w.caption = Expand(s.caption, p.escape);
    for (unsigned b = 0; b < kt::kMaxButtons; ++b) {
        if (s.has_label[b]) w.labels[b] = Expand(s.labels[b], p.escape);
    }
}

// The words of everyone: [*]'s over the command line's.
Words EveryonesWords(const MsgBoxParams& p, const kt::TextsFile& file, int everyone) {
    Words w{p.text, p.caption, {p.look.labels[0], p.look.labels[1], p.look.labels[2]}};
    Overlay(w, p, file, everyone);
    return w;
}

// The file, parsed once when it was loaded.
kt::result Parsed(const MsgBoxParams& p, std::shared_ptr<const kt::TextsFile>& file) {
    file = p.texts_file;
    if (file) return {};
    auto parsed = std::make_shared<kt::TextsFile>();
    kt::result r = kt::ParseTexts(p.texts_content, *parsed);
    file = parsed;
    return r;
}

}  // namespace

kt::result LoadTexts(MsgBoxParams& p) {
    if (p.texts.empty()) return {};
    wchar_t full[MAX_PATH];
    // Relative to the current directory.
    DWORD n = GetFullPathNameW(p.texts.c_str(), MAX_PATH, full, nullptr);
    std::wstring path = n && n < MAX_PATH ? std::wstring(full) : p.texts;
    kt::result read = kt::ReadTextsFile(path, p.texts_content);
    if (!read.ok())
        return Fail(p, read.code() == ERROR_INVALID_DATA || read.code() == ERROR_FILE_TOO_LARGE
                           ? read.text()
                           : read.text() + L": " + kt::ErrorText(read.code()));
    auto parsed_file = std::make_shared<kt::TextsFile>();
    kt::TextsFile& file = *parsed_file;
    kt::result parsed = kt::ParseTexts(p.texts_content, file);
    if (!parsed.ok()) return Fail(p, parsed.text());
    const int everyone = kt::ChooseSection(file, L"").everyone;
    const Words everyones = EveryonesWords(p, file, everyone);
    for (size_t i = 0; i < file.sections.size(); ++i) {
        const kt::TextsSection& s = file.sections[i];
        for (unsigned b = 0; b < kt::kMaxButtons; ++b) {
            if (!s.has_label[b]) continue;
            if (const wchar_t* fault = LabelFault(Expand(s.labels[b], p.escape), b, p.flags, p.buttons))
                return Fail(p, L"line " + std::to_wstring(s.label_line[b]) + L": " + fault + L" (Button" +
                                   std::to_wstring(b + 1) + L"=)");
        }
        Words w = everyones;
        Overlay(w, p, file, static_cast<int>(i));
        if (w.text.empty() || w.caption.empty())
            return Fail(p, L"line " + std::to_wstring(s.line) + L": no " + (w.text.empty() ? L"text" : L"caption") +
                               L" for [" + s.tag + L"], from it, " + (s.tag == L"*" ? L"" : L"[*] ") +
                               L"or the command line");
    }
    p.texts_file = parsed_file;
    return {};
}

kt::result ApplyTexts(MsgBoxParams& p, const std::wstring& language, kt::SectionChoice* choice) {
    if (p.texts.empty()) return {};
    std::shared_ptr<const kt::TextsFile> parsed_file;
    kt::result parsed = Parsed(p, parsed_file);
    if (!parsed.ok()) return Fail(p, parsed.text());
    const kt::TextsFile& file = *parsed_file;
    kt::SectionChoice chosen = kt::ChooseSection(file, language);
    Words w = EveryonesWords(p, file, chosen.everyone);
    Overlay(w, p, file, chosen.section);
    p.text = w.text;
    p.caption = w.caption;
    for (unsigned b = 0; b < kt::kMaxButtons; ++b) p.look.labels[b] = w.labels[b];
    if (choice) *choice = chosen;
    return {};
}
