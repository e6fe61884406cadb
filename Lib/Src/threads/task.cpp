#include "threads/task.h"

#include <exception>

#include "gen/BStr.h"

namespace kt {

result task::run() {
    // A task that overrides neither run nor execute would recurse between
    // them until the stack is gone; it reports that it has nothing to do.
    if (in_base_run_) return result(ERROR_INVALID_FUNCTION, L"[" + name() + L"] nothing to run", lvlError);
    struct Guard {
        bool& flag;
        explicit Guard(bool& f) : flag(f) { flag = true; }
        ~Guard() { flag = false; }
    } guard(in_base_run_);
    try {
        execute();
        return result(0, L"");
    } catch (const result& r) {
        return r;
    } catch (const std::exception& e) {
        return result(ERROR_INTERNAL_ERROR, L"[" + name() + L"] " + AnsiToWide(e.what(), 0), lvlError);
    } catch (const windows_error& e) {
        return result(e.code(), L"[" + name() + L"] ", lvlError);
    } catch (const wexception& e) {
        return result(ERROR_INTERNAL_ERROR, L"[" + name() + L"] " + e.text(), lvlError);
    } catch (...) {
        return result(ERROR_INTERNAL_ERROR, L"[" + name() + L"]", lvlError);
    }
}

task& task::execute() {
    result r = run();
    if (r.ok()) {
        state_ = 2;
        return *this;
    }
    state_ = 3;
    throw windows_error(r.text(), r.code());
}

void task::undo() { throw windows_error(L"can't undo", 1); }

task* task::clone() const {
    task* t = new task(kind_);
    t->state_ = state_;
    return t;
}

}  // namespace kt
