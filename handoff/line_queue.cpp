#include "handoff/line_queue.h"

#include <iterator>
#include <utility>

namespace nemora {

bool LineQueue::Push(Line&& line) {
    std::lock_guard lock(mutex_);
    bool dropped = false;
    if (lines_.size() >= limit_) {
        lines_.pop_front();
        ++dropped_;
        dropped = true;
    }
    lines_.push_back(std::move(line));
    size_.store(lines_.size());
    return dropped;
}

std::vector<Line> LineQueue::TakeAll() {
    // Sequentially consistent with the pusher's store and its later wake-up
    // request: a take that sees 0 here is followed by a fresh drain request.
    if (size_.load() == 0) {
        return {};
    }
    std::deque<Line> taken;
    {
        std::lock_guard lock(mutex_);
        taken.swap(lines_);
        size_.store(0);
    }
    // Moving out after the unlock keeps the pushers' wait short; the strings' bytes are not copied.
    return {std::make_move_iterator(taken.begin()), std::make_move_iterator(taken.end())};
}

bool LineQueue::Empty() const {
    return size_.load() == 0;
}

std::size_t LineQueue::Dropped() const {
    std::lock_guard lock(mutex_);
    return dropped_;
}

}  // namespace nemora
