#include "relay/Follow.h"

#include <atomic>
#include <memory>

#include "relay/Dlls.h"

namespace kt {

namespace {
const wchar_t kClass[] = L"velmo.SessionWatch";
// How long Stop waits for the thread: it only pumps its messages.
const DWORD kStopWaitMs = 5000;
// Documented values of wtsapi32.h, for the builds whose headers lack them.
const DWORD kNotifyForAllSessions = 1;
const UINT kSessionChange = 0x02B1;  // WM_WTSSESSION_CHANGE
}  // namespace

// Shared by the watch and its thread, which may outlive it (a Stop that
// timed out): a handle of the port of its own, the pinned DLL's functions.
struct SessionWatch::Task {
    unique_handle port;
    ULONG_PTR key = 0;
    BOOL(WINAPI* unregister)(HANDLE, HWND) = nullptr;
    BOOL(WINAPI* registration)(HANDLE, HWND, DWORD) = nullptr;
    unique_handle ready;
    HWND window = nullptr;  // set before ready is signalled
    DWORD error = 0;        // likewise
    // Stop: the flag, read once the thread has its message queue, and a
    // WM_QUIT to that queue (which only exists from then on).
    std::atomic<bool> stop{false};
    DWORD thread_id = 0;
};

const wchar_t* SessionEventText(WPARAM event) {
    switch (event) {
        case 1: return L"console connect";
        case 2: return L"console disconnect";
        case 3: return L"remote connect";
        case 4: return L"remote disconnect";
        case 5: return L"logon";
        case 6: return L"logoff";
        case 7: return L"lock";
        case 8: return L"unlock";
        case 9: return L"remote control";
        case 10: return L"create";
        case 11: return L"terminate";
        default: return L"unknown event";
    }
}

namespace {

LRESULT CALLBACK WatchProc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
    // Nothing may leave a window procedure.
    try {
        if (m == WM_NCCREATE) {
            auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
            SetWindowLongPtrW(w, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
        }
        auto* task = reinterpret_cast<SessionWatch::Task*>(GetWindowLongPtrW(w, GWLP_USERDATA));
        if (m == kSessionChange && task) {
            PostQueuedCompletionStatus(task->port.get(), static_cast<DWORD>(wp), task->key,
                                       reinterpret_cast<LPOVERLAPPED>(static_cast<ULONG_PTR>(lp)));
            return 0;
        }
        // Only Stop ends it.
        if (m == WM_CLOSE) return 0;
    } catch (...) {
        return 0;
    }
    return DefWindowProcW(w, m, wp, lp);
}

DWORD WINAPI WatchThread(LPVOID param) {
    // Nothing may leave the thread procedure.
    try {
        std::shared_ptr<SessionWatch::Task> task(*static_cast<std::shared_ptr<SessionWatch::Task>*>(param));
        delete static_cast<std::shared_ptr<SessionWatch::Task>*>(param);
        const HINSTANCE instance = GetModuleHandleW(nullptr);
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = WatchProc;
        wc.hInstance = instance;
        wc.lpszClassName = kClass;
        HWND w = nullptr;
        if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
            task->error = GetLastError();
        } else if (!(w = CreateWindowExW(0, kClass, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, instance, task.get()))) {
            task->error = GetLastError();
        } else if (!task->registration(WTS_CURRENT_SERVER_HANDLE, w, kNotifyForAllSessions)) {
            task->error = GetLastError() ? GetLastError() : ERROR_INTERNAL_ERROR;
            DestroyWindow(w);
            w = nullptr;
        }
        task->window = w;
        SetEvent(task->ready.get());
        if (!w) return task->error;
        MSG m;
        while (!task->stop && GetMessageW(&m, nullptr, 0, 0) > 0) DispatchMessageW(&m);
        task->unregister(WTS_CURRENT_SERVER_HANDLE, w);
        DestroyWindow(w);
    } catch (...) {
        return ERROR_INTERNAL_ERROR;
    }
    return 0;
}

}  // namespace

DWORD SessionWatch::Start(const RelayDlls& dlls, HANDLE port, ULONG_PTR key) {
    Stop();
    if (!dlls.register_notification || !dlls.unregister_notification) return ERROR_PROC_NOT_FOUND;
    auto task = std::make_shared<Task>();
    HANDLE dup = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), port, GetCurrentProcess(), &dup, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return GetLastError();
    task->port.reset(dup);
    task->key = key;
    task->registration = dlls.register_notification;
    task->unregister = dlls.unregister_notification;
    task->ready.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!task->ready) return GetLastError();
    // The thread may outlive the DLL's owner: WTSAPI32.dll stays loaded.
    HMODULE pinned = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(task->registration)), &pinned);
    auto* param = new std::shared_ptr<Task>(task);
    thread_.reset(CreateThread(nullptr, 0, WatchThread, param, 0, &task->thread_id));
    if (!thread_) {
        const DWORD e = GetLastError();
        delete param;
        return e;
    }
    task_ = task;
    HANDLE both[] = {task->ready.get(), thread_.get()};
    WaitForMultipleObjects(2, both, FALSE, kStopWaitMs);
    if (WaitForSingleObject(task->ready.get(), 0) != WAIT_OBJECT_0) {
        Stop();
        return WAIT_TIMEOUT;
    }
    if (!task->window) {
        const DWORD error = task->error ? task->error : ERROR_INTERNAL_ERROR;
        Stop();
        return error;
    }
    return 0;
}

void SessionWatch::Stop() {
    if (!thread_) return;
    if (task_) {
        task_->stop = true;
        PostThreadMessageW(task_->thread_id, WM_QUIT, 0, 0);
    }
    // Left to end by itself past the bound: it shares what it uses.
    WaitForSingleObject(thread_.get(), kStopWaitMs);
    thread_.reset();
    task_.reset();
}

}  // namespace kt
