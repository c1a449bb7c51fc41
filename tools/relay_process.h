#pragma once

// Who is writing: the process at the other end of a pipe, and a process's
// image file name.

#include <windows.h>

#include <cstdint>
#include <string>
#include <unordered_map>

#include "driver/unique_handle.h"

namespace nemora::relay {

// The process id of a pipe's client; 0 if the system can't tell.
std::uint32_t PipeClientPid(HANDLE pipe);

// The image file name of a running process ("game.exe", UTF-8); "?" if it
// can't be read (the process has ended, or runs with rights the relay lacks).
std::string ProcessImageName(std::uint32_t pid);

// Names of the processes writing debug output, each kept while its process
// runs (a process id is reused once its process has gone). A chatty writer
// costs a look at its process handle once per kRecheck, not a lookup per
// string: the relay's work between two of a writer's calls adds to what the
// channel costs every writer.
class ProcessNameCache {
  public:
    const std::string& Name(std::uint32_t pid);

  private:
    static constexpr unsigned long long kRecheckMs = 500;
    struct Entry {
        UniqueHandle process;  // to see that the id still names the same process
        std::string name;
        unsigned long long checked = 0;  // GetTickCount64() when last seen running
    };
    static constexpr std::size_t kMaxEntries = 256;
    std::unordered_map<std::uint32_t, Entry> entries_;
};

}  // namespace nemora::relay
