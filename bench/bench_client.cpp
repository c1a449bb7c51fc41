// What one DebugClient::Line call costs its caller, per call (median and tail,
// in nanoseconds), whatever the real console does: keeping up, absent, or with
// its window thread blocked; beside a direct blocking WriteFile of the same line
// to the same console, measured in the same run.
//
// The console is nemora-console.exe, started by this tool as a process of its
// own (or the one already running, which is then left running). Its window
// thread is blocked by suspending it from here. For scale, one more case: a
// pipe whose reader never reads, so that the client's writer stays stuck in a
// write with the pipe full (a private pipe name, so it works beside a console).
//
// Each case is measured flat out (calls back to back) and paced (one call per
// 50 us, a host that logs steadily), each with a fresh client.
//
// Last, how long a Line() waits while another thread's one call queues two
// million lines.
//
// Run: bench_client.exe [calls]   (default 200000 per flat-out case; a tenth paced)
//      bench_client.exe big-call  (the two-million-line call only)

#include <windows.h>

#include <intrin.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/console_window.h"
#include "client/nemora_client.h"
#include "driver/console_process.h"
#include "driver/unique_handle.h"
#include "tsc_clock.h"

namespace {

using namespace std::chrono_literals;
using nemora::bench::TicksPerNs;

// A typical per-frame debug line.
constexpr std::string_view kLine = "frame 123456: position=(12.5, -3.25, 8.0) speed=4.75 state=run";

// A host that logs steadily instead of flat out: one line per this many ns.
constexpr double kPacedIntervalNs = 50'000.0;

struct Figures {
    double median = 0;
    double p99 = 0;
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
        return {at(0.5), at(0.99), double(ticks_.back()) / ticksPerNs};
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

// A pipe nobody else serves: the reader that never reads.
constexpr wchar_t kStuckPipeName[] = L"\\\\.\\pipe\\nemora-bench-stuck";
// And one nobody serves at all, for "no console" beside a console that was already running.
constexpr wchar_t kUnservedPipeName[] = L"\\\\.\\pipe\\nemora-bench-unserved";
// The pipe's in-buffer, as the console makes it.
constexpr DWORD kPipeBufferBytes = 65536;

struct Row {
    std::string label;
    Figures flatOut;
    Figures paced;
    std::string note;
};

struct Run {
    std::size_t calls = 0;
    std::uint64_t pacedGap = 0;
    double ticksPerNs = 1;
};

// Measures Line() flat out and paced, each with a fresh client that `prepare`
// readies (connects, say) and whose result is kept until the client has had
// `flush` to write what it holds. The note says what became of the lines.
template <typename Prepare>
Row MeasureClient(const Run& run, std::string label, const nemora::DebugClientOptions& options,
                  Prepare&& prepare, std::chrono::milliseconds flush) {
    Row row{std::move(label), {}, {}, {}};
    std::uint64_t dropped = 0;
    bool allWritten = true;
    for (const bool paced : {false, true}) {
        nemora::DebugClient client(options);
        [[maybe_unused]] const auto kept = prepare(client);
        const std::size_t count = paced ? run.calls / 10 : run.calls;
        const Figures figures = Measure(count, paced ? run.pacedGap : 0, [&] {
                                    client.Line(kLine);
                                }).In(run.ticksPerNs);
        (paced ? row.paced : row.flatOut) = figures;
        allWritten = client.Flush(flush) && allWritten;
        dropped += client.DroppedLines();
    }
    row.note = std::to_string(dropped) + " lines dropped by the client" +
               (allWritten ? ", the rest written to the pipe" : ", the rest never written");
    return row;
}

// Connects the client before the clock starts: the first line goes through.
int Connect(nemora::DebugClient& client) {
    client.Line("bench: connecting");
    client.Flush(10s);
    return 0;
}

// The console's window thread, suspended for as long as this lives.
class SuspendedThread {
  public:
    explicit SuspendedThread(DWORD id)
        : thread_(OpenThread(THREAD_SUSPEND_RESUME, FALSE, id)),
          suspended_(thread_ && SuspendThread(thread_.get()) != static_cast<DWORD>(-1)) {}
    ~SuspendedThread() {
        if (suspended_) {
            ResumeThread(thread_.get());
        }
    }
    SuspendedThread(const SuspendedThread&) = delete;
    SuspendedThread& operator=(const SuspendedThread&) = delete;
    bool suspended() const { return suspended_; }

  private:
    nemora::UniqueHandle thread_;
    bool suspended_;
};

// A pipe server that takes a client and then never reads.
class StuckReader {
  public:
    StuckReader()
        : pipe_(CreateNamedPipeW(kStuckPipeName, PIPE_ACCESS_INBOUND,
                                 PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 0,
                                 kPipeBufferBytes, 0, nullptr)) {}
    ~StuckReader() { DisconnectNamedPipe(pipe_.get()); }
    StuckReader(const StuckReader&) = delete;
    StuckReader& operator=(const StuckReader&) = delete;

