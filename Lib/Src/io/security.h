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

// The user of a token, as SDDL's "S-1-..." text; empty on failure.
std::wstring TokenUserSid(HANDLE token);
// SYSTEM, Administrators or TrustedInstaller: whom a machine's own files
// belong to.
bool IsAdminSid(PSID sid);
// LocalSystem, LocalService, NetworkService or a service's own account
// (NT SERVICE\...): the accounts a service or a deployment system runs as.
bool IsServiceSid(PSID sid);
// Whether this process runs as such an account.
bool RunsAsServiceAccount();

}  // namespace kt
