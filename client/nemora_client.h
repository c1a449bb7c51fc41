#pragma once

// Sends debug lines from inside a host process to the Nemora debug console
// without ever making the host wait for the console.
//
//     #include "nemora_client.h"
//
//     nemora::DebugClient* debug = nullptr;          // lives as long as the component
//     void OnAttach() { debug = new nemora::DebugClient(); }   // not from DllMain
//     void OnFrame(double fps, int frame) {
//         debug->Fps(fps);                           // shows in the console's title
//         debug->Printf("frame %d drawn", frame);    // one line in the view
//         debug->Line("two\nlines");                 // a line feed starts a new line
//     }
//     void OnDetach() { delete debug; debug = nullptr; }  // flushes; waits 0.6 s at most
//
// How it behaves:
// - Line, Fps and Printf copy the text into a bounded in-memory buffer and
//   return; they never touch the pipe. A writer thread of the client's own
//   connects to the console, writes, and reconnects when the console restarts or
//   the client that held the pipe before it has gone (the console serves one
//   client at a time). While no console is there it retries with a back-off of
//   10 ms growing to 250 ms; it never spins.
// - When the buffer is full (16384 lines or 1 MiB by default, see
//   DebugClientOptions), the oldest unsent lines are dropped and counted, and
//   the next lines that reach the console are preceded by one line
//   "[client] N lines dropped", so the gap shows in the view.
// - Safe from any number of threads: lines are kept whole, and the lines of one
//   call stay together, in call order.
//
// Lifetime rules for a component injected into a host:
// - Create and destroy the client from ordinary code (an init/shutdown export,
//   the host's first frame, a hook), never inside DllMain: the constructor starts a
//   thread and the destructor waits for it, and both would then run under the
//   loader lock.
// - Destroy it (or call Shutdown) before the module holding this code is unloaded
//   with FreeLibrary. The writer thread holds a reference to that module until it
//   has ended, so FreeLibrary right after a Shutdown that gave up on a stuck
//   writer never unmaps code the thread still runs: the module goes when the
//   thread does. (So a client never shut down keeps its module loaded.)
// - The destructor (and Shutdown) waits at most flushTimeout for the buffer to
//   reach the pipe, then cancels the write in progress (the console may be frozen
//   with the pipe full) and waits at most kAbortGrace more for the thread. With
//   no console connected it tries to connect for about 100 ms (the console may
//   be re-creating its pipe after another client), then returns: nobody is
//   there to read.
// - At process exit the system ends the writer thread (and every other thread)
//   wherever it is, perhaps holding the client's lock, before DLLs are detached
//   and a DLL's static objects destroyed. From then on every call returns at
//   once without taking the lock: Line and Printf count their lines as dropped
//   (Printf, unformatted, as one line), Fps and Flush do nothing, Shutdown and
//   the destructor touch nothing and what was still buffered is lost. In an
//   executable, static destructors run before that and flush as usual.
//
// Which calls are safe where:
// - Line, Fps, Printf, DroppedLines, Status, StatusError and
//   CapturingDebugOutput, and OutputDebugString while captured: from any thread
//   and any context, DllMain included, at process exit too, until the client
//   is destroyed. Line, Fps, Printf and a captured call take a lock held for a
//   few moves and at most set an event; the others read atomics. Text of many
//   lines is split and counted before the lock: under it, at most
//   maxBufferedLines moves, and none when its lines push out all that was
//   queued (a call of more lines than the buffer holds).
// - The constructor, Flush, Shutdown and the destructor: from ordinary code,
//   never inside DllMain (they start or wait for the writer thread), except at
//   process exit, where they return at once. Shutdown and the destructor from
//   one thread.
//
// A tool that must know whether its bytes arrived (and say so in its exit code)
// uses ConsolePipe instead: blocking calls that report every failure, the same
// ones the DebugClient's writer thread connects and writes with.

#include <chrono>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "nemora_protocol.h"