    // Fills the pipe through the client until its writer is stuck in a write.
    void Fill(nemora::DebugClient& client) {
        for (int i = 0; i < 10000; ++i) {
            client.Line(kLine);
        }
        ConnectNamedPipe(pipe_.get(), nullptr);  // the writer may have connected already
        while (client.Flush(100ms)) {
            client.Line(kLine);  // the pipe took it all: more, until it stays full
        }
    }

  private:
    nemora::UniqueFileHandle pipe_;
};

void PrintFigures(const Figures& f, const Figures& direct) {
    std::printf(" %8.0f %8.0f %9.0f %6.0fx %6.0fx |", f.median, f.p99, f.max,
                direct.median / f.median, direct.p99 / f.p99);
}

void PrintTable(const std::vector<Row>& rows, const Row& direct) {
    std::printf("%-46s|%-45s|%-45s\n", "", "  flat out (ns per call)", "  one call per 50 us (ns)");
    std::printf("%-46s|", "case");
    for (int i = 0; i < 2; ++i) {
        std::printf(" %8s %8s %9s %7s %7s |", "median", "p99", "max", "vs WF", "vs WF");
    }
    std::printf("\n");
    for (const Row& row : rows) {
        std::printf("%-46s|", row.label.c_str());
        PrintFigures(row.flatOut, direct.flatOut);
        PrintFigures(row.paced, direct.paced);
        std::printf("\n");
    }
    std::printf("\n(vs WF: how many times cheaper than the direct WriteFile, median and p99)\n");
    for (const Row& row : rows) {
        if (!row.note.empty()) {
            std::printf("%s: %s\n", row.label.c_str(), row.note.c_str());
        }
    }
}

// How long a Line() on one thread waits while another thread's single call
// queues kBigCallLines lines (kept together, so the client's lock is taken
// once for the call), against the same thread's longest Line() beside a
// thread kept as busy for as long without the client (what the machine's
// scheduling alone costs): the worst of kBigCallRounds rounds, a fresh client
// each (no console: a pipe name nobody serves; the buffer keeps the newest).
constexpr std::size_t kBigCallLines = 2'000'000;
constexpr int kBigCallRounds = 5;

struct BigCallFigures {
    double callMs = 0;     // the big call itself
    double longestMs = 0;  // the other thread's longest Line() meanwhile
    std::size_t calls = 0;
};

BigCallFigures MeasureBigCall(const std::string& text, double ticksPerNs, bool withBigCall,
                              std::uint64_t busyTicks) {
    nemora::DebugClientOptions options;
    options.pipeName = kUnservedPipeName;
    options.flushTimeout = 0ms;
    nemora::DebugClient client(options);
    std::atomic<bool> started{false};
    std::atomic<bool> done{false};
    std::uint64_t longest = 0;
    std::size_t calls = 0;
    std::thread other([&] {
        started = true;
        while (!done.load()) {
            const std::uint64_t start = __rdtsc();
            client.Line("frame");
            longest = std::max(longest, __rdtsc() - start);
            ++calls;
        }
    });
    while (!started.load()) {
        _mm_pause();
    }
    Sleep(20);  // the other thread well under way
    const std::uint64_t start = __rdtsc();
    if (withBigCall) {
        client.Line(text);
    } else {
        // As busy as a big call for as long, without the client: the other
        // thread's longest Line() then counts only its own cost and the
        // machine's scheduling (two busy threads on few cores).
        const std::uint64_t end = start + busyTicks;
        std::size_t lines = 0;
        while (__rdtsc() < end) {
            lines += static_cast<std::size_t>(std::count(text.begin(), text.begin() + 65536, '\n'));
        }
        volatile std::size_t sink = lines;
        (void)sink;
    }
    const std::uint64_t took = __rdtsc() - start;
    done = true;
    other.join();
    return {double(took) / ticksPerNs / 1e6, double(longest) / ticksPerNs / 1e6, calls};
}

void PrintBigCall(double ticksPerNs) {
    std::string text;
    for (std::size_t i = 0; i < kBigCallLines; ++i) {
        text += "entry ";
        text += std::to_string(i);
        text += '\n';
    }
    BigCallFigures worst;
    BigCallFigures alone;
    for (int round = 0; round < kBigCallRounds; ++round) {
        const BigCallFigures with = MeasureBigCall(text, ticksPerNs, true, 0);
        const BigCallFigures without = MeasureBigCall(
            text, ticksPerNs, false, static_cast<std::uint64_t>(with.callMs * 1e6 * ticksPerNs));
        if (with.longestMs > worst.longestMs) {
            worst = with;
        }
        alone.longestMs = std::max(alone.longestMs, without.longestMs);
    }
    std::printf(
        "one Line() of %zu lines (%zu bytes) on one thread, Line(\"frame\") on another,"
        " worst of %d rounds:\n"
        "  the big call took %.1f ms; the other thread's longest Line() meanwhile %.3f ms"
        " (target <= 1 ms), %.1fx its longest beside a thread as busy for as long without the"
        " client (%.3f ms)\n",
        kBigCallLines, text.size(), kBigCallRounds, worst.callMs, worst.longestMs,
        worst.longestMs / alone.longestMs, alone.longestMs);
}

}  // namespace

int main(int argc, char** argv) {
    using nemora::test::ConsoleProcess;
    if (argc > 1 && std::string_view(argv[1]) == "big-call") {
        PrintBigCall(TicksPerNs());
        return 0;
    }
    Run run;
    run.calls = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 200000;
    if (run.calls < 100) {
        std::fprintf(stderr, "usage: bench_client [calls per case, at least 100]\n");
        return 2;
    }
    run.ticksPerNs = TicksPerNs();
    run.pacedGap = static_cast<std::uint64_t>(kPacedIntervalNs * run.ticksPerNs);
    std::printf(
        "line of %zu bytes, %zu calls flat out and %zu paced per case,"
        " time-stamp counter at %.3f GHz\n",
        kLine.size() + 1, run.calls, run.calls / 10, run.ticksPerNs);
    const Figures timer = Measure(run.calls, 0, [] {}).In(run.ticksPerNs);
    std::printf("(timer overhead: median %.0f ns, included in every figure)\n", timer.median);

    std::vector<Row> rows;

    // No console. A console that was already running is left alone; the
    // client then looks for a pipe name nobody serves, which it sees the same way.
    HWND running = FindWindowW(nemora::kWindowClassName, nullptr);
    {
        nemora::DebugClientOptions options;
        if (running != nullptr) {
            options.pipeName = kUnservedPipeName;
        }
        rows.push_back(MeasureClient(
            run, "Line(), no console", options, [](nemora::DebugClient&) { return 0; }, 0ms));
        if (running != nullptr) {
            rows.back().note += " (a console was running: a pipe name nobody serves instead)";
        }
    }

    // A reader that never reads: the writer stuck in a write, the pipe full.
    {
        nemora::DebugClientOptions options;
        options.pipeName = kStuckPipeName;
        rows.push_back(MeasureClient(
            run, "Line(), pipe full (reader never reads)", options,
            [](nemora::DebugClient& client) {
                auto reader = std::make_unique<StuckReader>();
                reader->Fill(client);
                return reader;
            },
            0ms));
    }

    ConsoleProcess console;
    if (running == nullptr) {
        if (!console.Start()) {
            std::fprintf(stderr, "could not start %ls\n",
                         nemora::test::BuildTreePath(L"app\\nemora-console.exe").c_str());
            return 1;
        }
        running = console.window();
        std::printf("started nemora-console.exe (process %lu)\n", console.pid());
    } else {
        std::printf("using the nemora-console.exe already running\n");
    }
    const DWORD windowThread = GetWindowThreadProcessId(running, nullptr);

    rows.push_back(MeasureClient(run, "Line(), console keeping up", {}, Connect, 10s));

    {
        bool suspended = true;
        rows.push_back(MeasureClient(
            run, "Line(), console's window thread blocked", {},
            [&](nemora::DebugClient& client) {
                Connect(client);  // while the console still answers
                auto blocked = std::make_unique<SuspendedThread>(windowThread);
                // Blocked indeed: the window no longer answers a message.
                suspended = suspended && blocked->suspended() &&
                            SendMessageTimeoutW(running, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 500,
                                                nullptr) == 0;
                return blocked;  // resumed once the client has had its flush
            },
            2s));
        if (!suspended) {
            rows.back().note += " (could not suspend the window thread: measured unblocked)";
        }
    }

    // The same line written straight to the console's pipe with a blocking
    // WriteFile, the console keeping up: what the host would pay without the client.
    Row direct{"direct blocking WriteFile, console keeping up", {}, {}, {}};
    {
        nemora::test::PipeClient pipe;
        if (!pipe.Connect(10s)) {
            std::fprintf(stderr, "could not open the console's pipe for the direct writes\n");
            return 1;
        }
        std::string line(kLine);
        line += '\n';
        DWORD written = 0;
        const auto write = [&] {
            WriteFile(pipe.handle(), line.data(), DWORD(line.size()), &written, nullptr);
        };
        direct.flatOut = Measure(run.calls, 0, write).In(run.ticksPerNs);
        direct.paced = Measure(run.calls / 10, run.pacedGap, write).In(run.ticksPerNs);
    }
    rows.insert(rows.begin(), direct);

    std::printf("\n");
    PrintTable(rows, direct);
    std::printf("\n");
    PrintBigCall(run.ticksPerNs);
    if (console.process() != nullptr) {
        console.Close();
    }
    return 0;
}
