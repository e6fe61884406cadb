#include "win32gui/Apps.h"

#include <tlhelp32.h>
#include <winternl.h>

#include <algorithm>
#include <cstddef>
#include <cwchar>

#include "io/security.h"
#include "threads/handle.h"

namespace kt {

namespace {

bool SameNoCase(const wchar_t* a, int a_len, const wchar_t* b, int b_len) {
    return CompareStringOrdinal(a, a_len, b, b_len, TRUE) == CSTR_EQUAL;
}
bool SameNoCase(const std::wstring& a, const std::wstring& b) {
    return SameNoCase(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()));
}

std::wstring FileOf(const std::wstring& path) { return path.substr(path.find_last_of(L'\\') + 1); }

bool EndsWithExe(const std::wstring& s) {
    return s.size() > 4 && SameNoCase(s.c_str() + s.size() - 4, 4, L".exe", 4);
}

// X:\ or \\server\: a path that needs no current folder.
bool FullPath(const std::wstring& s) {
    const bool drive = s.size() >= 3 && iswalpha(s[0]) && s[1] == L':' && s[2] == L'\\';
    return drive || (s.size() > 2 && s[0] == L'\\' && s[1] == L'\\' && s[2] != L'\\');
}

std::wstring Trimmed(const std::wstring& s) {
    const size_t b = s.find_first_not_of(L" \t"), e = s.find_last_not_of(L" \t");
    return b == std::wstring::npos ? std::wstring() : s.substr(b, e - b + 1);
}

// The exe's file name an app's process has, where the app names one.
std::wstring ExeName(const AppPattern& app) {
    if (app.kind == AppPattern::apPath) return FileOf(app.text);
    if (app.kind == AppPattern::apName) return EndsWithExe(app.text) ? app.text : app.text + L".exe";
    return std::wstring();
}

struct Windows {
    DWORD pid;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectWindows(HWND w, LPARAM param) {
    auto* windows = reinterpret_cast<Windows*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    // A window of its own: not a dialog it owns (its own "save changes?").
    if (pid == windows->pid && IsWindowVisible(w) && !GetWindow(w, GW_OWNER)) windows->found.push_back(w);
    return TRUE;
}

// VERSION.dll, which is no known DLL: loaded from System32 alone (one
// planted beside velmo would run as SYSTEM), once, and kept.
struct VersionDll {
    using SizeFn = DWORD(WINAPI*)(LPCWSTR, LPDWORD);
    using InfoFn = BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, LPVOID);
    using QueryFn = BOOL(WINAPI*)(LPCVOID, LPCWSTR, LPVOID*, PUINT);
    SizeFn size = nullptr;
    InfoFn info = nullptr;
    QueryFn query = nullptr;
    VersionDll() {
        std::wstring path;
        if (System32Path(L"VERSION.dll", path)) return;
        module_.reset(LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
        if (!module_) return;
        size = reinterpret_cast<SizeFn>(
            reinterpret_cast<void*>(GetProcAddress(module_.get(), "GetFileVersionInfoSizeW")));
        info = reinterpret_cast<InfoFn>(reinterpret_cast<void*>(GetProcAddress(module_.get(), "GetFileVersionInfoW")));
        query = reinterpret_cast<QueryFn>(reinterpret_cast<void*>(GetProcAddress(module_.get(), "VerQueryValueW")));
    }
    bool ok() const { return size && info && query; }

private:
    unique_module module_;
};

const VersionDll& Version() {
    static const VersionDll dll;
    return dll;
}

// The command line from the process block of a process of this one's
// architecture.
std::wstring CommandLineFromBlock(HANDLE process) {
    BOOL own_wow = FALSE, its_wow = FALSE;
    if (!IsWow64Process(GetCurrentProcess(), &own_wow) || !IsWow64Process(process, &its_wow) || own_wow != its_wow)
        return std::wstring();
    using Query = LONG(NTAPI*)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
    auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
    PROCESS_BASIC_INFORMATION basic{};
    if (!query || query(process, ProcessBasicInformation, &basic, sizeof basic, nullptr) != 0) return std::wstring();
    auto read = [&](const void* at, void* into, SIZE_T n) {
        SIZE_T got = 0;
        return ReadProcessMemory(process, at, into, n, &got) && got == n;
    };
    PEB peb{};
    RTL_USER_PROCESS_PARAMETERS params{};
    if (!read(basic.PebBaseAddress, &peb, sizeof peb) || !peb.ProcessParameters ||
        !read(peb.ProcessParameters, &params, sizeof params))
        return std::wstring();
    std::wstring line(params.CommandLine.Length / sizeof(wchar_t), L'\0');
    if (!line.empty() && !read(params.CommandLine.Buffer, &line[0], params.CommandLine.Length)) return std::wstring();
    return line;
}

}  // namespace

bool ParseApps(const std::wstring& value, std::vector<AppPattern>& apps, std::wstring& why) {
    apps.clear();
    size_t at = 0;
    for (;;) {
        const size_t comma = value.find(L',', at);
        const std::wstring item = Trimmed(value.substr(at, comma == std::wstring::npos ? std::wstring::npos : comma - at));
        AppPattern app;
        if (item.empty()) {
            why = L"an empty item";
            return false;
        }
        std::wstring text = item;
        for (wchar_t& c : text) c = c == L'/' ? L'\\' : c;
        const bool has_folder = text.find(L'\\') != std::wstring::npos || text.find(L':') != std::wstring::npos;
        if (!has_folder) {
            for (wchar_t c : text) {
                if (c < 0x20 || wcschr(L"<>\"|?*", c)) {
                    why = L"not an exe's name '" + item + L"'";
                    return false;
                }
            }
            app.kind = AppPattern::apName;
            app.text = text;
        } else if (!FullPath(text) || text.find(L"\\\\", 2) != std::wstring::npos) {
            why = L"not a full path '" + item + L"'";
            return false;
        } else {
            app.kind = text.back() == L'\\' ? AppPattern::apFolder : AppPattern::apPath;
            app.text = text;
        }
        apps.push_back(app);
        if (comma == std::wstring::npos) return true;
        at = comma + 1;
    }
}

bool AppMatches(const AppPattern& app, const std::wstring& image) {
    switch (app.kind) {
        case AppPattern::apName: {
            const std::wstring file = FileOf(image);
            return SameNoCase(file, app.text) || SameNoCase(file, ExeName(app));
        }
        case AppPattern::apPath:
            return SameNoCase(image, app.text);
        case AppPattern::apFolder:
            // Under the folder at any depth; "Contoso2\" is not "Contoso\".
            return image.size() > app.text.size() &&
                   SameNoCase(image.c_str(), static_cast<int>(app.text.size()), app.text.c_str(),
                              static_cast<int>(app.text.size()));
    }
    return false;
}

bool AnyApp(const std::vector<AppPattern>& apps, const std::wstring& image) {
    for (const AppPattern& app : apps) {
        if (AppMatches(app, image)) return true;
    }
    return false;
}

const wchar_t* AppEndText(AppEnd end) {
    switch (end) {
        case aeClosedBefore: return L"closed by its person before velmo asked";
        case aeClosedWhenAsked: return L"closed when asked";
        case aeEnded: return L"ended after the wait";
        case aeStillRunning: return L"still running";
    }
    return L"?";
}

std::wstring FileDescription(const std::wstring& path) {
    const VersionDll& dll = Version();
    if (!dll.ok()) return std::wstring();
    DWORD ignored = 0;
    const DWORD size = dll.size(path.c_str(), &ignored);
    if (!size) return std::wstring();
    std::string data(size, '\0');
    if (!dll.info(path.c_str(), 0, size, &data[0])) return std::wstring();
    struct Translation {
        WORD language, code_page;
    };
    Translation* translations = nullptr;
    UINT bytes = 0;
    std::vector<Translation> tried;
    if (dll.query(data.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translations), &bytes) &&
        translations)
        tried.assign(translations, translations + bytes / sizeof(Translation));
    tried.push_back({0x0409, 0x04B0});
    for (const Translation& t : tried) {
        wchar_t key[64];
        swprintf(key, 64, L"\\StringFileInfo\\%04x%04x\\FileDescription", t.language, t.code_page);
        wchar_t* text = nullptr;
        UINT chars = 0;
        if (dll.query(data.data(), key, reinterpret_cast<void**>(&text), &chars) && text && *text)
            return Trimmed(std::wstring(text, wcsnlen(text, chars)));
    }
    return std::wstring();
}

