#pragma once

// What the relay makes of what it reads, as plain logic with no system calls:
// the prefix naming a line's process, the relay's own lines, which processes
// are kept, and each source's bytes framed on their own.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "intake/line_framer.h"

namespace nemora::relay {

// Shown for a process whose image file name can't be read.
inline constexpr std::string_view kUnknownName = "?";

// The file name at the end of a path ("C:\games\game.exe" -> "game.exe"); kUnknownName for none.
std::string ImageFileName(std::string_view path);

// "[4242 game.exe] ": what goes in front of each of a process's lines.
std::string LinePrefix(std::uint32_t pid, std::string_view name);
// "[relay] 4242 game.exe connected" and "... disconnected".
std::string ArrivalLine(std::uint32_t pid, std::string_view name);
std::string DepartureLine(std::uint32_t pid, std::string_view name);

// --pid and --process: a process is kept when no filter is given, or when its
// id is listed, or its image file name is listed (case-insensitive for ASCII
// letters, ".exe" optional in the list).
class ProcessFilter {
  public:
    ProcessFilter(std::vector<std::uint32_t> pids, std::vector<std::string> names);
    bool Keeps(std::uint32_t pid, std::string_view name) const;
    // True when a process's name must be known to decide.
    bool NeedsNames() const { return !names_.empty(); }

  private:
    std::vector<std::uint32_t> pids_;
    std::vector<std::string> names_;  // lower-case
};

// Where relayed lines and readings go: the relay's one DebugClient, or a test's recorder.
class RelayOutput {
  public:
    virtual ~RelayOutput() = default;
    virtual void Line(std::string_view line) = 0;
    virtual void Fps(double reading) = 0;
};

// One source's bytes (a pipe client's stream, or one debug-output string at a
// time): framed by a LineFramer of its own, so nothing it leaves unfinished is
// ever joined to another source's bytes, and each Line forwarded with the
// source's prefix. Readings go on as readings.
class PrefixedFramer {
  public:
    explicit PrefixedFramer(RelayOutput& output);

    // The process whose bytes follow; what the previous one left unfinished
    // is handed on first.
    void Start(std::uint32_t pid, std::string_view name);
    void Feed(const char* bytes, std::size_t count);
    void Feed(std::string_view bytes) { Feed(bytes.data(), bytes.size()); }
    // The source has ended: its unfinished Line shows as a Line of its own.
    void Finish() { framer_.Finish(); }

  private:
    RelayOutput& output_;
    std::string prefix_;
    std::string line_;  // the prefixed Line, reused
    LineFramer framer_;
};

}  // namespace nemora::relay