namespace nemora {

#if defined(__MINGW_PRINTF_FORMAT)
#define NEMORA_CLIENT_PRINTF(fmt, args) __attribute__((format(__MINGW_PRINTF_FORMAT, fmt, args)))
#elif defined(__GNUC__)
#define NEMORA_CLIENT_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define NEMORA_CLIENT_PRINTF(fmt, args)
#endif

class DebugOutputCapture;

// The console's pipe.
inline constexpr const wchar_t* kConsolePipeName = kPipeName;

// The client end of the console's pipe, opened for writing, with blocking calls
// that say what went wrong. Bytes go as they are: nothing is split, escaped or
// dropped. One thread at a time. The server may identify the client but never
// act as it (identification-level security quality of service): whoever holds
// the pipe's name, even a process that created it before the console, cannot
// use the host's token.
//
//     using nemora::ConsolePipe;
//     ConsolePipe pipe;
//     const bool sent = pipe.Open(std::chrono::seconds(5)) == ConsolePipe::Opened::kOpened &&
//                       pipe.Write("FPS:60\n") == ConsolePipe::Written::kAll;
class ConsolePipe {
  public:
    enum class Opened {
        kOpened,
        kNoConsole,    // the pipe did not exist, and did not appear within the absent grace
        kBusyTimeout,  // another client held the pipe for the whole busy wait
        kFailed,       // any other error; see Error()
    };
    enum class Written {
        kAll,        // every byte is in the pipe
        kFailed,     // the console went away, or another error; see Error()
        kCancelled,  // the cancel event was set while a write waited for room
    };

    // While the console re-creates its pipe after a client has gone, the name
    // briefly does not exist; this long without it means no console is listening.
    static constexpr std::chrono::milliseconds kAbsentGrace{1000};

    ConsolePipe();
    ~ConsolePipe();  // Closes the pipe.
    ConsolePipe(const ConsolePipe&) = delete;
    ConsolePipe& operator=(const ConsolePipe&) = delete;

    // Opens the pipe (closing it first if open). While another client holds it,
    // waits up to busyWait for it to be free; while it does not exist, tries
    // again for absentGrace since it was last seen. With both zero: one attempt.
    Opened Open(std::chrono::milliseconds busyWait,
                std::chrono::milliseconds absentGrace = kAbsentGrace,
                const wchar_t* name = kConsolePipeName);

    // Writes every byte, in as many writes as it takes (never a zero-byte write,
    // which would end the connection), waiting as long as the console takes to
    // read them. Setting cancelEvent (an event handle, may be null) ends a wait
    // for room early. *sent, if given, gets the bytes that went into the pipe.
    Written Write(std::string_view bytes, void* cancelEvent = nullptr, std::size_t* sent = nullptr);

    void Close();
    bool IsOpen() const;
    // The system error code the last Open or Write ended with (0 after success).
    unsigned long Error() const { return error_; }

  private:
    void* pipe_;    // INVALID_HANDLE_VALUE while closed
    void* ioDone_;  // the event an overlapped write signals
    unsigned long error_ = 0;
};

struct DebugClientOptions {
    // Unsent lines kept at most, and their bytes at most (line feeds included).
    // Beyond either bound the oldest unsent lines are dropped; a line that alone
    // is longer than maxBufferedBytes is dropped itself. The writer thread holds
    // one batch of at most kMaxBatchBytes on top while it writes it.
    std::size_t maxBufferedLines = 16384;
    std::size_t maxBufferedBytes = std::size_t{1} << 20;
    // How long destruction (or Shutdown) waits for the buffer to reach the pipe.
    std::chrono::milliseconds flushTimeout{500};
    // The console's pipe; another name only for a private test server.
    std::wstring pipeName = kConsolePipeName;
    // While a nemora-relay runs, write to it instead of the console's pipe (and
    // move to it from the console when one starts), so that the console shows
    // this client's lines with every other program's. Only with the console's
    // pipe name; the relay's own client sets it false.
    bool viaRelay = true;
    // Takes every OutputDebugStringA/W call in the host process, from any
    // thread and any module, as lines of this client while it lives (see
    // CapturingDebugOutput). Each call makes at least one line, split at line
    // feeds as Line splits; A strings are read in the host's ANSI code page, W
    // strings as UTF-16. The call then returns at once: nothing reaches the
    // system's own channel, and no call waits for the console or the writer.
    // One client per process captures.
    bool captureDebugOutput = false;
    // Once it has written every queued line, the writer looks for new ones
    // every batchInterval for a quarter of a second, then sleeps until a line
    // wakes it: a host logging steadily never pays for a wake-up. A longer
    // interval gathers more lines into each write, so the console (and the
    // machine) does less work a line, and a line may show (and Flush return)
    // that much later. Taken between 1 and 250 ms; on Windows a wait lasts at
    // least the system timer's tick, often 15.6 ms. The relay forwards once a
    // frame (16 ms).
    std::chrono::milliseconds batchInterval{2};
};

// Why lines are not reaching the console right now (kConnected while they are).
enum class DeliveryStatus : int {
    kStarting = 0,      // the writer thread has not tried to connect yet
    kConnected = 1,     // connected: lines are being written
    kNoConsole = 2,     // the pipe does not exist: no console is running
    kPipeBusy = 3,      // another client holds the console
    kAccessDenied = 4,  // the pipe exists but may not be opened (e.g. the console runs elevated)
    kFailed = 5,        // any other error; see StatusError()
    kShutDown = 6,      // Shutdown has been called
};

class DebugClient {
  public:
    // Bytes the writer thread takes from the buffer for one write at most.
    static constexpr std::size_t kMaxBatchBytes = 32768;
    // How long Shutdown waits for the writer thread after cancelling its write.
    static constexpr std::chrono::milliseconds kAbortGrace{100};

