#include "tools/relay_lines.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "client/nemora_protocol.h"

namespace nemora::relay {

namespace {

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string LowerAscii(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) { return LowerAscii(c); });
    return lower;
}

constexpr std::string_view kExe = ".exe";

std::string RelayLine(std::uint32_t pid, std::string_view name, std::string_view what) {
    std::string line(kRelayNoticeStart);
    line += std::to_string(pid);
    line += ' ';
    line.append(name.empty() ? kUnknownName : name);
    line.append(what);
    return line;
}

}  // namespace

std::string ImageFileName(std::string_view path) {
    const std::size_t slash = path.find_last_of("\\/");
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    return std::string(name.empty() ? kUnknownName : name);
}

std::string LinePrefix(std::uint32_t pid, std::string_view name) {
    std::string prefix = "[";
    prefix += std::to_string(pid);
    prefix += ' ';
    prefix.append(name.empty() ? kUnknownName : name);
    prefix += "] ";
    return prefix;
}

std::string ArrivalLine(std::uint32_t pid, std::string_view name) {
    return RelayLine(pid, name, kRelayClientConnected);
}

std::string DepartureLine(std::uint32_t pid, std::string_view name) {
    return RelayLine(pid, name, kRelayClientDisconnected);
}

ProcessFilter::ProcessFilter(std::vector<std::uint32_t> pids, std::vector<std::string> names)
    : pids_(std::move(pids)) {
    for (const std::string& name : names) {
        names_.push_back(LowerAscii(name));
    }
}

bool ProcessFilter::Keeps(std::uint32_t pid, std::string_view name) const {
    if (pids_.empty() && names_.empty()) {
        return true;
    }
    if (std::find(pids_.begin(), pids_.end(), pid) != pids_.end()) {
        return true;
    }
    if (name == kUnknownName) {
        return false;
    }
    const std::string lower = LowerAscii(name);
    const std::string_view stem =
        std::string_view(lower).ends_with(kExe)
            ? std::string_view(lower).substr(0, lower.size() - kExe.size())
            : std::string_view();
    return std::any_of(names_.begin(), names_.end(), [&](const std::string& listed) {
        return listed == lower || (!stem.empty() && listed == stem);
    });
}

PrefixedFramer::PrefixedFramer(RelayOutput& output)
    : output_(output),
      framer_(
          [this](std::string_view line) {
              line_.assign(prefix_);
              line_.append(line);
              output_.Line(line_);
          },
          [this](double reading) { output_.Fps(reading); }) {}

void PrefixedFramer::Start(std::uint32_t pid, std::string_view name) {
    framer_.Finish();
    prefix_ = LinePrefix(pid, name);
    // The console keeps 4096 bytes of a line: the prefix and the cut marker
    // fit within them, so the relay's marker counts what the client's line lost.
    static const std::size_t kMarkerRoom =
        CutMarker(std::numeric_limits<std::uint64_t>::max()).size();
    const std::size_t overhead = prefix_.size() + kMarkerRoom;
    framer_.SetMaxLineBytes(overhead < kMaxLineBytes ? kMaxLineBytes - overhead : 1);
}

void PrefixedFramer::Feed(const char* bytes, std::size_t count) {
    framer_.Feed(bytes, count);
}

}  // namespace nemora::relay
