#include "tests/e2e/harness.h"

#include <winternl.h>

#include <cstddef>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <functional>

namespace e2e {

std::wstring ExeDir() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring p(path);
    return p.substr(0, p.find_last_of(L"\\/"));
}

std::wstring VelmoPath() { return ExeDir() + L"\\velmo.exe"; }

Process::~Process() {
    if (Running()) {
        TerminateProcess(process_.get(), 1);
        WaitForSingleObject(process_.get(), 5000);
    }
}

bool Process::Start(const std::wstring& cmdline, HANDLE output) {
    STARTUPINFOW si{};
    si.cb = sizeof si;
    if (output) {
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        si.hStdOutput = output;
        si.hStdError = output;
    }
    // Under Wine one start in a parallel run once failed (cause unknown);
    // a few tries, then the error is reported.
    DWORD error = 0;
    for (int tries = 0; tries < 5; ++tries) {
        std::wstring line = cmdline;
        PROCESS_INFORMATION pi{};
        if (CreateProcessW(nullptr, &line[0], nullptr, nullptr, output != nullptr, 0, nullptr, nullptr, &si, &pi)) {
            process_.reset(pi.hProcess);
            thread_.reset(pi.hThread);
            pid_ = pi.dwProcessId;
            return true;
        }
        error = GetLastError();
        Sleep(200);
    }
    fprintf(stderr, "CreateProcessW failed with %lu\n", static_cast<unsigned long>(error));
    return false;
}

bool Process::StartVelmo(const std::wstring& args) { return StartExe(VelmoPath(), args); }

bool Process::StartExe(const std::wstring& exe, const std::wstring& args) {
    return Start(L"\"" + exe + L"\"" + (args.empty() ? L"" : L" " + args));
}

bool Process::Running() const { return process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }

std::string Process::State() const {
    if (!process_) return "not started";
    if (Running()) return "running";
    DWORD code = 0;
    GetExitCodeProcess(process_.get(), &code);
    char s[48];
    snprintf(s, sizeof s, "ended with %lu (0x%08lX)", static_cast<unsigned long>(code), static_cast<unsigned long>(code));
    return s;
}

DWORD Process::WaitExit(DWORD ms) {
    if (WaitForSingleObject(process_.get(), ms) != WAIT_OBJECT_0) {
        TerminateProcess(process_.get(), 1);
        WaitForSingleObject(process_.get(), 5000);
        return kTimedOut;
    }
    DWORD code = 0;
    GetExitCodeProcess(process_.get(), &code);
    return code;
}

namespace {
// A visible top-level dialog that the predicate accepts.
struct FindState {
    const std::function<bool(HWND)>* accepts;
    HWND found;
};

BOOL CALLBACK FindProc(HWND w, LPARAM lp) {
    auto* s = reinterpret_cast<FindState*>(lp);
    wchar_t cls[64] = {};
    GetClassNameW(w, cls, 64);
    if (!IsWindowVisible(w) || std::wstring(cls) != L"#32770" || !(*s->accepts)(w)) return TRUE;
    s->found = w;
    return FALSE;
}

// Polls every 5 ms until a dialog is accepted or timeout_ms have passed.
HWND FindDialog(const std::function<bool(HWND)>& accepts, DWORD timeout_ms) {
    DWORD start = GetTickCount();
    do {
        FindState s{&accepts, nullptr};
        EnumWindows(FindProc, reinterpret_cast<LPARAM>(&s));
        if (s.found) return s.found;
        Sleep(5);
    } while (GetTickCount() - start < timeout_ms);
    return nullptr;
}

BOOL CALLBACK ChildProc(HWND w, LPARAM lp) {
    auto* v = reinterpret_cast<std::vector<Control>*>(lp);
    wchar_t cls[64] = {};
    GetClassNameW(w, cls, 64);
    v->push_back({w, GetDlgCtrlID(w), cls, Text(w), IsWindowVisible(w) != 0});
    return TRUE;
}
}  // namespace

