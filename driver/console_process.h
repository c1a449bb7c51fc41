#pragma once

// Drives the real console from outside, as a user sees it: starts
// nemora-console.exe, finds its window by class, reads the title and the
// view's text, and closes it.

#include <windows.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/nemora_protocol.h"
#include "driver/unique_handle.h"

namespace nemora::test {

using namespace std::chrono_literals;

// A path in the build tree, e.g. L"app\\nemora-console.exe"; the build root
// is the parent of the folder that holds the running executable.
std::wstring BuildTreePath(std::wstring_view relative);

// UTF-8 bytes to UTF-16, for comparing client text with the view's.
std::wstring Widen(std::string_view utf8);

// The console's status lines, and the client's notice of lines dropped, as the view shows them.
inline const std::wstring kStart = Widen(kStartLine);
inline const std::wstring kConnected = Widen(kConnectedLine);
inline const std::wstring kDisconnected = Widen(kDisconnectedLine);
inline std::wstring ClientNotice(std::size_t dropped) {
    return Widen(ClientDroppedNotice(dropped));
}
// N of the console's own notice "[console] N lines dropped"; nothing for any other line.
inline std::optional<std::size_t> ConsoleNoticeCount(std::wstring_view line) {
    constexpr std::wstring_view kStart = NEMORA_WIDE(NEMORA_CONSOLE_NOTICE_START);
    constexpr std::wstring_view kEnd = NEMORA_WIDE(NEMORA_NOTICE_LINES_DROPPED);
    if (!line.starts_with(kStart) || !line.ends_with(kEnd) ||
        line.size() <= kStart.size() + kEnd.size()) {
        return std::nullopt;
    }
    return std::stoul(std::wstring(line.substr(kStart.size())));
}

// Text of a window (a view or a title, in this process or another) by
// WM_GETTEXT; nullopt if the window didn't answer within the timeout.
std::optional<std::wstring> WindowText(HWND window, std::chrono::milliseconds timeout = 5s);

// The view's lines: its text split at "\r\n" (the last, empty piece dropped).
std::vector<std::wstring> SplitLines(const std::wstring& text);

class ConsoleProcess {
  public:
    ConsoleProcess() = default;
    ~ConsoleProcess();  // kills the console if the test left it running
    ConsoleProcess(const ConsoleProcess&) = delete;
    ConsoleProcess& operator=(const ConsoleProcess&) = delete;

    // Starts the console and waits for its window and its start line.
    bool Start(std::chrono::milliseconds timeout = 20s);
    // Starts the console without waiting for anything.
    bool Launch();
    // After Launch: waits for the window, its view and the start line; false
    // on time-out or if the process ended first (e.g. another console runs).
    bool WaitForWindow(std::chrono::milliseconds timeout = 20s);

    HWND window() const { return window_; }
    HWND view() const { return view_; }
    HANDLE process() const { return process_.get(); }
    DWORD pid() const { return pid_; }

    std::wstring Title() const;
    std::optional<std::wstring> ViewText(std::chrono::milliseconds timeout = 5s) const;
    std::vector<std::wstring> ViewLines() const;

    // Waits until the view's text contains the text; false on time-out.
    bool WaitForText(std::wstring_view text, std::chrono::milliseconds timeout = 10s) const;

    // How Close asks the window to close: posted, as the tests' own close does,
    // or sent, as another program automating the console does (the console then
    // handles it whenever it answers sent messages, in the middle of a drain too).
    enum class CloseBy { kPost, kSend };
    // Asks the window to close and waits for the process to end; its exit code,
    // or nullopt on time-out.
    std::optional<DWORD> Close(std::chrono::milliseconds timeout = 10s,
                               CloseBy by = CloseBy::kPost);
    // Waits for the process to end by itself; its exit code, or nullopt on time-out.
    std::optional<DWORD> WaitForExit(std::chrono::milliseconds timeout = 10s);

  private:
    UniqueHandle process_;
    DWORD pid_ = 0;
    HWND window_ = nullptr;
    HWND view_ = nullptr;
};

// The console window of a given process, found by class; null if none yet.
HWND FindConsoleWindow(DWORD pid);
// How many top-level windows of the console's class exist on the desktop.
int CountConsoleWindows();

// A client of the console's pipe: waits for the pipe to exist and be free.
class PipeClient {
  public:
    // Opens the pipe, retrying while it is busy or not yet there; false on time-out.
    bool Connect(std::chrono::milliseconds timeout = 10s, const wchar_t* name = kPipeName);
    bool Write(std::string_view bytes);
    void Close() { pipe_.reset(); }
    HANDLE handle() const { return pipe_.get(); }

  private:
    UniqueFileHandle pipe_;
};

}  // namespace nemora::test
