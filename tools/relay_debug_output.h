#pragma once

// Reads the system's channel for OutputDebugString: a 4096-byte section
// (the writer's process id, then up to 4092 bytes of text ending in a zero)
// and two events. A writer takes the writers' mutex, waits for "buffer
// ready", fills the section and sets "data ready"; the reader copies the text
// and sets "buffer ready" again at once, before doing anything with the copy,
// so no writer ever waits on the relay for more than that copy.

#include <windows.h>

#include <string>
#include <thread>

#include "driver/unique_handle.h"
#include "tools/relay_lines.h"
#include "tools/relay_process.h"

namespace nemora::relay {

class DebugOutputReader {
  public:
    enum class Opened {
        kOpened,
        kInUse,   // another program reads the channel already
        kDenied,  // not allowed to create it (Global\ without administrator rights)
        kFailed,  // see Error()
    };

    // The session's channel, or with `global` the one services write to (Global\ names).
    DebugOutputReader(bool global, RelayOutput& output, const ProcessFilter& filter);
    ~DebugOutputReader();  // Stop()
    DebugOutputReader(const DebugOutputReader&) = delete;
    DebugOutputReader& operator=(const DebugOutputReader&) = delete;

    // Creates the channel's section and events and starts reading.
    Opened Start();
    // Stops reading and gives the channel back: writers then skip it again.
    void Stop();
    DWORD Error() const { return error_; }

  private:
    void Run();
    void Forward(DWORD pid, std::string& text);

    const std::wstring prefix_;  // L"" or L"Global\\"
    RelayOutput& output_;
    const ProcessFilter& filter_;
    UniqueHandle bufferReady_;
    UniqueHandle dataReady_;
    UniqueHandle section_;
    const char* view_ = nullptr;
    UniqueHandle stop_;
    DWORD error_ = 0;
    std::thread thread_;
    // Used by the reading thread only.
    ProcessNameCache names_;
    PrefixedFramer framer_;
};

}  // namespace nemora::relay
