#include "app/Unseen.h"

#include "Log/Log.h"
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

// The relay's question in each person's words.
kt::RelayAsk Ask(const MsgBoxParams& p, const MsgBoxParams& asked, const DeferralsNow& deferrals) {
    kt::RelayAsk ask;
    ask.q = AskedOf(asked);
    ask.by_language = !p.texts.empty() || p.defer.has_deadline;
    ask.run_question = [&p, deferrals](const std::wstring& language, uint32_t remaining) {
        return QuestionMessage(ForPerson(p, language, deferrals), remaining);
    };
    ask.session_question = [&p, deferrals](const std::wstring& language) {
        return AskedOf(ForPerson(p, language, deferrals));
    };
    return ask;
}

}  // namespace

int AskUser(const MsgBoxParams& p, const DeferralsNow& deferrals) {
    // The box as asked: where no deferral is left, its default moved and the
    // defer button's answer refused.
    MsgBoxParams deferred = p;
    ApplyDeferral(deferred, deferrals, LOCALE_NAME_USER_DEFAULT);
    kt::RelayAsk ask = Ask(p, deferred, deferrals);
    if (p.defer.given()) {
        ask.take = [&deferred, &deferrals](const std::wstring& who, int& after) {
            return TakeDeferral(deferred, deferrals, who, after);
        };
    }
    kt::RelayRun run = kt::RelayToUsers(ask, p.session);
    if (run.answered) {
        KeepDeferrals(deferred, kt::Outcome{kt::enPerson, run.answer}, run.who, run.taken);
        return run.answer;
    }
    int code = NobodyAnswer(deferred);
    kt::log_printf(kt::get_log(), "RLY", "nobody answered: %d", code);
    KeepDeferrals(deferred, kt::Outcome{kt::enNone, code}, L"", false);
    return code;
}

void NoticeToUsers(const MsgBoxParams& p, HANDLE command) {
    kt::RelayEnd end;
    end.until = command;
    end.notice = true;
    kt::RelayRun run = kt::RelayToUsers(Ask(p, p, DeferralsNow()), p.session, end);
    if (run.choice.whom != kt::whAsked)
        kt::log_wprintf(kt::get_log(), L"RUN", L"nobody sees the notice (%s): the command runs all the same",
                        kt::WhomText(run.choice.whom));
}