bool StartedWith(DWORD pid, std::wstring& cmdline, std::vector<std::wstring>& environment) {
    using Query = LONG(NTAPI*)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
    auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
    kt::unique_handle p(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
    PROCESS_BASIC_INFORMATION basic{};
    if (!query || !p || query(p.get(), ProcessBasicInformation, &basic, sizeof basic, nullptr) != 0) return false;
    auto read = [&](const void* at, void* into, SIZE_T n) {
        SIZE_T got = 0;
        return ReadProcessMemory(p.get(), at, into, n, &got) && got == n;
    };
    PEB peb{};
    RTL_USER_PROCESS_PARAMETERS params{};
    if (!read(basic.PebBaseAddress, &peb, sizeof peb) || !read(peb.ProcessParameters, &params, sizeof params))
        return false;
    cmdline.assign(params.CommandLine.Length / sizeof(wchar_t), L'\0');
    if (!cmdline.empty() && !read(params.CommandLine.Buffer, &cmdline[0], params.CommandLine.Length)) return false;
    // The environment block's pointer follows the command line.
    PVOID block = nullptr;
    const char* after = reinterpret_cast<const char*>(peb.ProcessParameters) +
                        offsetof(RTL_USER_PROCESS_PARAMETERS, CommandLine) + sizeof(UNICODE_STRING);
    if (!read(after, &block, sizeof block) || !block) return false;
    environment.clear();
    std::wstring entry;
    for (const wchar_t* at = static_cast<const wchar_t*>(block);; ++at) {
        wchar_t c = 0;
        if (!read(at, &c, sizeof c)) return false;
        if (c) {
            entry += c;
        } else if (entry.empty()) {
            return true;
        } else {
            environment.push_back(entry);
            entry.clear();
        }
        if (environment.size() > 4096) return false;
    }
}

HWND FindBox(DWORD pid, DWORD timeout_ms, const std::wstring& title) {
    return FindDialog(
        [&](HWND w) {
            DWORD owner = 0;
            GetWindowThreadProcessId(w, &owner);
            return (!pid || owner == pid) && (title.empty() || Text(w) == title);
        },
        timeout_ms);
}

HWND FindBoxWithText(const std::wstring& text, DWORD timeout_ms) {
    return FindDialog([&](HWND w) { return MessageText(w) == text; }, timeout_ms);
}

std::vector<HWND> FindBoxesWithText(const std::wstring& text, size_t count, DWORD timeout_ms) {
    std::vector<HWND> boxes;
    DWORD start = GetTickCount();
    do {
        boxes.clear();
        std::function<bool(HWND)> accepts = [&](HWND w) {
            if (MessageText(w) == text) boxes.push_back(w);
            return false;  // all of them
        };
        FindState s{&accepts, nullptr};
        EnumWindows(FindProc, reinterpret_cast<LPARAM>(&s));
        if (boxes.size() >= count) break;
        Sleep(20);
    } while (GetTickCount() - start < timeout_ms);
    return boxes;
}

bool GoneWithin(HWND w, DWORD timeout_ms) {
    DWORD start = GetTickCount();
    while (IsWindow(w) && GetTickCount() - start < timeout_ms) Sleep(5);
    return !IsWindow(w);
}

std::wstring Text(HWND w) {
    DWORD_PTR len = 0;
    if (!SendMessageTimeoutW(w, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &len) || len == 0) return L"";
    std::wstring s(len + 1, L'\0');
    DWORD_PTR got = 0;
    SendMessageTimeoutW(w, WM_GETTEXT, len + 1, reinterpret_cast<LPARAM>(&s[0]), SMTO_ABORTIFHUNG, 5000, &got);
    s.resize(wcslen(s.c_str()));
    return s;
}

std::vector<Control> Children(HWND parent) {
    std::vector<Control> v;
    EnumChildWindows(parent, ChildProc, reinterpret_cast<LPARAM>(&v));
    return v;
}

std::vector<int> VisibleButtonIds(HWND box) {
    std::vector<int> ids;
    for (const Control& c : ButtonRow(box)) ids.push_back(c.id);
    return ids;
}

std::wstring MessageText(HWND box) {
    std::wstring best;
    for (const Control& c : Children(box)) {
        if (c.visible && _wcsicmp(c.cls.c_str(), L"Static") == 0 && c.text.size() > best.size()) best = c.text;
    }
    return best;
}

std::vector<Control> TextColumns(HWND box) {
    std::vector<Control> columns;
    for (const Control& c : Children(box)) {
        if (c.visible && _wcsicmp(c.cls.c_str(), L"Static") == 0 && !c.text.empty()) columns.push_back(c);
    }
    std::sort(columns.begin(), columns.end(), [box](const Control& a, const Control& b) {
        return RectIn(box, a.hwnd).left < RectIn(box, b.hwnd).left;
    });
    return columns;
}

bool IconVisible(HWND box) {
    for (const Control& c : Children(box)) {
        if (!c.visible || _wcsicmp(c.cls.c_str(), L"Static") != 0) continue;
        LONG style = GetWindowLongW(c.hwnd, GWL_STYLE);
        if ((style & SS_TYPEMASK) == SS_ICON) return true;
    }
    return false;
}

std::wstring TitleSuffix(HWND box, const std::wstring& caption, DWORD limit_ms) {
    DWORD start = GetTickCount();
    while (GetTickCount() - start < limit_ms && IsWindow(box)) {
        std::wstring t = Text(box);
        if (t.size() > caption.size() && t.compare(0, caption.size(), caption) == 0) return t.substr(caption.size());
        Sleep(10);
    }
    return L"<none>";
}

void Click(HWND box, int id) {
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, id)));
}

