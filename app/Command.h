// Run: a notice while a command runs. The command is everything on the raw
// command line after the timeout argument, exactly as written; velmo starts
// it as its caller would, shows the notice, closes the notice when the
// command ends and exits with the command's own exit code.
#pragma once

#include <string>

#include "lib/owner.h"

// cmd's code for a command it cannot run.
const DWORD kCannotRun = 9009;

// The rest of a raw command line after its first n arguments, as
// CommandLineToArgvW splits them (argument 0, the program, by its own
// rule), the blanks before it dropped; empty when nothing follows.
std::wstring ArgsAfter(const wchar_t* cmdline, int n);

// The command, once started.
class Command {
public:
    Command() = default;
    Command(const Command&) = delete;
    Command& operator=(const Command&) = delete;

    // Starts it as this process's caller, its program found as cmd finds
    // it (see CmdSearch.h): the same account, window station,
    // environment, current directory and standard handles; a console
    // program gets no console window of its own (it shares velmoc's). In a
    // job that ends it when this process ends, however it ends. 0 or the
    // error (logged).
    DWORD Start(const std::wstring& command);
    HANDLE process() const { return process_.get(); }
    DWORD pid() const { return pid_; }
    bool Ended() const { return WaitForSingleObject(process_.get(), 0) == WAIT_OBJECT_0; }
    // Waits for its end; its exit code (logged).
    DWORD Wait();

private:
    kt::unique_handle job_;
    kt::unique_handle process_;
    DWORD pid_ = 0;
};
