// The program's process-wide objects, built before wWinMain runs. The
// date-time header comes first: its constants register the date-time codes,
// so the ODBC texts get the codes after them.
#include "gen/BTime.h"
#include "odbc/environment.h"

namespace {
kt::odbc::environment g_odbc;
}  // namespace
