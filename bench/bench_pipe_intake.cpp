// Measures what the listener path costs against the pipe itself, on this
// machine, in one run:
//   raw       a pipe with the console's parameters, written by a client thread
//             as fast as it can and read into a 4096-byte buffer and discarded;
//   listener  the real RunPipeListener (reads, framing, queueing) with a
//             consumer thread taking the queued Lines as fast as it can;
//   no pipe   the same framing and queueing fed from memory, for scale.
// All are fed the same bytes in the same writes; the figures and their ratio
// are printed for short and for near-cap lines. The kinds of run alternate
// and the best of several rounds counts, with every round shown: pipe
// throughput swings widely with where the threads happen to run and how fast
// they wake each other (under Wine, by a factor of several between rounds),
// and an eager reader is not always the fastest one.
//
//   bench_pipe_intake [MiB per run, default 24]

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "handoff/handoff.h"
#include "handoff/handoff_test_seam.h"
#include "intake/line_framer.h"
#include "intake/pipe_listener.h"

namespace nemora {
namespace {

using Clock = std::chrono::steady_clock;

constexpr wchar_t kRawPipeName[] = L"\\\\.\\pipe\\nemora-bench-raw";
constexpr std::size_t kWriteBytes = 65536;  // one client write: whole lines, about this many bytes
constexpr int kRepeats = 7;                 // best of, to damp the noise of a shared machine

struct Figures {
    double seconds = 0;
    std::uint64_t bytes = 0;
    std::uint64_t lines = 0;
    std::uint64_t dropped = 0;
    double MBps() const { return bytes / seconds / 1e6; }
    double LinesPerSecond() const { return lines / seconds; }
};

// Whole lines of lineBytes each (line feed included), filling about one write.
std::string MakeBlock(std::size_t lineBytes) {
    const std::size_t lines = std::max<std::size_t>(1, kWriteBytes / lineBytes);
    std::string block;
    block.reserve(lines * lineBytes);
    for (std::size_t i = 0; i < lines; ++i) {
        for (std::size_t j = 0; j + 1 < lineBytes; ++j) {
            block += static_cast<char>('!' + (i + j) % 90);
        }
        block += '\n';
    }
    return block;
}

HANDLE CreatePipeLikeTheConsole(const wchar_t* name) {
    return CreateNamedPipeW(name, PIPE_ACCESS_INBOUND,
                            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 0,
                            kPipeInputBufferBytes, 0, nullptr);
}

HANDLE OpenForWriting(const wchar_t* name) {
    for (;;) {
        HANDLE pipe = CreateFileW(name, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            return pipe;
        }
        Sleep(1);  // the server is not waiting yet
    }
}

bool WriteBlocks(HANDLE pipe, const std::string& block, std::uint64_t count) {
    for (std::uint64_t i = 0; i < count; ++i) {
        DWORD written = 0;
        if (!WriteFile(pipe, block.data(), static_cast<DWORD>(block.size()), &written, nullptr) ||
            written != block.size()) {
            return false;
        }
    }
    return true;
}

Figures MeasureRaw(const std::string& block, std::uint64_t blocks, std::size_t lineBytes) {
    HANDLE server = CreatePipeLikeTheConsole(kRawPipeName);
    if (server == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "can't create the raw pipe (error %lu)\n", GetLastError());
        std::exit(1);
    }
    struct Reader {
        HANDLE server;
        std::uint64_t received = 0;
        static DWORD WINAPI Run(void* self) {
            Reader& reader = *static_cast<Reader*>(self);
            ConnectNamedPipe(reader.server, nullptr);
            static char buffer[kReadChunk];
            DWORD read = 0;
            while (ReadFile(reader.server, buffer, kReadChunk, &read, nullptr) && read > 0) {
                reader.received += read;
            }
            return 0;
        }
    } state{server};
    HANDLE thread = CreateThread(nullptr, 0, Reader::Run, &state, 0, nullptr);
    HANDLE client = OpenForWriting(kRawPipeName);
    const auto start = Clock::now();
    WriteBlocks(client, block, blocks);
    CloseHandle(client);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    const std::uint64_t received = state.received;
    const auto end = Clock::now();
    DisconnectNamedPipe(server);
    CloseHandle(server);

    Figures figures;
    figures.seconds = std::chrono::duration<double>(end - start).count();
    figures.bytes = received;
    figures.lines = received / lineBytes;
    return figures;
}

// How the consumer learns that Lines are waiting.
enum class Wake {
    kPolling,   // takes over and over, yielding when it finds none
    kMessages,  // the console's way: sleeps until PushLine posts WM_CONSOLE_DRAIN
};

// Takes queued Lines as fast as it can, counting client Lines, until the
// end-of-client status Line.
class Consumer {
  public:
    explicit Consumer(Wake wake) : wake_(wake) {
        thread_ = std::thread([this] { Run(); });
        while (!ready_.load()) {
            std::this_thread::yield();
        }
    }

    void Go() { go_.store(true); }

    // Waits for the end Line and fills in the counts.
    void Finish(Figures& figures) {
        thread_.join();
        figures.lines = lines_;
        figures.bytes = bytes_;
        figures.dropped = dropped_;
    }

