// Faults and load against the real console, watched from outside: what a
// client does (flood it, churn, die mid-line, send any bytes), a second start
// and a squatter on the pipe name must never crash it, hang it or grow it
// without bound, and every line must show in order unless the client outran
// the view (the pending-line limit and the per-drain budget then drop the
// oldest lines, by design).
//
// Each case prints one "REPORT scenario=..." line with its figures for
// bench/reliability-report.sh.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "intake/pipe_listener.h"
#include "tests/support/child_process.h"
#include "driver/console_process.h"
#include "driver/numbered_lines.h"
#include "driver/observers.h"
#include "driver/wait.h"

namespace nemora::test {
namespace {

struct Figures {
    const char* scenario = "";
    unsigned long long offered = 0;
    unsigned long long shown = 0;
    unsigned long long dropped = 0;
    unsigned long long announced = 0;  // by the view's notices
    std::size_t peakWorkingSet = 0;
    long long slowestUiMs = -1;
    std::string exits;
};

void Report(const Figures& f) {
    std::printf(
        "REPORT scenario=%s offered=%llu shown=%llu dropped=%llu announced=%llu peak_ws_kib=%zu "
        "slowest_ui_ms=%lld exits=%s\n",
        f.scenario, f.offered, f.shown, f.dropped, f.announced, f.peakWorkingSet / 1024,
        f.slowestUiMs, f.exits.empty() ? "-" : f.exits.c_str());
    std::fflush(stdout);
}

// The exit code for the report, or "hung" for a console that did not end.
std::string ExitText(const std::optional<DWORD>& exitCode) {
    return exitCode ? std::to_string(*exitCode) : "hung";
}

std::wstring NumberedLineText(char stream, std::uint32_t sequence) {
    std::string line;
    AppendNumberedLine(line, stream, sequence);
    line.pop_back();
    return Widen(line);
}

// The view after a flood: the first line may be the tail of one the trim cut,
// every other numbered line is intact and above the one before.
void ExpectIntactAndInOrder(const std::vector<std::wstring>& lines, char stream) {
    ASSERT_GT(lines.size(), 1u);
    std::int64_t previous = -1;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const auto parsed = ParseNumberedLine(std::wstring_view(lines[i]));
        if (parsed.kind == Numbered::kNo) {
            continue;
        }
        ASSERT_EQ(parsed.kind, Numbered::kYes) << "damaged or merged line " << i;
        ASSERT_EQ(parsed.stream, stream) << "line " << i;
        ASSERT_GT(static_cast<std::int64_t>(parsed.sequence), previous) << "line " << i;
        previous = parsed.sequence;
    }
}

// Writes numbered lines in large pieces, as fast as the pipe takes them.
class FloodWriter {
  public:
    FloodWriter(PipeClient& client, char stream) : client_(client), stream_(stream) {}
    bool Write(std::uint32_t from, std::uint32_t to) {
        for (std::uint32_t i = from; i < to; ++i) {
            AppendNumberedLine(pending_, stream_, i);
            if (pending_.size() >= kPiece && !Flush()) {
                return false;
            }
        }
        return Flush();
    }

