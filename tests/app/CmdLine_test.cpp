#include <gtest/gtest.h>

#include "app/CmdLine.h"
#include "app/Command.h"
#include "tests/common.h"

#include <shellapi.h>

namespace {

using test::Narrow;

// A command line's parse: a success, or 87 with error (when given).
::testing::AssertionResult Parsed(const std::wstring& line, const wchar_t* error, MsgBoxParams& p) {
    kt::result r = ParseCmdLine(p, line.c_str());
    if (!error) {
        if (r.ok()) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "not parsed: " << Narrow(r.text());
    }
    if (r.ok()) return ::testing::AssertionFailure() << "parsed, not " << Narrow(error);
    if (r.code() != ERROR_INVALID_PARAMETER || r.text() != error)
        return ::testing::AssertionFailure() << r.code() << " " << Narrow(r.text()) << ", not " << Narrow(error);
    return ::testing::AssertionSuccess();
}

struct ParseCase {
    const wchar_t* args;  // the command line after the program path
    const wchar_t* error;  // null: success
    const wchar_t* text = L"";
    const wchar_t* caption = L"";
    uint32_t flags = 0;
    int32_t timeout = 0;
    bool buttons = true;
    bool report_timeout = false;
};

const ParseCase kParseCases[] = {
    // missing pieces
    {L"", L"ERROR: no arguments"},
    {L"\"\" b c", L"ERROR: no arguments"},
    {L"-esc:~", L"ERROR: no message text"},
    {L"-esc:~ \"\" b", L"ERROR: no message text"},
    {L"text", L"ERROR: no message text"},
    {L"text \"\" OK", L"ERROR: no message text"},
    {L"Hello Title", L"ERROR: unknown option ''"},
    // escape option forms
    {L"-esc: \"a n t N T\" c OK", nullptr, L"a \n \t \n \t", L"c", 0, 0, true},
    {L"-esc:^^ \"a^^nb^nc^^T\" c OK", nullptr, L"a\nb^nc\t", L"c", 0, 0, true},
    {L"/ESC:# \"a#nb\\n\" c OK", nullptr, L"a\nb\\n", L"c", 0, 0, true},
    {L"-Esc:\\ \"1\\n2\" c OK", nullptr, L"1\n2", L"c", 0, 0, true},
    {L"-e:x c OK", nullptr, L"-e:x", L"c", 0, 0, true},
    {L"-esc:-esc:x c OK", nullptr, L"-esc:-esc:x", L"c", 0, 0, true},
    {L"x-esc:~ c OK", nullptr, L"x-esc:~", L"c", 0, 0, true},
    // escapes with the default escape string
    {L"\"x\\Ny\\Tz\" c OK", nullptr, L"x\ny\tz", L"c", 0, 0, true},
    {L"\"a\\\\nb\" c OK", nullptr, L"a\\\\nb", L"c", 0, 0, true},
    {L"a\\qb\\ c OK", nullptr, L"a\\qb\\", L"c", 0, 0, true},
    // quotes
    {L"\\\"\\\" c OK", nullptr, L"", L"c", 0, 0, true},
    {L"\"\\\"inner\\\"\" \"\\\"Cap\\\"\" \"\\\"OK\\\"\"", nullptr, L"inner", L"Cap", 0, 0, true},
    {L"\\\" c OK", nullptr, L"\"", L"c", 0, 0, true},
    // flag words
    {L"t c Question|YesNo|DefButton2", nullptr, L"t", L"c", 0x124, 0, true},
    {L"t c question|yesno", nullptr, L"t", L"c", 0x24, 0, true},
    {L"t c QUESTION|YESNOCANCEL|defbutton3", nullptr, L"t", L"c", 0x223, 0, true},
    {L"t c Question|YesNo|", L"ERROR: unknown option ''"},
    {L"t c \"Question | YesNo\"", L"ERROR: unknown option 'Question '"},
    {L"t c |OK", L"ERROR: unknown option '|OK'"},
    {L"t c OK||Error", L"ERROR: unknown option '|Error'"},
    {L"t c \" YesNo\"", L"ERROR: unknown option ' YesNo'"},
    {L"t c OK|Informatio", L"ERROR: unknown option 'Informatio'"},
    {L"t c OK|Information", nullptr, L"t", L"c", 0x40, 0, true},
    {L"t c NoButtons", nullptr, L"t", L"c", 0, 0, false},
    {L"t c YesNo|OkCancel", nullptr, L"t", L"c", 0x5, 0, true},
    {L"t c Question|Error", nullptr, L"t", L"c", 0x30, 0, true},
    {L"t c Warning|Warning|DefButton4", nullptr, L"t", L"c", 0x330, 0, true},
    {L"t c AbortRetryIgnore|RetryCancel|CancelTryContinue", nullptr, L"t", L"c", 0x7, 0, true},
    {L"t c DefButton1|OK", nullptr, L"t", L"c", 0, 0, true},
    // window options and ReportTimeout
    {L"t c TopMost", nullptr, L"t", L"c", 0x40000, 0, true},
    {L"t c systemmodal|Question", nullptr, L"t", L"c", 0x1020, 0, true},
    {L"t c TASKMODAL", nullptr, L"t", L"c", 0x2000, 0, true},
    {L"t c Right|rtlReading", nullptr, L"t", L"c", 0x180000, 0, true},
    {L"t c TopMost|SystemModal|TaskModal|Right|RtlReading|YesNo", nullptr, L"t", L"c", 0x1C3004, 0, true},
    {L"t c YesNo|ReportTimeout|DefButton2 5", nullptr, L"t", L"c", 0x104, 5, true, true},
    {L"t c REPORTTIMEOUT|NoButtons", nullptr, L"t", L"c", 0, 0, false, true},
    {L"t c TopMost2", L"ERROR: unknown option 'TopMost2'"},
    {L"t c \"Top Most\"", L"ERROR: unknown option 'Top Most'"},
    {L"t c OK|SystemModa", L"ERROR: unknown option 'SystemModa'"},
    {L"t c Rightt", L"ERROR: unknown option 'Rightt'"},
    {L"t c Report|Timeout", L"ERROR: unknown option 'Report'"},
    {L"t c ReportTimeouts", L"ERROR: unknown option 'ReportTimeouts'"},
    // timeout
    {L"t c OK 60", nullptr, L"t", L"c", 0, 60, true},
    {L"t c OK \" 60s\"", nullptr, L"t", L"c", 0, 60, true},
    {L"t c OK abc", nullptr, L"t", L"c", 0, 0, true},
    {L"t c OK -5", nullptr, L"t", L"c", 0, -5, true},
    {L"t c OK 99999999999", nullptr, L"t", L"c", 0, 2147483647, true},
    {L"t c OK -99999999999", nullptr, L"t", L"c", 0, static_cast<int32_t>(0x80000000u), true},
    {L"t c OK 5 extra \"more args\"", nullptr, L"t", L"c", 0, 5, true},
};

TEST(ParseCmdLine, Table) {
    for (const ParseCase& c : kParseCases) {
        SCOPED_TRACE(Narrow(c.args));
        MsgBoxParams p;
        p.text = L"keep";
        p.caption = L"keep";
        p.flags = 0xDEAD;
        p.timeout = 77;
        std::wstring line = std::wstring(L"velmo.exe ") + c.args;
        kt::result r = ParseCmdLine(p, line.c_str());
        if (c.error) {
            EXPECT_FALSE(r.ok());
            EXPECT_EQ(r.code(), test::Code(ERROR_INVALID_PARAMETER));
            EXPECT_EQ(r.text(), c.error);
            EXPECT_EQ(p.text, L"keep");
            EXPECT_EQ(p.caption, L"keep");
            EXPECT_EQ(p.flags, 0xDEADu);
            EXPECT_EQ(p.timeout, 77);
            EXPECT_FALSE(p.report_timeout);
        } else {
            EXPECT_TRUE(r.ok()) << Narrow(r.text());
            EXPECT_EQ(r.code(), 0u);
            EXPECT_EQ(p.text, c.text);
            EXPECT_EQ(p.caption, c.caption);
            EXPECT_EQ(p.flags, c.flags);
            EXPECT_EQ(p.timeout, c.timeout);
            EXPECT_EQ(p.buttons, c.buttons);
            EXPECT_EQ(p.report_timeout, c.report_timeout);
        }
    }
}

struct TimeoutCase {
    const wchar_t* in;
    int32_t out;
};

struct LabelCase {
    const wchar_t* flags;     // the flags argument, quoted on the command line
    const wchar_t* error;     // null: success
    const wchar_t* labels[3] = {L"", L"", L""};
    uint32_t style = 0;
    bool guard = false;
};

TEST(ParseCmdLine, ButtonLabelsAndGuard) {
    const LabelCase cases[] = {
        {L"YesNo|Button1=&Restart now|Button2=&Later", nullptr, {L"&Restart now", L"&Later", L""}, MB_YESNO},
        {L"button3=C|BUTTON2=b|bUtToN1=a|YesNoCancel", nullptr, {L"a", L"b", L"C"}, MB_YESNOCANCEL},
        {L"OK|Button1=Got it", nullptr, {L"Got it", L"", L""}, MB_OK},
        {L"Button1=Save && exit|OkCancel", nullptr, {L"Save && exit", L"", L""}, MB_OKCANCEL},
        {L"AbortRetryIgnore|Button2=  spaced  |Question", nullptr, {L"", L"  spaced  ", L""}, 0x22},
        {L"YesNo|Button1=\u0414\u0430, \u0441\u0435\u0439\u0447\u0430\u0441", nullptr,
         {L"\u0414\u0430, \u0441\u0435\u0439\u0447\u0430\u0441", L"", L""}, MB_YESNO},
        {L"YesNo|Button1=a=b", nullptr, {L"a=b", L"", L""}, MB_YESNO},
        {L"YesNo|Button1=1234567890123456789012345678901234567890", nullptr,
         {L"1234567890123456789012345678901234567890", L"", L""}, MB_YESNO},
        {L"YesNo|Button1=first|Button1=second", nullptr, {L"second", L"", L""}, MB_YESNO},
        // errors name the piece
        {L"YesNo|Button3=Maybe", L"ERROR: the box has no button for 'Button3=Maybe'"},
        {L"Button2=x", L"ERROR: the box has no button for 'Button2=x'"},
        {L"NoButtons|Button1=x", L"ERROR: the box has no button for 'Button1=x'"},
        {L"Button1=x|NoButtons|OkCancel", L"ERROR: the box has no button for 'Button1=x'"},
        {L"YesNo|Button1=", L"ERROR: empty label 'Button1='"},
        {L"YesNo|Button1=|Button2=b", L"ERROR: empty label 'Button1='"},
        {L"YesNoCancel|Button4=x", L"ERROR: the box has no button for 'Button4=x'"},
        {L"YesNoCancel|Button12=x", L"ERROR: the box has no button for 'Button12=x'"},
        {L"YesNoCancel|Button0=x", L"ERROR: the box has no button for 'Button0=x'"},
        {L"YesNo|Button1=12345678901234567890123456789012345678901",
         L"ERROR: label longer than 40 characters 'Button1=12345678901234567890123456789012345678901'"},
        {L"YesNo|Button=x", L"ERROR: unknown option 'Button=x'"},
        {L"YesNo|Button1", L"ERROR: unknown option 'Button1'"},
        {L"YesNo|Button1x=y", L"ERROR: unknown option 'Button1x=y'"},
        {L"YesNo| Button1=y", L"ERROR: unknown option ' Button1=y'"},
        {L"YesNo|Button1=a|", L"ERROR: unknown option ''"},
        // Guard
        {L"YesNo|Guard", nullptr, {L"", L"", L""}, MB_YESNO, true},
        {L"GUARD|okcancel|guard", nullptr, {L"", L"", L""}, MB_OKCANCEL, true},
        {L"gUaRd|Button1=&Go", nullptr, {L"&Go", L"", L""}, MB_OK, true},
        {L"YesNo|Guards", L"ERROR: unknown option 'Guards'"},
        {L"YesNo|Guar", L"ERROR: unknown option 'Guar'"},
        {L"YesNo|Guard=1", L"ERROR: unknown option 'Guard=1'"},
        {L"YesNo| Guard", L"ERROR: unknown option ' Guard'"},
    };
    for (const LabelCase& c : cases) {
        SCOPED_TRACE(Narrow(c.flags));
        MsgBoxParams p;
        std::wstring line = std::wstring(L"velmo.exe t c \"") + c.flags + L"\" 5";
        kt::result r = ParseCmdLine(p, line.c_str());
        if (c.error) {
            EXPECT_EQ(r.code(), test::Code(ERROR_INVALID_PARAMETER));
            EXPECT_EQ(r.text(), c.error);
            EXPECT_FALSE(p.look.any());
            EXPECT_FALSE(p.look.guard);
            continue;
        }
        ASSERT_TRUE(r.ok()) << Narrow(r.text());
        for (int i = 0; i < 3; ++i) EXPECT_EQ(p.look.labels[i], c.labels[i]) << i;
        EXPECT_EQ(p.flags, c.style);
        EXPECT_EQ(p.look.guard, c.guard);
        EXPECT_EQ(p.timeout, 5);
    }
}

// The limit counts characters as written: a character outside the Basic
// Multilingual Plane (two UTF-16 units) is one.
// Texts=: the file may give the text and the caption, so these may be empty.
TEST(ParseCmdLine, TextsWord) {
    const struct {
        const wchar_t* args;
        const wchar_t* error;  // null: success
        const wchar_t* texts;
        const wchar_t* text;
        const wchar_t* escape;
    } cases[] = {
        {L"\"\" \"\" \"Question|YesNo|Texts=restart.txt\" 300", nullptr, L"restart.txt", L"", L"\\"},
        {L"t \"\" \"YesNo|texts=a.txt\"", nullptr, L"a.txt", L"t", L"\\"},
        {L"t c \"TEXTS=\\\"C:\\My Files\\r.txt\\\"|OK\"", nullptr, L"C:\\My Files\\r.txt", L"t", L"\\"},
        {L"-esc:~ \"a~nb\" \"\" \"Texts=..\\t.txt\"", nullptr, L"..\\t.txt", L"a\nb", L"~"},
        {L"\"\" \"\" YesNo", L"ERROR: no arguments", L"", L"", L""},
        {L"t \"\" YesNo", L"ERROR: no message text", L"", L"", L""},
        {L"t c \"YesNo|Texts=\"", L"ERROR: no file in 'Texts='", L"", L"", L""},
        {L"t c \"Texts=a|Texts=b\"", L"ERROR: Texts= given twice 'Texts=b'", L"", L"", L""},
        {L"t c \"TextsX=a\"", L"ERROR: unknown option 'TextsX=a'", L"", L"", L""},
        {L"t c \"Texts\"", L"ERROR: unknown option 'Texts'", L"", L"", L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.args));
        MsgBoxParams p;
        ASSERT_TRUE(Parsed(std::wstring(L"velmo.exe ") + c.args, c.error, p));
        if (c.error) continue;
        EXPECT_EQ(p.texts, c.texts);
        EXPECT_EQ(p.text, c.text);
        EXPECT_EQ(p.escape, c.escape);
    }
}

