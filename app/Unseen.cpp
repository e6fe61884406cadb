#include "app/Unseen.h"

#include "Log/Log.h"
#include "app/Close.h"
#include "app/Deferral.h"
#include "app/Relayed.h"
#include "app/Texts.h"
#include "relay/Relay.h"

kt::Question AskedOf(const MsgBoxParams& p) {
    kt::Question q;
    q.text = p.text;
    q.caption = p.caption;
    q.flags = p.flags;
    // A negative timeout is taken as the same 32 bits, unsigned.
    q.timeout = static_cast<uint32_t>(p.timeout);
    q.no_buttons = !p.buttons;
    q.report_timeout = p.report_timeout;
    // A greyed button's answer is nobody's (the session's box cannot grey it).
    if (p.look.locked >= 0) q.refused = static_cast<int>(kt::ButtonItem(p.flags, static_cast<unsigned>(p.look.locked)));
    if (p.look.deferral >= 0) q.deferral = static_cast<int>(kt::ButtonItem(p.flags, static_cast<unsigned>(p.look.deferral)));
    q.notice = p.run;
    return q;
}

int NobodyAnswer(const MsgBoxParams& p) { return kt::NobodyAnswer(AskedOf(p)); }

MsgBoxParams ForPerson(const MsgBoxParams& p, const std::wstring& language, const DeferralsNow& deferrals) {
    MsgBoxParams asked = p;
    kt::SectionChoice choice;
    ApplyTexts(asked, language, &choice);
    if (!p.texts.empty())
        kt::log_wprintf(kt::get_log(), L"TXT", L"asked in section [%s] for %s (%s)", choice.tag.c_str(),
                        language.c_str(), kt::SectionMatchText(choice.how));
    ApplyDeferral(asked, deferrals, language.c_str());
    return asked;
}

namespace {

// The relay's question in each person's words (the session's own box names
// the apps of every session: it cannot follow them).
kt::RelayAsk Ask(const MsgBoxParams& p, const MsgBoxParams& asked, const DeferralsNow& deferrals,
                 const std::vector<kt::RunningApp>& apps = {}) {
    kt::RelayAsk ask;
    ask.q = AskedOf(asked);
    ask.by_language = !p.texts.empty() || p.defer.has_deadline;
    ask.run_question = [&p, deferrals](const std::wstring& language, uint32_t remaining) {
        return QuestionMessage(ForPerson(p, language, deferrals), remaining);
    };
    ask.session_question = [&p, deferrals, apps](const std::wstring& language) {
        MsgBoxParams words = ForPerson(p, language, deferrals);
        if (p.close.given()) ApplyApps(words, MsgBoxParams(words), apps);
        return AskedOf(words);
    };
    return ask;
}

}  // namespace

int AskUser(const MsgBoxParams& p, const DeferralsNow& deferrals) {
    // The box as asked: where no deferral is left, its default moved and the
    // defer button's answer refused.
    MsgBoxParams deferred = p;
    ApplyDeferral(deferred, deferrals, LOCALE_NAME_USER_DEFAULT);
    // CloseApps=: the apps of every session; nobody is asked for nothing.
    std::vector<kt::RunningApp> before;
    if (p.close.given()) {
        before = kt::AppFinder(p.close.apps).Find(kt::kAllSessions);
        if (before.empty()) {
            kt::log_printf(kt::get_log(), "APP", "none of the apps runs in any session: no box, button 1's answer");
            return Button1Answer(deferred);
        }
    }
    kt::RelayAsk ask = Ask(p, deferred, deferrals, before);
    if (p.defer.given()) {
        ask.take = [&deferred, &deferrals](const std::wstring& who, int& after) {
            return TakeDeferral(deferred, deferrals, who, after);
        };
    }
    if (p.close.given()) {
        ask.closes_apps = [&deferred](int answer) { return IsButton1(answer, deferred); };
        ask.close_wait_ms = p.close.wait_s * 1000;
    }
    kt::RelayRun run = kt::RelayToUsers(ask, p.session);
    int code = run.answered ? run.answer : NobodyAnswer(deferred);
    if (run.answered) {
        KeepDeferrals(deferred, kt::Outcome{kt::enPerson, run.answer}, run.who, run.taken);
    } else {
        kt::log_printf(kt::get_log(), "RLY", "nobody answered: %d", code);
        KeepDeferrals(deferred, kt::Outcome{kt::enNone, code}, L"", false);
    }
    // Button 1's answer once every session's apps have ended.
    if (p.close.given() && IsButton1(code, deferred)) code = ConcludeClosing(deferred, before, run.closed);
    return code;
}

void NoticeToUsers(const MsgBoxParams& p, HANDLE until,
                   const std::function<void(const std::vector<kt::RelayRun::Closed>&)>& reported) {
    kt::RelayEnd end;
    end.until = until;
    end.notice = true;
    kt::RelayAsk ask = Ask(p, p, DeferralsNow());
    ask.reported = reported;
    kt::RelayRun run = kt::RelayToUsers(ask, p.session, end);
    if (run.choice.whom != kt::whAsked)
        kt::log_wprintf(kt::get_log(), L"RUN", L"nobody sees the notice (%s): the command runs all the same",
                        kt::WhomText(run.choice.whom));
}
