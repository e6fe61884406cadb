// Deferrals: the record's rules, the box's words, and the store
// (under Wine the tests run elevated: the machine's store).
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "app/CmdLine.h"
#include "app/Deferral.h"
#include "io/security.h"
#include "tests/common.h"

namespace {

using test::Narrow;

SYSTEMTIME At(WORD year, WORD month, WORD day, WORD hour = 0, WORD minute = 0) {
    SYSTEMTIME t{};
    t.wYear = year;
    t.wMonth = month;
    t.wDay = day;
    t.wHour = hour;
    t.wMinute = minute;
    return t;
}

// What is left before the box, by the record and the deadline.
TEST(Deferral, WhatIsLeft) {
    DeferralTerms three;
    three.key = L"k";
    three.times = 3;
    DeferralTerms until = three;
    until.has_deadline = true;
    until.date_only = true;
    until.deadline = At(2026, 12, 31);
    DeferralTerms until_time = until;
    until_time.date_only = false;
    until_time.deadline = At(2026, 12, 31, 17, 30);
    DeferralTerms unlimited = until;
    unlimited.times = 0;
    const DeferralRecord none, two{DeferralRecord::rsGood, 2, L""}, zero{DeferralRecord::rsGood, 0, L""},
        seven{DeferralRecord::rsGood, 7, L""}, broken{DeferralRecord::rsUnusable, 0, L"Left is not a REG_DWORD"};
    const SYSTEMTIME before = At(2026, 12, 10, 9), last_minute = At(2026, 12, 31, 23, 59),
                     after = At(2027, 1, 1, 0, 0), half_past = At(2026, 12, 31, 17, 30);
    const struct {
        const char* name;
        const DeferralTerms* terms;
        const DeferralRecord* record;
        SYSTEMTIME now;
        int left;
        bool fresh, passed;
    } cases[] = {
        {"new", &three, &none, before, 3, false, false},
        {"two_left", &three, &two, before, 2, false, false},
        {"none_left", &three, &zero, before, 0, false, false},
        {"out_of_range_is_new", &three, &seven, before, 3, true, false},
        {"unreadable_is_new", &three, &broken, before, 3, true, false},
        {"through_the_last_day", &until, &two, last_minute, 2, false, false},
        {"the_day_after", &until, &two, after, 0, false, true},
        {"until_a_time", &until_time, &two, At(2026, 12, 31, 17, 29), 2, false, false},
        {"at_that_time", &until_time, &two, half_past, 0, false, true},
        {"unlimited_until_the_date", &unlimited, &none, before, kUnlimited, false, false},
        {"unlimited_after_the_date", &unlimited, &none, after, 0, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LeftNow l = DeferralsLeft(*c.terms, *c.record, c.now);
        EXPECT_EQ(l.left, c.left);
        EXPECT_EQ(l.fresh, c.fresh);
        EXPECT_EQ(l.deadline_passed, c.passed);
    }
}

// Only a person's choice of the defer button uses one; any other answer of
// a person ends the cycle; nothing else changes the record.
TEST(Deferral, WhatAnEndingDoes) {
    const struct {
        const char* name;
        kt::Ending ending;
        int answer, left;
        RecordChange change;
    } cases[] = {
        {"a_person_defers", kt::enPerson, IDNO, 2, rcUse},
        {"a_person_defers_unlimited", kt::enPerson, IDNO, kUnlimited, rcUse},
        {"a_person_proceeds", kt::enPerson, IDYES, 2, rcRemove},
        {"a_person_proceeds_with_none_left", kt::enPerson, IDYES, 0, rcRemove},
        {"a_person_cancels", kt::enPerson, IDCANCEL, 1, rcRemove},
        {"none_left_to_use", kt::enPerson, IDNO, 0, rcNothing},
        {"the_countdown_on_the_defer_button", kt::enCountdown, IDNO, 2, rcNothing},
        {"the_countdown_proceeds", kt::enCountdown, IDYES, 2, rcNothing},
        {"ended_from_outside_or_nobody", kt::enNone, 0, 2, rcNothing},
    };
    for (const auto& c : cases) EXPECT_EQ(AfterEnding(c.ending, c.answer, IDNO, c.left), c.change) << c.name;
    EXPECT_TRUE(DeferralsOfTheMachine(true, false));
    EXPECT_TRUE(DeferralsOfTheMachine(false, true));
    EXPECT_FALSE(DeferralsOfTheMachine(false, false));
}

// {left} and {until} in the person's own format; other braces stay.
TEST(Deferral, TheBoxsWords) {
    DeferralTerms terms;
    terms.key = L"k";
    terms.times = 3;
    terms.has_deadline = true;
    terms.deadline = At(2026, 12, 31, 17, 30);
    DeferralTerms day = terms;
    day.date_only = true;
    const struct {
        const wchar_t* locale;
        const wchar_t* until;  // with the time
        const wchar_t* day;
    } cases[] = {
        {L"en-US", L"12/31/2026 5:30 PM", L"12/31/2026"},
        {L"de-DE", L"31.12.2026 17:30", L"31.12.2026"},
        {L"ru-RU", L"31.12.2026 17:30", L"31.12.2026"},
        {L"fi-FI", L"31.12.2026 17.30", L"31.12.2026"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.locale));
        EXPECT_EQ(FormatUntil(terms, c.locale), c.until);
        EXPECT_EQ(FormatUntil(day, c.locale), c.day);
        EXPECT_EQ(WithDeferral(L"Later ({left} left, until {until}) {other}", 2, terms, c.locale),
                  L"Later (2 left, until " + std::wstring(c.until) + L") {other}");
    }
    EXPECT_EQ(WithDeferral(L"{left}{left}", 0, terms, L"en-US"), L"00");
    EXPECT_EQ(WithDeferral(L"{left}", kUnlimited, terms, L"en-US"), L"\u221E");
    DeferralTerms no_deadline = terms;
    no_deadline.has_deadline = false;
    EXPECT_EQ(WithDeferral(L"[{until}]", 1, no_deadline, L"en-US"), L"[]");

    // On the box: without Defer= braces stay; with none left, button 2 is
    // greyed and the countdown's default moves to button 1.
    MsgBoxParams plain;
    ASSERT_TRUE(ParseCmdLine(plain, L"velmo.exe \"{left}\" c \"YesNo|DefButton2|Button2=Later ({left})\" 30").ok());
    ApplyDeferral(plain, 0, L"en-US");
    EXPECT_EQ(plain.text, L"{left}");
    EXPECT_EQ(plain.look.locked, -1);
    for (int left : {2, 0}) {
        MsgBoxParams p;
        ASSERT_TRUE(
            ParseCmdLine(p, L"velmo.exe \"{left} left\" c \"YesNo|DefButton2|Defer=k:3|Button2=Later ({left})\" 30").ok());
        ApplyDeferral(p, left, L"en-US");
        EXPECT_EQ(p.text, std::to_wstring(left) + L" left");
        EXPECT_EQ(p.look.labels[1], L"Later (" + std::to_wstring(left) + L")");
        EXPECT_EQ(p.look.locked, left ? -1 : 1);
        EXPECT_EQ(p.flags & MB_DEFMASK, left ? static_cast<uint32_t>(MB_DEFBUTTON2) : static_cast<uint32_t>(MB_DEFBUTTON1));
    }
}

// The key's lock: one per key in any letter case, per user in a user's
// store; in the machine's store inside the namespace where there is one.
TEST(DeferralLock, Names) {
    const struct {
        const wchar_t* key;
        const wchar_t* sid;
        bool in_namespace;
        const wchar_t* name;
    } cases[] = {
        {L"Office365", L"", true, L"velmo-deferrals\\OFFICE365"},
        {L"office365", L"", true, L"velmo-deferrals\\OFFICE365"},
        {L"a.b-c_D", L"", false, L"Global\\velmo-deferral-machine-A.B-C_D"},
        {L"office365", L"S-1-5-21-1-2-3-1001", false, L"Global\\velmo-deferral-S-1-5-21-1-2-3-1001-OFFICE365"},
        // A user's store never uses the machine's namespace.
        {L"office365", L"S-1-5-21-1-2-3-1001", true, L"Global\\velmo-deferral-S-1-5-21-1-2-3-1001-OFFICE365"},
    };
    for (const auto& c : cases) EXPECT_EQ(DeferralLockName(c.key, c.sid, c.in_namespace), c.name) << Narrow(c.name);
}

// The namespace's and the machine's mutexes' security: full control for
// SYSTEM and Administrators; a token whose Administrators is deny-only (a
// standard user's, an unelevated administrator's) gets nothing.
TEST(DeferralLock, OnlySystemAndAdministrators) {
    kt::unique_local sd = kt::SdFromSddl(std::wstring(L"O:SYG:SY") + kDeferralLockSddl);
    ASSERT_TRUE(sd) << GetLastError();
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(sd.get(), &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED) << "inherits what its parent allows";
    BYTE admins[SECURITY_MAX_SID_SIZE];
    DWORD bytes = sizeof admins;
    ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &bytes));
    kt::unique_handle own = kt::OwnToken(TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY);
    ASSERT_TRUE(own);
    HANDLE restricted = nullptr;
    SID_AND_ATTRIBUTES deny_only{admins, 0};
    ASSERT_TRUE(CreateRestrictedToken(own.get(), 0, 1, &deny_only, 0, nullptr, 0, nullptr, &restricted))
        << GetLastError();
    kt::unique_handle standard(restricted);
    GENERIC_MAPPING mapping = {STANDARD_RIGHTS_READ | MUTANT_QUERY_STATE, STANDARD_RIGHTS_WRITE,
                               STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE, MUTANT_ALL_ACCESS};
    auto granted = [&](HANDLE token) {
        HANDLE i = nullptr;
        if (!DuplicateToken(token, SecurityIdentification, &i)) return ~0UL;
        kt::unique_handle identity(i);
        PRIVILEGE_SET privileges{};
        DWORD size = sizeof privileges, access = 0;
        BOOL allowed = FALSE;
        if (!AccessCheck(sd.get(), identity.get(), MAXIMUM_ALLOWED, &mapping, &privileges, &size, &access, &allowed))
            return ~0UL;
        return allowed ? static_cast<unsigned long>(access) : 0UL;
    };
    EXPECT_EQ(granted(own.get()), static_cast<unsigned long>(MUTANT_ALL_ACCESS)) << "an elevated administrator";
    EXPECT_EQ(granted(standard.get()), 0UL) << "Administrators deny-only";
}

