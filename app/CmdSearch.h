// Run's command as cmd finds a command typed in a batch file: its first word
// resolved to a file by cmd's search, never in velmo's own folder (where
// CreateProcessW without an application name looks first: a velmo run as
// SYSTEM from a folder users can add to would run their msiexec.exe).
#pragma once

#include <windows.h>

#include <functional>
#include <string>

// What the search reads from the process: given by a test, read by the
// wrapper below.
struct CmdSearchPlaces {
    std::wstring current;        // the current folder
    bool current_first = true;   // NeedCurrentDirectoryForExePathW for the first word
    std::wstring path;           // PATH as it is
    std::wstring pathext;        // PATHEXT as it is; empty when unset
    std::wstring windows;        // GetSystemWindowsDirectoryW (%SystemRoot%)
    bool wow64 = false;          // a 32-bit process on 64-bit Windows
};

// How to start the command: CreateProcessW's application name and command
// line. An empty application: nothing was found, and sought says what was
// looked for where.
struct CmdLaunch {
    std::wstring application;
    std::wstring line;
    std::wstring sought;
};

// The rule alone. exists: whether a file (not a folder) is at a full path.
CmdLaunch ResolveCommand(const std::wstring& command, const CmdSearchPlaces& places,
                         const std::function<bool(const std::wstring&)>& exists);

// The rule for this process: its environment, current folder, Windows folder,
// WoW64 and files.
CmdLaunch ResolveCommand(const std::wstring& command);
