#include "relay/Start.h"

#include <aclapi.h>
#include <ntsecapi.h>
#include <sddl.h>

#include <cwchar>
#include <unordered_set>

#include "Log/WliTrust.h"
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

// The path a handle names, as the system resolved it ("\\?\C:\..."); empty
// when it cannot be read.
std::wstring FinalPath(HANDLE h) {
    std::wstring path(MAX_PATH, L'\0');
    for (int tries = 0; tries < 2; ++tries) {
        DWORD n = GetFinalPathNameByHandleW(h, &path[0], static_cast<DWORD>(path.size()), FILE_NAME_NORMALIZED);
        if (n == 0) return std::wstring();
        if (n < path.size()) return path.substr(0, n);
        path.assign(n + 1, L'\0');
    }
    return std::wstring();
}

// Opens path itself, never what a link in its place points to: a reparse
// point opens as itself (FILE_FLAG_OPEN_REPARSE_POINT), and the handle must
// name final, the path expected (under Wine a unix link is followed all the
// same, and shows as its target's path). Empty otherwise.
unique_handle OpenItself(const std::wstring& path, const std::wstring& final, DWORD access, DWORD share) {
    unique_handle h(CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (h && _wcsicmp(FinalPath(h.get()).c_str(), final.c_str()) != 0) {
        h.reset();
        SetLastError(ERROR_CANT_ACCESS_FILE);
    }
    return h;
}

// The attributes the handle reports; INVALID_FILE_ATTRIBUTES when unknown.
DWORD HandleAttributes(HANDLE h) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    return GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag) ? tag.FileAttributes
                                                                                    : INVALID_FILE_ATTRIBUTES;
}

// The owner and DACL read through the handle; empty when they cannot be.
unique_local HandleSecurity(HANDLE h) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr,
                        nullptr, nullptr, &sd) != ERROR_SUCCESS)
        return unique_local();
    return unique_local(sd);
}

bool IsPlainFile(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES &&
           !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE));
}

struct Entry {
    std::wstring name;
    DWORD attributes;
};

// The entries of an open folder, "." and ".." left out; false when it
// cannot be listed.
bool List(HANDLE folder, std::vector<Entry>& entries) {
    entries.clear();
    alignas(8) unsigned char buffer[16 * 1024];
    FILE_INFO_BY_HANDLE_CLASS next = FileIdBothDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(folder, next, buffer, sizeof buffer)) {
        next = FileIdBothDirectoryInfo;
        for (size_t at = 0;;) {
            const auto* e = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer + at);
            std::wstring name(e->FileName, e->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") entries.push_back({name, e->FileAttributes});
            if (!e->NextEntryOffset) break;
            at += e->NextEntryOffset;
        }
    }
    return GetLastError() == ERROR_NO_MORE_FILES;
}

// Whether what the handle opened is the asker's own (or SYSTEM's, or
// Administrators'), and no one else may change it.
bool OwnAndClosed(HANDLE h, bool folder, PSID asker) {
    unique_local sd = HandleSecurity(h);
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!sd || !GetSecurityDescriptorOwner(sd.get(), &owner, &defaulted) || !owner) return false;
    const bool own = IsAdminSid(owner) || (asker && EqualSid(owner, asker));
    return own && !OthersMayWrite(sd.get(), folder, asker);
}

bool Dispose(HANDLE h) {
    FILE_DISPOSITION_INFO dispose{TRUE};
    return SetFileInformationByHandle(h, FileDispositionInfo, &dispose, sizeof dispose) != 0;
}