  private:
    static constexpr std::size_t kPiece = 64 * 1024;
    bool Flush() {
        const bool ok = client_.Write(pending_);
        pending_.clear();
        return ok;
    }
    PipeClient& client_;
    char stream_;
    std::string pending_;
};

TEST(Flood, AMillionLinesShowInOrderWhileTheWindowAnswersAndMemoryStaysFlat) {
    constexpr std::uint32_t kLines = 1'000'000;
    constexpr std::uint32_t kCheckpoint = 100'000;
    ConsoleProcess console;
    ASSERT_TRUE(console.Start());
    ViewProbe probe;
    ASSERT_TRUE(probe.Attach(console));
    UiRoundTripSampler sampler(console.window());

    PipeClient client;
    ASSERT_TRUE(client.Connect());
    ASSERT_TRUE(console.WaitForText(kConnected));  // every line lost from here on is a client's
    FloodWriter writer(client, 'F');
    ASSERT_TRUE(writer.Write(0, kCheckpoint));
    const auto peakAtCheckpoint = PeakWorkingSet(console.process());
    ASSERT_TRUE(writer.Write(kCheckpoint, kLines));
    client.Close();

    const auto& flood = probe.stream('F');
    EXPECT_TRUE(WaitUntil([&] { return flood.last.load() == kLines - 1; }, 30s))
        << "last shown " << flood.last.load();
    EXPECT_EQ(probe.counters().cutUnits.load(), 0u) << "the view's text limit cut appended lines";
    ASSERT_TRUE(console.WaitForText(kDisconnected, 10s));
    sampler.Stop();
    const auto peakAtEnd = PeakWorkingSet(console.process());

    const auto lines = console.ViewLines();
    ExpectIntactAndInOrder(lines, 'F');
    EXPECT_EQ(lines.end()[-2], NumberedLineText('F', kLines - 1));
    EXPECT_EQ(lines.back(), kDisconnected);

    EXPECT_EQ(flood.disorder.load(), 0u);
    EXPECT_EQ(flood.damaged.load(), 0u);
    EXPECT_EQ(flood.shown.load() + flood.skipped.load(), kLines)
        << "every line is either shown or counted as dropped";
    EXPECT_EQ(sampler.Misses(), 0u) << "slowest round trip " << sampler.Slowest().count() << " ms";
    ASSERT_TRUE(peakAtCheckpoint && peakAtEnd);
    // Ten times the lines may not take more memory than the first tenth did,
    // beyond a few MiB of allocator noise.
    EXPECT_LE(*peakAtEnd, *peakAtCheckpoint + 8u * 1024 * 1024)
        << "after " << kCheckpoint << ": " << *peakAtCheckpoint / 1024 << " KiB, after " << kLines
        << ": " << *peakAtEnd / 1024 << " KiB";
    std::printf(
        "REPORT-DETAIL flood peak_after_100k_kib=%zu peak_after_1m_kib=%zu batches=%llu "
        "max_batch_lines=%llu trims=%llu ui_samples=%zu\n",
        *peakAtCheckpoint / 1024, *peakAtEnd / 1024,
        static_cast<unsigned long long>(probe.counters().batches.load()),
        static_cast<unsigned long long>(probe.counters().maxBatchLines.load()),
        static_cast<unsigned long long>(probe.counters().trims.load()), sampler.Samples());

    const auto exitCode = console.Close();
    EXPECT_EQ(exitCode, 0u);
    const std::uint64_t announced = probe.counters().announced.load();
    EXPECT_EQ(announced, flood.skipped.load()) << "every line lost is announced in the view";
    Report({"flood", kLines, flood.shown.load(), flood.skipped.load(), announced, *peakAtEnd,
            sampler.Slowest().count(), ExitText(exitCode)});
}

// Minimised, the view is sized 0 x 0 and every character wraps onto a row of
// its own: the same flood must not make the window stop answering, and the
// view must come back whole when the window is restored.
TEST(Flood, AMinimisedConsoleKeepsAnsweringAndRestoresWithTheLastLine) {
    constexpr std::uint32_t kLines = 200'000;
    ConsoleProcess console;
    ASSERT_TRUE(console.Start());
    ShowWindow(console.window(), SW_MINIMIZE);
    ASSERT_TRUE(WaitUntil([&] { return IsIconic(console.window()) != FALSE; }));
    ViewProbe probe;
    ASSERT_TRUE(probe.Attach(console));
    UiRoundTripSampler sampler(console.window());

    PipeClient client;
    ASSERT_TRUE(client.Connect());
    ASSERT_TRUE(console.WaitForText(kConnected));  // every line lost from here on is a client's
    FloodWriter writer(client, 'M');
    ASSERT_TRUE(writer.Write(0, kLines));
    client.Close();
    const auto& flood = probe.stream('M');
    EXPECT_TRUE(WaitUntil([&] { return flood.last.load() == kLines - 1; }, 30s))
        << "last shown " << flood.last.load();
    EXPECT_EQ(probe.counters().cutUnits.load(), 0u) << "the view's text limit cut appended lines";
    ASSERT_TRUE(console.WaitForText(kDisconnected, 10s));
    ShowWindow(console.window(), SW_RESTORE);
    ASSERT_TRUE(WaitUntil([&] { return IsIconic(console.window()) == FALSE; }));
    sampler.Stop();

    const auto lines = console.ViewLines();
    ExpectIntactAndInOrder(lines, 'M');
    EXPECT_EQ(lines.end()[-2], NumberedLineText('M', kLines - 1));
    EXPECT_EQ(sampler.Misses(), 0u) << "slowest round trip " << sampler.Slowest().count() << " ms";
    const auto peak = PeakWorkingSet(console.process()).value_or(0);
    const auto exitCode = console.Close();
    EXPECT_EQ(exitCode, 0u);
    const std::uint64_t announced = probe.counters().announced.load();
    EXPECT_EQ(announced, flood.skipped.load()) << "every line lost is announced in the view";
    Report({"flood-minimised", kLines, flood.shown.load(), flood.skipped.load(), announced, peak,
            sampler.Slowest().count(), ExitText(exitCode)});
}

// The window's thread stalls (a debugger, a long modal loop) while a client
// keeps writing lines and readings: the listener must not grow the queue
// past its limit, and once the thread runs again the newest lines and the
// last reading show and the window answers.
TEST(Flood, AStalledWindowThreadCatchesUpWithTheNewestLinesAndReading) {
    constexpr std::uint32_t kLines = 100'000;
    ConsoleProcess console;
    ASSERT_TRUE(console.Start());
    ViewProbe probe;
    ASSERT_TRUE(probe.Attach(console));
    const DWORD windowThreadId = GetWindowThreadProcessId(console.window(), nullptr);
    UniqueHandle windowThread(OpenThread(THREAD_SUSPEND_RESUME, FALSE, windowThreadId));
    ASSERT_TRUE(windowThread);
    const auto peakAtStart = PeakWorkingSet(console.process()).value_or(0);

    PipeClient client;
    ASSERT_TRUE(client.Connect());
    ASSERT_TRUE(console.WaitForText(kConnected));  // every line lost from here on is a client's
    ASSERT_NE(SuspendThread(windowThread.get()), static_cast<DWORD>(-1));
    std::string pending;
    for (std::uint32_t i = 0; i < kLines; ++i) {
        AppendNumberedLine(pending, 'S', i);
        pending += "FPS:" + std::to_string(i % 500) + "\n";
        if (pending.size() >= 64 * 1024) {
            ASSERT_TRUE(client.Write(pending));
            pending.clear();
        }
    }
    ASSERT_TRUE(client.Write(pending + "FPS:75\n"));
    client.Close();
    const auto peakStalled = PeakWorkingSet(console.process()).value_or(0);
    ASSERT_NE(ResumeThread(windowThread.get()), static_cast<DWORD>(-1));

    const auto resumed = std::chrono::steady_clock::now();
    UiRoundTripSampler sampler(console.window());
    const auto& stream = probe.stream('S');
    EXPECT_TRUE(WaitUntil([&] { return stream.last.load() == kLines - 1; }, 30s))
        << "last shown " << stream.last.load();
    EXPECT_TRUE(
        WaitUntil([&] { return console.Title() == L"Nemora Debug Console  \u2014  FPS: 75"; }, 30s))
        << "title stuck";
    ASSERT_TRUE(console.WaitForText(kDisconnected, 10s));
    const auto caughtUp = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - resumed);
    sampler.Stop();

