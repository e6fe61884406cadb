#include "relay/Answer.h"

#include "win32gui/MsgBoxAC.h"

namespace kt {

namespace {
bool OkOnly(const Question& q) { return q.no_buttons || (q.flags & MB_TYPEMASK) == MB_OK; }
}  // namespace

bool CountdownEnds(const Question& q) { return q.timeout != 0 && DefaultButton(q.flags, q.no_buttons) != 0; }

int NobodyAnswer(const Question& q) {
    if (!CountdownEnds(q) || q.report_timeout) return kTimedOut;
    // The countdown clicks the OK-only box's one button as IDCANCEL; Windows
    // answers that with IDOK.
    if (OkOnly(q)) return IDOK;
    return static_cast<int>(DefaultButton(q.flags, q.no_buttons));
}

bool IsAnswerOf(int code, const Question& q) {
    if (code == kTimedOut) return q.report_timeout;
    if (code <= 0) return false;
    if (OkOnly(q)) return code == IDOK || code == IDCANCEL;
    for (unsigned i = 0; i < kMaxButtons; ++i) {
        if (ButtonItem(q.flags, i) == static_cast<uint32_t>(code)) return true;
    }
    return false;
}

DWORD CodeAnswer(int answer) { return kAnswerMark | (static_cast<DWORD>(answer) & 0xFFFF); }

bool DecodeAnswer(DWORD exit_code, int& answer) {
    if ((exit_code & 0xFFFF0000u) != kAnswerMark) return false;
    answer = static_cast<int>(exit_code & 0xFFFF);
    return true;
}

DWORD RelayWaitMs(const Question& q) {
    if (!CountdownEnds(q)) return INFINITE;
    uint64_t ms = uint64_t(q.timeout) * 1000 + kRelaySlackMs;
    return ms >= INFINITE ? INFINITE : static_cast<DWORD>(ms);
}

}  // namespace kt
