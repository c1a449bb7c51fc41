#include "driver/console_process.h"

#include <cstdio>
#include <thread>

#include "app/console_window.h"
#include "intake/pipe_listener.h"
#include "driver/wait.h"

namespace nemora::test {

std::wstring BuildTreePath(std::wstring_view relative) {
    wchar_t self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self, length);
    for (int up = 0; up < 2; ++up) {  // drop the file name, then its folder
        path.resize(path.find_last_of(L"\\/"));
    }
    return path + L"\\" + std::wstring(relative);
}

std::wstring Widen(std::string_view utf8) {
    if (utf8.empty()) {
        return {};
    }
    const int units =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), units);
    return wide;
}

std::optional<std::wstring> WindowText(HWND window, std::chrono::milliseconds timeout) {
    const auto ms = static_cast<UINT>(timeout.count());
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, ms, &length)) {
        return std::nullopt;
    }
    // Room to spare: the text may grow between the two messages.
    std::wstring text(length + 65536, L'\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                             SMTO_ABORTIFHUNG, ms, &copied)) {
        return std::nullopt;
    }
    text.resize(copied);
    return text;
}

std::vector<std::wstring> SplitLines(const std::wstring& text) {
    std::vector<std::wstring> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos;
         start = end + 2) {
        lines.push_back(text.substr(start, end - start));
    }
    if (start < text.size()) {
        lines.push_back(text.substr(start));
    }
    return lines;
}

HWND FindConsoleWindow(DWORD pid) {
    HWND window = nullptr;
    while ((window = FindWindowExW(nullptr, window, kWindowClassName, nullptr)) != nullptr) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == pid) {
            return window;
        }
    }
    return nullptr;
}

int CountConsoleWindows() {
    int count = 0;
    HWND window = nullptr;
    while ((window = FindWindowExW(nullptr, window, kWindowClassName, nullptr)) != nullptr) {
        ++count;
    }
    return count;
}

ConsoleProcess::~ConsoleProcess() {
    if (process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
        TerminateProcess(process_.get(), 99);
        WaitForSingleObject(process_.get(), 5000);
    }
}

bool ConsoleProcess::Launch() {
    std::wstring commandLine = L"\"" + BuildTreePath(L"app\\nemora-console.exe") + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info)) {
        return false;
    }
    CloseHandle(info.hThread);
    process_.reset(info.hProcess);
    pid_ = info.dwProcessId;
    return true;
}

bool ConsoleProcess::Start(std::chrono::milliseconds timeout) {
    if (!Launch()) {
        std::fprintf(stderr, "console: CreateProcess failed, error %lu\n", GetLastError());
        return false;
    }
    return WaitForWindow(timeout);
}

bool ConsoleProcess::WaitForWindow(std::chrono::milliseconds timeout) {
    // The window exists a moment before its view does: wait for both.
    const bool found = WaitUntil(
        [&] {
            window_ = FindConsoleWindow(pid_);
            view_ =
                window_ != nullptr ? FindWindowExW(window_, nullptr, L"EDIT", nullptr) : nullptr;
            return view_ != nullptr || WaitForSingleObject(process_.get(), 0) == WAIT_OBJECT_0;
        },
        timeout);
    if (found && view_ != nullptr && WaitForText(kStart, timeout)) {
        return true;
    }
    // Say why, so a failed start in a log can be told apart from a slow one.
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process_.get(), &code);
    if (code != STILL_ACTIVE) {
        std::fprintf(stderr, "console: ended with exit code %lu before its start line showed\n",
                     code);
    } else {
        std::fprintf(stderr, "console: %s within %lld ms\n",
                     view_ != nullptr ? "no start line" : "no window",
                     static_cast<long long>(timeout.count()));
    }
    return false;
}

std::wstring ConsoleProcess::Title() const {
    wchar_t title[256] = {};
    GetWindowTextW(window_, title, 256);
    return title;
}

std::optional<std::wstring> ConsoleProcess::ViewText(std::chrono::milliseconds timeout) const {
    return WindowText(view_, timeout);
}

std::vector<std::wstring> ConsoleProcess::ViewLines() const {
    return SplitLines(ViewText().value_or(L""));
}

bool ConsoleProcess::WaitForText(std::wstring_view text, std::chrono::milliseconds timeout) const {
    return WaitUntil(
        [&] {
            const auto current = ViewText();
            return current && current->find(text) != std::wstring::npos;
        },
        timeout);
}

std::optional<DWORD> ConsoleProcess::WaitForExit(std::chrono::milliseconds timeout) {
    if (WaitForSingleObject(process_.get(), static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
        return std::nullopt;
    }
    DWORD code = 0;
    GetExitCodeProcess(process_.get(), &code);
    return code;
}

std::optional<DWORD> ConsoleProcess::Close(std::chrono::milliseconds timeout, CloseBy by) {
    if (by == CloseBy::kSend) {
        // Returns once the console has handled it, or on time-out; the wait for
        // the exit follows either way.
        SendMessageTimeoutW(window_, WM_CLOSE, 0, 0, SMTO_NORMAL,
                            static_cast<UINT>(timeout.count()), nullptr);
    } else {
        PostMessageW(window_, WM_CLOSE, 0, 0);
    }
    return WaitForExit(timeout);
}

bool PipeClient::Connect(std::chrono::milliseconds timeout, const wchar_t* name) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        pipe_.reset(CreateFileW(name, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (pipe_) {
            return true;
        }
        if (GetLastError() == ERROR_PIPE_BUSY) {
            WaitNamedPipeW(name, 100);
        } else {
            std::this_thread::sleep_for(5ms);  // not created yet: nothing to wait on but time
        }
    }
    return false;
}

bool PipeClient::Write(std::string_view bytes) {
    while (!bytes.empty()) {
        DWORD written = 0;
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1 << 20));
        if (!WriteFile(pipe_.get(), bytes.data(), chunk, &written, nullptr)) {
            return false;
        }
        bytes.remove_prefix(written);
    }
    return true;
}

}  // namespace nemora::test