    EXPECT_EQ(stream.disorder.load(), 0u);
    EXPECT_EQ(stream.damaged.load(), 0u);
    EXPECT_EQ(sampler.Misses(), 0u) << "slowest round trip " << sampler.Slowest().count() << " ms";
    const auto peak = PeakWorkingSet(console.process()).value_or(0);
    EXPECT_LE(peak, peakAtStart + 16u * 1024 * 1024)
        << peakAtStart / 1024 << " KiB at start, " << peak / 1024 << " KiB at the end";
    const auto closing = std::chrono::steady_clock::now();
    const auto exitCode = console.Close();
    const auto closed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - closing);
    EXPECT_EQ(exitCode, 0u);
    std::printf(
        "REPORT-DETAIL stalled-window peak_while_stalled_kib=%zu readings=%u "
        "caught_up_ms=%lld closed_after_ms=%lld\n",
        peakStalled / 1024, kLines + 1, static_cast<long long>(caughtUp.count()),
        static_cast<long long>(closed.count()));
    const std::uint64_t announced = probe.counters().announced.load();
    EXPECT_EQ(announced, stream.skipped.load()) << "every line lost is announced in the view";
    Report({"flood-window-stalled", kLines, stream.shown.load(), stream.skipped.load(), announced,
            peak, sampler.Slowest().count(), ExitText(exitCode)});
}

// Lines at the length cap and past it: the pending-line limit counts Lines,
// not bytes, so this is the most memory the queue can hold, and each Line
// wraps over dozens of rows in the view.
TEST(Flood, LinesAtTheLengthCapKeepTheWindowAnsweringAndMemoryBounded) {
    constexpr std::uint32_t kLines = 20'000;
    constexpr std::size_t kPayload = 5000;  // cut to 4096 bytes and a marker
    ConsoleProcess console;
    ASSERT_TRUE(console.Start());
    const auto peakAtStart = PeakWorkingSet(console.process()).value_or(0);
    ViewProbe probe;
    ASSERT_TRUE(probe.Attach(console));
    UiRoundTripSampler sampler(console.window());

    PipeClient client;
    ASSERT_TRUE(client.Connect());
    ASSERT_TRUE(console.WaitForText(kConnected));  // every line lost from here on is a client's
    std::string pending;
    for (std::uint32_t i = 0; i < kLines; ++i) {
        // The numbered line last, so that each cut Line still ends "]" after its marker
        // and the next numbered line shows which were dropped.
        pending += std::string(kPayload, static_cast<char>('a' + i % 26)) + "\n";
        AppendNumberedLine(pending, 'L', i);
        if (pending.size() >= 1 << 20) {
            ASSERT_TRUE(client.Write(pending));
            pending.clear();
        }
    }
    ASSERT_TRUE(client.Write(pending));
    client.Close();

    const auto& numbered = probe.stream('L');
    EXPECT_TRUE(WaitUntil([&] { return numbered.last.load() == kLines - 1; }, 60s))
        << "last shown " << numbered.last.load();
    EXPECT_EQ(probe.counters().cutUnits.load(), 0u) << "the view's text limit cut appended lines";
    ASSERT_TRUE(console.WaitForText(kDisconnected, 30s));
    sampler.Stop();
    const auto peak = PeakWorkingSet(console.process()).value_or(0);

    const auto lines = console.ViewLines();
    const std::wstring marker =
        L" \u2026 [" + std::to_wstring(kPayload - 4096) + L" more bytes not shown]";
    for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
        if (lines[i].starts_with(Widen(kConsoleNoticeStart))) {
            continue;  // few long Lines fit a drain: the view may not have trimmed past these yet
        }
        const auto parsed = ParseNumberedLine(std::wstring_view(lines[i]));
        if (parsed.kind == Numbered::kNo) {
            ASSERT_EQ(lines[i].size(), 4096 + marker.size()) << "view line " << i;
            ASSERT_TRUE(lines[i].ends_with(marker)) << "view line " << i;
        } else {
            ASSERT_EQ(parsed.kind, Numbered::kYes) << "view line " << i;
        }
    }
    EXPECT_EQ(numbered.disorder.load(), 0u);
    EXPECT_EQ(numbered.damaged.load(), 0u);
    EXPECT_EQ(sampler.Misses(), 0u) << "slowest round trip " << sampler.Slowest().count() << " ms";
    // At most a full queue of capped Lines (8192 x ~4 KiB) and one batch on top
    // of what the console took at start.
    EXPECT_LE(peak, peakAtStart + 96u * 1024 * 1024)
        << peakAtStart / 1024 << " KiB at start, " << peak / 1024 << " KiB at the end";

    const auto exitCode = console.Close();
    EXPECT_EQ(exitCode, 0u);
    std::printf("REPORT-DETAIL long-lines peak_at_start_kib=%zu batches=%llu\n", peakAtStart / 1024,
                static_cast<unsigned long long>(probe.counters().batches.load()));
    const auto shown = probe.counters().lines.load() - probe.counters().statusLines.load();
    const std::uint64_t announced = probe.counters().announced.load();
    EXPECT_EQ(announced, 2ull * kLines - shown) << "every line lost is announced in the view";
    Report({"flood-capped-lines", 2ull * kLines, shown, 2ull * kLines - shown, announced, peak,
            sampler.Slowest().count(), ExitText(exitCode)});
}

