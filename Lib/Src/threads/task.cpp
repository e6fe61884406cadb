#include "threads/task.h"

#include <exception>

#include "lib/owner.h"

namespace kt {

result task::run() {
    // A task that overrides neither run nor execute would recurse between
    // them until the stack is gone; it reports that it has nothing to do.
    if (in_base_run_) return result(ERROR_INVALID_FUNCTION, L"[" + name() + L"] nothing to run");
    in_base_run_ = true;
    auto leave = scope_exit([this] { in_base_run_ = false; });
    try {
        execute();
        return {};
    } catch (const result& r) {
        return r;
    } catch (const std::exception& e) {
        return result(ERROR_INTERNAL_ERROR, L"[" + name() + L"] " + AnsiToWide(e.what(), 0));
    } catch (const windows_error& e) {
        return result(e.code(), L"[" + name() + L"] ");
    } catch (const wexception& e) {
        return result(ERROR_INTERNAL_ERROR, L"[" + name() + L"] " + e.text());
    } catch (...) {
        return result(ERROR_INTERNAL_ERROR, L"[" + name() + L"]");
    }
}

task& task::execute() {
    result r = run();
    if (r.ok()) {
        state_ = tsDone;
        return *this;
    }
    state_ = tsFailed;
    throw windows_error(r.text(), r.code());
}

void task::undo() { throw windows_error(L"can't undo", 1); }

task* task::clone() const {
    task* t = new task(kind_);
    t->state_ = state_;
    return t;
}

}  // namespace kt