// The valued words Session=, Defer= and DeferUntil=: what each sets, and
// every way each is a bad command line.
#define BAD_DEFER L"ERROR: not <key>[:<times>] (1 to 64 letters, digits, . - _; 1 to 99 times) "
#define BAD_DATE L"ERROR: not a date YYYY-MM-DD or YYYY-MM-DDThh:mm[Z|+hh:mm|-hh:mm] "
TEST(ParseCmdLine, ValuedWords) {
    const struct {
        const wchar_t* flags;
        const wchar_t* error;  // null: success
        kt::SessionScope scope = kt::scAll;
        const wchar_t* key = L"";
        int times = 0;
        bool deadline = false, date_only = false, zoned = false;
    } cases[] = {
        {L"YesNo", nullptr},
        {L"YesNo|Session=Console", nullptr, kt::scConsole},
        {L"session=cOnSoLe|YesNo", nullptr, kt::scConsole},
        {L"YesNo|Session=All", nullptr, kt::scAll},
        {L"SESSION=ALL|Texts=a.txt", nullptr, kt::scAll},
        {L"YesNo|Session=", L"ERROR: not All or Console 'Session='"},
        {L"YesNo|Session=Remote", L"ERROR: not All or Console 'Session=Remote'"},
        {L"YesNo|Session=Console ", L"ERROR: not All or Console 'Session=Console '"},
        {L"YesNo|Session=Console|Session=All", L"ERROR: Session= given twice 'Session=All'"},
        {L"YesNo|Session=All|Session=All", L"ERROR: Session= given twice 'Session=All'"},
        {L"YesNo|Session", L"ERROR: unknown option 'Session'"},
        {L"YesNo|Sessions=All", L"ERROR: unknown option 'Sessions=All'"},
        {L"YesNo|Session1=All", L"ERROR: unknown option 'Session1=All'"},
        {L"YesNo|Session=Console|Defer=k:2", nullptr, kt::scConsole, L"k", 2},
        {L"YesNo|Defer=Office365:3", nullptr, kt::scAll, L"Office365", 3},
        {L"defer=a.b-c_D:99|OkCancel", nullptr, kt::scAll, L"a.b-c_D", 99},
        {L"YesNo|Defer=x:1|DeferUntil=2026-12-31", nullptr, kt::scAll, L"x", 1, true, true},
        {L"YesNo|Defer=x|DEFERUNTIL=2027-02-28T17:30", nullptr, kt::scAll, L"x", 0, true, false},
        {L"YesNoCancel|Defer=x:05", nullptr, kt::scAll, L"x", 5},
        {L"YesNo|Defer=kkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkk:2", nullptr, kt::scAll, L"kkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkk", 2},
        // Bad keys, times and dates.
        {L"YesNo|Defer=", BAD_DEFER L"'Defer='"},
        {L"YesNo|Defer=:3", BAD_DEFER L"'Defer=:3'"},
        {L"YesNo|Defer=kkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkk:2",
         BAD_DEFER L"'Defer=kkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkkk:2'"},
        {L"YesNo|Defer=my app:3", BAD_DEFER L"'Defer=my app:3'"},
        {L"YesNo|Defer=..\\x:3", BAD_DEFER L"'Defer=..\\x:3'"},
        {L"YesNo|Defer=x:0", BAD_DEFER L"'Defer=x:0'"},
        {L"YesNo|Defer=x:100", BAD_DEFER L"'Defer=x:100'"},
        {L"YesNo|Defer=x:-1", BAD_DEFER L"'Defer=x:-1'"},
        {L"YesNo|Defer=x:", BAD_DEFER L"'Defer=x:'"},
        {L"YesNo|Defer=x:3|DeferUntil=31.12.2026", BAD_DATE L"'DeferUntil=31.12.2026'"},
        {L"YesNo|Defer=x:3|DeferUntil=2027-02-29", BAD_DATE L"'DeferUntil=2027-02-29'"},
        {L"YesNo|Defer=x:3|DeferUntil=2026-12-31T24:00", BAD_DATE L"'DeferUntil=2026-12-31T24:00'"},
        {L"YesNo|Defer=x:3|DeferUntil=2026-12-31 17:30", BAD_DATE L"'DeferUntil=2026-12-31 17:30'"},
        {L"YesNo|Defer=x:3|DeferUntil=2026-1-31", BAD_DATE L"'DeferUntil=2026-1-31'"},
        {L"YesNo|Defer=x:3|DeferUntil=2026-04-31", BAD_DATE L"'DeferUntil=2026-04-31'"},
        {L"YesNo|Defer=x:3|DeferUntil=2100-02-29", BAD_DATE L"'DeferUntil=2100-02-29'"},
        {L"YesNo|Defer=x:3|DeferUntil=2026-13-01", BAD_DATE L"'DeferUntil=2026-13-01'"},
        {L"YesNo|Defer=x:3|DeferUntil=2026-12-00", BAD_DATE L"'DeferUntil=2026-12-00'"},
        {L"YesNo|Defer=x:3|DeferUntil=2028-02-29", nullptr, kt::scAll, L"x", 3, true, true},
        {L"YesNo|Defer=x:3|DeferUntil=2000-02-29T00:00", nullptr, kt::scAll, L"x", 3, true, false},
        {L"YesNo|Defer=x:3|DeferUntil=2026-12-31T18:00Z", nullptr, kt::scAll, L"x", 3, true, false, true},
        {L"YesNo|Defer=x:3|DeferUntil=2026-12-31T18:00-05:30", nullptr, kt::scAll, L"x", 3, true, false, true},
        {L"YesNo|Defer=x:3|DeferUntil=2026-12-31T18:00+24:00", BAD_DATE L"'DeferUntil=2026-12-31T18:00+24:00'"},
        {L"YesNo|Defer=x:3|DeferUntil=2026-12-31Z", BAD_DATE L"'DeferUntil=2026-12-31Z'"},
        // The words together, and a box that can defer.
        {L"YesNo|DeferUntil=2026-12-31", L"ERROR: DeferUntil= without Defer= 'DeferUntil=2026-12-31'"},
        {L"YesNo|Defer=x", L"ERROR: neither times nor DeferUntil= for 'Defer=x'"},
        {L"OK|Defer=x:3", L"ERROR: the box has no button 2 to defer with 'Defer=x:3'"},
        {L"Defer=x:3", L"ERROR: the box has no button 2 to defer with 'Defer=x:3'"},
        {L"NoButtons|YesNo|Defer=x:3", L"ERROR: the box has no button 2 to defer with 'Defer=x:3'"},
        {L"YesNo|Defer=x:3|Defer=y:2", L"ERROR: Defer= given twice 'Defer=y:2'"},
        {L"YesNo|Defer=x|DeferUntil=2026-12-31|DeferUntil=2027-01-31",
         L"ERROR: DeferUntil= given twice 'DeferUntil=2027-01-31'"},
        {L"YesNo|Deferral=x:3", L"ERROR: unknown option 'Deferral=x:3'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.flags));
        MsgBoxParams p;
        ASSERT_TRUE(Parsed(std::wstring(L"velmo.exe t c \"") + c.flags + L"\" 30", c.error, p));
        if (c.error) continue;
        EXPECT_EQ(p.session, c.scope);
        EXPECT_EQ(p.defer.key, c.key);
        EXPECT_EQ(p.defer.times, c.times);
        EXPECT_EQ(p.defer.has_deadline, c.deadline);
        EXPECT_EQ(p.defer.date_only, c.date_only);
        EXPECT_EQ(p.defer.zoned, c.zoned);
    }
    MsgBoxParams p;
    ASSERT_TRUE(ParseCmdLine(p, L"velmo.exe t c \"YesNo|Defer=x|DeferUntil=2027-02-28T17:30\"").ok());
    EXPECT_EQ(p.defer.deadline.wYear, 2027);
    EXPECT_EQ(p.defer.deadline.wMonth, 2);
    EXPECT_EQ(p.defer.deadline.wDay, 28);
    EXPECT_EQ(p.defer.deadline.wHour, 17);
    EXPECT_EQ(p.defer.deadline.wMinute, 30);
}
#undef BAD_DEFER
#undef BAD_DATE

// CloseApps= and its words: the apps, CloseWait= (60 by default), and
// ForceClose and Reopen, which only go with CloseApps= (Reopen with Run).
TEST(ParseCmdLine, CloseAppsWords) {
    const struct {
        const wchar_t* line;   // after "velmo.exe t c "
        const wchar_t* error;  // null: success
        size_t apps;
        uint32_t wait;
        bool force, reopen;
    } cases[] = {
        {L"\"YesNo|CloseApps=winword,OUTLOOK.EXE\" 60", nullptr, 2, 60, false, false},
        {L"\"OK|CloseApps=C:\\Program Files\\Contoso\\|CloseWait=120|ForceClose\" 0", nullptr, 1, 120, true, false},
        {L"\"NoButtons|Run|closeapps=notepad|closewait=1|reopen\" 0 setup.exe", nullptr, 1, 1, false, true},
        {L"\"YesNo|CloseApps=a|CloseWait=3600\"", nullptr, 1, 3600, false, false},
        {L"\"YesNo|CloseApps=\"", L"ERROR: an empty item in 'CloseApps='", 0, 0, false, false},
        {L"\"YesNo|CloseApps=a,,b\"", L"ERROR: an empty item in 'CloseApps=a,,b'", 0, 0, false, false},
        {L"\"YesNo|CloseApps=a|CloseApps=b\"", L"ERROR: CloseApps= given twice 'CloseApps=b'", 0, 0, false, false},
        {L"\"YesNo|CloseApps=a|CloseWait=0\"", L"ERROR: not 1 to 3600 seconds 'CloseWait=0'", 0, 0, false, false},
        {L"\"YesNo|CloseApps=a|CloseWait=3601\"", L"ERROR: not 1 to 3600 seconds 'CloseWait=3601'", 0, 0, false, false},
        {L"\"YesNo|CloseApps=a|CloseWait=1m\"", L"ERROR: not 1 to 3600 seconds 'CloseWait=1m'", 0, 0, false, false},
        {L"\"YesNo|CloseWait=30\"", L"ERROR: CloseWait= without CloseApps= 'CloseWait=30'", 0, 0, false, false},
        {L"\"YesNo|ForceClose\"", L"ERROR: ForceClose without CloseApps= 'ForceClose'", 0, 0, false, false},
        {L"\"NoButtons|Run|Reopen\" 0 x.exe", L"ERROR: Reopen without CloseApps= 'Reopen'", 0, 0, false, false},
        {L"\"YesNo|CloseApps=a|Reopen\"", L"ERROR: Reopen without Run 'Reopen'", 0, 0, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.line));
        MsgBoxParams p;
        ASSERT_TRUE(Parsed(std::wstring(L"velmo.exe t c ") + c.line, c.error, p));
        if (c.error) continue;
        EXPECT_EQ(p.close.apps.size(), c.apps);
        EXPECT_EQ(p.close.wait_s, c.wait);
        EXPECT_EQ(p.close.force, c.force);
        EXPECT_EQ(p.close.reopen, c.reopen);
    }
}

