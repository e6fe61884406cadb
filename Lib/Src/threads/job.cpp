#include "threads/job.h"

namespace kt {

DWORD KillOnCloseJob::limits(DWORD flags) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = flags | (breakaway_ ? JOB_OBJECT_LIMIT_BREAKAWAY_OK : 0);
    return ErrorUnless(SetInformationJobObject(job_.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits));
}

DWORD KillOnCloseJob::create(bool breakaway) {
    breakaway_ = breakaway;
    job_.reset(CreateJobObjectW(nullptr, nullptr));
    if (!job_) return GetLastError();
    if (DWORD e = limits(JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE)) {
        job_.reset();
        return e;
    }
    return 0;
}

DWORD KillOnCloseJob::keep_on_close() { return job_ ? limits(0) : 0; }

const wchar_t* JobPlaceText(JobPlace place) {
    switch (place) {
        case jpInJob: return L"in velmo's job";
        case jpOutside: return L"outside velmo's job";
        case jpCallersJob: return L"in the caller's job";
    }
    return L"?";
}

DWORD StartInJob(HANDLE job, const CreateSuspended& create, StartedProcess& started, const JoinJob& join) {
    auto joins = [&](HANDLE process) { return join ? join(job, process) : AssignProcessToJobObject(job, process) != 0; };
    auto take = [&](PROCESS_INFORMATION& pi, JobPlace place) {
        unique_handle thread(pi.hThread), process(pi.hProcess);
        // A process left suspended would hang whoever waits for it.
        if (ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
            const DWORD e = GetLastError();
            TerminateProcess(process.get(), ERROR_CANCELLED);
            return e ? e : static_cast<DWORD>(ERROR_INTERNAL_ERROR);
        }
        started.process = std::move(process);
        started.id = pi.dwProcessId;
        started.place = place;
        return 0ul;
    };
    PROCESS_INFORMATION pi{};
    if (DWORD e = create(0, pi)) return e;
    if (!job) return take(pi, jpOutside);
    if (joins(pi.hProcess)) return take(pi, jpInJob);
    // It never ran: ended, and started again where it may.
    TerminateProcess(pi.hProcess, ERROR_CANCELLED);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    pi = PROCESS_INFORMATION{};
    if (create(CREATE_BREAKAWAY_FROM_JOB, pi) == 0) return take(pi, joins(pi.hProcess) ? jpInJob : jpOutside);
    pi = PROCESS_INFORMATION{};
    if (DWORD e = create(0, pi)) return e;
    return take(pi, jpCallersJob);
}

DWORD EndWatch::watch(HANDLE process, HANDLE port, ULONG_PTR key, ULONG_PTR value) {
    stop();
    port_ = port;
    key_ = key;
    value_ = value;
    if (!RegisterWaitForSingleObject(&wait_, process, Ended, this, INFINITE, WT_EXECUTEONLYONCE | WT_EXECUTEINWAITTHREAD)) {
        wait_ = nullptr;
        return GetLastError();
    }
    return 0;
}

void EndWatch::stop() {
    // Waits for a callback under way: it uses this.
    if (wait_) UnregisterWaitEx(std::exchange(wait_, nullptr), INVALID_HANDLE_VALUE);
}

void CALLBACK EndWatch::Ended(PVOID self, BOOLEAN) {
    const auto* watch = static_cast<const EndWatch*>(self);
    PostQueuedCompletionStatus(watch->port_, 0, watch->key_, reinterpret_cast<LPOVERLAPPED>(watch->value_));
}

}  // namespace kt
