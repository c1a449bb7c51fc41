#pragma once

// For the tests and benchmarks only: ways into the hand-off that the console
// itself never takes (its drain takes Lines in pieces, see view/log_view.h).

#include <vector>

#include "handoff/line.h"

namespace nemora {

// Every Line pending in the process-wide queue, oldest first, in one go. A
// consumer woken by a drain request clears drainPending (by exchange) first.
std::vector<Line> TakeAllLines();

}  // namespace nemora
