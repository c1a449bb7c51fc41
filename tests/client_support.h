#pragma once

// What the client tests share: the console's own intake run on a thread of the test process, and a
// hand-rolled pipe server with the console's parameters that a test can close and re-create.

#include <windows.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "handoff/handoff.h"
#include "intake/pipe_listener.h"
#include "driver/unique_handle.h"
#include "tests/support/listener_harness.h"
#include "driver/wait.h"

namespace nemora::test {

using namespace std::chrono_literals;

// How long any wait in these tests may take before it counts as a failure.
inline constexpr std::chrono::milliseconds kPatience = 10s;

// The console's intake (listener thread, framer, pending-line queue) in this
// process, with no window: Lines are collected from the queue by the test.
class ConsoleIntake {
  public:
    // Starts the listener thread (once); it runs until the process ends.
    ConsoleIntake() { EnsureListener(); }

    // Waits until the pipe is there and free, as with a console started before
    // the client: for tests whose client must find it at once.
    bool WaitUntilListening() {
        return WaitUntil([] { return WaitNamedPipeW(kPipeName, 1) != 0; });
    }

    // Every Line the console has shown so far.
    const std::vector<Line>& Lines() {
        for (Line& line : TakeArrived()) {
            lines_.push_back(std::move(line));
        }
        return lines_;
    }

    // Waits until `count` Lines have been shown.
    bool WaitForLines(std::size_t count) {
        return WaitUntil([&] { return Lines().size() >= count; });
    }

    // Waits until the Line has been shown.
    bool WaitFor(const std::string& wanted) {
        return WaitUntil([&] {
            const std::vector<Line>& lines = Lines();
            for (const Line& line : lines) {
                if (line == wanted) {
                    return true;
                }
            }
            return false;
        });
    }

    bool WaitForReading(double wanted) {
        return WaitUntil([&] { return latestFps.load() == wanted; });
    }

  private:
    std::vector<Line> lines_;
};

// A pipe server with the console's parameters (inbound, byte mode, one
// instance, 64 KiB in-buffer) whose every wait is bounded.
class TestPipeServer {
  public:
    // Creates the pipe; false if that fails (another server holds the name).
    bool Create() {
        pipe_.reset(CreateNamedPipeW(kPipeName, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                     PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 0,
                                     kPipeInputBufferBytes, 0, nullptr));
        return static_cast<bool>(pipe_);
    }

    bool WaitForClient(std::chrono::milliseconds timeout = kPatience) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = event_.get();
        if (ConnectNamedPipe(pipe_.get(), &overlapped)) {
            return true;
        }
        switch (GetLastError()) {
            case ERROR_PIPE_CONNECTED:
            case ERROR_NO_DATA:  // connected and gone already: what it wrote is still there
                return true;
            case ERROR_IO_PENDING:
                break;
            default:
                return false;
        }
        DWORD unused = 0;
        return Finish(overlapped, unused, timeout);
    }

    // Reads until `count` more lines have arrived; false on a timeout or a read error.
    bool ReadLines(std::size_t count, std::chrono::milliseconds timeout = kPatience) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        const std::size_t wanted = lines_.size() + count;
        while (lines_.size() < wanted) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || ReadOnce(left) != Read::Bytes) {
                return false;
            }
        }
        return true;
    }

    // Reads (and keeps) whatever is left until the client's end is closed;
    // true once it is, false on a timeout.
    bool ReadUntilClosed(std::chrono::milliseconds timeout = kPatience) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return false;
            }
            switch (ReadOnce(left)) {
                case Read::Bytes:
                    continue;
                case Read::Closed:
                    return true;
                case Read::TimedOut:
                    return false;
            }
        }
    }

    // Bytes the client has written that nobody has read yet.
    DWORD BytesWaiting() const {
        DWORD available = 0;
        PeekNamedPipe(pipe_.get(), nullptr, 0, nullptr, &available, nullptr);
        return available;
    }

    // Impersonates the client on this thread, reads the level the client
    // allowed, and reverts; false if impersonating failed.
    bool ClientImpersonationLevel(SECURITY_IMPERSONATION_LEVEL& level) const {
        if (!ImpersonateNamedPipeClient(pipe_.get())) {
            return false;
        }
        HANDLE token = nullptr;
        DWORD size = 0;
        const bool read =
            OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) &&
            GetTokenInformation(token, TokenImpersonationLevel, &level, sizeof level, &size);
        if (token != nullptr) {
            CloseHandle(token);
        }
        RevertToSelf();
        return read;
    }

    // The server's end goes away, as when the console ends.
    void Close() {
        DisconnectNamedPipe(pipe_.get());
        pipe_.reset();
    }

    // Whole lines received so far, without their line feeds; then the bytes
    // after the last line feed.
    const std::vector<std::string>& lines() const { return lines_; }
    const std::string& partial() const { return partial_; }
    std::size_t bytesRead() const { return bytesRead_; }
    // Reads that returned bytes: one for each write the client made, while
    // the server reads as fast as it writes.
    std::size_t reads() const { return reads_; }

  private:
    enum class Read { Bytes, Closed, TimedOut };

    Read ReadOnce(std::chrono::milliseconds timeout) {
        char buffer[kReadChunk];
        OVERLAPPED overlapped{};
        overlapped.hEvent = event_.get();
        DWORD read = 0;
        if (!ReadFile(pipe_.get(), buffer, sizeof buffer, nullptr, &overlapped) &&
            GetLastError() != ERROR_IO_PENDING) {
            return Read::Closed;
        }
        if (!Finish(overlapped, read, timeout)) {
            return GetLastError() == WAIT_TIMEOUT ? Read::TimedOut : Read::Closed;
        }
        if (read == 0) {
            return Read::Closed;
        }
        Take(buffer, read);
        return Read::Bytes;
    }

    // Waits for the overlapped operation; cancels it on a timeout.
    bool Finish(OVERLAPPED& overlapped, DWORD& transferred, std::chrono::milliseconds timeout) {
        if (WaitForSingleObject(event_.get(), static_cast<DWORD>(timeout.count())) !=
            WAIT_OBJECT_0) {
            CancelIoEx(pipe_.get(), &overlapped);
            GetOverlappedResult(pipe_.get(), &overlapped, &transferred, TRUE);
            SetLastError(WAIT_TIMEOUT);
            return false;
        }
        return GetOverlappedResult(pipe_.get(), &overlapped, &transferred, FALSE) != 0;
    }

    void Take(const char* bytes, DWORD count) {
        ++reads_;
        bytesRead_ += count;
        partial_.append(bytes, count);
        std::size_t start = 0;
        for (std::size_t feed; (feed = partial_.find('\n', start)) != std::string::npos;
             start = feed + 1) {
            lines_.push_back(partial_.substr(start, feed - start));
        }
        partial_.erase(0, start);
    }

    UniqueFileHandle pipe_;
    UniqueHandle event_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::vector<std::string> lines_;
    std::string partial_;
    std::size_t bytesRead_ = 0;
    std::size_t reads_ = 0;
};

}  // namespace nemora::test
