// Files: an owned handle with its name, and text files written in a chosen
// encoding.
#pragma once

#include <map>

#include "gen/BTime.h"
#include "threads/handle.h"

namespace kt {

class file_error : public windows_error {
public:
    file_error(const std::wstring& name, uint32_t code)
        : windows_error(L"File operation failed '" + name + L"'", code), name_(name) {}
    const std::wstring& name() const { return name_; }

private:
    std::wstring name_;
};

class file : public base {
public:
    file() = default;
    file(const file&) = delete;
    file& operator=(const file&) = delete;
    // Flushes and closes a valid handle.
    ~file() override;

    void set_name(const std::wstring& n) { name_ = n; }
    const std::wstring& name() const { return name_; }
    HANDLE handle() const { return handle_.get(); }
    bool is_open() const { return handle_.valid(); }
    std::map<uint32_t, uint32_t>& options() { return options_; }

    // CreateFileW with exactly these arguments; throws file_error on failure.
    file& open(const std::wstring& name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
               DWORD disposition, DWORD flags, HANDLE templ);
    // The same; returns 0 or the error instead of throwing.
    DWORD try_open(const std::wstring& name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE templ);
    virtual void close() { handle_.close(); }
    virtual result close_res() { return result(handle_.close()); }

protected:
    std::wstring name_;
    std::map<uint32_t, uint32_t> options_;
    THandle handle_;

private:
    void after_open();
};

// Code pages of a text file besides the system's numbers (CP_UTF8, 1252...):
// the ANSI and OEM pages, UTF-16, and UTF-16 always written with its mark.
enum : int32_t { cpAnsi = CP_ACP, cpOem = CP_OEMCP, cpUtf16 = 1200, cpUtf16Marked = -1 };

struct text_encoding {
    int32_t code_page;
    int32_t bom;  // 1: byte-order mark when written from the start
};

class textfile : public file {
public:
    textfile(const std::wstring& name, text_encoding encoding) : encoding_(encoding) { name_ = name; }

    // The file's contents become the text.
    result write(const std::wstring& text);
    // The text goes to the end; a missing file is created through write.
    result append(const std::wstring& text);
    // append; a failure throws file_error with the file's name.
    void append_or_throw(const std::wstring& text);

    result append_ansi(const std::wstring& text) { return append_mb(text, CP_ACP, WC_NO_BEST_FIT_CHARS); }
    result append_oem(const std::wstring& text) { return append_mb(text, CP_OEMCP, WC_NO_BEST_FIT_CHARS); }
    result append_cp(const std::wstring& text, text_encoding enc);
    result append_utf16(const std::wstring& text);
    result append_utf8(const std::wstring& text);
    result write_utf16(const std::wstring& text, bool force_bom = false);
    result write_utf8(const std::wstring& text);

    const text_encoding& encoding() const { return encoding_; }

private:
    result append_mb(const std::wstring& text, UINT code_page, DWORD flags);
    result put(const void* data, DWORD bytes, const wchar_t* what);

    memory_buffer buffer_;
    uint32_t buffer_limit_ = 0x100000;
    text_encoding encoding_;
    text_encoding second_encoding_{cpUtf16Marked, 0};
};

// The three times of a file as local date-times; any pointer may be null.
result get_file_times(const std::wstring& name, time_base* creation, time_base* last_access, time_base* last_write);
// True when the path exists (a directory too).
bool file_exists(const std::wstring& name);

}  // namespace kt
