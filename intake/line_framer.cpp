#include "intake/line_framer.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "handoff/handoff.h"

namespace nemora {

double ParseFpsReading(std::string_view text) {
    // strtod, not the runtime's atof: atof(s) is defined as strtod(s, nullptr),
    // but some runtimes' atof reject the inf, nan and hexadecimal forms.
    const std::string terminated(text);
    return std::strtod(terminated.c_str(), nullptr);
}

std::string CutMarker(std::uint64_t discarded) {
    return " \xE2\x80\xA6 [" + std::to_string(discarded) + " more bytes not shown]";
}

LineFramer::LineFramer()
    : LineFramer([](std::string_view line) { PushLine(line); },
                 [](double fps) { PublishFps(fps); }) {}

LineFramer::LineFramer(LineSink onLine, FpsSink onFps)
    : onLine_(std::move(onLine)), onFps_(std::move(onFps)) {
    accumulator_.reserve(kMaxLineBytes + 1);
}

void LineFramer::SetMaxLineBytes(std::size_t bytes) {
    maxLineBytes_ = bytes == 0 ? 1 : bytes;
}

void LineFramer::Finish() {
    if (!discarding_ && accumulator_.empty()) {
        return;
    }
    const std::uint64_t discarded = discarded_;
    discarding_ = false;
    discarded_ = 0;
    lastDiscardedWasCr_ = false;
    Emit(accumulator_, discarded);
    accumulator_.clear();
}

void LineFramer::Feed(const char* bytes, std::size_t count) {
    if (discarding_) {
        FeedDiscarding(bytes, count);
    } else {
        FeedWhole(bytes, count);
    }
}

// Hands on every Line the bytes complete, reading them where they are: only
// the start of a Line that an earlier Feed left unfinished, and the start of
// one this Feed leaves unfinished, pass through the accumulator.
void LineFramer::FeedWhole(const char* bytes, std::size_t count) {
    const char* next = bytes;
    const char* const end = bytes + count;
    if (!accumulator_.empty()) {
        const void* found = std::memchr(next, '\n', count);
        if (found == nullptr) {
            accumulator_.append(next, count);
            KeepUnfinished();
            return;
        }
        const auto* lineFeed = static_cast<const char*>(found);
        accumulator_.append(next, static_cast<std::size_t>(lineFeed - next));
        EmitComplete(accumulator_);
        accumulator_.clear();
        next = lineFeed + 1;
    }
    while (next < end) {
        const void* found = std::memchr(next, '\n', static_cast<std::size_t>(end - next));
        if (found == nullptr) {
            break;
        }
        const auto* lineFeed = static_cast<const char*>(found);
        EmitComplete(std::string_view(next, static_cast<std::size_t>(lineFeed - next)));
        next = lineFeed + 1;
    }
    accumulator_.append(next, static_cast<std::size_t>(end - next));
    KeepUnfinished();
}

// A complete Line without its line feed: drops a carriage return before it
// and cuts it to the Line's limit.
void LineFramer::EmitComplete(std::string_view line) {
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    std::uint64_t discarded = 0;
    if (line.size() > maxLineBytes_) {
        discarded = line.size() - maxLineBytes_;
        line = line.substr(0, maxLineBytes_);
    }
    Emit(line, discarded);
}

void LineFramer::KeepUnfinished() {
    if (accumulator_.size() > maxLineBytes_) {
        // The unfinished Line is already too long: keep its head, count the rest.
        // Its last byte may be a carriage return that the line feed will drop.
        discarding_ = true;
        discarded_ = accumulator_.size() - maxLineBytes_;
        lastDiscardedWasCr_ = accumulator_.back() == '\r';
        accumulator_.resize(maxLineBytes_);
    }
}

void LineFramer::FeedDiscarding(const char* bytes, std::size_t count) {
    const void* found = std::memchr(bytes, '\n', count);
    const std::size_t skipped = found == nullptr ? count : static_cast<const char*>(found) - bytes;
    if (skipped > 0) {
        discarded_ += skipped;
        lastDiscardedWasCr_ = bytes[skipped - 1] == '\r';
    }
    if (found == nullptr) {
        return;
    }
    // The carriage return right before the line feed is not part of the Line,
    // so it is not counted; if it was the only extra byte, nothing was cut.
    const std::uint64_t discarded = discarded_ - (lastDiscardedWasCr_ ? 1 : 0);
    discarding_ = false;
    discarded_ = 0;
    lastDiscardedWasCr_ = false;
    Emit(accumulator_, discarded);
    accumulator_.clear();
    FeedWhole(bytes + skipped + 1, count - skipped - 1);
}

void LineFramer::Emit(std::string_view kept, std::uint64_t discarded) {
    if (kept.starts_with(kFpsPrefix)) {
        onFps_(ParseFpsReading(kept.substr(kFpsPrefix.size())));
        return;
    }
    if (discarded == 0) {
        onLine_(kept);
        return;
    }
    const std::string marker = CutMarker(discarded);
    std::string line;
    line.reserve(kept.size() + marker.size());
    line.append(kept).append(marker);
    onLine_(line);
}

}  // namespace nemora
