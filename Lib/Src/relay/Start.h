// The start of the relayed run as the asked user: from velmo's own exe where
// that user may run it, else from a private copy; the order of attempts.
#pragma once

#include <string>
#include <vector>

#include "lib/owner.h"

namespace kt {

// The ways of asking, in the order they are tried.
enum Way : int {
    wyInPlace = 0,  // this exe, where it is
    wyCopy,         // a private copy of it in a new folder the user may read
    wyMessage,      // the session's own message box (WTSSendMessageW)
    wyNobody,       // no way is left: nobody is asked
    wyAsked,        // a way worked
};
const wchar_t* WayText(Way way);

// A step not tried yet.
const DWORD kNotTried = 0xFFFFFFFF;

// What each step reported so far.
struct Attempts {
    int may_run = -1;             // the user's access to the exe: 1 read and execute, 0 not, -1 not known
    DWORD in_place = kNotTried;   // 0 started, else CreateProcessAsUserW's (or a step before it) error
    DWORD copy = kNotTried;       // 0 started, else why not (the copy, or its start)
    DWORD message = kNotTried;    // 0 asked, else WTSSendMessageW's error
};

// The next way to try: in place when the user may run the exe; the copy
// when they may not (or it is not known) or when the start was refused for
// access, by app control or for its directory; the session's message box
// when no start worked; then nobody. wyAsked once a way worked.
Way NextWay(const Attempts& a);
// Whether a start's error is a refusal a copy may get past.
bool StartRefused(DWORD error);

// Whether the token's user may read and execute the file, by AccessCheck
// against the file's security: 1 yes, 0 no, -1 when it cannot be checked
// (the error in *error).
int UserMayRun(HANDLE token, const std::wstring& path, DWORD* error = nullptr);

// The private copy's folder: SYSTEM and Administrators full control, the
// asked user (a SID's "S-1-..." text) read and execute, nobody else
// anything, inherited by what it holds and protected from what is above.
std::wstring CopyFolderSddl(const std::wstring& user_sid);

// Names of the private folders: "velmo-relay-<asker's pid, 8 hex digits>-<32
// hex digits at random>"; nobody can guess one.
std::wstring CopyFolderName(DWORD asker_pid, const unsigned char (&random)[16]);
// Whether name is one, and the asker's pid in it.
bool IsCopyFolderName(const std::wstring& name, DWORD* asker_pid = nullptr);

// The asking account's temp folder, with its final backslash:
// GetTempPath2W where Windows has it (SYSTEM's is C:\Windows\SystemTemp,
// which users cannot open), else GetTempPathW.
std::wstring TempRoot();

// A copy of an exe in a new private folder of root, removed with its folder
// when the owner goes.
class PrivateCopy {
public:
    PrivateCopy() = default;
    PrivateCopy(const PrivateCopy&) = delete;
    PrivateCopy& operator=(const PrivateCopy&) = delete;
    ~PrivateCopy() { remove(); }
    // Makes a new folder (never one that exists) with CopyFolderSddl's
    // security and copies exe into it under its own name.
    result make(const std::wstring& exe, const std::wstring& user_sid, const std::wstring& root);
    // Removes the copy and its folder; 0 or the error. Tried for a short
    // while: the image may still be in use just after its process ended.
    DWORD remove();
    const std::wstring& folder() const { return folder_; }
    const std::wstring& exe() const { return exe_; }

private:
    std::wstring folder_;
    std::wstring exe_;
};

// Removes the private folders in root that an asker left when it was
// killed: folders of that name only, made by this account, not reparse
// points, whose asker has ended, and whose files no process uses (a copy
// that runs cannot be deleted). The folders removed.
std::vector<std::wstring> RemoveStaleCopies(const std::wstring& root);

}  // namespace kt
