// Local date-time value to the millisecond: days since 1601-01-01 as a double.
#pragma once

#include "gen/BStr.h"
#include "gen/BTmErr.h"

namespace kt {

class time_base : public base {
public:
    virtual uint32_t set(int16_t year, uint32_t month, int8_t day, int8_t hour, int8_t minute, int8_t second,
                         int16_t millisecond) = 0;
    virtual Str to_str() const = 0;
    virtual result valid() const = 0;
    virtual int16_t year() const = 0;
    virtual uint32_t month() const = 0;
    virtual uint8_t day() const = 0;
    virtual uint8_t hour() const = 0;
    virtual uint8_t minute() const = 0;
    virtual uint8_t second() const = 0;
    virtual uint16_t millisecond() const = 0;
};

struct TBTmYr {
    int16_t year = 0;
    int32_t days = 0;  // from 1601-01-01 to 1 January of the year
};

class b_time : public time_base {
public:
    // Unset (-1.0).
    b_time();
    // Day number since 1601-01-01, then the time of day.
    b_time(uint32_t day_number, int8_t hour, int8_t minute, int8_t second, int16_t millisecond);
    static b_time now();

    uint32_t set(int16_t year, uint32_t month, int8_t day, int8_t hour, int8_t minute, int8_t second,
                 int16_t millisecond) override;
    // Two-digit years: below 80 in the 2000s, 80 to 99 in the 1900s.
    uint32_t set_date(int16_t year, uint32_t month, int8_t day);
    uint32_t set_time(int8_t hour, int8_t minute, int8_t second, int16_t millisecond);
    uint32_t set_now();
    void clear() { value_ = -1.0; }
    // An unset value reads 1600-12-31 00:00:00.000.
    void get_date(int16_t* year, uint32_t* month, uint8_t* day) const;
    void get_time(uint8_t* hour, uint8_t* minute, uint8_t* second, uint16_t* millisecond) const;
    void to_systemtime(SYSTEMTIME& st) const;
    // System date and time pictures plus "ii" (three-digit ms) and "i".
    std::wstring format(const std::wstring& picture, LCID locale) const;

    Str to_str() const override;
    result valid() const override;
    int16_t year() const override;
    uint32_t month() const override;
    uint8_t day() const override;
    uint8_t hour() const override;
    uint8_t minute() const override;
    uint8_t second() const override;
    uint16_t millisecond() const override;

    double value() const { return value_; }
    bool operator!=(const b_time& o) const { return !(value_ == o.value_); }
    bool operator==(const b_time& o) const { return value_ == o.value_; }

    static bool leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
    static int month_days(int y, uint32_t m);
    // Days from 1601-01-01 to 1 January of the year (year >= 1601).
    static int32_t days_before(int y);
    // The process-wide year table, or null before the first default construction.
    static const Array<TBTmYr>* year_table();

private:
    double value_ = -1.0;
};

// Per translation unit: constructing these during static initialisation
// registers the error codes and builds the year table before main runs.
namespace {
const b_time kt_time_unset;
const b_time kt_time_zero(0, 0, 0, 0, 0);
}  // namespace

}  // namespace kt
