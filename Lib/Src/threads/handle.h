// Kernel handle owners, named mutexes and wrap-safe tick arithmetic.
#pragma once

#include "lib/kt.h"
#include "lib/owner.h"

namespace kt {

// later - earlier modulo 2^32.
inline DWORD TickDiff(DWORD earlier, DWORD later) { return later - earlier; }
// Milliseconds since start, correct across one wrap of GetTickCount.
inline DWORD TicksSince(DWORD start) { return TickDiff(start, GetTickCount()); }

// Owns one kernel handle; valid unless null or INVALID_HANDLE_VALUE.
// Move-only; a move leaves the source empty.
class THandle : public base {
public:
    THandle() = default;
    explicit THandle(HANDLE h) : handle_(h) {}
    THandle(const THandle&) = delete;
    THandle& operator=(const THandle&) = delete;
    THandle(THandle&& other) noexcept : handle_(other.release()) {}
    THandle& operator=(THandle&& other) noexcept;
    ~THandle() override;

    static bool valid(HANDLE h) { return handle_traits::valid(h); }
    bool valid() const { return valid(handle_); }
    explicit operator bool() const { return valid(); }
    // Closes the handle (0 or the error); the caller's last error is kept.
    virtual DWORD close();
    HANDLE get() const { return handle_; }
    // Gives the handle up without closing it; empty after.
    HANDLE release() { return std::exchange(handle_, nullptr); }
    // Takes ownership of h, closing a different handle held before.
    void reset(HANDLE h = nullptr);

protected:
    HANDLE handle_ = nullptr;
};

class SyncObject : public THandle {
public:
    const std::wstring& name() const { return name_; }
    void set_name(const std::wstring& n) { name_ = n; }

protected:
    std::wstring name_;
};

class Mutex : public SyncObject {
public:
    ~Mutex() override { release(); }
    // Creates or opens the named mutex; 0 or the error.
    DWORD create(bool initial_owner, const std::wstring& name);
    // ReleaseMutex (0 or the error). Hides THandle::release, which would
    // give the handle up: reach that one as THandle::release.
    DWORD release();
};

}  // namespace kt
