// Comparisons that answer a kt::TCmpRes.
#pragma once

#include "gen/BStr.h"

namespace kt {

enum : uint32_t { cmpExact = 0, cmpNoCase = 1, cmpPrefix = 2, cmpPrefixNoCase = 3 };

TCmpRes compare_exact(const Str& l, const char* r);
TCmpRes compare_exact(const Str& l, const Str& r);
TCmpRes compare_i(const Str& l, const char* r);
TCmpRes compare_i(const Str& l, const Str& r);
// Prefix modes compare as many characters as the right operand has.
TCmpRes compare_prefix(const Str& l, const char* r);
TCmpRes compare_prefix(const Str& l, const Str& r);
TCmpRes compare_prefix_i(const Str& l, const char* r);
TCmpRes compare_prefix_i(const Str& l, const Str& r);
TCmpRes compare(const Str& l, const char* r, uint32_t flags);
TCmpRes compare(const Str& l, const Str& r, uint32_t flags);

// Upper-case mapping of the ASCII letters a to z only.
inline wchar_t UpperAscii(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c; }

// Case-insensitive comparison of wide strings, unit by unit after upper-casing.
TCmpRes CmpNoCase(const std::wstring& a, const std::wstring& b);

}  // namespace kt
