#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <regex>

#include "gen/BTime.h"
#include "tests/common.h"

namespace {

using test::Narrow;

struct Parts {
    int y;
    uint32_t mo;
    int d, h, mi, s, ms;
};

Parts Read(const kt::b_time& t) {
    return {t.year(), t.month(), t.day(), t.hour(), t.minute(), t.second(), t.millisecond()};
}

struct SetCase {
    Parts in;
    uint32_t rc;
    Parts out{};  // what reads back on success
};

TEST(BTime, SetValidatesEveryBound) {
    const SetCase cases[] = {
        {{2024, 2, 29, 23, 59, 59, 999}, 0, {2024, 2, 29, 23, 59, 59, 999}},
        {{2023, 2, 29, 0, 0, 0, 0}, kt::dtrWrongDay},
        {{2000, 2, 29, 0, 0, 0, 0}, 0, {2000, 2, 29, 0, 0, 0, 0}},   // divisible by 400
        {{1900, 2, 29, 0, 0, 0, 0}, kt::dtrWrongDay},                // divisible by 100
        {{24, 3, 1, 0, 0, 0, 0}, 0, {2024, 3, 1, 0, 0, 0, 0}},
        {{79, 1, 1, 0, 0, 0, 0}, 0, {2079, 1, 1, 0, 0, 0, 0}},
        {{80, 1, 1, 0, 0, 0, 0}, 0, {1980, 1, 1, 0, 0, 0, 0}},
        {{99, 3, 1, 0, 0, 0, 0}, 0, {1999, 3, 1, 0, 0, 0, 0}},
        {{100, 1, 1, 0, 0, 0, 0}, kt::dtrWrongYear},
        {{1600, 12, 31, 0, 0, 0, 0}, kt::dtrWrongYear},
        {{1601, 1, 1, 0, 0, 0, 1}, 0, {1601, 1, 1, 0, 0, 0, 1}},
        {{2024, 0, 1, 0, 0, 0, 0}, kt::dtrWrongMonth},
        {{2024, 13, 1, 0, 0, 0, 0}, kt::dtrWrongMonth},
        {{2024, 4, 31, 0, 0, 0, 0}, kt::dtrWrongDay},
        {{2024, 4, 0, 0, 0, 0, 0}, kt::dtrWrongDay},
        {{2024, 12, 31, 0, 0, 0, 0}, 0, {2024, 12, 31, 0, 0, 0, 0}},
        {{2024, 1, 1, 24, 0, 0, 0}, kt::dtrWrongHour},
        {{2024, 1, 1, 23, 60, 0, 0}, kt::dtrWrongMinute},
        {{2024, 1, 1, 23, 59, 60, 0}, kt::dtrWrongSec},
        {{2024, 1, 1, 23, 59, 59, 1000}, kt::dtrWrongMSec},
        {{2024, 1, 1, -1, 0, 0, 0}, kt::dtrWrongHour},
        {{2100, 3, 1, 12, 0, 0, 0}, 0, {2100, 3, 1, 12, 0, 0, 0}},   // beyond the year table
        {{2400, 2, 29, 1, 2, 3, 4}, 0, {2400, 2, 29, 1, 2, 3, 4}},
    };
    for (const SetCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.in.y << "-" << c.in.mo << "-" << c.in.d << " " << c.in.h << ":"
                                          << c.in.mi << ":" << c.in.s << "." << c.in.ms);
        kt::b_time t;
        ASSERT_EQ(t.set(1999, 9, 9, 9, 9, 9, 9), 0u);
        kt::b_time before = t;
        uint32_t rc = t.set(static_cast<int16_t>(c.in.y), c.in.mo, static_cast<int8_t>(c.in.d),
                            static_cast<int8_t>(c.in.h), static_cast<int8_t>(c.in.mi), static_cast<int8_t>(c.in.s),
                            static_cast<int16_t>(c.in.ms));
        EXPECT_EQ(rc, c.rc);
        if (rc == 0) {
            Parts p = Read(t);
            EXPECT_EQ(p.y, c.out.y);
            EXPECT_EQ(p.mo, c.out.mo);
            EXPECT_EQ(p.d, c.out.d);
            EXPECT_EQ(p.h, c.out.h);
            EXPECT_EQ(p.mi, c.out.mi);
            EXPECT_EQ(p.s, c.out.s);
            EXPECT_EQ(p.ms, c.out.ms);
        } else if (rc == kt::dtrWrongYear || rc == kt::dtrWrongMonth || rc == kt::dtrWrongDay) {
            EXPECT_FALSE(t != before);  // a bad date changes nothing
        } else {
            // A good date with a bad time keeps the new date and the old time.
            EXPECT_EQ(t.hour(), 9);
            EXPECT_EQ(t.year(), c.in.y);
        }
    }
}

