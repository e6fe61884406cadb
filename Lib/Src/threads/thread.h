// A system thread with a fixed life cycle (begin, run, end), and a thread
// that runs one task.
#pragma once

#include <map>
#include <memory>

#include "threads/handle.h"
#include "threads/task.h"

namespace kt {

// Period of every retry: a post, a thread start, a failed search.
const DWORD kRetryMs = 100;

// Start-up handshake with a thread that takes posted messages. A new thread
// has no message queue until its first window call, and a post before that
// fails; instead of retrying blindly every 100 ms, the poster waits for the
// thread to say that its queue exists.

// On the new thread, first thing: creates its message queue and signals
// ready (a manual-reset event; may be null).
void OpenQueue(HANDLE ready);

// Posts to thread_id until the post succeeds or timeout ms pass (INFINITE:
// no limit; 0: nothing is posted, ERROR_INVALID_DATA). Between tries it
// waits up to 100 ms, woken when ready (a manual-reset event, may be null)
// is set or the thread (its handle, may be null) ends; it gives up once that
// thread has ended, without another post. 0 or the last error of the post
// (ERROR_INVALID_THREAD_ID when the thread ended before one was made).
DWORD PostWhenReady(DWORD thread_id, HANDLE ready, HANDLE thread, UINT message, WPARAM wparam, LPARAM lparam,
                    DWORD timeout);

// Sleeps up to ms on the calling thread, woken early by a WM_QUIT posted to
// it; true when WM_QUIT waits (it stays queued). Other thread messages are
// removed so that they cannot cut the sleep short again.
bool SleepUnlessQuit(DWORD ms);

class thread : public base {
public:
    thread();
    thread(const thread&) = delete;
    thread& operator=(const thread&) = delete;
    // Closes the handle of a started thread; neither waits for nor ends it.
    ~thread() override;

    // Creates the system thread; 0 or the error.
    DWORD start(bool suspended);
    // PostThreadMessageW to the thread; 0 or the error.
    DWORD post(UINT message, WPARAM wparam, LPARAM lparam);
    // Posts until it succeeds or timeout ms have passed; waits for the new
    // thread's queue, then retries every 100 ms.
    virtual DWORD post_timed(UINT message, WPARAM wparam, LPARAM lparam, DWORD timeout);
    // Posts as soon as the started thread has its queue; gives up (with the
    // post's error) only when the thread has ended.
    DWORD post_when_ready(UINT message, WPARAM wparam, LPARAM lparam);
    // 0 when the thread has ended, WAIT_TIMEOUT on timeout, else the error
    // (ERROR_INVALID_HANDLE before a successful start).
    DWORD wait(DWORD milliseconds);
    DWORD id() const { return id_; }
    // The system thread, or null until a successful start.
    HANDLE handle() const { return handle_.get(); }

protected:
    virtual bool begin() { return true; }
    virtual void run() {}
    virtual DWORD end() { return 0; }

private:
    static DWORD WINAPI ThreadRoutine(LPVOID param);

    Mutex mutex_;
    // Set by the new thread once its message queue exists.
    THandle queue_ready_;
    // Only a handle that start created: the creator's pseudo-handle would
    // make wait() wait on the waiting thread itself.
    THandle handle_;
    // Until start: the creating thread, so posts go to the creator's queue.
    DWORD id_;
    // The thread that started it, whose desktop it works on.
    DWORD starter_ = 0;
    std::map<std::wstring, std::wstring> attributes_;
};

// Runs one task (owned by the caller, which must keep it alive while the
// thread runs) and keeps the result of its run.
class task_thread : public thread {
public:
    explicit task_thread(task* t) : record_(new record{t, result()}) {}
    ~task_thread() override = default;
    const result& last_result() const { return record_->last; }

protected:
    void run() override;

private:
    struct record {
        task* work;
        result last;
    };
    std::unique_ptr<record> record_;
};

}  // namespace kt
