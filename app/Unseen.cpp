#include "app/Unseen.h"

#include <cwchar>

#include "Log/Log.h"
#include "app/Console.h"
#include "win32gui/MsgBoxAC.h"
#include "win32gui/Relay.h"

const wchar_t kRelayedVariable[] = L"VELMO_RELAYED_BY";

namespace {
// As the log shows process ids.
std::wstring Hex(DWORD id) {
    wchar_t s[16];
    swprintf(s, 16, L"%04X", static_cast<unsigned>(id));
    return s;
}
}  // namespace

std::wstring RelayedBy() {
    wchar_t value[16] = {};
    DWORD n = GetEnvironmentVariableW(kRelayedVariable, value, 16);
    if (n == 0) return L"";
    // Too long for an id: relayed all the same.
    return n < 16 ? value : L"?";
}

int NobodyAnswer(const MsgBoxParams& p) {
    if (p.timeout == 0 || p.report_timeout) return kExitTimedOut;
    uint32_t id = kt::DefaultButton(p.flags, !p.buttons);
    if (id == 0) return kExitTimedOut;
    // The countdown clicks the OK-only box's one button as IDCANCEL; Windows
    // answers that with IDOK.
    if (!p.buttons || (p.flags & MB_TYPEMASK) == MB_OK) return IDOK;
    return static_cast<int>(id);
}

bool IsAnswer(DWORD code) { return code <= 0x7FFFFFFF && AnswerName(static_cast<int>(code)) != nullptr; }

int AskUser(const MsgBoxParams& p) {
    kt::RelayRun run = kt::RelayToUser(GetCommandLineW(),
                                       std::wstring(kRelayedVariable) + L"=" + Hex(GetCurrentProcessId()));
    if (run.ran() && IsAnswer(run.exit_code)) return static_cast<int>(run.exit_code);
    int code = NobodyAnswer(p);
    kt::log_printf(kt::get_log(), "RLY", "nobody answered: %d", code);
    return code;
}
