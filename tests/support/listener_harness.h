#pragma once

// The real pipe listener, running on a thread of the test process, watched
// through the process-wide LineQueue. No window is published, so nothing is
// posted: tests poll the queue. Clients are the console driver's PipeClient.
//
// The listener never stops, and each test case runs in a process of its own,
// so it is started once, on first use, by whichever case needs it.

#include <chrono>
#include <vector>

#include "handoff/line.h"
#include "driver/console_process.h"

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

// Every Line that has arrived and not been handed to a test yet (waits for none).
std::vector<Line> TakeArrived();

}  // namespace nemora::test
