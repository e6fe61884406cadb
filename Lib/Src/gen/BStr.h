// 8-bit ANSI strings with optional trimming, heap buffers, and conversions
// from the ANSI code page to UTF-16.
#pragma once

#include "lib/kt.h"

#include <cstdarg>
#include <string>

namespace kt {

// Block on the process heap.
class memory_buffer : public base {
public:
    memory_buffer() = default;
    explicit memory_buffer(uint32_t bytes) { allocate(bytes); }
    memory_buffer(const memory_buffer&) = delete;
    memory_buffer& operator=(const memory_buffer&) = delete;
    ~memory_buffer() override { release(); }

    void* allocate(uint32_t bytes);
    void* reallocate(uint32_t bytes);
    uint32_t release();
    void* data() const { return data_; }
    uint32_t size() const { return size_; }

private:
    void* data_ = nullptr;
    uint32_t size_ = 0;
};

class char_buffer : public memory_buffer {
public:
    using memory_buffer::memory_buffer;
    char* chars() const { return static_cast<char*>(data()); }
};

// String interface without storage.
class BStr : public base {
public:
    enum : uint32_t { trim_lead = 1, trim_trail = 2 };

    virtual void assign(const char* text, uint32_t limit) {}
    virtual void assign(const BStr& other) {}
    virtual void insert(const char* text, uint32_t pos, uint32_t count) {}
    virtual const char* format(const char* picture, ...) { return data_; }

    const char* data() const { return data_; }
    uint32_t length() const { return length_; }
    uint32_t flags() const { return flags_; }
    void set_flags(uint32_t f) { flags_ = f; }

    void clear();
    // Removes count characters at pos (0: to the end); throws past the end.
    uint32_t erase(uint32_t pos, uint32_t count);
    void cut_right(uint32_t count);
    void trim_left();
    void trim_right();
    void trim() {
        trim_right();
        trim_left();
    }
    // Removes one enclosing pair of double quotes when the first quote after
    // the opening one is the last character.
    void unquote();

protected:
    void auto_trim();

    char* data_ = nullptr;
    uint32_t length_ = 0;
    uint32_t flags_ = 0;
};

class Str : public BStr {
public:
    Str() { reserve(0); }
    Str(const char* text, uint32_t limit = 0) { assign(text, limit); }
    Str(const Str& other) : BStr() { assign(other); }
    Str& operator=(const Str& other) {
        if (this != &other) assign(other);
        return *this;
    }
    Str& operator=(const char* text) {
        assign(text, 0);
        return *this;
    }

    void reserve(uint32_t length);
    void assign(const char* text, uint32_t limit) override;
    void assign(const BStr& other) override;
    void insert(const char* text, uint32_t pos, uint32_t count) override;
    const char* format(const char* picture, ...) override;
    const char* vformat(const char* picture, va_list args);
    void append(const char* text);
    Str operator+(const char* text) const {
        Str s(*this);
        s.append(text);
        return s;
    }
    uint32_t capacity() const { return buf_.size(); }

private:
    char_buffer buf_;
};

// ANSI code page to UTF-16 (the plain-string forms are in lib/kt.h).
bool AnsiToWide(const Str& s, Array<wchar_t>& out);

}  // namespace kt
