#include "app/Relayed.h"

#include <thread>

#include "Log/Log.h"
#include "app/Box.h"
#include "app/Close.h"
#include "gen/module.h"
#include "app/resource.h"
#include "app/Unseen.h"
#include "relay/Session.h"

namespace {

const wchar_t kCategory[] = L"RLY";
// The asker sends the question as it starts the run; a run that gets none
// in this time has no asker.
const DWORD kQuestionWaitMs = 10000;
// The asker takes a deferral under its key's lock, which it waits for up
// to 10 s.
const DWORD kTakeWaitMs = 15000;
const DWORD kReportWaitMs = 5000;


uint32_t Flag(bool b) { return b ? 1u : 0u; }

}  // namespace

kt::ChannelMessage QuestionMessage(const MsgBoxParams& p, uint32_t remaining) {
    kt::ChannelMessage m(kt::ctQuestion);
    m.put(qfText, p.text);
    m.put(qfCaption, p.caption);
    m.put(qfFlags, p.flags);
    m.put(qfTimeout, remaining);
    m.put(qfNoButtons, Flag(!p.buttons));
    m.put(qfGuard, Flag(p.look.guard));
    m.put(qfNotice, Flag(p.run));
    if (p.look.locked >= 0) m.put(qfLocked, static_cast<uint32_t>(p.look.locked));
    if (p.look.deferral >= 0) {
        m.put(qfDeferral, static_cast<uint32_t>(p.look.deferral));
        m.put(qfUntil, static_cast<uint64_t>(p.look.deferral_until));
    }
    if (p.close.given()) {
        m.put(qfApps, AppsValue(p.close.apps));
        m.put(qfCloseWait, p.close.wait_s);
    }
    for (unsigned i = 0; i < kt::kMaxButtons; ++i) {
        if (!p.look.labels[i].empty()) m.put(static_cast<uint16_t>(qfLabel + i), p.look.labels[i]);
        if (!p.look.none_left[i].empty()) m.put(static_cast<uint16_t>(qfNoneLeft + i), p.look.none_left[i]);
    }
    return m;
}

bool ReadQuestion(const kt::ChannelMessage& m, MsgBoxParams& p) {
    MsgBoxParams q;
    uint32_t flags = 0, timeout = 0, no_buttons = 0, guard = 0, notice = 0;
    if (m.type() != kt::ctQuestion || !m.get(qfText, q.text) || !m.get(qfCaption, q.caption) ||
        !m.get(qfFlags, flags) || !m.get(qfTimeout, timeout) || !m.get(qfNoButtons, no_buttons) ||
        !m.get(qfGuard, guard) || !m.get(qfNotice, notice) || no_buttons > 1 || guard > 1 || notice > 1)
        return false;
    // The set, icon, default and the window options a command line can give.
    const uint32_t known = MB_TYPEMASK | MB_ICONMASK | MB_DEFMASK | MB_TOPMOST | MB_SYSTEMMODAL | MB_TASKMODAL |
                           MB_RIGHT | MB_RTLREADING;
    // A timeout above 2^31 is a negative one of the command line, taken
    // unsigned as every countdown takes it.
    if ((flags & ~known) || (flags & MB_TYPEMASK) > MB_CANCELTRYCONTINUE) return false;
    q.flags = flags;
    q.timeout = static_cast<int32_t>(timeout);
    q.buttons = !no_buttons;
    q.look.guard = guard != 0;
    q.run = notice != 0;
    const unsigned buttons = q.buttons ? kt::ButtonCount(flags) : 0;
    auto button = [&](uint16_t field, int& index) {
        uint32_t i = 0;
        if (!m.has(field)) return true;
        if (!m.get(field, i) || i >= buttons) return false;
        index = static_cast<int>(i);
        return true;
    };
    if (!button(qfLocked, q.look.locked) || !button(qfDeferral, q.look.deferral)) return false;
    if (q.look.deferral >= 0 && !m.get(qfUntil, q.look.deferral_until)) return false;
    if (m.has(qfApps)) {
        std::wstring apps, why;
        uint32_t wait = 0;
        if (!m.get(qfApps, apps) || !kt::ParseApps(apps, q.close.apps, why) || !m.get(qfCloseWait, wait) || wait < 1 ||
            wait > 3600)
            return false;
        q.close.wait_s = wait;
    }
    for (unsigned i = 0; i < kt::kMaxButtons; ++i) {
        for (std::wstring* label : {&q.look.labels[i], &q.look.none_left[i]}) {
            const uint16_t field = static_cast<uint16_t>((label == &q.look.labels[i] ? qfLabel : qfNoneLeft) + i);
            if (m.has(field) && (!m.get(field, *label) || LabelFault(*label, i, flags, q.buttons))) return false;
        }
    }
    p = q;
    return true;
}

