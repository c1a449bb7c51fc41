// The spdlog sink against the real console: nemora-console.exe started as a
// process of its own, its view read from outside.

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <spdlog/logger.h>

#include "client/nemora_spdlog_sink.h"
#include "driver/console_process.h"
#include "driver/wait.h"
#include "tests/support/delivered.h"
#include "tests/support/line_lists.h"

namespace nemora::test {
namespace {

constexpr std::chrono::milliseconds kPatience = 30s;

template <typename Sink>
std::shared_ptr<spdlog::logger> LoggerOver(std::shared_ptr<Sink> sink) {
    auto logger = std::make_shared<spdlog::logger>("test", std::move(sink));
    logger->set_pattern("%l %v");
    logger->set_level(spdlog::level::trace);
    return logger;
}

void LogNumbered(spdlog::logger& logger, int from, int to) {
    for (int i = from; i < to; ++i) {
        logger.info("record {}", i);
    }
}

// What LogNumbered's records show as.
std::vector<std::wstring> Records(int from, int to) {
    return NumberedList(L"info record ", from, to);
}

TEST(SpdlogSink, RecordsShowInOrderInTheLoggersPattern) {
    ConsoleProcess console;
    ASSERT_TRUE(console.Start());
    auto sink = std::make_shared<debug_console_sink_mt>();
    auto logger = LoggerOver(sink);
    logger->warn("level {}", "warn");
    LogNumbered(*logger, 0, 1000);
    logger->error("last");
    ASSERT_TRUE(Delivered(sink->client(), console, L"error last"));
    EXPECT_EQ(
        console.ViewLines(),
        Concat({{kStart, kConnected, L"warning level warn"}, Records(0, 1000), {L"error last"}}));
}

TEST(SpdlogSink, ARecordWithLineFeedsShowsAsSeveralLines) {
    ConsoleProcess console;
    ASSERT_TRUE(console.Start());
    auto sink = std::make_shared<debug_console_sink_mt>();
    auto logger = LoggerOver(sink);
    logger->info("first\nsecond\r\n\nFPS:30\n");
    logger->info("next");
    ASSERT_TRUE(Delivered(sink->client(), console, L"info next"));
    EXPECT_EQ(console.ViewLines(),
              (std::vector<std::wstring>{kStart, kConnected, L"info first", L"second", L"",
                                         L" FPS:30", L"info next"}));
    EXPECT_EQ(console.Title().find(L"FPS"), std::wstring::npos);
}

TEST(SpdlogSink, LoggingGoesOnAcrossAConsoleRestart) {
    auto sink = std::make_shared<debug_console_sink_st>();
    auto logger = LoggerOver(sink);
    {
        ConsoleProcess first;
        ASSERT_TRUE(first.Start());
        LogNumbered(*logger, 0, 100);
        ASSERT_TRUE(Delivered(sink->client(), first, L"info record 99"));
        ASSERT_EQ(first.Close(), 0u);
    }
    LogNumbered(*logger, 100, 200);  // no console: kept by the client
    ConsoleProcess second;
    ASSERT_TRUE(second.Start());
    LogNumbered(*logger, 200, 300);
    ASSERT_TRUE(Delivered(sink->client(), second, L"info record 299"));
    EXPECT_EQ(second.ViewLines(), Concat({{kStart, kConnected}, Records(100, 300)}));
    EXPECT_EQ(sink->client().DroppedLines(), 0u);
}

TEST(SpdlogSink, AFlushWaitHasTheRecordsInThePipeWhenFlushReturns) {
    ConsoleProcess console;
    ASSERT_TRUE(console.Start());
    auto sink = std::make_shared<debug_console_sink_mt>(DebugClientOptions{}, kPatience);
    auto logger = LoggerOver(sink);
    const std::string padding(100, '.');
    for (int i = 0; i < 5000; ++i) {  // half a megabyte: many writes, the console reading each
        logger->info("record {} {}", i, padding);
    }
    logger->flush();
    EXPECT_TRUE(sink->client().Flush(0ms));  // nothing left to write
}

// A logger that flushes on every record while no console runs: were a flush to
// wait for the console, the records below would take minutes.
TEST(SpdlogSink, FlushReturnsAtOnceWithNoConsole) {
    ASSERT_EQ(CountConsoleWindows(), 0);
    auto sink = std::make_shared<debug_console_sink_mt>();
    auto logger = LoggerOver(sink);
    logger->flush_on(spdlog::level::trace);
    constexpr int kRecords = 1000;
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread writer([logger, done] {
        LogNumbered(*logger, 0, kRecords);
        logger->flush();
        done->store(true);
    });
    const bool returned = WaitUntil([&] { return done->load(); }, kPatience);
    if (!returned) {
        writer.detach();  // it holds what it uses; the process ends it
        FAIL() << "logging waited for the console";
    }
    writer.join();
}

}  // namespace
}  // namespace nemora::test
