#include "gen/Texts.h"

#include <cwctype>
#include <unordered_set>

#include "gen/TCmpRes.h"
#include "lib/owner.h"

namespace kt {

namespace {

result Bad(unsigned line, const std::wstring& why) {
    return result(ERROR_INVALID_DATA, L"line " + std::to_wstring(line) + L": " + why);
}

// Appends a code point as UTF-16.
void Put(std::wstring& out, uint32_t c) {
    if (c < 0x10000) {
        out += static_cast<wchar_t>(c);
    } else {
        c -= 0x10000;
        out += static_cast<wchar_t>(0xD800 + (c >> 10));
        out += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
    }
}

// Strict UTF-8 (RFC 3629): no overlong forms, no surrogates, nothing above
// U+10FFFF. false at the first byte that breaks it.
bool FromUtf8(const std::string& s, size_t from, std::wstring& out, size_t& bad) {
    const auto* b = reinterpret_cast<const unsigned char*>(s.data());
    const size_t n = s.size();
    for (size_t i = from; i < n;) {
        bad = i;
        uint32_t c = b[i];
        size_t more = 0;
        uint32_t min = 0;
        if (c < 0x80) {
            more = 0;
        } else if ((c & 0xE0) == 0xC0) {
            more = 1, min = 0x80, c &= 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            more = 2, min = 0x800, c &= 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            more = 3, min = 0x10000, c &= 0x07;
        } else {
            return false;
        }
        if (more && i + more >= n) return false;
        for (size_t k = 1; k <= more; ++k) {
            if ((b[i + k] & 0xC0) != 0x80) return false;
            c = (c << 6) | (b[i + k] & 0x3F);
        }
        if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF) || c == 0) return false;
        Put(out, c);
        i += more + 1;
    }
    return true;
}

// UTF-16 LE with every surrogate paired and no NUL.
bool FromUtf16(const std::string& s, size_t from, std::wstring& out, size_t& bad) {
    if ((s.size() - from) % 2) {
        bad = s.size() - 1;
        return false;
    }
    for (size_t i = from; i < s.size(); i += 2) {
        bad = i;
        wchar_t c = static_cast<wchar_t>(static_cast<unsigned char>(s[i]) | (static_cast<unsigned char>(s[i + 1]) << 8));
        if (c == 0) return false;
        if (IS_LOW_SURROGATE(c) && (out.empty() || !IS_HIGH_SURROGATE(out.back()))) return false;
        if (!out.empty() && IS_HIGH_SURROGATE(out.back()) && !IS_LOW_SURROGATE(c)) return false;
        out += c;
    }
    if (!out.empty() && IS_HIGH_SURROGATE(out.back())) return false;
    return true;
}

std::wstring Trim(const std::wstring& s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == L' ' || s[b] == L'\t')) ++b;
    while (e > b && (s[e - 1] == L' ' || s[e - 1] == L'\t')) --e;
    return s.substr(b, e - b);
}

bool Same(const std::wstring& a, const std::wstring& b) { return _wcsicmp(a.c_str(), b.c_str()) == 0; }

// A tag (ASCII letters, digits, "-" or "*") in one letter case: a repeated
// section is found in a hashed set, not by comparing each with every other.
std::wstring Folded(std::wstring tag) {
    for (wchar_t& c : tag) c = UpperAscii(c);
    return tag;
}

// A language tag as Windows names locales ("de", "de-AT", "zh-Hans-CN",
// "sr-Latn-RS"), or "*".
bool IsTag(const std::wstring& t) {
    if (t == L"*") return true;
    size_t part = 0;
    for (size_t i = 0; i <= t.size(); ++i) {
        if (i == t.size() || t[i] == L'-') {
            if (part == 0 || part > 8) return false;
            part = 0;
        } else if ((t[i] < L'a' || t[i] > L'z') && (t[i] < L'A' || t[i] > L'Z') && (t[i] < L'0' || t[i] > L'9')) {
            return false;
        } else {
            ++part;
        }
    }
    return true;
}

}  // namespace

result DecodeTexts(const std::string& bytes, std::wstring& text, unsigned* line) {
    text.clear();
    size_t bad = 0;
    bool ok;
    if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
        ok = FromUtf16(bytes, 2, text, bad);
    } else {
        ok = FromUtf8(bytes, bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0, text, bad);
    }
    if (ok) return {};
    // The line of the first bad byte: the line feeds decoded before it, plus one.
    unsigned at = 1;
    for (wchar_t c : text) at += c == L'\n';
    if (line) *line = at;
    text.clear();
    return result(ERROR_INVALID_DATA, L"line " + std::to_wstring(at) + L": not valid UTF-8 or UTF-16 (byte " +
                                          std::to_wstring(bad) + L")");
}

