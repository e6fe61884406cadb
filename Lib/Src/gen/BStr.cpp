#include "gen/BStr.h"

#include <cstdio>

namespace kt {

void* memory_buffer::allocate(uint32_t bytes) {
    release();
    data_ = heap_alloc(bytes);
    size_ = data_ ? heap_size(data_) : 0;
    return data_;
}

void* memory_buffer::reallocate(uint32_t bytes) {
    data_ = heap_realloc(data_, bytes);
    size_ = data_ ? heap_size(data_) : 0;
    return data_;
}

uint32_t memory_buffer::release() {
    uint32_t rc = data_ ? heap_free(data_) : 0;
    data_ = nullptr;
    size_ = 0;
    return rc;
}

namespace {
bool is_blank(char c) { return c == ' ' || c == '\t'; }
}  // namespace

void BStr::clear() {
    length_ = 0;
    if (data_) data_[0] = 0;
}

uint32_t BStr::erase(uint32_t pos, uint32_t count) {
    if (count == 0) {
        if (pos > length_) KT_THROW_HERE;
        count = length_ - pos;
    }
    if (static_cast<uint64_t>(pos) + count > length_) KT_THROW_HERE;
    std::memmove(data_ + pos, data_ + pos + count, length_ - pos - count + 1);
    length_ -= count;
    auto_trim();
    return length_;
}

void BStr::cut_right(uint32_t count) {
    if (count >= length_) {
        clear();
    } else {
        length_ -= count;
        data_[length_] = 0;
    }
    auto_trim();
}

void BStr::trim_left() {
    uint32_t n = 0;
    while (n < length_ && is_blank(data_[n])) ++n;
    if (n == 0) return;
    std::memmove(data_, data_ + n, length_ - n + 1);
    length_ -= n;
}

void BStr::trim_right() {
    while (length_ > 0 && is_blank(data_[length_ - 1])) --length_;
    if (data_) data_[length_] = 0;
}

void BStr::unquote() {
    if (length_ < 2 || data_[0] != '"' || data_[length_ - 1] != '"') return;
    const char* close = std::strchr(data_ + 1, '"');
    if (close != data_ + length_ - 1) return;
    std::memmove(data_, data_ + 1, length_ - 2);
    length_ -= 2;
    data_[length_] = 0;
}

void BStr::auto_trim() {
    if (flags_ & trim_lead) trim_left();
    if (flags_ & trim_trail) trim_right();
}

void Str::reserve(uint32_t length) {
    if (length != 0 && buf_.size() >= length + 1) return;
    buf_.reallocate((length / 32) * 32 + 32);
    data_ = buf_.chars();
    if (length == 0 && length_ == 0) data_[0] = 0;
}

void Str::assign(const char* text, uint32_t limit) {
    if (!text) text = "";
    uint32_t n = static_cast<uint32_t>(lstrlenA(text));
    if (limit != 0 && n >= limit) n = limit;
    reserve(n);
    lstrcpynA(data_, text, static_cast<int>(n + 1));
    length_ = n;
    auto_trim();
}

void Str::assign(const BStr& other) {
    const char* src = other.data() ? other.data() : "";
    uint32_t n = other.length();
    reserve(n);
    std::memcpy(data_, src, n);
    data_[n] = 0;
    length_ = n;
    auto_trim();
}

void Str::insert(const char* text, uint32_t pos, uint32_t count) {
    if (!text) return;
    if (count == 0) count = static_cast<uint32_t>(lstrlenA(text));
    if (count == 0) return;
    if (pos > length_) pos = length_;
    reserve(length_ + count);
    std::memmove(data_ + pos + count, data_ + pos, length_ - pos + 1);
    std::memcpy(data_ + pos, text, count);
    length_ += count;
    auto_trim();
}

void Str::append(const char* text) {
    if (!text) return;
    reserve(length_ + static_cast<uint32_t>(lstrlenA(text)));
    lstrcatA(data_, text);
    length_ += static_cast<uint32_t>(lstrlenA(text));
    auto_trim();
}

const char* Str::format(const char* picture, ...) {
    va_list args;
    va_start(args, picture);
    vformat(picture, args);
    va_end(args);
    return data_;
}

const char* Str::vformat(const char* picture, va_list args) {
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        // The runtime's own _vsnprintf: -1 when the output does not fit.
        int n = _vsnprintf(data_, buf_.size(), picture, copy);
        va_end(copy);
        if (n >= 0 && static_cast<uint32_t>(n) < buf_.size()) {
            length_ = static_cast<uint32_t>(n);
            return data_;
        }
        reserve(buf_.size() + 32);
    }
}

bool AnsiToWide(const Str& s, Array<wchar_t>& out) {
    if (s.length() == 0) {
        out.resize(0);
        return true;
    }
    out.resize(s.length() + 1);
    MultiByteToWideChar(CP_ACP, 0, s.data(), -1, out.data(), static_cast<int>(out.count()));
    return true;
}

}  // namespace kt
