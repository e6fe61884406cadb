// Limited deferrals kept between runs: Defer=<key>[:<times>] makes button 2
// of the set the defer button, which a person may choose that many times
// (or, with DeferUntil=, until a deadline); the count lives in the
// registry, per key, and only a person's choice of that button uses one.
#pragma once

#include <string>

#include "lib/kt.h"
#include "lib/owner.h"
#include "relay/Answer.h"

// What Defer= and DeferUntil= ask.
struct DeferralTerms {
    std::wstring key;            // as written; empty: no Defer=
    int times = 0;               // 1 to 99; 0: as often as wanted until the deadline
    bool has_deadline = false;   // DeferUntil=
    SYSTEMTIME deadline{};       // local time; with date_only the day itself
    bool date_only = false;      // YYYY-MM-DD: through the end of that day
    bool given() const { return !key.empty(); }
};

// The words' values. Defer=<key>[:<times>]: key 1 to 64 letters, digits,
// ".", "-" or "_"; times 1 to 99. DeferUntil=YYYY-MM-DD or
// YYYY-MM-DDThh:mm, a real day and time. false for anything else.
bool ParseDeferValue(const std::wstring& value, std::wstring& key, int& times);
bool ParseDeadline(const std::wstring& value, SYSTEMTIME& deadline, bool& date_only);

// No count: as often as the person likes until the deadline.
const int kUnlimited = -1;

// The record a key has in the store.
struct DeferralRecord {
    enum State { rsNone, rsGood, rsUnusable } state = rsNone;
    DWORD left = 0;    // rsGood
    std::wstring why;  // rsUnusable: a wrong type, or why it could not be read
};

// What is left now. A record that cannot be used (unusable, or more left
// than times) counts as a new one (*fresh says so); after the deadline
// nothing is left. now: local time.
struct LeftNow {
    int left = 0;          // 0 .. times, or kUnlimited
    bool fresh = false;    // the record was not used as it stood
    bool deadline_passed = false;
};
LeftNow DeferralsLeft(const DeferralTerms& terms, const DeferralRecord& record, const SYSTEMTIME& now);

// What an ending does to the record: only a person's choice of the defer
// button uses a deferral (while one is left); any other answer of a person
// ends the cycle (the record goes); the countdown, an end from outside or
// nobody to ask change nothing.
enum RecordChange { rcNothing, rcUse, rcRemove };
RecordChange AfterEnding(kt::Ending ending, int answer, int defer_answer, int left);

// {left} (the deferrals left; "∞" without a count) and {until} (the
// deadline in the short date, and time, format of locale, a locale name or
// LOCALE_NAME_USER_DEFAULT) put into text; every other brace stays.
std::wstring WithDeferral(const std::wstring& text, int left, const DeferralTerms& terms, const wchar_t* locale);
std::wstring FormatUntil(const DeferralTerms& terms, const wchar_t* locale);

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

// One key's record in the store, changed under the key's lock so that two
// runs at once lose no deferral.
class DeferralStore {
public:
    explicit DeferralStore(const std::wstring& key);
    virtual ~DeferralStore() = default;
    // The record as it stands (Use reads it again under the key's lock).
    virtual DeferralRecord Read() const;
    // Uses one deferral: the record read again under the lock, then Left
    // written one less (none written without a count), with when (UTC, ISO
    // 8601) and who. *left: what is left after it; the result says why not.
    kt::result Use(const DeferralTerms& terms, const std::wstring& who, int* left);
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

// This run's deferrals before its box: the count its asker handed over (a
// relayed run keeps no count of its own), else the store's. The log says
// what was found (category DFR).
int DeferralsBefore(const MsgBoxParams& p, bool relayed);
// The environment entry that hands left to a relayed run, and left back
// from this process's environment (-2 when none was handed over).
std::wstring DeferralEntry(int left);
int HandedDeferrals();
// The box with left: {left} and {until} in its words (the deadline in
// locale's format); where none is left, the defer button greyed for good
// and a countdown's default on it moved to button 1.
void ApplyDeferral(MsgBoxParams& p, int left, const wchar_t* locale);
// Keeps the count after this run's box ended (never in a relayed run):
// the answer, how it ended, who answered, what was left before.
void KeepDeferrals(const MsgBoxParams& p, kt::Ending ending, int answer, int left, const std::wstring& who);

