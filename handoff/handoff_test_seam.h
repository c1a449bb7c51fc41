#pragma once

// For the tests and benchmarks only: ways into the hand-off that the console
// itself never takes (its drain takes Lines in pieces, see view/log_view.h).

#include <vector>

#include "handoff/line.h"
#include "handoff/line_queue.h"

namespace nemora {

// Every Line pending in the queue, oldest first, in one take; `dropped` counts
// those the limit pushed out since the last take.
TakenLines TakeEverything(LineQueue& queue);

// The Lines of TakeEverything on the process-wide queue. A consumer woken by a
// drain request clears drainPending (by exchange) first.
std::vector<Line> TakeAllLines();

}  // namespace nemora
