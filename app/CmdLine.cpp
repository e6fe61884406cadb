#include "app/CmdLine.h"

#include <shellapi.h>
#include <wctype.h>

#include <regex>

#include "app/Command.h"
#include "gen/TCmpRes.h"
#include "lib/owner.h"

namespace {

// What a flag word sets besides its style bits.
enum Switch { swNone, swNoButtons, swReportTimeout, swGuard, swRun, swForceClose, swReopen };

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
    {L"RUN", 0, swRun},
    {L"FORCECLOSE", 0, swForceClose},
    {L"REOPEN", 0, swReopen},
};

kt::result Fail(const std::wstring& text) { return kt::result(ERROR_INVALID_PARAMETER, text); }

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

// What the valued words set, as the pieces are read.
struct Valued {
    kt::MsgBoxLook look;
    std::wstring label_piece[kt::kMaxButtons];  // the piece that gave each label
    std::wstring texts;
    bool session_given = false;
    kt::SessionScope session = kt::scAll;
    DeferralTerms defer;
    std::wstring defer_piece, until_piece, interval_piece;  // the pieces that gave them
    CloseTerms close;
    std::wstring apps_piece, wait_piece;
};

// Readers of one valued word: what its value sets, or why it cannot be
// used. number is Button<n>='s n (0 for the other words).
using ValueReader = kt::result (*)(const std::wstring& piece, unsigned number, const std::wstring& value, Valued& v);

kt::result ReadLabel(const std::wstring& piece, unsigned number, const std::wstring& label, Valued& v) {
    // "Button0=" still names a button, one that no box has.
    if (number == 0 || number > kt::kMaxButtons) return Fail(L"ERROR: the box has no button for '" + piece + L"'");
    if (label.empty()) return Fail(L"ERROR: empty label '" + piece + L"'");
    if (CharCount(label) > kt::kMaxLabelChars) return Fail(L"ERROR: label longer than 40 characters '" + piece + L"'");
    // Given twice, the later one holds.
    v.look.labels[number - 1] = label;
    v.label_piece[number - 1] = piece;
    return {};
}

kt::result ReadTexts(const std::wstring& piece, unsigned, const std::wstring& value, Valued& v) {
    std::wstring path = value;
    Unquote(path, L'"', 0);
    if (!v.texts.empty()) return Fail(L"ERROR: Texts= given twice '" + piece + L"'");
    if (path.empty()) return Fail(L"ERROR: no file in '" + piece + L"'");
    v.texts = path;
    return {};
}

kt::result ReadSession(const std::wstring& piece, unsigned, const std::wstring& value, Valued& v) {
    if (v.session_given) return Fail(L"ERROR: Session= given twice '" + piece + L"'");
    if (kt::CmpNoCase(value, L"ALL") == 0) {
        v.session = kt::scAll;
    } else if (kt::CmpNoCase(value, L"CONSOLE") == 0) {
        v.session = kt::scConsole;
    } else {
        return Fail(L"ERROR: not All or Console '" + piece + L"'");
    }
    v.session_given = true;
    return {};
}

kt::result ReadDefer(const std::wstring& piece, unsigned, const std::wstring& value, Valued& v) {
    if (!v.defer_piece.empty()) return Fail(L"ERROR: Defer= given twice '" + piece + L"'");
    if (!ParseDeferValue(value, v.defer.key, v.defer.times))
        return Fail(L"ERROR: not <key>[:<times>] (1 to 64 letters, digits, . - _; 1 to 99 times) '" + piece + L"'");
    v.defer_piece = piece;
    return {};
}

kt::result ReadDeferUntil(const std::wstring& piece, unsigned, const std::wstring& value, Valued& v) {
    if (!v.until_piece.empty()) return Fail(L"ERROR: DeferUntil= given twice '" + piece + L"'");
    if (!ParseDeadline(value, v.defer))
        return Fail(L"ERROR: not a date YYYY-MM-DD or YYYY-MM-DDThh:mm[Z|+hh:mm|-hh:mm] '" + piece + L"'");
    v.until_piece = piece;
    return {};
}