// ---- Churn ---------------------------------------------------------------

std::string ChurnText(int client) {
    char text[32];
    std::snprintf(text, sizeof(text), "churn %04d", client);
    return text;
}

std::wstring WriterTag(int client) {
    wchar_t tag[16];
    std::swprintf(tag, std::size(tag), L"%04d", client);
    return tag;
}

std::wstring WriterLine(const std::wstring& tag, unsigned sequence) {
    wchar_t line[32];
    std::swprintf(line, std::size(line), L"w%ls %06u", tag.c_str(), sequence);
    return line;
}

// The view's lines either side of one, for a failure message.
std::string Around(const std::vector<std::wstring>& lines, std::size_t at) {
    std::string text = "\n";
    for (std::size_t i = at > 4 ? at - 4 : 0; i < std::min(lines.size(), at + 4); ++i) {
        text += (i == at ? "> " : "  ") + std::string(lines[i].begin(), lines[i].end()) + "\n";
    }
    return text;
}

// What the view must hold, in order. A killed writer leaves an unknown number
// of its lines and an unknown piece of the next one, which the next client's
// first line starts with.
struct ExpectedLine {
    enum Kind { kExact, kWriterLines, kAfterWriter } kind;
    std::wstring text;  // kExact: the line; kAfterWriter: how it ends
    std::wstring tag;   // kWriterLines, kAfterWriter: the writer's
};

// Starts the test writer, waits until the view shows a few of its lines and
// kills it in the middle of whatever it is writing.
void KillAWriterMidLine(const ConsoleProcess& console, const std::wstring& tag) {
    std::wstring commandLine =
        L"\"" + BuildTreePath(L"tests\\nemora-test-writer.exe") + L"\" " + tag + L" 5";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &info));
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread);
    const bool writing = console.WaitForText(WriterLine(tag, 3), 20s);
    TerminateProcess(process.get(), 1);
    ASSERT_EQ(WaitForSingleObject(process.get(), 10000), WAIT_OBJECT_0);
    ASSERT_TRUE(writing) << "the writer's lines never showed";
}

