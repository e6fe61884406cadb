// The process-wide diagnostic log and its printf-style writers.
#pragma once

#include "lib/kt.h"

namespace kt {

class Log : public base {
public:
    virtual Log* self(int) = 0;
    virtual uint32_t start() = 0;
    virtual uint32_t stop(uint32_t milliseconds) = 0;
    virtual uint32_t write(const std::wstring& category, const std::wstring& text) = 0;
};

// The one log of the process, created on first use and never destroyed.
Log* get_log();

// printf-style writes; categories are three characters ("A\xB7\xB7", "UWE"...).
uint32_t log_printf(Log* log, const char* category, const char* format, ...);
uint32_t log_wprintf(Log* log, const wchar_t* category, const wchar_t* format, ...);

// The formatted texts behind log_printf and log_wprintf (runtime printf rules:
// narrow %s takes a narrow string, wide %s a wide one).
std::string vformat_narrow(const char* format, va_list args);
std::wstring vformat_wide(const wchar_t* format, va_list args);

}  // namespace kt
