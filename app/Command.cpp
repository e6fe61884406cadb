#include "app/Command.h"

#include "Log/Log.h"

namespace {

const wchar_t kCategory[] = L"RUN";

bool Blank(wchar_t c) { return c == L' ' || c == L'\t'; }

// A handle of this process's own as an inheritable copy; null for none.
kt::unique_handle Inheritable(DWORD which) {
    HANDLE h = GetStdHandle(which), copy = nullptr;
    if (!h || h == INVALID_HANDLE_VALUE) return kt::unique_handle();
    if (!DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS))
        return kt::unique_handle();
    return kt::unique_handle(copy);
}

}  // namespace

std::wstring ArgsAfter(const wchar_t* cmdline, int n) {
    const wchar_t* s = cmdline ? cmdline : L"";
    if (n > 0) {
        // The program: to its closing quote, or to the first blank.
        if (*s == L'"') {
            ++s;
            while (*s && *s != L'"') ++s;
            if (*s) ++s;
        } else {
            while (*s && !Blank(*s)) ++s;
        }
        // The others as CommandLineToArgvW reads them: backslashes before a
        // quote escape it; quotes in a row count towards the quoting.
        for (int i = 1; i < n; ++i) {
            while (Blank(*s)) ++s;
            if (!*s) return std::wstring();
            int quotes = 0, backslashes = 0;
            while (*s && !(Blank(*s) && quotes == 0)) {
                if (*s == L'\\') {
                    ++backslashes;
                    ++s;
                } else if (*s == L'"') {
                    if (backslashes % 2 == 0) ++quotes;
                    ++s;
                    backslashes = 0;
                    while (*s == L'"') {
                        if (++quotes == 3) quotes = 0;
                        ++s;
                    }
                    if (quotes == 2) quotes = 0;
                } else {
                    backslashes = 0;
                    ++s;
                }
            }
        }
    }
    while (Blank(*s)) ++s;
    return s;
}

DWORD Command::Start(const std::wstring& command) {
    kt::Log* log = kt::get_log();
    // Its standard handles are velmo's (velmoc's output is the command's).
    kt::unique_handle in = Inheritable(STD_INPUT_HANDLE), out = Inheritable(STD_OUTPUT_HANDLE),
                      err = Inheritable(STD_ERROR_HANDLE);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in.get();
    si.hStdOutput = out.get();
    si.hStdError = err.get();
    // A console program shares velmoc's console; under velmo.exe it gets
    // none, rather than a window of its own.
    const DWORD console = GetConsoleWindow() ? 0 : CREATE_NO_WINDOW;
    job_.reset(CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job_ && !SetInformationJobObject(job_.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits))
        job_.reset();
    const DWORD kBreakaway[] = {0, CREATE_BREAKAWAY_FROM_JOB};
    for (DWORD breakaway : kBreakaway) {
        std::wstring line = command;
        PROCESS_INFORMATION pi{};
        if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, CREATE_SUSPENDED | console | breakaway, nullptr,
                            nullptr, &si, &pi)) {
            DWORD e = GetLastError();
            // A job that allows no breakaway: the command runs in it.
            if (breakaway && e == ERROR_ACCESS_DENIED) break;
            kt::log_wprintf(log, kCategory, L"cannot start the command: %s: %s", kt::result(e).str().c_str(),
                            command.c_str());
            return e ? e : ERROR_INTERNAL_ERROR;
        }
        kt::unique_handle thread(pi.hThread);
        process_.reset(pi.hProcess);
        pid_ = pi.dwProcessId;
        if (job_ && AssignProcessToJobObject(job_.get(), process_.get())) {
            ResumeThread(thread.get());
            kt::log_wprintf(log, kCategory, L"command started, PID=%04X: %s", static_cast<unsigned>(pid_), command.c_str());
            return 0;
        }
        if (breakaway || !job_) {
            // Still it runs: better without velmo's job than not at all.
            ResumeThread(thread.get());
            kt::log_wprintf(log, kCategory, L"command started, PID=%04X, outside velmo's job (%s): %s",
                            static_cast<unsigned>(pid_), kt::result(GetLastError()).str().c_str(), command.c_str());
            return 0;
        }
        // Windows 7 allows one job per process: once more, out of the caller's.
        TerminateProcess(process_.get(), ERROR_CANCELLED);
        process_.reset();
    }
    // No breakaway from the caller's job: the command runs in it.
    std::wstring line = command;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, console, nullptr, nullptr, &si, &pi)) {
        DWORD e = GetLastError();
        kt::log_wprintf(log, kCategory, L"cannot start the command: %s: %s", kt::result(e).str().c_str(), command.c_str());
        return e ? e : ERROR_INTERNAL_ERROR;
    }
    kt::unique_handle thread(pi.hThread);
    process_.reset(pi.hProcess);
    pid_ = pi.dwProcessId;
    kt::log_wprintf(log, kCategory, L"command started, PID=%04X, in the caller's job: %s", static_cast<unsigned>(pid_),
                    command.c_str());
    return 0;
}

DWORD Command::Wait() {
    WaitForSingleObject(process_.get(), INFINITE);
    DWORD code = kCannotRun;
    GetExitCodeProcess(process_.get(), &code);
    kt::log_wprintf(kt::get_log(), kCategory, L"command PID=%04X ended with %u (0x%08X)", static_cast<unsigned>(pid_),
                    static_cast<unsigned>(code), static_cast<unsigned>(code));
    return code;
}
