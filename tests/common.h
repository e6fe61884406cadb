// Helpers shared by every test program (unit and end-to-end).
#pragma once

#include <windows.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace test {

// A wide text for failure messages and test names: ASCII as it is, any other
// character as '?'.
inline std::string Narrow(const std::wstring& w) {
    std::string s;
    for (wchar_t c : w) s += c < 128 ? static_cast<char>(c) : '?';
    return s;
}

// A test name from a wide text: letters and digits kept, anything else '_'.
inline std::string Identifier(const std::wstring& w) {
    std::string s;
    for (wchar_t c : w) s += (c < 128 && isalnum(static_cast<int>(c))) ? static_cast<char>(c) : '_';
    return s;
}

// A button, wait or error identifier as the DWORD that exit codes and the
// system's calls give, so that comparisons need no cast.
constexpr DWORD Code(int id) { return static_cast<DWORD>(id); }

// Whether h still names an open object of this process.
inline bool IsOpen(HANDLE h) {
    DWORD flags = 0;
    return GetHandleInformation(h, &flags) != 0;
}

// Environment variables of this process (and so of what it starts) for a
// scope, the old values (or their absence) back afterwards.
class EnvScope {
public:
    EnvScope(std::initializer_list<std::pair<const wchar_t*, std::wstring>> vars) {
        for (const auto& v : vars) {
            // PATH may be longer than MAX_PATH: asked once for its size.
            const DWORD n = GetEnvironmentVariableW(v.first, nullptr, 0);
            std::wstring old(n, L'\0');
            const bool had = n && GetEnvironmentVariableW(v.first, &old[0], n) == n - 1;
            old.resize(had ? n - 1 : 0);
            saved_.push_back({v.first, old, had});
            SetEnvironmentVariableW(v.first, v.second.c_str());
        }
    }
    EnvScope(const EnvScope&) = delete;
    EnvScope& operator=(const EnvScope&) = delete;
    ~EnvScope() {
        for (const Saved& s : saved_) SetEnvironmentVariableW(s.name, s.had ? s.value.c_str() : nullptr);
    }

private:
    struct Saved {
        const wchar_t* name;
        std::wstring value;
        bool had;
    };
    std::vector<Saved> saved_;
};

// This process's current folder (and so what it starts in) for a scope.
class FolderScope {
public:
    explicit FolderScope(const std::wstring& folder) {
        wchar_t old[MAX_PATH] = {};
        GetCurrentDirectoryW(MAX_PATH, old);
        old_ = old;
        SetCurrentDirectoryW(folder.c_str());
    }
    FolderScope(const FolderScope&) = delete;
    FolderScope& operator=(const FolderScope&) = delete;
    ~FolderScope() { SetCurrentDirectoryW(old_.c_str()); }

private:
    std::wstring old_;
};

}  // namespace test

// What only the Unix side can make, for the tests that run under Wine: a
// symbolic link (Wine's CreateSymbolicLinkW makes none), a file of another
// owner. Wine starts a Unix program given by its path on drive Z:.
namespace test {

// The Unix path of a Windows path; empty when Wine cannot tell.
inline std::string UnixPath(const std::wstring& path) {
    using ToUnix = char*(__cdecl*)(const wchar_t*);
    auto to_unix = reinterpret_cast<ToUnix>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* unix_path = to_unix ? to_unix(path.c_str()) : nullptr;
    if (!unix_path) return std::string();
    std::string s = unix_path;
    HeapFree(GetProcessHeap(), 0, unix_path);
    return s;
}

// Runs a Unix program (its absolute path, then its arguments, none with
// blanks) and waits for it; false when it could not be started.
inline bool RunUnix(const std::string& command) {
    // Only the program's path takes drive Z: and backslashes; its
    // arguments stay Unix paths.
    const size_t blank = std::min(command.find(' '), command.size());
    std::wstring line = L"Z:";
    for (size_t i = 0; i < command.size(); ++i)
        line += i < blank && command[i] == '/' ? L'\\' : static_cast<wchar_t>(command[i]);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
    // Wine's handle of a Unix process cannot be waited for: the caller
    // polls for what the program does.
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
}

// Polls every 10 ms until done() or limit_ms (10 s) have passed; done()'s
// last answer.
template <class F>
bool Eventually(F done, DWORD limit_ms = 10000) {
    for (DWORD start = GetTickCount(); GetTickCount() - start < limit_ms; Sleep(10)) {
        if (done()) return true;
    }
    return done();
}

// A Unix symbolic link at link to target (both Windows paths); true when it
// is there.
inline bool UnixLink(const std::wstring& target, const std::wstring& link) {
    const std::string from = UnixPath(target), to = UnixPath(link);
    if (from.empty() || to.empty() || !RunUnix("/bin/ln -s " + from + " " + to)) return false;
    return Eventually([&] { return GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES; });
}

// Gives a file or folder (and what it holds) to the Unix user nobody, mode
// 0700: another account's, which Wine reports with an owner not ours. Only
// where Wine runs as root; true when it worked.
inline bool GiveToNobody(const std::wstring& path) {
    const std::string unix_path = UnixPath(path);
    if (unix_path.empty() || !RunUnix("/bin/chmod -R 0700 " + unix_path) ||
        !RunUnix("/bin/chown -R nobody " + unix_path))
        return false;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    char user[256];
    DWORD bytes = 0;
    bool read = GetTokenInformation(token, TokenUser, user, sizeof user, &bytes) != 0;
    CloseHandle(token);
    // Once the owner Wine reports is no longer this account.
    return read && Eventually([&] {
               char sd[1024];
               PSID owner = nullptr;
               BOOL defaulted = FALSE;
               DWORD n = 0;
               return GetFileSecurityW(path.c_str(), OWNER_SECURITY_INFORMATION, sd, sizeof sd, &n) &&
                      GetSecurityDescriptorOwner(sd, &owner, &defaulted) && owner &&
                      !EqualSid(owner, reinterpret_cast<TOKEN_USER*>(user)->User.Sid);
           });
}

// Removes a folder and all it holds from the Unix side (also what another
// owner has, or a link): once it is gone.
inline bool RemoveUnix(const std::wstring& path) {
    const std::string unix_path = UnixPath(path);
    return !unix_path.empty() && RunUnix("/bin/rm -rf " + unix_path) &&
           Eventually([&] { return GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES; });
}

}  // namespace test
