#pragma once

// Which pipe a client writes to: a running nemora-relay's, or the console's.
// A relay holds the mutex named in nemora_protocol.h for as long as it runs,
// in the session's namespace; looking for it costs one system call and
// connects to nothing.

#include <chrono>

#include "nemora_client.h"

namespace nemora {

// True while a nemora-relay runs in this session and offers its pipe.
bool RelayRunning();

// Opens the relay's pipe while a relay runs; otherwise, or when that fails,
// the console's. The waits are ConsolePipe::Open's, for whichever is opened;
// *viaRelay says which it was.
ConsolePipe::Opened OpenRelayOrConsole(ConsolePipe& pipe, std::chrono::milliseconds busyWait,
                                       std::chrono::milliseconds absentGrace, bool* viaRelay);

// For a writer connected straight to the console: says when a relay has
// started, so that the writer lets go of the console (which the relay needs)
// and reconnects through the relay. It looks at most once per interval, so a
// steady writer pays a clock read per batch; a move that ended at the console
// again (a relay this process may not write to) doubles the interval.
class RelayWatch {
  public:
    static constexpr std::chrono::milliseconds kInterval{250};
    static constexpr std::chrono::milliseconds kLongestInterval{8000};

    // True once it is time to look and a relay runs.
    bool RelayStarted();
    // After the reconnection: through the relay or not.
    void Moved(bool viaRelay);

  private:
    unsigned long long nextLook_ = 0;  // GetTickCount64() time
    std::chrono::milliseconds interval_ = kInterval;
    bool moving_ = false;
};

}  // namespace nemora
