// What one DebugClient::Line call costs its caller, per call (median and tail,
// in nanoseconds), whatever the console does: keeping up, absent, or frozen with
// the pipe full; beside a direct blocking WriteFile of the same line to a pipe
// whose reader keeps up, measured in the same run.
//
// The console's real intake runs on a thread of this process (it can't be
// stopped once started), so the cases without it run first, and the frozen
// console is a pipe server of this tool's own that never reads.
//
// Run: bench_client.exe [calls]   (default 200000 per case)

#include <windows.h>

#include <intrin.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "client/nemora_client.h"
#include "handoff/handoff.h"
#include "intake/pipe_listener.h"
#include "tests/support/unique_handle.h"

namespace {

using namespace std::chrono_literals;

// A typical per-frame debug line.
constexpr std::string_view kLine = "frame 123456: position=(12.5, -3.25, 8.0) speed=4.75 state=run";

// A host that logs steadily instead of flat out: one line per this many ns.
constexpr double kPacedIntervalNs = 50'000.0;

// Time-stamp counter ticks per nanosecond, measured against the performance counter.
double TicksPerNs() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    const std::uint64_t ticksStart = __rdtsc();
    Sleep(200);
    QueryPerformanceCounter(&end);
    const std::uint64_t ticksEnd = __rdtsc();
    const double ns = double(end.QuadPart - start.QuadPart) * 1e9 / double(frequency.QuadPart);
    return double(ticksEnd - ticksStart) / ns;
}

struct Figures {
    double median = 0;
    double p99 = 0;
    double p999 = 0;
    double max = 0;
};

class Samples {
  public:
    explicit Samples(std::size_t count) { ticks_.reserve(count); }
    void Add(std::uint64_t ticks) { ticks_.push_back(ticks); }
    Figures In(double ticksPerNs) {
        std::sort(ticks_.begin(), ticks_.end());
        auto at = [&](double q) {
            return double(ticks_[std::min(ticks_.size() - 1, std::size_t(q * ticks_.size()))]) /
                   ticksPerNs;
        };
        return {at(0.5), at(0.99), at(0.999), double(ticks_.back()) / ticksPerNs};
    }

  private:
    std::vector<std::uint64_t> ticks_;
};

// Times `call` `count` times, one call per sample; `gapTicks` apart if not 0.
template <typename Call>
Samples Measure(std::size_t count, std::uint64_t gapTicks, Call&& call) {
    Samples samples(count);
    std::uint64_t next = __rdtsc();
    for (std::size_t i = 0; i < count; ++i) {
        if (gapTicks != 0) {
            next += gapTicks;
            while (__rdtsc() < next) {
                _mm_pause();
            }
        }
        const std::uint64_t start = __rdtsc();
        call();
        samples.Add(__rdtsc() - start);
    }
    return samples;
}

void Print(const char* label, const Figures& f, const Figures& reference) {
    std::printf("%-44s median %7.0f  p99 %7.0f  p99.9 %8.0f  max %9.0f  | %6.0f %6.0f\n", label,
                f.median, f.p99, f.p999, f.max, reference.median / f.median, reference.p99 / f.p99);
}

