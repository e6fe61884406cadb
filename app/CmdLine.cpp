#include "app/CmdLine.h"

#include <shellapi.h>
#include <wctype.h>

#include <regex>

#include "gen/TCmpRes.h"
#include "lib/owner.h"

namespace {

// What a flag word sets besides its style bits.
enum Switch { swNone, swNoButtons, swReportTimeout, swGuard };

struct FlagWord {
    const wchar_t* word;
    uint32_t value;
    Switch sets;
};

// Tried in this order; the first word that matches a piece applies. The
// window options and ReportTimeout come after the words that were there
// before them, so no earlier command line changes meaning.
const FlagWord kFlagWords[] = {
    {L"OK", MB_OK, swNone},
    {L"OKCANCEL", MB_OKCANCEL, swNone},
    {L"ABORTRETRYIGNORE", MB_ABORTRETRYIGNORE, swNone},
    {L"YESNOCANCEL", MB_YESNOCANCEL, swNone},
    {L"YESNO", MB_YESNO, swNone},
    {L"RETRYCANCEL", MB_RETRYCANCEL, swNone},
    {L"CANCELTRYCONTINUE", MB_CANCELTRYCONTINUE, swNone},
    {L"NOBUTTONS", MB_OK, swNoButtons},
    {L"INFORMATION", MB_ICONINFORMATION, swNone},
    {L"QUESTION", MB_ICONQUESTION, swNone},
    {L"WARNING", MB_ICONWARNING, swNone},
    {L"ERROR", MB_ICONERROR, swNone},
    {L"DEFBUTTON1", MB_DEFBUTTON1, swNone},
    {L"DEFBUTTON2", MB_DEFBUTTON2, swNone},
    {L"DEFBUTTON3", MB_DEFBUTTON3, swNone},
    {L"DEFBUTTON4", MB_DEFBUTTON4, swNone},
    {L"TOPMOST", MB_TOPMOST, swNone},
    {L"SYSTEMMODAL", MB_SYSTEMMODAL, swNone},
    {L"TASKMODAL", MB_TASKMODAL, swNone},
    {L"RIGHT", MB_RIGHT, swNone},
    {L"RTLREADING", MB_RTLREADING, swNone},
    {L"REPORTTIMEOUT", 0, swReportTimeout},
    {L"GUARD", 0, swGuard},
};

kt::result Fail(const std::wstring& text) { return kt::result(ERROR_INVALID_PARAMETER, text); }

// "Button<n>=<label>": the word in any letter case, then the label up to
// the piece's end. The button's number, 0 when the piece is not such a word.
const wchar_t kLabelWord[] = L"BUTTON";

unsigned LabelNumber(const std::wstring& piece, std::wstring& label) {
    const size_t word = wcslen(kLabelWord);
    if (piece.size() <= word || kt::CmpNoCase(piece.substr(0, word), kLabelWord) != 0) return 0;
    size_t eq = piece.find(L'=', word);
    if (eq == std::wstring::npos || eq == word) return 0;
    unsigned n = 0;
    for (size_t i = word; i < eq; ++i) {
        if (piece[i] < L'0' || piece[i] > L'9') return 0;
        n = n > 1000 ? n : n * 10 + (piece[i] - L'0');
    }
    label = piece.substr(eq + 1);
    // "Button0=" still names a button, one that no box has.
    return n ? n : kt::kMaxButtons + 1;
}

// "Texts=<path>": the word in any letter case; the path, when the piece is one.
const wchar_t kTextsWord[] = L"TEXTS=";

bool TextsWord(const std::wstring& piece, std::wstring& path) {
    const size_t word = wcslen(kTextsWord);
    if (piece.size() < word || kt::CmpNoCase(piece.substr(0, word), kTextsWord) != 0) return false;
    path = piece.substr(word);
    Unquote(path, L'"', 0);
    return true;
}

// The pieces of the flags argument: the next "|" is looked for from one
// character after the piece's start.
std::vector<std::wstring> Pieces(const std::wstring& opts) {
    std::vector<std::wstring> pieces;
    size_t start = 0;
    for (;;) {
        size_t bar = opts.find(L'|', start + 1);
        if (bar == std::wstring::npos) {
            pieces.push_back(opts.substr(start));
            return pieces;
        }
        pieces.push_back(opts.substr(start, bar - start));
        start = bar + 1;
    }
}

// Characters as the caller wrote them: a surrogate pair is one.
size_t CharCount(const std::wstring& s) {
    size_t n = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        bool second_half = i > 0 && IS_HIGH_SURROGATE(s[i - 1]) && IS_LOW_SURROGATE(s[i]);
        if (!second_half) ++n;
    }
    return n;
}

