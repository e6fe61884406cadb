#include "app/CmdSearch.h"

#include <vector>

// The order is cmd's for a command in a batch file, as Microsoft documents
// it in cmd's "Command search sequence" ("Command shell overview") and in
// cmd /?:
// - an internal command (kInternal) runs in cmd before any file is sought;
// - a first word with a path is looked for there alone;
// - a bare name in the current folder, then in each PATH folder in order,
//   each folder with every PATHEXT extension in order before the next one
//   (PATHEXT unset: .COM;.EXE;.BAT;.CMD);
// - a name with an extension is tried as written only.
// Whether the current folder counts is NeedCurrentDirectoryForExePathW's
// answer, as its documentation says cmd asks. Sysnative: "File System
// Redirector".

namespace {

const wchar_t kDefaultPathext[] = L".COM;.EXE;.BAT;.CMD";

// cmd's internal commands: no file of that name is looked for.
const wchar_t* const kInternal[] = {
    L"ASSOC", L"BREAK", L"CALL",  L"CD",     L"CHDIR",    L"CLS",    L"COLOR",  L"COPY",  L"DATE",
    L"DEL",   L"DIR",   L"DPATH", L"ECHO",   L"ENDLOCAL", L"ERASE",  L"EXIT",   L"FOR",   L"FTYPE",
    L"GOTO",  L"IF",    L"KEYS",  L"MD",     L"MKDIR",    L"MKLINK", L"MOVE",   L"PATH",  L"PAUSE",
    L"POPD",  L"PROMPT", L"PUSHD", L"RD",    L"REM",      L"REN",    L"RENAME", L"RMDIR", L"SET",
    L"SETLOCAL", L"SHIFT", L"START", L"TIME", L"TITLE",   L"TYPE",   L"VER",    L"VERIFY", L"VOL",
};

bool Blank(wchar_t c) { return c == L' ' || c == L'\t'; }

// Compared as the file system compares names.
bool Same(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

bool StartsWithFolder(const std::wstring& path, const std::wstring& folder) {
    return path.size() >= folder.size() && Same(path.substr(0, folder.size()), folder) &&
           (path.size() == folder.size() || path[folder.size()] == L'\\');
}

// The first word as cmd reads it: to the first blank outside quotes, the
// quotes dropped (they may stand anywhere in it: C:\"My Tools"\x.exe).
struct FirstWord {
    std::wstring name;
    bool quoted = false;
    std::wstring rest;  // after the word, as written (its blanks too)
};

FirstWord SplitFirstWord(const std::wstring& command) {
    FirstWord w;
    bool in_quotes = false;
    size_t i = 0;
    for (; i < command.size() && (in_quotes || !Blank(command[i])); ++i) {
        if (command[i] == L'"') {
            in_quotes = !in_quotes;
            w.quoted = true;
        } else {
            w.name += command[i];
        }
    }
    w.rest = command.substr(i);
    return w;
}

bool IsInternal(const FirstWord& w) {
    if (w.quoted) return false;  // "echo" is a file's name to cmd
    for (const wchar_t* name : kInternal) {
        if (Same(w.name, name)) return true;
    }
    return false;
}

// A list split at ';' outside quotes, the quotes dropped, empty entries
// skipped (PATH: "C:\a;b";C:\bin;;).
std::vector<std::wstring> SplitList(const std::wstring& list) {
    std::vector<std::wstring> entries;
    std::wstring entry;
    bool in_quotes = false;
    for (size_t i = 0; i <= list.size(); ++i) {
        if (i == list.size() || (list[i] == L';' && !in_quotes)) {
            if (!entry.empty()) entries.push_back(entry);
            entry.clear();
        } else if (list[i] == L'"') {
            in_quotes = !in_quotes;
        } else {
            entry += list[i];
        }
    }
    return entries;
}

// The drive ("C:") or share ("\\server\share") a full path starts with.
std::wstring Root(const std::wstring& full) {
    if (full.compare(0, 2, L"\\\\") != 0) return full.substr(0, 2);
    size_t server = full.find(L'\\', 2);
    size_t share = server == std::wstring::npos ? server : full.find(L'\\', server + 1);
    return full.substr(0, share);
}

// A full path with backslashes, without ".", ".." (never above its root),
// doubled separators or a closing backslash.
std::wstring Normalize(const std::wstring& full) {
    const std::wstring root = Root(full);
    std::vector<std::wstring> parts;
    for (size_t at = root.size(); at < full.size();) {
        size_t end = full.find(L'\\', at);
        if (end == std::wstring::npos) end = full.size();
        const std::wstring part = full.substr(at, end - at);
        if (part == L"..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != L".") {
            parts.push_back(part);
        }
        at = end + 1;
    }
    std::wstring out = root;
    for (const std::wstring& part : parts) out += L"\\" + part;
    return parts.empty() ? out + L"\\" : out;
}

// A path as written, relative to the current folder. A drive without its
// folder (D:x.exe) is taken from that drive's root, unless it is the
// current folder's drive: the process's other drives' folders are not
// known here.
std::wstring Full(std::wstring path, const std::wstring& current) {
    for (wchar_t& c : path) {
        if (c == L'/') c = L'\\';
    }
    const bool drive = path.size() >= 2 && path[1] == L':';
    if (path.compare(0, 2, L"\\\\") == 0 || (drive && path.size() >= 3 && path[2] == L'\\')) return Normalize(path);
    if (drive) {
        const std::wstring rest = path.substr(2);
        return Normalize((Same(path.substr(0, 2), Root(current)) ? current : path.substr(0, 2)) + L"\\" + rest);
    }
    if (!path.empty() && path[0] == L'\\') return Normalize(Root(current) + path);
    return Normalize(current + L"\\" + path);
}

std::wstring Quote(const std::wstring& s) { return L"\"" + s + L"\""; }

class Search {
public:
    explicit Search(const CmdSearchPlaces& places)
        : wow64_(places.wow64),
          system32_(Normalize(places.windows + L"\\System32")),
          sysnative_(Normalize(places.windows + L"\\Sysnative")) {}

    // The folder where this process finds what lies there: under WoW64 a
    // 32-bit process sees SysWOW64 in place of System32, and reaches the
    // 64-bit tools only through Sysnative.
    std::wstring Native(const std::wstring& folder) const {
        if (!wow64_ || !StartsWithFolder(folder, system32_)) return folder;
        return sysnative_ + folder.substr(system32_.size());
    }

    // System32's cmd, not %ComSpec%'s, which the caller's environment names.
    std::wstring Cmd() const { return Native(system32_) + L"\\cmd.exe"; }

private:
    const bool wow64_;
    const std::wstring system32_, sysnative_;
};

bool IsBatch(const std::wstring& file) {
    const size_t dot = file.rfind(L'.');
    if (dot == std::wstring::npos || file.find(L'\\', dot) != std::wstring::npos) return false;
    const std::wstring ext = file.substr(dot);
    return Same(ext, L".bat") || Same(ext, L".cmd");
}

}  // namespace

CmdLaunch ResolveCommand(const std::wstring& command, const CmdSearchPlaces& places,
                         const std::function<bool(const std::wstring&)>& exists) {
    const Search search(places);
    const FirstWord word = SplitFirstWord(command);
    CmdLaunch launch;
    // cmd runs its own commands: through cmd, as a batch file's line.
    if (IsInternal(word)) {
        launch.application = search.Cmd();
        launch.line = Quote(launch.application) + L" /d /s /c " + Quote(command);
        return launch;
    }
    // The folders, and the name to look for in each.
    std::vector<std::wstring> folders;
    std::wstring leaf = word.name;
    const size_t cut = word.name.find_last_of(L"\\/:");
    if (cut != std::wstring::npos) {
        // A path: its folder alone, relative to the current one. A word
        // that ends in a separator (sub\) names no file.
        leaf = word.name.substr(cut + 1);
        folders.push_back(Full(word.name.substr(0, cut + 1), places.current));
    } else {
        if (places.current_first) folders.push_back(Normalize(places.current));
        for (const std::wstring& entry : SplitList(places.path)) folders.push_back(Full(entry, places.current));
    }
    std::vector<std::wstring> names;
    const std::vector<std::wstring> extensions = SplitList(places.pathext.empty() ? kDefaultPathext : places.pathext);
    if (leaf.find(L'.') != std::wstring::npos) {
        names.push_back(leaf);
    } else if (!leaf.empty()) {
        for (const std::wstring& ext : extensions) names.push_back(leaf + ext);
    }
    std::wstring looked;
    for (const std::wstring& folder : folders) {
        // The folder's root keeps its backslash (C:\): no second one.
        const std::wstring native = search.Native(folder), prefix = native.back() == L'\\' ? native : native + L"\\";
        looked += (looked.empty() ? L"" : L"; ") + native;
        for (const std::wstring& name : names) {
            if (!exists(prefix + name)) continue;
            const std::wstring file = prefix + name;
            // A batch file runs in cmd, and the rest of the line as written.
            if (IsBatch(file)) {
                launch.application = search.Cmd();
                launch.line = Quote(launch.application) + L" /d /s /c \"" + Quote(file) + word.rest + L"\"";
            } else {
                launch.application = file;
                launch.line = command;
            }
            return launch;
        }
    }
    if (leaf.empty()) {
        launch.sought = L"the first word names no file";
    } else {
        launch.sought = L"not found: " + leaf;
        if (leaf.find(L'.') == std::wstring::npos)
            launch.sought += L" with " + (places.pathext.empty() ? std::wstring(kDefaultPathext) : places.pathext);
        launch.sought += L" in " + (looked.empty() ? std::wstring(L"no folder") : looked);
    }
    return launch;
}

namespace {

// A variable of this process's environment; empty when it is not set.
std::wstring Variable(const wchar_t* name) {
    std::wstring value(256, L'\0');
    for (;;) {
        DWORD n = GetEnvironmentVariableW(name, &value[0], static_cast<DWORD>(value.size()));
        if (n < value.size()) {
            value.resize(n);
            return value;
        }
        value.resize(n);
    }
}

bool FileExists(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

CmdLaunch ResolveCommand(const std::wstring& command) {
    CmdSearchPlaces places;
    std::wstring folder(MAX_PATH, L'\0');
    for (DWORD n; (n = GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), &folder[0])) >= folder.size();)
        folder.resize(n);
    places.current = folder.c_str();
    places.current_first = NeedCurrentDirectoryForExePathW(SplitFirstWord(command).name.c_str()) != FALSE;
    places.path = Variable(L"PATH");
    places.pathext = Variable(L"PATHEXT");
    wchar_t windows[MAX_PATH] = {};
    GetSystemWindowsDirectoryW(windows, MAX_PATH);
    places.windows = windows;
    BOOL wow64 = FALSE;
    places.wow64 = IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
    return ResolveCommand(command, places, FileExists);
}
