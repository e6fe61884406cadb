#include "Log/Log.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "Log/LogParams.h"
#include "gen/BStr.h"
#include "io/file.h"
#include "threads/thread.h"

#include <memory>

namespace kt {

namespace {
const size_t kMaxFormatted = size_t(1) << 22;
const UINT kRecordMessage = WM_APP + 1;
const DWORD kDrainMs = 15000;
// The filter's regular expressions and the date pictures need more stack
// than a default thread has for long patterns.
const SIZE_T kWriterStack = 16 * 1024 * 1024;
}  // namespace

struct LogRecord {
    b_time time;
    std::wstring category;
    std::wstring text;
    DWORD pid;
    DWORD tid;
    LogRecord* next;  // in the list of records written before start
};

namespace {

// Hands a record to the writer; 0, or the post's error (the record is then
// deleted).
uint32_t PostRecord(DWORD writer, LogRecord* rec) {
    if (PostThreadMessageW(writer, kRecordMessage, 0, reinterpret_cast<LPARAM>(rec))) return 0;
    DWORD e = GetLastError();
    delete rec;
    return e ? e : ERROR_INVALID_THREAD_ID;
}

// Appends the pending lines to the log file (UTF-8, no mark); they stay
// pending when the file cannot be written.
result Flush(const std::wstring& file_name, std::wstring& pending) {
    if (pending.empty()) return {};
    textfile f(file_name, text_encoding{CP_UTF8, 0});
    result r = f.append(pending);
    if (r.ok()) pending.clear();
    return r;
}

DWORD WINAPI WriterThread(LPVOID ready) {
    // The queue exists from here on, so start() returns at once and the
    // records of the first load (the INI reader's own) are kept.
    OpenQueue(static_cast<HANDLE>(ready));
    MSG msg;
    // Nothing may leave the thread procedure.
    try {
        LogWliParams params;
        try {
            params.reload();
        } catch (...) {
        }
        params.make_file_name();
        auto every = [](int32_t seconds) { return SetTimer(nullptr, 0, static_cast<UINT>(seconds) * 1000, nullptr); };
        unique_thread_timer reload_timer(every(params.reload_seconds));
        int32_t flush_seconds = params.flush_seconds;
        unique_thread_timer flush_timer(every(flush_seconds));
        DWORD last_write = 0;
        std::wstring pending;

        for (;;) {
            BOOL got = GetMessageW(&msg, nullptr, 0, 0);
            if (got == 0 || got == -1) break;
            // A failed write, a bad pattern or a failed reload spoils one
            // message, never the loop.
            try {
                if (msg.message == kRecordMessage && msg.lParam) {
                    std::unique_ptr<LogRecord> rec(reinterpret_cast<LogRecord*>(msg.lParam));
                    pending += params.format(rec->time, rec->pid, rec->tid, rec->category, rec->text);
                    if (TicksSince(last_write) > static_cast<DWORD>(params.flush_seconds) * 1000u ||
                        pending.size() * 2 > static_cast<size_t>(params.flush_bytes)) {
                        // A failed write is tried again with the next record.
                        if (Flush(params.file_name, pending).ok()) last_write = GetTickCount();
                    }
                } else if (msg.message == WM_TIMER && msg.wParam == reload_timer.get()) {
                    params.reload();
                    if (params.flush_seconds != flush_seconds) {
                        flush_seconds = params.flush_seconds;
                        flush_timer.reset(every(flush_seconds));
                    }
                } else if (msg.message == WM_TIMER && msg.wParam == flush_timer.get()) {
                    Flush(params.file_name, pending);
                }
            } catch (...) {
            }
        }
        reload_timer.reset();
        flush_timer.reset();

        DWORD t0 = GetTickCount();
        while (!pending.empty() && TicksSince(t0) < kDrainMs) {
            // Locked or read-only file: try again shortly, not in a spin.
            if (!Flush(params.file_name, pending).ok()) Sleep(kRetryMs);
        }
    } catch (...) {
    }
    return 0;
}

}  // namespace

uint32_t AsyncLog::start() {
    DWORD id = 0;
    queue_ready_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    thread_.reset(CreateThread(nullptr, kWriterStack, WriterThread, queue_ready_.get(),
                               STACK_SIZE_PARAM_IS_A_RESERVATION, &id));
    if (!thread_) return GetLastError();
    thread_id_ = id;
    // The probe goes through once the writer has its message queue.
    PostWhenReady(thread_id_, queue_ready_.get(), thread_.get(), kRecordMessage, 0, 0, INFINITE);
    // The records written before, oldest first.
    LogRecord* oldest = nullptr;
    for (LogRecord* r = early_.exchange(nullptr); r;) {
        LogRecord* next = r->next;
        r->next = oldest;
        oldest = r;
        r = next;
    }
    early_count_ = 0;
    while (oldest) {
        LogRecord* r = oldest;
        oldest = r->next;
        PostRecord(thread_id_, r);
    }
    return 0;
}

uint32_t AsyncLog::stop(uint32_t milliseconds) {
    if (!PostThreadMessageW(thread_id_, WM_QUIT, 0, 0)) {
        DWORD e = GetLastError();
        if (e != 0) return e;
    }
    DWORD w = WaitForSingleObject(thread_.get(), milliseconds);
    if (w != WAIT_OBJECT_0) TerminateThread(thread_.get(), 0);
    thread_.reset();
    return w;
}

uint32_t AsyncLog::write(const std::wstring& category, const std::wstring& text) {
    auto* rec = new LogRecord{b_time::now(), category, text, GetCurrentProcessId(), GetCurrentThreadId(), nullptr};
    if (thread_id_ == kNoThread) {
        // Checked before the count grows, so that it cannot wrap round.
        if (early_count_ >= kMaxEarly || early_count_++ >= kMaxEarly) {
            delete rec;
            return ERROR_NOT_READY;
        }
        rec->next = early_.load();
        while (!early_.compare_exchange_weak(rec->next, rec)) {
        }
        return 0;
    }
    return PostRecord(thread_id_, rec);
}

Log* get_log() {
    static Log* log = new AsyncLog();
    return log;
}

namespace {
// Formats with the runtime's count-limited print, doubling the buffer until
// the text and its terminator fit.
template <class Ch, class Print>
std::basic_string<Ch> vformat(Print print, size_t size, const Ch* format, va_list args) {
    std::vector<Ch> buf(size);
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        int n = print(buf.data(), buf.size(), format, copy);
        va_end(copy);
        if (n >= 0 && static_cast<size_t>(n) < buf.size()) return std::basic_string<Ch>(buf.data(), static_cast<size_t>(n));
        // A format the runtime rejects reports -1 at any size: give up bounded.
        if (buf.size() >= kMaxFormatted) {
            buf.back() = 0;
            return std::basic_string<Ch>(buf.data());
        }
        buf.resize(buf.size() * 2);
    }
}
}  // namespace

std::string vformat_narrow(const char* format, va_list args) { return vformat<char>(_vsnprintf, 64, format, args); }

std::wstring vformat_wide(const wchar_t* format, va_list args) {
    return vformat<wchar_t>(_vsnwprintf, 256, format, args);
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
