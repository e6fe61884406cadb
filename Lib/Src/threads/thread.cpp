#include "threads/thread.h"

#include <algorithm>
#include <cstdio>
#include <exception>

#include "Log/Log.h"

namespace kt {

void OpenQueue(HANDLE ready) {
    MSG msg;
    PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    if (ready) SetEvent(ready);
}

DWORD PostWhenReady(DWORD thread_id, HANDLE ready, HANDLE thread, UINT message, WPARAM wparam, LPARAM lparam,
                    DWORD timeout) {
    if (timeout == 0) return ERROR_INVALID_DATA;
    DWORD start = GetTickCount();
    DWORD rc = ERROR_INVALID_THREAD_ID;
    for (;;) {
        // Nothing is posted once the thread has ended: its identifier may
        // name another thread by then.
        if (thread && WaitForSingleObject(thread, 0) == WAIT_OBJECT_0) return rc;
        if (PostThreadMessageW(thread_id, message, wparam, lparam)) return 0;
        rc = GetLastError();
        if (rc == 0) rc = ERROR_INVALID_THREAD_ID;
        DWORD spent = TicksSince(start);
        if (timeout != INFINITE && spent >= timeout) return rc;
        DWORD pause = timeout == INFINITE ? kRetryMs : std::min(kRetryMs, timeout - spent);
        // Woken by the queue's signal (a set event would end every wait at
        // once, so it is left out then) or by the thread's end.
        HANDLE waits[2];
        DWORD n = 0;
        if (ready && WaitForSingleObject(ready, 0) == WAIT_TIMEOUT) waits[n++] = ready;
        if (thread) waits[n++] = thread;
        if (n)
            WaitForMultipleObjects(n, waits, FALSE, pause);
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
    : queue_ready_(CreateEventW(nullptr, TRUE, FALSE, nullptr)), id_(GetCurrentThreadId()) {}

thread::~thread() {
    if (handle_) {
        unsigned h = LogPtr(handle_.get());
        unsigned rc = handle_.close();
        log_printf(get_log(), "STC", "Closing thread handle: handle=%#08x this=%#08x result=%u", h, LogPtr(this),
                   rc);
        mutex_.close();
    }
}

DWORD thread::start(bool suspended) {
    // Created suspended so that handle and id are stored before it runs.
    DWORD new_id = 0;
    starter_ = GetCurrentThreadId();
    HANDLE h = CreateThread(nullptr, 0, ThreadRoutine, this, CREATE_SUSPENDED, &new_id);
    unsigned rc = ErrorUnless(h != nullptr);
    if (h) {
        handle_.reset(h);
        id_ = new_id;
        wchar_t name[32];
        swprintf(name, 32, L"KT_TThrd_%04x", id_);
        mutex_.create(false, name);
    }
    log_printf(get_log(), "STT", "Create thread: handle=%#08x,id=%#06x,this=%#08x result=%u.", LogPtr(h),
               h ? static_cast<unsigned>(id_) : 0u, LogPtr(this), rc);
    if (h && !suspended) ResumeThread(h);
    return rc;
}

DWORD thread::post(UINT message, WPARAM wparam, LPARAM lparam) {
    return ErrorUnless(PostThreadMessageW(id_, message, wparam, lparam));
}

DWORD thread::post_timed(UINT message, WPARAM wparam, LPARAM lparam, DWORD timeout) {
    return PostWhenReady(id_, queue_ready_.get(), nullptr, message, wparam, lparam, timeout);
}

DWORD thread::post_when_ready(UINT message, WPARAM wparam, LPARAM lparam) {
    return PostWhenReady(id_, queue_ready_.get(), handle_.get(), message, wparam, lparam, INFINITE);
}

DWORD thread::wait(DWORD milliseconds) {
    if (!handle_) return ERROR_INVALID_HANDLE;
    DWORD w = WaitForSingleObject(handle_.get(), milliseconds);
    if (w == WAIT_OBJECT_0) return 0;
    if (w == WAIT_FAILED) return GetLastError();
    return w;
}

DWORD WINAPI thread::ThreadRoutine(LPVOID param) {
    thread* self = static_cast<thread*>(param);
    // A process started onto another station's desktop (lpDesktop) may give
    // later threads another desktop than its first (seen under Wine): the
    // windows the starter shows would not be found from here. Before any
    // window call, while the thread may still change its desktop.
    if (HDESK desktop = GetThreadDesktop(self->starter_)) SetThreadDesktop(desktop);
    OpenQueue(self->queue_ready_.get());
    Log* log = get_log();
    unsigned thrd = LogPtr(self);
    log_printf(log, "ST.", "Thread routine begin(thrd=%#010x).", thrd);
    // Nothing may leave the thread procedure: every exception becomes 1359.
    try {
        if (self->begin()) self->run();
        unsigned code = self->end();
        unsigned id = self->id_;
        log_printf(log, "ST.", "Thread routine end %u (%08X) [thrd=%08X id=%u(%#06x)].", code, code, thrd, id, id);
        return code;
    } catch (const std::exception& e) {
        log_printf(log, "ST!", "Thread routine exception [thrd=%08X,%s].", thrd, e.what());
    } catch (const wexception& e) {
        log_wprintf(log, L"ST!", L"Thread routine exception [thrd=%08X,%s].", thrd, e.text().c_str());
    } catch (...) {
        log_printf(log, "ST!", "Thread routine unknown exception [thrd=%08X].", thrd);
    }
    return ERROR_INTERNAL_ERROR;
}

void task_thread::run() { record_->last = record_->work->run(); }

}  // namespace kt
