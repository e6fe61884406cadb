// The process-wide diagnostic log and its printf-style writers.
#pragma once

#include <atomic>

#include "threads/handle.h"

namespace kt {

class Log : public base {
public:
    virtual Log* self(int) = 0;
    virtual uint32_t start() = 0;
    virtual uint32_t stop(uint32_t milliseconds) = 0;
    virtual uint32_t write(const std::wstring& category, const std::wstring& text) = 0;
};

struct LogRecord;

// The asynchronous log: write() hands a record to the writer thread, which
// filters, formats and appends lines to the log file in batches.
class AsyncLog : public Log {
public:
    Log* self(int) override { return this; }
    // Starts the writer thread and hands it the records written before;
    // returns once it can take records.
    uint32_t start() override;
    // Ends the writer (it drains for at most 15 s); terminates it when the
    // wait runs out. Returns the wait's result.
    uint32_t stop(uint32_t milliseconds) override;
    // Queues a record; 0 or the error of the post (the record is then
    // dropped). Before start the record is kept for the writer (static
    // initialisers write before the entry point starts the log), up to
    // kMaxEarly records; later ones get ERROR_NOT_READY.
    uint32_t write(const std::wstring& category, const std::wstring& text) override;
    DWORD thread_id() const { return thread_id_; }

    static const uint32_t kMaxEarly = 64;

private:
    static const DWORD kNoThread = 0xFFFFFFFF;
    DWORD thread_id_ = kNoThread;
    THandle thread_;
    // Set by the writer once its message queue exists.
    THandle queue_ready_;
    // Records written before start, newest first, pushed without a lock.
    std::atomic<LogRecord*> early_{nullptr};
    std::atomic<uint32_t> early_count_{0};
};

// The one log of the process, created on first use and never destroyed.
Log* get_log();

// A pointer or window handle as the 32-bit number that the lines print with
// %#010x or %08X.
inline unsigned LogPtr(const void* p) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)); }

// printf-style writes; categories are three characters ("A\xB7\xB7", "UWE"...).
// The narrow formats follow the runtime's printf, and the compiler checks them.
uint32_t log_printf(Log* log, const char* category, const char* format, ...)
    __attribute__((format(ms_printf, 3, 4)));
uint32_t log_wprintf(Log* log, const wchar_t* category, const wchar_t* format, ...);

// The formatted texts behind log_printf and log_wprintf (runtime printf rules:
// narrow %s takes a narrow string, wide %s a wide one).
std::string vformat_narrow(const char* format, va_list args);
std::wstring vformat_wide(const wchar_t* format, va_list args);

}  // namespace kt