  private:
    void Run() {
        HWND window = nullptr;
        if (wake_ == Wake::kMessages) {
            window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                     nullptr, nullptr);
            drainPending.store(0);
            mainWindow.store(window);
        }
        ready_.store(true);
        while (!go_.load()) {
            std::this_thread::yield();
        }
        if (window != nullptr) {
            MSG msg;
            while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
                if (msg.message == WM_CONSOLE_DRAIN) {
                    drainPending.exchange(0);
                    if (Count(TakeEverything(PendingLines()))) {
                        break;
                    }
                }
            }
            mainWindow.store(nullptr);
            DestroyWindow(window);
            return;
        }
        for (;;) {
            const TakenLines taken = TakeEverything(PendingLines());
            if (taken.lines.empty()) {
                std::this_thread::yield();
            } else if (Count(taken)) {
                return;
            }
        }
    }

    // True once the end Line has come.
    bool Count(const TakenLines& taken) {
        dropped_ += taken.dropped;
        for (const Line& line : taken.lines) {
            if (line == kDisconnectedLine) {
                return true;
            }
            if (line != kConnectedLine) {
                ++lines_;
                bytes_ += line.size() + 1;
            }
        }
        return false;
    }

    const Wake wake_;
    std::atomic<bool> ready_{false};
    std::atomic<bool> go_{false};
    std::uint64_t lines_ = 0;
    std::uint64_t bytes_ = 0;
    std::uint64_t dropped_ = 0;
    std::thread thread_;
};

Figures MeasureListener(const std::string& block, std::uint64_t blocks, Wake wake) {
    Consumer consumer(wake);
    HANDLE client = OpenForWriting(kPipeName);
    const auto start = Clock::now();
    consumer.Go();
    WriteBlocks(client, block, blocks);
    CloseHandle(client);
    Figures figures;
    consumer.Finish(figures);
    figures.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return figures;
}

// The listener's own work without the pipe: the same bytes fed to a
// LineFramer in read-sized pieces straight from memory, Lines queued and
// taken as on the listener path. What the framing and queueing alone allow.
Figures MeasureFramingAlone(const std::string& block, std::uint64_t blocks, std::size_t lineBytes) {
    Consumer consumer(Wake::kPolling);
    LineFramer framer;
    const auto start = Clock::now();
    consumer.Go();
    for (std::uint64_t i = 0; i < blocks; ++i) {
        for (std::size_t offset = 0; offset < block.size(); offset += kReadChunk) {
            framer.Feed(block.data() + offset, std::min(kReadChunk, block.size() - offset));
        }
    }
    PushLine(kDisconnectedLine);
    Figures figures;
    consumer.Finish(figures);
    figures.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    // What the framer handed on, taken or dropped: the consumer is not what is measured here.
    figures.bytes = blocks * block.size();
    figures.lines = figures.bytes / lineBytes;
    return figures;
}

// The best round's figures, plus every round's MB/s to show the spread.
struct Rounds {
    Figures best;
    std::vector<double> MBps;
    void Add(const Figures& figures) {
        if (MBps.empty() || figures.seconds < best.seconds) {
            best = figures;
        }
        MBps.push_back(figures.MBps());
    }
    double Median() const {
        std::vector<double> sorted = MBps;
        std::sort(sorted.begin(), sorted.end());
        return sorted[sorted.size() / 2];
    }
};

void Print(const char* name, const Rounds& rounds) {
    const Figures& figures = rounds.best;
    std::printf("  %-46s %8.1f MB/s %10.0f lines/s  (%.3f s, %llu lines", name, figures.MBps(),
                figures.LinesPerSecond(), figures.seconds,
                static_cast<unsigned long long>(figures.lines));
    if (figures.dropped > 0) {
        std::printf(", %llu dropped by the queue limit",
                    static_cast<unsigned long long>(figures.dropped));
    }
    std::printf(")\n  %-46s every round:", "");
    for (double MBps : rounds.MBps) {
        std::printf(" %.0f", MBps);
    }
    std::printf(" MB/s, median %.0f\n", rounds.Median());
}

int Run(std::uint64_t mebibytes) {
    // The listener serves the console's own pipe name: nothing else may be
    // serving it (no console running) while this runs.
    CreateThread(nullptr, 0, RunPipeListener, nullptr, 0, nullptr);
    TakeAllLines();

    std::printf("pipe intake, %llu MiB per run, best of %d, %zu-byte client writes\n",
                static_cast<unsigned long long>(mebibytes), kRepeats, kWriteBytes);
    for (const std::size_t lineBytes : {std::size_t{64}, kMaxLineBytes}) {
        const std::string block = MakeBlock(lineBytes);
        const std::uint64_t blocks = std::max<std::uint64_t>(1, (mebibytes << 20) / block.size());
        // Alternated, so that a slow spell of the machine hits both alike.
        Rounds raw;
        Rounds polled;
        Rounds woken;
        Rounds framing;
        for (int round = 0; round < kRepeats; ++round) {
            raw.Add(MeasureRaw(block, blocks, lineBytes));
            polled.Add(MeasureListener(block, blocks, Wake::kPolling));
            woken.Add(MeasureListener(block, blocks, Wake::kMessages));
            framing.Add(MeasureFramingAlone(block, blocks, lineBytes));
        }
        std::printf("%zu-byte lines (%zu bytes of text + line feed):\n", lineBytes, lineBytes - 1);
        Print("raw pipe", raw);
        Print("listener, polling consumer", polled);
        Print("listener, consumer woken by WM_CONSOLE_DRAIN", woken);
        Print("framing and queueing alone, from memory", framing);
        std::printf(
            "  listener/raw, best: %.2f polling, %.2f woken; median: %.2f polling, %.2f woken\n",
            polled.best.MBps() / raw.best.MBps(), woken.best.MBps() / raw.best.MBps(),
            polled.Median() / raw.Median(), woken.Median() / raw.Median());
    }
    return 0;
}

}  // namespace
}  // namespace nemora

int main(int argc, char** argv) {
    std::uint64_t mebibytes = 24;
    if (argc > 1) {
        mebibytes = std::max(1ull, std::strtoull(argv[1], nullptr, 10));
    }
    return nemora::Run(mebibytes);
}
