#pragma once

// The real pipe listener, running on a thread of the test process, watched
// through the process-wide LineQueue. No window is published, so nothing is
// posted: tests poll the queue.
//
// The listener never stops, and each test case runs in a process of its own,
// so it is started once, on first use, by whichever case needs it.

#include <chrono>
#include <vector>

#include "handoff/line.h"
#include "driver/unique_handle.h"

namespace nemora::test {

using namespace std::chrono_literals;

void EnsureListener();
bool ListenerStarted();

// Lines taken from the queue, in order, up to and including the first one
// equal to `last`; fewer (without `last`) if it has not come within the
// timeout. Lines queued after `last` are kept for the next call.
std::vector<Line> LinesThrough(const Line& last, std::chrono::milliseconds timeout = 10s);

// Every Line that arrives within the time given (waits the whole time).
std::vector<Line> LinesWithin(std::chrono::milliseconds time);

// A client end of the console's pipe, retrying while the name is missing or
// busy; an invalid handle if the time runs out.
UniqueFileHandle OpenClient(std::chrono::milliseconds timeout = 10s);

// Writes all of `bytes` to the client end.
bool Write(const UniqueFileHandle& client, std::string_view bytes);

}  // namespace nemora::test
