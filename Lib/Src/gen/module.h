// The executable module: its string resources and its file path.
#pragma once

#include "lib/kt.h"

namespace kt {

// String resource id of the module, or empty when it does not exist.
std::wstring LoadResStr(HINSTANCE module, UINT id);

class module : public base {
public:
    module() : handle_(GetModuleHandleW(nullptr)) {}
    HINSTANCE handle() const { return handle_; }
    std::wstring LoadStr(UINT id) const { return LoadResStr(handle_, id); }
    // Full path of the module's file, or empty when it cannot be read.
    virtual std::wstring FileName() const;

private:
    HINSTANCE handle_;
};

}  // namespace kt
