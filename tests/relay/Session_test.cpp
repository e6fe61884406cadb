#include <gtest/gtest.h>

#include <map>

#include "relay/Dlls.h"
#include "relay/Relay.h"

namespace {

using kt::kNoSession;

struct ChoiceCase {
    const char* name;
    DWORD console;
    std::vector<kt::SessionReport::Session> sessions;
    kt::SessionScope scope;
    std::map<DWORD, DWORD> token_errors;  // recorded WTSQueryUserToken answers; absent: ERROR_NO_TOKEN
    kt::Whom whom;
    std::vector<DWORD> asked;
    DWORD error;
};

// Recorded answers of the system, from Wine (console 1, no session listed)
// and from the cases Windows documents: every active session with a user.
TEST(ChooseSessions, RecordedAnswers) {
    const DWORD kNoToken = ERROR_NO_TOKEN, kNoRight = ERROR_PRIVILEGE_NOT_HELD;
    const kt::SessionScope kAll = kt::scAll, kConsole = kt::scConsole;
    // id, active, user
    const kt::SessionReport::Session services{0, false, false}, console_user{1, true, true},
        console_empty{1, true, false}, console_disconnected{1, false, true}, remote2{2, true, true},
        remote3{3, true, true}, disconnected4{4, false, true}, listening{65536, false, false};
    const ChoiceCase cases[] = {
        {"wine_console_user", 1, {}, kAll, {{1, 0}}, kt::whAsked, {1}, 0},
        {"wine_console_only", 1, {}, kConsole, {{1, 0}}, kt::whAsked, {1}, 0},
        {"one_user_at_the_console", 1, {services, console_user, listening}, kAll, {{1, 0}}, kt::whAsked, {1}, 0},
        {"a_console_user_and_a_remote_one", 1, {services, console_user, remote2}, kAll, {{1, 0}, {2, 0}}, kt::whAsked,
         {1, 2}, 0},
        {"multi_session_host", 1, {services, console_empty, remote2, remote3, disconnected4}, kAll,
         {{2, 0}, {3, 0}, {4, 0}}, kt::whAsked, {2, 3}, 0},
        {"no_console_attached", kNoSession, {remote3}, kAll, {{3, 0}}, kt::whAsked, {3}, 0},
        {"only_disconnected_users", 1, {services, console_disconnected, disconnected4}, kAll, {{1, 0}, {4, 0}},
         kt::whNoUser, {}, 0},
        {"nobody_logged_on", 1, {services, console_empty}, kAll, {}, kt::whNoUser, {}, 0},
        {"nothing_at_all", kNoSession, {}, kAll, {}, kt::whNoUser, {}, 0},
        {"session_0_never", 0, {{0, true, true}}, kAll, {{0, 0}}, kt::whNoUser, {}, 0},
        {"a_user_left_meanwhile", 1, {console_user, remote2}, kAll, {{1, 0}, {2, kNoToken}}, kt::whAsked, {1}, 0},
        {"every_user_left_meanwhile", 1, {remote2}, kAll, {{2, kNoToken}}, kt::whNoUser, {}, kNoToken},
        {"no_privilege", 1, {console_user, remote2}, kAll, {{1, kNoRight}, {2, kNoRight}}, kt::whNoRight, {}, kNoRight},
        {"no_privilege_for_the_second", 1, {console_user, remote2}, kAll, {{1, 0}, {2, kNoRight}}, kt::whNoRight, {},
         kNoRight},
        {"access_denied_is_no_right", 1, {}, kAll, {{1, ERROR_ACCESS_DENIED}}, kt::whNoRight, {}, ERROR_ACCESS_DENIED},
        // One session refused: the others are still asked.
        {"access_denied_for_one_session", 1, {console_user, remote2, remote3}, kAll,
         {{1, 0}, {2, ERROR_ACCESS_DENIED}, {3, 0}}, kt::whAsked, {1, 3}, 0},
        {"access_denied_and_a_user_left", 1, {console_user, remote2}, kAll, {{1, kNoToken}, {2, ERROR_ACCESS_DENIED}},
         kt::whNoRight, {}, ERROR_ACCESS_DENIED},
        // Session=Console: the remote users are not asked.
        {"console_with_remote_users", 1, {services, console_user, remote2, remote3}, kConsole,
         {{1, 0}, {2, 0}, {3, 0}}, kt::whAsked, {1}, 0},
        {"console_nobody_there", 1, {services, console_empty, remote2}, kConsole, {{2, 0}}, kt::whNoConsoleUser, {}, 0},
        {"console_disconnected", 1, {console_disconnected, remote2}, kConsole, {{1, 0}, {2, 0}}, kt::whNoConsoleUser,
         {}, 0},
    };
    for (const ChoiceCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<DWORD> queried;
        kt::SessionReport report;
        report.console = c.console;
        report.sessions = c.sessions;
        kt::SessionChoice choice = kt::ChooseSessions(report, c.scope, [&](DWORD id) {
            queried.push_back(id);
            auto it = c.token_errors.find(id);
            return it == c.token_errors.end() ? kNoToken : it->second;
        });
        EXPECT_EQ(choice.whom, c.whom);
        EXPECT_EQ(choice.sessions, c.asked);
        EXPECT_EQ(choice.error, c.error);
        // A user's token is taken only for a session that may be asked.
        for (DWORD id : queried) {
            bool candidate = id == c.console;
            for (const auto& s : c.sessions) candidate |= s.id == id && s.active && s.user;
            EXPECT_TRUE(candidate && id != 0) << id;
        }
        EXPECT_STRNE(kt::WhomText(choice.whom), L"?");
    }
}

// 100 sessions: each asked once, and each token queried once.
TEST(ChooseSessions, AHundredSessions) {
    kt::SessionReport report;
    report.console = 1;
    for (DWORD id = 1; id <= 100; ++id) report.sessions.push_back({id, true, true});
    size_t queries = 0;
    kt::SessionChoice choice = kt::ChooseSessions(report, kt::scAll, [&](DWORD) {
        ++queries;
        return 0u;
    });
    EXPECT_EQ(choice.sessions.size(), 100u);
    EXPECT_EQ(queries, 100u);
}

// Who has arrived and who has left between the report velmo asked from and
// a later one, as the relay sees each change.
TEST(FollowSessions, NewcomersAndLeavers) {
    using S = kt::SessionReport::Session;
    const std::wstring ann = L"WINE\\ann", bob = L"WINE\\bob", cyd = L"WINE\\cyd";
    struct Case {
        const char* name;
        DWORD console;
        std::vector<S> now;
        kt::SessionScope scope;
        std::vector<kt::AskedSession> asked;
        std::vector<DWORD> arrived, left;
    };
    const Case cases[] = {
        {"nothing_changed", 1, {{1, true, true, ann}, {2, true, true, bob}}, kt::scAll, {{1, ann}, {2, bob}}, {}, {}},
        {"a_logon", 1, {{1, true, true, ann}, {2, true, true, bob}, {3, true, true, cyd}}, kt::scAll,
         {{1, ann}, {2, bob}}, {3}, {}},
        {"a_session_without_its_user_yet", 1, {{1, true, true, ann}, {3, true, false}}, kt::scAll, {{1, ann}}, {}, {}},
        {"a_reconnect", 1, {{1, true, true, ann}, {4, true, true, bob}}, kt::scAll, {{1, ann}}, {4}, {}},
        {"still_disconnected", 1, {{1, true, true, ann}, {4, false, true, bob}}, kt::scAll, {{1, ann}}, {}, {}},
        {"a_disconnect", 1, {{1, true, true, ann}, {2, false, true, bob}}, kt::scAll, {{1, ann}, {2, bob}}, {}, {2}},
        {"a_logoff", 1, {{1, true, true, ann}, {2, true, false}}, kt::scAll, {{1, ann}, {2, bob}}, {}, {2}},
        {"a_session_gone", 1, {{1, true, true, ann}}, kt::scAll, {{1, ann}, {2, bob}}, {}, {2}},
        // Locked or unlocked, a session is active: asked once, behind its lock.
        {"an_unlock", 1, {{1, true, true, ann, WTSActive, kWtsSessionStateUnlock}}, kt::scAll, {{1, ann}}, {}, {}},
        {"another_user_in_the_same_session", 2, {{2, true, true, cyd}}, kt::scAll, {{2, bob}}, {2}, {2}},
        {"a_name_not_known_then", 2, {{2, true, true, bob}}, kt::scAll, {{2, L""}}, {}, {}},
        {"session_0_never", 1, {{0, true, true, L"NT AUTHORITY\\SYSTEM"}, {1, true, true, ann}}, kt::scAll, {{1, ann}},
         {}, {}},
        {"console_only_ignores_a_remote_logon", 1, {{1, true, true, ann}, {2, true, true, bob}}, kt::scConsole,
         {{1, ann}}, {}, {}},
        {"the_console_moves", 2, {{1, false, true, ann}, {2, true, true, bob}}, kt::scConsole, {{1, ann}}, {2}, {1}},
        // Wine lists no session: its console by id, asked once, never left.
        {"an_unlisted_console_asked", 1, {}, kt::scAll, {{1, L""}}, {}, {}},
        {"an_unlisted_console_not_asked", 1, {}, kt::scConsole, {}, {1}, {}},
        {"an_unlisted_console_beside_listed_sessions", 1, {{2, true, true, bob}}, kt::scAll, {{1, L""}, {2, bob}}, {}, {}},
        {"nobody_at_first", 1, {{2, true, true, bob}}, kt::scAll, {}, {1, 2}, {}},
        {"no_console", kNoSession, {{3, true, true, cyd}}, kt::scAll, {}, {3}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        kt::SessionReport now;
        now.console = c.console;
        now.sessions = c.now;
        EXPECT_EQ(kt::Newcomers(now, c.scope, c.asked), c.arrived);
        EXPECT_EQ(kt::Leavers(now, c.asked), c.left);
    }
}

// The log's words: the lock flags are reversed on Windows 7 and 2008 R2.
TEST(ChooseSessions, StateAndLockWords) {
    EXPECT_STREQ(kt::LockText(0, false), L"locked");
    EXPECT_STREQ(kt::LockText(1, false), L"unlocked");
    EXPECT_STREQ(kt::LockText(0, true), L"unlocked");
    EXPECT_STREQ(kt::LockText(1, true), L"locked");
    EXPECT_STREQ(kt::LockText(-1, false), L"lock not known");
    EXPECT_STREQ(kt::LockText(7, true), L"lock not known");
    EXPECT_STREQ(kt::StateText(WTSActive), L"active");
    EXPECT_STREQ(kt::StateText(WTSDisconnected), L"disconnected");
    for (int state = WTSActive; state <= WTSInit; ++state) EXPECT_STRNE(kt::StateText(state), L"?") << state;
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

}  // namespace
