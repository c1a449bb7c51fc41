#include "nemora_client.h"

#include "debug_output_capture.h"
#include "nemora_client_test_hooks.h"
#include "nemora_relay_routing.h"
#include "utf16_text.h"
#include "windows_abi_format.h"

#include "lean_windows.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <deque>
#include <iterator>
#include <mutex>
#include <utility>
#include <vector>

namespace nemora {

namespace {

// What makes such a line show as text: the console only takes the prefix at the
// very start of a line.
constexpr char kFpsEscape = ' ';

// Pause between connection attempts while the console is absent or busy with
// another client: short at first, so a console restart is picked up at once,
// then growing so that an absent console costs the host next to nothing.
constexpr DWORD kFirstBackoffMs = 10;
constexpr DWORD kMaxBackoffMs = 250;
// How long a closing client still tries to reach a console it isn't connected to.
constexpr std::chrono::milliseconds kCloseConnectGrace{100};

// After a batch, the writer looks for more lines every batchInterval for
// kLingerMs before it sleeps until woken. Callers wake it only from that sleep:
// the wake-up is a kernel call, which a host logging every frame then never makes.
constexpr ULONGLONG kLingerMs = 250;
constexpr std::chrono::milliseconds kShortestBatchInterval{1};
constexpr std::chrono::milliseconds kLongestBatchInterval{kLingerMs};

// The writer thread needs little: no deep calls, no large locals.
constexpr SIZE_T kWriterStackBytes = 64 * 1024;

// printf output, and the UTF-8 of wide text, up to this size is made on the stack.
constexpr std::size_t kPrintfStackBytes = 512;

// While the pipe's name is gone, how often ConsolePipe::Open looks for it again.
constexpr DWORD kAbsentPollMs = 20;
// Bytes one WriteFile is asked to take at most (its count is a DWORD).
constexpr std::size_t kMaxWriteBytes = std::size_t{1} << 20;

// The pipe is opened so that its server can identify the client but never
// impersonate it: anyone may create the pipe's name while no console runs.
constexpr DWORD kOpenFlags = FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;

// Set by a test to make the next writer thread end while it holds its lock.
std::atomic<HANDLE> endNextWriterHoldingLock{nullptr};
// Set by a test: the next call that queues lines calls OutputDebugStringA with
// this text while it holds the client's lock.
std::atomic<const char*> callDebugOutputUnderLock{nullptr};

// A mutex that knows which thread holds it. A thread that holds the client's
// lock and runs into OutputDebugString (a host's allocator that reports, say)
// must not have the call taken as a line: that would wait on the lock the
// thread itself holds.
class OwnedMutex {
  public:
    void lock() {
        mutex_.lock();
        owner_.store(GetCurrentThreadId(), std::memory_order_relaxed);
    }
    bool try_lock() {
        if (!mutex_.try_lock()) {
            return false;
        }
        owner_.store(GetCurrentThreadId(), std::memory_order_relaxed);
        return true;
    }
    void unlock() {
        owner_.store(0, std::memory_order_relaxed);
        mutex_.unlock();
    }
    // Exact for the calling thread: only it stores its own id, and only it clears it.
    bool HeldByThisThread() const {
        return owner_.load(std::memory_order_relaxed) == GetCurrentThreadId();
    }

  private:
    std::mutex mutex_;
    std::atomic<DWORD> owner_{0};
};

// Owns a kernel handle whose invalid value is null: an event or a thread. (The
// pipe, whose invalid value is INVALID_HANDLE_VALUE, is owned by ConsolePipe.)
class UniqueEvent {
  public:
    explicit UniqueEvent(HANDLE handle) : handle_(handle) {}
    ~UniqueEvent() {
        if (handle_ != nullptr) {
            CloseHandle(handle_);
        }
    }
    UniqueEvent(const UniqueEvent&) = delete;
    UniqueEvent& operator=(const UniqueEvent&) = delete;

    HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

