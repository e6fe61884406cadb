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

// Loads the ODBC driver manager from System32 and checks that it exports the
// four ordinals that velmo imports (2, 15, 75, 110), so that no call can fail
// in the delay-load helper. 0, or ERROR_MOD_NOT_FOUND / ERROR_PROC_NOT_FOUND
// with the DLL (and the missing ordinal) as text. The DLL stays loaded when
// it passes.
result LoadDriverManager(const std::wstring& dll = L"ODBC32.dll");

class environment : public base {
public:
    // The first instance allocates the environment, the last frees it. A
    // failure of either is logged (category "ODB") and kept as the result.
    environment();
    ~environment() override;

    // Without a driver manager that LoadDriverManager accepts, its result:
    // no ODBC call is made.
    static result alloc();
    // ERROR_INVALID_HANDLE when no environment is allocated.
    static result free();
    // The driver manager's diagnostic for the handles, as a result.
    static result diag(void* env, void* dbc, void* stmt);
    // How a diagnostic is judged: 00000 success, class 01 a warning, others
    // errors with "[state] message", no state an error with no text.
    static result judge(const std::wstring& state, const std::wstring& message);

    // The outcome of the last allocation or release by an instance.
    static const result& last_result();
    static void* handle();
    static int32_t instances();
    static uint32_t database_error_code();
    static uint32_t no_data_code();
};

}  // namespace odbc
}  // namespace kt