// A whole number from 1 to most, in decimal digits alone; 0 when it is not.
unsigned long Count(const std::wstring& value, unsigned long most) {
    bool digits = !value.empty() && value.size() <= std::to_wstring(most).size();
    for (wchar_t c : value) digits &= c >= L'0' && c <= L'9';
    const unsigned long n = digits ? wcstoul(value.c_str(), nullptr, 10) : 0;
    return n <= most ? n : 0;
}

kt::result ReadDeferInterval(const std::wstring& piece, unsigned, const std::wstring& value, Valued& v) {
    if (!v.interval_piece.empty()) return Fail(L"ERROR: DeferInterval= given twice '" + piece + L"'");
    const unsigned long minutes = Count(value, 10080);
    if (!minutes) return Fail(L"ERROR: not 1 to 10080 minutes '" + piece + L"'");
    v.defer.interval_min = static_cast<int>(minutes);
    v.interval_piece = piece;
    return {};
}

kt::result ReadCloseApps(const std::wstring& piece, unsigned, const std::wstring& value, Valued& v) {
    if (!v.apps_piece.empty()) return Fail(L"ERROR: CloseApps= given twice '" + piece + L"'");
    std::wstring why;
    if (!kt::ParseApps(value, v.close.apps, why)) return Fail(L"ERROR: " + why + L" in '" + piece + L"'");
    v.apps_piece = piece;
    return {};
}

kt::result ReadCloseWait(const std::wstring& piece, unsigned, const std::wstring& value, Valued& v) {
    if (!v.wait_piece.empty()) return Fail(L"ERROR: CloseWait= given twice '" + piece + L"'");
    const unsigned long seconds = Count(value, 3600);
    if (!seconds) return Fail(L"ERROR: not 1 to 3600 seconds '" + piece + L"'");
    v.close.wait_s = static_cast<uint32_t>(seconds);
    v.wait_piece = piece;
    return {};
}

struct ValuedWord {
    const wchar_t* name;  // before the "=" (or the number), in upper case
    bool numbered;        // Button<n>=: a decimal number between the name and the "="
    ValueReader read;
};

// The words of the form name=value, in any letter case; the value runs to
// the next "|" or the end.
const ValuedWord kValuedWords[] = {
    {L"BUTTON", true, ReadLabel},
    {L"TEXTS", false, ReadTexts},
    {L"SESSION", false, ReadSession},
    {L"DEFER", false, ReadDefer},
    {L"DEFERUNTIL", false, ReadDeferUntil},
    {L"DEFERINTERVAL", false, ReadDeferInterval},
    {L"CLOSEAPPS", false, ReadCloseApps},
    {L"CLOSEWAIT", false, ReadCloseWait},
};

