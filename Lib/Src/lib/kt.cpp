#include "lib/kt.h"

namespace kt {

namespace {
// Created by the first registration and never destroyed; zero-initialised
// before any static constructor runs, so registration during start-up is safe.
TList<ErrCode>* g_registry = nullptr;

TList<ErrCode>& registry() {
    if (!g_registry) g_registry = new TList<ErrCode>(ErrCode::byCode, TList<ErrCode>::unique, 64);
    return *g_registry;
}

bool is_crlf(wchar_t c) { return c == L'\r' || c == L'\n'; }

std::wstring SystemErrorText(uint32_t code) {
    wchar_t buf[512] = {};
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                             buf, 511, nullptr);
    if (n == 0) return std::wstring();
    std::wstring s(buf);
    size_t b = 0, e = s.size();
    while (b < e && is_crlf(s[b])) ++b;
    while (e > b && is_crlf(s[e - 1])) --e;
    return s.substr(b, e - b);
}
}  // namespace

void* heap_alloc(uint32_t bytes) { return HeapAlloc(GetProcessHeap(), HEAP_GENERATE_EXCEPTIONS, bytes); }

void* heap_realloc(void* p, uint32_t bytes) {
    if (!p) return heap_alloc(bytes);
    return HeapReAlloc(GetProcessHeap(), HEAP_GENERATE_EXCEPTIONS, p, bytes);
}

uint32_t heap_size(const void* p) { return static_cast<uint32_t>(HeapSize(GetProcessHeap(), 0, p)); }

uint32_t heap_free(void* p) { return ErrorUnless(HeapFree(GetProcessHeap(), 0, p)); }

windows_error::windows_error(const std::wstring& text, uint32_t code)
    : wexception(text + L" (" + ErrorText(code) + L")"), code_(code) {}

result::result(uint32_t code, const char* text, int32_t level)
    : code_(code), level_(level), text_(AnsiToWide(text ? text : "", 0)) {}

result& result::set(uint32_t code, const std::wstring& text, int32_t level) {
    level_ = code == 0 ? lvlNone : level;
    code_ = code;
    descr_ = ErrorText(code);
    text_ = text;
    return *this;
}

result& result::add(const result& other) {
    if (code() == 0) {
        code_ = other.code();
        descr_ = ErrorText(code_);
    }
    if (level_ < other.level_) level_ = other.level_;
    text_ += other.text_;
    return *this;
}

result LastErrorResult(const wchar_t* text) { return result(GetLastError(), text); }

result BoolResult(bool ok, const wchar_t* call) { return ok ? result() : LastErrorResult(call); }

std::wstring AnsiToWide(const char* text, uint32_t bytes) {
    if (!text) return std::wstring();
    if (bytes == 0) bytes = static_cast<uint32_t>(std::strlen(text));
    if (bytes == 0) return std::wstring();
    int n = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(bytes), nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring out(static_cast<size_t>(n), L'\0');
    int got = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(bytes), &out[0], n);
    out.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return out;
}

std::wstring AnsiToWide(const std::string& text) {
    if (text.empty()) return std::wstring();
    return AnsiToWide(text.data(), static_cast<uint32_t>(text.size()));
}

void ReplaceAll(std::wstring& s, const std::wstring& what, const std::wstring& with) {
    if (what.empty()) return;
    size_t pos = 0;
    while ((pos = s.find(what, pos)) != std::wstring::npos) {
        s.replace(pos, what.size(), with);
        pos += with.size();
    }
}

DWORD System32Path(const std::wstring& name, std::wstring& path) {
    wchar_t dir[MAX_PATH];
    UINT n = GetSystemDirectoryW(dir, MAX_PATH);
    if (n == 0) return GetLastError();
    if (n >= MAX_PATH) return ERROR_BUFFER_OVERFLOW;
    path = std::wstring(dir) + L"\\" + name;
    return 0;
}

std::wstring result::format(const std::wstring& pattern) const {
    wchar_t num[16];
    std::wstring s = pattern;
    swprintf(num, 16, L"%u", code());
    ReplaceAll(s, L"%cd", num);
    swprintf(num, 16, L"%08X", code());
    ReplaceAll(s, L"%ch", num);
    ReplaceAll(s, L"%c", text_);
    ReplaceAll(s, L"%d", descr_);
    return s;
}

bool RegisterError(uint32_t code, const std::wstring& text) {
    if (!(code & APPLICATION_ERROR_MASK)) return false;
    ErrCode* e = new ErrCode(code, text);
    if (registry().add(e) < 0) {
        delete e;
        return false;
    }
    return true;
}

uint32_t RegisterErrorText(const std::wstring& text) {
    TList<ErrCode>& reg = registry();
    for (uint32_t i = 0; i < reg.count(); ++i) {
        if (reg.at(i)->text == text) return reg.at(i)->code;
    }
    uint32_t code = reg.count() ? reg.at(reg.count() - 1)->code + 1 : 0x20000001;
    reg.add(new ErrCode(code, text));
    return code;
}

std::wstring ErrorText(uint32_t code) {
    if (!(code & APPLICATION_ERROR_MASK)) return SystemErrorText(code);
    if (!g_registry) return std::wstring();
    ErrCode probe(code, std::wstring());
    const ErrCode* e = g_registry->find(probe, ErrCode::byCode, srchEqual);
    return e ? e->text : std::wstring();
}

const TList<ErrCode>* ErrorRegistry() { return g_registry; }

}  // namespace kt
