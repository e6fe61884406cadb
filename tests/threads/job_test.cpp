// A process started suspended into a kill-on-close job: where it ends up
// when the caller's job keeps it (Windows 7), and what the job ends.
#include <gtest/gtest.h>

#include <vector>

#include "tests/common.h"
#include "threads/job.h"

namespace {

// sleeper.exe, built beside the tests: sleeps ms and exits with code.
std::wstring Sleeper(DWORD ms, int code) {
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring dir(exe);
    dir.resize(dir.find_last_of(L'\\'));
    return L"\"" + dir + L"\\sleeper.exe\" " + std::to_wstring(ms) + L" " + std::to_wstring(code);
}

// Creates a real suspended process (sleeper.exe) unless told to fail.
struct FakeStart {
    std::vector<DWORD> flags;            // of each call
    std::vector<DWORD> fails;            // the error of each call (0: it starts)
    std::vector<kt::unique_handle> made;  // what was created, to see what became of it
    DWORD operator()(DWORD f, PROCESS_INFORMATION& pi) {
        const size_t call = flags.size();
        flags.push_back(f);
        if (call < fails.size() && fails[call]) return fails[call];
        std::wstring line = Sleeper(30000, 5);
        STARTUPINFOW si{};
        si.cb = sizeof si;
        if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr,
                            nullptr, &si, &pi))
            return GetLastError();
        HANDLE copy = nullptr;
        DuplicateHandle(GetCurrentProcess(), pi.hProcess, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS);
        made.emplace_back(copy);
        return 0;
    }
};

// Windows 7 allows one job per process: a process of the caller's job that
// cannot join ours starts again out of it, else stays in it; only the
// first start's error counts (a breakaway the caller's job refuses with
// access denied is no refusal of the program, which would send the relay
// to a private copy).
TEST(StartInJob, WhereTheProcessEndsUp) {
    const DWORD kBreakaway = CREATE_BREAKAWAY_FROM_JOB;
    const struct {
        const char* name;
        bool job;
        std::vector<DWORD> fails;  // each create's error
        std::vector<bool> joins;   // each join's outcome
        DWORD error;
        kt::JobPlace place;
        std::vector<DWORD> flags;  // of the creates made
    } cases[] = {
        {"joins", true, {}, {true}, 0, kt::jpInJob, {0}},
        {"no_job", false, {}, {}, 0, kt::jpOutside, {0}},
        {"breaks_away_and_joins", true, {}, {false, true}, 0, kt::jpInJob, {0, kBreakaway}},
        {"breaks_away_alone", true, {}, {false, false}, 0, kt::jpOutside, {0, kBreakaway}},
        {"kept_in_the_callers_job", true, {0, ERROR_ACCESS_DENIED}, {false}, 0, kt::jpCallersJob, {0, kBreakaway, 0}},
        {"cannot_start", true, {ERROR_FILE_NOT_FOUND}, {}, ERROR_FILE_NOT_FOUND, kt::jpInJob, {0}},
        {"cannot_start_again", true, {0, ERROR_ACCESS_DENIED, ERROR_NOT_ENOUGH_MEMORY}, {false}, ERROR_NOT_ENOUGH_MEMORY,
         kt::jpInJob, {0, kBreakaway, 0}},
    };
    kt::KillOnCloseJob job;
    ASSERT_EQ(job.create(), 0u);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeStart start;
        start.fails = c.fails;
        size_t joined = 0;
        kt::StartedProcess started;
        const DWORD e = kt::StartInJob(c.job ? job.get() : nullptr, std::ref(start), started, [&](HANDLE, HANDLE) {
            return joined < c.joins.size() && c.joins[joined++];
        });
        EXPECT_EQ(e, c.error);
        EXPECT_EQ(start.flags, c.flags);
        EXPECT_EQ(joined, c.joins.size());
        if (e) continue;
        EXPECT_EQ(started.place, c.place);
        ASSERT_TRUE(started.process);
        // Only the last process runs; one that could not join never ran.
        for (size_t i = 0; i + 1 < start.made.size(); ++i) {
            EXPECT_EQ(WaitForSingleObject(start.made[i].get(), 5000), static_cast<DWORD>(WAIT_OBJECT_0));
            DWORD code = 0;
            GetExitCodeProcess(start.made[i].get(), &code);
            EXPECT_EQ(code, static_cast<DWORD>(ERROR_CANCELLED));
        }
        EXPECT_EQ(WaitForSingleObject(started.process.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "not running";
        TerminateProcess(started.process.get(), 0);
    }
}

// The job ends what it holds when its last handle goes, unless told that
// what is in it outlives it (a command that ended by itself leaves what it
// started running).
TEST(KillOnCloseJob, EndsWhatItHoldsUnlessKept) {
    for (bool kept : {false, true}) {
        SCOPED_TRACE(kept ? "kept" : "ended");
        kt::KillOnCloseJob job;
        ASSERT_EQ(job.create(true), 0u);
        FakeStart start;
        kt::StartedProcess started;
        ASSERT_EQ(kt::StartInJob(job.get(), std::ref(start), started), 0u);
        ASSERT_EQ(started.place, kt::jpInJob);
        if (kept) {
            EXPECT_EQ(job.keep_on_close(), 0u);
        }
        job.reset();
        const DWORD w = WaitForSingleObject(started.process.get(), kept ? 1000 : 5000);
        EXPECT_EQ(w, kept ? static_cast<DWORD>(WAIT_TIMEOUT) : static_cast<DWORD>(WAIT_OBJECT_0));
        TerminateProcess(started.process.get(), 0);
    }
}

// A run's end reaches the port by its own wait, with no job at all: no
// lost job message can leave an asker waiting for ever. Nothing comes
// before the end, nor after the watch has stopped.
TEST(EndWatch, TellsThePortOfTheEnd) {
    kt::unique_handle port(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
    ASSERT_TRUE(port);
    auto next = [&](DWORD ms, ULONG_PTR& key, ULONG_PTR& value) {
        DWORD bytes = 0;
        LPOVERLAPPED ov = nullptr;
        const bool got = GetQueuedCompletionStatus(port.get(), &bytes, &key, &ov, ms) != 0;
        value = reinterpret_cast<ULONG_PTR>(ov);
        return got;
    };
    FakeStart start;
    kt::StartedProcess watched, forgotten;
    ASSERT_EQ(kt::StartInJob(nullptr, std::ref(start), watched), 0u);
    ASSERT_EQ(kt::StartInJob(nullptr, std::ref(start), forgotten), 0u);
    kt::EndWatch end, stopped;
    ASSERT_EQ(end.watch(watched.process.get(), port.get(), 5, 42), 0u);
    ASSERT_EQ(stopped.watch(forgotten.process.get(), port.get(), 5, 43), 0u);
    stopped.stop();
    ULONG_PTR key = 0, value = 0;
    EXPECT_FALSE(next(200, key, value)) << "told before the end";
    TerminateProcess(forgotten.process.get(), 0);
    TerminateProcess(watched.process.get(), 0);
    ASSERT_TRUE(next(5000, key, value)) << "the end was not told";
    EXPECT_EQ(key, 5u);
    EXPECT_EQ(value, 42u);
    EXPECT_FALSE(next(200, key, value)) << "a stopped watch told " << value;
}

}  // namespace
