#pragma once

// Takes the host's OutputDebugStringA/W calls as lines of a DebugClient. Each
// call raises an exception carrying its string; a vectored handler, which the
// system runs before any frame's handler on every thread, queues the string
// and lets the call return at once, without the system's channel.

namespace nemora {

class DebugClient;

class DebugOutputCapture {
  public:
    // Starts taking the calls as lines of `client`, unless another capture in
    // the process (of this module or another) has them: then Active() is false.
    explicit DebugOutputCapture(DebugClient& client);
    // Stops taking the calls; once it returns, none is being taken on any
    // thread and OutputDebugString goes its usual way. At process exit it only
    // stops taking them, touching no lock (the system may have ended a thread
    // holding one).
    ~DebugOutputCapture();
    DebugOutputCapture(const DebugOutputCapture&) = delete;
    DebugOutputCapture& operator=(const DebugOutputCapture&) = delete;

    bool Active() const { return handler_ != nullptr; }

    // Whether the calling thread holds `client`'s lock: a call it makes then
    // goes the system's way.
    static bool LockHeldHere(const DebugClient& client);

  private:
    DebugClient& client_;
    void* handler_ = nullptr;  // the vectored handler's registration
    void* claim_ = nullptr;    // the process's named event: one capture per process
};

}  // namespace nemora