// The command after Run's timeout, as written; the arguments before it as
// CommandLineToArgvW splits them.
TEST(ParseCmdLine, RunsCommandAsWritten) {
    const struct {
        const wchar_t* line;
        const wchar_t* error;    // null: success
        const wchar_t* command;
        int32_t timeout;
    } cases[] = {
        {L"velmo.exe t c Run 30 setup.exe /configure office.xml", nullptr, L"setup.exe /configure office.xml", 30},
        {L"velmo.exe \"Installing. Wait.\" \"IT\" \"Information|NoButtons|Run\" 3600 setup.exe", nullptr, L"setup.exe",
         3600},
        {L"velmo.exe t c Run 0   \"C:\\Program Files\\x.exe\"  a  \"b | c\" & d", nullptr,
         L"\"C:\\Program Files\\x.exe\"  a  \"b | c\" & d", 0},
        {L"velmo.exe -esc:~ \"a~nb\" c \"YesNo|Run\" 5 cmd /c \"exit 3\"", nullptr, L"cmd /c \"exit 3\"", 5},
        {L"\"C:\\velmo dir\\velmo.exe\" \"say \\\"hi\\\"\" c Run\t7\tx.exe", nullptr, L"x.exe", 7},
        // Quotes in a row, as CommandLineToArgvW counts them.
        {L"velmo.exe \"a\"\"\"b\" c Run 1 x.exe", nullptr, L"x.exe", 1},
        {L"velmo.exe a\"\"b c Run 1 x.exe", nullptr, L"x.exe", 1},
        {L"velmo.exe \"a \\\\\" c Run 1 x.exe", nullptr, L"x.exe", 1},
        {L"velmo.exe t c \"Run|NoButtons\" 2 \"quoted program.exe\"", nullptr, L"\"quoted program.exe\"", 2},
        {L"velmo.exe t c Run 30", L"ERROR: Run without a command 'Run'", L"", 0},
        {L"velmo.exe t c Run 30   ", L"ERROR: Run without a command 'Run'", L"", 0},
        {L"velmo.exe t c Run setup.exe /x", L"ERROR: Run needs the timeout before the command (seconds, 0 for none) 'Run'",
         L"", 0},
        {L"velmo.exe t c Run", L"ERROR: Run needs the timeout before the command (seconds, 0 for none) 'Run'", L"", 0},
        {L"velmo.exe t c Run -5 x.exe", L"ERROR: Run needs the timeout before the command (seconds, 0 for none) 'Run'",
         L"", 0},
        {L"velmo.exe t c \"Run|ReportTimeout\" 30 x.exe", L"ERROR: Run with ReportTimeout 'ReportTimeout'", L"", 0},
        {L"velmo.exe t c \"YesNo|Run|Defer=k:3\" 30 x.exe", L"ERROR: Run with Defer= 'Defer=k:3'", L"", 0},
        // Without Run, what follows the timeout is ignored, as always.
        {L"velmo.exe t c YesNo 30 setup.exe", nullptr, L"", 30},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.line));
        MsgBoxParams p;
        ASSERT_TRUE(Parsed(c.line, c.error, p));
        if (c.error) continue;
        EXPECT_EQ(p.command, c.command);
        EXPECT_EQ(p.run, *c.command != 0);
        EXPECT_EQ(p.timeout, c.timeout);
        // What comes before the command is what CommandLineToArgvW reads.
        if (*c.command) {
            std::wstring line = c.line;
            std::wstring before = line.substr(0, line.size() - p.command.size());
            int all = 0, head = 0;
            kt::unique_local a(CommandLineToArgvW(line.c_str(), &all)), b(CommandLineToArgvW(before.c_str(), &head));
            ASSERT_TRUE(a && b);
            for (int i = 0; i < head; ++i)
                EXPECT_STREQ(static_cast<wchar_t**>(a.get())[i], static_cast<wchar_t**>(b.get())[i]) << i;
        }
    }
    EXPECT_EQ(ArgsAfter(L"a b c", 0), L"a b c");
    EXPECT_EQ(ArgsAfter(L"a b c", 3), L"");
    EXPECT_EQ(ArgsAfter(L"a b c", 9), L"");
    EXPECT_EQ(ArgsAfter(L"\"unclosed program", 1), L"");
}