std::wstring CommandLineOf(HANDLE process) {
    // ProcessCommandLineInformation: Windows 8.1 and later (Wine 8 has none).
    using Query = LONG(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);
    auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
    const ULONG kCommandLineInformation = 60;
    ULONG bytes = 0;
    if (query) {
        query(process, kCommandLineInformation, nullptr, 0, &bytes);
        if (bytes >= sizeof(UNICODE_STRING) && bytes < 64 * 1024) {
            std::string buffer(bytes, '\0');
            if (query(process, kCommandLineInformation, &buffer[0], bytes, &bytes) == 0) {
                const auto* s = reinterpret_cast<const UNICODE_STRING*>(buffer.data());
                if (s->Buffer && s->Length) return std::wstring(s->Buffer, s->Length / sizeof(wchar_t));
            }
        }
    }
    return CommandLineFromBlock(process);
}

std::wstring AppFinder::Name(const std::wstring& image) {
    auto it = names_.find(image);
    if (it != names_.end()) return it->second;
    std::wstring name = FileDescription(image);
    if (name.empty()) {
        name = FileOf(image);
        if (EndsWithExe(name)) name.resize(name.size() - 4);
    }
    names_[image] = name;
    return name;
}

namespace {

struct ListedProcess {
    DWORD pid;
    DWORD session;
    std::wstring name;  // the image's file name
};

// The same from a toolhelp snapshot: slower (see below), but another way.
std::vector<ListedProcess> SnapshotProcesses() {
    std::vector<ListedProcess> listed;
    unique_handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return listed;
    PROCESSENTRY32W e{};
    e.dwSize = sizeof e;
    for (BOOL more = Process32FirstW(snapshot.get(), &e); more; more = Process32NextW(snapshot.get(), &e)) {
        DWORD session = 0;
        if (ProcessIdToSessionId(e.th32ProcessID, &session)) listed.push_back({e.th32ProcessID, session, e.szExeFile});
    }
    return listed;
}

// Every process with its session and its exe's name, in one call
// (NtQuerySystemInformation, SystemProcessInformation: what a toolhelp
// snapshot is made of; under Wine 8, 10 ms for 200 processes against the
// snapshot's 55). buffer is kept for the next call; it grows as needed. A
// list that cannot be had this way (it keeps outgrowing the buffer) comes
// from a snapshot: an empty list would say that no app runs.
std::vector<ListedProcess> ListProcesses(std::vector<char>& buffer) {
    using Query = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    static const Query query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    const ULONG kSystemProcessInformation = 5;
    const LONG kLengthMismatch = static_cast<LONG>(0xC0000004);
    const size_t kMostBytes = 64 * 1024 * 1024;
    std::vector<ListedProcess> listed;
    if (!query) return SnapshotProcesses();
    if (buffer.size() < 256 * 1024) buffer.resize(256 * 1024);
    LONG status = kLengthMismatch;
    ULONG got = 0;
    // The list may grow between two calls: tries with room to spare.
    for (int tries = 0; tries < 8 && status == kLengthMismatch; ++tries) {
        status = query(kSystemProcessInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &got);
        if (status != kLengthMismatch) break;
        const size_t more = std::max<size_t>(buffer.size() * 2, size_t(got) + 64 * 1024);
        if (more > kMostBytes) break;
        buffer.assign(more, '\0');
    }
    if (status < 0) return SnapshotProcesses();
    const size_t end = got && got <= buffer.size() ? got : buffer.size();
    for (size_t at = 0;;) {
        const auto* p = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(buffer.data() + at);
        listed.push_back({static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(p->UniqueProcessId)), p->SessionId,
                          std::wstring(p->ImageName.Buffer ? p->ImageName.Buffer : L"", p->ImageName.Length / sizeof(wchar_t))});
        if (!p->NextEntryOffset || at + p->NextEntryOffset + sizeof(SYSTEM_PROCESS_INFORMATION) > end) break;
        at += p->NextEntryOffset;
    }
    return listed;
}

}  // namespace

