// A reader of INI text: sections of name=value lines, kept as ANSI strings.
#pragma once

#include "gen/TCmpRes.h"

namespace kt {

// Keys of the INI lists: kept in file order, looked up by name.
enum : uint32_t { iniFileOrder = 0, iniByName = 1 };

// One value line: name before the first "=" outside quotes, the raw value
// after it, and the value split into comma-separated items.
class TIniVal : public base {
public:
    explicit TIniVal(const char* line);
    const Str& name() const { return name_; }
    const Str& value() const { return value_; }
    const Array<Str>& items() const { return items_; }
    // iniByName: names without regard to case; any other key: equal.
    static TCmpRes compare(const TIniVal& a, const TIniVal& b, uint32_t key);

private:
    Str name_;
    Str value_;
    Array<Str> items_;
};

class TIniSection : public base {
public:
    explicit TIniSection(const char* name) : name_(name), values_(iniFileOrder, 0, 64) {}
    const Str& name() const { return name_; }
    // First value line of that name (normalised like a line's name), or null.
    const TIniVal* value(const char* name) const;
    uint32_t count() const { return values_.count(); }
    const TIniVal* at(uint32_t i) const { return values_.at(i); }
    void add(TIniVal* v) { values_.add(v); }
    static TCmpRes compare(const TIniSection& a, const TIniSection& b, uint32_t key);

private:
    Str name_;
    TList<TIniVal> values_;
};

class TIni : public base {
public:
    TIni() : sections_(iniFileOrder, 0, 64) {}
    // Replaces the document with the file's contents; 0 or the error.
    uint32_t Ld(const std::wstring& path, DWORD share);
    // Parses INI text (up to its first NUL) into the document.
    void parse(const char* text, size_t size);
    const TIniSection* section(const char* name) const;
    uint32_t count() const { return sections_.count(); }
    const TIniSection* at(uint32_t i) const { return sections_.at(i); }
    void clear() { sections_.clear(); }
    void add_value(const char* section, const char* line);

private:
    TList<TIniSection> sections_;
};

}  // namespace kt