namespace {

// Button 1's answer that counts closes this person's apps: the answer this
// run reported waits for the asker's decision (the first person's, or the
// countdowns'); a decision of another person's is first told in a notice
// that names the apps. The report goes back over the channel.
void CloseOnTheDecision(kt::RunChannel& channel, const MsgBoxParams& p, const kt::Outcome& o,
                        const std::vector<kt::RunningApp>& shown) {
    kt::ChannelMessage m;
    const bool own = o.ending != kt::enNone;
    if (own && IsButton1(o.answer, p)) {
        const DWORD limit = p.timeout > 0 ? static_cast<DWORD>(p.timeout) * 1000 + kt::kRelaySlackMs : INFINITE;
        WaitForSingleObject(channel.ends_box(), limit);
    }
    int decided = 0;
    if (!channel.Decided(m) || !kt::ReadDecided(m, decided) || !IsButton1(decided, p)) return;
    CloseTerms terms = p.close;
    // Only the asker ends what still runs.
    terms.force = false;
    const bool told = !(own && IsButton1(o.answer, p));
    // The closing on a thread of its own, which reports how it went; the
    // notice that tells the person why, where it is another's answer, stays
    // on this one until the asker is done with everyone (the channel ends)
    // or its person has read it.
    kt::unique_handle shown_event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const HDESK desktop = GetThreadDesktop(GetCurrentThreadId());
    std::thread closer([&] {
        // Nothing may leave a thread procedure.
        try {
            // This thread's desktop: its windows are the ones to close.
            SetThreadDesktop(desktop);
            // Told first: the apps are asked once the notice is up.
            if (told) WaitForSingleObject(shown_event.get(), kReportWaitMs);
            channel.Send(ClosedMessage(CloseApps(terms, OwnSession(), shown)), kReportWaitMs);
        } catch (...) {
        }
    });
    if (told) {
        MsgBoxParams notice = p;
        notice.text = kt::module().LoadStr(IDS_CLOSED_FOR_YOU);
        notice.look = kt::MsgBoxLook();
        notice.look.topmost = true;
        notice.look.quiet_title = true;
        notice.flags = (p.flags & ~(MB_TYPEMASK | MB_DEFMASK)) | MB_OK | MB_TOPMOST;
        notice.timeout = 0;
        const MsgBoxParams written = notice;
        ApplyApps(notice, written, shown);
        notice.look.refresh = FollowApps(written, OwnSession(), false);
        notice.look.ends_with = channel.ended();
        notice.look.on_shown = [&shown_event] { SetEvent(shown_event.get()); };
        kt::log_printf(kt::get_log(), "RLY", "another person's answer closes this person's apps: told so");
        ShowBox(notice);
        SetEvent(shown_event.get());
    }
    closer.join();
}

// A notice with CloseApps=: its person's apps close at once, the report goes
// back, and until the command ends (the channel with it) an app that
// starts is asked to close too.
int CloseWhileTheNoticeShows(kt::RunChannel& channel, MsgBoxParams& p) {
    const DWORD session = OwnSession();
    const std::vector<kt::RunningApp> shown = kt::AppFinder(p.close.apps).Find(session);
    const MsgBoxParams written = p;
    ApplyApps(p, written, shown);
    p.look.refresh = FollowApps(written, session, false);
    Notice notice(p);
    CloseTerms terms = p.close;
    terms.force = false;
    channel.Send(ClosedMessage(CloseApps(terms, session, shown)), kReportWaitMs);
    KeepAppsClosed(channel.ended(), terms, session);
    return 0;
}

}  // namespace

