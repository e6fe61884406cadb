// Start-and-find for the tests: a velmo run with its box, or a failure that
// ASSERT_TRUE prints.
#pragma once

#include <gtest/gtest.h>

#include "tests/e2e/harness.h"

namespace e2e {

// Starts the given copy of velmo.exe with args and waits for its box.
inline ::testing::AssertionResult LaunchExe(Process& p, const std::wstring& exe, const std::wstring& args,
                                            HWND& box) {
    box = nullptr;
    if (!p.StartExe(exe, args)) return ::testing::AssertionFailure() << "could not start: " << test::Narrow(args);
    box = FindBox(p.Pid(), kBoxWait);
    if (!box) return ::testing::AssertionFailure() << "no box within " << kBoxWait << " ms: " << test::Narrow(args);
    return ::testing::AssertionSuccess();
}

// The same with the velmo.exe built beside the tests.
inline ::testing::AssertionResult Launch(Process& p, const std::wstring& args, HWND& box) {
    return LaunchExe(p, VelmoPath(), args, box);
}

}  // namespace e2e
