#include "app/Unseen.h"

#include <cwchar>
#include <functional>

#include "Log/Log.h"
#include "app/Deferral.h"
#include "app/Texts.h"
#include "relay/Relay.h"

const wchar_t kRelayedVariable[] = L"VELMO_RELAYED_BY";

namespace {
// As the log shows process ids.
std::wstring Hex(DWORD id) {
    wchar_t s[16];
    swprintf(s, 16, L"%04X", static_cast<unsigned>(id));
    return s;
}
}  // namespace

std::wstring RelayedBy() {
    wchar_t value[16] = {};
    DWORD n = GetEnvironmentVariableW(kRelayedVariable, value, 16);
    if (n == 0) return L"";
    // Too long for an id: relayed all the same.
    return n < 16 ? value : L"?";
}

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
    return q;
}

int NobodyAnswer(const MsgBoxParams& p) { return kt::NobodyAnswer(AskedOf(p)); }

namespace {

// What each relayed run is handed: the marker, the deferrals left and the
// deadline's instant (the asker keeps the count and fixes the deadline),
// the texts file's content (the person may not be able to read the file).
std::vector<std::wstring> RelayEntries(const MsgBoxParams& p, const DeferralsNow& deferrals) {
    std::vector<std::wstring> entries = {std::wstring(kRelayedVariable) + L"=" + Hex(GetCurrentProcessId())};
    if (p.defer.given()) {
        std::vector<std::wstring> handed = DeferralEntries(p.defer, deferrals);
        entries.insert(entries.end(), handed.begin(), handed.end());
    }
    if (!p.texts.empty()) {
        std::vector<std::wstring> texts = TextsEntries(p.texts_content);
        entries.insert(entries.end(), texts.begin(), texts.end());
    }
    return entries;
}

// The session's own box is shown for this process: in the asked person's
// language.
std::function<kt::Question(const std::wstring&)> InLanguage(const MsgBoxParams& p, const DeferralsNow& deferrals) {
    return [&p, deferrals](const std::wstring& language) {
        MsgBoxParams asked = p;
        kt::SectionChoice choice;
        ApplyTexts(asked, language, &choice);
        if (!p.texts.empty())
            kt::log_wprintf(kt::get_log(), L"TXT", L"the session's box: section [%s] for %s (%s)", choice.tag.c_str(),
                            language.c_str(), kt::SectionMatchText(choice.how));
        ApplyDeferral(asked, deferrals, language.c_str());
        return AskedOf(asked);
    };
}

}  // namespace

int AskUser(const MsgBoxParams& p, const DeferralsNow& deferrals) {
    // The box as asked: where no deferral is left, its default moved and the
    // defer button's answer refused.
    MsgBoxParams deferred = p;
    ApplyDeferral(deferred, deferrals, LOCALE_NAME_USER_DEFAULT);
    kt::RelayRun run = kt::RelayToUsers(GetCommandLineW(), RelayEntries(p, deferrals), AskedOf(deferred), p.session,
                                        InLanguage(p, deferrals));
    if (run.answered) {
        KeepDeferrals(deferred, kt::enPerson, run.answer, deferrals, run.who);
        return run.answer;
    }
    int code = NobodyAnswer(deferred);
    kt::log_printf(kt::get_log(), "RLY", "nobody answered: %d", code);
    KeepDeferrals(deferred, kt::enNone, code, deferrals, L"");
    return code;
}

void NoticeToUsers(const MsgBoxParams& p, HANDLE command) {
    kt::RelayEnd end;
    end.until = command;
    end.notice = true;
    kt::RelayRun run =
        kt::RelayToUsers(GetCommandLineW(), RelayEntries(p, DeferralsNow()), AskedOf(p), p.session,
                                        InLanguage(p, DeferralsNow()), end);
    if (run.choice.whom != kt::whAsked)
        kt::log_wprintf(kt::get_log(), L"RUN", L"nobody sees the notice (%s): the command runs all the same",
                        kt::WhomText(run.choice.whom));
}
