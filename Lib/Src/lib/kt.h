// kt: the library's common header. Results and the error registry, the
// exception classes and check macros, the heap functions, and the array and
// list templates.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>

#ifndef KT_SRC_FILE
#define KT_SRC_FILE __FILE__
#endif

#define KT_STR2_(x) #x
#define KT_STR_(x) KT_STR2_(x)

// Path of this header as check texts name it.
#define KT_HDR_FILE "Lib\\Src\\lib\\kt"

// Throws kt::wexception naming the location: "<path> line <n>".
#define KT_THROW_AT(path) throw ::kt::wexception(L"" path " line " KT_STR_(__LINE__))
#define KT_THROW_HERE KT_THROW_AT(KT_SRC_FILE)

// Evaluates expr once; when false throws kt::wexception
// "!<expr> at <path> line <n>".
#define KT_CHECK(expr)                                                              \
    do {                                                                            \
        if (!(expr))                                                                \
            throw ::kt::wexception(L"!" #expr " at " KT_SRC_FILE " line " KT_STR_(__LINE__)); \
    } while (0)

// Evaluates call (a BOOL-returning system call) once: the empty result when
// it succeeded, else a result with the last error and the call's text.
#define KT_BOOL_RESULT(call) ::kt::BoolResult(!!(call), L"" #call)

namespace kt {

// 0 when ok, else the calling thread's last error.
inline DWORD ErrorUnless(bool ok) { return ok ? 0 : GetLastError(); }

// Modes of TList::search and TList::find: the element sought is less than,
// at most, equal to, at least or greater than the probe.
enum : int { srchLess = 0, srchLessEq = 1, srchEqual = 2, srchGreaterEq = 3, srchGreater = 4 };

// Root of the library's classes.
class base {
public:
    virtual ~base() = default;
};

// Three-valued comparison result: -1, 0 or 1.
class TCmpRes : public base {
public:
    TCmpRes() = default;
    TCmpRes(int v) : value_(v < 0 ? -1 : (v > 0 ? 1 : 0)) {}
    int value() const { return value_; }
    bool operator==(int v) const { return value_ == v; }
    bool operator!=(int v) const { return value_ != v; }
    bool operator<(int v) const { return value_ < v; }
    bool operator>(int v) const { return value_ > v; }

private:
    int32_t value_ = 0;
};

// Process heap; allocation failures raise the system's exception.
void* heap_alloc(uint32_t bytes);
void* heap_realloc(void* p, uint32_t bytes);
uint32_t heap_size(const void* p);
uint32_t heap_free(void* p);

class wexception : public base {
public:
    explicit wexception(std::wstring text) : text_(std::move(text)) {}
    virtual const std::wstring& text() const { return text_; }

private:
    std::wstring text_;
};

class windows_error : public wexception {
public:
    windows_error(const std::wstring& text, uint32_t code);
    uint32_t code() const { return code_; }

private:
    uint32_t code_;
};

// Fixed-size owning array.
template <class T>
class Array : public base {
public:
    Array() = default;
    explicit Array(uint32_t count) { allocate(count); }
    Array(const Array&) = delete;
    Array& operator=(const Array&) = delete;
    ~Array() override { delete[] data_; }

    // Fresh block of count elements; contents are not kept.
    void allocate(uint32_t count) {
        delete[] data_;
        data_ = nullptr;
        count_ = 0;
        if (count) {
            data_ = new T[count]();
            count_ = count;
        }
    }
    // New block of count elements keeping the first min(old, new) ones.
    void resize(uint32_t count) {
        T* fresh = count ? new T[count]() : nullptr;
        for (uint32_t i = 0; i < count && i < count_; ++i) fresh[i] = data_[i];
        delete[] data_;
        data_ = fresh;
        count_ = count;
    }
    T* data() { return data_; }
    const T* data() const { return data_; }
    uint32_t count() const { return count_; }
    T& operator[](uint32_t i) {
        if (i >= count_) KT_THROW_AT(KT_HDR_FILE);
        return data_[i];
    }

private:
    T* data_ = nullptr;
    uint32_t count_ = 0;
};

// List of owned elements, in insertion order (sort key 0) or ascending under
// T::compare(a, b, key). Searches probe at three fifths of the interval.
template <class T>
class TList : public base {
public:
    enum : uint32_t { unique = 0x80 };

    TList(uint32_t sort_key, uint32_t flags, uint32_t step)
        : flags_(flags), step_(step ? step : 1), sort_key_(sort_key) {}
    TList(const TList&) = delete;
    TList& operator=(const TList&) = delete;
    ~TList() override {
        if (items_) clear();
    }

    uint32_t count() const { return count_; }
    uint32_t capacity() const { return capacity_; }
    uint32_t sort_key() const { return sort_key_; }

    // Places the element and returns its index, or -1 when the unique flag
    // refused it (the caller keeps it then).
    int add(T* e) {
        if (!e) KT_THROW_AT(KT_HDR_FILE);
        if (count_ == capacity_) reserve(capacity_ + 1);
        if (sort_key_ == 0) {
            items_[count_] = e;
            return static_cast<int>(count_++);
        }
        uint32_t p;
        if (count_ == 0) {
            p = 0;
        } else if (count_ == 1) {
            p = cmp(*e, *items_[0]) < 0 ? 0 : 1;
        } else if (cmp(*e, *items_[count_ - 1]) > 0) {
            p = count_;
        } else {
            uint32_t lo = 0, hi = count_ - 1;
            p = (3 * hi) / 5;
            for (;;) {
                TCmpRes c = cmp(*e, *items_[p]);
                if (c == 0) break;
                if (c < 0) {
                    hi = p;
                } else {
                    lo = p < hi ? p + 1 : p;
                }
                if (lo == hi) {
                    p = hi;
                    break;
                }
                p = (3 * hi + 2 * lo) / 5;
            }
        }
        if ((flags_ & unique) && count_ != 0) {
            uint32_t q = p < count_ - 1 ? p : count_ - 1;
            if (cmp(*e, *items_[q]) == 0) return -1;
        }
        return insert_at(e, p);
    }

    int insert_at(T* e, uint32_t index) {
        if (index > count_) KT_THROW_AT(KT_HDR_FILE);
        if (count_ == capacity_) reserve(count_ + 1);
        std::memmove(items_ + index + 1, items_ + index, (count_ - index) * sizeof(T*));
        items_[index] = e;
        ++count_;
        return static_cast<int>(index);
    }

    T* at(uint32_t index) const {
        if (index >= count_) KT_THROW_AT(KT_HDR_FILE);
        return items_[index];
    }

    bool reserve(uint32_t n) {
        if (n <= count_ || n == capacity_) return false;
        uint64_t cap = ((static_cast<uint64_t>(n) + step_ - 1) / step_) * step_;
        if (cap * sizeof(T*) > 0x7FFFFFFF) KT_THROW_AT(KT_HDR_FILE);
        void* p = heap_realloc(items_, static_cast<uint32_t>(cap * sizeof(T*)));
        if (!p) KT_THROW_AT(KT_HDR_FILE);
        items_ = static_cast<T**>(p);
        capacity_ = static_cast<uint32_t>(cap);
        return true;
    }

    // Interval search of the sorted list under one of the srch* modes.
    bool search(const T& probe, uint32_t& index, int mode) const {
        if (count_ == 0) return false;
        if (count_ == 1) {
            int c = cmp(*items_[0], probe).value();
            if (!holds(c, mode)) return false;
            index = 0;
            return true;
        }
        uint32_t lo = 0, hi = count_ - 1;
        do {
            uint32_t p = (3 * hi + 2 * lo) / 5;
            int c = cmp(*items_[p], probe).value();
            if (c > 0) {
                hi = p;
            } else if (c < 0) {
                lo = p;
            } else {
                if (mode == srchLess) {
                    if (p == 0) return false;
                    index = p - 1;
                } else if (mode == srchGreater) {
                    if (p == count_ - 1) return false;
                    index = p + 1;
                } else {
                    index = p;
                }
                return true;
            }
        } while (hi - lo > 1);
        int clo = cmp(*items_[lo], probe).value();
        int chi = cmp(*items_[hi], probe).value();
        // Less and at-most prefer the upper candidate, the others the lower one.
        bool upper = mode == srchLess || mode == srchLessEq;
        uint32_t first = upper ? hi : lo, second = upper ? lo : hi;
        int cfirst = upper ? chi : clo, csecond = upper ? clo : chi;
        if (holds(cfirst, mode)) {
            index = first;
            return true;
        }
        if (holds(csecond, mode)) {
            index = second;
            return true;
        }
        return false;
    }

    // The element found with the given key and mode, or null.
    T* find(const T& probe, uint32_t key, int mode) const {
        if (key == sort_key_) {
            uint32_t i = 0;
            return search(probe, i, mode) ? items_[i] : nullptr;
        }
        if (mode != srchEqual && mode != srchGreaterEq) return nullptr;
        T* best = nullptr;
        for (uint32_t i = 0; i < count_; ++i) {
            TCmpRes c = T::compare(probe, *items_[i], key);
            if (c == 0) return items_[i];
            if (mode == srchGreaterEq && c < 0 && (!best || T::compare(*items_[i], *best, key) < 0)) best = items_[i];
        }
        return best;
    }

    uint32_t clear() {
        while (count_) {
            --count_;
            delete items_[count_];
        }
        uint32_t rc = items_ ? heap_free(items_) : 0;
        items_ = nullptr;
        capacity_ = 0;
        return rc;
    }

private:
    TCmpRes cmp(const T& a, const T& b) const { return T::compare(a, b, sort_key_); }
    // Whether an element comparing as c against the probe satisfies the mode.
    static bool holds(int c, int mode) {
        switch (mode) {
        case srchLess: return c < 0;
        case srchLessEq: return c <= 0;
        case srchEqual: return c == 0;
        case srchGreaterEq: return c >= 0;
        case srchGreater: return c > 0;
        default: return false;
        }
    }

    T** items_ = nullptr;
    uint32_t flags_;
    uint32_t capacity_ = 0;
    uint32_t step_;
    uint32_t count_ = 0;
    uint32_t sort_key_;
};

enum : int32_t { lvlNone = 0, lvlWarning = 2, lvlError = 3 };

// Outcome of an operation: code, level, the operation's text and the
// description of the code.
class result : public base {
public:
    result() { set(0, std::wstring(), lvlError); }
    result(uint32_t code, const std::wstring& text = std::wstring(), int32_t level = lvlError) {
        set(code, text, level);
    }
    result(uint32_t code, const wchar_t* text, int32_t level = lvlError) { set(code, text, level); }
    // Keeps code and level as given; text from the ANSI code page; no description.
    result(uint32_t code, const char* text, int32_t level);

    result& set(uint32_t code, const std::wstring& text, int32_t level);
    result& set_code(uint32_t code) { return set(code, std::wstring(), lvlError); }
    result& set_text(const std::wstring& t) { text_ = t; return *this; }
    result& set_descr(const std::wstring& d) { descr_ = d; return *this; }
    result& set_level(int32_t l) { level_ = l; return *this; }
    // Merges a later result: first non-zero code, highest level, texts joined.
    result& add(const result& other);

    uint32_t code() const { return code_ & 0x3FFFFFFF; }
    uint32_t raw_code() const { return code_; }
    int32_t level() const { return level_; }
    const std::wstring& text() const { return text_; }
    const std::wstring& descr() const { return descr_; }
    bool ok() const { return level_ != lvlError; }

    // Replaces %cd, %ch, %c and %d, in that order.
    std::wstring format(const std::wstring& pattern) const;
    virtual std::wstring str() const { return format(L"%c %d [%cd(%ch)]"); }

private:
    uint32_t code_ = 0;
    int32_t level_ = lvlNone;
    std::wstring text_;
    std::wstring descr_;
};

// The calling thread's last error as a result with this text.
result LastErrorResult(const wchar_t* text = L"");
// The empty result, or one with the last error and the text of the call.
result BoolResult(bool ok, const wchar_t* call);

// Registry entry: an application-defined code and its description.
struct ErrCode : base {
    enum : uint32_t { byCode = 1 };  // the registry's sort key
    ErrCode(uint32_t c, std::wstring t) : code(c), text(std::move(t)) {}
    static TCmpRes compare(const ErrCode& a, const ErrCode& b, uint32_t) {
        return a.code < b.code ? -1 : (a.code > b.code ? 1 : 0);
    }
    uint32_t code;
    std::wstring text;
};

// Adds an application code (bit 29 set); false for other codes and duplicates.
bool RegisterError(uint32_t code, const std::wstring& text);
// The code registered for the text, registering it when new.
uint32_t RegisterErrorText(const std::wstring& text);
// Description of a code: the registry's for application codes, else the system's.
std::wstring ErrorText(uint32_t code);
// The registry, or null before the first registration.
const TList<ErrCode>* ErrorRegistry();

// ANSI code page to UTF-16; bytes 0 takes text up to its terminator.
std::wstring AnsiToWide(const char* text, uint32_t bytes);
std::wstring AnsiToWide(const std::string& text);

// Replaces every occurrence of what in s by with, left to right.
void ReplaceAll(std::wstring& s, const std::wstring& what, const std::wstring& with);

// The full path of a file in System32 (a DLL loaded by it is never one
// dropped beside the exe); 0 or the error.
DWORD System32Path(const std::wstring& name, std::wstring& path);

}  // namespace kt