    // Starts the writer thread; does not wait for a console.
    explicit DebugClient(DebugClientOptions options = {});
    // Shutdown, then releases everything.
    ~DebugClient();
    DebugClient(const DebugClient&) = delete;
    DebugClient& operator=(const DebugClient&) = delete;

    // Queues text as one line, or as several when it holds line feeds: each line
    // feed ends a line, except that one final line feed adds no empty line after
    // it ("a\n" is the line "a"; "" and "\n" are one empty line). A carriage
    // return is kept as it is; the console drops the one right before a line feed,
    // so "\r\n" line ends show like "\n". A line that would begin "FPS:" gets one
    // space in front (" FPS:...") so that the console shows it as text instead of
    // taking it as a frame-rate reading.
    void Line(std::string_view text);
    // The same for UTF-16 text (Windows' wide strings), queued as UTF-8; a
    // surrogate without its other half becomes U+FFFD.
    void Line(std::wstring_view text);

    // Queues a frame-rate reading, written as "FPS:" and the shortest decimal
    // form that reads back as the same double (independent of the C locale).
    // Only the latest unsent reading is kept: readings never push text lines out
    // of the buffer and are never counted as dropped.
    void Fps(double fps);

    // Formats like printf (the host's C locale applies) and queues the result as
    // Line does. A format error queues nothing. Wide text (%ls, %lc, %S, %C)
    // becomes UTF-8 whatever the C locale; a format with any takes the
    // conversions the C interface's DLL lists (docs/client-package.md) and
    // queues nothing for others.
    void Printf(const char* format, ...) NEMORA_CLIENT_PRINTF(2, 3);
    void VPrintf(const char* format, va_list args) NEMORA_CLIENT_PRINTF(2, 0);

    // Waits (all of timeout, up to its maximum, unless done before) until nothing is queued and the
    // last batch has been written to the pipe; true if so. (While other threads keep queuing, that
    // may never happen.) Never needed for delivery, only for a caller that wants
    // to know: a test, a host about to crash on purpose.
    bool Flush(std::chrono::milliseconds timeout);

    // Ends the capture of OutputDebugString first (waiting for a call that is
    // being taken on another thread), then flushes with the bounded wait
    // described above and stops the writer thread. Lines queued afterwards are
    // ignored. Idempotent; the destructor calls it. Everything still queued
    // when it returns is lost.
    void Shutdown();

    // True once the process is exiting: the system has ended every other thread,
    // and every call returns at once (see the lifetime rules above).
    bool ProcessExiting() const;

    // Lines dropped for want of space since construction (and at process exit).
    std::uint64_t DroppedLines() const;

    // Why lines are not reaching the console right now. The writer thread
    // connects once there is a line to send, and keeps retrying whatever stops
    // it; this says what stopped its latest attempt. kFailed also follows a write
    // that failed because the console went away, until the next line is sent.
    DeliveryStatus Status() const;
    // The system error code behind the status (0 when connected): for kFailed,
    // the one to look up; ERROR_ACCESS_DENIED for kAccessDenied.
    unsigned long StatusError() const;

    // True while this client takes the host's OutputDebugString calls: asked
    // for in the options, and no other client in the process (of this module
    // or another) took them first. False after Shutdown.
    bool CapturingDebugOutput() const;

    struct Shared;  // state shared with the writer thread; defined in the source

  private:
    friend class DebugOutputCapture;
    // Whether the calling thread holds this client's lock (the capture then
    // leaves a call to the system rather than wait on it).
    bool LockHeldByThisThread() const;

    std::shared_ptr<Shared> shared_;
    std::unique_ptr<DebugOutputCapture> capture_;  // while captureDebugOutput holds
    void* thread_ = nullptr;                       // the writer thread's handle
    bool shutDown_ = false;
};

}  // namespace nemora

#undef NEMORA_CLIENT_PRINTF
