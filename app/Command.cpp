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
    auto create = [&](DWORD flags, PROCESS_INFORMATION& pi) {
        std::wstring line = launch.line;
        return kt::ErrorUnless(CreateProcessW(launch.application.c_str(), &line[0], nullptr, nullptr, TRUE,
                                              CREATE_SUSPENDED | console | flags, nullptr, nullptr, &si, &pi));
    };
    // What the command starts may leave its job, as it could without velmo.
    const DWORD no_job = job_.create(true);
    if (DWORD e = kt::StartInJob(job_.get(), create, started_)) {
        kt::log_wprintf(log, kCategory, L"cannot start the command: %s: %s", kt::result(e).str().c_str(), command.c_str());
        return e;
    }
    std::wstring where = started_.place == kt::jpInJob ? L"" : std::wstring(L", ") + kt::JobPlaceText(started_.place);
    if (no_job) where += L" (none could be made: " + kt::ErrorText(no_job) + L")";
    kt::log_wprintf(log, kCategory, L"command started, PID=%04X%s: %s", static_cast<unsigned>(started_.id),
                    where.c_str(), command.c_str());
    return 0;
}

DWORD Command::Wait() {
    WaitForSingleObject(process(), INFINITE);
    DWORD code = kCannotRun;
    GetExitCodeProcess(process(), &code);
    kt::log_wprintf(kt::get_log(), kCategory, L"command PID=%04X ended with %u (0x%08X)", static_cast<unsigned>(pid()),
                    static_cast<unsigned>(code), static_cast<unsigned>(code));
    if (DWORD e = job_.keep_on_close())
        kt::log_wprintf(kt::get_log(), kCategory, L"what the command left running ends with velmo: %s",
                        kt::ErrorText(e).c_str());
    return code;
}
