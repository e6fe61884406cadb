#include "Log/LogParams.h"

#include <cstdio>

#include "Log/PrmsLdr.h"
#include "Log/WliTrust.h"
#include "gen/module.h"
#include "io/file.h"
#include "io/security.h"

namespace kt {

std::wregex MakeRegex(const std::wstring& pattern) {
    auto flags = std::regex_constants::ECMAScript | std::regex_constants::icase;
#ifdef __GLIBCXX__
    // libstdc++'s default matcher recurses once per character of the text,
    // so a long record overflows the stack; the polynomial (breadth-first)
    // matcher does not. Back-references are refused in this mode.
    flags |= std::regex_constants::__polynomial;
#endif
    return std::wregex(pattern, flags);
}

bool RegexFullMatch(const std::wregex& re, const std::wstring& text) { return std::regex_match(text, re); }

std::wstring PathStem(const std::wstring& path) {
    wchar_t drive[3] = {}, dir[256] = {}, base[256] = {}, ext[256] = {};
    if (_wsplitpath_s(path.c_str(), drive, 3, dir, 256, base, 256, ext, 256) != 0) return std::wstring();
    return std::wstring(drive) + dir + base;
}

namespace {
// The exe's path without extension; read once, it cannot change.
const std::wstring& ExeStem() {
    static const std::wstring stem = PathStem(module().FileName());
    return stem;
}
}  // namespace

LogParams::LogParams() {
    LogParams::reset();
    file_name = ExeStem() + L".log";
}

void LogParams::reset() {
    time_format = L"dd.MM.yyyy HH:mm:ss.ii";
    show_pid = true;
    show_tid = true;
    show_category = true;
    start_mode = smAppend;
    flush_seconds = 60;
    flush_bytes = 4096;
    events.clear();
    compiled_.clear();
}

const std::wregex* LogParams::pattern(const std::wstring& p) {
    auto it = compiled_.find(p);
    if (it == compiled_.end()) {
        std::unique_ptr<std::wregex> re;
        try {
            // The regex compiler recurses per character and per nesting level;
            // longer patterns could exhaust the stack and are taken as invalid.
            if (p.size() <= kMaxPatternLength) re = std::make_unique<std::wregex>(MakeRegex(p));
        } catch (const std::regex_error&) {
            // Remembered as invalid: compiled once, never matching.
        }
        it = compiled_.emplace(p, std::move(re)).first;
    }
    return it->second.get();
}

bool LogParams::accepts(const std::wstring& category, const std::wstring& text) {
    // An invalid pattern admits nothing; the entries after it still count.
    for (const auto& e : events) {
        const std::wregex* cat = pattern(e.first);
        if (!cat || !RegexFullMatch(*cat, category)) continue;
        if (e.second.empty()) return true;
        const std::wregex* txt = pattern(e.second);
        if (txt && RegexFullMatch(*txt, text)) return true;
    }
    return false;
}

std::wstring LogParams::format(const b_time& time, DWORD pid, DWORD tid, const std::wstring& category,
                               const std::wstring& text) {
    if (!accepts(category, text)) return std::wstring();
    std::wstring line;
    auto field = [&line](const std::wstring& f) {
        if (!line.empty()) line += L' ';
        line += f;
    };
    if (show_category && !category.empty()) field(category);
    if (!time_format.empty()) field(time.format(time_format, LOCALE_USER_DEFAULT));
    wchar_t id[24];
    if (show_pid) {
        swprintf(id, 24, L"PID=%04X", static_cast<unsigned>(pid));
        field(id);
    }
    if (show_tid) {
        swprintf(id, 24, L"TID=%04X", static_cast<unsigned>(tid));
        field(id);
    }
    field(EscapeControls(text));
    line += L"\r\n";
    return line;
}

std::wstring EscapeControls(const std::wstring& text) {
    std::wstring out;
    out.reserve(text.size());
    for (wchar_t c : text) {
        if (c == L'\r') {
            out += L"\\r";
        } else if (c == L'\n') {
            out += L"\\n";
        } else if (c == L'\t') {
            out += L"\\t";
        } else if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
            wchar_t hex[8];
            swprintf(hex, 8, L"\\x%02X", static_cast<unsigned>(c));
            out += hex;
        } else if (c == 0x2028 || c == 0x2029) {
            out += c == 0x2028 ? L"\\u2028" : L"\\u2029";
        } else {
            out += c;
        }
    }
    return out;
}

void LogParams::make_file_name(const std::wstring& path) {
    std::wstring stem = path.empty() ? ExeStem() : PathStem(path);
    switch (start_mode) {
    case smAppend:
        file_name = stem + L".log";
        break;
    case smOverwrite:
        file_name = stem + L".log";
        DeleteFileW(file_name.c_str());
        break;
    case smNew:
        file_name = stem + b_time::now().format(L"yyyyMMdd-HHmmssii", LOCALE_USER_DEFAULT) + L".log";
        break;
    default:
        break;
    }
}

LogWliParams::LogWliParams() {
    LogWliParams::reset();
    wli_path = ExeStem() + L".wli";
    admins_only = RunsAsServiceAccount();
}

void LogWliParams::reset() {
    LogParams::reset();
    reload_seconds = 60;
    wli_time.clear();
}

void LogWliParams::reload() {
    b_time written;
    if ((admins_only && !WliTrustedOnDisk(wli_path)) || !get_file_times(wli_path, nullptr, nullptr, &written).ok()) {
        reset();
        return;
    }
    if (!(written != wli_time)) return;
    LogWliParamsLoader2 ini;
    LogWliParamsLoader& loader = ini;
    if (loader.load(*this, wli_path) != 0) LogWliParamsLoader().load(*this, wli_path);
    wli_time = written;
}

}  // namespace kt
