#include "Log/TIni.h"

#include <vector>

#include "Log/Log.h"
#include "io/file.h"

namespace kt {

namespace {

void clean(Str& s) {
    s.trim();
    s.unquote();
    s.trim();
}

// End of the name: the first "=" outside double quotes, or the end.
const char* find_equals(const char* p) {
    while (*p && *p != '=') {
        if (*p == '"') {
            const char* close = std::strchr(p + 1, '"');
            if (!close) return p + std::strlen(p);
            p = close;
        }
        ++p;
    }
    return p;
}
}  // namespace

TIniVal::TIniVal(const char* line) {
    const char* eq = find_equals(line);
    if (*eq == '=') {
        name_.assign(line, static_cast<uint32_t>(eq - line));
        if (eq == line) name_.clear();
        clean(name_);
        value_ = eq + 1;
    } else {
        value_ = line;
    }
    // Items: split at commas; a quoted part keeps its commas.
    std::vector<std::pair<const char*, size_t>> parts;
    const char* p = value_.data();
    const char* end = p + value_.length();
    while (p < end) {
        while (p < end && *p == ' ') ++p;
        const char* start = p;
        if (p < end && *p == '"') {
            const char* close = static_cast<const char*>(std::memchr(p + 1, '"', static_cast<size_t>(end - p - 1)));
            p = close ? close + 1 : end;
        }
        const char* comma = static_cast<const char*>(std::memchr(p, ',', static_cast<size_t>(end - p)));
        const char* stop = comma ? comma : end;
        parts.emplace_back(start, static_cast<size_t>(stop - start));
        p = comma ? comma + 1 : end;
    }
    items_.allocate(static_cast<uint32_t>(parts.size()));
    for (uint32_t i = 0; i < parts.size(); ++i) {
        std::string item(parts[i].first, parts[i].second);
        items_[i] = item.c_str();
        clean(items_[i]);
    }
}

TCmpRes TIniVal::compare(const TIniVal& a, const TIniVal& b, uint32_t key) {
    return key == iniByName ? compare_i(a.name_, b.name_) : TCmpRes(0);
}

TCmpRes TIniSection::compare(const TIniSection& a, const TIniSection& b, uint32_t key) {
    return key == iniByName ? compare_i(a.name_, b.name_) : TCmpRes(0);
}

const TIniVal* TIniSection::value(const char* name) const {
    std::string line = std::string(name ? name : "") + "=";
    TIniVal probe(line.c_str());
    return values_.find(probe, iniByName, srchEqual);
}

const TIniSection* TIni::section(const char* name) const {
    TIniSection probe(name ? name : "");
    return sections_.find(probe, iniByName, srchEqual);
}

void TIni::add_value(const char* section, const char* line) {
    TIniSection probe(section);
    TIniSection* s = sections_.find(probe, iniByName, srchEqual);
    if (!s) {
        s = new TIniSection(section);
        sections_.add(s);
    }
    s->add(new TIniVal(line));
}

void TIni::parse(const char* text, size_t size) {
    size_t n = strnlen(text, size);
    std::string current;
    size_t i = 0;
    while (i < n) {
        size_t eol = i;
        while (eol < n && text[eol] != '\r' && text[eol] != '\n') ++eol;
        std::string line(text + i, eol - i);
        i = eol;
        while (i < n && (text[i] == '\r' || text[i] == '\n')) ++i;

        if (line.empty() || line[0] == ';') continue;
        size_t b = line.find_first_not_of(' ');
        if (b == std::string::npos) continue;
        std::string rest = line.substr(b);
        size_t last = rest.find_last_not_of(' ');
        if (rest[0] == '[' && rest[last] == ']') {
            Str name(rest.substr(1, last - 1).c_str());
            name.trim();
            current.assign(name.data(), name.length());
            if (!current.empty()) sections_.add(new TIniSection(current.c_str()));
            continue;
        }
        Str value(rest.c_str());
        value.trim();
        if (!current.empty() && value.length() != 0) add_value(current.c_str(), value.data());
    }
}

uint32_t TIni::Ld(const std::wstring& path, DWORD share) {
    log_wprintf(get_log(), L"TIL", L"TIni::Ld(%s,%u) begin", path.c_str(), static_cast<unsigned>(share));
    clear();
    file f;
    uint32_t rc = f.try_open(path, GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
    if (rc == 0) {
        DWORD size = GetFileSize(f.handle(), nullptr);
        if (size == INVALID_FILE_SIZE) {
            rc = GetLastError();
        } else {
            std::vector<char> buf(static_cast<size_t>(size) + 1, 0);
            DWORD got = 0;
            if (!ReadFile(f.handle(), buf.data(), size, &got, nullptr)) {
                rc = GetLastError();
            } else {
                buf[got] = 0;
                parse(buf.data(), got);
            }
        }
        f.close();
    }
    log_wprintf(get_log(), L"TIL", L"TIni::Ld(%s) end(%u)", path.c_str(), rc);
    return rc;
}

}  // namespace kt
