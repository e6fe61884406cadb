// Deferrals: the words, the record's rules, the box's words, and the store
// (under Wine the tests run elevated: the machine's store).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app/CmdLine.h"
#include "app/Deferral.h"
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

// Defer= and DeferUntil= on the command line, with the box's other words.
TEST(Deferral, TheWords) {
    const struct {
        const wchar_t* flags;
        const wchar_t* error;  // null: success
        const wchar_t* key;
        int times;
        bool deadline;
        bool date_only;
    } cases[] = {
        {L"YesNo|Defer=Office365:3", nullptr, L"Office365", 3, false, false},
        {L"defer=a.b-c_D:99|OkCancel", nullptr, L"a.b-c_D", 99, false, false},
        {L"YesNo|Defer=x:1|DeferUntil=2026-12-31", nullptr, L"x", 1, true, true},
        {L"YesNo|Defer=x|DEFERUNTIL=2027-02-28T17:30", nullptr, L"x", 0, true, false},
        {L"YesNoCancel|Defer=x:05", nullptr, L"x", 5, false, false},
        {L"YesNo|Defer=kkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkk:2", nullptr, L"kkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkk", 2, false, false},
        // Bad keys, times and dates.
        {L"YesNo|Defer=", L"ERROR: not <key>[:<times>] (1 to 64 letters, digits, . - _; 1 to 99 times) 'Defer='", L"", 0, false, false},
        {L"YesNo|Defer=:3", L"ERROR: not <key>[:<times>] (1 to 64 letters, digits, . - _; 1 to 99 times) 'Defer=:3'", L"", 0, false, false},
        {L"YesNo|Defer=kkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkk:2",
         L"ERROR: not <key>[:<times>] (1 to 64 letters, digits, . - _; 1 to 99 times) "
         L"'Defer=kkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkk:2'", L"", 0, false, false},
        {L"YesNo|Defer=my app:3", L"ERROR: not <key>[:<times>] (1 to 64 letters, digits, . - _; 1 to 99 times) 'Defer=my app:3'", L"", 0, false, false},
        {L"YesNo|Defer=..\\x:3", L"ERROR: not <key>[:<times>] (1 to 64 letters, digits, . - _; 1 to 99 times) 'Defer=..\\x:3'", L"", 0, false, false},
        {L"YesNo|Defer=x:0", L"ERROR: not <key>[:<times>] (1 to 64 letters, digits, . - _; 1 to 99 times) 'Defer=x:0'", L"", 0, false, false},
        {L"YesNo|Defer=x:100", L"ERROR: not <key>[:<times>] (1 to 64 letters, digits, . - _; 1 to 99 times) 'Defer=x:100'", L"", 0, false, false},
        {L"YesNo|Defer=x:-1", L"ERROR: not <key>[:<times>] (1 to 64 letters, digits, . - _; 1 to 99 times) 'Defer=x:-1'", L"", 0, false, false},
        {L"YesNo|Defer=x:", L"ERROR: not <key>[:<times>] (1 to 64 letters, digits, . - _; 1 to 99 times) 'Defer=x:'", L"", 0, false, false},
        {L"YesNo|Defer=x:3|DeferUntil=31.12.2026",
         L"ERROR: not a date YYYY-MM-DD or YYYY-MM-DDThh:mm 'DeferUntil=31.12.2026'", L"", 0, false, false},
        {L"YesNo|Defer=x:3|DeferUntil=2027-02-29", L"ERROR: not a date YYYY-MM-DD or YYYY-MM-DDThh:mm 'DeferUntil=2027-02-29'", L"", 0, false, false},
        {L"YesNo|Defer=x:3|DeferUntil=2026-12-31T24:00",
         L"ERROR: not a date YYYY-MM-DD or YYYY-MM-DDThh:mm 'DeferUntil=2026-12-31T24:00'", L"", 0, false, false},
        {L"YesNo|Defer=x:3|DeferUntil=2026-12-31 17:30",
         L"ERROR: not a date YYYY-MM-DD or YYYY-MM-DDThh:mm 'DeferUntil=2026-12-31 17:30'", L"", 0, false, false},
        {L"YesNo|Defer=x:3|DeferUntil=2026-1-31", L"ERROR: not a date YYYY-MM-DD or YYYY-MM-DDThh:mm 'DeferUntil=2026-1-31'", L"", 0, false, false},
        {L"YesNo|Defer=x:3|DeferUntil=2026-04-31", L"ERROR: not a date YYYY-MM-DD or YYYY-MM-DDThh:mm 'DeferUntil=2026-04-31'", L"", 0, false, false},
        {L"YesNo|Defer=x:3|DeferUntil=2100-02-29", L"ERROR: not a date YYYY-MM-DD or YYYY-MM-DDThh:mm 'DeferUntil=2100-02-29'", L"", 0, false, false},
        {L"YesNo|Defer=x:3|DeferUntil=2026-13-01", L"ERROR: not a date YYYY-MM-DD or YYYY-MM-DDThh:mm 'DeferUntil=2026-13-01'", L"", 0, false, false},
        {L"YesNo|Defer=x:3|DeferUntil=2026-12-00", L"ERROR: not a date YYYY-MM-DD or YYYY-MM-DDThh:mm 'DeferUntil=2026-12-00'", L"", 0, false, false},
        {L"YesNo|Defer=x:3|DeferUntil=2028-02-29", nullptr, L"x", 3, true, true},
        {L"YesNo|Defer=x:3|DeferUntil=2000-02-29T00:00", nullptr, L"x", 3, true, false},
        // The words together, and a box that can defer.
        {L"YesNo|DeferUntil=2026-12-31", L"ERROR: DeferUntil= without Defer= 'DeferUntil=2026-12-31'", L"", 0, false, false},
        {L"YesNo|Defer=x", L"ERROR: neither times nor DeferUntil= for 'Defer=x'", L"", 0, false, false},
        {L"OK|Defer=x:3", L"ERROR: the box has no button 2 to defer with 'Defer=x:3'", L"", 0, false, false},
        {L"Defer=x:3", L"ERROR: the box has no button 2 to defer with 'Defer=x:3'", L"", 0, false, false},
        {L"NoButtons|YesNo|Defer=x:3", L"ERROR: the box has no button 2 to defer with 'Defer=x:3'", L"", 0, false, false},
        {L"YesNo|Defer=x:3|Defer=y:2", L"ERROR: Defer= given twice 'Defer=y:2'", L"", 0, false, false},
        {L"YesNo|Defer=x|DeferUntil=2026-12-31|DeferUntil=2027-01-31",
         L"ERROR: DeferUntil= given twice 'DeferUntil=2027-01-31'", L"", 0, false, false},
        {L"YesNo|Deferral=x:3", L"ERROR: unknown option 'Deferral=x:3'", L"", 0, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.flags));
        MsgBoxParams p;
        std::wstring line = std::wstring(L"velmo.exe t c \"") + c.flags + L"\" 30";
        kt::result r = ParseCmdLine(p, line.c_str());
        if (c.error) {
            EXPECT_FALSE(r.ok());
            EXPECT_EQ(r.code(), static_cast<uint32_t>(ERROR_INVALID_PARAMETER));
            EXPECT_EQ(r.text(), c.error);
            continue;
        }
        ASSERT_TRUE(r.ok()) << Narrow(r.text());
        EXPECT_EQ(p.defer.key, c.key);
        EXPECT_EQ(p.defer.times, c.times);
        EXPECT_EQ(p.defer.has_deadline, c.deadline);
        EXPECT_EQ(p.defer.date_only, c.date_only);
    }
    MsgBoxParams p;
    ASSERT_TRUE(ParseCmdLine(p, L"velmo.exe t c \"YesNo|Defer=x|DeferUntil=2027-02-28T17:30\"").ok());
    EXPECT_EQ(p.defer.deadline.wYear, 2027);
    EXPECT_EQ(p.defer.deadline.wMonth, 2);
    EXPECT_EQ(p.defer.deadline.wDay, 28);
    EXPECT_EQ(p.defer.deadline.wHour, 17);
    EXPECT_EQ(p.defer.deadline.wMinute, 30);
}

