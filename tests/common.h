// Helpers shared by every test program (unit and end-to-end).
#pragma once

#include <windows.h>

#include <string>

#include "tests/common.h"

namespace test {

// A wide text for failure messages and test names: ASCII as it is, any other
// character as '?'.
inline std::string Narrow(const std::wstring& w) {
    std::string s;
    for (wchar_t c : w) s += c < 128 ? static_cast<char>(c) : '?';
    return s;
}

// A test name from a wide text: letters and digits kept, anything else '_'.
inline std::string Identifier(const std::wstring& w) {
    std::string s;
    for (wchar_t c : w) s += (c < 128 && isalnum(static_cast<int>(c))) ? static_cast<char>(c) : '_';
    return s;
}

// A button, wait or error identifier as the DWORD that exit codes and the
// system's calls give, so that comparisons need no cast.
constexpr DWORD Code(int id) { return static_cast<DWORD>(id); }

// Whether h still names an open object of this process.
inline bool IsOpen(HANDLE h) {
    DWORD flags = 0;
    return GetHandleInformation(h, &flags) != 0;
}

}  // namespace test
