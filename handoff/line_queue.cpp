#include "handoff/line_queue.h"

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <utility>

namespace nemora {

bool LineQueue::Push(std::string_view line, std::size_t units) {
    std::lock_guard lock(mutex_);
    bool dropped = false;
    if (lines_.size() >= limit_) {
        // The dropped Line's storage takes the new one.
        units_ -= lines_.front().units;
        lines_.push_back(std::move(lines_.front()));
        lines_.pop_front();
        ++droppedSinceTake_;
        dropped = true;
    } else if (!spare_.empty()) {
        lines_.push_back({std::move(spare_.back())});
        spare_.pop_back();
    } else {
        lines_.emplace_back();
    }
    lines_.back().text.assign(line);
    lines_.back().units = units;
    units_ += units;
    size_.store(lines_.size());
    return dropped;
}

void LineQueue::GiveUpFront(std::vector<Line>& freed) {
    Line& text = lines_.front().text;
    units_ -= lines_.front().units;
    if (spare_.size() < limit_ && text.capacity() <= kRecycledLineCapacity) {
        spare_.push_back(std::move(text));
    } else {
        freed.push_back(std::move(text));
    }
    lines_.pop_front();
}

void LineQueue::Recycle(std::vector<Line>&& lines) {
    // Outside the lock: freeing what is too big to keep.
    std::erase_if(lines, [](const Line& line) { return line.capacity() > kRecycledLineCapacity; });
    std::lock_guard lock(mutex_);
    if (spare_.empty() && lines.size() <= limit_) {
        spare_.swap(lines);  // the caller's vector, now empty, is freed after the unlock
        return;
    }
    // What doesn't fit stays in the caller's vector, freed after the unlock.
    const std::size_t room = limit_ - std::min(limit_, spare_.size());
    const auto kept = static_cast<std::ptrdiff_t>(std::min(room, lines.size()));
    spare_.insert(spare_.end(), std::make_move_iterator(lines.begin()),
                  std::make_move_iterator(lines.begin() + kept));
}

bool LineQueue::Empty() const {
    return size_.load() == 0;
}

}  // namespace nemora
