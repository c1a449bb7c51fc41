#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "client/nemora_protocol.h"
#include "handoff/line.h"

namespace nemora {

// Bytes of one Line kept at most; the rest of an over-long Line is counted and
// replaced by a marker, so one client can neither exhaust memory nor hand the
// view a line it would take seconds to lay out.
inline constexpr std::size_t kMaxLineBytes = 4096;

// The frame-rate reading of a control line's text after the prefix, read as
// the C runtime's atof reads it: leading blanks skipped, trailing text
// ignored, inf/nan/hex accepted, no number at all is 0.0, a zero byte ends it.
double ParseFpsReading(std::string_view text);

// " … [N more bytes not shown]": what replaces the cut-off tail of a Line.
std::string CutMarker(std::uint64_t discarded);

// Cuts a byte stream, fed in pieces of any size, into Lines ended by a line
// feed. A carriage return right before the line feed is dropped (no other
// byte is). Lines starting "FPS:" go to the reading sink, every other Line to
// the line sink, in stream order. Plain logic with no system calls.
//
// Bytes left without a line feed stay for the next Feed, across clients too,
// unless Finish hands them on first.
class LineFramer {
  public:
    // The Line's bytes, valid only during the call: a sink that keeps the Line
    // copies it (PushLine does, into storage the queue recycles), so framing
    // itself allocates nothing per Line.
    using LineSink = std::function<void(std::string_view)>;
    using FpsSink = std::function<void(double)>;

    // Sends Lines to PushLine and readings to PublishFps.
    LineFramer();
    LineFramer(LineSink onLine, FpsSink onFps);

    void Feed(const char* bytes, std::size_t count);

    // Hands on the unfinished Line, if any, as a Line of its own (as if its
    // line feed had come): for a source that has ended.
    void Finish();

    // Keeps at most this many bytes of a Line (kMaxLineBytes unless set; at
    // least 1): a relay that puts text in front of each Line leaves room for it.
    void SetMaxLineBytes(std::size_t bytes);

    // Bytes held for the Line not yet ended (never more than the Line's limit plus one read).
    std::size_t Buffered() const { return accumulator_.size(); }

  private:
    void FeedWhole(const char* bytes, std::size_t count);
    void FeedDiscarding(const char* bytes, std::size_t count);
    void EmitComplete(std::string_view line);
    void KeepUnfinished();
    void Emit(std::string_view kept, std::uint64_t discarded);

    LineSink onLine_;
    FpsSink onFps_;
    std::string accumulator_;
    std::size_t maxLineBytes_ = kMaxLineBytes;
    // While an over-long Line runs on: its first maxLineBytes_ stay in the
    // accumulator and the rest is only counted.
    bool discarding_ = false;
    std::uint64_t discarded_ = 0;
    bool lastDiscardedWasCr_ = false;
};

}  // namespace nemora
