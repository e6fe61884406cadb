#include "io/security.h"

#include <sddl.h>

namespace kt {

namespace {

// S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464
const DWORD kTrustedInstaller[] = {956008885u, 3418522649u, 1831038044u, 1853292631u, 2271478464u};
const BYTE kNtAuthority[] = {0, 0, 0, 0, 0, 5};

bool NtAuthority(PSID sid) {
    return IsValidSid(sid) && memcmp(GetSidIdentifierAuthority(sid)->Value, kNtAuthority, 6) == 0;
}

}  // namespace

unique_handle OwnToken(DWORD access) {
    HANDLE t = nullptr;
    return unique_handle(OpenProcessToken(GetCurrentProcess(), access, &t) ? t : nullptr);
}

std::string TokenUserBuffer(HANDLE token) {
    DWORD bytes = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &bytes);
    std::string buffer(bytes, '\0');
    if (bytes == 0 || !GetTokenInformation(token, TokenUser, &buffer[0], bytes, &bytes)) return std::string();
    return buffer;
}

std::wstring UserOf(HANDLE token) {
    std::string user = TokenUserBuffer(token);
    if (user.empty()) return L"?";
    wchar_t name[256], domain[256];
    DWORD name_len = 256, domain_len = 256;
    SID_NAME_USE use;
    if (!LookupAccountSidW(nullptr, reinterpret_cast<TOKEN_USER*>(&user[0])->User.Sid, name, &name_len, domain,
                           &domain_len, &use))
        return L"?";
    return std::wstring(domain) + L"\\" + name;
}

std::wstring OwnUser() { return UserOf(OwnToken().get()); }

bool Elevated() {
    unique_handle token = OwnToken();
    TOKEN_ELEVATION elevation{};
    DWORD bytes = 0;
    return token && GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &bytes) &&
           elevation.TokenIsElevated;
}

unique_local SdFromSddl(const std::wstring& sddl) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd, nullptr))
        return unique_local();
    return unique_local(sd);
}

std::wstring SddlOf(PSECURITY_DESCRIPTOR sd, SECURITY_INFORMATION parts) {
    LPWSTR text = nullptr;
    if (!sd || !ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1, parts, &text, nullptr))
        return L"";
    unique_local owned(text);
    return text;
}

unique_local FileSecurity(const std::wstring& path, DWORD* error, SECURITY_INFORMATION parts) {
    DWORD bytes = 0;
    GetFileSecurityW(path.c_str(), parts, nullptr, 0, &bytes);
    DWORD e = bytes ? 0 : GetLastError();
    unique_local sd(bytes ? LocalAlloc(LMEM_FIXED, bytes) : nullptr);
    if (sd && !GetFileSecurityW(path.c_str(), parts, sd.get(), bytes, &bytes)) {
        e = GetLastError();
        sd.reset();
    } else if (bytes && !sd) {
        e = ERROR_NOT_ENOUGH_MEMORY;
    }
    if (error) *error = e;
    return sd;
}

std::wstring TokenUserSid(HANDLE token) {
    std::string user = TokenUserBuffer(token);
    LPWSTR text = nullptr;
    if (user.empty() || !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(&user[0])->User.Sid, &text)) return L"";
    unique_local owned(text);
    return text;
}

bool IsAdminSid(PSID sid) {
    if (!NtAuthority(sid)) return false;
    if (IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid)) return true;
    const DWORD n = *GetSidSubAuthorityCount(sid);
    if (n != 6 || *GetSidSubAuthority(sid, 0) != SECURITY_SERVICE_ID_BASE_RID) return false;
    for (DWORD i = 0; i < 5; ++i) {
        if (*GetSidSubAuthority(sid, i + 1) != kTrustedInstaller[i]) return false;
    }
    return true;
}

bool IsServiceSid(PSID sid) {
    if (!NtAuthority(sid)) return false;
    if (IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinLocalServiceSid) ||
        IsWellKnownSid(sid, WinNetworkServiceSid))
        return true;
    return *GetSidSubAuthorityCount(sid) >= 1 && *GetSidSubAuthority(sid, 0) == SECURITY_SERVICE_ID_BASE_RID;
}

bool RunsAsServiceAccount() {
    // A token that cannot be read: taken for a service's, whose rules are
    // the stricter.
    std::string user = TokenUserBuffer(OwnToken().get());
    return user.empty() || IsServiceSid(reinterpret_cast<TOKEN_USER*>(&user[0])->User.Sid);
}

}  // namespace kt
