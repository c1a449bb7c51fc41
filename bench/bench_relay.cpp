// nemora-relay's figures against limits measured in the same run, one table:
// - the highest paced rate at which every line reaches the view, from 1, 4
//   and 16 clients through the relay, against one client straight to the
//   console (the console's own limit, for lines as long as the relayed ones
//   with their prefix; target: relayed >= 80% of it);
// - what one OutputDebugStringA call costs (median, p99) with no reader, with
//   a minimal reader that copies each string and releases the writer (the
//   channel's floor; a process of its own, as the relay is), and with the
//   relay's --debug-output (target: <= 1.2x the floor), and with the relay
//   filtering every string out, which parts the relay's own reading from the
//   console's drawing on the same cores;
// - the relay's own CPU time per 100,000 lines.
//
// Run: bench/bench-relay.sh (the real console and relay, under Wine);
// bench/bench-relay.sh --debug-output-only for the OutputDebugStringA rows alone.

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "driver/console_process.h"
#include "driver/numbered_lines.h"
#include "driver/observers.h"
#include "driver/unique_handle.h"
#include "driver/wait.h"

namespace nemora::bench {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// ------------------------------------------------------------ the relay process

class RelayProcess {
  public:
    bool Start(const std::wstring& arguments) {
        const std::wstring exe = test::BuildTreePath(L"tools\\nemora-relay.exe");
        std::wstring commandLine = L"\"" + exe + L"\" " + arguments;
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                            CREATE_NEW_CONSOLE, nullptr, nullptr, &startup, &info)) {
            return false;
        }
        process_.reset(info.hProcess);
        CloseHandle(info.hThread);
        pid_ = info.dwProcessId;
        return true;
    }
    // Ctrl+C on its console, as a user ends it.
    bool Stop() {
        FreeConsole();
        if (AttachConsole(pid_)) {
            SetConsoleCtrlHandler(nullptr, TRUE);
            GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
            FreeConsole();
        }
        if (WaitForSingleObject(process_.get(), 10000) != WAIT_OBJECT_0) {
            TerminateProcess(process_.get(), 99);
            return false;
        }
        return true;
    }
    // User and kernel time so far, in seconds.
    double CpuSeconds() const {
        FILETIME created, exited, kernel, user;
        if (!GetProcessTimes(process_.get(), &created, &exited, &kernel, &user)) {
            return 0;
        }
        const auto value = [](FILETIME t) {
            return static_cast<double>((ULONGLONG{t.dwHighDateTime} << 32) | t.dwLowDateTime) / 1e7;
        };
        return value(kernel) + value(user);
    }

  private:
    UniqueHandle process_;
    DWORD pid_ = 0;
};

// A figure in microseconds, the median and the 99th percentile.
struct Cost {
    double medianUs = 0, p99Us = 0;
};

// ------------------------------------------------------------ paced lines

// Streams "#A..." to "#P...", one per client, each numbered from where it left off.
// A client straight to the console writes the relay's prefix itself, so that
// the view gets the same text either way: a longer line costs the view more.
struct Streams {
    std::vector<test::PipeClient> clients;
    std::vector<std::uint32_t> next;
    std::string prefix;  // written before each line
};

std::uint64_t Shown(const test::ViewProbe& probe, std::size_t streams) {
    std::uint64_t shown = 0;
    for (std::size_t s = 0; s < streams; ++s) {
        shown += probe.stream(static_cast<char>('A' + s)).shown.load();
    }
    return shown;
}

// Waits until the view has taken no line for `quiet`.
void Settle(const test::ViewProbe& probe, std::chrono::milliseconds quiet) {
    std::uint64_t lines = probe.counters().lines.load();
    auto changed = Clock::now();
    test::WaitUntil(
        [&] {
            const std::uint64_t now = probe.counters().lines.load();
            if (now != lines) {
                lines = now;
                changed = Clock::now();
            }
            return Clock::now() - changed >= quiet;
        },
        30s);
}

