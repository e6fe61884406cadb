// The session's own message box: what it is given, and its answers.
#include <gtest/gtest.h>

#include "relay/Message.h"

namespace {

TEST(SessionMessage, StyleTimeoutAndAnswers) {
    const struct {
        const char* name;
        uint32_t flags;
        uint32_t timeout;
        bool no_buttons, report_timeout;
        DWORD style, message_timeout;
        std::vector<std::pair<DWORD, int>> answers;  // response -> answer (-1: nobody)
    } cases[] = {
        {"question_yes_no", MB_ICONQUESTION | MB_YESNO | MB_DEFBUTTON2, 60, false, false,
         MB_ICONQUESTION | MB_YESNO | MB_DEFBUTTON2 | MB_TOPMOST | MB_SETFOREGROUND, 60,
         {{IDYES, IDYES}, {IDNO, IDNO}, {IDTIMEOUT, IDNO}, {IDCANCEL, -1}, {32001 /* IDASYNC */, -1}, {0, -1}}},
        {"report_timeout", MB_YESNO, 30, false, true, MB_YESNO | MB_TOPMOST | MB_SETFOREGROUND, 30,
         {{IDTIMEOUT, 32000}, {IDYES, IDYES}}},
        // No countdown: the box waits for the person; a timeout is nobody.
        {"no_countdown", MB_OKCANCEL | MB_ICONWARNING, 0, false, false,
         MB_OKCANCEL | MB_ICONWARNING | MB_TOPMOST | MB_SETFOREGROUND, 0, {{IDOK, IDOK}, {IDCANCEL, IDCANCEL}, {IDTIMEOUT, -1}}},
        {"clicks_nothing", MB_YESNO | MB_DEFBUTTON4, 60, false, false,
         MB_YESNO | MB_DEFBUTTON4 | MB_TOPMOST | MB_SETFOREGROUND, 0, {{IDNO, IDNO}}},
        {"ok_box_timeout", MB_OK | MB_ICONINFORMATION, 10, false, false,
         MB_ICONINFORMATION | MB_TOPMOST | MB_SETFOREGROUND, 10, {{IDTIMEOUT, IDOK}, {IDOK, IDOK}}},
        {"no_buttons", MB_OK, 10, true, false, MB_TOPMOST | MB_SETFOREGROUND, 10, {{IDTIMEOUT, IDOK}}},
        // Modality means nothing to the session's box; the alignment does.
        {"window_options", MB_RETRYCANCEL | MB_SYSTEMMODAL | MB_TASKMODAL | MB_RIGHT | MB_RTLREADING, 0, false,
         false, MB_RETRYCANCEL | MB_RIGHT | MB_RTLREADING | MB_TOPMOST | MB_SETFOREGROUND, 0,
         {{IDRETRY, IDRETRY}, {IDCANCEL, IDCANCEL}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kt::Question q;
        q.flags = c.flags;
        q.timeout = c.timeout;
        q.no_buttons = c.no_buttons;
        q.report_timeout = c.report_timeout;
        EXPECT_EQ(kt::SessionMessageStyle(q), c.style);
        EXPECT_EQ(kt::SessionMessageTimeout(q), c.message_timeout);
        for (const auto& a : c.answers) {
            EXPECT_EQ(kt::SessionAnswer(a.first, q), a.second) << a.first;
            // Its timeout is the countdown's click, never a person's answer.
            const kt::Outcome o = kt::SessionOutcome(a.first, q);
            EXPECT_EQ(o.ending, a.second < 0 ? kt::enNone : a.first == IDTIMEOUT ? kt::enCountdown : kt::enPerson)
                << a.first;
            if (a.second >= 0) {
                EXPECT_EQ(o.answer, a.second);
            }
        }
    }
}

}  // namespace
