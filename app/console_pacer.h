#pragma once

// When the window's thread drains, paints, changes the title and repaints the
// scroll bar: plain logic over a clock and the window's effects, which the
// window procedure forwards its messages to.
//
// GetMessage hands out sent messages first, then posted ones, then input, and
// generates WM_PAINT and WM_TIMER only when nothing else waits. While a client
// streams lines a drain request is nearly always posted, so:
// - a drain request drains at once unless key or mouse input waits; then it
//   is put off to a one-shot timer, which comes after that input. That works
//   only because drainPending stays set meanwhile, so the listener posts no
//   further request; a reading's message or the timer, whichever comes first,
//   drains once no input waits any more (CatchUp);
// - a drain paints the window itself at most every kBusyPaintInterval, and
//   answers sent messages between its work and that paint;
// - anything else that comes due (a title change put off to the next frame,
//   the scroll bar's repaint, Lines or a reading stranded by a lost wake-up)
//   is done by whichever of the console's messages runs next: a drain, a
//   reading, or a timer (CatchUp). Timers alone would starve under a stream; they remain for
//   the idle window, where nothing else runs.

#include <chrono>

#include "view/at_most_every.h"

namespace nemora {

// The window's timers (their ids are these values).
enum class PacerTimer : unsigned {
    // A drain request that finds input waiting is put off to this one-shot
    // timer (timer messages come after input).
    kDeferredDrain = 1,
    // Slow and repeating: Lines whose wake-up was lost (a failed post, or a
    // request that never arrived) are drained once no drain has run for
    // kStrandedLinesAge, checked by CatchUp and by this timer while idle; a
    // reading whose post failed is shown once none has come or been shown for
    // as long.
    kStrandedLines = 2,
    // A reading within a frame of the last title change is shown once that
    // frame is over, with whatever reading is latest by then, by whichever of
    // the console's messages runs first, or this one-shot timer when none
    // does; meanwhile fpsPending stays set, so a flood of readings posts
    // nothing more. Each title change is a round trip to the window system.
    kDeferredTitle = 3,
    // A drain that leaves the scroll bar stale arms this one-shot timer, which
    // has it repainted once the window is idle, and no sooner than the view
    // allows (ScrollBarRefreshDelay); under a flood drains repaint it themselves.
    kScrollBar = 4,
};

inline constexpr std::chrono::milliseconds kStrandedLinesAge{250};
// One 60 Hz frame: the title changes at most once a frame.
inline constexpr std::chrono::milliseconds kFrame{16};
// A drain paints its view itself when its batch is small (a line shows the
// moment it arrives). Bigger batches come one after the other only while a
// client floods the console; those are painted by the drain at most this
// often: 20 times a second is plenty for text nobody can read at that speed,
// and a repaint is time the view can't spend showing lines.
inline constexpr std::chrono::milliseconds kBusyPaintInterval{50};

// What the pacer acts through: the window, the hand-off and the view.
class PacerEffects {
  public:
    virtual ~PacerEffects() = default;
    virtual std::chrono::steady_clock::time_point Now() = 0;
    // Keys or mouse input waiting for the window's thread.
    virtual bool InputWaiting() = 0;
    // False when no timer could be had.
    virtual bool SetTimer(PacerTimer timer, std::chrono::milliseconds delay) = 0;
    virtual void KillTimer(PacerTimer timer) = 0;
    // Whether the window has a view to drain into. Without one (it couldn't be
    // made) the Lines stay queued, nothing drains and drainPending stays set,
    // so no request is posted again: the window stands idle and empty.
    virtual bool HasView() = 0;
    // One drain of the pending Lines into the view, the wake-up flag handled.
    virtual void Drain() = 0;
    virtual bool LinesWaiting() = 0;
    // The title from the latest reading.
    virtual void ShowLatestReading() = 0;
    // A reading has been published since the title last showed one.
    virtual bool ReadingWaiting() = 0;
    // Answers messages sent to the window meanwhile (another program asking
    // for its text, the system asking whether it is still answering, another
    // program closing it); false if the window has been destroyed meanwhile.
    virtual bool AnswerSentMessages() = 0;
    // Paints the window and its view now.
    virtual void Paint() = 0;
    virtual bool ScrollBarStale() = 0;
    virtual std::chrono::milliseconds ScrollBarRefreshDelay() = 0;
    virtual void RefreshScrollBar() = 0;
};

class ConsolePacer {
  public:
    explicit ConsolePacer(PacerEffects& effects) : effects_(effects) {}

    void OnDrainRequest();
    void OnFpsReading();
    void OnTimer(PacerTimer timer);
    // Whatever has come due, done by whichever of the console's messages runs:
    // while posts keep coming no timer message ever would.
    void CatchUp();

  private:
    // False once the window is gone: from then on the pacer touches nothing.
    bool DrainNow();
    void ShowReading();
    void ShowReadingIfDue();

    PacerEffects& effects_;
    // A message answered part-way through a drain destroyed the window.
    bool windowGone_ = false;
    bool drainDeferred_ = false;
    bool scrollBarTimerSet_ = false;
    bool titleDue_ = false;
    AtMostEvery paint_{kBusyPaintInterval};
    AtMostEvery title_{kFrame};
    AtMostEvery stranded_{kStrandedLinesAge};  // restarted by every drain
    // Restarted by every title change.
    AtMostEvery strandedReading_{kStrandedLinesAge};
};

}  // namespace nemora