// Writes `seconds` of lines at `rate` a second in all, the clients taking
// turns line by line; every millisecond or so, what is due goes out, one write
// per client. True if every line reached the view.
bool EveryLineShown(Streams& streams, const test::ViewProbe& probe, double rate, double seconds) {
    const std::size_t count = static_cast<std::size_t>(rate * seconds);
    const std::size_t clients = streams.clients.size();
    Settle(probe, 200ms);
    const std::uint64_t before = Shown(probe, clients);
    std::vector<std::string> chunks(clients);
    const auto start = Clock::now();
    std::size_t sent = 0;
    while (sent < count) {
        const auto due =
            std::min(count, static_cast<std::size_t>(Seconds(Clock::now() - start) * rate) + 1);
        for (; sent < due; ++sent) {
            const std::size_t c = sent % clients;
            chunks[c] += streams.prefix;
            test::AppendNumberedLine(chunks[c], static_cast<char>('A' + c), streams.next[c]++);
        }
        for (std::size_t c = 0; c < clients; ++c) {
            if (!chunks[c].empty()) {
                streams.clients[c].Write(chunks[c]);
                chunks[c].clear();
            }
        }
        Sleep(1);
    }
    // Every line shown, or none for a second: lines on their way through the
    // relay may take longer than a quiet moment of the view's.
    std::uint64_t shown = Shown(probe, clients);
    auto changed = Clock::now();
    test::WaitUntil(
        [&] {
            const std::uint64_t now = Shown(probe, clients);
            if (now != shown) {
                shown = now;
                changed = Clock::now();
            }
            return shown - before >= count || Clock::now() - changed >= 1s;
        },
        30s);
    return shown - before == count;
}

// A line every 10 ms, as a host logs now and then: from each write to the
// view's taking that line (polled every millisecond; one not taken in 2 s
// counts as 2 s), p50 and p99 of 300.
Cost ShowLatency(Streams& streams, const test::ViewProbe& probe) {
    constexpr int kLines = 300;
    const test::ProbeStream& shown = probe.stream('A');
    Settle(probe, 200ms);
    std::vector<double> us;
    for (int i = 0; i < kLines; ++i) {
        std::string line = streams.prefix;
        test::AppendNumberedLine(line, 'A', streams.next[0]++);
        const std::uint64_t before = shown.shown.load();
        const auto written = Clock::now();
        streams.clients[0].Write(line);
        while (shown.shown.load() == before && Clock::now() - written < 2s) {
            Sleep(1);
        }
        us.push_back(Seconds(Clock::now() - written) * 1e6);
        Sleep(10);
    }
    std::sort(us.begin(), us.end());
    return {us[us.size() / 2], us[static_cast<std::size_t>(0.99 * (us.size() - 1))]};
}

// The highest paced rate with every line shown, searched between 4,000 and 128,000 lines/s.
double ZeroLossRate(Streams& streams, const test::ViewProbe& probe) {
    double low = 4'000, high = 128'000, good = 0;
    for (int run = 0; run < 6; ++run) {
        const double rate = std::sqrt(low * high);
        const bool all = EveryLineShown(streams, probe, rate, 1.0);
        std::fprintf(stderr, "  %zu client(s), %.0f lines/s: %s\n", streams.clients.size(), rate,
                     all ? "every line shown" : "lines lost");
        (all ? low : high) = rate;
        if (all) {
            good = rate;
        }
    }
    return good;
}

// ------------------------------------------------------------ OutputDebugStringA

constexpr char kDebugLine[] = "frame 123456: position=(12.5, -3.25, 8.0) speed=4.75\n";

Cost TimeDebugOutput(int calls) {
    std::vector<double> us;
    us.reserve(static_cast<std::size_t>(calls));
    for (int i = 0; i < calls; ++i) {
        const auto start = Clock::now();
        OutputDebugStringA(kDebugLine);
        us.push_back(Seconds(Clock::now() - start) * 1e6);
    }
    std::sort(us.begin(), us.end());
    return {us[us.size() / 2], us[static_cast<std::size_t>(0.99 * (us.size() - 1))]};
}

