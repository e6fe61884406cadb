// A system thread with a fixed life cycle (begin, run, end), and a thread
// that runs one task.
#pragma once

#include <map>
#include <memory>

#include "threads/handle.h"
#include "threads/task.h"

namespace kt {

class thread : public base {
public:
    thread();
    thread(const thread&) = delete;
    thread& operator=(const thread&) = delete;
    // Closes the handle; neither waits for nor ends the system thread.
    ~thread() override;

    // Creates the system thread; 0 or the error.
    DWORD start(bool suspended);
    // PostThreadMessageW to the thread; 0 or the error.
    DWORD post(UINT message, WPARAM wparam, LPARAM lparam);
    // Posts, retrying every 100 ms until it succeeds or timeout ms have passed.
    virtual DWORD post_timed(UINT message, WPARAM wparam, LPARAM lparam, DWORD timeout);
    // 0 when the thread has ended, 258 on timeout, else the error.
    DWORD wait(DWORD milliseconds);
    DWORD id() const { return id_; }
    HANDLE handle() const { return handle_; }

protected:
    virtual bool begin() { return true; }
    virtual void run() {}
    virtual DWORD end() { return 0; }

private:
    static DWORD WINAPI ThreadRoutine(LPVOID param);

    Mutex mutex_;
    HANDLE handle_;
    DWORD id_;
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