// Zero digits of the scripts whose decimal digits _wtoi accepts.
const wchar_t kZeroDigits[] = {0x0030, 0x0660, 0x06F0, 0x0966, 0x09E6, 0x0A66, 0x0AE6, 0x0B66, 0x0C66,
                               0x0CE6, 0x0D66, 0x0E50, 0x0ED0, 0x0F20, 0x1040, 0x17E0, 0x1810, 0xFF10};

int DigitValue(wchar_t c) {
    for (wchar_t zero : kZeroDigits) {
        if (c >= zero && c <= zero + 9) return c - zero;
    }
    return -1;
}

}  // namespace

const wchar_t* LabelFault(const std::wstring& label, unsigned index, uint32_t flags, bool buttons) {
    if (!buttons || index >= kt::ButtonCount(flags)) return L"the box has no button for it";
    if (label.empty()) return L"empty label";
    if (CharCount(label) > kt::kMaxLabelChars) return L"label longer than 40 characters";
    for (wchar_t c : label) {
        if (c < 0x20 || c == 0x7F) return L"control character in a label";
    }
    return nullptr;
}

std::wstring GetArg(const wchar_t* cmdline, int index) {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(cmdline, &argc);
    if (!argv) return std::wstring();
    kt::unique_local block(argv);
    if (index >= 0 && index < argc && argv[index]) return argv[index];
    return std::wstring();
}

std::wstring GetArg(int index) { return GetArg(GetCommandLineW(), index); }

int FindMatches(const std::wstring& text, const std::wstring& pattern, bool ignore_case,
                std::vector<std::wstring>& matches) {
    matches.clear();
    if (text.empty()) return 0;
    auto syntax = std::regex_constants::ECMAScript;
    if (ignore_case) syntax |= std::regex_constants::icase;
    std::wregex re(pattern, syntax);
    std::wsmatch m;
    auto it = text.cbegin();
    while (std::regex_search(it, text.cend(), m, re, std::regex_constants::match_not_null)) {
        matches.push_back(m.str(0));
        it = m[0].second;
    }
    return static_cast<int>(matches.size());
}

void Unquote(std::wstring& s, wchar_t quote, wchar_t close) {
    if (close == 0) close = quote;
    // A lone quote character is both first and last: it stays as it is.
    size_t b = 0, e = s.size();
    while (e - b >= 2 && s[b] == quote && s[e - 1] == close) {
        ++b;
        --e;
    }
    if (b) s = s.substr(b, e - b);
}

int FindNoCase(const std::wstring& text, const std::wstring& pattern, int start) {
    if (start < 0) start = 0;
    size_t p = static_cast<size_t>(start);
    while (p < text.size() || (pattern.empty() && p == text.size())) {
        size_t k = 0;
        for (; k < pattern.size(); ++k) {
            if (p + k >= text.size()) return -1;
            if (kt::UpperAscii(text[p + k]) != kt::UpperAscii(pattern[k])) break;
        }
        if (k == pattern.size()) return static_cast<int>(p);
        // Resume after the differing character, not at p + 1.
        p += k + 1;
    }
    return -1;
}

int ReplaceNoCase(std::wstring& text, const std::wstring& pattern, const std::wstring& replacement) {
    // An empty pattern would match everywhere without advancing.
    if (pattern.empty()) return 0;
    std::wstring out;
    int count = 0;
    size_t prev = 0;
    int p = FindNoCase(text, pattern, 0);
    while (p >= 0) {
        out.append(text, prev, static_cast<size_t>(p) - prev);
        out += replacement;
        ++count;
        prev = static_cast<size_t>(p) + pattern.size();
        p = FindNoCase(text, pattern, static_cast<int>(prev));
    }
    out.append(text, prev, std::wstring::npos);
    text = out;
    return count;
}

