#include "Log/WliTrust.h"

#include "io/security.h"

namespace kt {

namespace {

// The rights that change a file's content, or a folder's entries, or the
// object's security.
const ACCESS_MASK kControl = DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
const ACCESS_MASK kFileWrite = kControl | FILE_WRITE_DATA | FILE_APPEND_DATA;
const ACCESS_MASK kFolderWrite = kControl | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD;

bool SidIs(PSID sid, WELL_KNOWN_SID_TYPE type) { return IsValidSid(sid) && IsWellKnownSid(sid, type); }

}  // namespace

bool OthersMayWrite(PSECURITY_DESCRIPTOR sd, bool folder, PSID also) {
    if (!sd || !IsValidSecurityDescriptor(sd)) return true;
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!GetSecurityDescriptorOwner(sd, &owner, &defaulted) || !owner) return true;
    auto trusted = [also](PSID sid) { return IsAdminSid(sid) || (also && IsValidSid(also) && EqualSid(sid, also)); };
    const bool admin_owner = trusted(owner);
    BOOL present = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) || !present || !dacl) return true;
    const ACCESS_MASK write = folder ? kFolderWrite : kFileWrite;
    bool owner_rights = false;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER* ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace))) return true;
        // Inherited by children only: no right on this object.
        if (ace->AceFlags & INHERIT_ONLY_ACE) continue;
        if (ace->AceType == ACCESS_DENIED_ACE_TYPE || ace->AceType == ACCESS_DENIED_CALLBACK_ACE_TYPE) continue;
        if (ace->AceType != ACCESS_ALLOWED_ACE_TYPE && ace->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) return true;
        // Both kinds start with the header, the mask and the SID.
        auto* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace);
        PSID sid = &allowed->SidStart;
        const bool owner_ace = SidIs(sid, WinCreatorOwnerRightsSid);
        owner_rights |= owner_ace;
        if (!(allowed->Mask & write)) continue;
        // CREATOR OWNER stands for whoever creates a child: nobody here.
        if (SidIs(sid, WinCreatorOwnerSid)) continue;
        if (owner_ace ? !admin_owner : !trusted(sid)) return true;
    }
    // An owner may rewrite the DACL unless OWNER RIGHTS says what it may.
    return !admin_owner && !owner_rights;
}

bool WliTrusted(PSECURITY_DESCRIPTOR file, PSECURITY_DESCRIPTOR folder) {
    return !OthersMayWrite(folder, true) && (!file || !OthersMayWrite(file, false));
}

bool WliTrustedOnDisk(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    if (slash == std::wstring::npos) return false;
    DWORD error = 0;
    // "C:\" keeps its backslash; a folder below it does not need one.
    unique_local folder = FileSecurity(path.substr(0, slash > 2 ? slash : slash + 1), &error);
    if (!folder) return false;
    unique_local file = FileSecurity(path, &error);
    if (!file && error != ERROR_FILE_NOT_FOUND) return false;
    return WliTrusted(file.get(), folder.get());
}

}  // namespace kt
