// Another process for the relay's tests and benchmark: writes numbered lines
// "#<stream>0000000 k=...", with OutputDebugStringA or to the relay's pipe,
// then prints what each OutputDebugStringA call cost.
//
// Usage: nemora-test-debug-writer debug|pipe <stream letter> <count>
// Prints "calls=N median_ns=M p99_ns=P max_ns=X" (debug) and exits 0, or 3
// if the relay's pipe could not be opened.

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "client/nemora_protocol.h"
#include "driver/numbered_lines.h"

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) {
        return 2;
    }
    const std::wstring mode = argv[1];
    const char stream = static_cast<char>(argv[2][0]);
    const auto count = static_cast<std::uint32_t>(_wtoi(argv[3]));
    if (mode == L"pipe") {
        HANDLE pipe = CreateFileW(nemora::kRelayPipeName, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE) {
            return 3;
        }
        std::string text;
        for (std::uint32_t i = 0; i < count; ++i) {
            nemora::test::AppendNumberedLine(text, stream, i);
        }
        DWORD written = 0;
        WriteFile(pipe, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        CloseHandle(pipe);
        return 0;
    }
    std::vector<std::int64_t> costs;
    costs.reserve(count);
    std::string line;
    for (std::uint32_t i = 0; i < count; ++i) {
        line.clear();
        nemora::test::AppendNumberedLine(line, stream, i);
        const auto start = std::chrono::steady_clock::now();
        OutputDebugStringA(line.c_str());
        costs.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count());
    }
    std::sort(costs.begin(), costs.end());
    const auto at = [&](double q) {
        return costs.empty() ? 0 : costs[static_cast<std::size_t>(q * (costs.size() - 1))];
    };
    std::printf("calls=%u median_ns=%lld p99_ns=%lld max_ns=%lld\n", count,
                static_cast<long long>(at(0.5)), static_cast<long long>(at(0.99)),
                static_cast<long long>(costs.empty() ? 0 : costs.back()));
    return 0;
}