// The store, as this run's account has it: a key of the test's own.
class Store : public ::testing::Test {
protected:
    void SetUp() override {
        key_ = L"velmo-test-" + std::to_wstring(GetCurrentProcessId());
        terms_.key = key_;
        terms_.times = 3;
    }
    void TearDown() override { DeferralStore(key_).Remove(); }
    // Writes Left raw, of any type.
    void WriteLeft(DWORD type, const void* data, DWORD bytes) {
        DeferralStore store(key_);
        const bool machine = store.Where().compare(0, 4, L"HKLM") == 0;
        HKEY k = nullptr;
        ASSERT_EQ(RegCreateKeyExW(machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER,
                                  store.Where().substr(5).c_str(), 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                                  nullptr, &k, nullptr),
                  ERROR_SUCCESS);
        kt::unique_hkey key(k);
        RegSetValueExW(key.get(), L"Left", 0, type, static_cast<const BYTE*>(data), bytes);
    }
    std::wstring key_;
    DeferralTerms terms_;
};

TEST_F(Store, UsedThenRemoved) {
    DeferralStore store(key_);
    EXPECT_EQ(store.Read().state, DeferralRecord::rsNone);
    int left = -5;
    ASSERT_TRUE(store.Use(terms_, L"WINE\\ann", &left).ok());
    EXPECT_EQ(left, 2);
    DeferralRecord r = store.Read();
    EXPECT_EQ(r.state, DeferralRecord::rsGood);
    EXPECT_EQ(r.left, 2u);
    ASSERT_TRUE(store.Use(terms_, L"WINE\\ann", &left).ok());
    ASSERT_TRUE(store.Use(terms_, L"WINE\\ann", &left).ok());
    EXPECT_EQ(left, 0);
    // None left: nothing more is used.
    EXPECT_FALSE(store.Use(terms_, L"WINE\\ann", &left).ok());
    EXPECT_EQ(store.Read().left, 0u);
    ASSERT_TRUE(store.Remove().ok());
    EXPECT_EQ(store.Read().state, DeferralRecord::rsNone);
    EXPECT_TRUE(store.Remove().ok()) << "removing what is gone";
    // Under Wine the tests run elevated: the machine's store.
    EXPECT_EQ(store.Where(), (kt::Elevated() ? L"HKLM\\SOFTWARE\\velmo\\Deferrals\\" : L"HKCU\\Software\\velmo\\Deferrals\\") + key_);
}

