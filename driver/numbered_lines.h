#pragma once

// Lines that carry their own sequence number and a check value, so a reader
// that sees them later (in the view) can tell a missing Line from a damaged
// or merged one: "#A0000123 k=9e3779b1". The letter names the stream.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace nemora::test {

inline constexpr std::size_t kNumberedLineBytes = 20;  // without the line feed
inline constexpr std::uint32_t kMaxSequence = 9'999'999;

inline std::uint32_t CheckValue(char stream, std::uint32_t sequence) {
    return (sequence * 2654435761u) ^ (static_cast<std::uint32_t>(stream) << 24);
}

// Appends one numbered line and its line feed.
inline void AppendNumberedLine(std::string& out, char stream, std::uint32_t sequence) {
    char line[32];
    const int length = std::snprintf(line, sizeof(line), "#%c%07u k=%08x\n", stream,
                                     static_cast<unsigned>(sequence),
                                     static_cast<unsigned>(CheckValue(stream, sequence)));
    out.append(line, static_cast<std::size_t>(length));
}

enum class Numbered { kNo, kYes, kDamaged };

struct ParsedLine {
    Numbered kind = Numbered::kNo;
    char stream = 0;
    std::uint32_t sequence = 0;
};

// Reads a line as the view shows it (no line end). A line that starts like a
// numbered one ("#" and an upper-case letter) but is not exactly one is damaged.
template <typename Char>
ParsedLine ParseNumberedLine(std::basic_string_view<Char> line) {
    ParsedLine parsed;
    if (line.size() < 2 || line[0] != Char('#') || line[1] < Char('A') || line[1] > Char('Z')) {
        return parsed;
    }
    parsed.kind = Numbered::kDamaged;
    parsed.stream = static_cast<char>(line[1]);
    if (line.size() != kNumberedLineBytes || line[9] != Char(' ') || line[10] != Char('k') ||
        line[11] != Char('=')) {
        return parsed;
    }
    std::uint32_t sequence = 0;
    for (std::size_t i = 2; i < 9; ++i) {
        if (line[i] < Char('0') || line[i] > Char('9')) {
            return parsed;
        }
        sequence = sequence * 10 + static_cast<std::uint32_t>(line[i] - Char('0'));
    }
    std::uint32_t check = 0;
    for (std::size_t i = 12; i < 20; ++i) {
        const Char c = line[i];
        std::uint32_t digit = 0;
        if (c >= Char('0') && c <= Char('9')) {
            digit = static_cast<std::uint32_t>(c - Char('0'));
        } else if (c >= Char('a') && c <= Char('f')) {
            digit = static_cast<std::uint32_t>(c - Char('a') + 10);
        } else {
            return parsed;
        }
        check = check * 16 + digit;
    }
    if (check != CheckValue(parsed.stream, sequence)) {
        return parsed;
    }
    parsed.kind = Numbered::kYes;
    parsed.sequence = sequence;
    return parsed;
}

}  // namespace nemora::test
