// A copy of velmo.exe in a directory of its own, and its log file parsed.
#pragma once

#include <gtest/gtest.h>

#include <regex>

#include "tests/e2e/launch.h"
#include "tests/testdir.h"

namespace e2e {

// A directory with its own copy of velmo.exe, so that its .wli and .log are
// the test's alone.
class Sandbox : public TestDir {
public:
    explicit Sandbox(const std::wstring& name) : TestDir(name) {
        CopyFileW(e2e::VelmoPath().c_str(), exe().c_str(), FALSE);
    }
    std::wstring exe() const { return *this / L"velmo.exe"; }
    std::wstring wli() const { return *this / L"velmo.wli"; }
    std::wstring log() const { return *this / L"velmo.log"; }
    // Runs a countdown of one second (OK box: ends with 2) and returns the exit code.
    DWORD RunOnce(const std::wstring& args = L"\"Log test\" \"Log test caption\" OK 1") const {
        Process p;
        if (!p.StartExe(exe(), args)) return Process::kTimedOut;
        return p.WaitExit(30000);
    }
    std::vector<std::wstring> LogFiles() const {
        std::vector<std::wstring> names;
        for (const WIN32_FIND_DATAW& fd : List(*this / L"*.log")) names.push_back(fd.cFileName);
        return names;
    }
};

// A folder where someone dropped DLLs beside velmo: planted copies of them
// (each leaves planted.marker when loaded), velmo.exe and velmoc.exe under
// names of their own (so that no other test's run is affected), and a
// control program that imports the DLLs the ordinary way. For these three
// programs Wine takes a DLL of the exe's folder first, as Windows does for
// a DLL that is not a known one.
class PlantedDir : public TestDir {
public:
    PlantedDir(const std::wstring& name, const std::vector<const wchar_t*>& dlls, const std::wstring& control)
        : TestDir(name),
          name_(name),
          native_({name + L"_velmo.exe", name + L"_velmoc.exe", name + L"_control.exe"}, dlls, L"native,builtin") {
        for (const wchar_t* dll : dlls) Copy(L"planted_" + std::wstring(dll) + L".dll", std::wstring(dll) + L".dll");
        Copy(L"velmo.exe", name + L"_velmo.exe");
        Copy(L"velmoc.exe", name + L"_velmoc.exe");
        Copy(control, name + L"_control.exe");
    }
    // The copies of velmo.exe and velmoc.exe.
    std::vector<std::wstring> Twins() const { return {*this / (name_ + L"_velmo.exe"), *this / (name_ + L"_velmoc.exe")}; }
    bool Loaded() const { return GetFileAttributesW(marker().c_str()) != INVALID_FILE_ATTRIBUTES; }
    // Runs the control; true when it loaded a planted DLL (the marker is then removed).
    bool ControlTakesThem() const {
        Process control;
        if (!control.StartExe(*this / (name_ + L"_control.exe"), L"") || control.WaitExit(kBoxWait) != 0) return false;
        return Loaded() && DeleteFileW(marker().c_str());
    }

private:
    std::wstring marker() const { return *this / L"planted.marker"; }
    void Copy(const std::wstring& from, const std::wstring& to) const {
        CopyFileW((ExeDir() + L"\\" + from).c_str(), (*this / to).c_str(), FALSE);
    }
    std::wstring name_;
    DllOverride native_;
};

struct Line {
    std::wstring category, time, pid, tid, text;
};

inline std::wstring FromUtf8(const std::string& s) {
    if (s.empty()) return L"";
    std::wstring w(s.size(), L'\0');
    w.resize(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s.data(), static_cast<int>(s.size()), &w[0],
                                 static_cast<int>(w.size())));
    return w;
}

// Parses the log, failing the test on a line that breaks the layout.
inline std::vector<Line> ParseLog(const std::string& bytes) {
    std::vector<Line> lines;
    EXPECT_NE(bytes.compare(0, 3, "\xEF\xBB\xBF"), 0) << "byte-order mark";
    std::wstring text = FromUtf8(bytes);
    EXPECT_TRUE(bytes.empty() || !text.empty()) << "not UTF-8";
    // Only the fixed prefix is matched: a pattern over the whole of a long
    // line would recurse once per character.
    static const std::wregex prefix(
        L"(\\S+) (\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d\\.\\d{3}) PID=([0-9A-F]{4,}) TID=([0-9A-F]{4,}) ");
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find(L"\r\n", pos);
        EXPECT_NE(end, std::wstring::npos) << "line without CR LF";
        if (end == std::wstring::npos) break;
        std::wstring l = text.substr(pos, end - pos);
        EXPECT_EQ(l.find(L'\n'), std::wstring::npos);
        std::wsmatch m;
        if (std::regex_search(l, m, prefix, std::regex_constants::match_continuous)) {
            lines.push_back({m[1], m[2], m[3], m[4], m.suffix()});
        } else {
            ADD_FAILURE() << "bad line: " << std::string(l.begin(), l.begin() + std::min<size_t>(l.size(), 200));
        }
        pos = end + 2;
    }
    return lines;
}

inline bool Contains(const std::vector<Line>& lines, const std::wstring& text) {
    for (const Line& l : lines) {
        if (l.text == text) return true;
    }
    return false;
}

// Whether a line's text starts with start.
inline bool HasLineStarting(const std::vector<Line>& lines, const std::wstring& start) {
    for (const Line& l : lines) {
        if (l.text.compare(0, start.size(), start) == 0) return true;
    }
    return false;
}

// How many lines start with start.
inline size_t Count(const std::vector<Line>& lines, const std::wstring& start) {
    size_t n = 0;
    for (const Line& l : lines) n += l.text.compare(0, start.size(), start) == 0;
    return n;
}

}  // namespace e2e
