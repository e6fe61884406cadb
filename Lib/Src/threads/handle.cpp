#include "threads/handle.h"

#include "Log/Log.h"

namespace kt {

THandle& THandle::operator=(THandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
}

THandle::~THandle() {
    if (valid()) close();
}

DWORD THandle::close() {
    DWORD saved = GetLastError();
    DWORD rc = 0;
    if (!valid()) {
        log_printf(get_log(), "SOA", "Closing handle: h=%p,this=%p-skipped(invalid).", handle_,
                   static_cast<void*>(this));
    } else {
        rc = handle_traits::close(handle_);
    }
    handle_ = nullptr;
    SetLastError(saved);
    return rc;
}

void THandle::reset(HANDLE h) {
    if (h != handle_ && valid()) close();
    handle_ = h;
}

DWORD Mutex::create(bool initial_owner, const std::wstring& name) {
    name_ = name;
    HANDLE h = CreateMutexW(nullptr, initial_owner ? TRUE : FALSE, name_.c_str());
    DWORD rc = ErrorUnless(h != nullptr);
    reset(h);
    log_wprintf(get_log(), L"SMT", L"Creating mutex \"%s\": handle=%#010x,rc=%u,this=%#010x.", name_.c_str(),
                LogPtr(h), static_cast<unsigned>(rc), LogPtr(this));
    return rc;
}

DWORD Mutex::release() { return ErrorUnless(ReleaseMutex(handle_)); }

}  // namespace kt