TEST(ParseCmdLine, LabelLimitCountsASurrogatePairOnce) {
    const std::wstring face = L"\U0001F600";
    ASSERT_EQ(face.size(), 2u);
    auto times = [](const std::wstring& s, int n) {
        std::wstring r;
        for (int i = 0; i < n; ++i) r += s;
        return r;
    };
    const struct {
        std::wstring label;
        bool ok;
    } cases[] = {
        {times(face, 40), true},
        {times(face, 41), false},
        {times(L"x", 39) + face, true},
        {times(L"x", 40) + face, false},
        {times(face, 20) + times(L"\u0436", 20), true},
        // A lone half of a pair is a character of its own.
        {times(L"\xD83D", 40), true},
        {times(L"\xD83D", 41), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label.size());
        MsgBoxParams p;
        std::wstring line = L"velmo.exe t c \"YesNo|Button1=" + c.label + L"\" 5";
        kt::result r = ParseCmdLine(p, line.c_str());
        EXPECT_EQ(r.ok(), c.ok) << Narrow(r.text());
        if (c.ok) {
            EXPECT_EQ(p.look.labels[0], c.label);
        }
    }
}

TEST(HelpTimeout, ReadWhereTheTimeoutWouldStand) {
    const TimeoutCase cases[] = {
        {L"", 0},
        {L"t c Bogus 30", 30},
        {L"t c Bogus", 0},
        {L"t c Bogus abc", 0},
        {L"t c Bogus \" 5s\"", 5},
        {L"t c Bogus -5", -5},
        {L"-esc:~ t c Bogus 30", 30},
        {L"-esc:~ t c Bogus", 0},
        {L"-esc:~ t c 30", 0},  // the fourth argument is the flags' place here
        {L"t \"\" YesNo 7", 7},
        {L"\"\" c YesNo 7", 7},
        {L"t c \"\" 12", 12},
    };
    for (const TimeoutCase& c : cases) {
        std::wstring line = std::wstring(L"velmo.exe ") + c.in;
        EXPECT_EQ(HelpTimeout(line.c_str()), c.out) << Narrow(c.in);
    }
}