nemora::UniqueFileHandle OpenConsolePipe() {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        nemora::UniqueFileHandle pipe(
            CreateFileW(nemora::kPipeName, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (pipe) {
            return pipe;
        }
        Sleep(5);
    }
    return {};
}

// Takes the console's pending Lines as its window thread would, until stopped.
class Consumer {
  public:
    Consumer()
        : thread_([this] {
              while (!stop_.load()) {
                  taken_ += nemora::TakeAllLines().size();
                  Sleep(1);
              }
              taken_ += nemora::TakeAllLines().size();
          }) {}
    ~Consumer() { Stop(); }
    std::uint64_t Stop() {
        if (thread_.joinable()) {
            stop_.store(true);
            thread_.join();
        }
        return taken_;
    }

  private:
    std::atomic<bool> stop_{false};
    std::uint64_t taken_ = 0;
    std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
    const std::size_t calls = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 200000;
    const double ticksPerNs = TicksPerNs();
    const auto pacedGap = static_cast<std::uint64_t>(kPacedIntervalNs * ticksPerNs);
    std::printf("line of %zu bytes, %zu calls per case, time-stamp counter at %.3f GHz\n",
                kLine.size() + 1, calls, ticksPerNs);
    Figures timer = Measure(calls, 0, [] {}).In(ticksPerNs);
    std::printf("(timer overhead: median %.0f ns, included in every figure)\n\n", timer.median);

    // 1. No console at all.
    Figures absent;
    std::uint64_t absentDropped = 0;
    {
        nemora::DebugClient client;
        absent = Measure(calls, 0, [&] { client.Line(kLine); }).In(ticksPerNs);
        absentDropped = client.DroppedLines();
    }

    // 2. A console whose window thread is frozen: the pipe is full, the writer
    // is stuck in a write.
    Figures frozen;
    std::uint64_t frozenDropped = 0;
    {
        nemora::UniqueFileHandle server(CreateNamedPipeW(
            nemora::kPipeName, PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
            1, 0, nemora::kPipeInputBufferBytes, 0, nullptr));
        nemora::DebugClient client;
        for (int i = 0; i < 10000; ++i) {
            client.Line(kLine);
        }
        ConnectNamedPipe(server.get(), nullptr);
        while (client.Flush(100ms)) {
            client.Line(kLine);  // keeps writing until the pipe stays full
        }
        frozen = Measure(calls, 0, [&] { client.Line(kLine); }).In(ticksPerNs);
        frozenDropped = client.DroppedLines();
        client.Shutdown();  // gives up after its flush timeout
        DisconnectNamedPipe(server.get());
    }

    // 3. The console's intake keeping up, with the window thread's part done by a consumer.
    nemora::UniqueHandle listener(
        CreateThread(nullptr, 0, nemora::RunPipeListener, nullptr, 0, nullptr));
    Figures flatOut;
    Figures paced;
    std::uint64_t flatOutDropped = 0;
    std::uint64_t pacedDropped = 0;
    std::uint64_t delivered = 0;
    double deliveredSeconds = 0;
    {
        Consumer consumer;
        {
            nemora::DebugClient client;
            client.Line("warm-up");
            client.Flush(5000ms);
            const auto start = std::chrono::steady_clock::now();
            flatOut = Measure(calls, 0, [&] { client.Line(kLine); }).In(ticksPerNs);
            client.Flush(10000ms);
            deliveredSeconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            flatOutDropped = client.DroppedLines();
            paced = Measure(calls / 10, pacedGap, [&] { client.Line(kLine); }).In(ticksPerNs);
            pacedDropped = client.DroppedLines() - flatOutDropped;
        }
        delivered = consumer.Stop();
    }

    // 4. The same line written straight to the pipe with a blocking WriteFile.
    Figures direct;
    {
        Consumer consumer;
        const nemora::UniqueFileHandle pipe = OpenConsolePipe();
        if (!pipe) {
            std::printf("could not open the pipe for the direct writes\n");
            return 1;
        }
        std::string line(kLine);
        line += '\n';
        DWORD written = 0;
        direct = Measure(calls, 0, [&] {
                     WriteFile(pipe.get(), line.data(), DWORD(line.size()), &written, nullptr);
                 }).In(ticksPerNs);
    }

    std::printf(
        "per call, ns; after the bar: how many times cheaper than the direct WriteFile"
        " (median, p99)\n");
    Print("direct blocking WriteFile, reader keeping up", direct, direct);
    Print("Line(), console keeping up, flat out", flatOut, direct);
    Print("Line(), console keeping up, one per 50 us", paced, direct);
    Print("Line(), no console", absent, direct);
    Print("Line(), console frozen (pipe full)", frozen, direct);
    std::printf("\nflat out: %zu calls delivered in %.3f s with %llu dropped by the client\n",
                calls, deliveredSeconds, static_cast<unsigned long long>(flatOutDropped));
    std::printf("paced: %llu dropped; the console's queue took %llu lines, dropped %llu\n",
                static_cast<unsigned long long>(pacedDropped),
                static_cast<unsigned long long>(delivered),
                static_cast<unsigned long long>(nemora::PendingLines().Dropped()));
    std::printf("no console: %llu dropped; frozen console: %llu dropped\n",
                static_cast<unsigned long long>(absentDropped),
                static_cast<unsigned long long>(frozenDropped));
    return 0;
}
