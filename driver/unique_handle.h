#pragma once

// Owning handles for tools and tests. Kernel objects disagree on what "no
// handle" is: files and pipes use INVALID_HANDLE_VALUE, most others (mutexes,
// events, threads, processes) use null. Each kind is its own type, so one can
// never be checked against the other's invalid value.

#include <windows.h>

#include <utility>

namespace nemora {

template <HANDLE (*Invalid)()>
class BasicUniqueHandle {
  public:
    BasicUniqueHandle() = default;
    explicit BasicUniqueHandle(HANDLE handle) : handle_(handle) {}
    ~BasicUniqueHandle() { reset(); }
    BasicUniqueHandle(BasicUniqueHandle&& other) noexcept : handle_(other.release()) {}
    BasicUniqueHandle& operator=(BasicUniqueHandle&& other) noexcept {
        reset(other.release());
        return *this;
    }
    BasicUniqueHandle(const BasicUniqueHandle&) = delete;
    BasicUniqueHandle& operator=(const BasicUniqueHandle&) = delete;

    HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != Invalid(); }
    HANDLE release() { return std::exchange(handle_, Invalid()); }
    void reset(HANDLE handle = Invalid()) {
        if (handle_ != Invalid()) {
            CloseHandle(handle_);
        }
        handle_ = handle;
    }

  private:
    HANDLE handle_ = Invalid();
};

inline HANDLE NullHandle() {
    return nullptr;
}
inline HANDLE InvalidHandleValue() {
    return INVALID_HANDLE_VALUE;
}

// Mutexes, events, threads, processes: null when there is none.
using UniqueHandle = BasicUniqueHandle<NullHandle>;
// Files and pipes: INVALID_HANDLE_VALUE when there is none.
using UniqueFileHandle = BasicUniqueHandle<InvalidHandleValue>;

}  // namespace nemora
