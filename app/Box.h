// The box of the command line on this desktop: with a countdown or without,
// and how it ended.
#pragma once

#include <thread>

#include "app/CmdLine.h"

struct Shown {
    int answer = 0;   // MessageBoxW's, or kExitTimedOut for the countdown's with ReportTimeout
    kt::BoxEnd end;   // what ended it besides the answer
};

Shown ShowBox(const MsgBoxParams& params);

// A notice on a thread of its own, while the caller closes apps or runs a
// command: it goes once Done() (or its owner goes), or when its person
// closes it.
class Notice {
public:
    explicit Notice(const MsgBoxParams& params);
    Notice(const Notice&) = delete;
    Notice& operator=(const Notice&) = delete;
    ~Notice() {
        Done();
        thread_.join();
    }
    void Done() { SetEvent(done_.get()); }

private:
    MsgBoxParams params_;
    kt::unique_handle done_;
    std::thread thread_;
};
