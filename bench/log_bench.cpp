// Log throughput: records per second through write, and lines per second
// that reach the file, counting what was lost.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "Log/Log.h"

namespace {

double Now() {
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return 1000.0 * c.QuadPart / f.QuadPart;
}

size_t CountLines(const std::wstring& path, const char* needle) {
    kt::unique_handle h(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!h) return 0;
    std::string s(GetFileSize(h.get(), nullptr), '\0');
    DWORD got = 0;
    if (!s.empty()) ReadFile(h.get(), &s[0], static_cast<DWORD>(s.size()), &got, nullptr);
    s.resize(got);
    size_t n = 0;
    for (size_t p = s.find(needle); p != std::string::npos; p = s.find(needle, p + 1)) ++n;
    return n;
}

}  // namespace

// Arguments: records, then "run" (one measurement; the parent starts one
// process per run, as the log is started once per process).
int wmain(int argc, wchar_t** argv) {
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring stem(exe);
    stem = stem.substr(0, stem.size() - 4);
    int records = argc > 1 ? _wtoi(argv[1]) : 100000;
    if (argc > 2) {
        DeleteFileW((stem + L".log").c_str());
        kt::Log* log = kt::get_log();
        log->start();
        double t0 = Now();
        int failed = 0;
        for (int i = 0; i < records; ++i) {
            if (kt::log_printf(log, "BEN", "bench record %d of the throughput run", i) != 0) ++failed;
        }
        double t1 = Now();
        log->stop(INFINITE);
        double t2 = Now();
        size_t lines = CountLines(stem + L".log", "bench record ");
        printf("%.0f %.0f %d %zu\n", records / ((t1 - t0) / 1000), lines / ((t2 - t0) / 1000), failed,
               static_cast<size_t>(records) - lines);
        return 0;
    }
    // Parent: the parameter file, then five runs in fresh processes.
    {
        std::wstring name = stem + L".wli";
        kt::unique_handle h(CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        const char wli[] = "[Prms]\r\n[Evts]\r\nBEN=\r\n";
        DWORD put = 0;
        WriteFile(h.get(), wli, sizeof wli - 1, &put, nullptr);
    }
    std::vector<double> writes, lines;
    long lost = 0, failed = 0;
    for (int r = 0; r < 5; ++r) {
        std::wstring cmd = L"\"" + std::wstring(exe) + L"\" " + std::to_wstring(records) + L" run";
        wchar_t out_name[MAX_PATH];
        swprintf(out_name, MAX_PATH, L"%ls.out%d", stem.c_str(), r);
        SECURITY_ATTRIBUTES sa{};
        sa.nLength = sizeof sa;
        sa.bInheritHandle = TRUE;
        kt::unique_handle out(CreateFileW(out_name, GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, 0, nullptr));
        STARTUPINFOW si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = out.get();
        PROCESS_INFORMATION pi{};
        if (!CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) return 1;
        kt::unique_handle process(pi.hProcess), thread(pi.hThread);
        WaitForSingleObject(process.get(), INFINITE);
        out.reset();
        FILE* f = _wfopen(out_name, L"r");
        double w = 0, l = 0;
        int fl = 0;
        long lo = 0;
        if (f && fscanf(f, "%lf %lf %d %ld", &w, &l, &fl, &lo) == 4) {
            writes.push_back(w);
            lines.push_back(l);
            failed += fl;
            lost += lo;
        }
        if (f) fclose(f);
        DeleteFileW(out_name);
    }
    std::sort(writes.begin(), writes.end());
    std::sort(lines.begin(), lines.end());
    if (writes.empty()) return 1;
    printf("| log: records per second through write (%d records, median of 5) | %.0f | | |\n", records,
           writes[writes.size() / 2]);
    printf("| log: lines per second reaching the file (lost: %ld, refused writes: %ld) | %.0f | | |\n", lost, failed,
           lines[lines.size() / 2]);
    return 0;
}
