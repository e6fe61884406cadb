// Units of work that report their outcome as a result or as an exception.
#pragma once

#include "lib/kt.h"

namespace kt {

// Values of task::state.
enum : int32_t { tsNew = 0, tsDone = 2, tsFailed = 3 };

class task : public base {
public:
    explicit task(int32_t kind = 0) : kind_(kind) {}

    // Runs execute() and turns every exception into a result.
    virtual result run();
    virtual result call() { return run(); }
    // Runs run(); tsDone on success, else tsFailed and a windows_error.
    virtual task& execute();
    virtual void undo();
    virtual task& self() { return *this; }
    virtual const task& self() const { return *this; }
    virtual std::wstring name() const { return L"task"; }
    // A plain task with the same kind and state.
    virtual task* clone() const;

    int32_t kind() const { return kind_; }
    int32_t state() const { return state_; }

protected:
    int32_t kind_;
    int32_t state_ = tsNew;

private:
    bool in_base_run_ = false;
};

}  // namespace kt
