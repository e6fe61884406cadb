#include "threads/thread.h"

#include <algorithm>
#include <cstdio>
#include <exception>

#include "Log/Log.h"

namespace kt {

namespace {
unsigned addr(const void* p) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)); }
}  // namespace

void OpenQueue(HANDLE ready) {
    MSG msg;
    PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    if (ready) SetEvent(ready);
}

DWORD PostWhenReady(DWORD thread_id, HANDLE ready, HANDLE thread, UINT message, WPARAM wparam, LPARAM lparam,
                    DWORD timeout) {
    if (timeout == 0) return ERROR_INVALID_DATA;
    DWORD start = GetTickCount();
    for (;;) {
        if (PostThreadMessageW(thread_id, message, wparam, lparam)) return 0;
        DWORD rc = GetLastError() ? GetLastError() : ERROR_INVALID_THREAD_ID;
        if (thread && WaitForSingleObject(thread, 0) == WAIT_OBJECT_0) return rc;
        DWORD spent = TicksSince(start);
        if (timeout != INFINITE && spent >= timeout) return rc;
        DWORD pause = timeout == INFINITE ? kRetryMs : std::min(kRetryMs, timeout - spent);
        // A set event would end every wait at once: then the plain retry.
        // The thread's handle is waited on too: one that ends without a
        // queue wakes the poster.
        HANDLE handles[2] = {ready, thread};
        if (ready && WaitForSingleObject(ready, 0) == WAIT_TIMEOUT)
            WaitForMultipleObjects(thread ? 2 : 1, handles, FALSE, pause);
        else
            Sleep(pause);
    }
}

bool SleepUnlessQuit(DWORD ms) {
    DWORD start = GetTickCount();
    const HWND thread_only = reinterpret_cast<HWND>(-1);
    MSG msg;
    for (;;) {
        if (PeekMessageW(&msg, thread_only, WM_QUIT, WM_QUIT, PM_NOREMOVE)) return true;
        while (PeekMessageW(&msg, thread_only, 0, WM_QUIT - 1, PM_REMOVE)) {
        }
        while (PeekMessageW(&msg, thread_only, WM_QUIT + 1, 0xFFFFFFFF, PM_REMOVE)) {
        }
        DWORD spent = TicksSince(start);
        if (spent >= ms) return false;
        MsgWaitForMultipleObjectsEx(0, nullptr, ms - spent, QS_POSTMESSAGE, MWMO_INPUTAVAILABLE);
    }
}

thread::thread()
    : queue_ready_(CreateEventW(nullptr, TRUE, FALSE, nullptr)), handle_(GetCurrentThread()), id_(GetCurrentThreadId()) {}

thread::~thread() {
    if (handle_) {
        DWORD rc = CloseHandle(handle_) ? 0 : GetLastError();
        log_printf(get_log(), "STC", "Closing thread handle: handle=%#08x this=%#08x result=%u", addr(handle_),
                   addr(this), rc);
        if (rc == 0) handle_ = nullptr;
        mutex_.close();
    }
}

DWORD thread::start(bool suspended) {
    // Created suspended so that handle and id are stored before it runs.
    DWORD new_id = 0;
    HANDLE h = CreateThread(nullptr, 0, ThreadRoutine, this, CREATE_SUSPENDED, &new_id);
    DWORD rc = h ? 0 : GetLastError();
    if (h) {
        handle_ = h;
        id_ = new_id;
        wchar_t name[32];
        swprintf(name, 32, L"KT_TThrd_%04x", id_);
        mutex_.create(false, name);
    }
    log_printf(get_log(), "STT", "Create thread: handle=%#08x,id=%#06x,this=%#08x result=%u.", addr(h),
               h ? id_ : 0u, addr(this), rc);
    if (h && !suspended) ResumeThread(h);
    return rc;
}

DWORD thread::post(UINT message, WPARAM wparam, LPARAM lparam) {
    return PostThreadMessageW(id_, message, wparam, lparam) ? 0 : GetLastError();
}

DWORD thread::post_timed(UINT message, WPARAM wparam, LPARAM lparam, DWORD timeout) {
    return PostWhenReady(id_, queue_ready_.handle(), nullptr, message, wparam, lparam, timeout);
}

DWORD thread::post_when_ready(UINT message, WPARAM wparam, LPARAM lparam) {
    return PostWhenReady(id_, queue_ready_.handle(), handle_, message, wparam, lparam, INFINITE);
}

DWORD thread::wait(DWORD milliseconds) {
    DWORD w = WaitForSingleObject(handle_, milliseconds);
    if (w == WAIT_OBJECT_0) return 0;
    if (w == WAIT_FAILED) return GetLastError();
    return w;
}

DWORD WINAPI thread::ThreadRoutine(LPVOID param) {
    thread* self = static_cast<thread*>(param);
    OpenQueue(self->queue_ready_.handle());
    Log* log = get_log();
    log_printf(log, "ST.", "Thread routine begin(thrd=%#010x).", addr(self));
    // Nothing may leave the thread procedure: every exception becomes 1359.
    try {
        if (self->begin()) self->run();
        DWORD code = self->end();
        log_printf(log, "ST.", "Thread routine end %u (%08X) [thrd=%08X id=%u(%#06x)].", code, code, addr(self),
                   self->id_, self->id_);
        return code;
    } catch (const std::exception& e) {
        log_printf(log, "ST!", "Thread routine exception [thrd=%08X,%s].", addr(self), e.what());
    } catch (const wexception& e) {
        log_wprintf(log, L"ST!", L"Thread routine exception [thrd=%08X,%s].", addr(self), e.text().c_str());
    } catch (...) {
        log_printf(log, "ST!", "Thread routine unknown exception [thrd=%08X].", addr(self));
    }
    return ERROR_INTERNAL_ERROR;
}

void task_thread::run() { record_->last = record_->work->run(); }

}  // namespace kt
