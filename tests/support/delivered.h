#pragma once

// For tests of a client against the real console: the client's lines are
// out of it and on the view.

#include <chrono>
#include <string>

#include "client/nemora_client.h"
#include "driver/console_process.h"

namespace nemora::test {

// Waits until the client has written everything and the view shows the line.
inline bool Delivered(DebugClient& client, const ConsoleProcess& console, const std::wstring& last,
                      std::chrono::milliseconds patience = std::chrono::seconds(30)) {
    return client.Flush(patience) && console.WaitForText(last + L"\r\n", patience);
}

}  // namespace nemora::test