// The channel's floor: a reader that copies each string and releases its
// writer, and does nothing else.
class MinimalReader {
  public:
    bool Start() {
        section_.reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                                          L"DBWIN_BUFFER"));
        bufferReady_.reset(CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY"));
        dataReady_.reset(CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY"));
        stop_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!section_ || !bufferReady_ || !dataReady_ || !stop_) {
            return false;
        }
        view_ = static_cast<const char*>(MapViewOfFile(section_.get(), FILE_MAP_READ, 0, 0, 0));
        thread_ = std::thread([this] {
            char copy[4096];
            SetEvent(bufferReady_.get());
            const HANDLE events[] = {dataReady_.get(), stop_.get()};
            while (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0) {
                std::memcpy(copy, view_, sizeof copy);
                SetEvent(bufferReady_.get());
                copies_.fetch_add(1, std::memory_order_relaxed);
            }
        });
        return view_ != nullptr;
    }
    void Stop() {
        SetEvent(stop_.get());
        thread_.join();
        UnmapViewOfFile(view_);
        section_.reset();
        bufferReady_.reset();
        dataReady_.reset();
    }
    std::uint64_t Copies() const { return copies_.load(); }

  private:
    UniqueHandle section_, bufferReady_, dataReady_, stop_;
    const char* view_ = nullptr;
    std::thread thread_;
    std::atomic<std::uint64_t> copies_{0};
};

// "[<pid> <name>] ", as the relay shows this process's lines.
std::string RelayPrefix() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    const std::string full(path);
    return "[" + std::to_string(GetCurrentProcessId()) + " " +
           full.substr(full.find_last_of("\\/") + 1) + "] ";
}

// The minimal reader runs as a process of its own, as the relay does: run as
// "bench_relay.exe --minimal-reader", it reads until the event is set and
// exits with the number of strings it took.
constexpr wchar_t kReaderStopName[] = L"nemora-bench-minimal-reader-stop";
constexpr wchar_t kReaderReadyName[] = L"nemora-bench-minimal-reader-ready";

int RunMinimalReader() {
    const UniqueHandle stop(OpenEventW(SYNCHRONIZE, FALSE, kReaderStopName));
    const UniqueHandle ready(OpenEventW(EVENT_MODIFY_STATE, FALSE, kReaderReadyName));
    MinimalReader reader;
    if (!stop || !ready || !reader.Start()) {
        return 1;
    }
    SetEvent(ready.get());
    WaitForSingleObject(stop.get(), INFINITE);
    reader.Stop();
    return static_cast<int>(reader.Copies());
}

class MinimalReaderProcess {
  public:
    bool Start() {
        wchar_t exe[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, exe, MAX_PATH);
        std::wstring commandLine = L"\"" + std::wstring(exe) + L"\" --minimal-reader";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        if (!stop_ || !ready_ ||
            !CreateProcessW(exe, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                            &startup, &info)) {
            return false;
        }
        process_.reset(info.hProcess);
        CloseHandle(info.hThread);
        const HANDLE events[] = {ready_.get(), process_.get()};
        return WaitForMultipleObjects(2, events, FALSE, 10000) == WAIT_OBJECT_0;
    }
    // The strings the reader took.
    DWORD Stop() {
        SetEvent(stop_.get());
        DWORD copies = 0;
        WaitForSingleObject(process_.get(), 10000);
        GetExitCodeProcess(process_.get(), &copies);
        return copies;
    }

  private:
    UniqueHandle stop_{CreateEventW(nullptr, TRUE, FALSE, kReaderStopName)};
    UniqueHandle ready_{CreateEventW(nullptr, TRUE, FALSE, kReaderReadyName)};
    UniqueHandle process_;
};

// ------------------------------------------------------------ the table

void Row(const char* figure, const std::string& value, const std::string& limit,
         const std::string& ratio, const char* target, bool met) {
    std::printf("| %s | %s | %s | %s | %s%s |\n", figure, value.c_str(), limit.c_str(),
                ratio.c_str(), target, *target ? (met ? " met" : " MISSED") : "");
}

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// Each (kind of) figure in rounds, the cases taking turns, so that a machine
// that slows down meanwhile (it is shared) weighs on them alike.
// A p99 of a few thousand calls moves with every hiccup of a shared machine:
// five rounds of 5,000 give it 50 calls a round above it.
constexpr int kRounds = 5;
constexpr int kDebugCalls = 5000;  // per case and round

std::size_t RelayStartedLines(const test::ConsoleProcess& console) {
    const auto lines = console.ViewLines();
    return static_cast<std::size_t>(
        std::count(lines.begin(), lines.end(), test::Widen(kRelayStartedLine)));
}