  private:
    HANDLE handle_;
};

DWORD ClampedMs(std::chrono::milliseconds duration) {
    return static_cast<DWORD>(
        std::clamp<std::chrono::milliseconds::rep>(duration.count(), 0, INFINITE - 1));
}

// Waits for longer than a DWORD of milliseconds go in slices of this.
constexpr std::chrono::milliseconds kLongestWaitSlice{INFINITE - 1};

// Waits for the thread to end, for all of `timeout`; true if it did.
bool WaitForThread(HANDLE thread, std::chrono::milliseconds timeout) {
    for (std::chrono::milliseconds left = std::max(timeout, std::chrono::milliseconds(0));;
         left -= kLongestWaitSlice) {
        if (WaitForSingleObject(thread, ClampedMs(left)) == WAIT_OBJECT_0) {
            return true;
        }
        if (left <= kLongestWaitSlice) {
            return false;
        }
    }
}

// One line as it goes on the wire: escaped if needed, ended by a line feed.
std::string WireLine(std::string_view piece) {
    std::string line;
    const bool escape = piece.substr(0, kFpsPrefix.size()) == kFpsPrefix;
    line.reserve(piece.size() + (escape ? 2 : 1));
    if (escape) {
        line += kFpsEscape;
    }
    line.append(piece.data(), piece.size());
    line += '\n';
    return line;
}

// "FPS:" and the shortest text that reads back as the same double, then a line feed.
std::string WireReading(double fps) {
    char text[64];
    const std::to_chars_result result = std::to_chars(std::begin(text), std::end(text), fps);
    std::string line(kFpsPrefix);
    line.append(text, result.ptr);
    line += '\n';
    return line;
}

std::string DroppedNotice(std::uint64_t dropped) {
    return ClientDroppedNotice(dropped) + '\n';
}

// The lines Line makes of the text: one per line feed, and one more unless
// the text ends with one.
template <typename Char>
std::uint64_t LinesIn(std::basic_string_view<Char> text) {
    const auto feeds = static_cast<std::uint64_t>(std::count(text.begin(), text.end(), Char('\n')));
    const bool finalFeed = !text.empty() && text.back() == Char('\n');
    return feeds + 1 - (finalFeed ? 1 : 0);
}

}  // namespace

ConsolePipe::ConsolePipe()
    : pipe_(INVALID_HANDLE_VALUE), ioDone_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

ConsolePipe::~ConsolePipe() {
    Close();
    if (ioDone_ != nullptr) {
        CloseHandle(ioDone_);
    }
}

void ConsolePipe::Close() {
    if (pipe_ != INVALID_HANDLE_VALUE) {
        CloseHandle(std::exchange(pipe_, INVALID_HANDLE_VALUE));
    }
}

bool ConsolePipe::IsOpen() const {
    return pipe_ != INVALID_HANDLE_VALUE;
}

ConsolePipe::Opened ConsolePipe::Open(std::chrono::milliseconds busyWait,
                                      std::chrono::milliseconds absentGrace, const wchar_t* name) {
    Close();
    if (ioDone_ == nullptr) {
        error_ = ERROR_NOT_ENOUGH_MEMORY;  // no event for the writes: out of kernel objects
        return Opened::kFailed;
    }
    const DWORD waitMs = ClampedMs(busyWait);
    const DWORD graceMs = ClampedMs(absentGrace);
    const ULONGLONG start = GetTickCount64();
    ULONGLONG lastSeen = start;  // when the pipe was last known to exist (or the start)
    for (;;) {
        // Overlapped, so that a write into a full pipe can be cancelled.
        pipe_ = CreateFileW(name, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, kOpenFlags, nullptr);
        if (pipe_ != INVALID_HANDLE_VALUE) {
            error_ = ERROR_SUCCESS;
            return Opened::kOpened;
        }
        error_ = GetLastError();
        const ULONGLONG now = GetTickCount64();
        if (error_ == ERROR_PIPE_BUSY) {
            lastSeen = now;
            const ULONGLONG waited = now - start;
            if (waited >= waitMs) {
                return Opened::kBusyTimeout;
            }
            // Returns once the holder has gone and the console serves the name
            // again, or fails when it has gone and the name not yet come back:
            // either way, try again.
            if (!WaitNamedPipeW(name, static_cast<DWORD>(waitMs - waited)) &&
                GetLastError() != ERROR_SEM_TIMEOUT) {
                Sleep(kAbsentPollMs);
            }
        } else if (error_ == ERROR_FILE_NOT_FOUND) {
            if (now - lastSeen >= graceMs) {
                return Opened::kNoConsole;
            }
            Sleep(kAbsentPollMs);
        } else {
            return Opened::kFailed;
        }
    }
}

ConsolePipe::Written ConsolePipe::Write(std::string_view bytes, void* cancelEvent,
                                        std::size_t* sent) {
    std::size_t done = 0;
    const auto stop = [&](Written result, DWORD error) {
        error_ = error;
        if (sent != nullptr) {
            *sent = done;
        }
        return result;
    };
    while (done < bytes.size()) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = ioDone_;
        const auto count = static_cast<DWORD>(std::min(bytes.size() - done, kMaxWriteBytes));
        DWORD written = 0;
        if (!WriteFile(pipe_, bytes.data() + done, count, nullptr, &overlapped)) {
            if (GetLastError() != ERROR_IO_PENDING) {
                return stop(Written::kFailed, GetLastError());
            }
            // Waits as long as the console takes to read (a frozen console
            // leaves the pipe full); only the cancel event ends the wait early.
            const HANDLE events[] = {ioDone_, cancelEvent};
            if (WaitForMultipleObjects(cancelEvent != nullptr ? 2 : 1, events, FALSE, INFINITE) !=
                WAIT_OBJECT_0) {
                CancelIoEx(pipe_, &overlapped);
                GetOverlappedResult(pipe_, &overlapped, &written, TRUE);
                done += written;
                return stop(Written::kCancelled, ERROR_OPERATION_ABORTED);
            }
        }
        const bool ok = GetOverlappedResult(pipe_, &overlapped, &written, FALSE);
        done += written;
        if (!ok) {
            return stop(Written::kFailed, GetLastError());
        }
        if (written == 0) {  // asking again would take nothing again: don't spin on it
            return stop(Written::kFailed, ERROR_WRITE_FAULT);
        }
    }
    return stop(Written::kAll, ERROR_SUCCESS);
}

