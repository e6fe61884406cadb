#include "app/Command.h"

#include "app/CmdSearch.h"

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
    // The program as cmd finds it: CreateProcessW left to search would look
    // in velmo's own folder first.
    const CmdLaunch launch = ResolveCommand(command);
    if (launch.application.empty()) {
        kt::log_wprintf(log, kCategory, L"cannot start the command: %s: %s", launch.sought.c_str(), command.c_str());
        return ERROR_FILE_NOT_FOUND;
    }
    kt::log_wprintf(log, kCategory, L"the command's program: %s", launch.application.c_str());
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
    kt::unique_handle thread;
    auto create = [&](DWORD flags) {
        std::wstring line = launch.line;
        PROCESS_INFORMATION pi{};
        if (!CreateProcessW(launch.application.c_str(), &line[0], nullptr, nullptr, TRUE,
                            CREATE_SUSPENDED | console | flags, nullptr, nullptr, &si, &pi))
            return GetLastError();
        thread.reset(pi.hThread);
        process_.reset(pi.hProcess);
        pid_ = pi.dwProcessId;
        return 0ul;
    };
    auto resume = [&](const wchar_t* where) {
        ResumeThread(thread.get());
        kt::log_wprintf(log, kCategory, L"command started, PID=%04X%s: %s", static_cast<unsigned>(pid_), where,
                        command.c_str());
        return 0ul;
    };
    job_.reset(CreateJobObjectW(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job_ && !SetInformationJobObject(job_.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits))
        job_.reset();
    auto cannot = [&](DWORD e) {
        kt::log_wprintf(log, kCategory, L"cannot start the command: %s: %s", kt::result(e).str().c_str(), command.c_str());
        return e;
    };
    if (DWORD e = create(0)) return cannot(e);
    if (!job_) return resume(L", outside velmo's job (none could be made)");
    if (AssignProcessToJobObject(job_.get(), process_.get())) return resume(L"");
    // Windows 7 allows one job per process: out of the caller's job where it
    // lets us, else in it (ended with it, at least).
    TerminateProcess(process_.get(), ERROR_CANCELLED);
    process_.reset();
    if (create(CREATE_BREAKAWAY_FROM_JOB) == 0) {
        if (AssignProcessToJobObject(job_.get(), process_.get())) return resume(L"");
        return resume(L", outside velmo's job");
    }
    if (DWORD e = create(0)) return cannot(e);
    return resume(L", in the caller's job");
}

DWORD Command::Wait() {
    WaitForSingleObject(process_.get(), INFINITE);
    DWORD code = kCannotRun;
    GetExitCodeProcess(process_.get(), &code);
    kt::log_wprintf(kt::get_log(), kCategory, L"command PID=%04X ended with %u (0x%08X)", static_cast<unsigned>(pid_),
                    static_cast<unsigned>(code), static_cast<unsigned>(code));
    return code;
}
