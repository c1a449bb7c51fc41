#include "driver/console_probe.h"

#include <algorithm>
#include <utility>

namespace nemora::probe {

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double Millis(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

bool AwaitingPaint(HWND window) {
    return GetUpdateRect(window, nullptr, FALSE) != FALSE;
}

HWND CaptureOf(HWND window) {
    GUITHREADINFO info{};
    info.cbSize = sizeof(info);
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info)) {
        return nullptr;
    }
    return info.hwndCapture;
}

POINT CentreOf(HWND window) {
    RECT rect{};
    GetWindowRect(window, &rect);
    return {(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
}

std::optional<POINT> FindCloseButton(HWND window) {
    RECT rect{};
    GetWindowRect(window, &rect);
    // The button sits at the right end of the caption: scan from the corner inwards.
    for (int dy = 2; dy < 48; dy += 2) {
        for (int dx = 2; dx < 96; dx += 2) {
            const POINT point{rect.right - dx, rect.top + dy};
            DWORD_PTR hit = HTNOWHERE;
            if (SendMessageTimeoutW(window, WM_NCHITTEST, 0, MAKELPARAM(point.x, point.y),
                                    SMTO_NORMAL, 2000, &hit) &&
                hit == HTCLOSE) {
                // Aim a little further in, away from the button's edge.
                return POINT{point.x - 3, point.y + 3};
            }
        }
    }
    return std::nullopt;
}

namespace {

INPUT MouseInput(POINT at, DWORD buttonFlag) {
    INPUT input{};
    input.type = INPUT_MOUSE;
    const int width = GetSystemMetrics(SM_CXSCREEN);
    const int height = GetSystemMetrics(SM_CYSCREEN);
    // Absolute coordinates run from 0 to 65535 across the primary screen.
    input.mi.dx = MulDiv(at.x, 65535, width - 1);
    input.mi.dy = MulDiv(at.y, 65535, height - 1);
    input.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | buttonFlag;
    return input;
}

}  // namespace

void PressLeftButton(POINT at) {
    INPUT input = MouseInput(at, MOUSEEVENTF_LEFTDOWN);
    SendInput(1, &input, sizeof(input));
}

void ReleaseLeftButton(POINT at) {
    INPUT input = MouseInput(at, MOUSEEVENTF_LEFTUP);
    SendInput(1, &input, sizeof(input));
}

std::optional<Clock::duration> TimeMouseHalfClick(HWND view, bool press,
                                                  std::chrono::milliseconds timeout) {
    const POINT at = CentreOf(view);
    const auto start = Clock::now();
    if (press) {
        PressLeftButton(at);
    } else {
        ReleaseLeftButton(at);
    }
    const auto deadline = start + timeout;
    while (Clock::now() < deadline) {
        const bool captured = CaptureOf(view) == view;
        if (captured == press) {
            return Clock::now() - start;
        }
        Sleep(1);
    }
    return std::nullopt;
}

std::string NumberedLine(std::uint64_t number, std::size_t bytes) {
    std::string line = "line " + std::to_string(number) + " ";
    line.resize(bytes - 1, static_cast<char>('a' + number % 26));
    line += '\n';
    return line;
}

std::string NumberedLines(std::uint64_t first, std::size_t count, std::size_t bytes) {
    std::string text;
    text.reserve(count * bytes);
    for (std::size_t i = 0; i < count; ++i) {
        text += NumberedLine(first + i, bytes);
    }
    return text;
}

std::optional<std::uint64_t> LineNumber(std::wstring_view text) {
    constexpr std::wstring_view kPrefix = L"line ";
    if (!text.starts_with(kPrefix)) {
        return std::nullopt;
    }
    text.remove_prefix(kPrefix.size());
    std::uint64_t number = 0;
    std::size_t digits = 0;
    for (; digits < text.size() && text[digits] >= L'0' && text[digits] <= L'9'; ++digits) {
        number = number * 10 + static_cast<std::uint64_t>(text[digits] - L'0');
    }
    if (digits == 0 || digits == text.size() || text[digits] != L' ') {
        return std::nullopt;
    }
    return number;
}

namespace {

constexpr UINT kPollTimeoutMs = 5000;

std::optional<DWORD_PTR> Ask(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL, kPollTimeoutMs,
                             &result)) {
        return std::nullopt;
    }
    return result;
}

}  // namespace

ViewWatcher::ViewWatcher(HWND view, Clock::duration pause)
    : view_(view), pause_(pause), lastChange_(Clock::now()), thread_([this] { Run(); }) {}