struct DebugClient::Shared {
    // A wire line, and how many lines were dropped between the one queued
    // before it and it: so that each notice shows where its lines went missing.
    struct Queued {
        std::string wire;
        std::uint64_t droppedBefore = 0;
    };

    explicit Shared(DebugClientOptions opts)
        : options(std::move(opts)),
          wake(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
          abort(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          // Looked up now: at process exit the loader's own locks may be
          // orphaned, and GetModuleHandle takes one.
          shutdownInProgress(reinterpret_cast<ShutdownQuery>(reinterpret_cast<void*>(
              GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlDllShutdownInProgress")))) {}

    const DebugClientOptions options;

    // Guards everything below it up to the events. Held only for moves of
    // strings in and out of the deque, never across a system call but SetEvent.
    OwnedMutex mutex;
    std::deque<Queued> lines;  // unsent wire lines, oldest first
    std::size_t bytes = 0;     // their total size
    // Lines dropped and not yet announced: before the first queued line (with
    // its own droppedBefore), and after the last one.
    std::uint64_t droppedUnreported = 0;
    std::uint64_t droppedAfterLast = 0;
    bool readingPending = false;
    double reading = 0.0;
    bool writerIdle = false;              // the writer waits on `wake` for work
    bool inFlight = false;                // the writer holds a batch not yet fully written
    bool closing = false;                 // no more lines; the writer ends once all is written
    std::atomic<bool> aborting{false};    // set just before `abort`
    std::condition_variable_any drained;  // signalled when nothing is left to write

    UniqueEvent wake;   // auto-reset: work arrived while the writer was idle, or closing
    UniqueEvent abort;  // manual-reset: stop now, cancel the write in progress

    // Read without the lock, so that they answer even at process exit.
    std::atomic<std::uint64_t> droppedTotal{0};
    std::atomic<std::uint64_t> status{Packed(DeliveryStatus::kStarting, 0)};
    std::atomic<bool> capturing{false};  // takes the host's OutputDebugString calls

    // Whether the process is exiting: the system has ended every other thread,
    // perhaps one holding `mutex`, which then nobody will ever release.
    using ShutdownQuery = BOOLEAN(WINAPI*)();
    const ShutdownQuery shutdownInProgress;

    bool HasWork() const { return !lines.empty() || readingPending || droppedUnreported > 0; }
    bool Drained() const { return !HasWork() && !inFlight; }
    bool Aborting() const { return aborting.load(); }
    bool ProcessExiting() const { return shutdownInProgress != nullptr && shutdownInProgress(); }

    // The oldest queued line goes; its gap and it join the gap before the next.
    void DropOldest() {
        bytes -= lines.front().wire.size();
        droppedUnreported += lines.front().droppedBefore + 1;
        lines.pop_front();
        droppedTotal.fetch_add(1, std::memory_order_relaxed);
    }
    // Lines that could never fit go where they stood: after what is queued.
    void DropArriving(std::uint64_t count) {
        (lines.empty() ? droppedUnreported : droppedAfterLast) += count;
        droppedTotal.fetch_add(count, std::memory_order_relaxed);
    }

    // The status and its error in one word, so that they change together.
    static constexpr std::uint64_t Packed(DeliveryStatus state, DWORD error) {
        return std::uint64_t{static_cast<std::uint32_t>(state)} << 32 | error;
    }
    // Records the writer's latest outcome; Shutdown's status stays.
    void SetStatus(DeliveryStatus state, DWORD error) {
        std::uint64_t now = status.load();
        while (now >> 32 != static_cast<std::uint32_t>(DeliveryStatus::kShutDown) &&
               !status.compare_exchange_weak(now, Packed(state, error))) {
        }
    }

    // Whether a wire line of this size could ever be queued.
    bool Fits(std::size_t size) const {
        return size <= options.maxBufferedBytes && options.maxBufferedLines != 0;
    }

    // Under the lock: queues a line that fits, after the lines dropped right
    // before it as too long to ever fit (its droppedBefore), and trims the
    // oldest past the bounds.
    void Push(Queued& line) {
        DropArriving(std::exchange(line.droppedBefore, 0));
        bytes += line.wire.size();
        line.droppedBefore = std::exchange(droppedAfterLast, 0);
        lines.push_back(std::move(line));
        while (lines.size() > options.maxBufferedLines || bytes > options.maxBufferedBytes) {
            DropOldest();
        }
    }

    // Queues one line, or counts it as dropped if it could never fit.
    void Enqueue(Queued& line) {
        Locked([&] {
            if (Fits(line.wire.size())) {
                Push(line);
            } else {
                DropArriving(1);
            }
        });
    }

    // One call's lines, made outside the lock, as if each were queued in turn:
    // `kept`, the newest that fit the bounds together (oldest first, each with
    // the lines dropped right before it as too long); `cut`, how many older
    // ones these push out; `droppedAfter`, the too long after the last kept.
    // The lock is held for at most maxBufferedLines moves whatever the call's
    // size, and for none when the kept lines push everything else out: they
    // then become the queue whole. What leaves the queue is freed after it.
    struct Arriving {
        std::deque<Queued> kept;
        std::size_t keptBytes = 0;
        std::uint64_t tooLong = 0;  // dropped as too long among `kept`
        std::uint64_t cut = 0;
        std::uint64_t droppedAfter = 0;
    };
    void Enqueue(Arriving& arriving) {
        std::deque<Queued> pushedOut;
        Locked([&] {
            if (arriving.cut == 0) {
                for (Queued& line : arriving.kept) {
                    Push(line);
                }
                DropArriving(arriving.droppedAfter);
                return;
            }
            // Everything queued goes, with the call's older lines, in one gap
            // before its first kept line.
            pushedOut.swap(lines);
            std::uint64_t gap = pushedOut.size() + std::exchange(droppedAfterLast, 0) +
                                arriving.cut +
                                std::exchange(arriving.kept.front().droppedBefore, 0);
            for (const Queued& line : pushedOut) {
                gap += line.droppedBefore;
            }
            droppedUnreported += gap;
            droppedTotal.fetch_add(
                pushedOut.size() + arriving.cut + arriving.tooLong + arriving.droppedAfter,
                std::memory_order_relaxed);
            lines.swap(arriving.kept);
            bytes = arriving.keptBytes;
            droppedAfterLast = arriving.droppedAfter;
        });
    }

    // Runs `work` under the lock unless the client is closing, then wakes a
    // sleeping writer.
    template <typename Work>
    void Locked(Work&& work) {
        bool signal = false;
        {
            std::lock_guard<OwnedMutex> lock(mutex);
            if (closing) {
                return;
            }
            if (callDebugOutputUnderLock.load(std::memory_order_relaxed) != nullptr) {
                if (const char* text = callDebugOutputUnderLock.exchange(nullptr)) {
                    OutputDebugStringA(text);
                }
            }
            work();
            signal = std::exchange(writerIdle, false);
        }
        if (signal) {
            SetEvent(wake.get());  // only when the writer sleeps: a busy writer finds it anyway
        }
    }
};

namespace {

using Shared = DebugClient::Shared;
using Queued = Shared::Queued;

// The writer thread's side: connects, takes batches from the buffer, writes
// them; Shutdown's abort event cancels a write into a full pipe.
class Writer {
  public:
    explicit Writer(Shared& shared) : shared_(shared) {}

    void Run() {
        if (!shared_.wake || !shared_.abort) {
            // Out of kernel objects: the buffer simply fills and drops.
            shared_.SetStatus(DeliveryStatus::kFailed, ERROR_NOT_ENOUGH_MEMORY);
            return;
        }
        for (;;) {
            if (batch_.empty() && !WaitForWork()) {
                return;
            }
            MoveToRelayIfStarted();
            if (!Connected()) {
                return;  // aborted, or closing with no console to flush to
            }
            if (batch_.empty()) {
                TakeBatch();
            }
            std::size_t sent = 0;
            switch (pipe_.Write(batch_, shared_.abort.get(), &sent)) {
                case ConsolePipe::Written::kAll:
                    batch_.clear();
                    FinishBatch();
                    break;
                case ConsolePipe::Written::kFailed:
                    // The console went away (restart, or it dropped this client).
                    // What it read of the batch is gone with it; send the rest,
                    // from the start of its first unfinished line, to the next one.
                    Resume(sent);
                    shared_.SetStatus(DeliveryStatus::kFailed, pipe_.Error());
                    pipe_.Close();
                    if (batch_.empty()) {
                        FinishBatch();
                    }
                    break;
                case ConsolePipe::Written::kCancelled:
                    return;
            }
        }
    }

  private:
    // Until there is something to send; false when the writer should end.
    // Right after a batch the writer only naps, checking for lines every
    // batchInterval, so that a host logging steadily never pays for a wake-up;
    // after kLingerMs without a line it sleeps until a caller wakes it.
    bool WaitForWork() {
        const ULONGLONG lingerEnd = GetTickCount64() + kLingerMs;
        std::unique_lock<OwnedMutex> lock = Lock();
        for (;;) {
            if (shared_.Aborting()) {
                return false;
            }
            if (shared_.HasWork()) {
                return true;
            }
            if (shared_.closing) {
                return false;
            }
            const bool asleep = GetTickCount64() >= lingerEnd;
            shared_.writerIdle = asleep;
            lock.unlock();
            const HANDLE events[] = {shared_.wake.get(), shared_.abort.get()};
            // Asleep at the console, it still looks for a relay now and then.
            const bool watching = direct_ && pipe_.IsOpen();
            WaitForMultipleObjects(2, events, FALSE,
                                   !asleep    ? batchIntervalMs_
                                   : watching ? static_cast<DWORD>(RelayWatch::kInterval.count())
                                              : INFINITE);
            MoveToRelayIfStarted();
            lock.lock();
        }
    }

    // Opens the pipe if not open yet, retrying with a growing pause while the
    // console is absent or serving another client; false once aborted.
    // Once the client is closing, the writer waits for the pipe for
    // kCloseConnectGrace at most, then gives up: long enough for the console
    // to re-create its pipe after the client before this one, short enough
    // that a host's shutdown hardly waits for a console that isn't there.
    bool Connected() {
        using std::chrono::milliseconds;
        const wchar_t* name = shared_.options.pipeName.c_str();
        DWORD pause = kFirstBackoffMs;
        while (!pipe_.IsOpen()) {
            if (Closing()) {
                return Report(Open(kCloseConnectGrace, kCloseConnectGrace, name)) &&
                       !shared_.Aborting();
            }
            if (Report(Open(milliseconds(0), milliseconds(0), name))) {
                break;
            }
            // Shutdown's wake-up ends the pause early; callers never signal during it.
            const HANDLE events[] = {shared_.abort.get(), shared_.wake.get()};
            if (WaitForMultipleObjects(2, events, FALSE, pause) == WAIT_OBJECT_0) {
                return false;
            }
            pause = std::min(pause * 2, kMaxBackoffMs);
        }
        return !shared_.Aborting();
    }

    // Opens the relay's pipe while a relay runs, else the console's (unless
    // this client writes to another pipe, or not through a relay).
    ConsolePipe::Opened Open(std::chrono::milliseconds busyWait,
                             std::chrono::milliseconds absentGrace, const wchar_t* name) {
        if (!routed_) {
            return pipe_.Open(busyWait, absentGrace, name);
        }
        bool viaRelay = false;
        const ConsolePipe::Opened opened =
            OpenRelayOrConsole(pipe_, busyWait, absentGrace, &viaRelay);
        direct_ = !viaRelay;
        if (opened == ConsolePipe::Opened::kOpened) {
            relayWatch_.Moved(viaRelay);
        }
        return opened;
    }

    // Connected straight to the console while a relay has started: the relay
    // can't reach the console until this client lets go, so it does, and its
    // next connection goes through the relay. What it holds stays for that one.
    void MoveToRelayIfStarted() {
        if (direct_ && pipe_.IsOpen() && relayWatch_.RelayStarted()) {
            pipe_.Close();
        }
    }

    // Publishes why the pipe is (not) open; true if it is.
    bool Report(ConsolePipe::Opened opened) {
        switch (opened) {
            case ConsolePipe::Opened::kOpened:
                shared_.SetStatus(DeliveryStatus::kConnected, ERROR_SUCCESS);
                return true;
            case ConsolePipe::Opened::kNoConsole:
                shared_.SetStatus(DeliveryStatus::kNoConsole, pipe_.Error());
                return false;
            case ConsolePipe::Opened::kBusyTimeout:
                shared_.SetStatus(DeliveryStatus::kPipeBusy, pipe_.Error());
                return false;
            case ConsolePipe::Opened::kFailed:
                // Denied: typically a console running elevated for a host that isn't.
                shared_.SetStatus(pipe_.Error() == ERROR_ACCESS_DENIED
                                      ? DeliveryStatus::kAccessDenied
                                      : DeliveryStatus::kFailed,
                                  pipe_.Error());
                return false;
        }
        return false;
    }

    bool Closing() {
        const std::unique_lock<OwnedMutex> lock = Lock();
        return shared_.closing;
    }

    // Every lock the writer takes goes through here, so that a test can end the
    // thread holding it, as the system may at process exit.
    std::unique_lock<OwnedMutex> Lock() {
        std::unique_lock<OwnedMutex> lock(shared_.mutex);
        if (endNextWriterHoldingLock.load(std::memory_order_relaxed) != nullptr) {
            if (const HANDLE ended = endNextWriterHoldingLock.exchange(nullptr)) {
                SetEvent(ended);
                ExitThread(0);
            }
        }
        return lock;
    }

    // Moves lines out of the buffer under the lock and joins them outside it,
    // each notice of dropped lines at its gap.
    void TakeBatch() {
        std::uint64_t dropped = 0;
        std::uint64_t droppedAfter = 0;
        bool withReading = false;
        double reading = 0.0;
        taken_.clear();
        {
            const std::unique_lock<OwnedMutex> lock = Lock();
            dropped = std::exchange(shared_.droppedUnreported, 0);
            std::size_t size = 0;
            while (!shared_.lines.empty() &&
                   (taken_.empty() ||
                    size + shared_.lines.front().wire.size() <= DebugClient::kMaxBatchBytes)) {
                size += shared_.lines.front().wire.size();
                shared_.bytes -= shared_.lines.front().wire.size();
                taken_.push_back(std::move(shared_.lines.front()));
                shared_.lines.pop_front();
            }
            if (shared_.lines.empty()) {
                droppedAfter = std::exchange(shared_.droppedAfterLast, 0);
            }
            withReading = std::exchange(shared_.readingPending, false);
            reading = shared_.reading;
            shared_.inFlight = true;
        }
        for (const Queued& line : taken_) {
            if (const std::uint64_t gap = std::exchange(dropped, 0) + line.droppedBefore) {
                batch_ += DroppedNotice(gap);
            }
            batch_ += line.wire;
        }
        if (const std::uint64_t gap = dropped + droppedAfter) {
            batch_ += DroppedNotice(gap);
        }
        if (withReading) {
            batch_ += WireReading(reading);
        }
        taken_.clear();
    }

    void FinishBatch() {
        const std::unique_lock<OwnedMutex> lock = Lock();
        shared_.inFlight = false;
        if (!shared_.HasWork()) {
            shared_.drained.notify_all();
        }
    }

    // Keeps the batch from the start of the line holding byte `sent` on.
    void Resume(std::size_t sent) {
        if (sent == 0) {
            return;
        }
        const std::size_t lastFeed = batch_.rfind('\n', sent - 1);
        batch_.erase(0, lastFeed == std::string::npos ? 0 : lastFeed + 1);
    }

    Shared& shared_;
    ConsolePipe pipe_;
    // Whether connections go through a running relay, and whether the open
    // pipe is the console's own although they do.
    const bool routed_ = shared_.options.viaRelay && shared_.options.pipeName == kConsolePipeName;
    const DWORD batchIntervalMs_ = static_cast<DWORD>(
        std::clamp(shared_.options.batchInterval, kShortestBatchInterval, kLongestBatchInterval)
            .count());
    bool direct_ = false;
    RelayWatch relayWatch_;
    std::string batch_;  // being written; survives a reconnection
    std::vector<Queued> taken_;
};

// What the writer thread owns a share of, so that a writer that outlives a
// bounded Shutdown never touches freed memory or unmapped code.
struct WriterStart {
    std::shared_ptr<Shared> shared;
    HMODULE module;  // the module holding this code, referenced; null if that failed
};

DWORD WINAPI WriterMain(void* parameter) {
    HMODULE module = nullptr;
    {
        const std::unique_ptr<WriterStart> start(static_cast<WriterStart*>(parameter));
        module = start->module;
        Writer(*start->shared).Run();
    }
    if (module != nullptr) {
        // Releases the module and ends the thread without returning into it:
        // if the host has called FreeLibrary meanwhile, the module goes now.
        FreeLibraryAndExitThread(module, 0);
    }
    return 0;
}

}  // namespace

DebugClient::DebugClient(DebugClientOptions options)
    : shared_(std::make_shared<Shared>(std::move(options))) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&WriterMain), &module)) {
        module = nullptr;
    }
    auto* start = new WriterStart{shared_, module};
    thread_ = CreateThread(nullptr, kWriterStackBytes, WriterMain, start,
                           STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread_ == nullptr) {
        // No writer: lines are buffered and dropped, never sent.
        shared_->SetStatus(DeliveryStatus::kFailed, GetLastError());
        delete start;
        if (module != nullptr) {
            FreeLibrary(module);
        }
    }
    if (shared_->options.captureDebugOutput) {
        capture_ = std::make_unique<DebugOutputCapture>(*this);
        shared_->capturing.store(capture_->Active());
    }
}

DebugClient::~DebugClient() {
    Shutdown();
}

void DebugClient::Line(std::string_view text) {
    if (shared_->ProcessExiting()) {
        shared_->droppedTotal.fetch_add(LinesIn(text), std::memory_order_relaxed);
        return;
    }
    // One line goes without a container; only multi-line text needs one.
    std::string_view body = text;
    if (!body.empty() && body.back() == '\n') {
        body.remove_suffix(1);  // a final line feed adds no line
    }
    if (body.find('\n') == std::string_view::npos) {
        Queued line{WireLine(body), 0};
        shared_->Enqueue(line);
        return;
    }
    // From the newest line back, while the lines kept fit the bounds together:
    // the older ones could never stay queued, and are only counted.
    const DebugClientOptions& options = shared_->options;
    Shared::Arriving arriving;
    for (std::size_t end = body.size();;) {
        const std::size_t feed = end == 0 ? std::string_view::npos : body.rfind('\n', end - 1);
        const std::size_t start = feed == std::string_view::npos ? 0 : feed + 1;
        const std::string_view piece = body.substr(start, end - start);
        const std::size_t size =
            piece.size() + (piece.substr(0, kFpsPrefix.size()) == kFpsPrefix ? 2 : 1);
        if (!shared_->Fits(size)) {
            if (arriving.kept.empty()) {
                ++arriving.droppedAfter;
            } else {
                ++arriving.kept.front().droppedBefore;
                ++arriving.tooLong;
            }
        } else if (arriving.kept.size() < options.maxBufferedLines &&
                   size <= options.maxBufferedBytes - arriving.keptBytes) {
            arriving.kept.push_front({WireLine(piece), 0});
            arriving.keptBytes += size;
        } else {
            arriving.cut = 1 + static_cast<std::uint64_t>(
                                   std::count(body.begin(), body.begin() + start, '\n'));
            break;
        }
        if (feed == std::string_view::npos) {
            break;
        }
        end = feed;
    }
    shared_->Enqueue(arriving);
}

void DebugClient::Line(std::wstring_view text) {
    if (shared_->ProcessExiting()) {
        shared_->droppedTotal.fetch_add(LinesIn(text), std::memory_order_relaxed);
        return;
    }
    char onStack[kPrintfStackBytes];
    if (text.size() <= sizeof onStack / kUtf8BytesPerUtf16Unit) {
        Line(std::string_view(onStack, EncodeUtf8(text, onStack)));
        return;
    }
    std::string utf8(text.size() * kUtf8BytesPerUtf16Unit, '\0');
    utf8.resize(EncodeUtf8(text, utf8.data()));
    Line(utf8);
}

void DebugClient::Fps(double fps) {
    if (shared_->ProcessExiting()) {
        return;
    }
    bool signal = false;
    {
        std::lock_guard<OwnedMutex> lock(shared_->mutex);
        if (shared_->closing) {
            return;
        }
        shared_->reading = fps;
        shared_->readingPending = true;
        signal = std::exchange(shared_->writerIdle, false);
    }
    if (signal) {
        SetEvent(shared_->wake.get());
    }
}

void DebugClient::Printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    VPrintf(format, args);
    va_end(args);
}

