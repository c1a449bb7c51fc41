#include "handoff/handoff_test_seam.h"

#include "handoff/handoff.h"

namespace nemora {

TakenLines TakeEverything(LineQueue& queue) {
    return queue.Take([](const WaitingLines&) { return TakeStep::kTake; });
}

std::vector<Line> TakeAllLines() {
    return TakeEverything(PendingLines()).lines;
}

}  // namespace nemora
