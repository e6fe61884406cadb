#include "relay/Message.h"

#include "relay/Dlls.h"

namespace kt {

DWORD SessionMessageStyle(const Question& q) {
    return (q.flags & (MB_TYPEMASK | MB_ICONMASK | MB_DEFMASK | MB_RIGHT | MB_RTLREADING)) | MB_TOPMOST |
           MB_SETFOREGROUND;
}

DWORD SessionMessageTimeout(const Question& q) {
    if (CountdownEnds(q)) return q.timeout;
    // A notice cannot be ended from here when its command ends.
    return q.notice ? kNoticeMessageS : 0;
}

int SessionAnswer(DWORD response, const Question& q) {
    if (response == IDTIMEOUT) return SessionMessageTimeout(q) ? NobodyAnswer(q) : -1;
    if (response > 0xFFFF) return -1;
    int code = static_cast<int>(response);
    // 32000 from the box itself is its timeout, handled above.
    return code != kTimedOut && IsAnswerOf(code, q) ? code : -1;
}

Outcome SessionOutcome(DWORD response, const Question& q) {
    Outcome o;
    const int answer = SessionAnswer(response, q);
    if (answer < 0) return o;
    o.ending = response == IDTIMEOUT ? enCountdown : enPerson;
    o.answer = answer;
    return o;
}

DWORD SendSessionMessage(SendMessageFunction send, DWORD session, const Question& q, DWORD& response) {
    std::wstring caption = q.caption, text = q.text;
    response = 0;
    // Lengths in bytes; the strings are read, not written.
    return ErrorUnless(send(WTS_CURRENT_SERVER_HANDLE, session, &caption[0],
                                         static_cast<DWORD>(caption.size() * sizeof(wchar_t)), &text[0],
                                         static_cast<DWORD>(text.size() * sizeof(wchar_t)), SessionMessageStyle(q),
                                         SessionMessageTimeout(q), &response, TRUE));
}

}  // namespace kt