void DebugClient::VPrintf(const char* format, va_list args) {
    if (shared_->ProcessExiting()) {
        // Not even formatted: the C runtime's locks may be orphaned too.
        shared_->droppedTotal.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    if (HasWideText(format)) {
        // The C runtime's printf would convert wide text by the host's C locale.
        // Never longer than the buffer holds; a refusal shows, as the DLL's.
        Line(PrintfLine(format, args, shared_->options.maxBufferedBytes,
                        LongDoubleArgument::kThisCompiler));
        return;
    }
    char onStack[kPrintfStackBytes];
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(onStack, sizeof onStack, format, args);
    if (length >= 0 && static_cast<std::size_t>(length) < sizeof onStack) {
        Line(std::string_view(onStack, static_cast<std::size_t>(length)));
    } else if (length >= 0) {
        std::string text(static_cast<std::size_t>(length), '\0');
        std::vsnprintf(text.data(), text.size() + 1, format, again);
        Line(text);
    }
    va_end(again);
}

bool DebugClient::ProcessExiting() const {
    return shared_->ProcessExiting();
}

bool DebugClient::Flush(std::chrono::milliseconds timeout) {
    if (shared_->ProcessExiting()) {
        return false;
    }
    std::unique_lock<OwnedMutex> lock(shared_->mutex);
    // In slices: a deadline of now + timeout would overflow for the longest ones.
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
        const std::chrono::milliseconds left = timeout - std::min(waited, timeout);
        if (shared_->drained.wait_for(lock, std::min(left, kLongestWaitSlice),
                                      [this] { return shared_->Drained(); })) {
            return true;
        }
        if (left <= kLongestWaitSlice) {
            return false;
        }
    }
}