bool StartRelay(RelayProcess& relay, const test::ConsoleProcess& console,
                const wchar_t* arguments = L"--debug-output") {
    const std::size_t before = RelayStartedLines(console);
    return relay.Start(arguments) &&
           test::WaitUntil([&] { return RelayStartedLines(console) > before; }, 20s);
}

Cost Median(std::vector<Cost> costs) {
    std::vector<double> medians, p99s;
    for (const Cost& cost : costs) {
        medians.push_back(cost.medianUs);
        p99s.push_back(cost.p99Us);
    }
    std::sort(medians.begin(), medians.end());
    std::sort(p99s.begin(), p99s.end());
    return {medians[medians.size() / 2], p99s[p99s.size() / 2]};
}

struct DebugOutputCosts {
    std::vector<Cost> noReader, floor, relayed, filtered;
};

void DebugOutputRows(const DebugOutputCosts& costs) {
    const Cost none = Median(costs.noReader);
    const Cost bare = Median(costs.floor);
    const Cost relay = Median(costs.relayed);
    const Cost filtered = Median(costs.filtered);
    Row("OutputDebugStringA, median / p99, the relay's --debug-output",
        Format("%.1f", relay.medianUs) + Format(" / %.1f us", relay.p99Us),
        Format("%.1f", bare.medianUs) + Format(" / %.1f us, minimal reader", bare.p99Us),
        Format("%.2fx", relay.medianUs / bare.medianUs) +
            Format(" / %.2fx", relay.p99Us / bare.p99Us),
        "<= 1.2x (both)", relay.medianUs <= 1.2 * bare.medianUs && relay.p99Us <= 1.2 * bare.p99Us);
    Row("... every string filtered out (the relay reads, the console draws nothing)",
        Format("%.1f", filtered.medianUs) + Format(" / %.1f us", filtered.p99Us), "",
        Format("%.2fx", filtered.medianUs / bare.medianUs) +
            Format(" / %.2fx", filtered.p99Us / bare.p99Us),
        "", true);
    Row("OutputDebugStringA, median / p99, no reader",
        Format("%.1f", none.medianUs) + Format(" / %.1f us", none.p99Us), "", "", "", true);
}

constexpr char kTableHead[] =
    "| Figure | Relay | Limit, same run | Ratio | Target |\n|---|---|---|---|---|\n";

