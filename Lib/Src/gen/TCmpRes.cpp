#include "gen/TCmpRes.h"

#include <string.h>


namespace kt {

namespace {
const char* text_of(const Str& s) { return s.data() ? s.data() : ""; }
}  // namespace

TCmpRes compare_exact(const Str& l, const char* r) { return lstrcmpA(text_of(l), r ? r : ""); }
TCmpRes compare_exact(const Str& l, const Str& r) { return compare_exact(l, text_of(r)); }
TCmpRes compare_i(const Str& l, const char* r) { return lstrcmpiA(text_of(l), r ? r : ""); }
TCmpRes compare_i(const Str& l, const Str& r) { return compare_i(l, text_of(r)); }

TCmpRes compare_prefix(const Str& l, const char* r) {
    if (!r) r = "";
    return std::strncmp(text_of(l), r, static_cast<size_t>(lstrlenA(r)));
}
TCmpRes compare_prefix(const Str& l, const Str& r) {
    return std::strncmp(text_of(l), text_of(r), r.length());
}
TCmpRes compare_prefix_i(const Str& l, const char* r) {
    if (!r) r = "";
    return _strnicoll(text_of(l), r, static_cast<size_t>(lstrlenA(r)));
}
TCmpRes compare_prefix_i(const Str& l, const Str& r) {
    return _strnicoll(text_of(l), text_of(r), r.length());
}

TCmpRes compare(const Str& l, const char* r, uint32_t flags) {
    switch (flags & 3) {
    case cmpNoCase: return compare_i(l, r);
    case cmpPrefix: return compare_prefix(l, r);
    case cmpPrefixNoCase: return compare_prefix_i(l, r);
    default: return compare_exact(l, r);
    }
}

TCmpRes compare(const Str& l, const Str& r, uint32_t flags) { return compare(l, text_of(r), flags); }

TCmpRes CmpNoCase(const std::wstring& a, const std::wstring& b) {
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        auto ca = static_cast<uint16_t>(UpperAscii(a[i]));
        auto cb = static_cast<uint16_t>(UpperAscii(b[i]));
        if (ca != cb) return ca < cb ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

}  // namespace kt