TEST(BTime, EveryMillisecondReadsBack) {
    kt::b_time t;
    for (int ms = 0; ms <= 999; ++ms) {
        ASSERT_EQ(t.set(2026, 12, 6, 23, 59, 59, static_cast<int16_t>(ms)), 0u);
        ASSERT_EQ(t.millisecond(), ms);
        ASSERT_EQ(t.second(), 59);
    }
}

TEST(BTime, DaysMatchTheSystemCalendar) {
    // Day numbers against FILETIME, which counts from the same 1601-01-01.
    for (int y = 1601; y <= 2500; y += 7) {
        for (uint32_t m = 1; m <= 12; m += 5) {
            SYSTEMTIME st{};
            st.wYear = static_cast<WORD>(y);
            st.wMonth = static_cast<WORD>(m);
            st.wDay = 28;
            FILETIME ft;
            ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
            uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
            kt::b_time t;
            ASSERT_EQ(t.set_date(static_cast<int16_t>(y), m, 28), 0u);
            ASSERT_EQ(t.value(), static_cast<double>(ticks / 864000000000ULL)) << y << "-" << m;
        }
    }
}

TEST(BTime, UnsetAndDayZero) {
    kt::b_time unset;
    EXPECT_EQ(unset.valid().code(), test::Code(ERROR_INVALID_PARAMETER));
    Parts p = Read(unset);
    EXPECT_EQ(p.y, 1600);
    EXPECT_EQ(p.mo, 12u);
    EXPECT_EQ(p.d, 31);
    EXPECT_EQ(p.h + p.mi + p.s + p.ms, 0);
    EXPECT_EQ(unset.to_str().length(), 0u);
    EXPECT_EQ(unset.format(L"dd.MM.yyyy", LOCALE_USER_DEFAULT), L"");

    kt::b_time zero(0, 0, 0, 0, 0);
    EXPECT_TRUE(zero.valid().ok());
    p = Read(zero);
    EXPECT_EQ(p.y, 1601);
    EXPECT_EQ(p.mo, 1u);
    EXPECT_EQ(p.d, 1);
    EXPECT_EQ(zero.to_str().length(), 0u);

    kt::b_time t;
    ASSERT_EQ(t.set_time(10, 20, 30, 400), 0u);  // on an unset value: day 0
    EXPECT_EQ(t.year(), 1601);
    EXPECT_EQ(t.hour(), 10);
    t.clear();
    EXPECT_FALSE(t.valid().ok());
}

TEST(BTime, ToStrAndComparisons) {
    kt::b_time t;
    t.set(2026, 12, 6, 7, 5, 3, 42);
    EXPECT_STREQ(t.to_str().data(), "2026-12-06 07:05:03");
    kt::b_time u;
    u.set(2026, 12, 6, 7, 5, 3, 42);
    EXPECT_FALSE(t != u);
    u.set_time(7, 5, 3, 43);
    EXPECT_TRUE(t != u);
    kt::b_time d(9000, 1, 2, 3, 4);
    EXPECT_EQ(d.hour(), 1);
    EXPECT_EQ(d.millisecond(), 4);
    SYSTEMTIME st{};
    t.to_systemtime(st);
    EXPECT_EQ(st.wYear, 2026);
    EXPECT_EQ(st.wMilliseconds, 42);
    kt::b_time now = kt::b_time::now();
    SYSTEMTIME local;
    GetLocalTime(&local);
    EXPECT_EQ(now.year(), local.wYear);
}

TEST(BTime, YearTableRunsToThisYear) {
    const kt::Array<kt::TBTmYr>* table = kt::b_time::year_table();
    ASSERT_NE(table, nullptr);
    SYSTEMTIME st;
    GetLocalTime(&st);
    ASSERT_EQ(table->count(), static_cast<uint32_t>(st.wYear - 1601 + 1));
    EXPECT_EQ(table->data()[0].year, 1601);
    EXPECT_EQ(table->data()[0].days, 0);
    EXPECT_EQ(table->data()[400].days, 146097);  // 1601 + 400 years
}

// ---- format ----------------------------------------------------------------

kt::b_time Sample(int ms = 42, int day = 6) {
    kt::b_time t;
    t.set(2026, 12, static_cast<int8_t>(day), 17, 51, 18, static_cast<int16_t>(ms));
    return t;
}

// The system's own text for one picture of the same moment.
std::wstring SystemDate(const kt::b_time& t, const wchar_t* pic) {
    SYSTEMTIME st{};
    t.to_systemtime(st);
    FILETIME ft;
    SystemTimeToFileTime(&st, &ft);
    FileTimeToSystemTime(&ft, &st);  // fills the day of the week
    wchar_t buf[128] = {};
    GetDateFormatW(LOCALE_USER_DEFAULT, 0, &st, pic, buf, 128);
    return buf;
}