result ParseTexts(const std::wstring& text, TextsFile& file) {
    file.sections.clear();
    std::unordered_set<std::wstring> tags;
    unsigned number = 0;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find_first_of(L"\r\n", pos);
        if (end == std::wstring::npos) end = text.size();
        std::wstring line = text.substr(pos, end - pos);
        // CR LF, LF and a lone CR each end one line.
        pos = end + (end + 1 < text.size() && text[end] == L'\r' && text[end + 1] == L'\n' ? 2 : 1);
        ++number;
        std::wstring trimmed = Trim(line);
        if (trimmed.empty() || trimmed[0] == L';' || trimmed[0] == L'#') continue;
        if (trimmed[0] == L'[') {
            std::wstring tag = trimmed.back() == L']' ? Trim(trimmed.substr(1, trimmed.size() - 2)) : L"";
            if (!IsTag(tag)) return Bad(number, L"not a language tag: " + trimmed);
            if (!tags.insert(Folded(tag)).second) return Bad(number, L"section [" + tag + L"] given twice");
            file.sections.emplace_back();
            file.sections.back().tag = tag;
            file.sections.back().line = number;
            continue;
        }
        if (file.sections.empty()) return Bad(number, L"a line before the first section");
        size_t eq = line.find(L'=');
        if (eq == std::wstring::npos) return Bad(number, L"no \"=\" in the line");
        std::wstring key = Trim(line.substr(0, eq)), value = line.substr(eq + 1);
        TextsSection& s = file.sections.back();
        if (Same(key, L"Text")) {
            if (s.has_text) s.text += L'\n';
            s.text += value;
            s.has_text = true;
        } else if (Same(key, L"Caption")) {
            if (s.has_caption) return Bad(number, L"Caption= given twice in [" + s.tag + L"]");
            s.caption = value;
            s.has_caption = true;
        } else if (key.size() == 7 && Same(key.substr(0, 6), L"Button") && key[6] >= L'1' && key[6] <= L'3') {
            int i = key[6] - L'1';
            if (s.has_label[i]) return Bad(number, key + L"= given twice in [" + s.tag + L"]");
            s.labels[i] = value;
            s.has_label[i] = true;
            s.label_line[i] = number;
        } else {
            return Bad(number, L"unknown key '" + key + L"'");
        }
    }
    if (file.sections.empty()) return result(ERROR_INVALID_DATA, L"no section");
    return {};
}

result ReadTextsFile(const std::wstring& path, std::wstring& text) {
    unique_handle f(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f) return LastErrorResult(L"cannot read it");
    // One byte more than allowed tells a file that is too large, whatever
    // its size said (it may grow meanwhile, a pipe has none).
    std::string bytes(kMaxTextsBytes + 1, '\0');
    size_t have = 0;
    // ReadFile may return less than asked (a pipe, a network file): read
    // until the end.
    for (DWORD got = 1; got && have < bytes.size(); have += got) {
        if (ReadFile(f.get(), &bytes[have], static_cast<DWORD>(bytes.size() - have), &got, nullptr)) continue;
        // A pipe's writer closing it is its end.
        if (GetLastError() != ERROR_BROKEN_PIPE) return LastErrorResult(L"cannot read it");
        got = 0;
    }
    if (have > kMaxTextsBytes) return result(ERROR_FILE_TOO_LARGE, L"larger than 64 KB");
    bytes.resize(have);
    return DecodeTexts(bytes, text);
}

const wchar_t* SectionMatchText(SectionMatch how) {
    switch (how) {
        case smExact: return L"the language";
        case smLanguage: return L"its primary language";
        case smEveryone: return L"everyone else";
        case smFirst: return L"the first section";
        case smNone: return L"none";
    }
    return L"?";
}

SectionChoice ChooseSection(const TextsFile& file, const std::wstring& language) {
    SectionChoice choice;
    const std::wstring primary = language.substr(0, language.find(L'-'));
    int exact = -1, same_language = -1;
    for (size_t i = 0; i < file.sections.size(); ++i) {
        const std::wstring& tag = file.sections[i].tag;
        int index = static_cast<int>(i);
        if (tag == L"*") {
            if (choice.everyone < 0) choice.everyone = index;
        } else if (exact < 0 && !language.empty() && Same(tag, language)) {
            exact = index;
        } else if (same_language < 0 && !primary.empty() && Same(tag, primary)) {
            same_language = index;
        }
    }
    if (exact >= 0) {
        choice.section = exact, choice.how = smExact;
    } else if (same_language >= 0) {
        choice.section = same_language, choice.how = smLanguage;
    } else if (choice.everyone >= 0) {
        choice.section = choice.everyone, choice.how = smEveryone;
    } else if (!file.sections.empty()) {
        choice.section = 0, choice.how = smFirst;
    }
    if (choice.section >= 0) choice.tag = file.sections[choice.section].tag;
    return choice;
}

std::wstring UiLanguage() {
    wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};
    LCID lcid = MAKELCID(GetUserDefaultUILanguage(), SORT_DEFAULT);
    return LCIDToLocaleName(lcid, name, LOCALE_NAME_MAX_LENGTH, 0) ? name : L"";
}

std::wstring ProfileLanguage(const ProfileLanguages& forms) {
    for (const std::wstring* form : {&forms.policy, &forms.preferred, &forms.languages, &forms.system}) {
        // A list's first entry ends at its first NUL.
        const std::wstring tag = form->substr(0, form->find(L'\0'));
        if (!tag.empty() && tag != L"*" && IsTag(tag)) return tag;
    }
    return L"";
}

}  // namespace kt