void DebugClient::Shutdown() {
    if (std::exchange(shutDown_, true)) {
        return;
    }
    // Before anything the capture uses goes; at process exit it only withdraws.
    shared_->capturing.store(false);
    capture_.reset();
    shared_->status.store(Shared::Packed(DeliveryStatus::kShutDown, ERROR_SUCCESS));
    UniqueEvent thread(thread_);
    thread_ = nullptr;
    if (!thread) {
        return;
    }
    if (shared_->ProcessExiting() || WaitForSingleObject(thread.get(), 0) == WAIT_OBJECT_0) {
        // The thread ended without being asked: the process is exiting and the
        // system has ended it, maybe while it held the mutex. Touch nothing.
        return;
    }
    {
        std::lock_guard<OwnedMutex> lock(shared_->mutex);
        shared_->closing = true;
    }
    SetEvent(shared_->wake.get());
    if (!WaitForThread(thread.get(), shared_->options.flushTimeout)) {
        shared_->aborting.store(true);
        SetEvent(shared_->abort.get());  // cancels a write stuck on a full pipe
        WaitForSingleObject(thread.get(), static_cast<DWORD>(kAbortGrace.count()));
    }
}

bool DebugClient::CapturingDebugOutput() const {
    return shared_->capturing.load();
}

std::uint64_t DebugClient::DroppedLines() const {
    return shared_->droppedTotal.load(std::memory_order_relaxed);
}

DeliveryStatus DebugClient::Status() const {
    return static_cast<DeliveryStatus>(shared_->status.load() >> 32);
}

unsigned long DebugClient::StatusError() const {
    return static_cast<unsigned long>(shared_->status.load() & 0xffffffffu);
}

bool DebugClient::LockHeldByThisThread() const {
    return shared_->mutex.HeldByThisThread();
}

void test_hooks::EndNextWriterHoldingLock(void* ended) {
    endNextWriterHoldingLock.store(ended);
}

void test_hooks::CallDebugOutputUnderLock(const char* text) {
    callDebugOutputUnderLock.store(text);
}

}  // namespace nemora