TEST(Churn, AThousandClientsOneAfterAnotherAreEachShownBetweenTheirStatusLines) {
    constexpr int kClients = 1000;
    constexpr int kWriterEvery = 50;  // every 50th client is a process killed mid-line
    ConsoleProcess console;
    ASSERT_TRUE(console.Start());
    UiRoundTripSampler sampler(console.window());

    std::vector<ExpectedLine> expected;
    std::string carried;     // what a client left without a line feed
    std::wstring killedTag;  // set while a killed writer's piece is carried
    unsigned long long texts = 0;
    for (int i = 0; i <= kClients; ++i) {
        expected.push_back({ExpectedLine::kExact, kConnected, {}});
        if (i % kWriterEvery == kWriterEvery / 2) {
            const std::wstring tag = WriterTag(i);
            ASSERT_NO_FATAL_FAILURE(KillAWriterMidLine(console, tag));
            expected.push_back({ExpectedLine::kWriterLines, {}, tag});
            killedTag = tag;
        } else {
            // Half the clients go without a final line feed; the last one ends the run.
            const bool lineFeed = i % 2 == 0 || i == kClients;
            const std::string text = i == kClients ? "end" : ChurnText(i);
            PipeClient client;
            ASSERT_TRUE(client.Connect()) << "client " << i;
            ASSERT_TRUE(client.Write(lineFeed ? text + "\n" : text)) << "client " << i;
            client.Close();
            ++texts;
            if (!lineFeed) {
                ASSERT_TRUE(killedTag.empty());
                carried += text;
            } else if (!killedTag.empty()) {
                expected.push_back({ExpectedLine::kAfterWriter, Widen(carried + text), killedTag});
                killedTag.clear();
                carried.clear();
            } else {
                expected.push_back({ExpectedLine::kExact, Widen(carried + text), {}});
                carried.clear();
            }
        }
        expected.push_back({ExpectedLine::kExact, kDisconnected, {}});
    }
    const std::wstring ending =
        Widen(ChurnText(kClients - 1)) + L"end\r\n" + kDisconnected + L"\r\n";
    ASSERT_TRUE(WaitUntil([&] {
        const auto text = console.ViewText();
        return text && text->ends_with(ending);
    }));
    sampler.Stop();

    const auto lines = console.ViewLines();
    std::size_t at = 0;
    ASSERT_EQ(lines.at(at++), kStart);
    unsigned writerNext = 0;
    unsigned long long writerLines = 0;
    for (const auto& line : expected) {
        ASSERT_LT(at, lines.size()) << "the view ends early";
        switch (line.kind) {
            case ExpectedLine::kExact:
                ASSERT_EQ(lines[at], line.text) << "view line " << at << Around(lines, at);
                ++at;
                break;
            case ExpectedLine::kWriterLines:
                writerNext = 0;
                while (at < lines.size() && lines[at] == WriterLine(line.tag, writerNext)) {
                    ++writerNext;
                    ++at;
                }
                ASSERT_GT(writerNext, 3u)
                    << "writer " << std::string(line.tag.begin(), line.tag.end());
                writerLines += writerNext;
                break;
            case ExpectedLine::kAfterWriter: {
                const std::wstring& shown = lines[at];
                ASSERT_TRUE(shown.ends_with(line.text)) << "view line " << at;
                // The killed writer's unfinished line, cut anywhere, then this client's line.
                const std::wstring piece = shown.substr(0, shown.size() - line.text.size());
                ASSERT_TRUE(WriterLine(line.tag, writerNext).starts_with(piece))
                    << "view line " << at;
                ++at;
                break;
            }
        }
    }
    EXPECT_EQ(at, lines.size()) << "lines after the last client";
    EXPECT_EQ(sampler.Misses(), 0u);

    const auto peak = PeakWorkingSet(console.process()).value_or(0);
    const auto exitCode = console.Close();
    EXPECT_EQ(exitCode, 0u);
    std::printf("REPORT-DETAIL churn connections=%d killed_writers=%d writer_lines=%llu\n",
                kClients + 1, kClients / kWriterEvery, writerLines);
    Report({"churn", texts + writerLines, texts + writerLines, 0, 0, peak,
            sampler.Slowest().count(), ExitText(exitCode)});
}

// ---- Bad bytes ------------------------------------------------------------

// Ill-formed UTF-8: lone continuation bytes, truncated sequences, overlong
// forms, encoded surrogates, values past U+10FFFF, bytes never valid.
const std::vector<std::string> kIllFormedUtf8 = {"\x80",
                                                 "\xBF\x80",
                                                 "\xC3",
                                                 "\xE2\x80",
                                                 "\xF0\x9F\x98",
                                                 "\xC0\xAF",
                                                 "\xE0\x80\xAF",
                                                 "\xED\xA0\x80",
                                                 "\xED\xBF\xBF",
                                                 "\xF4\x90\x80\x80",
                                                 "\xF8\x88\x80\x80\x80",
                                                 "\xFE\xFF",
                                                 "a\xC3",
                                                 "\xE2\x82\xACok\xE2\x82",
                                                 "\xF0\x9F\x98\x80\xF0\x9F"};

bool ShowsAsReplacement(wchar_t unit) {
    // The converter's replacement character, or the byte-by-byte fallback.
    return unit == L'\uFFFD' || unit >= 0xFF80;
}