TEST(ParseCmdLine, CaptionErrorIsNarrowTextWithoutDescription) {
    MsgBoxParams p;
    kt::result r = ParseCmdLine(p, L"velmo.exe text");
    EXPECT_EQ(r.text(), L"ERROR: no message text");
    EXPECT_TRUE(r.descr().empty());
    kt::result m = ParseCmdLine(p, L"velmo.exe -esc:x");
    EXPECT_FALSE(m.descr().empty());
}

TEST(ParseCmdLine, UnknownPieceKeepsNonAsciiCharacters) {
    MsgBoxParams p;
    kt::result r = ParseCmdLine(p, L"velmo.exe t c \u0414\u0430|OK");
    EXPECT_EQ(r.text(), L"ERROR: unknown option '\u0414\u0430'");
}

TEST(ParseTimeout, LikeWtoi) {
    const TimeoutCase cases[] = {
        {L"", 0},
        {L"0", 0},
        {L"+7", 7},
        {L"-0", 0},
        {L"\t\n 12x3", 12},
        {L"- 5", 0},
        {L"--5", 0},
        {L"2147483647", 2147483647},
        {L"2147483648", 2147483647},
        {L"-2147483648", static_cast<int32_t>(0x80000000u)},
        {L"-2147483649", static_cast<int32_t>(0x80000000u)},
        {L"000000000000000000000042", 42},
        {L"99999999999999999999999999999", 2147483647},
        {L"\uFF16\uFF10", 60},          // full-width digits
        {L"\u0666\u0660", 60},          // Arabic-Indic
        {L"\u06F3", 3},                 // extended Arabic-Indic
        {L"\u0969\u0966", 30},          // Devanagari
        {L"1\u0662", 12},               // mixed scripts
        {L"\u0669\u0669\u0669\u0669\u0669\u0669\u0669\u0669\u0669\u0669\u0669", 2147483647},
        {L"\u00B2", 0},                 // superscript two is not a decimal digit
    };
    for (const TimeoutCase& c : cases) EXPECT_EQ(ParseTimeout(c.in), c.out) << Narrow(c.in);
}

