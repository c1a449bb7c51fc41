#pragma once

// A child process with its standard input, output and error on pipes, for
// driving the real executables from a test.

#include <windows.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "driver/unique_handle.h"

namespace nemora::test {

// The full path of a file given relative to the directory of the running executable.
std::wstring BesideThisExecutable(std::wstring_view relative);

class ChildProcess {
  public:
    // Starts `exe` with the arguments (already quoted as a command line).
    // Fails the calling test (and returns false) if it can't. `flags` are
    // CreateProcessW's (a group of its own, for a Ctrl+Break to it alone).
    bool Start(const std::wstring& exe, const std::wstring& arguments,
               DWORD flags = CREATE_NO_WINDOW);
    ~ChildProcess();

    bool WriteStdin(std::string_view bytes);
    void CloseStdin() { stdin_.reset(); }

    // The exit code, or nothing if the process is still running after the timeout.
    std::optional<DWORD> WaitForExit(std::chrono::milliseconds timeout);
    DWORD Pid() const { return GetProcessId(process_.get()); }
    bool Running() const { return WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }

    // What it has written so far (all of it once it has exited and WaitForExit returned).
    std::string Stdout() const;
    std::string Stderr() const;

  private:
    struct Output {
        mutable std::mutex mutex;
        std::string text;
        std::thread reader;
    };
    static void Drain(UniqueFileHandle pipe, Output& output);

    UniqueHandle process_;
    UniqueFileHandle stdin_;
    Output stdout_;
    Output stderr_;
};

}  // namespace nemora::test
