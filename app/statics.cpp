// The program's process-wide objects, built before wWinMain runs. The
// date-time header comes first: its constants register the date-time codes,
// so the ODBC texts get the codes after them.
#include "gen/BTime.h"
#include "odbc/environment.h"

namespace {
// First of all static objects (priority 101): the DLL search is limited to
// System32 before anything can load ODBC32.dll.
struct DllSearch {
    DllSearch() { kt::odbc::LoadFromSystem32(); }
} g_dll_search __attribute__((init_priority(101)));

kt::odbc::environment g_odbc;
}  // namespace