TEST_F(Store, ABrokenRecordCountsAsNew) {
    const wchar_t text[] = L"two";
    WriteLeft(REG_SZ, text, sizeof text);
    DeferralRecord r = DeferralStore(key_).Read();
    EXPECT_EQ(r.state, DeferralRecord::rsUnusable);
    EXPECT_EQ(r.why, L"Left is not a REG_DWORD");
    int left = 0;
    ASSERT_TRUE(DeferralStore(key_).Use(terms_, L"WINE\\ann", &left).ok());
    EXPECT_EQ(left, 2) << "a broken record is a new one";
    const DWORD seven = 7;
    WriteLeft(REG_DWORD, &seven, sizeof seven);
    ASSERT_TRUE(DeferralStore(key_).Use(terms_, L"WINE\\ann", &left).ok());
    EXPECT_EQ(left, 2) << "out of range is new";
}

// A store whose reads wait, once the record is read, until another run has
// read it too (or 100 ms have passed): without the key's lock both would
// write what they read less one, and one deferral would be lost.
class MeetingStore : public DeferralStore {
public:
    struct Meeting {
        std::mutex m;
        std::condition_variable cv;
        int reads = 0;
    };
    MeetingStore(const std::wstring& key, Meeting& meeting) : DeferralStore(key), meeting_(meeting) {}
    DeferralRecord Read() const override {
        DeferralRecord record = DeferralStore::Read();
        std::unique_lock<std::mutex> lock(meeting_.m);
        const int mine = ++meeting_.reads;
        meeting_.cv.notify_all();
        meeting_.cv.wait_for(lock, std::chrono::milliseconds(100), [&] { return meeting_.reads > mine; });
        return record;
    }

private:
    Meeting& meeting_;
};