std::vector<RunningApp> AppFinder::Find(DWORD session, bool with_cmdline) {
    std::vector<RunningApp> found;
    bool every_process = false;
    std::vector<std::wstring> exes;
    for (const AppPattern& app : apps_) {
        if (app.kind == AppPattern::apFolder) every_process = true;
        else exes.push_back(ExeName(app));
    }
    const DWORD self = GetCurrentProcessId();
    for (const ListedProcess& e : ListProcesses(list_)) {
        if (e.pid == 0 || e.pid == self) continue;
        bool maybe = every_process;
        for (size_t i = 0; i < exes.size() && !maybe; ++i) maybe = SameNoCase(exes[i], e.name);
        // A name given with another extension ("app.com") is its own file name.
        for (size_t i = 0; i < apps_.size() && !maybe; ++i)
            maybe = apps_[i].kind == AppPattern::apName && SameNoCase(apps_[i].text, e.name);
        if (!maybe) continue;
        const DWORD in = e.session;
        if (session != kAllSessions && in != session) continue;
        const DWORD full = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_QUERY_LIMITED_INFORMATION |
                           SYNCHRONIZE | PROCESS_TERMINATE;
        HANDLE h = OpenProcess(full, FALSE, e.pid);
        if (!h) h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE | PROCESS_TERMINATE, FALSE, e.pid);
        if (!h) h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, e.pid);
        auto process = std::make_shared<unique_handle>(h);
        wchar_t path[MAX_PATH * 2];
        DWORD n = MAX_PATH * 2;
        // Without its image only its name can tell: a path or a folder cannot.
        std::wstring image = *process && QueryFullProcessImageNameW(process->get(), 0, path, &n) ? std::wstring(path, n)
                                                                                               : e.name;
        if (!AnyApp(apps_, image)) continue;
        RunningApp app;
        app.pid = e.pid;
        app.session = in;
        app.image = image;
        app.name = Name(image);
        HANDLE t = nullptr;
        unique_handle token(*process && OpenProcessToken(process->get(), TOKEN_QUERY, &t) ? t : nullptr);
        app.user = token ? UserOf(token.get()) : L"?";
        if (with_cmdline && *process) app.cmdline = CommandLineOf(process->get());
        app.process = process;
        found.push_back(std::move(app));
    }
    return found;
}

