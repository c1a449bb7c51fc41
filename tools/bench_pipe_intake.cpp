// Measures what the listener path costs against the pipe itself, on this
// machine, in one run:
//   raw       a pipe with the console's parameters, written by a client thread
//             as fast as it can and read into a 4096-byte buffer and discarded;
//   listener  the real RunPipeListener (reads, framing, queueing) with a
//             consumer thread taking the queued Lines as fast as it can.
// Both are fed the same bytes in the same writes; the figures and their ratio
// are printed for short and for near-cap lines.
//
//   bench_pipe_intake [MiB per run, default 64]

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
#include "intake/line_framer.h"
#include "intake/pipe_listener.h"

namespace nemora {
namespace {

using Clock = std::chrono::steady_clock;

constexpr wchar_t kRawPipeName[] = L"\\\\.\\pipe\\nemora-bench-raw";
constexpr std::size_t kWriteBytes = 65536;  // one client write: whole lines, about this many bytes
constexpr int kRepeats = 3;                 // best of, to damp the noise of a shared machine

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

Figures MeasureListener(const std::string& block, std::uint64_t blocks) {
    const std::size_t droppedBefore = PendingLines().Dropped();
    std::atomic<bool> go{false};
    Figures figures;
    std::thread consumer([&] {
        while (!go.load()) {
            std::this_thread::yield();
        }
        for (;;) {
            std::vector<Line> lines = TakeAllLines();
            if (lines.empty()) {
                std::this_thread::yield();
                continue;
            }
            for (const Line& line : lines) {
                if (line == kDisconnectedLine) {
                    return;
                }
                if (line != kConnectedLine) {
                    ++figures.lines;
                    figures.bytes += line.size() + 1;
                }
            }
        }
    });
    HANDLE client = OpenForWriting(kPipeName);
    const auto start = Clock::now();
    go.store(true);
    WriteBlocks(client, block, blocks);
    CloseHandle(client);
    consumer.join();
    const auto end = Clock::now();
    figures.seconds = std::chrono::duration<double>(end - start).count();
    figures.dropped = PendingLines().Dropped() - droppedBefore;
    return figures;
}

void KeepBest(Figures& best, const Figures& figures, int round) {
    if (round == 0 || figures.seconds < best.seconds) {
        best = figures;
    }
}

void Print(const char* name, const Figures& figures) {
    std::printf("  %-9s %9.1f MB/s %12.0f lines/s  (%.3f s, %llu lines", name, figures.MBps(),
                figures.LinesPerSecond(), figures.seconds,
                static_cast<unsigned long long>(figures.lines));
    if (figures.dropped > 0) {
        std::printf(", %llu dropped by the queue limit",
                    static_cast<unsigned long long>(figures.dropped));
    }
    std::printf(")\n");
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
        Figures raw;
        Figures listener;
        for (int round = 0; round < kRepeats; ++round) {
            KeepBest(raw, MeasureRaw(block, blocks, lineBytes), round);
            KeepBest(listener, MeasureListener(block, blocks), round);
        }
        std::printf("%zu-byte lines (%zu bytes of text + line feed):\n", lineBytes, lineBytes - 1);
        Print("raw pipe", raw);
        Print("listener", listener);
        std::printf("  listener/raw: %.2f (MB/s)\n", listener.MBps() / raw.MBps());
    }
    return 0;
}

}  // namespace
}  // namespace nemora

int main(int argc, char** argv) {
    std::uint64_t mebibytes = 64;
    if (argc > 1) {
        mebibytes = std::max(1ull, std::strtoull(argv[1], nullptr, 10));
    }
    return nemora::Run(mebibytes);
}