int32_t ParseTimeout(const std::wstring& s) {
    size_t i = 0;
    while (i < s.size() && iswspace(s[i])) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == L'+' || s[i] == L'-')) negative = s[i++] == L'-';
    int64_t value = 0;
    for (int d; i < s.size() && (d = DigitValue(s[i])) >= 0; ++i) {
        if (value <= 0x80000000LL) value = value * 10 + d;
    }
    if (negative) value = -value;
    if (value > 0x7FFFFFFFLL) return 0x7FFFFFFF;
    if (value < -0x80000000LL) return static_cast<int32_t>(0x80000000u);
    return static_cast<int32_t>(value);
}

kt::result ParseCmdLine(MsgBoxParams& p) { return ParseCmdLine(p, GetCommandLineW()); }

namespace {
// Position of the message text: 2 after the escape option, else 1.
int TextArg(const std::wstring& first) {
    std::vector<std::wstring> matches;
    return FindMatches(first, L"^[-/]esc:", true, matches) == 1 ? 2 : 1;
}
}  // namespace

int32_t HelpTimeout(const wchar_t* cmdline) { return ParseTimeout(GetArg(cmdline, TextArg(GetArg(cmdline, 1)) + 3)); }

kt::result ParseCmdLine(MsgBoxParams& p, const wchar_t* cmdline) {
    kt::result res;
    std::wstring esc = L"\\";

    std::wstring first = GetArg(cmdline, 1);
    int next = TextArg(first);
    std::wstring opts = GetArg(cmdline, next + 2);
    Unquote(opts, L'"', 0);
    // A texts file may give the text and the caption.
    std::wstring texts;
    bool texts_word = false;
    for (const std::wstring& piece : Pieces(opts)) texts_word |= TextsWord(piece, texts);
    if (first.empty() && !texts_word) return Fail(L"ERROR: no arguments");

    if (next == 2) esc = first.substr(5);

    std::wstring text = GetArg(cmdline, next);
    if (text.empty() && !texts_word) return Fail(L"ERROR: no message text");
    Unquote(text, L'"', 0);
    ReplaceNoCase(text, esc + L"n", L"\n");
    ReplaceNoCase(text, esc + L"t", L"\t");

    std::wstring caption = GetArg(cmdline, next + 1);
    if (caption.empty() && !texts_word)
        return kt::result(ERROR_INVALID_PARAMETER, "ERROR: no message text", kt::lvlError);
    Unquote(caption, L'"', 0);
    p.buttons = true;

    uint32_t flags = 0;
    bool report_timeout = false;
    kt::MsgBoxLook look;
    std::wstring label_piece[kt::kMaxButtons];
    texts.clear();
    for (const std::wstring& piece : Pieces(opts)) {
        std::wstring label, path;
        if (TextsWord(piece, path)) {
            if (!texts.empty()) return Fail(L"ERROR: Texts= given twice '" + piece + L"'");
            if (path.empty()) return Fail(L"ERROR: no file in '" + piece + L"'");
            texts = path;
        } else if (unsigned n = LabelNumber(piece, label)) {
            if (n > kt::kMaxButtons) return Fail(L"ERROR: the box has no button for '" + piece + L"'");
            if (label.empty()) return Fail(L"ERROR: empty label '" + piece + L"'");
            if (CharCount(label) > kt::kMaxLabelChars)
                return Fail(L"ERROR: label longer than 40 characters '" + piece + L"'");
            look.labels[n - 1] = label;
            label_piece[n - 1] = piece;
        } else {
            const FlagWord* hit = nullptr;
            for (const FlagWord& w : kFlagWords) {
                if (kt::CmpNoCase(piece, w.word) == 0) {
                    hit = &w;
                    break;
                }
            }
            if (!hit) return Fail(L"ERROR: unknown option '" + piece + L"'");
            flags |= hit->value;
            if (hit->sets == swNoButtons) p.buttons = false;
            if (hit->sets == swReportTimeout) report_timeout = true;
            if (hit->sets == swGuard) look.guard = true;
        }
    }

    // Only once the set is known: the words may come in any order.
    for (unsigned i = 0; i < kt::kMaxButtons; ++i) {
        if (!label_piece[i].empty() && (!p.buttons || i >= kt::ButtonCount(flags)))
            return Fail(L"ERROR: the box has no button for '" + label_piece[i] + L"'");
    }

    p.timeout = ParseTimeout(GetArg(cmdline, next + 3));
    p.text = text;
    p.caption = caption;
    p.flags = flags;
    p.report_timeout = report_timeout;
    p.look = look;
    p.escape = esc;
    p.texts = texts;
    return res;
}
