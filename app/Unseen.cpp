#include "app/Unseen.h"

#include <cwchar>

#include "Log/Log.h"
#include "relay/Relay.h"

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

kt::Question AskedOf(const MsgBoxParams& p) {
    kt::Question q;
    q.text = p.text;
    q.caption = p.caption;
    q.flags = p.flags;
    // A negative timeout is taken as the same 32 bits, unsigned.
    q.timeout = static_cast<uint32_t>(p.timeout);
    q.no_buttons = !p.buttons;
    q.report_timeout = p.report_timeout;
    return q;
}

int NobodyAnswer(const MsgBoxParams& p) { return kt::NobodyAnswer(AskedOf(p)); }

int AskUser(const MsgBoxParams& p) {
    kt::RelayRun run = kt::RelayToUser(GetCommandLineW(),
                                       {std::wstring(kRelayedVariable) + L"=" + Hex(GetCurrentProcessId())}, AskedOf(p));
    if (run.answered) return run.answer;
    int code = NobodyAnswer(p);
    kt::log_printf(kt::get_log(), "RLY", "nobody answered: %d", code);
    return code;
}
