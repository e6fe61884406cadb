#include "app/Deferral.h"

#include <atomic>
#include <cwchar>

#include "Log/Log.h"
#include "app/CmdLine.h"
#include "gen/TCmpRes.h"
#include "io/security.h"
#include "lib/owner.h"
#include "relay/Session.h"
#include "threads/handle.h"

namespace {

const wchar_t kMachineKey[] = L"SOFTWARE\\velmo\\Deferrals\\";
const wchar_t kUserKey[] = L"Software\\velmo\\Deferrals\\";
// How long a change waits for another run's change of the same key.
const DWORD kLockMs = 10000;
const ULONGLONG kTicksPerMinute = 60ULL * 10000000;
const ULONGLONG kTicksPerDay = 24 * 60 * kTicksPerMinute;

bool Digits(const std::wstring& s, size_t from, size_t n) {
    if (from + n > s.size()) return false;
    for (size_t i = from; i < from + n; ++i) {
        if (s[i] < L'0' || s[i] > L'9') return false;
    }
    return true;
}

WORD Number(const std::wstring& s, size_t from, size_t n) {
    return static_cast<WORD>(wcstoul(s.substr(from, n).c_str(), nullptr, 10));
}

ULONGLONG Ticks(const SYSTEMTIME& t) {
    FILETIME f{};
    if (!SystemTimeToFileTime(&t, &f)) return 0;
    return (static_cast<ULONGLONG>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
}

SYSTEMTIME TimeOf(ULONGLONG ticks) {
    FILETIME f{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME t{};
    FileTimeToSystemTime(&f, &t);
    return t;
}

// Z, or +hh:mm / -hh:mm: minutes east of UTC.
bool ParseOffset(const std::wstring& zone, int& minutes) {
    if (zone == L"Z") {
        minutes = 0;
        return true;
    }
    if (zone.size() != 6 || (zone[0] != L'+' && zone[0] != L'-') || !Digits(zone, 1, 2) || zone[3] != L':' ||
        !Digits(zone, 4, 2))
        return false;
    const int hours = Number(zone, 1, 2), rest = Number(zone, 4, 2);
    if (hours > 23 || rest > 59) return false;
    minutes = (zone[0] == L'-' ? -1 : 1) * (hours * 60 + rest);
    return true;
}

void Replace(std::wstring& text, const std::wstring& what, const std::wstring& with) {
    for (size_t at = 0; (at = text.find(what, at)) != std::wstring::npos; at += with.size()) text.replace(at, what.size(), with);
}

}  // namespace

bool ParseDeferValue(const std::wstring& value, std::wstring& key, int& times) {
    const size_t colon = value.find(L':');
    key = value.substr(0, colon);
    times = 0;
    if (key.empty() || key.size() > 64) return false;
    for (wchar_t c : key) {
        bool ok = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') || c == L'.' ||
                  c == L'-' || c == L'_';
        if (!ok) return false;
    }
    if (colon == std::wstring::npos) return true;
    const std::wstring count = value.substr(colon + 1);
    if (count.empty() || count.size() > 2 || !Digits(count, 0, count.size())) return false;
    times = static_cast<int>(Number(count, 0, count.size()));
    return times >= 1;
}

bool ParseDeadline(const std::wstring& value, DeferralTerms& terms) {
    SYSTEMTIME deadline{};
    if (value.size() < 10 || !Digits(value, 0, 4) || value[4] != L'-' || !Digits(value, 5, 2) || value[7] != L'-' ||
        !Digits(value, 8, 2))
        return false;
    deadline.wYear = Number(value, 0, 4);
    deadline.wMonth = Number(value, 5, 2);
    deadline.wDay = Number(value, 8, 2);
    const bool date_only = value.size() == 10;
    int offset = 0;
    bool zoned = false;
    if (!date_only) {
        // A zone only after a time: a date alone ends with the local day.
        if (value.size() < 16 || value[10] != L'T' || !Digits(value, 11, 2) || value[13] != L':' ||
            !Digits(value, 14, 2))
            return false;
        deadline.wHour = Number(value, 11, 2);
        deadline.wMinute = Number(value, 14, 2);
        zoned = value.size() > 16;
        if (zoned && !ParseOffset(value.substr(16), offset)) return false;
    }
    // 2027-02-29 and 24:00 are no times (Wine's SystemTimeToFileTime takes
    // the 29th of February of any year).
    static const WORD kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const WORD y = deadline.wYear, m = deadline.wMonth;
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (y < 1601 || m < 1 || m > 12 || deadline.wDay < 1 || deadline.wDay > kDays[m - 1] + (m == 2 && leap) ||
        deadline.wHour > 23 || deadline.wMinute > 59)
        return false;
    FILETIME f{};
    if (!SystemTimeToFileTime(&deadline, &f)) return false;
    FileTimeToSystemTime(&f, &deadline);  // the day of the week
    terms.has_deadline = true;
    terms.written = value;
    terms.deadline = deadline;
    terms.date_only = date_only;
    terms.zoned = zoned;
    terms.offset_minutes = offset;
    return true;
}

ULONGLONG UtcNow() {
    FILETIME f{};
    GetSystemTimeAsFileTime(&f);
    return (static_cast<ULONGLONG>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
}

std::wstring UtcText(ULONGLONG utc) {
    const SYSTEMTIME t = TimeOf(utc);
    wchar_t s[32];
    swprintf(s, 32, L"%04u-%02u-%02uT%02u:%02uZ", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute);
    return s;
}

bool MachineLocalToUtc(const SYSTEMTIME& local, SYSTEMTIME& utc) {
    return TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc) != 0;
}

bool MachineUtcToLocal(const SYSTEMTIME& utc, SYSTEMTIME& local) {
    return SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local) != 0;
}

ULONGLONG DeadlineInstant(const DeferralTerms& terms, const TimeConversion& local_to_utc) {
    if (!terms.has_deadline) return 0;
    const ULONGLONG wall = Ticks(terms.deadline) + (terms.date_only ? kTicksPerDay : 0);
    if (terms.zoned) {
        // East of UTC the instant is earlier; never before 1601.
        const long long offset = static_cast<long long>(terms.offset_minutes) * static_cast<long long>(kTicksPerMinute);
        return offset > 0 && static_cast<ULONGLONG>(offset) > wall ? 0 : wall - offset;
    }
    const SYSTEMTIME local = TimeOf(wall);
    SYSTEMTIME utc{};
    return local_to_utc && local_to_utc(local, utc) ? Ticks(utc) : wall;
}

ULONGLONG ParseUtc(const std::wstring& text) {
    // YYYY-MM-DDThh:mm[:ss]Z
    if (text.size() != 17 && text.size() != 20) return 0;
    if (text.size() == 17 && text[16] != L'Z') return 0;
    const std::wstring minutes = text.substr(0, 16) + L"Z";
    DeferralTerms parsed;
    if (!ParseDeadline(minutes, parsed) || !parsed.zoned) return 0;
    ULONGLONG at = DeadlineInstant(parsed, nullptr);
    if (text.size() == 20) {
        if (text[16] != L':' || text[19] != L'Z' || !Digits(text, 17, 2)) return 0;
        const WORD seconds = Number(text, 17, 2);
        if (seconds > 59) return 0;
        at += seconds * 10000000ULL;
    }
    return at;
}

ULONGLONG HeldUntil(const DeferralTerms& terms, const DeferralRecord& record, ULONGLONG now_utc, ULONGLONG deadline_utc) {
    if (!terms.interval_min || !record.last_deferred || record.last_deferred > now_utc) return 0;
    // Only while a Later is still there to give: with none left (the count
    // used up, the deadline passed) or a record that cannot be used, the
    // box shows, Later greyed where none is left.
    const LeftNow l = DeferralsLeft(terms, record, now_utc, deadline_utc);
    if (l.left == 0 || l.fresh || l.deadline_passed) return 0;
    const ULONGLONG until = record.last_deferred + static_cast<ULONGLONG>(terms.interval_min) * kTicksPerMinute;
    return now_utc < until ? until : 0;
}

bool FixedDeadline(const DeferralTerms& terms, const std::wstring& as_written, const std::wstring& deadline,
                   ULONGLONG* utc) {
    DeferralTerms fixed;
    if (as_written != terms.written || !ParseDeadline(deadline, fixed) || !fixed.zoned) return false;
    if (utc) *utc = DeadlineInstant(fixed, nullptr);
    return true;
}

LeftNow DeferralsLeft(const DeferralTerms& terms, const DeferralRecord& record, ULONGLONG now_utc,
                      ULONGLONG deadline_utc) {
    LeftNow l;
    if (terms.has_deadline && now_utc >= deadline_utc) {
        l.deadline_passed = true;
        l.left = 0;
        return l;
    }
    if (terms.times == 0) {
        l.left = kUnlimited;
        return l;
    }
    if (record.state == DeferralRecord::rsGood && record.left <= static_cast<DWORD>(terms.times)) {
        l.left = static_cast<int>(record.left);
        return l;
    }
    l.fresh = record.state != DeferralRecord::rsNone;
    l.left = terms.times;
    return l;
}

RecordChange AfterEnding(kt::Ending ending, int answer, int defer_answer, int left) {
    if (ending != kt::enPerson) return rcNothing;
    if (answer != defer_answer) return rcRemove;
    return left != 0 ? rcUse : rcNothing;
}

std::wstring FormatUntil(const DeferralTerms& terms, ULONGLONG deadline_utc, const wchar_t* locale,
                         const TimeConversion& utc_to_local) {
    if (!terms.has_deadline) return L"";
    SYSTEMTIME local{};
    if (!utc_to_local || !utc_to_local(TimeOf(deadline_utc), local)) local = TimeOf(deadline_utc);
    // A date alone ends at the next day's start: shown as its own day
    // wherever that start is the viewer's midnight.
    const bool day = terms.date_only && local.wHour == 0 && local.wMinute == 0;
    if (day) local = TimeOf(Ticks(local) - kTicksPerDay);
    wchar_t date[96] = {}, time[96] = {};
    if (!GetDateFormatEx(locale, DATE_SHORTDATE, &local, nullptr, date, 96, nullptr)) return L"";
    if (day) return date;
    if (!GetTimeFormatEx(locale, TIME_NOSECONDS, &local, nullptr, time, 96)) return date;
    return std::wstring(date) + L" " + time;
}

std::wstring WithDeferral(const std::wstring& text, int left, const std::wstring& until) {
    std::wstring out = text;
    if (out.find(L'{') == std::wstring::npos) return out;
    Replace(out, L"{left}", left == kUnlimited ? std::wstring(L"\u221E") : std::to_wstring(left));
    Replace(out, L"{until}", until);
    return out;
}

bool DeferralsOfTheMachine(bool service_account, bool elevated) { return service_account || elevated; }

const wchar_t kDeferralLockSddl[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";

namespace {
const wchar_t kCategory[] = L"DFR";
// The private namespace of the machine's locks: its boundary's name and
// its alias (the prefix of the names inside it).
const wchar_t kBoundaryName[] = L"velmo-deferrals";
const wchar_t kNamespaceAlias[] = L"velmo-deferrals";
}  // namespace

std::wstring DeferralLockName(const std::wstring& key, const std::wstring& owner_sid, bool in_namespace) {
    // Registry keys ignore letter case: so does their lock.
    std::wstring upper = key;
    for (wchar_t& c : upper) c = kt::UpperAscii(c);
    if (owner_sid.empty() && in_namespace) return std::wstring(kNamespaceAlias) + L"\\" + upper;
    return L"Global\\velmo-deferral-" + (owner_sid.empty() ? std::wstring(L"machine") : owner_sid) + L"-" + upper;
}

namespace {

// The namespace of the machine's locks, created or opened; empty where
// there is none (the reason in *why). Wine 8 has none: its
// CreateBoundaryDescriptorW gives no handle, and its
// AddSIDToBoundaryDescriptor and CreatePrivateNamespaceW end the process
// when called, so nothing goes on without a boundary.
kt::unique_private_namespace LockNamespace(kt::unique_boundary& boundary, std::wstring& why) {
    boundary.reset(CreateBoundaryDescriptorW(kBoundaryName, 0));
    if (!boundary) {
        why = kt::LastErrorResult(L"CreateBoundaryDescriptorW").str();
        return {};
    }
    // Administrators: SYSTEM's token holds it too; a standard user's (and
    // an unelevated administrator's, deny-only) does not, and only who is
    // within the boundary may create the namespace.
    BYTE admins[SECURITY_MAX_SID_SIZE];
    DWORD bytes = sizeof admins;
    HANDLE grown = boundary.release();  // the call may move the descriptor
    const BOOL added = CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &bytes) &&
                       AddSIDToBoundaryDescriptor(&grown, admins);
    boundary.reset(grown);
    if (!added) {
        why = kt::LastErrorResult(L"AddSIDToBoundaryDescriptor").str();
        return {};
    }
    kt::unique_local sd = kt::SdFromSddl(kDeferralLockSddl);
    SECURITY_ATTRIBUTES sa{sizeof sa, sd.get(), FALSE};
    // Another run's namespace is opened; one whose creator has just closed
    // it cannot be (documented), so it is made anew: a few tries.
    kt::unique_private_namespace ns;
    for (int tries = 0; tries < 3 && !ns; ++tries) {
        ns.reset(CreatePrivateNamespaceW(&sa, boundary.get(), kNamespaceAlias));
        if (ns) return ns;
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            why = kt::LastErrorResult(L"CreatePrivateNamespaceW").str();
            return ns;
        }
        ns.reset(OpenPrivateNamespaceW(boundary.get(), kNamespaceAlias));
        if (!ns) why = kt::LastErrorResult(L"OpenPrivateNamespaceW").str();
    }
    return ns;
}

// The mutex of one key in one store: every run that changes the record
// takes it. One that cannot be had within kLockMs (another run that hangs)
// does not stop the change: losing a lock loses less than losing the
// count.
class KeyLock {
public:
    KeyLock(bool machine, const std::wstring& key) {
        std::wstring why;
        if (machine) namespace_ = LockNamespace(boundary_, why);
        if (machine && !namespace_) {
            static std::atomic<bool> told{false};
            if (!told.exchange(true))
                kt::log_wprintf(kt::get_log(), kCategory, L"no private namespace for the keys' locks (%s): global names",
                                why.c_str());
        }
        // SYSTEM's mutex opens for an elevated administrator too: both have
        // full control of the machine's; only what a wait needs is asked.
        kt::unique_local sd = machine ? kt::SdFromSddl(kDeferralLockSddl) : kt::unique_local();
        SECURITY_ATTRIBUTES sa{sizeof sa, sd.get(), FALSE};
        const std::wstring name =
            DeferralLockName(key, machine ? L"" : kt::TokenUserSid(kt::OwnToken().get()), !!namespace_);
        mutex_.reset(CreateMutexExW(sd ? &sa : nullptr, name.c_str(), 0, SYNCHRONIZE | MUTEX_MODIFY_STATE));
        if (!mutex_) return;
        const DWORD w = WaitForSingleObject(mutex_.get(), kLockMs);
        if (w == WAIT_OBJECT_0 || w == WAIT_ABANDONED) hold_.reset(mutex_.get());
    }
    KeyLock(const KeyLock&) = delete;
    KeyLock& operator=(const KeyLock&) = delete;
    bool held() const { return !!hold_; }

private:
    // Declared in the order they are needed: released in reverse.
    kt::unique_boundary boundary_;
    kt::unique_private_namespace namespace_;
    kt::unique_handle mutex_;
    kt::unique_mutex_hold hold_;
};

LONG SetText(HKEY k, const wchar_t* name, const std::wstring& value) {
    return RegSetValueExW(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

// A REG_SZ value; empty when missing or of another type.
std::wstring GetText(HKEY k, const wchar_t* name) {
    wchar_t text[64] = {};
    DWORD bytes = sizeof text - sizeof(wchar_t);
    DWORD type = 0;
    if (RegQueryValueExW(k, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes) != ERROR_SUCCESS ||
        type != REG_SZ)
        return L"";
    return text;
}

std::wstring ErrorText(LONG e, const std::wstring& call) { return kt::result(static_cast<uint32_t>(e), call).str(); }

}  // namespace

DeferralStore::DeferralStore(const std::wstring& key)
    : machine_(DeferralsOfTheMachine(kt::RunsAsServiceAccount(), kt::Elevated())),
      key_(key),
      place_{machine_ ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, (machine_ ? kMachineKey : kUserKey) + key,
             KEY_WOW64_64KEY} {}

std::wstring DeferralStore::Where() const { return (machine_ ? L"HKLM\\" : L"HKCU\\") + place_.path; }

kt::unique_hkey DeferralStore::Open(REGSAM access, LONG* error) const {
    HKEY k = nullptr;
    *error = RegOpenKeyExW(place_.hive, place_.path.c_str(), 0, access | place_.view, &k);
    return kt::unique_hkey(*error == ERROR_SUCCESS ? k : nullptr);
}

kt::unique_hkey DeferralStore::Create(LONG* error) const {
    HKEY k = nullptr;
    *error = RegCreateKeyExW(place_.hive, place_.path.c_str(), 0, nullptr, 0, KEY_SET_VALUE | place_.view, nullptr, &k,
                             nullptr);
    return kt::unique_hkey(*error == ERROR_SUCCESS ? k : nullptr);
}

DeferralRecord DeferralStore::Read() const {
    DeferralRecord record;
    LONG e = 0;
    kt::unique_hkey opened = Open(KEY_QUERY_VALUE, &e);
    if (e == ERROR_FILE_NOT_FOUND) return record;
    if (e != ERROR_SUCCESS) {
        record.state = DeferralRecord::rsUnusable;
        record.why = kt::result(static_cast<uint32_t>(e)).str();
        return record;
    }
    record.last_deferred = ParseUtc(GetText(opened.get(), L"LastDeferred"));
    DWORD type = 0, value = 0, bytes = sizeof value;
    e = RegQueryValueExW(opened.get(), L"Left", nullptr, &type, reinterpret_cast<BYTE*>(&value), &bytes);
    if (e == ERROR_FILE_NOT_FOUND) return record;  // no count kept (none was asked for)
    if (e == ERROR_SUCCESS && type == REG_DWORD && bytes == sizeof value) {
        record.state = DeferralRecord::rsGood;
        record.left = value;
    } else {
        record.state = DeferralRecord::rsUnusable;
        record.why = e == ERROR_SUCCESS || e == ERROR_MORE_DATA ? L"Left is not a REG_DWORD"
                                                                 : kt::result(static_cast<uint32_t>(e)).str();
    }
    return record;
}

ULONGLONG DeferralStore::Deadline(const DeferralTerms& terms, const TimeConversion& local_to_utc) {
    if (!terms.has_deadline) return 0;
    const ULONGLONG now_rule = DeadlineInstant(terms, local_to_utc);
    // The same instant everywhere: nothing to fix.
    if (terms.zoned) return now_rule;
    kt::Log* log = kt::get_log();
    KeyLock lock(machine_, key_);
    LONG e = 0;
    kt::unique_hkey record = Open(KEY_QUERY_VALUE, &e);
    ULONGLONG fixed = 0;
    if (record && FixedDeadline(terms, GetText(record.get(), L"DeadlineAsWritten"), GetText(record.get(), L"Deadline"),
                                &fixed)) {
        kt::log_wprintf(log, kCategory, L"deadline %s as fixed on first sight: %s", terms.written.c_str(),
                        UtcText(fixed).c_str());
        return fixed;
    }
    record = Create(&e);
    if (e == ERROR_SUCCESS) e = SetText(record.get(), L"DeadlineAsWritten", terms.written);
    if (e == ERROR_SUCCESS) e = SetText(record.get(), L"Deadline", UtcText(now_rule));
    if (e != ERROR_SUCCESS) {
        kt::log_wprintf(log, kCategory, L"deadline %s not fixed in %s: %s: this run's instant %s", terms.written.c_str(),
                        Where().c_str(), ErrorText(e, L"RegSetValueExW").c_str(), UtcText(now_rule).c_str());
        return now_rule;
    }
    kt::log_wprintf(log, kCategory, L"deadline %s fixed as %s%s", terms.written.c_str(), UtcText(now_rule).c_str(),
                    lock.held() ? L"" : L" (without the key's lock)");
    return now_rule;
}

Taken DeferralStore::Take(const DeferralTerms& terms, ULONGLONG deadline_utc, const std::wstring& who) {
    KeyLock lock(machine_, key_);
    // Another run may have taken one since this run read the record.
    const LeftNow before = DeferralsLeft(terms, Read(), UtcNow(), deadline_utc);
    Taken taken;
    if (before.deadline_passed) {
        taken.why = L"the deadline has passed";
        return taken;
    }
    if (before.left == 0) {
        taken.why = L"none left";
        return taken;
    }
    taken.left = before.left;
    LONG e = 0;
    kt::unique_hkey record = Create(&e);
    if (e != ERROR_SUCCESS) {
        taken.why = ErrorText(e, L"RegCreateKeyExW " + Where());
        return taken;
    }
    const int after = before.left == kUnlimited ? kUnlimited : before.left - 1;
    const DWORD value = static_cast<DWORD>(after);
    SYSTEMTIME t;
    GetSystemTime(&t);
    wchar_t when[32];
    swprintf(when, 32, L"%04u-%02u-%02uT%02u:%02u:%02uZ", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
    // Left last: the deferral is given once it is written, and only then.
    e = SetText(record.get(), L"LastDeferred", when);
    if (e == ERROR_SUCCESS) e = SetText(record.get(), L"LastDeferredBy", who);
    if (e == ERROR_SUCCESS && after != kUnlimited)
        e = RegSetValueExW(record.get(), L"Left", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    if (e != ERROR_SUCCESS) {
        taken.why = ErrorText(e, L"RegSetValueExW " + Where());
        return taken;
    }
    taken.given = true;
    taken.left = after;
    if (!lock.held()) taken.why = L"without the key's lock";
    return taken;
}

kt::result DeferralStore::Remove() {
    KeyLock lock(machine_, key_);
    LONG e = RegDeleteKeyExW(place_.hive, place_.path.c_str(), place_.view, 0);
    if (e != ERROR_SUCCESS && e != ERROR_FILE_NOT_FOUND)
        return kt::result(static_cast<uint32_t>(e), L"RegDeleteKeyExW " + Where());
    return {};
}

namespace {
std::wstring Counted(int left, const DeferralTerms& terms, ULONGLONG deadline_utc) {
    if (left == kUnlimited)
        return L"as often as wanted until " + FormatUntil(terms, deadline_utc, LOCALE_NAME_USER_DEFAULT);
    return std::to_wstring(left) + L" of " + std::to_wstring(terms.times) + L" left";
}
}  // namespace

DeferralsNow DeferralsBefore(const MsgBoxParams& p) {
    kt::Log* log = kt::get_log();
    const DeferralTerms& terms = p.defer;
    DeferralsNow now;
    DeferralStore store(terms.key);
    now.deadline_utc = store.Deadline(terms);
    DeferralRecord record = store.Read();
    LeftNow l = DeferralsLeft(terms, record, UtcNow(), now.deadline_utc);
    if (l.fresh && record.state == DeferralRecord::rsUnusable) {
        kt::log_wprintf(log, kCategory, L"record of %s unreadable: %s: counted as new", terms.key.c_str(), record.why.c_str());
    } else if (l.fresh) {
        kt::log_wprintf(log, kCategory, L"record of %s out of range: Left %u of %d: counted as new", terms.key.c_str(),
                        static_cast<unsigned>(record.left), terms.times);
    }
    if (l.deadline_passed) {
        kt::log_wprintf(log, kCategory, L"no deferral left: the deadline has passed (%s, %s)", terms.written.c_str(),
                        UtcText(now.deadline_utc).c_str());
    } else if (l.left == 0) {
        kt::log_wprintf(log, kCategory, L"no deferral left: 0 of %d (%s)", terms.times, store.Where().c_str());
    } else {
        kt::log_wprintf(log, kCategory, L"deferrals of %s: %s (%s)", terms.key.c_str(),
                        Counted(l.left, terms, now.deadline_utc).c_str(), store.Where().c_str());
    }
    now.left = l.left;
    now.held_until = HeldUntil(terms, record, UtcNow(), now.deadline_utc);
    if (now.held_until)
        kt::log_wprintf(log, kCategory, L"deferred by a person at %s: no prompt before %s (DeferInterval=%d)",
                        UtcText(record.last_deferred).c_str(), UtcText(now.held_until).c_str(), terms.interval_min);
    return now;
}

void ApplyDeferral(MsgBoxParams& p, const DeferralsNow& now, const wchar_t* locale) {
    if (!p.defer.given()) return;
    const std::wstring until = FormatUntil(p.defer, now.deadline_utc, locale);
    p.text = WithDeferral(p.text, now.left, until);
    p.caption = WithDeferral(p.caption, now.left, until);
    for (unsigned i = 0; i < kt::kMaxButtons; ++i) {
        std::wstring& label = p.look.labels[i];
        // The words once none is left, should that come while the box is up.
        if (label.find(L'{') != std::wstring::npos) p.look.none_left[i] = WithDeferral(label, 0, until);
        label = WithDeferral(label, now.left, until);
    }
    if (now.left != 0) {
        // Taken at a person's click; greyed by itself at the deadline.
        p.look.deferral = 1;
        p.look.deferral_until = now.deadline_utc;
        return;
    }
    p.look.locked = 1;
    // The countdown never clicks the greyed button: button 1 instead.
    if ((p.flags & MB_DEFMASK) == MB_DEFBUTTON2) p.flags = (p.flags & ~MB_DEFMASK) | MB_DEFBUTTON1;
}

bool TakeDeferral(const MsgBoxParams& p, const DeferralsNow& now, const std::wstring& who, int& left) {
    const Taken taken = DeferralStore(p.defer.key).Take(p.defer, now.deadline_utc, who);
    kt::Log* log = kt::get_log();
    left = taken.left;
    if (taken.given)
        kt::log_wprintf(log, kCategory, L"deferral taken for %s: %s%s", who.c_str(),
                        Counted(taken.left, p.defer, now.deadline_utc).c_str(),
                        taken.why.empty() ? L"" : (L" (" + taken.why + L")").c_str());
    else
        kt::log_wprintf(log, kCategory, L"no deferral for %s: %s: the defer button greys, the box stays", who.c_str(),
                        taken.why.c_str());
    return taken.given;
}

void KeepDeferrals(const MsgBoxParams& p, const kt::Outcome& o, const std::wstring& who, bool taken) {
    if (!p.defer.given()) return;
    kt::Log* log = kt::get_log();
    const int defer_answer = static_cast<int>(kt::ButtonItem(p.flags, 1));
    switch (AfterEnding(o.ending, o.answer, defer_answer, taken ? 1 : 0)) {
        case rcNothing:
            if (o.ending == kt::enCountdown)
                kt::log_wprintf(log, kCategory, L"the countdown's answer %d uses no deferral", o.answer);
            else if (o.ending == kt::enNone)
                kt::log_printf(log, "DFR", "nobody answered: no deferral used");
            else
                kt::log_wprintf(log, kCategory, L"answer %d of %s without a deferral taken: none used", o.answer,
                                who.c_str());
            break;
        case rcUse:
            // Taken at the click, under the key's lock.
            kt::log_wprintf(log, kCategory, L"deferral used by %s", who.c_str());
            break;
        case rcRemove: {
            kt::result removed = DeferralStore(p.defer.key).Remove();
            if (removed.ok())
                kt::log_wprintf(log, kCategory, L"deferrals ended by answer %d: record removed", o.answer);
            else
                kt::log_wprintf(log, kCategory, L"deferrals ended by answer %d, but the record stays: %s", o.answer,
                                removed.str().c_str());
            break;
        }
    }
}
