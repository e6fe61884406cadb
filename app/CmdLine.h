// velmo [-esc:<escape string>] <message text> <caption> <flags> [<timeout>]
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/Deferral.h"
#include "gen/Texts.h"
#include "lib/kt.h"
#include "relay/Session.h"
#include "win32gui/Apps.h"
#include "win32gui/BoxLook.h"

// CloseApps= and the words that go with it: the apps to close before an
// install.
struct CloseTerms {
    std::vector<kt::AppPattern> apps;  // empty: no CloseApps=
    uint32_t wait_s = 60;              // CloseWait=: how long they may take once asked
    bool force = false;                // ForceClose: what still runs then is ended
    bool reopen = false;               // Reopen (with Run): started again once the command ends
    bool given() const { return !apps.empty(); }
};

struct MsgBoxParams {
    std::wstring text;
    std::wstring caption;
    uint32_t flags = 0;
    int32_t timeout = 0;
    bool buttons = true;
    // ReportTimeout: the exit code is kExitTimedOut when the countdown closes the box.
    bool report_timeout = false;
    // Button1= ... Button3= and Guard.
    kt::MsgBoxLook look;
    // The escape string of the text (also applied to a texts file's values).
    std::wstring escape = L"\\";
    // Texts=: the texts file as written (empty: none), and its content once
    // read (ApplyTexts).
    std::wstring texts;
    std::wstring texts_content;
    // The content parsed, once it was checked (LoadTexts); shared by copies.
    std::shared_ptr<const kt::TextsFile> texts_file;
    // Session=: whom velmo asks where it runs unseen.
    kt::SessionScope session = kt::scAll;
    // Defer= and DeferUntil=.
    DeferralTerms defer;
    // Run: a notice while the command (the rest of the command line after
    // the timeout, as written) runs.
    bool run = false;
    std::wstring command;
    // CloseApps=, CloseWait=, ForceClose and Reopen.
    CloseTerms close;
};

// The exit code of a box that the countdown closed, with ReportTimeout: the
// value of MessageBoxTimeoutW's MB_TIMEDOUT.
const int kExitTimedOut = 32000;

// Why a label cannot go on button index (0-based) of the set that flags
// name: no such button (or NoButtons), empty, longer than 40 characters (a
// surrogate pair counted once), or a control character in it; null when it
// can.
const wchar_t* LabelFault(const std::wstring& label, unsigned index, uint32_t flags, bool buttons);

// Reads the process command line into p; failures are ERROR_INVALID_PARAMETER.
// With a Texts= word the text and caption may be empty (the file gives them).
kt::result ParseCmdLine(MsgBoxParams& p);
// The same for a given command line (as GetCommandLineW would return it).
kt::result ParseCmdLine(MsgBoxParams& p, const wchar_t* cmdline);

// The countdown a command line asks for even when it cannot be used: the
// timeout argument where it would stand (fourth, fifth after -esc:), read
// like any timeout; 0 when there is none.
int32_t HelpTimeout(const wchar_t* cmdline);

// Argument index as CommandLineToArgvW splits the command line; empty when absent.
std::wstring GetArg(int index);
std::wstring GetArg(const wchar_t* cmdline, int index);

// Non-empty ECMAScript matches, each search restarting as at the text's start.
int FindMatches(const std::wstring& text, const std::wstring& pattern, bool ignore_case,
                std::vector<std::wstring>& matches);

// Strips enclosing quote/close pairs while both ends carry them.
void Unquote(std::wstring& s, wchar_t quote, wchar_t close);

// Position of pattern at or after start, ASCII letters without case; -1 if none.
int FindNoCase(const std::wstring& text, const std::wstring& pattern, int start);
int ReplaceNoCase(std::wstring& text, const std::wstring& pattern, const std::wstring& replacement);

// _wtoi: blanks, a sign, decimal digits of any script; clamped to 32 bits.
int32_t ParseTimeout(const std::wstring& s);
