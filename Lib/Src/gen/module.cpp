#include "gen/module.h"

#include <psapi.h>

#include "lib/owner.h"

namespace kt {

std::wstring LoadResStr(HINSTANCE module, UINT id) {
    // LoadStringW truncates silently; a length that fills the buffer may be
    // a cut string, so the buffer is doubled until the text fits.
    for (uint32_t cap = 64; cap != 0 && cap <= 0x10000; cap *= 2) {
        Array<wchar_t> buf(cap);
        int n = LoadStringW(module, id, buf.data(), static_cast<int>(cap));
        if (n <= 0) return std::wstring();
        if (static_cast<uint32_t>(n) < cap - 1) return std::wstring(buf.data());
    }
    return std::wstring();
}

std::wstring module::FileName() const {
    unique_handle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, GetCurrentProcessId()));
    if (!process) return std::wstring();
    wchar_t path[260] = {};
    DWORD n = K32GetModuleFileNameExW(process.get(), handle_, path, 260);
    return n ? std::wstring(path) : std::wstring();
}

}  // namespace kt
