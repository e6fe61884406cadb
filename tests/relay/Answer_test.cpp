// What counts as an answer from the person at the screen.
#include <gtest/gtest.h>

#include "relay/Answer.h"

namespace {

kt::Question Box(uint32_t flags, uint32_t timeout = 0, bool no_buttons = false, bool report_timeout = false,
                 int refused = 0) {
    kt::Question q;
    q.refused = refused;
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
        // The greyed defer button's answer is nobody's, whoever sent it.
        {"yes_no_later_greyed", Box(MB_YESNO | MB_DEFBUTTON2, 60, false, false, IDNO), {IDYES}},
        {"ok_cancel_later_greyed", Box(MB_OKCANCEL, 0, false, false, IDCANCEL), {IDOK}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (int code : {0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 11, 12, 87, 259, 1359, 31999, 32000, 32001, -1}) {
            bool want = std::find(c.answers.begin(), c.answers.end(), code) != c.answers.end();
            EXPECT_EQ(kt::IsAnswerOf(code, c.q), want) << code;
        }
    }
}

// What velmo saw end a box: the countdown's click; a person's answer of the
// set; else nobody's: the box's end by its object (a command's end, a
// broken channel), 0 from a box that failed, an answer not of the set or
// refused.
TEST(Answer, OnlyWhatAPersonWasSeenToGive) {
    const kt::Question q = Box(MB_YESNO | MB_DEFBUTTON2, 60), locked = Box(MB_YESNO, 60, false, false, IDNO);
    auto end = [](bool countdown, bool object) {
        kt::BoxEnd e;
        e.watched = true;
        e.countdown = countdown;
        e.object = object;
        return e;
    };
    const struct {
        const char* name;
        const kt::Question* q;
        int answer;
        kt::BoxEnd end;
        kt::Ending ending;
    } cases[] = {
        {"yes", &q, IDYES, end(false, false), kt::enPerson},
        {"no", &q, IDNO, end(false, false), kt::enPerson},
        {"the_countdown", &q, IDNO, end(true, false), kt::enCountdown},
        {"ended_by_its_object", &q, IDCANCEL, end(false, true), kt::enNone},
        {"ended_by_its_object_with_an_answer", &q, IDYES, end(false, true), kt::enNone},
        {"a_failed_box", &q, 0, end(false, false), kt::enNone},
        {"cancel_is_not_of_yes_no", &q, IDCANCEL, end(false, false), kt::enNone},
        {"refused", &locked, IDNO, end(false, false), kt::enNone},
        {"not_watched", &q, IDYES, kt::BoxEnd(), kt::enPerson},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const kt::Outcome o = kt::OutcomeOf(c.answer, c.end, *c.q);
        EXPECT_EQ(o.ending, c.ending);
        if (o.ending != kt::enNone) {
            EXPECT_EQ(o.answer, c.answer);
        }
    }
}

// How the boxes' ends combine as they come: the first person's answer wins
// at once; a countdown's click or an end without an answer only drops that
// box out; once none asks, nobody answered, with the countdown's answer.
TEST(Answer, TheFirstPersonsAnswerWins) {
    const kt::Question report = Box(MB_YESNO | MB_DEFBUTTON2, 60, false, true), plain = Box(MB_YESNO | MB_DEFBUTTON2, 60);
    const struct {
        const char* name;
        const kt::Question* q;
        kt::Outcome latest;
        size_t still_asking;
        bool done, by_person;
        int answer;
    } cases[] = {
        {"a_person_while_others_ask", &plain, {kt::enPerson, IDYES}, 5, true, true, IDYES},
        {"a_person_last", &plain, {kt::enPerson, IDNO}, 0, true, true, IDNO},
        {"a_person_answers_the_default", &plain, {kt::enPerson, IDNO}, 2, true, true, IDNO},
        {"a_countdown_while_others_ask", &plain, {kt::enCountdown, IDNO}, 1, false, false, 0},
        {"the_last_countdown", &plain, {kt::enCountdown, IDNO}, 0, true, false, IDNO},
        {"the_last_countdown_reported", &report, {kt::enCountdown, 32000}, 0, true, false, 32000},
        {"ended_from_outside_while_others_ask", &plain, {kt::enNone, 0}, 3, false, false, 0},
        {"the_last_ended_from_outside", &plain, {kt::enNone, 0}, 0, true, false, IDNO},
        {"the_last_ended_from_outside_reported", &report, {kt::enNone, 0}, 0, true, false, 32000},
        {"nothing_yet", &plain, {}, 66, false, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kt::Combined got = kt::Combine(c.latest, c.still_asking, *c.q);
        EXPECT_EQ(got.done, c.done);
        EXPECT_EQ(got.by_person, c.by_person);
        if (c.done) {
            EXPECT_EQ(got.answer, c.answer);
        }
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
