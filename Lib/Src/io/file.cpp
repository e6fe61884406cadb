#include "io/file.h"

namespace kt {

file::~file() {
    if (handle_.valid()) {
        FlushFileBuffers(handle_.get());
        handle_.close();
    }
}

void file::after_open() {
    if (handle_.valid() && options_.count(0)) {
        FILETIME keep{0xFFFFFFFF, 0xFFFFFFFF};
        SetFileTime(handle_.get(), nullptr, &keep, &keep);
    }
}

file& file::open(const std::wstring& name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                 DWORD disposition, DWORD flags, HANDLE templ) {
    DWORD rc = try_open(name, access, share, security, disposition, flags, templ);
    if (rc != 0 || !handle_.valid()) throw file_error(name, rc ? rc : ERROR_INVALID_HANDLE);
    return *this;
}

DWORD file::try_open(const std::wstring& name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                     DWORD disposition, DWORD flags, HANDLE templ) {
    name_ = name;
    HANDLE h = CreateFileW(name.c_str(), access, share, security, disposition, flags, templ);
    DWORD rc = ErrorUnless(h != INVALID_HANDLE_VALUE);
    handle_.reset(h);
    after_open();
    return rc;
}

result textfile::put(const void* data, DWORD bytes, const wchar_t* what) {
    DWORD written = 0;
    if (!WriteFile(handle_.get(), data, bytes, &written, nullptr)) return LastErrorResult(what);
    return {};
}

result textfile::append_utf16(const std::wstring& text) {
    if (text.empty()) return {};
    return put(text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), L"");
}

result textfile::append_utf8(const std::wstring& text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()) + 1, nullptr, 0, nullptr,
                                nullptr);
    if (n <= 0) return LastErrorResult();
    Array<char> buf(static_cast<uint32_t>(n));
    n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()) + 1, buf.data(), n, nullptr,
                            nullptr);
    if (n <= 0) return LastErrorResult();
    if (n == 1) return {};  // the NUL alone: nothing to write
    return put(buf.data(), static_cast<DWORD>(n - 1), L"append_utf8");
}

result textfile::append_mb(const std::wstring& text, UINT code_page, DWORD flags) {
    int n = WideCharToMultiByte(code_page, flags, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                nullptr);
    if (n <= 0) return LastErrorResult();
    char_buffer buf(static_cast<uint32_t>(n));
    n = WideCharToMultiByte(code_page, flags, text.data(), static_cast<int>(text.size()), buf.chars(), n, nullptr,
                            nullptr);
    if (n <= 0) return LastErrorResult();
    return put(buf.chars(), static_cast<DWORD>(n), L"");
}

result textfile::append_cp(const std::wstring& text, text_encoding enc) {
    UINT cp = static_cast<UINT>(enc.code_page);
    // Code pages for which WideCharToMultiByte accepts no flags.
    bool no_flags = (cp >= 50220 && cp <= 50222) || cp == 50225 || cp == 50227 || cp == 50229 ||
                    (cp >= 57002 && cp <= 57011) || cp == 65000 || cp == 42 || cp == 65001 || cp == 54936;
    return append_mb(text, cp, no_flags ? 0 : WC_NO_BEST_FIT_CHARS);
}

result textfile::write_utf8(const std::wstring& text) {
    result r;
    if (encoding_.bom == 1) {
        static const unsigned char mark[] = {0xEF, 0xBB, 0xBF};
        r.add(put(mark, 3, L"write_utf8"));
    }
    r.add(append_utf8(text));
    return r;
}

result textfile::write_utf16(const std::wstring& text, bool force_bom) {
    result r;
    if (encoding_.bom == 1 || force_bom) {
        static const unsigned char mark[] = {0xFF, 0xFE};
        r.add(put(mark, 2, L""));
    }
    r.add(append_utf16(text));
    return r;
}

result textfile::write(const std::wstring& text) {
    bool was_open = handle_.valid();
    DWORD rc;
    if (was_open) {
        rc = SetFilePointer(handle_.get(), 0, nullptr, FILE_BEGIN);
    } else {
        rc = try_open(name_, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (rc != 0) return result(rc);
    result r;
    switch (encoding_.code_page) {
    case cpAnsi: r.add(append_ansi(text)); break;
    case cpOem: r.add(append_oem(text)); break;
    case CP_UTF8: r.add(write_utf8(text)); break;
    case cpUtf16: r.add(write_utf16(text)); break;
    case cpUtf16Marked: r.add(write_utf16(text, true)); break;
    default: r.add(append_cp(text, text_encoding{encoding_.code_page, 0})); break;
    }
    r.add(KT_BOOL_RESULT(SetEndOfFile(handle_.get())));
    if (!was_open) r.add(close_res());
    return r;
}

result textfile::append(const std::wstring& text) {
    bool was_open = handle_.valid();
    if (!was_open) {
        if (!file_exists(name_)) return write(text);
        DWORD rc = try_open(name_, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
        if (rc != 0) return result(rc);
    }
    if (SetFilePointer(handle_.get(), 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER) {
        result r = LastErrorResult();
        if (!was_open) close();
        return r;
    }
    result r;
    switch (encoding_.code_page) {
    case cpAnsi: r.add(append_ansi(text)); break;
    case cpOem: r.add(append_oem(text)); break;
    case cpUtf16:
    case cpUtf16Marked: r.add(append_utf16(text)); break;
    case CP_UTF8: r.add(append_utf8(text)); break;
    default: r.add(result(ERROR_INVALID_PARAMETER)); break;
    }
    if (!was_open) r.add(close_res());
    return r;
}

void textfile::append_or_throw(const std::wstring& text) {
    result r = append(text);
    if (!r.ok()) throw file_error(name_, r.code());
}

result get_file_times(const std::wstring& name, time_base* creation, time_base* last_access, time_base* last_write) {
    file f;
    DWORD rc = f.try_open(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (rc != 0) return result(rc);
    FILETIME ft[3];
    if (!GetFileTime(f.handle(), &ft[0], &ft[1], &ft[2])) return LastErrorResult();
    SYSTEMTIME st[3];
    result r;
    for (int i = 0; i < 3; ++i) {
        FILETIME local;
        r.add(KT_BOOL_RESULT(FileTimeToLocalFileTime(&ft[i], &local)));
        r.add(KT_BOOL_RESULT(FileTimeToSystemTime(&local, &st[i])));
    }
    if (!r.ok()) return r;
    time_base* targets[3] = {creation, last_access, last_write};
    for (int i = 0; i < 3; ++i) {
        if (!targets[i]) continue;
        const SYSTEMTIME& s = st[i];
        r.add(result(targets[i]->set(static_cast<int16_t>(s.wYear), s.wMonth, static_cast<int8_t>(s.wDay),
                                     static_cast<int8_t>(s.wHour), static_cast<int8_t>(s.wMinute),
                                     static_cast<int8_t>(s.wSecond), static_cast<int16_t>(s.wMilliseconds))));
    }
    return r;
}

bool file_exists(const std::wstring& name) { return GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES; }

}  // namespace kt
