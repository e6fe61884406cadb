// Limited deferrals kept between runs: Defer=<key>[:<times>] makes button 2
// of the set the defer button, which a person may choose that many times
// (or, with DeferUntil=, until a deadline); the count lives in the
// registry, per key, and only a person's choice of that button uses one.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "lib/kt.h"
#include "lib/owner.h"
#include "relay/Answer.h"

// What Defer= and DeferUntil= ask.
struct DeferralTerms {
    std::wstring key;            // as written; empty: no Defer=
    int times = 0;               // 1 to 99; 0: as often as wanted until the deadline
    bool has_deadline = false;   // DeferUntil=
    std::wstring written;        // DeferUntil='s value as written
    SYSTEMTIME deadline{};       // the wall time written; with date_only the day itself
    bool date_only = false;      // YYYY-MM-DD: through the end of that day
    bool zoned = false;          // Z or an offset after the time: one instant everywhere
    int offset_minutes = 0;      // zoned: east of UTC (+01:00: 60; -05:30: -330)
    int interval_min = 0;        // DeferInterval=: no prompt that long after a Later; 0: none
    bool given() const { return !key.empty(); }
};

// The words' values. Defer=<key>[:<times>]: key 1 to 64 letters, digits,
// ".", "-" or "_"; times 1 to 99. DeferUntil=YYYY-MM-DD, YYYY-MM-DDThh:mm,
// or the latter with Z or an offset +hh:mm / -hh:mm (hh to 23) after it; a
// real day and time. ParseDeadline sets the deadline's fields of terms
// (none on false).
bool ParseDeferValue(const std::wstring& value, std::wstring& key, int& times);
bool ParseDeadline(const std::wstring& value, DeferralTerms& terms);

// Instants are FILETIME ticks in UTC (100 ns since 1601), as
// GetSystemTimeAsFileTime gives them; never the local time, which moves
// with the time zone and daylight saving time.
ULONGLONG UtcNow();
// "2026-12-31T17:00Z": the form the record keeps (DeferUntil='s own form).
std::wstring UtcText(ULONGLONG utc);

// A conversion between local time and UTC; false when it cannot be made.
using TimeConversion = std::function<bool(const SYSTEMTIME& from, SYSTEMTIME& to)>;
// The machine's time zone, by its rules for that date (daylight saving
// time as it is then): TzSpecificLocalTimeToSystemTime and back.
bool MachineLocalToUtc(const SYSTEMTIME& local, SYSTEMTIME& utc);
bool MachineUtcToLocal(const SYSTEMTIME& utc, SYSTEMTIME& local);

// The instant the deadline ends: a zoned one by its offset; a local one
// (a date alone at the next day's start) by local_to_utc, or, where that
// fails, its wall time read as UTC.
ULONGLONG DeadlineInstant(const DeferralTerms& terms, const TimeConversion& local_to_utc);
// Whether a record's fixing holds for these terms: DeadlineAsWritten is
// the value as written now and Deadline an instant (*utc then). Otherwise
// the deadline is fixed anew.
bool FixedDeadline(const DeferralTerms& terms, const std::wstring& as_written, const std::wstring& deadline,
                   ULONGLONG* utc);

// No count: as often as the person likes until the deadline.
const int kUnlimited = -1;

// The record a key has in the store.
struct DeferralRecord {
    enum State { rsNone, rsGood, rsUnusable } state = rsNone;
    DWORD left = 0;    // rsGood
    std::wstring why;  // rsUnusable: a wrong type, or why it could not be read
    ULONGLONG last_deferred = 0;  // LastDeferred (UTC): the last Later; 0: none or unreadable
};

// "2026-12-31T17:00:05Z" (LastDeferred's form; seconds may be left out) as
// an instant; 0 for anything else.
ULONGLONG ParseUtc(const std::wstring& text);

// DeferInterval=: until when the prompt is held back after a person's
// Later (0: it is not). Not once no deferral is left (the count used up,
// the deadline passed) or the record cannot be used; not when the
// last Later lies ahead of the clock (the clock was set back: a user could
// otherwise hold the prompt back for as long as they set it).
ULONGLONG HeldUntil(const DeferralTerms& terms, const DeferralRecord& record, ULONGLONG now_utc, ULONGLONG deadline_utc);

// What is left now. A record that cannot be used (unusable, or more left
// than times) counts as a new one (*fresh says so); from the deadline's
// instant on nothing is left.
struct LeftNow {
    int left = 0;          // 0 .. times, or kUnlimited
    bool fresh = false;    // the record was not used as it stood
    bool deadline_passed = false;
};
LeftNow DeferralsLeft(const DeferralTerms& terms, const DeferralRecord& record, ULONGLONG now_utc,
                      ULONGLONG deadline_utc);

// What an ending does to the record: only a person's choice of the defer
// button uses a deferral (while one is left); any other answer of a person
// ends the cycle (the record goes); the countdown, an end from outside or
// nobody to ask change nothing.
enum RecordChange { rcNothing, rcUse, rcRemove };
RecordChange AfterEnding(kt::Ending ending, int answer, int defer_answer, int left);