struct FormatCase {
    const wchar_t* picture;
    int ms;
    const wchar_t* expected;
};

TEST(BTimeFormat, Pictures) {
    const FormatCase cases[] = {
        {L"dd.MM.yyyy HH:mm:ss.ii", 42, L"06.12.2026 17:51:18.042"},
        {L"yyyyMMdd-HHmmssii", 42, L"20261206-175118042"},
        {L"ss.i", 42, L"18.42"},
        {L"ii", 7, L"007"},
        {L"i", 7, L"7"},
        {L"iii", 7, L"0077"},
        {L"iiii", 123, L"123123"},
        {L"-- Year: --", 0, L"-- Year: --"},
        {L"plain text", 0, L"pla0n PexP"},  // i is the millisecond, t the AM/PM marker
        {L"i.ii", 5, L"5.005"},
        {L"'ii' ii", 42, L"ii 042"},
        {L"'dd HH i' dd", 42, L"dd HH i 06"},
        {L"HH 'o''clock'", 42, L"17 o'clock"},
        {L"yyyy'", 42, L"2026"},
    };
    for (const FormatCase& c : cases) {
        EXPECT_EQ(Sample(c.ms).format(c.picture, LOCALE_USER_DEFAULT), c.expected) << Narrow(c.picture);
    }
}

TEST(BTimeFormat, NamesComeFromTheLocale) {
    // The en. and ru. runs set LC_ALL (Wine passes it on): the language it
    // names must be the one in effect, not Wine's fallback for a locale that
    // this machine lacks.
    if (const char* lc = getenv("LC_ALL")) {
        EXPECT_EQ(PRIMARYLANGID(LANGIDFROMLCID(GetUserDefaultLCID())),
                  strncmp(lc, "ru_", 3) == 0 ? LANG_RUSSIAN : LANG_ENGLISH)
            << lc;
    }
    kt::b_time t = Sample();  // a Sunday
    EXPECT_EQ(t.format(L"dddd", LOCALE_USER_DEFAULT), SystemDate(t, L"dddd"));
    kt::b_time july;
    july.set(2026, 7, 6, 17, 51, 18, 42);
    EXPECT_EQ(july.format(L"MMMM", LOCALE_USER_DEFAULT), SystemDate(july, L"MMMM"));
    // The time pass sees the month name: the m of December is the minute.
    if (SystemDate(t, L"MMMM") == L"December") {
        EXPECT_EQ(t.format(L"MMMM", LOCALE_USER_DEFAULT), L"Dece51ber");
    }
    // With an apostrophe in the picture, letters i inside quotes are kept.
    EXPECT_EQ(t.format(L"'i' ii", LOCALE_USER_DEFAULT), L"i 042");
}

TEST(BTimeFormat, LettersIOfNamesAreMilliseconds) {
    kt::b_time friday = Sample(42, 4);
    std::wstring name = SystemDate(friday, L"dddd");
    std::wstring expected;
    for (wchar_t c : name) expected += c == L'i' ? std::wstring(L"42") : std::wstring(1, c);
    std::wstring got = friday.format(L"dddd", LOCALE_USER_DEFAULT);
    // Time pictures among the name's letters are the time pass's too.
    if (name.find_first_of(L"hHmst") == std::wstring::npos) {
        EXPECT_EQ(got, expected);
    }
    EXPECT_EQ(got.find(L'i'), std::wstring::npos);
}

// ---- error codes -------------------------------------------------------------

TEST(BTmErr, CodesAreRegisteredInTableOrderWithTheirTexts) {
    const std::pair<uint32_t, const wchar_t*> codes[] = {
        {0x20000101, L"Ошибка в формате (не найден символ, разделяющий компоненты даты)."},
        {0x20000102, L"Ошибка в формате (не найден символ, разделяющий компоненты времени)."},
        {0x20000103, L"Ошибка в номере года."},
        {0x20000104, L"Ошибка в числе месяцев."},
        {0x20000105, L"Ошибка в числе дней."},
        {0x20000106, L"Ошибка в числе часов."},
        {0x20000107, L"Ошибка в числе минут."},
        {0x20000108, L"Ошибка в числе секунд."},
        {0x20000109, L"Ошибка в числе миллисекунд."},
    };
    for (const auto& c : codes) EXPECT_EQ(kt::ErrorText(c.first), c.second);
    EXPECT_EQ(kt::result(kt::dtrWrongYear).descr(), L"Ошибка в номере года.");
    kt::RegisterTimeErrors();  // once only: a second call registers nothing
    EXPECT_EQ(kt::ErrorRegistry()->at(0)->code, 0x20000101u);
}

}  // namespace
