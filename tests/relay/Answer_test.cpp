// What counts as an answer from the person at the screen.
#include <gtest/gtest.h>

#include "relay/Answer.h"

namespace {

kt::Question Box(uint32_t flags, uint32_t timeout = 0, bool no_buttons = false, bool report_timeout = false) {
    kt::Question q;
    q.flags = flags;
    q.timeout = timeout;
    q.no_buttons = no_buttons;
    q.report_timeout = report_timeout;
    return q;
}

// Only a button of this box's set, or 32000 with ReportTimeout.
TEST(Answer, TheBoxsOwnButtonsOnly) {
    const struct {
        const char* name;
        kt::Question q;
        std::vector<int> answers;
    } cases[] = {
        {"ok", Box(MB_OK), {IDOK, IDCANCEL}},
        {"no_buttons", Box(MB_OK, 5, true), {IDOK, IDCANCEL}},
        {"ok_cancel", Box(MB_OKCANCEL), {IDOK, IDCANCEL}},
        {"abort_retry_ignore", Box(MB_ABORTRETRYIGNORE), {IDABORT, IDRETRY, IDIGNORE}},
        {"yes_no_cancel", Box(MB_YESNOCANCEL), {IDYES, IDNO, IDCANCEL}},
        {"yes_no", Box(MB_YESNO), {IDYES, IDNO}},
        {"retry_cancel", Box(MB_RETRYCANCEL), {IDRETRY, IDCANCEL}},
        {"cancel_try_continue", Box(MB_CANCELTRYCONTINUE), {IDCANCEL, IDTRYAGAIN, IDCONTINUE}},
        {"yes_no_report_timeout", Box(MB_YESNO | MB_DEFBUTTON2, 60, false, true), {IDYES, IDNO, 32000}},
        {"no_set", Box(7), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (int code : {0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 11, 12, 87, 259, 1359, 31999, 32000, 32001, -1}) {
            bool want = std::find(c.answers.begin(), c.answers.end(), code) != c.answers.end();
            EXPECT_EQ(kt::IsAnswerOf(code, c.q), want) << code;
        }
    }
}

// A relayed run's exit code carries the answer with a mark; what ending
// the process from outside gives carries none.
TEST(Answer, CodedSoThatAKillIsNoAnswer) {
    for (int answer : {IDOK, IDCANCEL, IDYES, IDNO, IDTRYAGAIN, IDCONTINUE, 32000, 0}) {
        DWORD code = kt::CodeAnswer(answer);
        int back = -1;
        ASSERT_TRUE(kt::DecodeAnswer(code, back)) << answer;
        EXPECT_EQ(back, answer);
        // An application's code, never an NTSTATUS error or warning.
        EXPECT_EQ(code & 0xE0000000u, 0x20000000u);
    }
    // Task Manager and taskkill (1), a deliberate kill with a button's code,
    // Ctrl+C, a log-off, a crash, the help's 87, a plain answer.
    for (DWORD code : {1u, 2u, 6u, 7u, 32000u, 87u, 0u, 0xC000013Au, 0x40010004u, 0xC0000005u, 0x2055FFFFu, 0x20570000u,
                       0xFFFFFFFFu}) {
        int answer = -1;
        EXPECT_FALSE(kt::DecodeAnswer(code, answer)) << code;
    }
}

TEST(Answer, NobodysAnswerAndTheAskersWait) {
    const struct {
        const char* name;
        kt::Question q;
        int nobody;
        DWORD wait_ms;
    } cases[] = {
        {"countdown_default", Box(MB_YESNO | MB_DEFBUTTON2, 60), IDNO, 90000},
        {"countdown_ok", Box(MB_OK, 5), IDOK, 35000},
        {"countdown_no_buttons", Box(MB_OK | MB_DEFBUTTON4, 5, true), IDOK, 35000},
        {"report_timeout", Box(MB_YESNO, 1, false, true), 32000, 31000},
        {"no_countdown", Box(MB_YESNO), 32000, INFINITE},
        {"clicks_nothing", Box(MB_YESNO | MB_DEFBUTTON4, 60), 32000, INFINITE},
        {"default_the_set_lacks", Box(MB_YESNO | MB_DEFBUTTON3, 60), 32000, INFINITE},
        // A negative timeout, taken unsigned: longer than any wait.
        {"negative_timeout", Box(MB_YESNO | MB_DEFBUTTON2, static_cast<uint32_t>(-5)), IDNO, INFINITE},
        {"long_but_finite", Box(MB_YESNO, 4000000), IDYES, 4000030000u},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(kt::NobodyAnswer(c.q), c.nobody);
        EXPECT_EQ(kt::RelayWaitMs(c.q), c.wait_ms);
    }
}

}  // namespace
