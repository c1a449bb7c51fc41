#pragma once

// Lists of expected lines, narrow (a Line, a pipe server's line) or wide (the
// view's): "<prefix><i>" for a range of i, and several lists joined.

#include <initializer_list>
#include <string>
#include <vector>

namespace nemora::test {

// "<prefix><i>" for i in [from, to).
template <typename Char>
std::vector<std::basic_string<Char>> NumberedList(const std::basic_string<Char>& prefix, int from,
                                                  int to) {
    std::vector<std::basic_string<Char>> lines;
    for (int i = from; i < to; ++i) {
        if constexpr (sizeof(Char) == 1) {
            lines.push_back(prefix + std::to_string(i));
        } else {
            lines.push_back(prefix + std::to_wstring(i));
        }
    }
    return lines;
}
inline std::vector<std::string> NumberedList(const char* prefix, int from, int to) {
    return NumberedList(std::string(prefix), from, to);
}
inline std::vector<std::wstring> NumberedList(const wchar_t* prefix, int from, int to) {
    return NumberedList(std::wstring(prefix), from, to);
}

template <typename Text>
std::vector<Text> Concat(std::initializer_list<std::vector<Text>> parts) {
    std::vector<Text> all;
    for (const std::vector<Text>& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

}  // namespace nemora::test
