#include "relay/Start.h"

#include <ntsecapi.h>
#include <sddl.h>

#include <cwchar>

#include "io/security.h"
#include "threads/handle.h"

namespace kt {

namespace {

// Refusals the headers here do not name: Software Restriction Policies
// without a message, and Windows Defender Application Control.
const DWORD kNoSaferUiByPolicy = 786;
const DWORD kIntegrityPolicyViolation = 4551;

const wchar_t kCopyPrefix[] = L"velmo-relay-";
const size_t kPidDigits = 8, kRandomDigits = 32;
// How long a copy's removal is tried, and the pause between tries.
const DWORD kRemoveMs = 2000, kRemovePauseMs = 20;

bool UpperHex(const std::wstring& s, size_t from, size_t n) {
    for (size_t i = from; i < from + n; ++i) {
        if (!((s[i] >= L'0' && s[i] <= L'9') || (s[i] >= L'A' && s[i] <= L'F'))) return false;
    }
    return true;
}

// Whether the process runs; one that cannot be opened for a reason other
// than its absence is taken as running.
bool Runs(DWORD pid) {
    unique_handle p(OpenProcess(SYNCHRONIZE, FALSE, pid));
    if (!p) return GetLastError() != ERROR_INVALID_PARAMETER;
    return WaitForSingleObject(p.get(), 0) == WAIT_TIMEOUT;
}

std::wstring OwnSid() {
    HANDLE t = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &t)) return L"";
    unique_handle token(t);
    return TokenUserSid(token.get());
}

std::wstring OwnerSid(const std::wstring& path) {
    unique_local sd = FileSecurity(path);
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    LPWSTR text = nullptr;
    if (!sd || !GetSecurityDescriptorOwner(sd.get(), &owner, &defaulted) || !owner ||
        !ConvertSidToStringSidW(owner, &text))
        return L"";
    unique_local owned(text);
    return text;
}

// Deletes the plain files of a folder, then the folder; false, leaving
// the rest, at anything else in it or at a file that cannot go.
bool RemoveFolder(const std::wstring& folder) {
    WIN32_FIND_DATAW fd;
    {
        unique_find f(FindFirstFileW((folder + L"\\*").c_str(), &fd));
        if (f) {
            do {
                std::wstring name = fd.cFileName;
                if (name == L"." || name == L"..") continue;
                if (fd.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) return false;
                std::wstring file = folder + L"\\" + name;
                SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
                if (!DeleteFileW(file.c_str())) return false;
            } while (FindNextFileW(f.get(), &fd));
        }
    }
    return RemoveDirectoryW(folder.c_str()) != 0;
}

}  // namespace

const wchar_t* WayText(Way way) {
    switch (way) {
        case wyInPlace: return L"in place";
        case wyCopy: return L"from a private copy";
        case wyMessage: return L"through the session's message box";
        case wyNobody: return L"nobody";
        case wyAsked: return L"asked";
    }
    return L"?";
}

bool StartRefused(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
        case ERROR_ACCESS_DISABLED_BY_POLICY:             // AppLocker, Software Restriction Policies
        case kNoSaferUiByPolicy:
        case kIntegrityPolicyViolation:
        case ERROR_DIRECTORY:                             // a working directory the user cannot open
            return true;
        default:
            return false;
    }
}

Way NextWay(const Attempts& a) {
    if (a.in_place == 0 || a.copy == 0 || a.message == 0) return wyAsked;
    if (a.in_place == kNotTried && a.copy == kNotTried && a.may_run == 1) return wyInPlace;
    if (a.copy == kNotTried && (a.in_place == kNotTried || StartRefused(a.in_place))) return wyCopy;
    if (a.message == kNotTried) return wyMessage;
    return wyNobody;
}

int UserMayRun(HANDLE token, const std::wstring& path, DWORD* error) {
    auto fail = [&](DWORD e) {
        if (error) *error = e;
        return -1;
    };
    DWORD e = 0;
    unique_local sd = FileSecurity(path, &e, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                                 DACL_SECURITY_INFORMATION);
    if (!sd) return fail(e);
    HANDLE i = nullptr;
    // AccessCheck takes an impersonation token.
    if (!DuplicateToken(token, SecurityIdentification, &i)) return fail(GetLastError());
    unique_handle identity(i);
    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    DWORD want = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE, granted = 0;
    MapGenericMask(&want, &mapping);
    PRIVILEGE_SET privileges{};
    DWORD privileges_size = sizeof privileges;
    BOOL allowed = FALSE;
    if (!AccessCheck(sd.get(), identity.get(), want, &mapping, &privileges, &privileges_size, &granted, &allowed))
        return fail(GetLastError());
    if (error) *error = allowed ? 0 : ERROR_ACCESS_DENIED;
    return allowed ? 1 : 0;
}

std::wstring CopyFolderSddl(const std::wstring& user_sid) {
    return L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;" + user_sid + L")";
}

