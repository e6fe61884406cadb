// Whether a process run as SYSTEM or a service may follow the log parameter
// file beside its exe: only when users cannot write it nor put one there.
// Such a process is often started from a folder under ProgramData, where
// standard users may add files; a file of theirs would switch on its log,
// make it write and delete files there and hand it patterns to run.
#pragma once

#include "lib/kt.h"

namespace kt {

// Whether the descriptor lets anybody but SYSTEM, Administrators and
// TrustedInstaller change what it guards: a file's content (write, append,
// delete), a folder's entries (add a file or folder, delete one), or
// either's DACL or owner (an owner of another account may always rewrite
// the DACL). A missing owner or DACL, or an ACE that cannot be read, counts
// as such a right; deny ACEs are not weighed, so a grant is never missed.
// also, when given, is one more account trusted like those three (the
// account this process runs as: what it owns, only it and they may change).
bool OthersMayWrite(PSECURITY_DESCRIPTOR sd, bool folder, PSID also = nullptr);

// Whether the parameter file (its descriptor, or null when there is no file)
// and its folder are written by administrators alone.
bool WliTrusted(PSECURITY_DESCRIPTOR file, PSECURITY_DESCRIPTOR folder);

// The same for the file at path, read from the disk: false when either
// descriptor cannot be read (but for a file that does not exist).
bool WliTrustedOnDisk(const std::wstring& path);

}  // namespace kt
