// A process started suspended into a job that ends it with this process:
// the command of Run and the relay's runs. Windows 7 allows one job per
// process, so a process of a caller's job may have to start elsewhere.
#pragma once

#include <functional>

#include "lib/kt.h"
#include "lib/owner.h"

namespace kt {

// A job whose processes end when its last handle closes: when this process
// ends, however it ends.
class KillOnCloseJob {
public:
    // breakaway: its processes may start children outside it
    // (CREATE_BREAKAWAY_FROM_JOB), as they could without it. 0 or the error.
    DWORD create(bool breakaway = false);
    // Its processes, and what they started, outlive this process from now
    // on: the command ended by itself, and what it left running is kept.
    DWORD keep_on_close();
    HANDLE get() const { return job_.get(); }
    explicit operator bool() const { return static_cast<bool>(job_); }
    // Closes it: what it still holds ends (unless kept).
    void reset() { job_.reset(); }

private:
    DWORD limits(DWORD flags);
    unique_handle job_;
    bool breakaway_ = false;
};

// Where a started process runs.
enum JobPlace : int {
    jpInJob = 0,     // in the job
    jpOutside,       // out of the caller's job, in none of ours (or no job was given)
    jpCallersJob,    // in the caller's job, which lets none out
};
const wchar_t* JobPlaceText(JobPlace place);

struct StartedProcess {
    unique_handle process;
    DWORD id = 0;
    JobPlace place = jpInJob;
};

// Creates the process suspended (CreateProcessW or CreateProcessAsUserW with
// CREATE_SUSPENDED and these flags besides its own): 0 or the error. Its
// handles are StartInJob's.
using CreateSuspended = std::function<DWORD(DWORD flags, PROCESS_INFORMATION& pi)>;
// Puts a process into a job (AssignProcessToJobObject; a test's stand-in).
using JoinJob = std::function<bool(HANDLE job, HANDLE process)>;

// Starts a process through create, puts it into job (none: jpOutside) and
// lets it run. One that cannot join (Windows 7: it is in the caller's job)
// is ended before it ran and started again out of the caller's job
// (CREATE_BREAKAWAY_FROM_JOB), else in it. Only the first start's error is
// returned: a later refusal is the caller's job's, not the program's.
DWORD StartInJob(HANDLE job, const CreateSuspended& create, StartedProcess& started, const JoinJob& join = nullptr);

// Tells a completion port when a process ends: a packet with key and value
// (the thread pool waits for it; no limit on how many are watched, and
// nothing is lost as a job's messages may be). Stops watching when it goes,
// once a packet being posted has been.
class EndWatch {
public:
    EndWatch() = default;
    EndWatch(const EndWatch&) = delete;
    EndWatch& operator=(const EndWatch&) = delete;
    ~EndWatch() { stop(); }
    // 0 or the error.
    DWORD watch(HANDLE process, HANDLE port, ULONG_PTR key, ULONG_PTR value);
    void stop();

private:
    static void CALLBACK Ended(PVOID self, BOOLEAN);
    HANDLE wait_ = nullptr;
    HANDLE port_ = nullptr;
    ULONG_PTR key_ = 0, value_ = 0;
};

}  // namespace kt
