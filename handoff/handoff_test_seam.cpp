#include "handoff/handoff_test_seam.h"

#include "handoff/handoff.h"

namespace nemora {

std::vector<Line> TakeAllLines() {
    return PendingLines().TakeAll();
}

}  // namespace nemora
