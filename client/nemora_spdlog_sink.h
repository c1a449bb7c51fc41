#pragma once

// A spdlog sink that sends every record to the Nemora debug console through a
// DebugClient (nemora_client.h). Header-only; needs spdlog's headers (with its
// bundled fmt or an external one) and the client library (nemora::client).
//
//     #include "nemora_spdlog_sink.h"
//
//     auto sink = std::make_shared<nemora::debug_console_sink_mt>();
//     auto log = std::make_shared<spdlog::logger>("game", sink);
//     log->info("level {} loaded", 3);          // one line, in the logger's pattern
//     log->warn("two\nlines");                  // a line feed starts a new line
//     sink->client().Fps(59.7);                 // readings go to the client itself
//
// How it behaves:
// - A record becomes the text of the sink's formatter (the logger's pattern and
//   level, set_pattern as with any sink), queued as DebugClient::Line queues
//   it: one line per record, or several when the message holds line feeds.
//   The pattern's line end is not sent: the line feeds between lines are the
//   client's. Text beginning "FPS:" shows as text, never as a reading.
// - Logging never waits for the console: the record is copied into the
//   client's bounded buffer and the client's writer thread sends it. When the
//   console is absent or slow the oldest lines are dropped and the console
//   shows "[client] N lines dropped" where the gap is, as for any DebugClient.
// - The client reconnects whenever the console restarts, so one sink serves a
//   host's whole life; no file is opened or reopened.
// - flush() (and flush_on) waits for nothing by default: delivery never needs
//   it. A sink made with a flush wait waits at most that long for the client's
//   buffer to reach the pipe, holding the sink's lock meanwhile:
//       debug_console_sink_mt(nemora::DebugClientOptions{}, std::chrono::milliseconds(50))
// - debug_console_sink_mt takes a mutex as spdlog's _mt sinks do;
//   debug_console_sink_st none, for loggers used from one thread.
// - The console serves one client at a time: a host that has a DebugClient
//   already hands it to the sink rather than making a second one.

#include <chrono>
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>

#include <spdlog/details/null_mutex.h>
#include <spdlog/sinks/base_sink.h>

#include "nemora_client.h"

namespace nemora {

template <typename Mutex>
class DebugConsoleSink final : public spdlog::sinks::base_sink<Mutex> {
  public:
    // A client of the sink's own, made with the options.
    explicit DebugConsoleSink(DebugClientOptions options = {},
                              std::chrono::milliseconds flushWait = kNoFlushWait)
        : client_(std::make_shared<DebugClient>(std::move(options))), flushWait_(flushWait) {}

    // A client the host shares with the sink (never null).
    explicit DebugConsoleSink(std::shared_ptr<DebugClient> client,
                              std::chrono::milliseconds flushWait = kNoFlushWait)
        : client_(std::move(client)), flushWait_(flushWait) {}

    // The client the records go through: for Fps, Status, DroppedLines or a Flush.
    DebugClient& client() const { return *client_; }

    static constexpr std::chrono::milliseconds kNoFlushWait{0};

  protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        spdlog::memory_buf_t formatted;
        this->formatter_->format(msg, formatted);
        client_->Line(WithoutLineEnd(std::string_view(formatted.data(), formatted.size())));
    }

    void flush_() override {
        if (flushWait_ > kNoFlushWait) {
            client_->Flush(flushWait_);
        }
    }

  private:
    // The formatter ends each record with the pattern's line end ("\r\n" on
    // Windows by default); the client cuts lines itself.
    static std::string_view WithoutLineEnd(std::string_view text) {
        if (!text.empty() && text.back() == '\n') {
            text.remove_suffix(1);
            if (!text.empty() && text.back() == '\r') {
                text.remove_suffix(1);
            }
        }
        return text;
    }

    std::shared_ptr<DebugClient> client_;
    std::chrono::milliseconds flushWait_;
};

using debug_console_sink_mt = DebugConsoleSink<std::mutex>;
using debug_console_sink_st = DebugConsoleSink<spdlog::details::null_mutex>;

}  // namespace nemora
