// Security descriptors of files and folders, and the accounts they name.
#pragma once

#include <string>

#include "lib/owner.h"

namespace kt {

// A self-relative security descriptor from its SDDL text; empty for a text
// that is not one (the error is then the last error).
unique_local SdFromSddl(const std::wstring& sddl);
// The SDDL text of these parts of a descriptor; empty on failure.
std::wstring SddlOf(PSECURITY_DESCRIPTOR sd, SECURITY_INFORMATION parts);
// These parts of a file's or folder's security (by default its owner and
// DACL); empty when they cannot be read (the error in *error when given).
unique_local FileSecurity(const std::wstring& path, DWORD* error = nullptr,
                          SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION);

// This process's own token, opened for access; empty when it cannot be.
unique_handle OwnToken(DWORD access = TOKEN_QUERY);
// The token's TOKEN_USER, in a buffer of its own; empty on failure.
std::string TokenUserBuffer(HANDLE token);
// The user of a token, as SDDL's "S-1-..." text; empty on failure.
std::wstring TokenUserSid(HANDLE token);
// "DOMAIN\name" of the token's user, for the log ("?" when unknown).
std::wstring UserOf(HANDLE token);
// The same for this process's own user.
std::wstring OwnUser();
// Whether this process runs elevated (an administrator's full token).
bool Elevated();
// SYSTEM, Administrators or TrustedInstaller: whom a machine's own files
// belong to.
bool IsAdminSid(PSID sid);
// LocalSystem, LocalService, NetworkService or a service's own account
// (NT SERVICE\...): the accounts a service or a deployment system runs as.
bool IsServiceSid(PSID sid);
// Whether this process runs as such an account.
bool RunsAsServiceAccount();

}  // namespace kt
