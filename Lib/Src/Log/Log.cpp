#include "Log/Log.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "gen/BStr.h"

namespace kt {

namespace {
const size_t kMaxFormatted = size_t(1) << 22;

// Until the writer thread exists every record is dropped.
class SilentLog : public Log {
public:
    Log* self(int) override { return this; }
    uint32_t start() override { return 0; }
    uint32_t stop(uint32_t) override { return 0; }
    uint32_t write(const std::wstring&, const std::wstring&) override { return 0; }
};
}  // namespace

Log* get_log() {
    static Log* log = new SilentLog();
    return log;
}

std::string vformat_narrow(const char* format, va_list args) {
    std::vector<char> buf(64);
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        int n = _vsnprintf(buf.data(), buf.size(), format, copy);
        va_end(copy);
        if (n >= 0 && static_cast<size_t>(n) < buf.size()) return std::string(buf.data(), static_cast<size_t>(n));
        // A format the runtime rejects reports -1 at any size: give up bounded.
        if (buf.size() >= kMaxFormatted) return std::string(buf.data(), strnlen(buf.data(), buf.size()));
        buf.resize(buf.size() * 2);
    }
}

std::wstring vformat_wide(const wchar_t* format, va_list args) {
    std::vector<wchar_t> buf(256);
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        int n = _vsnwprintf(buf.data(), buf.size(), format, copy);
        va_end(copy);
        if (n >= 0 && static_cast<size_t>(n) < buf.size()) return std::wstring(buf.data(), static_cast<size_t>(n));
        if (buf.size() >= kMaxFormatted) return std::wstring(buf.data(), wcsnlen(buf.data(), buf.size()));
        buf.resize(buf.size() * 2);
    }
}

uint32_t log_printf(Log* log, const char* category, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = vformat_narrow(format, args);
    va_end(args);
    return log->write(AnsiToWide(category, 0), AnsiToWide(text));
}

uint32_t log_wprintf(Log* log, const wchar_t* category, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring text = vformat_wide(format, args);
    va_end(args);
    return log->write(category, text);
}

}  // namespace kt