TEST(BadBytes, EveryByteValueAndIllFormedTextShowWithTheNextLineIntact) {
    ConsoleProcess console;
    ASSERT_TRUE(console.Start());
    UiRoundTripSampler sampler(console.window());
    PipeClient client;
    ASSERT_TRUE(client.Connect());

    std::string bytes;
    unsigned long long offered = 0;
    for (int value = 0; value < 256; ++value) {
        if (value == '\n') {
            continue;
        }
        char head[32];
        std::snprintf(head, sizeof(head), "byte %02X [", value);
        bytes += head + std::string(3, static_cast<char>(value)) + "]\n";
        bytes += "after byte " + std::string(head + 5, 2) + "\n";
        offered += 2;
    }
    for (std::size_t i = 0; i < kIllFormedUtf8.size(); ++i) {
        bytes += "utf8 " + std::to_string(i) + " [" + kIllFormedUtf8[i] + "]\n";
        bytes += "after utf8 " + std::to_string(i) + "\n";
        offered += 2;
    }
    // Carriage returns anywhere but right before the line feed are text.
    bytes += "cr [a\rb]\n\r\n\r\r\nx\r\r\nafter cr\n";
    offered += 5;
    ASSERT_TRUE(client.Write(bytes));
    ASSERT_TRUE(console.WaitForText(L"after cr"));
    const auto peakBefore = PeakWorkingSet(console.process()).value_or(0);

    // 64 MiB in one write with no line feed, then the line feed.
    constexpr std::size_t kHuge = 64u << 20;
    std::string huge(kHuge, '\0');
    for (std::size_t i = 0; i < kHuge; ++i) {
        huge[i] = static_cast<char>('a' + i % 26);
    }
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(client.handle(), huge.data(), static_cast<DWORD>(huge.size()), &written,
                          nullptr));
    ASSERT_EQ(written, kHuge);
    ASSERT_TRUE(client.Write("\nafter huge\n"));
    offered += 2;
    ASSERT_TRUE(console.WaitForText(L"after huge"));
    const auto peakAfterHuge = PeakWorkingSet(console.process()).value_or(0);
    const std::wstring hugeShown = Widen(huge.substr(0, 4096)) + L" \u2026 [" +
                                   std::to_wstring(kHuge - 4096) + L" more bytes not shown]";
    huge = {};

    // A write of no bytes at all; a read of no bytes may end the connection.
    ASSERT_TRUE(client.Write("before empty\n"));
    ASSERT_TRUE(console.WaitForText(L"before empty"));
    written = 0;
    WriteFile(client.handle(), "", 0, &written, nullptr);
    if (!client.Write("after empty\n")) {
        client.Close();
        ASSERT_TRUE(client.Connect());
        ASSERT_TRUE(client.Write("after empty\n"));
    }
    offered += 2;
    client.Close();
    ASSERT_TRUE(WaitUntil([&] {
        const auto text = console.ViewText();
        return text && text->ends_with(L"after empty\r\n" + kDisconnected + L"\r\n");
    }));

    const auto lines = console.ViewLines();
    unsigned long long shown = 0;
    auto find = [&](const std::wstring& line) {
        const auto it = std::find(lines.begin(), lines.end(), line);
        return it == lines.end() ? std::ptrdiff_t{-1} : it - lines.begin();
    };
    for (int value = 0; value < 256; ++value) {
        if (value == '\n') {
            continue;
        }
        wchar_t head[32];
        std::swprintf(head, std::size(head), L"byte %02X [", value);
        wchar_t after[32];
        std::swprintf(after, std::size(after), L"after byte %02X", value);
        const auto at = find(after);
        ASSERT_GT(at, 0) << "byte " << value << ": the next line is not intact";
        const std::wstring& line = lines[at - 1];
        ASSERT_TRUE(line.starts_with(head)) << "byte " << value;
        const std::wstring inner = line.substr(9);
        if (value == 0) {
            EXPECT_EQ(inner, std::wstring(3, L'\u2400') + L"]");
        } else if (value < 0x80) {
            EXPECT_EQ(inner, std::wstring(3, static_cast<wchar_t>(value)) + L"]")
                << "byte " << value;
        } else {
            // Some converters take the byte after a lead byte into the bad
            // sequence even when it is plain ASCII, so the "]" may go with it.
            const std::wstring shown =
                inner.ends_with(L"]") ? inner.substr(0, inner.size() - 1) : inner;
            EXPECT_FALSE(shown.empty()) << "byte " << value;
            EXPECT_TRUE(std::all_of(shown.begin(), shown.end(), ShowsAsReplacement))
                << "byte " << value;
        }
        shown += 2;
    }
    for (std::size_t i = 0; i < kIllFormedUtf8.size(); ++i) {
        const auto at = find(L"after utf8 " + std::to_wstring(i));
        ASSERT_GT(at, 0) << "utf8 " << i << ": the next line is not intact";
        const std::wstring head = L"utf8 " + std::to_wstring(i) + L" [";
        const std::wstring& line = lines[at - 1];
        ASSERT_TRUE(line.starts_with(head)) << "utf8 " << i;
        EXPECT_GT(line.size(), head.size()) << "utf8 " << i << " shows nothing";
        shown += 2;
    }
    const auto crAt = find(L"after cr");
    ASSERT_GE(crAt, 4);
    EXPECT_EQ(lines[crAt - 4], L"cr [a\rb]");
    EXPECT_EQ(lines[crAt - 3], L"");
    EXPECT_EQ(lines[crAt - 2], L"\r");
    EXPECT_EQ(lines[crAt - 1], L"x\r");
    shown += 5;
    const auto hugeAt = find(L"after huge");
    ASSERT_GE(hugeAt, 1);
    EXPECT_TRUE(lines[hugeAt - 1] == hugeShown)
        << "the 64 MiB line is not shown cut with its marker";
    shown += 2;
    const auto emptyAt = find(L"after empty");
    ASSERT_GE(emptyAt, 1);
    EXPECT_NE(find(L"before empty"), -1);
    shown += 2;

    // The console held the 64 MiB line to its first 4096 bytes, not all of it.
    EXPECT_LE(peakAfterHuge, peakBefore + 8u * 1024 * 1024)
        << peakBefore / 1024 << " KiB before, " << peakAfterHuge / 1024 << " KiB after";
    const auto exitCode = console.Close();
    EXPECT_EQ(exitCode, 0u);
    sampler.Stop();
    EXPECT_EQ(sampler.Misses(), 0u);
    std::printf("REPORT-DETAIL bad-bytes connections=%lld (2 if the empty write ended the first)\n",
                static_cast<long long>(std::count(lines.begin(), lines.end(), kConnected)));
    Report({"bad-bytes", offered, shown, offered - shown, 0, peakAfterHuge,
            sampler.Slowest().count(), ExitText(exitCode)});
}

