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
    : LineFramer([](Line&& line) { PushLine(std::move(line)); },
                 [](double fps) { PublishFps(fps); }) {}

LineFramer::LineFramer(LineSink onLine, FpsSink onFps)
    : onLine_(std::move(onLine)), onFps_(std::move(onFps)) {
    accumulator_.reserve(kMaxLineBytes + 1);
}

void LineFramer::Feed(const char* bytes, std::size_t count) {
    if (discarding_) {
        FeedDiscarding(bytes, count);
    } else {
        FeedWhole(bytes, count);
    }
}

// Appends the bytes, hands on every Line they complete, and moves what is left
// to the front once per call rather than once per Line.
void LineFramer::FeedWhole(const char* bytes, std::size_t count) {
    accumulator_.append(bytes, count);
    const char* const data = accumulator_.data();
    const std::size_t size = accumulator_.size();
    std::size_t start = 0;
    while (start < size) {
        const void* found = std::memchr(data + start, '\n', size - start);
        if (found == nullptr) {
            break;
        }
        const std::size_t lineFeed = static_cast<const char*>(found) - data;
        std::string_view line(data + start, lineFeed - start);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        std::uint64_t discarded = 0;
        if (line.size() > kMaxLineBytes) {
            discarded = line.size() - kMaxLineBytes;
            line = line.substr(0, kMaxLineBytes);
        }
        Emit(line, discarded);
        start = lineFeed + 1;
    }
    accumulator_.erase(0, start);

    if (accumulator_.size() > kMaxLineBytes) {
        // The unfinished Line is already too long: keep its head, count the rest.
        // Its last byte may be a carriage return that the line feed will drop.
        discarding_ = true;
        discarded_ = accumulator_.size() - kMaxLineBytes;
        lastDiscardedWasCr_ = accumulator_.back() == '\r';
        accumulator_.resize(kMaxLineBytes);
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
    Line line;
    if (discarded == 0) {
        line.assign(kept);
    } else {
        const std::string marker = CutMarker(discarded);
        line.reserve(kept.size() + marker.size());
        line.append(kept).append(marker);
    }
    onLine_(std::move(line));
}

}  // namespace nemora
