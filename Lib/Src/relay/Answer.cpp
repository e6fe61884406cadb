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
    if (code <= 0 || code == q.refused) return false;
    if (OkOnly(q)) return code == IDOK || code == IDCANCEL;
    for (unsigned i = 0; i < kMaxButtons; ++i) {
        if (ButtonItem(q.flags, i) == static_cast<uint32_t>(code)) return true;
    }
    return false;
}

Outcome OutcomeOf(int answer, const BoxEnd& end, const Question& q) {
    Outcome o;
    if (end.object) return o;
    if (end.countdown) {
        o.ending = enCountdown;
        o.answer = answer;
    } else if (IsAnswerOf(answer, q)) {
        o.ending = enPerson;
        o.answer = answer;
    }
    return o;
}

Combined Combine(const Outcome& latest, size_t still_asking, const Question& q) {
    Combined c;
    if (latest.ending == enPerson) {
        c.done = c.by_person = true;
        c.answer = latest.answer;
    } else if (still_asking == 0) {
        c.done = true;
        c.answer = NobodyAnswer(q);
    }
    return c;
}

DWORD RelayWaitMs(const Question& q) {
    if (!CountdownEnds(q)) return INFINITE;
    uint64_t ms = uint64_t(q.timeout) * 1000 + kRelaySlackMs;
    return ms >= INFINITE ? INFINITE : static_cast<DWORD>(ms);
}

}  // namespace kt