TEST(StringHelpers, FindNoCaseResumesAfterTheMismatch) {
    EXPECT_EQ(FindNoCase(L"\\\\n", L"\\n", 0), -1);
    EXPECT_EQ(FindNoCase(L"ab\\N", L"\\n", 0), 2);
    EXPECT_EQ(FindNoCase(L"abc", L"", 1), 1);
    EXPECT_EQ(FindNoCase(L"abc", L"bcd", 0), -1);
    EXPECT_EQ(FindNoCase(L"aaab", L"aab", 0), -1);  // no backtracking into a partial match
    EXPECT_EQ(FindNoCase(L"xAB", L"ab", 0), 1);
    EXPECT_EQ(FindNoCase(L"ab", L"ab", 5), -1);
}

TEST(StringHelpers, ReplaceNoCaseCounts) {
    std::wstring s = L"one\\ntwo\\Nthree\\n";
    EXPECT_EQ(ReplaceNoCase(s, L"\\n", L"\n"), 3);
    EXPECT_EQ(s, L"one\ntwo\nthree\n");
    std::wstring t = L"none";
    EXPECT_EQ(ReplaceNoCase(t, L"x", L"y"), 0);
    EXPECT_EQ(t, L"none");
    EXPECT_EQ(ReplaceNoCase(t, L"", L"y"), 0);
    EXPECT_EQ(t, L"none");
}