ViewWatcher::~ViewWatcher() {
    stop_ = true;
    thread_.join();
}

Clock::time_point ViewWatcher::LastChange() const {
    std::lock_guard lock(mutex_);
    return lastChange_;
}

std::optional<std::uint64_t> ViewWatcher::Newest() const {
    std::lock_guard lock(mutex_);
    return newest_;
}

ViewWatcher::Stats ViewWatcher::TakeStats() {
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    stats_.longestUnpainted = std::max(stats_.longestUnpainted, now - lastRepaint_);
    Stats taken = std::exchange(stats_, Stats{});
    lastRepaint_ = now;  // gaps are measured from the reset on
    return taken;
}

namespace {

std::optional<std::uint64_t> NumberAt(HWND view, int row) {
    wchar_t text[96] = {};
    *reinterpret_cast<WORD*>(text) = 95;
    const auto copied =
        Ask(view, EM_GETLINE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(text));
    if (!copied) {
        return std::nullopt;
    }
    return LineNumber(std::wstring_view(text, std::min<std::size_t>(*copied, 95)));
}

}  // namespace

void ViewWatcher::Run() {
    while (!stop_) {
        if (paused_) {
            std::this_thread::sleep_for(pause_);
            continue;
        }
        const auto sent = Clock::now();
        const auto length = Ask(view_, WM_GETTEXTLENGTH);
        const auto now = Clock::now();
        const bool awaiting = AwaitingPaint(view_);
        std::optional<std::uint64_t> newest;
        if (length && trackNewest_) {
            const auto rows = Ask(view_, EM_GETLINECOUNT);
            if (rows && *rows >= 2) {
                newest = NumberAt(view_, static_cast<int>(*rows) - 2);
            }
        }

        std::unique_lock lock(mutex_);
        ++stats_.polls;
        stats_.slowestRoundTrip = std::max(stats_.slowestRoundTrip, now - sent);
        if (length) {
            stats_.roundTripsMs.push_back(Millis(now - sent));
        }
        if (!length) {
            ++stats_.timeouts;
        } else if (static_cast<int>(*length) == lastLength_) {
            lastQuietPoll_ = sent;
        } else {
            if (lastLength_ >= 0) {
                ++stats_.changes;
                stats_.slowestDrainWait = std::max(stats_.slowestDrainWait, now - sent);
                lastChange_ = now;
            }
            lastLength_ = static_cast<int>(*length);
        }
        const bool newer = newest && (!newest_ || *newest > *newest_);
        if (newer) {
            newest_ = newest;
        }
        if (length && !awaiting && (awaiting_ || static_cast<int>(*length) != paintedLength_)) {
            if (paintedLength_ >= 0) {
                ++stats_.repaints;
                stats_.longestUnpainted = std::max(stats_.longestUnpainted, now - lastRepaint_);
            }
            paintedLength_ = static_cast<int>(*length);
            lastRepaint_ = now;
        }
        if (newest_ && (newer || awaiting != awaiting_)) {
            samples_.push_back({now, *newest_, !awaiting});
        }
        awaiting_ = awaiting;
        lock.unlock();
        if (pause_ > Clock::duration::zero()) {
            std::this_thread::sleep_for(pause_);
        }
    }
}

std::optional<Clock::time_point> ViewWatcher::FirstShown(std::uint64_t number) const {
    std::lock_guard lock(mutex_);
    auto it = std::lower_bound(samples_.begin(), samples_.end(), number,
                               [](const Sample& s, std::uint64_t n) { return s.newest < n; });
    for (; it != samples_.end(); ++it) {
        if (it->painted) {
            return it->at;
        }
    }
    return std::nullopt;
}

std::optional<Clock::time_point> ViewWatcher::WaitUntilShown(
    std::uint64_t number, std::chrono::milliseconds timeout) const {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (auto shown = FirstShown(number)) {
            return shown;
        }
        if (Clock::now() >= deadline) {
            return std::nullopt;
        }
        Sleep(2);
    }
}

bool ViewWatcher::WaitUntilSettled(Clock::duration quiet, std::chrono::milliseconds timeout) const {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto now = Clock::now();
        bool painted = false;
        Clock::time_point lastQuiet, lastChange;
        {
            std::lock_guard lock(mutex_);
            painted = !awaiting_;
            lastQuiet = lastQuietPoll_;
            lastChange = lastChange_;
        }
        if (painted && lastQuiet - lastChange >= quiet) {
            return true;
        }
        if (now >= deadline) {
            return false;
        }
        Sleep(5);
    }
}

}  // namespace nemora::probe
