// Owners of what must be released: one template, and per resource one traits
// class that names the release call and the invalid value. Header only, so
// that programs which do not link the library can use it too.
#pragma once

#include <utility>

#include "lib/kt.h"

namespace kt {

// Owns one value of Traits::type. Move-only; a move leaves the source empty.
// Releasing never changes the caller's last error.
template <class Traits>
class unique_any {
public:
    using type = typename Traits::type;

    unique_any() = default;
    explicit unique_any(type v) : value_(v) {}
    unique_any(const unique_any&) = delete;
    unique_any& operator=(const unique_any&) = delete;
    unique_any(unique_any&& other) noexcept : value_(other.release()) {}
    unique_any& operator=(unique_any&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~unique_any() { reset(); }

    type get() const { return value_; }
    explicit operator bool() const { return Traits::valid(value_); }
    // Gives the value up without releasing it; the owner is empty after.
    type release() { return std::exchange(value_, Traits::none()); }
    // Releases the value held (unless it is v) and takes v.
    void reset(type v = Traits::none()) {
        type old = std::exchange(value_, v);
        if (old != v && Traits::valid(old)) {
            DWORD saved = GetLastError();
            Traits::close(old);
            SetLastError(saved);
        }
    }

private:
    type value_ = Traits::none();
};

// Kernel handles: both null and INVALID_HANDLE_VALUE mean none.
struct handle_traits {
    using type = HANDLE;
    static type none() { return nullptr; }
    static bool valid(type h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    // 0 or the error of CloseHandle.
    static DWORD close(type h) { return ErrorUnless(CloseHandle(h)); }
};

// Blocks the system allocated with LocalAlloc (CommandLineToArgvW's).
struct local_traits {
    using type = void*;
    static type none() { return nullptr; }
    static bool valid(type p) { return p != nullptr; }
    static void close(type p) { LocalFree(p); }
};

// Timers of the calling thread (SetTimer without a window); the owner must
// be released on the thread that set the timer.
struct thread_timer_traits {
    using type = UINT_PTR;
    static type none() { return 0; }
    static bool valid(type id) { return id != 0; }
    static void close(type id) { KillTimer(nullptr, id); }
};

// Searches of FindFirstFileW, closed with FindClose.
struct find_traits {
    using type = HANDLE;
    static type none() { return INVALID_HANDLE_VALUE; }
    static bool valid(type h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(type h) { FindClose(h); }
};

// Modules of LoadLibraryW, freed with FreeLibrary.
struct module_traits {
    using type = HMODULE;
    static type none() { return nullptr; }
    static bool valid(type m) { return m != nullptr; }
    static void close(type m) { FreeLibrary(m); }
};

// Hooks of SetWindowsHookExW.
struct hook_traits {
    using type = HHOOK;
    static type none() { return nullptr; }
    static bool valid(type h) { return h != nullptr; }
    static void close(type h) { UnhookWindowsHookEx(h); }
};

// Registry keys of RegOpenKeyExW and RegCreateKeyExW.
struct hkey_traits {
    using type = HKEY;
    static type none() { return nullptr; }
    static bool valid(type k) { return k != nullptr; }
    static void close(type k) { RegCloseKey(k); }
};

// Ownership of a mutex a wait gave this thread: ReleaseMutex, once.
struct mutex_hold_traits {
    using type = HANDLE;
    static type none() { return nullptr; }
    static bool valid(type h) { return h != nullptr; }
    static void close(type h) { ReleaseMutex(h); }
};

// Boundary descriptors of CreateBoundaryDescriptorW.
struct boundary_traits {
    using type = HANDLE;
    static type none() { return nullptr; }
    static bool valid(type h) { return h != nullptr; }
    static void close(type h) { DeleteBoundaryDescriptor(h); }
};

// Handles of a private namespace (CreatePrivateNamespaceW or
// OpenPrivateNamespaceW), closed without destroying it.
struct private_namespace_traits {
    using type = HANDLE;
    static type none() { return nullptr; }
    static bool valid(type h) { return h != nullptr; }
    static void close(type h) { ClosePrivateNamespace(h, 0); }
};

// Device contexts of GetDC, released to the window they came from.
struct window_dc {
    HWND window;
    HDC dc;
    bool operator!=(const window_dc& o) const { return window != o.window || dc != o.dc; }
};
struct window_dc_traits {
    using type = window_dc;
    static type none() { return {nullptr, nullptr}; }
    static bool valid(type d) { return d.dc != nullptr; }
    static void close(type d) { ReleaseDC(d.window, d.dc); }
};

using unique_handle = unique_any<handle_traits>;
using unique_module = unique_any<module_traits>;
using unique_find = unique_any<find_traits>;
using unique_local = unique_any<local_traits>;
using unique_thread_timer = unique_any<thread_timer_traits>;
using unique_hook = unique_any<hook_traits>;
using unique_window_dc = unique_any<window_dc_traits>;
using unique_hkey = unique_any<hkey_traits>;
using unique_mutex_hold = unique_any<mutex_hold_traits>;
using unique_boundary = unique_any<boundary_traits>;
using unique_private_namespace = unique_any<private_namespace_traits>;

// Runs a callable when the scope ends, unless dismissed.
template <class F>
class scope_exit_t {
public:
    explicit scope_exit_t(F f) : f_(std::move(f)) {}
    scope_exit_t(const scope_exit_t&) = delete;
    scope_exit_t& operator=(const scope_exit_t&) = delete;
    scope_exit_t(scope_exit_t&& other) noexcept : f_(std::move(other.f_)), armed_(std::exchange(other.armed_, false)) {}
    ~scope_exit_t() {
        if (armed_) f_();
    }
    void dismiss() { armed_ = false; }

private:
    F f_;
    bool armed_ = true;
};

template <class F>
scope_exit_t<F> scope_exit(F f) {
    return scope_exit_t<F>(std::move(f));
}

}  // namespace kt