TEST(StringHelpers, UnquoteAndFindMatches) {
    const std::pair<const wchar_t*, const wchar_t*> unquote[] = {
        {L"\"\"\"a\"\"\"", L"a"}, {L"\"", L"\""}, {L"\"\"", L""}, {L"\"\"\"", L"\""}, {L"\"a", L"\"a"}, {L"", L""},
    };
    for (const auto& c : unquote) {
        std::wstring s = c.first;
        Unquote(s, L'"', 0);
        EXPECT_EQ(s, c.second) << Narrow(c.first);
    }
    std::wstring br = L"[x]";
    Unquote(br, L'[', L']');
    EXPECT_EQ(br, L"x");

    std::vector<std::wstring> m{L"stale"};
    EXPECT_EQ(FindMatches(L"-esc:-esc:x", L"^[-/]esc:", true, m), 2);
    EXPECT_EQ(FindMatches(L"/ESC:", L"^[-/]esc:", true, m), 1);
    EXPECT_EQ(m[0], L"/ESC:");
    EXPECT_EQ(FindMatches(L"/ESC:", L"^[-/]esc:", false, m), 0);
    EXPECT_EQ(FindMatches(L"", L".*", true, m), 0);
    EXPECT_EQ(FindMatches(L"abc", L"x*", true, m), 0);  // empty matches do not count
    EXPECT_TRUE(m.empty());
}

TEST(StringHelpers, GetArgSplitsLikeWindows) {
    const wchar_t* line = L"prog.exe a \"b c\" \"\" d\\\"e";
    EXPECT_EQ(GetArg(line, 0), L"prog.exe");
    EXPECT_EQ(GetArg(line, 2), L"b c");
    EXPECT_EQ(GetArg(line, 3), L"");
    EXPECT_EQ(GetArg(line, 4), L"d\"e");
    EXPECT_EQ(GetArg(line, 5), L"");
    EXPECT_EQ(GetArg(line, -1), L"");
    EXPECT_FALSE(GetArg(0).empty());  // this process's own path
}

}  // namespace
