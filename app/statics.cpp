// The program's process-wide objects, built before wWinMain runs.
#include "gen/BTmErr.h"
#include "odbc/environment.h"

namespace {

struct DllSearch {
    DllSearch() { kt::odbc::LoadFromSystem32(); }
};

struct TimeErrors {
    TimeErrors() { kt::RegisterTimeErrors(); }
};

// Built first of all static objects (priority 101), members in this order,
// which is fixed: the DLL search is limited to System32 before the ODBC
// environment can load ODBC32.dll; and a registered text gets the code after
// the last one, so the date-time codes come first and the ODBC texts follow
// them (0x2000010A, 0x2000010B).
struct ProcessObjects {
    DllSearch dll_search;
    TimeErrors time_errors;
    kt::odbc::environment odbc;
} g_process __attribute__((init_priority(101)));

}  // namespace