std::vector<std::wstring> AppNames(const std::vector<RunningApp>& running) {
    std::vector<std::wstring> names;
    for (const RunningApp& app : running) {
        bool seen = false;
        for (const std::wstring& n : names) seen |= SameNoCase(n, app.name);
        if (!seen) names.push_back(app.name);
    }
    return names;
}

std::wstring AppsText(const std::vector<RunningApp>& running) {
    std::wstring text;
    for (const std::wstring& name : AppNames(running)) text += (text.empty() ? L"" : L"\n") + name;
    return text;
}

size_t AskToClose(const RunningApp& app) {
    Windows windows{app.pid, {}};
    EnumWindows(CollectWindows, reinterpret_cast<LPARAM>(&windows));
    for (HWND w : windows.found) PostMessageW(w, WM_CLOSE, 0, 0);
    return windows.found.size();
}

bool Ended(const RunningApp& app) {
    return app.process && *app.process && WaitForSingleObject(app.process->get(), 0) == WAIT_OBJECT_0;
}

DWORD WaitPumping(HANDLE h, DWORD ms) {
    const DWORD start = GetTickCount();
    for (;;) {
        const DWORD spent = TicksSince(start);
        const DWORD left = ms == INFINITE ? INFINITE : spent < ms ? ms - spent : 0;
        const DWORD w = MsgWaitForMultipleObjects(1, &h, FALSE, left, QS_ALLINPUT);
        if (w != WAIT_OBJECT_0 + 1) return w;
        MSG m;
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
            // A WM_QUIT stays for whoever waits for it.
            if (m.message == WM_QUIT) {
                PostQuitMessage(static_cast<int>(m.wParam));
                return WAIT_TIMEOUT;
            }
            TranslateMessage(&m);
            DispatchMessageW(&m);
        }
    }
}

std::vector<size_t> StillRunning(const std::vector<RunningApp>& running, DWORD ms) {
    const DWORD start = GetTickCount();
    std::vector<size_t> left;
    for (size_t i = 0; i < running.size(); ++i) {
        const RunningApp& app = running[i];
        const DWORD spent = TicksSince(start);
        // One that cannot be waited for is taken as running.
        if (!app.process || !*app.process ||
            WaitPumping(app.process->get(), spent < ms ? ms - spent : 0) != WAIT_OBJECT_0)
            left.push_back(i);
    }
    return left;
}

DWORD EndApp(const RunningApp& app) {
    if (!app.process || !*app.process) return ERROR_ACCESS_DENIED;
    if (!TerminateProcess(app.process->get(), ERROR_CANCELLED)) return GetLastError();
    WaitForSingleObject(app.process->get(), 5000);
    return 0;
}

}  // namespace kt
