#pragma once

// For the client library's own tests only: provokes what a host cannot.

namespace nemora::test_hooks {

// The next writer thread to take its client's lock sets `ended` (an event
// handle) and ends while holding the lock, as the system may end it at process
// exit. Lines queued afterwards wake a sleeping writer into it.
void EndNextWriterHoldingLock(void* ended);

// While the next captured OutputDebugString call is being taken, the capture
// calls OutputDebugStringA(text) itself, as whatever it runs into might.
void CallDebugOutputWhileTaking(const char* text);

// The next call that queues lines calls OutputDebugStringA(text) while it
// holds its client's lock, as a host's allocator that reports might.
void CallDebugOutputUnderLock(const char* text);

}  // namespace nemora::test_hooks
