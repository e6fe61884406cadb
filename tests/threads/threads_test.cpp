#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>
#include <type_traits>

#include "threads/thread.h"
#include "tests/common.h"

namespace {

// ---- ticks and handles ---------------------------------------------------

TEST(Ticks, DifferenceSurvivesTheWrap) {
    const struct {
        DWORD earlier, later, diff;
    } cases[] = {
        {0, 0, 0}, {100, 350, 250}, {0xFFFFFF00u, 0x100u, 0x200u}, {0xFFFFFFFFu, 0, 1}, {5, 4, 0xFFFFFFFFu},
    };
    for (const auto& c : cases) EXPECT_EQ(kt::TickDiff(c.earlier, c.later), c.diff);
    DWORD now = GetTickCount();
    EXPECT_LT(kt::TicksSince(now), 1000u);
    EXPECT_GE(kt::TicksSince(now - 5000), 5000u);
    EXPECT_LT(kt::TicksSince(now - 5000), 6000u);
}

// The library's two owners of kernel handles follow the same rules.
template <class Owner>
class HandleOwner : public ::testing::Test {};
using HandleOwners = ::testing::Types<kt::THandle, kt::unique_handle>;
TYPED_TEST_SUITE(HandleOwner, HandleOwners);

TYPED_TEST(HandleOwner, MoveResetAndReleaseKeepOneOwner) {
    using Owner = TypeParam;
    using test::IsOpen;
    static_assert(!std::is_copy_constructible<Owner>::value && !std::is_copy_assignable<Owner>::value,
                  "an owner is not copied");
    HANDLE a = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE b = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Owner first(a);
    Owner second(std::move(first));
    EXPECT_FALSE(first);
    EXPECT_EQ(first.get(), nullptr);
    EXPECT_EQ(second.get(), a);
    // Only a close that fails sets the last error: a handle protected from
    // closing shows whether reset restores the caller's.
    SetHandleInformation(a, HANDLE_FLAG_PROTECT_FROM_CLOSE, HANDLE_FLAG_PROTECT_FROM_CLOSE);
    SetLastError(4321);
    second.reset(b);
    EXPECT_EQ(GetLastError(), 4321u);
    SetHandleInformation(a, HANDLE_FLAG_PROTECT_FROM_CLOSE, 0);
    Owner(a).reset();
    EXPECT_FALSE(IsOpen(a));
    second.reset(b);  // the same handle again: kept open
    EXPECT_TRUE(IsOpen(b));
    first = std::move(second);
    EXPECT_EQ(first.get(), b);
    EXPECT_FALSE(second);
    HANDLE given = first.release();
    EXPECT_EQ(given, b);
    EXPECT_FALSE(first);
    EXPECT_TRUE(IsOpen(b));
    Owner(given).reset();
    EXPECT_FALSE(IsOpen(b));
    EXPECT_FALSE(Owner(INVALID_HANDLE_VALUE));  // the other "none"
}

TEST(THandle, ClosesOnceAndKeepsTheCallersLastError) {
    kt::THandle h(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(h.valid());
    SetLastError(1234);
    EXPECT_EQ(h.close(), 0u);
    EXPECT_EQ(GetLastError(), 1234u);
    EXPECT_FALSE(h.valid());
    EXPECT_EQ(h.get(), nullptr);
    EXPECT_EQ(h.close(), 0u);  // skipped: nothing to close
    kt::THandle bad(INVALID_HANDLE_VALUE);
    EXPECT_FALSE(bad.valid());
    EXPECT_EQ(bad.close(), 0u);
}

TEST(Mutex, SecondCreateOpensTheExistingMutex) {
    std::wstring name = L"KT_Test_Mutex_" + std::to_wstring(GetCurrentProcessId());
    kt::Mutex first, second;
    EXPECT_EQ(first.create(true, name), 0u);
    EXPECT_EQ(second.create(false, name), 0u);
    EXPECT_TRUE(second.valid());
    EXPECT_EQ(second.name(), name);
    EXPECT_EQ(first.release(), 0u);
    EXPECT_NE(second.release(), 0u);  // not the owner
}

// ---- tasks ---------------------------------------------------------------

class ResultTask : public kt::task {
public:
    explicit ResultTask(kt::result r) : r_(std::move(r)) {}
    kt::result run() override { return r_; }

private:
    kt::result r_;
};

template <class F>
class ThrowingTask : public kt::task {
public:
    explicit ThrowingTask(F f) : f_(f) {}
    kt::task& execute() override {
        f_();
        return *this;
    }

private:
    F f_;
};
template <class F>
ThrowingTask<F> Throwing(F f) {
    return ThrowingTask<F>(f);
}

TEST(Task, ExecuteOfAFailingRunThrowsWindowsError) {
    ResultTask t(kt::result(1168, L"gone", kt::lvlError));
    try {
        t.execute();
        FAIL() << "no throw";
    } catch (const kt::windows_error& e) {
        EXPECT_EQ(e.code(), test::Code(ERROR_NOT_FOUND));
        EXPECT_EQ(e.text().substr(0, 6), L"gone (");
    }
    EXPECT_EQ(t.state(), kt::tsFailed);
    ResultTask ok(kt::result(0));
    ok.execute();
    EXPECT_EQ(ok.state(), kt::tsDone);
}

TEST(Task, ExceptionsBecomeResults) {
    struct Case {
        kt::result got;
        uint32_t code;
        std::wstring text;
    };
    Case cases[] = {
        {Throwing([] { throw std::runtime_error("boom"); }).run(), 1359, L"[task] boom"},
        {Throwing([] { throw 42; }).run(), 1359, L"[task]"},
        {Throwing([] { throw kt::wexception(L"bad"); }).run(), 1359, L"[task] bad"},
        {Throwing([] { throw kt::windows_error(L"io", 5); }).run(), 5, L"[task] "},
        {Throwing([] { throw kt::result(0x20000005, L"as is", kt::lvlWarning); }).run(), 0x20000005, L"as is"},
        {Throwing([] {}).run(), 0, L""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.got.code(), c.code);
        EXPECT_EQ(c.got.text(), c.text);
        if (c.code != 0x20000005) {
            EXPECT_EQ(c.got.ok(), c.code == 0);
        }
    }
    EXPECT_EQ(cases[4].got.level(), kt::lvlWarning);
}

TEST(Task, CloneIsAPlainTaskThatCannotRecurse) {
    ResultTask t(kt::result(87, L"x", kt::lvlError));
    EXPECT_THROW(t.execute(), kt::windows_error);
    std::unique_ptr<kt::task> c(t.clone());
    EXPECT_EQ(c->state(), kt::tsFailed);
    EXPECT_EQ(c->kind(), 0);
    EXPECT_EQ(c->name(), L"task");
    // A plain task has no work of its own; it must answer, not overflow.
    kt::result r = c->run();
    EXPECT_FALSE(r.ok());
    EXPECT_THROW(c->undo(), kt::windows_error);
    EXPECT_EQ(&c->self(), c.get());
}

// ---- threads -------------------------------------------------------------

class Probe : public kt::thread {
public:
    bool begin_result = true;
    std::atomic<int> runs{0}, ends{0};
    std::function<void()> body;

protected:
    bool begin() override { return begin_result; }
    void run() override {
        ++runs;
        if (body) body();
    }
    DWORD end() override {
        ++ends;
        return 7;
    }
};

DWORD ExitCode(const kt::thread& t) {
    DWORD code = 0;
    GetExitCodeThread(t.handle(), &code);
    return code;
}

TEST(Thread, BeginFalseSkipsRunButNotEnd) {
    Probe p;
    p.begin_result = false;
    ASSERT_EQ(p.start(false), 0u);
    ASSERT_EQ(p.wait(10000), 0u);
    EXPECT_EQ(p.runs, 0);
    EXPECT_EQ(p.ends, 1);
    EXPECT_EQ(ExitCode(p), 7u);
}

TEST(Thread, ExceptionsEndTheThreadWith1359) {
    const std::function<void()> bodies[] = {
        [] { throw kt::wexception(L"bad"); },
        [] { throw std::logic_error("bad"); },
        [] { throw 1; },
    };
    for (const auto& body : bodies) {
        Probe p;
        p.body = body;
        ASSERT_EQ(p.start(false), 0u);
        ASSERT_EQ(p.wait(10000), 0u);
        EXPECT_EQ(ExitCode(p), test::Code(ERROR_INTERNAL_ERROR));
        EXPECT_EQ(p.ends, 0);
    }
}

TEST(Thread, PostTimedAndWait) {
    Probe p;
    EXPECT_EQ(p.post_timed(WM_NULL, 0, 0, 0), test::Code(ERROR_INVALID_DATA));  // nothing posted
    kt::THandle go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    p.body = [&] {
        MSG m;
        PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE);
        WaitForSingleObject(go.get(), 10000);
    };
    ASSERT_EQ(p.start(false), 0u);
    EXPECT_NE(p.id(), GetCurrentThreadId());
    EXPECT_EQ(p.wait(50), test::Code(WAIT_TIMEOUT));
    EXPECT_EQ(p.post_timed(WM_USER, 1, 2, 5000), 0u);
    SetEvent(go.get());
    ASSERT_EQ(p.wait(10000), 0u);
    DWORD start = GetTickCount();
    EXPECT_EQ(p.post_timed(WM_USER, 0, 0, 300), test::Code(ERROR_INVALID_THREAD_ID));
    EXPECT_GE(kt::TicksSince(start), 300u);
}

// A bare system thread that opens its queue only after a while, or never.
struct LateThread {
    DWORD delay_ms;
    bool opens;
    kt::THandle ready{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::atomic<DWORD> opened_at{0};
    std::atomic<bool> got{false};
    kt::THandle handle;
    DWORD id = 0;

    static DWORD WINAPI Proc(LPVOID p) {
        auto* self = static_cast<LateThread*>(p);
        Sleep(self->delay_ms);
        if (!self->opens) return 0;
        self->opened_at = GetTickCount();
        kt::OpenQueue(self->ready.get());
        MSG m;
        DWORD start = GetTickCount();
        while (!self->got && kt::TicksSince(start) < 5000) {
            if (PeekMessageW(&m, nullptr, WM_APP + 3, WM_APP + 3, PM_REMOVE)) self->got = true;
            Sleep(1);
        }
        return 0;
    }
    LateThread(DWORD delay, bool open) : delay_ms(delay), opens(open) {
        handle.reset(CreateThread(nullptr, 0, Proc, this, 0, &id));
    }
    ~LateThread() { WaitForSingleObject(handle.get(), 10000); }
};

TEST(PostWhenReady, ReachesAThreadThatGetsItsQueueLate) {
    LateThread t(250, true);
    EXPECT_EQ(kt::PostWhenReady(t.id, t.ready.get(), t.handle.get(), WM_APP + 3, 0, 0, INFINITE), 0u);
    DWORD posted = GetTickCount();
    // Woken by the thread's signal, not by the next 100 ms retry.
    EXPECT_LT(kt::TickDiff(t.opened_at, posted), 90u);
    WaitForSingleObject(t.handle.get(), 10000);
    EXPECT_TRUE(t.got);
}

TEST(PostWhenReady, GivesUpOnAThreadThatNeverGetsAQueue) {
    {
        // Ends between two retries: Wine reports a post to a thread that is
        // ending at that moment as done.
        LateThread t(250, false);
        DWORD start = GetTickCount();
        EXPECT_EQ(kt::PostWhenReady(t.id, t.ready.get(), t.handle.get(), WM_APP + 3, 0, 0, INFINITE),
                  test::Code(ERROR_INVALID_THREAD_ID));
        EXPECT_LT(kt::TicksSince(start), 5000u);
    }
    {
        LateThread t(1000, false);
        DWORD start = GetTickCount();
        EXPECT_NE(kt::PostWhenReady(t.id, t.ready.get(), nullptr, WM_APP + 3, 0, 0, 300), 0u);
        EXPECT_GE(kt::TicksSince(start), 300u);
        EXPECT_LT(kt::TicksSince(start), 1000u);
    }
}

using QuitArgs = std::pair<DWORD, std::atomic<bool>*>;

// Posts another message to the thread, then WM_QUIT 300 ms later.
DWORD WINAPI PostThenQuit(LPVOID p) {
    auto* args = static_cast<QuitArgs*>(p);
    PostThreadMessageW(args->first, WM_APP + 9, 0, 0);
    Sleep(300);
    *args->second = true;
    PostThreadMessageW(args->first, WM_QUIT, 0, 0);
    return 0;
}

TEST(SleepUnlessQuit, WakesOnQuitOnly) {
    DWORD target = GetCurrentThreadId();
    MSG m;
    PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE);
    EXPECT_FALSE(kt::SleepUnlessQuit(50));
    std::atomic<bool> quit_sent{false};
    QuitArgs args{target, &quit_sent};
    kt::THandle poster(CreateThread(nullptr, 0, PostThenQuit, &args, 0, nullptr));
    DWORD start = GetTickCount();
    EXPECT_TRUE(kt::SleepUnlessQuit(20000));
    // Not cut short by the other message, ended by the quit.
    EXPECT_TRUE(quit_sent);
    EXPECT_LT(kt::TicksSince(start), 10000u);
    // The quit stays queued for its owner.
    EXPECT_TRUE(PeekMessageW(&m, reinterpret_cast<HWND>(-1), WM_QUIT, WM_QUIT, PM_REMOVE));
    WaitForSingleObject(poster.get(), 10000);
}

TEST(Thread, UnstartedThreadPostsToItsCreatorAndHasNoHandle) {
    Probe p;
    EXPECT_EQ(p.id(), GetCurrentThreadId());
    // No handle to wait on: not the creator's own thread, which never ends.
    EXPECT_EQ(p.handle(), nullptr);
    EXPECT_EQ(p.wait(0), test::Code(ERROR_INVALID_HANDLE));
    MSG m;
    PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE);
    EXPECT_EQ(p.post(WM_APP + 7, 0, 0), 0u);
    EXPECT_TRUE(PeekMessageW(&m, reinterpret_cast<HWND>(-1), WM_APP + 7, WM_APP + 7, PM_REMOVE));
}

TEST(TaskThread, KeepsTheTasksResult) {
    ResultTask t(kt::result(1168, L"not found", kt::lvlError));
    kt::task_thread th(&t);
    EXPECT_EQ(th.last_result().code(), 0u);
    ASSERT_EQ(th.start(false), 0u);
    ASSERT_EQ(th.wait(10000), 0u);
    EXPECT_EQ(th.last_result().code(), test::Code(ERROR_NOT_FOUND));
    EXPECT_EQ(th.last_result().text(), L"not found");
    EXPECT_EQ(ExitCode(th), 0u);
}

}  // namespace
