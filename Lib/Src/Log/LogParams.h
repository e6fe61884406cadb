// What the log writes, where and how often; formats records into lines.
#pragma once

#include <map>
#include <memory>
#include <regex>

#include "gen/BTime.h"

namespace kt {

// Values of LogParams::start_mode: what happens to the log file at start.
enum : int32_t {
    smAppend = 0,     // lines go to the end of <exe>.log
    smOverwrite = 1,  // the old <exe>.log is deleted
    smNew = 2,        // a new file per run, named with the start time
};

class LogParams : public base {
public:
    // Longer event patterns are invalid (they admit nothing).
    static const size_t kMaxPatternLength = 1024;

    LogParams();
    // The line of one record, or an empty text when the filter rejects it.
    virtual std::wstring format(const b_time& time, DWORD pid, DWORD tid, const std::wstring& category,
                                const std::wstring& text);
    // Every parameter but file_name back to its default.
    virtual void reset();
    // The event filter: some entry's category pattern matches the whole
    // category and its text pattern is empty or matches the whole text. An
    // entry with an invalid pattern admits nothing.
    bool accepts(const std::wstring& category, const std::wstring& text);
    // Sets file_name from start_mode for the given path (empty: the exe's).
    void make_file_name(const std::wstring& path = std::wstring());

    std::wstring time_format;
    bool show_pid;
    bool show_tid;
    bool show_category;
    int32_t start_mode;
    int32_t flush_seconds;
    int32_t flush_bytes;
    std::map<std::wstring, std::wstring> events;
    std::wstring file_name;

private:
    // The compiled pattern, or null when it is not a valid expression.
    const std::wregex* pattern(const std::wstring& p);
    std::map<std::wstring, std::unique_ptr<std::wregex>> compiled_;
};

class LogWliParams : public LogParams {
public:
    LogWliParams();
    void reset() override;
    // Loads the .wli file again when its last-write time changed; defaults
    // when it is gone, or when admins_only and users may write it. Loader
    // exceptions pass to the caller.
    void reload();

    int32_t reload_seconds;
    b_time wli_time;
    std::wstring wli_path;
    // Run as SYSTEM or a service: the file is followed only where users
    // cannot write it (see WliTrust.h).
    bool admins_only;
};

// The text with every control character shown escaped, so that a value a
// user chose (a registry value, a file's line) can never end a log line or
// start one of its own: \r, \n and \t by name, other C0 controls, DEL and
// C1 controls as \xHH, the line and paragraph separators as \u2028 and
// \u2029. Everything else, backslashes too, stays as it is.
std::wstring EscapeControls(const std::wstring& text);

// Drive + directory + base name of a path (the extension dropped).
std::wstring PathStem(const std::wstring& path);
// Whole, case-insensitive ECMAScript match that needs no stack per character.
bool RegexFullMatch(const std::wregex& re, const std::wstring& text);
std::wregex MakeRegex(const std::wstring& pattern);

}  // namespace kt
