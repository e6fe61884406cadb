// The box of the command line on this desktop: with a countdown or without,
// and how it ended.
#pragma once

#include "app/CmdLine.h"

struct Shown {
    int answer = 0;   // MessageBoxW's, or kExitTimedOut for the countdown's with ReportTimeout
    kt::BoxEnd end;   // what ended it besides the answer
};

Shown ShowBox(const MsgBoxParams& params);
