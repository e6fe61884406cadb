// The process-wide ODBC 3 environment, shared by reference count.
#pragma once

#include "lib/kt.h"

namespace kt {
namespace odbc {

// Limits the DLL search of the process to System32, so that ODBC32.dll (not a
// known DLL, delay-loaded) can never be taken from the exe's folder; where the
// system cannot limit it, loads ODBC32.dll by its full System32 path. Call
// before the first ODBC call of the process. 0 or the error.
DWORD LoadFromSystem32();

class environment : public base {
public:
    // The first instance allocates the environment, the last frees it.
    environment();
    ~environment() override;

    static result alloc();
    // ERROR_INVALID_HANDLE when no environment is allocated.
    static result free();
    // The driver manager's diagnostic for the handles, as a result.
    static result diag(void* env, void* dbc, void* stmt);
    // How a diagnostic is judged: 00000 success, class 01 a warning, others
    // errors with "[state] message", no state an error with no text.
    static result judge(const std::wstring& state, const std::wstring& message);

    static void* handle();
    static int32_t instances();
    static uint32_t database_error_code();
    static uint32_t no_data_code();
};

}  // namespace odbc
}  // namespace kt
