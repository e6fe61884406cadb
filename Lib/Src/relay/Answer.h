// What is asked of the person at the screen, and what counts as an answer:
// the codes a relayed run reports and the asker reads, and what nobody
// answering gives.
#pragma once

#include <string>

#include "lib/kt.h"
#include "win32gui/BoxLook.h"

namespace kt {

// The exit code of a box that the countdown closed, with ReportTimeout (and
// WTSSendMessageW's IDTIMEOUT).
const int kTimedOut = 32000;

// The box as the asker asks it.
struct Question {
    std::wstring text;
    std::wstring caption;
    uint32_t flags = 0;       // MessageBoxW style: buttons, icon, default button, window options
    uint32_t timeout = 0;     // the countdown in seconds; 0: none (a negative one taken unsigned)
    bool no_buttons = false;  // NoButtons
    bool report_timeout = false;
    // A button's answer that does not count (its button greyed: no
    // deferral left); 0: none.
    int refused = 0;
    // The defer button's answer: a person's is theirs only with a deferral
    // taken for it; 0: none.
    int deferral = 0;
    // A notice while a command runs, not a question.
    bool notice = false;
};

// What the box ends with when nobody can answer: the countdown's answer at
// zero when it clicks a button (the default button; IDOK for an OK-only or
// NoButtons box, as Windows answers that click; 32000 with ReportTimeout),
// else 32000.
int NobodyAnswer(const Question& q);

// Whether the countdown ends the box (a timeout, and a button to click).
bool CountdownEnds(const Question& q);

// Whether code answers this box: one of its set's buttons (the OK-only and
// NoButtons box: OK, or Cancel as Wine's box gives it) but a refused one,
// or 32000 with ReportTimeout. Anything else (0 from a failed box, 87, a crash's or a
// log-off's status) is nobody's answer.
bool IsAnswerOf(int code, const Question& q);

// What ended one asked box: a person's answer, the countdown's click, or
// nothing that counts (ended from outside, a log-off, a failure).
enum Ending : int { enPerson = 0, enCountdown, enNone };
struct Outcome {
    Ending ending = enNone;
    int answer = 0;  // with enPerson and enCountdown
};
// How a box of q ended as velmo saw it: the countdown's click; an answer of
// q that a person gave; else nobody's (0 from a failed box, an end by its
// object, an answer not of q).
Outcome OutcomeOf(int answer, const BoxEnd& end, const Question& q);

// How the outcomes of several asked boxes combine, as they come: the first
// person's answer wins at once (done, with it); the others are waited for
// while any box still asks; once none does, nobody answered: NobodyAnswer
// (the countdown's answer, or 32000 with ReportTimeout), once.
struct Combined {
    bool done = false;
    bool by_person = false;
    int answer = 0;
};
Combined Combine(const Outcome& latest, size_t still_asking, const Question& q);

// How long the asker waits for a relayed run: while a countdown ends the
// box, its timeout plus kRelaySlackMs (then the run is taken for hung);
// else without a limit, as a person may take their time.
const DWORD kRelaySlackMs = 30000;
DWORD RelayWaitMs(const Question& q);

}  // namespace kt
