// Deferrals: the deadline's forms and instant, the record's rules, the box's
// words, the store and its lock (under Wine the tests run elevated: the
// machine's store).
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

const ULONGLONG kMinute = 60ULL * 10000000;

// The instant of a UTC wall time.
ULONGLONG Utc(WORD year, WORD month, WORD day, WORD hour = 0, WORD minute = 0) {
    SYSTEMTIME t{};
    t.wYear = year;
    t.wMonth = month;
    t.wDay = day;
    t.wHour = hour;
    t.wMinute = minute;
    FILETIME f{};
    SystemTimeToFileTime(&t, &f);
    return (static_cast<ULONGLONG>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
}

// A time zone of a fixed offset (minutes east of UTC), both ways, as the
// machine's conversions would be in it.
TimeConversion LocalToUtcAt(int east) {
    return [east](const SYSTEMTIME& local, SYSTEMTIME& utc) {
        FILETIME f{};
        if (!SystemTimeToFileTime(&local, &f)) return false;
        ULONGLONG t = (static_cast<ULONGLONG>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
        t -= static_cast<long long>(east) * static_cast<long long>(kMinute);
        f = {static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
        return FileTimeToSystemTime(&f, &utc) != 0;
    };
}
TimeConversion UtcToLocalAt(int east) { return LocalToUtcAt(-east); }

DeferralTerms Until(const wchar_t* value, int times = 3) {
    DeferralTerms terms;
    terms.key = L"k";
    terms.times = times;
    EXPECT_TRUE(ParseDeadline(value, terms)) << Narrow(value);
    return terms;
}

// DeferUntil='s forms: the instant each names (the machine's zone one hour
// east of UTC for those without a zone), and what is no deadline.
TEST(Deferral, TheDeadlinesForms) {
    const struct {
        const wchar_t* value;
        const wchar_t* instant;  // null: refused
        bool zoned = false;
    } cases[] = {
        {L"2026-12-31T18:00Z", L"2026-12-31T18:00Z", true},
        {L"2026-12-31T18:00+01:00", L"2026-12-31T17:00Z", true},
        {L"2026-12-31T18:00-05:30", L"2026-12-31T23:30Z", true},
        {L"2026-12-31T20:00-05:00", L"2027-01-01T01:00Z", true},
        {L"2027-01-01T01:00+05:45", L"2026-12-31T19:15Z", true},
        {L"2026-12-31T18:00+00:00", L"2026-12-31T18:00Z", true},
        {L"2026-12-31T18:00+23:59", L"2026-12-30T18:01Z", true},
        // In the machine's zone: the time, or through the end of the day.
        {L"2026-12-31T18:00", L"2026-12-31T17:00Z"},
        {L"2026-12-31", L"2026-12-31T23:00Z"},
        {L"2028-02-29", L"2028-02-29T23:00Z"},
        {L"2026-12-31T18:00+24:00", nullptr},
        {L"2026-12-31T18:00+1:00", nullptr},
        {L"2026-12-31T18:00+01:60", nullptr},
        {L"2026-12-31T18:00+0100", nullptr},
        {L"2026-12-31T18:00+01", nullptr},
        {L"2026-12-31T18:00+01:00Z", nullptr},
        {L"2026-12-31T18:00z", nullptr},
        {L"2026-12-31T18:00 Z", nullptr},
        {L"2026-12-31T18:00UTC", nullptr},
        {L"2026-12-31T18:00:00Z", nullptr},
        {L"2026-12-31Z", nullptr},
        {L"2026-12-31+01:00", nullptr},
        {L"2027-02-29T18:00Z", nullptr},
        {L"2026-12-31T24:00Z", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.value));
        DeferralTerms terms;
        ASSERT_EQ(ParseDeadline(c.value, terms), c.instant != nullptr);
        if (!c.instant) {
            EXPECT_FALSE(terms.has_deadline) << "a refused value set the deadline";
            continue;
        }
        EXPECT_EQ(terms.written, c.value);
        EXPECT_EQ(terms.zoned, c.zoned);
        EXPECT_EQ(UtcText(DeadlineInstant(terms, LocalToUtcAt(60))), c.instant);
    }
}

// What is left before the box, by the record, now and the deadline's instant.
TEST(Deferral, WhatIsLeft) {
    DeferralTerms three;
    three.key = L"k";
    three.times = 3;
    DeferralTerms until = Until(L"2026-12-31T17:30Z");
    DeferralTerms unlimited = Until(L"2026-12-31T17:30Z", 0);
    const ULONGLONG deadline = Utc(2026, 12, 31, 17, 30);
    const DeferralRecord none, two{DeferralRecord::rsGood, 2, L""}, zero{DeferralRecord::rsGood, 0, L""},
        seven{DeferralRecord::rsGood, 7, L""}, broken{DeferralRecord::rsUnusable, 0, L"Left is not a REG_DWORD"};
    const ULONGLONG before = Utc(2026, 12, 10, 9);
    const struct {
        const char* name;
        const DeferralTerms* terms;
        const DeferralRecord* record;
        ULONGLONG now;
        int left;
        bool fresh, passed;
    } cases[] = {
        {"new", &three, &none, before, 3, false, false},
        {"two_left", &three, &two, before, 2, false, false},
        {"none_left", &three, &zero, before, 0, false, false},
        {"out_of_range_is_new", &three, &seven, before, 3, true, false},
        {"unreadable_is_new", &three, &broken, before, 3, true, false},
        {"a_minute_before", &until, &two, deadline - kMinute, 2, false, false},
        {"at_the_instant", &until, &two, deadline, 0, false, true},
        {"unlimited_before", &unlimited, &none, before, kUnlimited, false, false},
        {"unlimited_after", &unlimited, &none, deadline + kMinute, 0, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LeftNow l = DeferralsLeft(*c.terms, *c.record, c.now, deadline);
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

// {until}: the instant in the viewer's zone and format; a date alone as its
// day where its end is the viewer's midnight.
TEST(Deferral, TheDeadlineAsEachViewerReadsIt) {
    const struct {
        const wchar_t* written;
        int fixed_east;   // the machine's zone when the deadline was fixed
        int viewer_east;  // the viewer's zone
        const wchar_t* locale;
        const wchar_t* until;
    } cases[] = {
        {L"2026-12-31T17:30", 60, 60, L"en-US", L"12/31/2026 5:30 PM"},
        {L"2026-12-31T17:30", 60, 60, L"de-DE", L"31.12.2026 17:30"},
        {L"2026-12-31T17:30", 60, 60, L"ru-RU", L"31.12.2026 17:30"},
        {L"2026-12-31T17:30", 60, 60, L"fi-FI", L"31.12.2026 17.30"},
        // A zoned deadline reads right in every zone.
        {L"2026-12-31T18:00+01:00", 0, 60, L"de-DE", L"31.12.2026 18:00"},
        {L"2026-12-31T18:00+01:00", 0, -300, L"en-US", L"12/31/2026 12:00 PM"},
        {L"2026-12-31T18:00Z", 0, 540, L"en-US", L"1/1/2027 3:00 AM"},
        // A local deadline fixed in one zone, read in another.
        {L"2026-12-31T17:30", 60, -300, L"en-US", L"12/31/2026 11:30 AM"},
        {L"2026-12-31", 60, 60, L"en-US", L"12/31/2026"},
        {L"2026-12-31", 60, 60, L"de-DE", L"31.12.2026"},
        {L"2026-12-31", 60, -300, L"en-US", L"12/31/2026 6:00 PM"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.written) + " " + Narrow(c.locale) + " " + std::to_string(c.viewer_east));
        const DeferralTerms terms = Until(c.written);
        const ULONGLONG instant = DeadlineInstant(terms, LocalToUtcAt(c.fixed_east));
        EXPECT_EQ(FormatUntil(terms, instant, c.locale, UtcToLocalAt(c.viewer_east)), c.until);
    }
    DeferralTerms no_deadline;
    no_deadline.key = L"k";
    EXPECT_EQ(FormatUntil(no_deadline, 0, L"en-US"), L"");
}

// {left} and {until} in the words; other braces stay; on the box, with none
// left, button 2 is greyed and the countdown's default moves to button 1.
TEST(Deferral, TheBoxsWords) {
    EXPECT_EQ(WithDeferral(L"Later ({left} left, until {until}) {other}", 2, L"12/31/2026"),
              L"Later (2 left, until 12/31/2026) {other}");
    EXPECT_EQ(WithDeferral(L"{left}{left}", 0, L""), L"00");
    EXPECT_EQ(WithDeferral(L"{left}", kUnlimited, L""), L"\u221E");
    MsgBoxParams plain;
    ASSERT_TRUE(ParseCmdLine(plain, L"velmo.exe \"{left}\" c \"YesNo|DefButton2|Button2=Later ({left})\" 30").ok());
    ApplyDeferral(plain, DeferralsNow(), L"en-US");
    EXPECT_EQ(plain.text, L"{left}");
    EXPECT_EQ(plain.look.locked, -1);
    for (int left : {2, 0}) {
        MsgBoxParams p;
        ASSERT_TRUE(ParseCmdLine(p, L"velmo.exe \"{left} left {until}\" c "
                                    L"\"YesNo|DefButton2|Defer=k:3|DeferUntil=2026-12-31T17:30Z|Button2=Later ({left})\" 30")
                        .ok());
        ApplyDeferral(p, DeferralsNow{left, Utc(2026, 12, 31, 17, 30)}, L"en-US");
        EXPECT_EQ(p.text, std::to_wstring(left) + L" left " + FormatUntil(p.defer, Utc(2026, 12, 31, 17, 30), L"en-US"));
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
    // Writes a value raw, of any type.
    void Write(const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
        DeferralStore store(key_);
        const bool machine = store.Where().compare(0, 4, L"HKLM") == 0;
        HKEY k = nullptr;
        ASSERT_EQ(RegCreateKeyExW(machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, store.Where().substr(5).c_str(), 0,
                                  nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &k, nullptr),
                  ERROR_SUCCESS);
        kt::unique_hkey key(k);
        RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data), bytes);
    }
    void WriteLeft(DWORD left) { Write(L"Left", REG_DWORD, &left, sizeof left); }
    void WriteText(const wchar_t* name, const std::wstring& text) {
        Write(name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }
    // A REG_SZ value of the record; empty without one.
    std::wstring Text(const wchar_t* name) {
        DeferralStore store(key_);
        HKEY k = nullptr;
        if (RegOpenKeyExW(store.Where().compare(0, 4, L"HKLM") == 0 ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER,
                          store.Where().substr(5).c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &k) != ERROR_SUCCESS)
            return L"";
        kt::unique_hkey key(k);
        wchar_t text[128] = {};
        DWORD bytes = sizeof text;
        RegGetValueW(key.get(), nullptr, name, RRF_RT_REG_SZ, nullptr, text, &bytes);
        return text;
    }
    std::wstring key_;
    DeferralTerms terms_;
};

// What Take gives and refuses, by the record and the deadline.
TEST_F(Store, TakeRules) {
    const ULONGLONG later = UtcNow() + 60 * kMinute, passed = UtcNow() - kMinute;
    const wchar_t text[] = L"two";
    const struct {
        const char* name;
        int times;
        bool deadline;
        ULONGLONG deadline_utc;
        int record;  // Left written before; -1: none, -2: a REG_SZ
        bool given;
        int left;
        const wchar_t* why;
        int left_after;  // in the record; -1: none
    } cases[] = {
        {"two_left", 3, false, 0, 2, true, 1, L"", 1},
        {"none_left", 3, false, 0, 0, false, 0, L"none left", 0},
        {"the_deadline_has_passed", 3, true, passed, 2, false, 0, L"the deadline has passed", 2},
        {"unlimited_before_the_deadline", 0, true, later, -1, true, kUnlimited, L"", -1},
        {"unlimited_after_the_deadline", 0, true, passed, -1, false, 0, L"the deadline has passed", -1},
        {"a_broken_record_is_new", 3, false, 0, -2, true, 2, L"", 2},
        {"out_of_range_is_new", 3, true, later, 7, true, 2, L"", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeferralStore store(key_);
        store.Remove();
        if (c.record >= 0) WriteLeft(static_cast<DWORD>(c.record));
        if (c.record == -2) Write(L"Left", REG_SZ, text, sizeof text);
        DeferralTerms terms = terms_;
        terms.times = c.times;
        terms.has_deadline = c.deadline;
        Taken t = store.Take(terms, c.deadline_utc, L"WINE\\ann");
        EXPECT_EQ(t.given, c.given);
        EXPECT_EQ(t.left, c.left);
        EXPECT_EQ(t.why, c.why);
        const DeferralRecord after = store.Read();
        EXPECT_EQ(after.state == DeferralRecord::rsGood ? static_cast<int>(after.left) : -1, c.left_after);
        EXPECT_EQ(Text(L"LastDeferredBy"), c.given ? L"WINE\\ann" : L"") << "a refusal wrote who deferred";
        EXPECT_EQ(Text(L"LastDeferred").size(), c.given ? 20u : 0u) << "not YYYY-MM-DDThh:mm:ssZ";
    }
    DeferralStore store(key_);
    ASSERT_TRUE(store.Remove().ok());
    EXPECT_EQ(store.Read().state, DeferralRecord::rsNone);
    EXPECT_TRUE(store.Remove().ok()) << "removing what is gone";
    // Under Wine the tests run elevated: the machine's store.
    EXPECT_EQ(store.Where(), (kt::Elevated() ? L"HKLM\\SOFTWARE\\velmo\\Deferrals\\" : L"HKCU\\Software\\velmo\\Deferrals\\") + key_);
    // A record that cannot be written (a key's name longer than the
    // registry takes): no deferral, and the error named.
    DeferralStore unwritable(key_ + std::wstring(300, L'x'));
    Taken t = unwritable.Take(terms_, 0, L"WINE\\ann");
    EXPECT_FALSE(t.given);
    EXPECT_NE(t.why.find(L"RegCreateKeyExW"), std::wstring::npos) << Narrow(t.why);
}

// A local deadline is fixed as an instant on first sight: a later zone
// does not move it; a changed value as written is fixed anew; a zoned one
// needs no fixing.
TEST_F(Store, ALocalDeadlineIsFixedOnFirstSight) {
    DeferralStore store(key_);
    terms_ = Until(L"2026-12-31T18:00");
    const struct {
        const char* name;
        const wchar_t* written;
        int east;  // the machine's zone now
        const wchar_t* deadline;
    } cases[] = {
        {"first_sight", L"2026-12-31T18:00", 60, L"2026-12-31T17:00Z"},
        {"twelve_hours_back", L"2026-12-31T18:00", -660, L"2026-12-31T17:00Z"},
        {"daylight_saving_time", L"2026-12-31T18:00", 120, L"2026-12-31T17:00Z"},
        {"a_new_value", L"2026-12-31T19:00", -660, L"2027-01-01T06:00Z"},
        {"a_date_alone", L"2026-12-31", -300, L"2027-01-01T05:00Z"},
        {"and_back", L"2026-12-31T18:00", 0, L"2026-12-31T18:00Z"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const DeferralTerms terms = Until(c.written);
        EXPECT_EQ(UtcText(store.Deadline(terms, LocalToUtcAt(c.east))), c.deadline);
        EXPECT_EQ(Text(L"DeadlineAsWritten"), c.written);
        EXPECT_EQ(Text(L"Deadline"), c.deadline);
    }
    // A record whose instant cannot be read is fixed anew.
    WriteText(L"Deadline", L"soon");
    EXPECT_EQ(UtcText(store.Deadline(terms_, LocalToUtcAt(-300))), L"2026-12-31T23:00Z");
    // Zoned: the same everywhere, and the record is left as it is.
    EXPECT_EQ(UtcText(store.Deadline(Until(L"2026-12-31T18:00+01:00"), LocalToUtcAt(-660))), L"2026-12-31T17:00Z");
    EXPECT_EQ(Text(L"DeadlineAsWritten"), L"2026-12-31T18:00");
    EXPECT_EQ(store.Deadline(DeferralTerms(), LocalToUtcAt(0)), 0u) << "no DeferUntil=";
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
                if (MeetingStore(key_, meeting).Take(terms_, 0, L"WINE\\ann").given) ++given[i];
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
    Taken taken;
    kt::unique_handle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread run([&] {
        taken = DeferralStore(key_).Take(terms_, 0, L"WINE\\ann");
        SetEvent(done.get());
    });
    EXPECT_EQ(WaitForSingleObject(done.get(), 300), static_cast<DWORD>(WAIT_TIMEOUT)) << "the take did not wait";
    ReleaseMutex(held.get());
    EXPECT_EQ(WaitForSingleObject(done.get(), 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    run.join();
    EXPECT_TRUE(taken.given);
    EXPECT_EQ(taken.why, L"") << "taken without the lock";
    EXPECT_EQ(taken.left, 2);
}

// DeferInterval=: after a person's Later no prompt for that long (the
// defer button's answer at once); never once the deadline has passed, nor
// when the last Later lies ahead of the clock (set back by a user).
TEST(DeferInterval, TheRuleOverTheRecord) {
    const ULONGLONG minute = 60ULL * 10000000, later = ParseUtc(L"2026-12-10T12:00:00Z");
    ASSERT_NE(later, 0u);
    DeferralTerms terms;
    terms.key = L"k";
    terms.times = 3;
    terms.interval_min = 60;
    DeferralRecord record;
    record.state = DeferralRecord::rsGood;
    record.left = 2;
    record.last_deferred = later;
    DeferralTerms deadline = terms;
    ASSERT_TRUE(ParseDeadline(L"2026-12-10T12:30Z", deadline));
    const ULONGLONG passed = ParseUtc(L"2026-12-10T12:30Z");
    DeferralTerms none = terms;
    none.interval_min = 0;
    DeferralRecord never = record;
    never.last_deferred = 0;
    DeferralRecord used_up = record, broken = record;
    used_up.left = 0;
    broken.state = DeferralRecord::rsUnusable;
    const struct {
        const char* name;
        const DeferralTerms* terms;
        const DeferralRecord* record;
        ULONGLONG now, deadline;
        ULONGLONG held;  // 0: not held
    } cases[] = {
        {"a_minute_after", &terms, &record, later + minute, 0, later + 60 * minute},
        {"just_before_its_end", &terms, &record, later + 60 * minute - 1, 0, later + 60 * minute},
        {"at_its_end", &terms, &record, later + 60 * minute, 0, 0},
        {"no_interval", &none, &record, later + minute, 0, 0},
        {"no_later_yet", &terms, &never, later + minute, 0, 0},
        {"the_clock_set_back", &terms, &record, later - minute, 0, 0},
        {"before_the_deadline", &deadline, &record, later + minute, passed, later + 60 * minute},
        {"the_deadline_passed", &deadline, &record, passed, passed, 0},
        {"none_left", &terms, &used_up, later + minute, 0, 0},
        {"a_record_that_cannot_be_used", &terms, &broken, later + minute, 0, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(HeldUntil(*c.terms, *c.record, c.now, c.deadline), c.held) << c.name;
    }
    // The record's own form, with seconds or without; nothing else.
    EXPECT_EQ(ParseUtc(L"2026-12-10T12:00:05Z"), later + 5 * 10000000ULL);
    EXPECT_EQ(ParseUtc(L"2026-12-10T12:00Z"), later);
    for (const wchar_t* bad : {L"", L"2026-12-10T12:00:60Z", L"2026-12-10T12:00:05", L"2026-12-10 12:00:05Z", L"2026-12-10T12:00+", L"yesterday"})
        EXPECT_EQ(ParseUtc(bad), 0u) << Narrow(bad);
    // The word: 1 to 10080 minutes, with Defer= only.
    const struct {
        const wchar_t* flags;
        bool ok;
        int minutes;
    } words[] = {
        {L"YesNo|Defer=k:3|DeferInterval=60", true, 60},
        {L"YesNo|deferinterval=10080|Defer=k:3", true, 10080},
        {L"YesNo|Defer=k:3|DeferInterval=0", false, 0},
        {L"YesNo|Defer=k:3|DeferInterval=10081", false, 0},
        {L"YesNo|Defer=k:3|DeferInterval=1h", false, 0},
        {L"YesNo|DeferInterval=60", false, 0},
    };
    for (const auto& w : words) {
        MsgBoxParams p;
        const bool ok = ParseCmdLine(p, (std::wstring(L"velmo.exe t c \"") + w.flags + L"\" 30").c_str()).ok();
        EXPECT_EQ(ok, w.ok) << Narrow(w.flags);
        if (ok) {
            EXPECT_EQ(p.defer.interval_min, w.minutes) << Narrow(w.flags);
        }
    }
}

}  // namespace