namespace {
INPUT Key(WORD vk, bool up) {
    INPUT in{};
    in.type = INPUT_KEYBOARD;
    in.ki.wVk = vk;
    in.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    return in;
}
}  // namespace

void PressKeys(std::initializer_list<WORD> keys, bool alt) {
    std::vector<INPUT> in;
    if (alt) in.push_back(Key(VK_MENU, false));
    for (WORD k : keys) {
        in.push_back(Key(k, false));
        in.push_back(Key(k, true));
    }
    if (alt) in.push_back(Key(VK_MENU, true));
    SendInput(static_cast<UINT>(in.size()), in.data(), sizeof(INPUT));
}

void ClickAt(HWND w) {
    RECT r{};
    GetWindowRect(w, &r);
    const POINT at{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
    // Every event carries the position: a click without one lands wherever
    // the pointer is when it is handled, and under Wine a warp of the
    // pointer (SetCursorPos) may come after it, so the click hit what the
    // previous test had clicked (the same place on a box of the same size).
    const int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
    auto mouse = [&](DWORD flags) {
        INPUT in{};
        in.type = INPUT_MOUSE;
        in.mi.dx = MulDiv(at.x, 65535, width - 1);
        in.mi.dy = MulDiv(at.y, 65535, height - 1);
        in.mi.dwFlags = flags | MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
        return in;
    };
    INPUT move = mouse(0);
    SendInput(1, &move, sizeof(INPUT));
    POINT now{};
    DWORD start = GetTickCount();
    while (GetCursorPos(&now) && (std::abs(now.x - at.x) > 1 || std::abs(now.y - at.y) > 1) &&
           GetTickCount() - start < 1000)
        Sleep(5);
    INPUT click[2] = {mouse(MOUSEEVENTF_LEFTDOWN), mouse(MOUSEEVENTF_LEFTUP)};
    SendInput(2, click, sizeof(INPUT));
}

bool BringToFront(HWND w) {
    DWORD start = GetTickCount();
    do {
        if (GetForegroundWindow() == w) return true;
        // Input of this process's lets it give another program's window the
        // front. Not an Alt press: a box that took the front by itself just
        // before would take that press for its system menu, and the test's
        // Enter would then open the menu instead of answering.
        INPUT nothing{};
        nothing.type = INPUT_MOUSE;
        nothing.mi.dwFlags = MOUSEEVENTF_MOVE;
        SendInput(1, &nothing, sizeof nothing);
        SetForegroundWindow(w);
        Sleep(20);
    } while (GetTickCount() - start < 2000);
    return GetForegroundWindow() == w;
}

std::vector<Control> ButtonRow(HWND box) {
    std::vector<Control> row;
    for (const Control& c : Children(box)) {
        if (c.visible && _wcsicmp(c.cls.c_str(), L"Button") == 0) row.push_back(c);
    }
    std::sort(row.begin(), row.end(),
              [box](const Control& a, const Control& b) { return RectIn(box, a.hwnd).left < RectIn(box, b.hwnd).left; });
    return row;
}

std::vector<std::wstring> ButtonTexts(HWND box) {
    std::vector<std::wstring> texts;
    for (const Control& c : ButtonRow(box)) texts.push_back(c.text);
    return texts;
}

bool ButtonsEnabled(HWND box, bool enabled) {
    for (const Control& c : ButtonRow(box)) {
        if ((IsWindowEnabled(c.hwnd) != 0) != enabled) return false;
    }
    return true;
}

RECT RectIn(HWND parent, HWND w) {
    RECT r{};
    GetWindowRect(w, &r);
    MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

namespace {
// The text's rectangle as DrawTextW measures it in the message font.
RECT MeasureInMessageFont(const std::wstring& text, int width, UINT flags) {
    NONCLIENTMETRICSW m{};
    m.cbSize = sizeof m;
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof m, &m, 0);
    HFONT font = CreateFontIndirectW(&m.lfMessageFont);
    HDC dc = GetDC(nullptr);
    HGDIOBJ old = SelectObject(dc, font);
    RECT r{0, 0, width, 0};
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &r, DT_CALCRECT | flags);
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
    DeleteObject(font);
    return r;
}
}  // namespace

int MessageFontWidth(const std::wstring& text) {
    RECT r = MeasureInMessageFont(text, 0, DT_SINGLELINE);
    return r.right - r.left;
}

int MessageFontHeight(const std::wstring& text, int width) {
    RECT r = MeasureInMessageFont(text, width, DT_WORDBREAK | DT_EXPANDTABS | DT_NOPREFIX);
    return r.bottom - r.top;
}

RECT WorkArea(HWND w) {
    MONITORINFO mi{};
    mi.cbSize = sizeof mi;
    GetMonitorInfoW(MonitorFromWindow(w, MONITOR_DEFAULTTONEAREST), &mi);
    return mi.rcWork;
}

}  // namespace e2e