// What is left before the box, by the record and the deadline.
TEST(Deferral, WhatIsLeft) {
    DeferralSpec three;
    three.key = L"k";
    three.times = 3;
    DeferralSpec until = three;
    until.has_deadline = true;
    until.date_only = true;
    until.deadline = At(2026, 12, 31);
    DeferralSpec until_time = until;
    until_time.date_only = false;
    until_time.deadline = At(2026, 12, 31, 17, 30);
    DeferralSpec unlimited = until;
    unlimited.times = 0;
    const DeferralRecord none, two{DeferralRecord::rsGood, 2, L""}, zero{DeferralRecord::rsGood, 0, L""},
        seven{DeferralRecord::rsGood, 7, L""}, broken{DeferralRecord::rsUnusable, 0, L"Left is not a REG_DWORD"};
    const SYSTEMTIME before = At(2026, 12, 10, 9), last_minute = At(2026, 12, 31, 23, 59),
                     after = At(2027, 1, 1, 0, 0), half_past = At(2026, 12, 31, 17, 30);
    const struct {
        const char* name;
        const DeferralSpec* spec;
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
        LeftNow l = DeferralsLeft(*c.spec, *c.record, c.now);
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
    DeferralSpec spec;
    spec.key = L"k";
    spec.times = 3;
    spec.has_deadline = true;
    spec.deadline = At(2026, 12, 31, 17, 30);
    DeferralSpec day = spec;
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
        EXPECT_EQ(FormatUntil(spec, c.locale), c.until);
        EXPECT_EQ(FormatUntil(day, c.locale), c.day);
        EXPECT_EQ(WithDeferral(L"Later ({left} left, until {until}) {other}", 2, spec, c.locale),
                  L"Later (2 left, until " + std::wstring(c.until) + L") {other}");
    }
    EXPECT_EQ(WithDeferral(L"{left}{left}", 0, spec, L"en-US"), L"00");
    EXPECT_EQ(WithDeferral(L"{left}", kUnlimited, spec, L"en-US"), L"\u221E");
    DeferralSpec no_deadline = spec;
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

// The store, as this run's account has it: a key of the test's own.
class Store : public ::testing::Test {
protected:
    void SetUp() override {
        key_ = L"velmo-test-" + std::to_wstring(GetCurrentProcessId());
        spec_.key = key_;
        spec_.times = 3;
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
    DeferralSpec spec_;
};

TEST_F(Store, UsedThenRemoved) {
    DeferralStore store(key_);
    EXPECT_EQ(store.Read().state, DeferralRecord::rsNone);
    int left = -5;
    ASSERT_TRUE(store.Use(spec_, L"WINE\\ann", &left).ok());
    EXPECT_EQ(left, 2);
    DeferralRecord r = store.Read();
    EXPECT_EQ(r.state, DeferralRecord::rsGood);
    EXPECT_EQ(r.left, 2u);
    ASSERT_TRUE(store.Use(spec_, L"WINE\\ann", &left).ok());
    ASSERT_TRUE(store.Use(spec_, L"WINE\\ann", &left).ok());
    EXPECT_EQ(left, 0);
    // None left: nothing more is used.
    EXPECT_FALSE(store.Use(spec_, L"WINE\\ann", &left).ok());
    EXPECT_EQ(store.Read().left, 0u);
    ASSERT_TRUE(store.Remove().ok());
    EXPECT_EQ(store.Read().state, DeferralRecord::rsNone);
    EXPECT_TRUE(store.Remove().ok()) << "removing what is gone";
    // Under Wine the tests run elevated: the machine's store.
    EXPECT_EQ(store.Where(), (Elevated() ? L"HKLM\\SOFTWARE\\velmo\\Deferrals\\" : L"HKCU\\Software\\velmo\\Deferrals\\") + key_);
}

TEST_F(Store, ABrokenRecordCountsAsNew) {
    const wchar_t text[] = L"two";
    WriteLeft(REG_SZ, text, sizeof text);
    DeferralRecord r = DeferralStore(key_).Read();
    EXPECT_EQ(r.state, DeferralRecord::rsUnusable);
    EXPECT_EQ(r.why, L"Left is not a REG_DWORD");
    int left = 0;
    ASSERT_TRUE(DeferralStore(key_).Use(spec_, L"WINE\\ann", &left).ok());
    EXPECT_EQ(left, 2) << "a broken record is a new one";
    const DWORD seven = 7;
    WriteLeft(REG_DWORD, &seven, sizeof seven);
    ASSERT_TRUE(DeferralStore(key_).Use(spec_, L"WINE\\ann", &left).ok());
    EXPECT_EQ(left, 2) << "out of range is new";
}

// Runs at once lose no deferral: each change reads the record again under
// the key's mutex.
TEST_F(Store, ChangesAtOnceLoseNothing) {
    spec_.times = 40;
    std::vector<std::thread> runs;
    std::atomic<int> used{0};
    for (int i = 0; i < 8; ++i) {
        runs.emplace_back([&] {
            for (int n = 0; n < 4; ++n) {
                DeferralStore store(key_);
                if (store.Use(spec_, L"WINE\\ann", nullptr).ok()) ++used;
            }
        });
    }
    for (std::thread& t : runs) t.join();
    EXPECT_EQ(used, 32);
    EXPECT_EQ(DeferralStore(key_).Read().left, 8u);
}

}  // namespace
