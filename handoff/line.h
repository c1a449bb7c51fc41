#pragma once

#include <string>

namespace nemora {

// One line of client text without its line end: bytes, expected to be UTF-8
// but never checked; may be empty; never holds a line feed.
using Line = std::string;

}  // namespace nemora