int Run(bool debugOutputOnly) {
    test::ConsoleProcess console;
    if (!console.Start()) {
        std::fprintf(stderr, "the console did not start\n");
        return 1;
    }
    test::ViewProbe probe;
    if (!probe.Attach(console)) {
        std::fprintf(stderr, "the view probe did not attach\n");
        return 1;
    }

    DebugOutputCosts costs;
    for (int round = 0; round < kRounds; ++round) {
        std::fprintf(stderr,
                     "OutputDebugStringA, round %d: no reader, minimal reader, relay, "
                     "relay filtering\n",
                     round + 1);
        costs.noReader.push_back(TimeDebugOutput(kDebugCalls));
        MinimalReaderProcess minimal;
        if (!minimal.Start()) {
            std::fprintf(stderr, "can't start the minimal reader\n");
            return 1;
        }
        costs.floor.push_back(TimeDebugOutput(kDebugCalls));
        if (const DWORD copies = minimal.Stop(); copies != kDebugCalls) {
            std::fprintf(stderr, "the minimal reader took %lu of %d strings: no floor\n",
                         static_cast<unsigned long>(copies), kDebugCalls);
            return 1;
        }
        for (const bool filtering : {false, true}) {
            RelayProcess relay;
            // Process id 4 is the system's, which never writes here.
            if (!StartRelay(relay, console,
                            filtering ? L"--debug-output --pid 4" : L"--debug-output")) {
                std::fprintf(stderr, "the relay did not start\n");
                return 1;
            }
            (filtering ? costs.filtered : costs.relayed).push_back(TimeDebugOutput(kDebugCalls));
            relay.Stop();
        }
    }
    if (debugOutputOnly) {
        std::printf("%s", kTableHead);
        DebugOutputRows(costs);
        return 0;
    }

    // The best of the rounds for each: how fast it can go when the machine lets it.
    double direct = 0;
    std::vector<std::pair<std::size_t, double>> rates{{1, 0}, {4, 0}, {16, 0}};
    std::vector<Cost> directLatency, relayedLatency;
    std::uint32_t offset = 0;
    RelayProcess relay;
    for (int round = 0; round < 2; ++round) {
        std::fprintf(stderr, "round %d: one client straight to the console...\n", round + 1);
        {
            Streams streams{std::vector<test::PipeClient>(1), {offset}, RelayPrefix()};
            offset += 1'000'000;
            if (!streams.clients[0].Connect()) {
                return 1;
            }
            direct = std::max(direct, ZeroLossRate(streams, probe));
            directLatency.push_back(ShowLatency(streams, probe));
        }
        if (!StartRelay(relay, console)) {
            std::fprintf(stderr, "the relay did not start\n");
            return 1;
        }
        for (auto& [clients, rate] : rates) {
            std::fprintf(stderr, "round %d: %zu client(s) through the relay...\n", round + 1,
                         clients);
            Streams streams{std::vector<test::PipeClient>(clients),
                            std::vector<std::uint32_t>(clients, offset), ""};
            offset += 1'000'000;
            for (auto& client : streams.clients) {
                if (!client.Connect(10s, kRelayPipeName)) {
                    return 1;
                }
            }
            rate = std::max(rate, ZeroLossRate(streams, probe));
            if (clients == 1) {
                relayedLatency.push_back(ShowLatency(streams, probe));
            }
        }
        if (round == 0) {
            relay.Stop();
        }
    }

    std::fprintf(stderr, "relay CPU for 100,000 lines...\n");
    double cpuPer100k = 0;
    {
        constexpr std::uint32_t kLines = 100'000;
        constexpr std::size_t kClients = 4;
        std::vector<test::PipeClient> clients(kClients);
        for (auto& client : clients) {
            client.Connect(10s, kRelayPipeName);
        }
        Settle(probe, 300ms);
        const double before = relay.CpuSeconds();
        std::vector<std::thread> writers;
        for (std::size_t c = 0; c < kClients; ++c) {
            writers.emplace_back([&, c] {
                std::string text;
                for (std::uint32_t i = 0; i < kLines / kClients; ++i) {
                    test::AppendNumberedLine(text, 'Z', i);
                }
                clients[c].Write(text);
            });
        }
        for (auto& writer : writers) {
            writer.join();
        }
        for (auto& client : clients) {
            client.Close();
        }
        Settle(probe, 500ms);
        cpuPer100k = (relay.CpuSeconds() - before) * 100'000.0 / kLines;
    }
    relay.Stop();

    std::printf("%s", kTableHead);
    for (const auto& [clients, rate] : rates) {
        Row(clients == 1 ? "Zero-loss rate through the relay, 1 client"
                         : (clients == 4 ? "Zero-loss rate through the relay, 4 clients"
                                         : "Zero-loss rate through the relay, 16 clients"),
            Format("%.0f lines/s", rate), Format("%.0f lines/s, 1 client straight", direct),
            Format("%.0f%%", direct > 0 ? 100 * rate / direct : 0), ">= 80%", rate >= 0.8 * direct);
    }
    const Cost straight = Median(directLatency), relayed = Median(relayedLatency);
    Row("A line's way to the view, a line every 10 ms, p50 / p99 (the higher of two rounds)",
        Format("%.1f", relayed.medianUs / 1000) + Format(" / %.1f ms", relayed.p99Us / 1000),
        Format("%.1f", straight.medianUs / 1000) +
            Format(" / %.1f ms, 1 client straight", straight.p99Us / 1000),
        "", "", true);
    DebugOutputRows(costs);
    Row("Relay CPU time per 100,000 lines (4 clients, flat out)",
        Format("%.0f ms", cpuPer100k * 1000), "", "", "", true);
    return 0;
}

}  // namespace
}  // namespace nemora::bench

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--minimal-reader") {
        return nemora::bench::RunMinimalReader();
    }
    return nemora::bench::Run(argc > 1 && std::string(argv[1]) == "--debug-output-only");
}
