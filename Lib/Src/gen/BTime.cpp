#include "gen/BTime.h"

#include <cmath>
#include <cstdio>

namespace kt {

namespace {
const int kMonthDays[24] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31,
                            31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
const double kMsPerDay = 86400000.0;

struct YearTable {
    Array<TBTmYr> years;
    int16_t first = 1601;
    uint32_t reserved = 1;
};
YearTable* g_years = nullptr;

void BuildYearTable() {
    if (g_years) return;
    SYSTEMTIME st;
    GetLocalTime(&st);
    auto* t = new YearTable();
    int last = st.wYear < 1601 ? 1601 : st.wYear;
    t->years.allocate(static_cast<uint32_t>(last - 1601 + 1));
    int32_t days = 0;
    for (int y = 1601; y <= last; ++y) {
        t->years[static_cast<uint32_t>(y - 1601)] = TBTmYr{static_cast<int16_t>(y), days};
        days += 365 + (b_time::leap(y) ? 1 : 0);
    }
    g_years = t;
}

int year_length(int y) { return 365 + (b_time::leap(y) ? 1 : 0); }
}  // namespace

int b_time::month_days(int y, uint32_t m) { return kMonthDays[m - 1 + 12 * (leap(y) ? 1 : 0)]; }

int32_t b_time::days_before(int y) {
    BuildYearTable();
    const Array<TBTmYr>& t = g_years->years;
    uint32_t n = t.count();
    if (y - 1601 < static_cast<int>(n)) return t.data()[y - 1601].days;
    const TBTmYr& last = t.data()[n - 1];
    int32_t days = last.days;
    for (int yy = last.year; yy < y; ++yy) days += year_length(yy);
    return days;
}

const Array<TBTmYr>* b_time::year_table() { return g_years ? &g_years->years : nullptr; }

b_time::b_time() {
    RegisterTimeErrors();
    BuildYearTable();
}

b_time::b_time(uint32_t day_number, int8_t hour, int8_t minute, int8_t second, int16_t millisecond) {
    RegisterTimeErrors();
    value_ = static_cast<double>(day_number);
    set_time(hour, minute, second, millisecond);
}

b_time b_time::now() {
    b_time t;
    t.set_now();
    return t;
}

uint32_t b_time::set(int16_t year, uint32_t month, int8_t day, int8_t hour, int8_t minute, int8_t second,
                     int16_t millisecond) {
    uint32_t rc = set_date(year, month, day);
    return rc ? rc : set_time(hour, minute, second, millisecond);
}

uint32_t b_time::set_date(int16_t year, uint32_t month, int8_t day) {
    int y = year;
    if (y < 80)
        y += 2000;
    else if (y <= 99)
        y += 1900;
    if (y < 1601) return dtrWrongYear;
    if (month < 1 || month > 12) return dtrWrongMonth;
    if (day < 1 || day > month_days(y, month)) return dtrWrongDay;
    int32_t days = days_before(y);
    for (uint32_t m = 1; m < month; ++m) days += month_days(y, m);
    value_ = (value_ - std::floor(value_)) + (days + day - 1);
    return 0;
}

uint32_t b_time::set_time(int8_t hour, int8_t minute, int8_t second, int16_t millisecond) {
    // Negative parts are refused like too large ones: a time of day never
    // reaches into the day before.
    if (hour < 0 || hour > 23) return dtrWrongHour;
    if (minute < 0 || minute > 59) return dtrWrongMinute;
    if (second < 0 || second > 59) return dtrWrongSec;
    if (millisecond < 0 || millisecond > 999) return dtrWrongMSec;
    double day_part = valid().ok() ? std::trunc(value_) : 0.0;
    value_ = day_part + ((hour * 3600 + minute * 60 + second) * 1000.0 + millisecond) / kMsPerDay;
    return 0;
}

uint32_t b_time::set_now() {
    SYSTEMTIME st;
    GetLocalTime(&st);
    set_date(static_cast<int16_t>(st.wYear), st.wMonth, static_cast<int8_t>(st.wDay));
    return set_time(static_cast<int8_t>(st.wHour), static_cast<int8_t>(st.wMinute), static_cast<int8_t>(st.wSecond),
                    static_cast<int16_t>(st.wMilliseconds));
}

void b_time::get_date(int16_t* year, uint32_t* month, uint8_t* day) const {
    int y = 1600;
    uint32_t m = 12;
    int d = 31;
    if (value_ != -1.0) {
        double count = 0;
        y = 1601;
        while (value_ >= count + year_length(y)) count += year_length(y++);
        m = 1;
        while (m < 12 && value_ >= count + month_days(y, m)) count += month_days(y, m++);
        d = static_cast<int>(std::trunc(value_) - count) + 1;
    }
    if (year) *year = static_cast<int16_t>(y);
    if (month) *month = m;
    if (day) *day = static_cast<uint8_t>(d);
}

void b_time::get_time(uint8_t* hour, uint8_t* minute, uint8_t* second, uint16_t* millisecond) const {
    long ms = 0;
    if (value_ != -1.0) {
        double ip;
        double frac = std::modf(value_, &ip) * kMsPerDay;
        ms = std::lround(frac);  // half away from zero
    }
    if (hour) *hour = static_cast<uint8_t>(ms / 3600000);
    if (minute) *minute = static_cast<uint8_t>(ms % 3600000 / 60000);
    if (second) *second = static_cast<uint8_t>(ms % 60000 / 1000);
    if (millisecond) *millisecond = static_cast<uint16_t>(ms % 1000);
}

void b_time::to_systemtime(SYSTEMTIME& st) const {
    int16_t y;
    uint32_t m;
    uint8_t d, h, mi, s;
    uint16_t ms;
    get_date(&y, &m, &d);
    get_time(&h, &mi, &s, &ms);
    st.wYear = static_cast<WORD>(y);
    st.wMonth = static_cast<WORD>(m);
    st.wDay = d;
    st.wHour = h;
    st.wMinute = mi;
    st.wSecond = s;
    st.wMilliseconds = ms;
}

Str b_time::to_str() const {
    if (!(value_ > 0.0)) return Str();
    int16_t y;
    uint32_t m;
    uint8_t d, h, mi, s;
    get_date(&y, &m, &d);
    get_time(&h, &mi, &s, nullptr);
    char buf[32];
    snprintf(buf, sizeof buf, "%04d-%02u-%02u %02u:%02u:%02u", y, m, d, h, mi, s);
    return Str(buf);
}

result b_time::valid() const {
    return value_ == -1.0 ? result(ERROR_INVALID_PARAMETER) : result();
}

int16_t b_time::year() const {
    int16_t y;
    get_date(&y, nullptr, nullptr);
    return y;
}
uint32_t b_time::month() const {
    uint32_t m;
    get_date(nullptr, &m, nullptr);
    return m;
}
uint8_t b_time::day() const {
    uint8_t d;
    get_date(nullptr, nullptr, &d);
    return d;
}
uint8_t b_time::hour() const {
    uint8_t h;
    get_time(&h, nullptr, nullptr, nullptr);
    return h;
}
uint8_t b_time::minute() const {
    uint8_t m;
    get_time(nullptr, &m, nullptr, nullptr);
    return m;
}
uint8_t b_time::second() const {
    uint8_t s;
    get_time(nullptr, nullptr, &s, nullptr);
    return s;
}
uint16_t b_time::millisecond() const {
    uint16_t ms;
    get_time(nullptr, nullptr, nullptr, &ms);
    return ms;
}

namespace {
// One pass of GetDateFormatW or GetTimeFormatW over the working picture.
template <class F>
bool FormatPass(F call, std::wstring& w, Array<wchar_t>& buf) {
    int n = call(w.c_str(), nullptr, 0);
    if (n <= 0) return false;
    if (buf.count() < static_cast<uint32_t>(n)) buf.allocate(static_cast<uint32_t>(n));
    if (call(w.c_str(), buf.data(), n) <= 0) return false;
    w = buf.data();
    return true;
}
}  // namespace

std::wstring b_time::format(const std::wstring& picture, LCID locale) const {
    if (value_ == -1.0) return std::wstring();
    SYSTEMTIME st{};
    to_systemtime(st);

    // Each apostrophe is tripled (an escaped pair quadrupled) so that the
    // date pass, which consumes one level of quoting, hands quoted text on
    // to the time pass still quoted.
    std::wstring w = picture;
    bool quoted = false;
    for (size_t k = w.find(L'\''); k != std::wstring::npos; k = w.find(L'\'', k)) {
        quoted = true;
        if (k == w.size() - 1) {
            w += L"''";
            k += 3;
        } else if (w[k + 1] == L'\'') {
            w.insert(k, L"''");
            k += 4;
        } else {
            w.insert(k, L"''");
            k += 3;
        }
    }

    Array<wchar_t> buf;
    if (!FormatPass([&](const wchar_t* pic, wchar_t* out, int n) { return GetDateFormatW(locale, 0, &st, pic, out, n); },
                    w, buf))
        return std::wstring();

    wchar_t three[4], plain[4];
    swprintf(three, 4, L"%03u", st.wMilliseconds);
    swprintf(plain, 4, L"%u", st.wMilliseconds);
    if (!quoted) {
        for (size_t p; (p = w.find(L"ii")) != std::wstring::npos;) w.replace(p, 2, three);
        for (size_t p; (p = w.find(L'i')) != std::wstring::npos;) w.replace(p, 1, plain);
    } else {
        size_t p = 0;
        while (p < w.size()) {
            size_t q = w.find(L'\'', p);
            size_t ii = w.find(L"ii", p);
            if (ii != std::wstring::npos && ii < q) {
                w.replace(ii, 2, three);
                continue;
            }
            size_t i = w.find(L'i', p);
            if (i != std::wstring::npos && i < q) {
                w.replace(i, 1, plain);
                continue;
            }
            if (q == std::wstring::npos) break;
            size_t close = w.find(L'\'', q + 2);
            if (close == std::wstring::npos) break;
            p = close + 1;
        }
    }

    if (!FormatPass([&](const wchar_t* pic, wchar_t* out, int n) { return GetTimeFormatW(locale, 0, &st, pic, out, n); },
                    w, buf))
        return std::wstring();
    return w;
}

}  // namespace kt
