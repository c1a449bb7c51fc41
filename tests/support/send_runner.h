#pragma once

// Runs the real nemora-send.exe (built next to the tests, in ../tools).

#include <string>

#include "tests/support/child_process.h"

namespace nemora::test {

inline bool StartSend(ChildProcess& child, const std::wstring& arguments) {
    return child.Start(BesideThisExecutable(L"..\\tools\\nemora-send.exe"), arguments);
}

// Its standard error without the line ends that the C runtime adds.
inline std::string TrimmedLines(std::string text) {
    std::string out;
    for (char c : text) {
        if (c != '\r') {
            out += c;
        }
    }
    return out;
}

}  // namespace nemora::test
