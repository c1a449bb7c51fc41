#pragma once

// A client that logs like a game: every frame a few lines, each in a write of
// its own, and a frame-rate reading that rises by one every frame; meanwhile
// the console's title is read from outside every few milliseconds.

#include <chrono>
#include <vector>

namespace nemora::test {

class ConsoleProcess;
class PipeClient;

struct GameStream {
    int framesPerSecond = 144;
    int linesPerFrame = 10;
    std::chrono::milliseconds length{2500};
    std::chrono::milliseconds sampleEvery{5};
    std::chrono::milliseconds warmUp{250};  // samples before this are not kept
};

// How far behind the readings the title was at each sample, in ms: 0 while it
// showed the latest reading written, otherwise the time since the first
// reading it did not show was written. The client must be connected.
std::vector<double> TitleLagsUnder(const GameStream& stream, const ConsoleProcess& console,
                                   PipeClient& client);

}  // namespace nemora::test
