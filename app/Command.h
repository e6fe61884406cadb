// Run: a notice while a command runs. The command is everything on the raw
// command line after the timeout argument, exactly as written; velmo starts
// it as its caller would, shows the notice, closes the notice when the
// command ends and exits with the command's own exit code.
#pragma once

#include <string>

#include "lib/owner.h"
#include "threads/job.h"

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
    // job that ends it, and what it started, when this process ends
    // however it ends, until it ends by itself. 0 or the error (logged).
    DWORD Start(const std::wstring& command);
    HANDLE process() const { return started_.process.get(); }
    DWORD pid() const { return started_.id; }
    bool Ended() const { return WaitForSingleObject(process(), 0) == WAIT_OBJECT_0; }
    // Waits for its end; its exit code (logged). What it left running is
    // kept from then on, as it would be without velmo.
    DWORD Wait();

private:
    kt::KillOnCloseJob job_;
    kt::StartedProcess started_;
};