// ---- Control-line flood ---------------------------------------------------

TEST(ControlFlood, OrdinaryLinesAmongTwoHundredThousandReadingsAllShowAndTheTitleEndsRight) {
    constexpr std::uint32_t kReadings = 200'000;
    constexpr std::uint32_t kReadingsPerLine = 100;
    constexpr std::uint32_t kLines = kReadings / kReadingsPerLine;
    ConsoleProcess console;
    ASSERT_TRUE(console.Start());
    ViewProbe probe;
    ASSERT_TRUE(probe.Attach(console));
    UiRoundTripSampler sampler(console.window());
    PipeClient client;
    ASSERT_TRUE(client.Connect());
    ASSERT_TRUE(console.WaitForText(kConnected));  // every line lost from here on is a client's

    std::string pending;
    std::uint32_t line = 0;
    for (std::uint32_t reading = 0; reading < kReadings; ++reading) {
        pending += "FPS:" + std::to_string(reading % 1000) + ".25\n";
        if ((reading + 1) % kReadingsPerLine == 0) {
            AppendNumberedLine(pending, 'C', line++);
        }
        if (pending.size() >= 64 * 1024) {
            ASSERT_TRUE(client.Write(pending));
            pending.clear();
        }
    }
    pending += "FPS:144.4\n";
    ASSERT_TRUE(client.Write(pending));
    client.Close();

    const std::wstring finalTitle = L"Nemora Debug Console  \u2014  FPS: 144";
    const auto& ordinary = probe.stream('C');
    EXPECT_TRUE(WaitUntil([&] { return ordinary.last.load() == kLines - 1; }, 60s))
        << "last shown " << ordinary.last.load();
    EXPECT_TRUE(console.WaitForText(kDisconnected, 60s));
    EXPECT_TRUE(WaitUntil([&] { return console.Title() == finalTitle; }, 60s)) << "title stuck";
    sampler.Stop();

    EXPECT_EQ(ordinary.shown.load(), kLines);
    EXPECT_EQ(ordinary.skipped.load(), 0u);
    EXPECT_EQ(ordinary.disorder.load(), 0u);
    EXPECT_EQ(ordinary.damaged.load(), 0u);
    EXPECT_EQ(console.ViewText()->find(L"FPS"), std::wstring::npos);
    EXPECT_EQ(sampler.Misses(), 0u) << "slowest round trip " << sampler.Slowest().count() << " ms";

    const auto peak = PeakWorkingSet(console.process()).value_or(0);
    const auto exitCode = console.Close();
    EXPECT_EQ(exitCode, 0u);
    std::printf("REPORT-DETAIL control-flood readings=%u\n", kReadings);
    const std::uint64_t announced = probe.counters().announced.load();
    EXPECT_EQ(announced, ordinary.skipped.load()) << "every line lost is announced in the view";
    Report({"control-flood", kLines, ordinary.shown.load(), ordinary.skipped.load(), announced,
            peak, sampler.Slowest().count(), ExitText(exitCode)});
}

// ---- Instances and names --------------------------------------------------

TEST(Instances, TwentyStartsAtOnceLeaveOneConsoleAndTheRestExitZero) {
    constexpr int kStarts = 20;
    std::vector<std::unique_ptr<ConsoleProcess>> starts;
    for (int i = 0; i < kStarts; ++i) {
        starts.push_back(std::make_unique<ConsoleProcess>());
        ASSERT_TRUE(starts.back()->Launch());
    }
    auto running = [&] {
        return std::count_if(starts.begin(), starts.end(), [](const auto& start) {
            return WaitForSingleObject(start->process(), 0) == WAIT_TIMEOUT;
        });
    };
    ASSERT_TRUE(WaitUntil([&] { return running() == 1; }, 60s)) << running() << " still running";
    ConsoleProcess* survivor = nullptr;
    std::string exits;
    for (auto& start : starts) {
        if (const auto code = start->WaitForExit(0ms)) {
            EXPECT_EQ(*code, 0u);
            exits += std::to_string(*code);
        } else {
            survivor = start.get();
        }
    }
    ASSERT_NE(survivor, nullptr);
    ASSERT_TRUE(survivor->WaitForWindow());
    EXPECT_EQ(CountConsoleWindows(), 1);

    PipeClient client;
    ASSERT_TRUE(client.Connect());
    ASSERT_TRUE(client.Write("served\n"));
    EXPECT_TRUE(survivor->WaitForText(L"served"));
    const auto peak = PeakWorkingSet(survivor->process()).value_or(0);
    const auto exitCode = survivor->Close();
    EXPECT_EQ(exitCode, 0u);
    Report({"instances-20", 1, 1, 0, 0, peak, -1,
            "19x0+" + (exitCode ? std::to_string(*exitCode) : std::string("hung"))});
}

