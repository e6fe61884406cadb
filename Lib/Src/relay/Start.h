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
// access, by app control, for its directory, or for a path that the user
// cannot see; the session's message box when no start worked; then nobody.
// wyAsked once a way worked.
Way NextWay(const Attempts& a);
// Whether a start's error is a refusal a copy may get past: access, app
// control, a directory the user cannot open, and a path that SYSTEM sees
// and the user does not (a drive letter of SYSTEM's logon session, a share
// that SYSTEM reaches as the computer).
bool StartRefused(DWORD error);

// Whether the token's user may read and execute the file, by AccessCheck
// against the file's security: 1 yes, 0 no, -1 when it cannot be checked
// (the error in *error).
int UserMayRun(HANDLE token, const std::wstring& path, DWORD* error = nullptr);

// The folder that holds every private copy, in the asking account's temp
// folder (C:\Windows\Temp for SYSTEM before GetTempPath2W, where any user
// may add folders).
const wchar_t kCopiesFolder[] = L"velmo-relay";
// Its security: SYSTEM and Administrators full control, nobody else
// anything (an asked user reaches their copy inside by the traverse right
// every account holds), protected from what is above.
std::wstring CopiesFolderSddl();
// Whether a folder may hold the copies and be swept: a directory that is
// no reparse point (attributes as its handle reports them), owned by
// SYSTEM, Administrators or the asking account (asker: SYSTEM in use, whose
// folders may get Administrators as owner), and that nobody else may write
// or add to (OthersMayWrite).
bool CopiesFolderTrusted(DWORD attributes, PSECURITY_DESCRIPTOR sd, PSID asker);

// The private copy's folder: SYSTEM and Administrators full control, each
// asked user (a SID's "S-1-..." text; one ACE each, however often given)
// read and execute, nobody else anything, inherited by what it holds and
// protected from what is above.
std::wstring CopyFolderSddl(const std::vector<std::wstring>& user_sids);

// Names of the private folders: "velmo-relay-<asker's pid, 8 hex digits>-<32
// hex digits at random>"; nobody can guess one.
std::wstring CopyFolderName(DWORD asker_pid, const unsigned char (&random)[16]);
// Whether name is one, and the asker's pid in it.
bool IsCopyFolderName(const std::wstring& name, DWORD* asker_pid = nullptr);

// The asking account's temp folder, with its final backslash:
// GetTempPath2W where Windows has it (SYSTEM's is C:\Windows\SystemTemp,
// which users cannot open), else GetTempPathW.
std::wstring TempRoot();

// The folder of one relay's copies, held open (without delete sharing, so
// that nobody can rename or replace it meanwhile): <root>\velmo-relay, made
// with CopiesFolderSddl where it is missing, when CopiesFolderTrusted says
// so; else a fresh folder of a random name beside it ("velmo-relay.<32 hex
// digits>", made with the same security, never one that exists), which is
// not swept and goes with its owner.
class CopiesFolder {
public:
    CopiesFolder() = default;
    CopiesFolder(const CopiesFolder&) = delete;
    CopiesFolder& operator=(const CopiesFolder&) = delete;
    ~CopiesFolder() { close(); }
    // make: where the shared folder is missing or cannot be trusted, a
    // folder is made (else open fails, and nothing is made).
    result open(const std::wstring& root, bool make = true);
    // Closes it; a fresh one is removed when it is empty.
    void close();
    // The shared folder, which holds the copies of every relay (and so the
    // stale ones).
    bool shared() const { return handle_ && !fresh_; }
    const std::wstring& path() const { return path_; }
    // Why the shared folder was not used; empty when it was.
    const std::wstring& distrust() const { return distrust_; }
    // For the sweep.
    HANDLE handle() const { return handle_.get(); }
    const std::wstring& final_path() const { return final_; }
    PSID asker() const;

private:
    unique_handle handle_;
    std::wstring path_, final_, distrust_;
    std::string asker_;  // the asking account's TOKEN_USER
    bool fresh_ = false;
};

// A copy of an exe in a new private folder of a copies folder, removed with
// its folder when the owner goes.
class PrivateCopy {
public:
    PrivateCopy() = default;
    PrivateCopy(const PrivateCopy&) = delete;
    PrivateCopy& operator=(const PrivateCopy&) = delete;
    ~PrivateCopy() { remove(); }
    // Makes a new folder (never one that exists) with CopyFolderSddl's
    // security for the users in parent and copies exe into it under its own
    // name.
    result make(const std::wstring& exe, const std::vector<std::wstring>& user_sids, const std::wstring& parent);
    // Removes the copy and its folder; 0 or the error. Tried for a short
    // while: the image may still be in use just after its process ended.
    DWORD remove();
    const std::wstring& folder() const { return folder_; }
    const std::wstring& exe() const { return exe_; }

private:
    std::wstring folder_;
    std::wstring exe_;
};

// Removes from a shared copies folder the private folders that askers left
// when they were killed: folders of that name whose asker has ended, each
// opened without following a link and checked through its handle (a
// directory, not a reparse point, the asker's or an administrator's, no one
// else may write it), holding plain files of the same kind only, which are
// deleted through their handles; a folder with anything else in it, or a
// file that does not go (a copy that runs), is left. Nothing outside the
// copies folder is touched. The folders removed.
std::vector<std::wstring> RemoveStaleCopies(const CopiesFolder& copies);

}  // namespace kt