std::wstring CopyFolderName(DWORD asker_pid, const unsigned char (&random)[16]) {
    wchar_t digits[kPidDigits + kRandomDigits + 2];
    int n = swprintf(digits, kPidDigits + 2, L"%08X-", static_cast<unsigned>(asker_pid));
    for (unsigned char b : random) n += swprintf(digits + n, 3, L"%02X", b);
    return kCopyPrefix + std::wstring(digits, n);
}

bool IsCopyFolderName(const std::wstring& name, DWORD* asker_pid) {
    const size_t prefix = wcslen(kCopyPrefix);
    if (name.size() != prefix + kPidDigits + 1 + kRandomDigits || name.compare(0, prefix, kCopyPrefix) != 0 ||
        !UpperHex(name, prefix, kPidDigits) || name[prefix + kPidDigits] != L'-' ||
        !UpperHex(name, prefix + kPidDigits + 1, kRandomDigits))
        return false;
    if (asker_pid) *asker_pid = static_cast<DWORD>(wcstoul(name.substr(prefix, kPidDigits).c_str(), nullptr, 16));
    return true;
}

std::wstring TempRoot() {
    using TempPath2 = DWORD(WINAPI*)(DWORD, LPWSTR);
    // Windows 11 and later updates of Windows 10 have it; Wine 8 has not.
    auto temp_path2 = reinterpret_cast<TempPath2>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetTempPath2W")));
    wchar_t path[MAX_PATH + 1];
    DWORD n = temp_path2 ? temp_path2(MAX_PATH + 1, path) : GetTempPathW(MAX_PATH + 1, path);
    if (n == 0 || n > MAX_PATH) return L"";
    std::wstring root(path, n);
    if (root.back() != L'\\') root += L'\\';
    return root;
}

result PrivateCopy::make(const std::wstring& exe, const std::wstring& user_sid, const std::wstring& root) {
    remove();
    if (root.empty()) return result(ERROR_PATH_NOT_FOUND, L"no temp folder");
    unique_local sd = SdFromSddl(CopyFolderSddl(user_sid));
    if (!sd) return LastErrorResult(L"ConvertStringSecurityDescriptorToSecurityDescriptorW");
    SECURITY_ATTRIBUTES security{sizeof security, sd.get(), FALSE};
    DWORD e = ERROR_ALREADY_EXISTS;
    // A folder that exists, whoever made it, is never used.
    for (int tries = 0; tries < 8 && folder_.empty(); ++tries) {
        unsigned char random[16];
        if (!RtlGenRandom(random, sizeof random)) return LastErrorResult(L"RtlGenRandom");
        std::wstring folder = root + CopyFolderName(GetCurrentProcessId(), random);
        if (CreateDirectoryW(folder.c_str(), &security)) {
            folder_ = folder;
        } else if ((e = GetLastError()) != ERROR_ALREADY_EXISTS) {
            return result(e, L"CreateDirectoryW " + folder);
        }
    }
    if (folder_.empty()) return result(e, L"CreateDirectoryW");
    exe_ = folder_ + L"\\" + exe.substr(exe.find_last_of(L"\\/") + 1);
    if (!CopyFileW(exe.c_str(), exe_.c_str(), TRUE)) {
        result r = LastErrorResult(L"CopyFileW");
        remove();
        return r;
    }
    return {};
}

DWORD PrivateCopy::remove() {
    if (folder_.empty()) return 0;
    DWORD start = GetTickCount(), e = 0;
    for (;;) {
        SetFileAttributesW(exe_.c_str(), FILE_ATTRIBUTE_NORMAL);
        e = DeleteFileW(exe_.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : GetLastError();
        if (!e) e = RemoveDirectoryW(folder_.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : GetLastError();
        if (!e || TicksSince(start) >= kRemoveMs) break;
        Sleep(kRemovePauseMs);
    }
    if (!e) {
        folder_.clear();
        exe_.clear();
    }
    return e;
}

std::vector<std::wstring> RemoveStaleCopies(const std::wstring& root) {
    std::vector<std::wstring> stale, removed;
    if (root.empty()) return removed;
    WIN32_FIND_DATAW fd;
    {
        unique_find f(FindFirstFileW((root + kCopyPrefix + L"*").c_str(), &fd));
        if (!f) return removed;
        do {
            DWORD pid = 0;
            if (!IsCopyFolderName(fd.cFileName, &pid)) continue;
            if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                continue;
            if (pid != GetCurrentProcessId() && !Runs(pid)) stale.push_back(root + fd.cFileName);
        } while (FindNextFileW(f.get(), &fd));
    }
    const std::wstring own = OwnSid();
    for (const std::wstring& folder : stale) {
        // Made by this account, as the copies are: never a folder of a
        // user's that carries the name.
        if (!own.empty() && OwnerSid(folder) == own && RemoveFolder(folder)) removed.push_back(folder);
    }
    return removed;
}

}  // namespace kt