TEST(Names, AConsoleThatFindsItsPipeNameTakenWaitsSilentlyAndServesOnceItIsFree) {
    // Another process serves the console's pipe name before the console starts.
    ChildProcess squatter;
    ASSERT_TRUE(squatter.Start(BesideThisExecutable(L"pipe_holder.exe"), L""));
    ASSERT_TRUE(WaitUntil([&] { return squatter.Stdout().starts_with("ready"); }));
    ConsoleProcess console;
    ASSERT_TRUE(console.Start());
    // Several of the console's retries pass; it must not show anything new.
    EXPECT_FALSE(WaitUntil([&] { return console.ViewLines().size() > 1; }, 1500ms));
    EXPECT_EQ(console.ViewLines(), std::vector<std::wstring>{kStart});

    squatter.CloseStdin();  // the squatter ends, and its pipe with it
    ASSERT_EQ(squatter.WaitForExit(10s), 0u);
    const auto freed = std::chrono::steady_clock::now();
    PipeClient client;
    ASSERT_TRUE(client.Connect(2s)) << "the console did not take the name over";
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - freed);
    ASSERT_TRUE(client.Write("after the squatter\n"));
    EXPECT_TRUE(console.WaitForText(L"after the squatter"));
    EXPECT_EQ(console.ViewLines(),
              (std::vector<std::wstring>{kStart, kConnected, L"after the squatter"}));
    // Read while the console runs: Wine may have no memory figures for a process that has ended.
    const auto peak = PeakWorkingSet(console.process()).value_or(0);
    const auto exitCode = console.Close();
    EXPECT_EQ(exitCode, 0u);
    std::printf("REPORT-DETAIL squatter served_after_ms=%lld\n",
                static_cast<long long>(took.count()));
    Report({"pipe-squatter", 1, 1, 0, 0, peak, -1, ExitText(exitCode)});
}

// ---- Exit under load ------------------------------------------------------

enum class Load { kFlood, kChurn, kBadBytes, kControlFlood };

const char* LoadName(Load load) {
    switch (load) {
        case Load::kFlood:
            return "flood";
        case Load::kChurn:
            return "churn";
        case Load::kBadBytes:
            return "bad-bytes";
        case Load::kControlFlood:
            return "control-flood";
    }
    return "?";
}

// Runs the load against the console until told to stop or the console is gone.
void RunLoad(Load load, const std::atomic<bool>& stop) {
    std::string piece;
    switch (load) {
        case Load::kFlood:
        case Load::kChurn:
            for (std::uint32_t i = 0; i < 3000; ++i) {
                AppendNumberedLine(piece, 'X', i);
            }
            break;
        case Load::kBadBytes:
            for (int value = 0; value < 256; ++value) {
                piece += std::string(20, static_cast<char>(value)) + "\n";
            }
            piece += std::string(1 << 20, '\xC3');  // a long run without a line feed
            break;
        case Load::kControlFlood:
            for (int i = 0; i < 3000; ++i) {
                piece += i % 50 == 0 ? "ordinary\n" : "FPS:" + std::to_string(i) + "\n";
            }
            break;
    }
    PipeClient client;
    while (!stop) {
        if (client.handle() == INVALID_HANDLE_VALUE && !client.Connect(200ms)) {
            continue;
        }
        // Churn: a short piece that ends mid-line, then the next client.
        const bool written =
            load == Load::kChurn ? client.Write(piece.substr(0, 201)) : client.Write(piece);
        if (!written || load == Load::kChurn) {
            client.Close();
        }
    }
}

std::size_t ViewLength(const ConsoleProcess& console) {
    DWORD_PTR length = 0;
    SendMessageTimeoutW(console.view(), WM_GETTEXTLENGTH, 0, 0, SMTO_NORMAL, 2000, &length);
    return length;
}

class ExitUnderLoad : public testing::TestWithParam<Load> {};

TEST_P(ExitUnderLoad, ClosingTheWindowExitsZeroTenTimesInARow) {
    constexpr int kRuns = 10;
    std::string exits;
    int clean = 0;
    for (int run = 0; run < kRuns; ++run) {
        ConsoleProcess console;
        ASSERT_TRUE(console.Start()) << "run " << run;
        std::atomic<bool> stop{false};
        std::thread load([&] { RunLoad(GetParam(), stop); });
        // Under a flood the connection's status line may itself be dropped:
        // any text past the start line means the load has reached the view.
        const bool loaded = WaitUntil([&] { return ViewLength(console) > kStart.size() + 2; });
        const auto exitCode = console.Close(10s);
        stop = true;
        load.join();
        EXPECT_TRUE(loaded) << "run " << run;
        EXPECT_EQ(exitCode, 0u) << "run " << run;
        exits += (run ? "," : "") + (exitCode ? std::to_string(*exitCode) : std::string("hung"));
        clean += exitCode == 0u ? 1 : 0;
    }
    std::printf("REPORT-DETAIL exit-under-%s clean=%d runs=%d\n", LoadName(GetParam()), clean,
                kRuns);
    Report({(std::string("exit-under-") + LoadName(GetParam())).c_str(), 0, 0, 0, 0, 0, -1,
            std::to_string(clean) + "/" + std::to_string(kRuns) + "x0"});
}

INSTANTIATE_TEST_SUITE_P(Loads, ExitUnderLoad,
                         testing::Values(Load::kFlood, Load::kChurn, Load::kBadBytes,
                                         Load::kControlFlood),
                         [](const testing::TestParamInfo<Load>& info) {
                             std::string name = LoadName(info.param);
                             name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                             return name;
                         });

}  // namespace
}  // namespace nemora::test
