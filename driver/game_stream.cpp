#include "driver/game_stream.h"

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

#include "driver/console_process.h"

namespace nemora::test {

namespace {

using Clock = std::chrono::steady_clock;

// The reading a title shows ("... FPS: 123"), 0 before the first.
long ShownReading(const std::wstring& title) {
    const auto at = title.rfind(L"FPS: ");
    return at == std::wstring::npos ? 0 : std::wcstol(title.c_str() + at + 5, nullptr, 10);
}

}  // namespace

std::vector<double> TitleLagsUnder(const GameStream& stream, const ConsoleProcess& console,
                                   PipeClient& client) {
    const int frames = static_cast<int>(stream.length.count() * stream.framesPerSecond / 1000);
    // written[k]: when reading k + 1 was in the pipe; published through `count`.
    std::vector<Clock::time_point> written(static_cast<std::size_t>(frames));
    std::atomic<int> count{0};
    const auto start = Clock::now();
    std::thread game([&] {
        const std::string line(58, '.');
        for (int frame = 0; frame < frames; ++frame) {
            std::this_thread::sleep_until(
                start + std::chrono::microseconds(1'000'000LL * frame / stream.framesPerSecond));
            for (int i = 0; i < stream.linesPerFrame; ++i) {
                client.Write("frame " + std::to_string(frame) + line + "\n");
            }
            client.Write(std::string(kFpsPrefix) + std::to_string(frame + 1) + "\n");
            written[static_cast<std::size_t>(frame)] = Clock::now();
            count.store(frame + 1);
        }
    });
    std::vector<double> lags;
    while (count.load() < frames) {
        std::this_thread::sleep_for(stream.sampleEvery);
        const long shown = ShownReading(console.Title());
        const auto now = Clock::now();
        const int latest = count.load();
        if (now - start < stream.warmUp) {
            continue;
        }
        lags.push_back(shown >= latest ? 0.0
                                       : std::chrono::duration<double, std::milli>(
                                             now - written[static_cast<std::size_t>(shown)])
                                             .count());
    }
    game.join();
    return lags;
}

}  // namespace nemora::test