// The valued word a piece is, its number and its value; null when it is
// none (then it may be a plain word).
const ValuedWord* ValuedWordOf(const std::wstring& piece, unsigned& number, std::wstring& value) {
    for (const ValuedWord& w : kValuedWords) {
        const size_t n = wcslen(w.name);
        if (piece.size() <= n || kt::CmpNoCase(piece.substr(0, n), w.name) != 0) continue;
        size_t eq = n;
        number = 0;
        if (w.numbered) {
            while (eq < piece.size() && piece[eq] >= L'0' && piece[eq] <= L'9') {
                number = number > 1000 ? number : number * 10 + (piece[eq] - L'0');
                ++eq;
            }
            if (eq == n) continue;
        }
        if (eq >= piece.size() || piece[eq] != L'=') continue;
        value = piece.substr(eq + 1);
        return &w;
    }
    return nullptr;
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
    const std::vector<std::wstring> pieces = Pieces(opts);
    // A texts file may give the text and the caption.
    bool texts_word = false;
    for (const std::wstring& piece : pieces) {
        unsigned number = 0;
        std::wstring value;
        const ValuedWord* w = ValuedWordOf(piece, number, value);
        texts_word |= w && w->read == ReadTexts;
    }
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
    p.run = false;

    uint32_t flags = 0;
    bool report_timeout = false;
    Valued valued;
    kt::MsgBoxLook& look = valued.look;
    for (const std::wstring& piece : pieces) {
        unsigned number = 0;
        std::wstring value;
        if (const ValuedWord* w = ValuedWordOf(piece, number, value)) {
            kt::result read = w->read(piece, number, value, valued);
            if (!read.ok()) return read;
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
            if (hit->sets == swRun) p.run = true;
            if (hit->sets == swForceClose) valued.close.force = true;
            if (hit->sets == swReopen) valued.close.reopen = true;
        }
    }

    // Only once the set is known: the words may come in any order.
    for (unsigned i = 0; i < kt::kMaxButtons; ++i) {
        if (!valued.label_piece[i].empty() && (!p.buttons || i >= kt::ButtonCount(flags)))
            return Fail(L"ERROR: the box has no button for '" + valued.label_piece[i] + L"'");
    }
    // Defer= and DeferUntil= together, on a box whose button 2 can defer.
    if (!valued.until_piece.empty() && valued.defer_piece.empty())
        return Fail(L"ERROR: DeferUntil= without Defer= '" + valued.until_piece + L"'");
    if (!valued.interval_piece.empty() && valued.defer_piece.empty())
        return Fail(L"ERROR: DeferInterval= without Defer= '" + valued.interval_piece + L"'");
    if (!valued.defer_piece.empty()) {
        if (valued.defer.times == 0 && !valued.defer.has_deadline)
            return Fail(L"ERROR: neither times nor DeferUntil= for '" + valued.defer_piece + L"'");
        if (!p.buttons || kt::ButtonCount(flags) < 2)
            return Fail(L"ERROR: the box has no button 2 to defer with '" + valued.defer_piece + L"'");
    }

    // The words of CloseApps= go with it; Reopen with Run.
    if (valued.apps_piece.empty()) {
        if (!valued.wait_piece.empty()) return Fail(L"ERROR: CloseWait= without CloseApps= '" + valued.wait_piece + L"'");
        if (valued.close.force) return Fail(L"ERROR: ForceClose without CloseApps= 'ForceClose'");
        if (valued.close.reopen) return Fail(L"ERROR: Reopen without CloseApps= 'Reopen'");
    }
    if (valued.close.reopen && !p.run) return Fail(L"ERROR: Reopen without Run 'Reopen'");

    // Run: the timeout must stand where it belongs (a number, 0 for none),
    // for the command is what follows it, as written.
    std::wstring command;
    if (p.run) {
        const std::wstring timeout = GetArg(cmdline, next + 3);
        bool number = !timeout.empty();
        for (wchar_t c : timeout) number &= c >= L'0' && c <= L'9';
        if (!number) return Fail(L"ERROR: Run needs the timeout before the command (seconds, 0 for none) 'Run'");
        command = ArgsAfter(cmdline, next + 4);
        if (command.empty()) return Fail(L"ERROR: Run without a command 'Run'");
        // The exit code is the command's: nothing else may claim it.
        if (report_timeout) return Fail(L"ERROR: Run with ReportTimeout 'ReportTimeout'");
        if (!valued.defer_piece.empty()) return Fail(L"ERROR: Run with Defer= '" + valued.defer_piece + L"'");
    }
    p.command = command;
    p.timeout = ParseTimeout(GetArg(cmdline, next + 3));
    p.text = text;
    p.caption = caption;
    p.flags = flags;
    p.report_timeout = report_timeout;
    p.look = look;
    p.escape = esc;
    p.texts = valued.texts;
    p.session = valued.session;
    p.defer = valued.defer;
    p.close = valued.close;
    return res;
}