// Removes one stale private folder, name in the copies folder: only when
// the folder and every entry in it pass, each through its own handle.
bool RemoveStale(const CopiesFolder& copies, const std::wstring& name) {
    const std::wstring path = copies.path() + L"\\" + name, final = copies.final_path() + L"\\" + name;
    unique_handle folder = OpenItself(path, final, DELETE | READ_CONTROL | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES |
                                                       SYNCHRONIZE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (!folder) return false;
    const DWORD attributes = HandleAttributes(folder.get());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) || !OwnAndClosed(folder.get(), true, copies.asker()))
        return false;
    std::vector<Entry> entries;
    if (!List(folder.get(), entries)) return false;
    std::vector<unique_handle> files;
    for (const Entry& e : entries) {
        if (!IsPlainFile(e.attributes)) return false;
        unique_handle file = OpenItself(path + L"\\" + e.name, final + L"\\" + e.name,
                                        DELETE | READ_CONTROL | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
        if (!file || !IsPlainFile(HandleAttributes(file.get())) || !OwnAndClosed(file.get(), false, copies.asker()))
            return false;
        files.push_back(std::move(file));
    }
    for (unique_handle& file : files) {
        // A read-only file cannot be deleted; its times stay (0: unchanged).
        FILE_BASIC_INFO basic{};
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        SetFileInformationByHandle(file.get(), FileBasicInfo, &basic, sizeof basic);
        // A copy that runs cannot be deleted.
        if (!Dispose(file.get())) return false;
    }
    // Deleted as their handles close; then the empty folder.
    files.clear();
    return Dispose(folder.get());
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
        // A path that SYSTEM sees and the user does not: a drive letter of
        // SYSTEM's own logon session, a share SYSTEM reaches as the computer.
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
        case ERROR_LOGON_FAILURE:
        case ERROR_NETWORK_ACCESS_DENIED:
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

std::wstring CopiesFolderSddl() { return L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"; }

bool CopiesFolderTrusted(DWORD attributes, PSECURITY_DESCRIPTOR sd, PSID asker) {
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!sd || !IsValidSecurityDescriptor(sd) || !GetSecurityDescriptorOwner(sd, &owner, &defaulted) || !owner)
        return false;
    // TrustedInstaller, which IsAdminSid also names, owns no folder of ours.
    const bool owner_ok = IsWellKnownSid(owner, WinLocalSystemSid) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
                          (asker && IsValidSid(asker) && EqualSid(owner, asker));
    return owner_ok && !OthersMayWrite(sd, true, asker);
}

std::wstring CopyFolderSddl(const std::vector<std::wstring>& user_sids) {
    std::wstring sddl = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    std::unordered_set<std::wstring> given;
    for (const std::wstring& sid : user_sids) {
        if (given.insert(sid).second) sddl += L"(A;OICI;0x1200a9;;;" + sid + L")";
    }
    return sddl;
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

result PrivateCopy::make(const std::wstring& exe, const std::vector<std::wstring>& user_sids,
                         const std::wstring& parent) {
    remove();
    if (parent.empty()) return result(ERROR_PATH_NOT_FOUND, L"no folder for the copies");
    unique_local sd = SdFromSddl(CopyFolderSddl(user_sids));
    if (!sd) return LastErrorResult(L"ConvertStringSecurityDescriptorToSecurityDescriptorW");
    SECURITY_ATTRIBUTES security{sizeof security, sd.get(), FALSE};
    DWORD e = ERROR_ALREADY_EXISTS;
    // A folder that exists, whoever made it, is never used.
    for (int tries = 0; tries < 8 && folder_.empty(); ++tries) {
        unsigned char random[16];
        if (!RtlGenRandom(random, sizeof random)) return LastErrorResult(L"RtlGenRandom");
        std::wstring folder = parent + L"\\" + CopyFolderName(GetCurrentProcessId(), random);
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

result CopiesFolder::open(const std::wstring& root, bool make) {
    close();
    if (root.empty()) return result(ERROR_PATH_NOT_FOUND, L"no temp folder");
    asker_ = TokenUserBuffer(OwnToken().get());
    // The root as the system resolves it: what every path in it must name.
    unique_handle r(CreateFileW(root.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    const std::wstring root_final = r ? FinalPath(r.get()) : std::wstring();
    if (root_final.empty()) return LastErrorResult((L"cannot open " + root).c_str());
    r.reset();
    const std::wstring base = root.back() == L'\\' ? root : root + L'\\';
    const std::wstring final_base = root_final.back() == L'\\' ? root_final : root_final + L'\\';
    unique_local sd = SdFromSddl(CopiesFolderSddl());
    if (!sd) return LastErrorResult(L"ConvertStringSecurityDescriptorToSecurityDescriptorW");
    SECURITY_ATTRIBUTES security{sizeof security, sd.get(), FALSE};
    const DWORD kAccess = READ_CONTROL | FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;

    // The shared folder: made here when missing, and used only when it can
    // be trusted whoever made it.
    const std::wstring shared = base + kCopiesFolder;
    DWORD made = !make ? ERROR_ALREADY_EXISTS : CreateDirectoryW(shared.c_str(), &security) ? 0 : GetLastError();
    if (made && made != ERROR_ALREADY_EXISTS) {
        distrust_ = L"cannot make it: " + ErrorText(made);
    } else {
        unique_handle h = OpenItself(shared, final_base + kCopiesFolder, kAccess, FILE_SHARE_READ | FILE_SHARE_WRITE);
        unique_local held = h ? HandleSecurity(h.get()) : unique_local();
        if (!h) {
            distrust_ = L"cannot open it as itself: " + ErrorText(GetLastError());
        } else if (!CopiesFolderTrusted(HandleAttributes(h.get()), held.get(), asker())) {
            distrust_ = L"a link, or others may change it: " + SddlOf(held.get(), OWNER_SECURITY_INFORMATION |
                                                                              DACL_SECURITY_INFORMATION);
        } else {
            handle_ = std::move(h);
            path_ = shared;
            final_ = final_base + kCopiesFolder;
            return {};
        }
    }
    if (!make) return result(ERROR_NOT_FOUND, distrust_);
    // A fresh one of our own, never one that exists.
    for (int tries = 0; tries < 8; ++tries) {
        unsigned char random[16];
        if (!RtlGenRandom(random, sizeof random)) return LastErrorResult(L"RtlGenRandom");
        std::wstring name = std::wstring(kCopiesFolder) + L".";
        for (unsigned char b : random) {
            wchar_t hex[3];
            swprintf(hex, 3, L"%02X", b);
            name += hex;
        }
        if (!CreateDirectoryW((base + name).c_str(), &security)) {
            if (GetLastError() == ERROR_ALREADY_EXISTS) continue;
            return LastErrorResult((L"CreateDirectoryW " + base + name).c_str());
        }
        handle_ = OpenItself(base + name, final_base + name, kAccess | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE);
        if (!handle_) {
            result r = LastErrorResult((L"cannot open " + base + name).c_str());
            RemoveDirectoryW((base + name).c_str());
            return r;
        }
        path_ = base + name;
        final_ = final_base + name;
        fresh_ = true;
        return {};
    }
    return result(ERROR_ALREADY_EXISTS, L"CreateDirectoryW");
}

void CopiesFolder::close() {
    // Removed only when empty: deleting a folder that is not does nothing.
    if (fresh_ && handle_) Dispose(handle_.get());
    handle_.reset();
    path_.clear();
    final_.clear();
    distrust_.clear();
    fresh_ = false;
}

PSID CopiesFolder::asker() const {
    return asker_.empty() ? nullptr : reinterpret_cast<const TOKEN_USER*>(asker_.data())->User.Sid;
}

std::vector<std::wstring> RemoveStaleCopies(const CopiesFolder& copies) {
    std::vector<std::wstring> removed;
    std::vector<Entry> entries;
    // Never in a folder that others may change: what they put there could
    // be swapped for a link after it was looked at.
    if (!copies.shared() || !List(copies.handle(), entries)) return removed;
    for (const Entry& e : entries) {
        DWORD pid = 0;
        if (!IsCopyFolderName(e.name, &pid) || !(e.attributes & FILE_ATTRIBUTE_DIRECTORY) ||
            (e.attributes & FILE_ATTRIBUTE_REPARSE_POINT) || pid == GetCurrentProcessId() || Runs(pid))
            continue;
        if (RemoveStale(copies, e.name)) removed.push_back(copies.path() + L"\\" + e.name);
    }
    return removed;
}

}  // namespace kt