// {until}: the deadline's instant in the viewer's own time zone, in the
// short date and time format of locale (a locale name or
// LOCALE_NAME_USER_DEFAULT); a date alone as that day while its end is the
// viewer's midnight. Empty without DeferUntil=.
std::wstring FormatUntil(const DeferralTerms& terms, ULONGLONG deadline_utc, const wchar_t* locale,
                         const TimeConversion& utc_to_local = MachineUtcToLocal);
// {left} (the deferrals left; "∞" without a count) and {until} put into
// text; every other brace stays.
std::wstring WithDeferral(const std::wstring& text, int left, const std::wstring& until);

// Where the count is kept: HKLM\SOFTWARE\velmo\Deferrals\<key> for a
// service account or an elevated run, else HKCU\Software\velmo\Deferrals;
// always the registry's 64-bit view, so that both builds share one count.
bool DeferralsOfTheMachine(bool service_account, bool elevated);

// The key's lock: a mutex named by DeferralLockName. The machine's store
// names it in a private namespace that only SYSTEM and Administrators can
// create (its boundary: BUILTIN\Administrators), so that no user can
// create it first; where there is no such namespace (Wine), by the global
// name. A user's store names it per user.
// owner_sid: empty for the machine's store.
std::wstring DeferralLockName(const std::wstring& key, const std::wstring& owner_sid, bool in_namespace);
// The security of the namespace and of the machine's mutexes, as SDDL:
// SYSTEM and Administrators full control, nobody else any access.
extern const wchar_t kDeferralLockSddl[];

// A deferral asked of the store: given or not, and what is left.
struct Taken {
    bool given = false;
    int left = 0;        // after it (kUnlimited without a count); not given: 0 or, where
                         // the store refused, what was left
    std::wstring why;    // not given: none left, the deadline has passed, or the
                         // store's error; given: empty, or "without the key's lock"
};

// One key's record in the store, changed under the key's lock so that two
// runs at once lose no deferral.
class DeferralStore {
public:
    explicit DeferralStore(const std::wstring& key);
    virtual ~DeferralStore() = default;
    // The record as it stands (Take reads it again under the key's lock).
    virtual DeferralRecord Read() const;
    // The deadline's instant (0 without DeferUntil=). A zoned one is its
    // own; a local one is fixed in the record (DeadlineAsWritten, Deadline),
    // under the key's lock, the first time it is seen, and read from there
    // while the value as written stays the same, so that later changes of
    // the time zone or daylight saving time do not move it. Where the
    // record cannot be written, this run's instant (the log says so).
    ULONGLONG Deadline(const DeferralTerms& terms, const TimeConversion& local_to_utc = MachineLocalToUtc);
    // A deferral taken: under the key's lock the record is read again; none
    // is given when none is left, the deadline has passed, or the record
    // cannot be written. Else Left is written one less (none without a
    // count), with LastDeferred (UTC) and LastDeferredBy (who).
    Taken Take(const DeferralTerms& terms, ULONGLONG deadline_utc, const std::wstring& who);
    // Ends the cycle: the record is removed.
    kt::result Remove();
    // "HKLM\SOFTWARE\velmo\Deferrals\<key>" or "HKCU\...", for the log.
    std::wstring Where() const;

private:
    // The record's place: the one spelling of its hive, path and view.
    struct Place {
        HKEY hive;
        std::wstring path;
        REGSAM view;
    };
    kt::unique_hkey Open(REGSAM access, LONG* error) const;
    kt::unique_hkey Create(LONG* error) const;
    bool machine_;
    std::wstring key_;
    Place place_;
};

struct MsgBoxParams;

// What this run offers: the deferrals left and the deadline's instant.
struct DeferralsNow {
    int left = 0;
    ULONGLONG deadline_utc = 0;
    ULONGLONG held_until = 0;  // DeferInterval=: no prompt before then (0: none)
};

// This run's deferrals before its box, from the store (a local deadline
// fixed on first sight). The log says what was found (category DFR).
DeferralsNow DeferralsBefore(const MsgBoxParams& p);
// The box with them: {left} and {until} in its words (the deadline in
// locale's format), and the labels once none is left; the defer button's
// click taken at the click (look.deferral), and greyed at the deadline's
// instant; where none is left, the defer button greyed for good and a
// countdown's default on it moved to button 1.
void ApplyDeferral(MsgBoxParams& p, const DeferralsNow& now, const wchar_t* locale);
// Takes a deferral for who at their choice of the defer button, under the
// key's lock: false (logged) when none is left by then, the deadline has
// passed or it cannot be kept; left: what is left after it.
bool TakeDeferral(const MsgBoxParams& p, const DeferralsNow& now, const std::wstring& who, int& left);
// Keeps the count after the box ended (o as velmo saw it): a person's
// other answer ends the cycle; a defer answer used the deferral taken at
// the click (taken); the countdown, nobody, or an end velmo did not see
// change nothing.
void KeepDeferrals(const MsgBoxParams& p, const kt::Outcome& o, const std::wstring& who, bool taken);