// Runs at once lose no deferral: each take reads the record again under
// the key's lock.
TEST_F(Store, ChangesAtOnceLoseNothing) {
    terms_.times = 40;
    MeetingStore::Meeting meeting;
    std::vector<std::thread> runs;
    std::vector<int> given(2, 0);
    for (int i = 0; i < 2; ++i) {
        runs.emplace_back([&, i] {
            for (int n = 0; n < 4; ++n) {
                if (MeetingStore(key_, meeting).Use(terms_, L"WINE\\ann", nullptr).ok()) ++given[i];
            }
        });
    }
    for (std::thread& t : runs) t.join();
    EXPECT_EQ(given[0] + given[1], 8);
    EXPECT_EQ(DeferralStore(key_).Read().left, 32u) << "a deferral was lost";
}

// Where there is no private namespace (Wine), the machine's lock is the
// global name: a take waits while another holds it.
TEST_F(Store, WithoutANamespaceTheGlobalName) {
    {
        kt::unique_boundary probe(CreateBoundaryDescriptorW(L"velmo-test", 0));
        if (probe) GTEST_SKIP() << "this system has private namespaces";
    }
    if (DeferralStore(key_).Where().compare(0, 4, L"HKLM") != 0) GTEST_SKIP() << "not the machine's store";
    kt::unique_handle held(CreateMutexW(nullptr, TRUE, DeferralLockName(key_, L"", false).c_str()));
    ASSERT_TRUE(held);
    kt::result taken;
    int left = 0;
    kt::unique_handle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread run([&] {
        taken = DeferralStore(key_).Use(terms_, L"WINE\\ann", &left);
        SetEvent(done.get());
    });
    EXPECT_EQ(WaitForSingleObject(done.get(), 300), static_cast<DWORD>(WAIT_TIMEOUT)) << "the take did not wait";
    ReleaseMutex(held.get());
    EXPECT_EQ(WaitForSingleObject(done.get(), 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    run.join();
    EXPECT_TRUE(taken.ok());
    EXPECT_EQ(taken.text(), L"") << "kept without the lock";
    EXPECT_EQ(left, 2);
}

}  // namespace
