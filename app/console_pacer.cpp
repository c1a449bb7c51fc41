#include "app/console_pacer.h"

namespace nemora {

namespace {

std::chrono::milliseconds RoundedUpMs(std::chrono::steady_clock::duration wait) {
    return std::chrono::ceil<std::chrono::milliseconds>(wait);
}

}  // namespace

void ConsolePacer::ShowReading() {
    if (titleDue_) {
        effects_.KillTimer(PacerTimer::kDeferredTitle);
        titleDue_ = false;
    }
    effects_.ShowLatestReading();
    title_.Happened(effects_.Now());
    strandedReading_.Happened(effects_.Now());
}

void ConsolePacer::ShowReadingIfDue() {
    if (titleDue_ && title_.Due(effects_.Now())) {
        ShowReading();
    }
}

bool ConsolePacer::DrainNow() {
    if (drainDeferred_) {
        effects_.KillTimer(PacerTimer::kDeferredDrain);
        drainDeferred_ = false;
    }
    if (!effects_.HasView()) {
        return true;
    }
    stranded_.Happened(effects_.Now());
    effects_.Drain();
    if (effects_.ScrollBarStale() && !scrollBarTimerSet_) {
        scrollBarTimerSet_ =
            effects_.SetTimer(PacerTimer::kScrollBar, effects_.ScrollBarRefreshDelay());
        if (!scrollBarTimerSet_) {
            effects_.RefreshScrollBar();  // no timer to be had: never leave the bar stale
        }
    }
    ShowReadingIfDue();
    // Between the drain and the paint, so that a sent message waits for the
    // longer of the two and never for both. One of them may close the window.
    if (!effects_.AnswerSentMessages()) {
        windowGone_ = true;
        return false;
    }
    // WM_PAINT comes only when no message is posted, which a flood never
    // allows: paint what is due here, the window and its view.
    const auto now = effects_.Now();
    if (paint_.Due(now)) {
        effects_.Paint();
        paint_.Happened(now);
    }
    return true;
}

void ConsolePacer::OnDrainRequest() {
    if (windowGone_) {
        return;
    }
    if (!effects_.InputWaiting()) {
        DrainNow();
        return;
    }
    if (!drainDeferred_) {
        if (!effects_.SetTimer(PacerTimer::kDeferredDrain, std::chrono::milliseconds(0))) {
            // No timer to come back on: with drainPending still set nothing
            // else would ever drain these Lines, so drain them now.
            DrainNow();
            return;
        }
        drainDeferred_ = true;
    }
}

void ConsolePacer::OnFpsReading() {
    if (windowGone_) {
        return;
    }
    const auto now = effects_.Now();
    if (title_.Due(now)) {
        ShowReading();
        return;
    }
    if (titleDue_) {
        return;
    }
    titleDue_ = true;
    if (!effects_.SetTimer(PacerTimer::kDeferredTitle, RoundedUpMs(title_.Left(now)))) {
        ShowReading();  // no timer to be had: never leave a reading unshown
    }
}

void ConsolePacer::CatchUp() {
    if (windowGone_) {
        return;
    }
    ShowReadingIfDue();
    if (!titleDue_ && strandedReading_.Due(effects_.Now()) && effects_.ReadingWaiting()) {
        ShowReading();  // its post failed: no message will come for it
    }
    if (drainDeferred_ && !effects_.InputWaiting()) {
        if (!DrainNow()) {  // the input it was put off for has been handled
            return;
        }
    } else if (!drainDeferred_ && stranded_.Due(effects_.Now()) && effects_.LinesWaiting()) {
        if (!DrainNow()) {  // a wake-up was lost: Lines wait, yet no drain has come
            return;
        }
    }
    if (effects_.ScrollBarStale() && effects_.ScrollBarRefreshDelay().count() == 0) {
        if (scrollBarTimerSet_) {
            effects_.KillTimer(PacerTimer::kScrollBar);
            scrollBarTimerSet_ = false;
        }
        effects_.RefreshScrollBar();
    }
}

void ConsolePacer::OnTimer(PacerTimer timer) {
    if (windowGone_) {
        return;
    }
    switch (timer) {
        case PacerTimer::kDeferredDrain:
            if (!DrainNow()) {
                return;
            }
            break;
        case PacerTimer::kDeferredTitle:
            ShowReading();
            break;
        case PacerTimer::kScrollBar:
            effects_.KillTimer(PacerTimer::kScrollBar);
            scrollBarTimerSet_ = false;
            effects_.RefreshScrollBar();
            break;
        case PacerTimer::kStrandedLines:
            break;  // CatchUp looks
    }
    CatchUp();
}

}  // namespace nemora
