#include <gtest/gtest.h>

#include <map>

#include "relay/Relay.h"

namespace {

using kt::kNoSession;

struct ChoiceCase {
    const char* name;
    DWORD console;
    std::vector<kt::SessionReport::Session> sessions;
    std::map<DWORD, DWORD> token_errors;  // recorded WTSQueryUserToken answers; absent: ERROR_NO_TOKEN
    kt::Whom whom;
    DWORD session;
    DWORD error;
};

// Recorded answers of the system, from Wine (console 1, no session listed)
// and from the cases Windows documents.
TEST(ChooseSession, RecordedAnswers) {
    const DWORD kNoToken = ERROR_NO_TOKEN, kNoRight = ERROR_PRIVILEGE_NOT_HELD;
    const ChoiceCase cases[] = {
        {"wine_console_user", 1, {}, {{1, 0}}, kt::whAsked, 1, 0},
        {"console_user_before_remote_users", 1, {{1, true, true}, {2, true, true}, {3, true, true}},
         {{1, 0}, {2, 0}, {3, 0}}, kt::whAsked, 1, 0},
        {"no_console_user_one_remote", 1, {{0, false, false}, {1, true, false}, {2, true, true}}, {{2, 0}},
         kt::whAsked, 2, 0},
        {"no_console_attached_one_remote", kNoSession, {{3, true, true}}, {{3, 0}}, kt::whAsked, 3, 0},
        {"disconnected_user_is_not_asked", 1, {{2, true, true}, {3, false, true}}, {{2, 0}, {3, 0}}, kt::whAsked,
         2, 0},
        {"two_remote_users", 1, {{2, true, true}, {3, true, true}}, {{2, 0}, {3, 0}}, kt::whSeveralUsers,
         kNoSession, kNoToken},
        {"nobody_logged_on", 1, {{0, false, false}, {1, true, false}}, {}, kt::whNoUser, kNoSession, kNoToken},
        {"nothing_at_all", kNoSession, {}, {}, kt::whNoUser, kNoSession, 0},
        {"remote_user_left_meanwhile", 1, {{2, true, true}}, {{2, kNoToken}}, kt::whNoUser, kNoSession, kNoToken},
        {"no_privilege_for_the_console", 1, {{2, true, true}}, {{1, kNoRight}, {2, kNoRight}}, kt::whNoRight,
         kNoSession, kNoRight},
        {"no_privilege_for_the_remote_one", 1, {{2, true, true}}, {{2, kNoRight}}, kt::whNoRight, kNoSession,
         kNoRight},
        {"access_denied_is_no_right", 1, {}, {{1, ERROR_ACCESS_DENIED}}, kt::whNoRight, kNoSession,
         ERROR_ACCESS_DENIED},
    };
    for (const ChoiceCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<DWORD> asked;
        kt::SessionReport report;
        report.console = c.console;
        report.sessions = c.sessions;
        kt::SessionChoice choice = kt::ChooseSession(report, [&](DWORD id) {
            asked.push_back(id);
            auto it = c.token_errors.find(id);
            return it == c.token_errors.end() ? kNoToken : it->second;
        });
        EXPECT_EQ(choice.whom, c.whom);
        EXPECT_EQ(choice.session, c.session);
        EXPECT_EQ(choice.error, c.error);
        // A user's token is taken only for the session that is asked, and
        // at most two sessions are tried.
        EXPECT_LE(asked.size(), 2u);
        if (c.whom == kt::whAsked) {
            EXPECT_EQ(asked.back(), c.session);
        }
        EXPECT_STRNE(kt::WhomText(choice.whom), L"?");
    }
}

// Session 0 is nobody's screen, whatever its station's flags say.
TEST(StationSeen, FlagsAndSession) {
    const struct {
        bool read;
        DWORD flags;
        DWORD session;
        bool seen;
    } cases[] = {
        {true, WSF_VISIBLE, 1, true},  {true, 0, 1, false},          {false, 0, 1, true},
        {true, WSF_VISIBLE, 0, false}, {false, 0, 0, false},         {true, WSF_VISIBLE, 2, true},
        {true, WSF_VISIBLE, kNoSession, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(kt::StationSeen(c.read, c.flags, c.session), c.seen) << c.read << " " << c.flags << " " << c.session;
    }
    // The tests run on a display Wine shows, in its session 1.
    EXPECT_TRUE(kt::StationVisible());
}

// Blocks as CreateEnvironmentBlock gives them: entries ended by a zero each.
std::wstring Block(std::initializer_list<const wchar_t*> entries) {
    std::wstring b;
    for (const wchar_t* e : entries) {
        b += e;
        b += L'\0';
    }
    return b + L'\0';
}

TEST(WithEntry, PutsTheMarkerInItsPlace) {
    const wchar_t* kEntry = L"VELMO_RELAYED_BY=00A4";
    struct {
        const char* name;
        std::wstring block;
        std::wstring want;
    } cases[] = {
        {"empty", Block({}), Block({kEntry})},
        {"sorted_between", Block({L"APPDATA=a", L"windir=C:\\windows"}),
         Block({L"APPDATA=a", kEntry, L"windir=C:\\windows"})},
        {"at_the_end", Block({L"APPDATA=a", L"TEMP=t"}), Block({L"APPDATA=a", L"TEMP=t", kEntry})},
        {"replaces_any_case", Block({L"A=1", L"velmo_relayed_by=1234", L"Z=2"}), Block({L"A=1", kEntry, L"Z=2"})},
        {"longer_name_is_another", Block({L"VELMO_RELAYED_BYX=1"}), Block({kEntry, L"VELMO_RELAYED_BYX=1"})},
        {"drive_entries_stay_first", Block({L"=C:=C:\\", L"=D:=D:\\x", L"Z=1"}),
         Block({L"=C:=C:\\", L"=D:=D:\\x", kEntry, L"Z=1"})},
        {"value_with_equals", Block({L"A=x=y", L"W=1"}), Block({L"A=x=y", kEntry, L"W=1"})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(kt::WithEntry(c.block.c_str(), kEntry), c.want);
    }
    EXPECT_EQ(kt::WithEntry(nullptr, kEntry), Block({kEntry}));
    EXPECT_EQ(kt::WithEntry(Block({L"A=1"}).c_str(), L""), Block({L"A=1"}));
}

}  // namespace
