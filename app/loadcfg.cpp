// The exe's load configuration: DependentLoadFlags = LOAD_LIBRARY_SEARCH_SYSTEM32,
// so that Windows 10 and later load the DLLs that velmo's imports depend on
// from System32 only. The linker writes no load-configuration directory
// entry here; the post-link step (scripts/pe-postlink) points it at this
// object, and at the delay-import descriptors that end with kDelayImportEnd.
#include <windows.h>

#include <cstddef>

namespace {
#ifdef _WIN64
using LoadConfig = IMAGE_LOAD_CONFIG_DIRECTORY64;
#else
using LoadConfig = IMAGE_LOAD_CONFIG_DIRECTORY32;
#endif

// Up to and including SEHandlerCount (empty: no SafeSEH table).
constexpr DWORD kLoadConfigSize = offsetof(LoadConfig, SEHandlerCount) + sizeof(LoadConfig::SEHandlerCount);

constexpr LoadConfig MakeLoadConfig() {
    LoadConfig c{};
    c.Size = kLoadConfigSize;
    // Named Reserved1 in MinGW's headers; DependentLoadFlags in Windows'.
    c.Reserved1 = LOAD_LIBRARY_SEARCH_SYSTEM32;
    return c;
}
static_assert(offsetof(LoadConfig, Reserved1) == (sizeof(void*) == 8 ? 0x4E : 0x36),
              "DependentLoadFlags sits where Windows reads it");
}  // namespace

extern "C" {
__attribute__((used)) extern const LoadConfig _load_config_used = MakeLoadConfig();

// The null descriptor after the delay-import descriptors (section .text$2):
// tools that list delay imports stop at it.
__attribute__((used, section(".text$2zz"), aligned(4))) extern const unsigned char kDelayImportEnd[32] = {};
}