int RunRelayed(HANDLE channel_end) {
    kt::Log* log = kt::get_log();
    kt::RunChannel channel(channel_end);
    if (!channel.IsPipe()) {
        kt::log_printf(log, "RLY", "not a relayed run: its handle is no channel");
        return ERROR_INVALID_PARAMETER;
    }
    ULONG asker = 0;
    if (GetNamedPipeServerProcessId(channel_end, &asker))
        kt::log_printf(log, "RLY", "relayed by PID=%04X", static_cast<unsigned>(asker));
    kt::ChannelMessage m;
    kt::result read = channel.ReadQuestion(m, kQuestionWaitMs);
    MsgBoxParams p;
    if (read.ok() && !ReadQuestion(m, p)) read = kt::result(ERROR_INVALID_DATA, L"not a question of a box");
    if (!read.ok()) {
        kt::log_wprintf(log, kCategory, L"no question from the asking velmo: %s", read.str().c_str());
        return ERROR_INVALID_PARAMETER;
    }
    const kt::Question asked = AskedOf(p);
    if (!kt::StationVisible()) {
        // Never relayed again: nobody answers.
        kt::log_printf(log, "RLY", "relayed, yet not visible: nobody answers");
        channel.Send(kt::AnswerMessage(kt::Outcome()), kReportWaitMs);
        return NobodyAnswer(p);
    }
    kt::result watched = channel.Watch();
    if (!watched.ok()) kt::log_wprintf(log, kCategory, L"the channel is not watched: %s", watched.str().c_str());
    // A question from a deployment is not hidden behind the person's windows.
    p.flags |= MB_TOPMOST;
    p.look.topmost = true;
    p.look.ends_with = channel.ended();
    // A command's remaining time is not known: no falling number.
    p.look.quiet_title = p.run;
    // Without its reader no answer to a defer click could come: the button
    // is then as when none is left.
    if (p.look.deferral >= 0 && !watched.ok()) {
        p.look.locked = p.look.deferral;
        p.look.deferral = -1;
    }
    if (p.look.deferral >= 0) {
        p.look.take = [&channel, log] {
            kt::ChannelMessage reply;
            bool given = false;
            int left = 0;
            const bool told = channel.Ask(kt::ChannelMessage(kt::ctTake), kt::ctTaken, reply, kTakeWaitMs) &&
                              kt::ReadTaken(reply, given, left);
            kt::log_printf(log, "RLY", "the defer button: %s", !told ? "no word from the asking velmo"
                                                                : given ? "a deferral taken" : "none left");
            return told && given;
        };
    }
    if (p.run && p.close.given()) return CloseWhileTheNoticeShows(channel, p);
    const DWORD session = OwnSession();
    std::vector<kt::RunningApp> shown;
    if (p.close.given()) {
        // Its person's own apps; the box ends by itself once the last is
        // closed (a person's answer, for everyone), where there were any.
        const MsgBoxParams written = p;
        shown = kt::AppFinder(p.close.apps).Find(session);
        ApplyApps(p, written, shown);
        p.look.refresh = FollowApps(written, session, !shown.empty());
        // The box also goes when the asker's decision comes.
        p.look.ends_with = channel.ends_box();
    }
    const Shown shown_box = ShowBox(p);
    const kt::Outcome o = kt::OutcomeOf(shown_box.answer, shown_box.end, asked);
    kt::result sent = channel.Send(kt::AnswerMessage(o), kReportWaitMs);
    if (o.ending == kt::enNone)
        kt::log_printf(log, "RLY", "no answer (%d) %sreported to the asker", shown_box.answer, sent.ok() ? "" : "not ");
    else
        kt::log_printf(log, "RLY", "answer %d %s%sreported to the asker", o.answer,
                       o.ending == kt::enCountdown ? "of the countdown " : "", sent.ok() ? "" : "not ");
    if (p.close.given()) CloseOnTheDecision(channel, p, o, shown);
    return shown_box.answer;
}
