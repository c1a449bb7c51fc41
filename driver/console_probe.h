#pragma once

// Watches a running console from outside, the way a user notices it: how long
// its window takes to answer, when text reaches its view, when the view was
// last repainted, and how long real mouse input takes to be handled. Nothing
// here needs the console's cooperation: every observation is a message it
// answers anyway or state the window system keeps for every window.

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace nemora::probe {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Seconds and milliseconds as doubles, for printing.
double Seconds(Clock::duration d);
double Millis(Clock::duration d);

// True while part of the window waits for its WM_PAINT (its update region is
// not empty). Asked of the window system, not of the window's thread.
bool AwaitingPaint(HWND window);

// The window that holds the mouse capture on the window's thread, if any.
HWND CaptureOf(HWND window);

// Centre of a window, in screen coordinates.
POINT CentreOf(HWND window);

// A screen point over the window's close button, found by asking the window
// itself (WM_NCHITTEST); nullopt if none answers HTCLOSE.
std::optional<POINT> FindCloseButton(HWND window);

// Real input: the left mouse button pressed or released at a screen point
// (SendInput, so it goes through the window system's input queue).
void PressLeftButton(POINT at);
void ReleaseLeftButton(POINT at);

// Presses (or releases) the left button over the view and waits until the
// view's thread has taken (given up) the mouse capture, which an edit control
// does on handling the press (the release). The time from the input to the
// observed change; nullopt if it didn't happen within the timeout.
std::optional<Clock::duration> TimeMouseHalfClick(HWND view, bool press,
                                                  std::chrono::milliseconds timeout);

// Numbered client lines, so that the view tells which of them it shows:
// "line <number> " then filler up to `bytes`, the line feed included.
std::string NumberedLine(std::uint64_t number, std::size_t bytes);
// `count` numbered lines from `first` on, one after another.
std::string NumberedLines(std::uint64_t first, std::size_t count, std::size_t bytes);
// The number of a numbered line as the view shows it; nullopt for any other text.
std::optional<std::uint64_t> LineNumber(std::wstring_view text);

// Polls a console's view on a thread of its own. Each poll sends
// WM_GETTEXTLENGTH (a round trip through the console's message loop; a change
// of length is a drain) and asks the window system whether the view awaits a
// repaint. Unless told not to, it then reads the view's last line
// (EM_GETLINECOUNT, EM_GETLINE) to learn the newest numbered line shown; a
// drain may come between those two messages, in which case the line read is
// an older one or none, never one not yet shown.
//
// A repaint is counted when a poll finds the view painted and either its text
// changed since the last repaint counted or it was seen awaiting paint before
// (a drain that paints at once is never seen awaiting paint).
class ViewWatcher {
  public:
    struct Stats {
        Clock::duration slowestRoundTrip{};  // any poll
        Clock::duration slowestDrainWait{};  // a poll that found the view changed
        Clock::duration longestUnpainted{};  // longest time without a repaint seen
        std::uint64_t polls = 0;
        std::uint64_t timeouts = 0;        // polls unanswered within the timeout
        std::uint64_t changes = 0;         // drains seen
        std::uint64_t repaints = 0;        // new text seen painted, or a pending paint done
        std::vector<double> roundTripsMs;  // every answered poll's round trip
    };
    // One observed state: the newest numbered line shown, and whether painted.
    struct Sample {
        Clock::time_point at;
        std::uint64_t newest;
        bool painted;
    };

    explicit ViewWatcher(HWND view, Clock::duration pause = 1ms);
    ~ViewWatcher();
    ViewWatcher(const ViewWatcher&) = delete;
    ViewWatcher& operator=(const ViewWatcher&) = delete;

    // Whether polls read the newest line (two more round trips each).
    void TrackNewest(bool track) { trackNewest_ = track; }
    // Stops polling (so as not to disturb another measurement), or resumes.
    void Pause(bool pause) { paused_ = pause; }

    // When the view was last seen to change.
    Clock::time_point LastChange() const;
    // The newest numbered line seen in the view, if any.
    std::optional<std::uint64_t> Newest() const;

    // Statistics since the last reset.
    Stats TakeStats();
    void ResetStats() { TakeStats(); }

    // Waits until line `number` (or a later one) is shown and painted; when
    // that was first seen, or nullopt on time-out.
    std::optional<Clock::time_point> WaitUntilShown(std::uint64_t number,
                                                    std::chrono::milliseconds timeout) const;
    // Waits until a poll sent `quiet` after the view's last change found it
    // unchanged and painted; false on time-out.
    bool WaitUntilSettled(Clock::duration quiet, std::chrono::milliseconds timeout) const;

    // When line `number` (or a later one) was first seen shown and painted.
    std::optional<Clock::time_point> FirstShown(std::uint64_t number) const;

  private:
    void Run();

    HWND view_;
    Clock::duration pause_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> trackNewest_{true};
    std::atomic<bool> paused_{false};
    mutable std::mutex mutex_;
    Stats stats_;
    std::vector<Sample> samples_;
    Clock::time_point lastChange_;
    Clock::time_point lastQuietPoll_{};  // sent time of the last poll that found no change
    Clock::time_point lastRepaint_{};
    int lastLength_ = -1;
    int paintedLength_ = -1;
    bool awaiting_ = false;
    std::optional<std::uint64_t> newest_;
    std::thread thread_;
};

}  // namespace nemora::probe
