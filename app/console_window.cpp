#include "app/console_window.h"

#include <algorithm>
#include <chrono>

#include "app/title_format.h"
#include "handoff/handoff.h"
#include "view/log_view.h"

namespace nemora {

namespace {

// What runs when on the window's thread. GetMessage hands out sent messages
// first, then posted ones, then input, and generates WM_PAINT and WM_TIMER
// only when nothing else waits. While a client streams lines a drain request
// (WM_CONSOLE_DRAIN) is nearly always posted, so:
// - a drain request drains at once unless key or mouse input waits; then it
//   is put off to a one-shot timer, which comes after that input. That works
//   only because drainPending stays set meanwhile, so the listener posts no
//   further request; a reading's message or the timer, whichever comes
//   first, drains once no input waits any more (CatchUp).
// - a drain paints the window itself at most every kBusyPaintInterval, and
//   answers sent messages between its work and that paint;
// - anything else that comes due (a title change put off to the next frame,
//   the scroll bar's repaint, lines stranded by a lost wake-up) is done by
//   whichever of our messages runs next: a drain, a reading, or a timer
//   (CatchUp). Timers alone would starve under a stream; they remain for
//   the idle window, where nothing else runs.

using Clock = std::chrono::steady_clock;

// A drain request that finds keys or mouse input waiting is put off to this
// one-shot timer (timer messages come after input), leaving drainPending set
// so that the listener posts nothing more meanwhile; otherwise it drains at
// once, so a line is shown as soon as it arrives.
constexpr UINT_PTR kDeferredDrainTimer = 1;
// Lines whose wake-up was lost (a failed post, or a request that never
// arrived) are drained once no drain has run for this long: checked by
// CatchUp, and by a slow timer while the window is idle.
constexpr UINT_PTR kStrandedLinesTimer = 2;
constexpr UINT kStrandedLinesCheckMs = 250;
constexpr auto kStrandedLinesAge = std::chrono::milliseconds(kStrandedLinesCheckMs);
// One 60 Hz frame: the title changes at most once a frame.
constexpr auto kFrame = std::chrono::milliseconds(16);
// A drain paints its view itself when its batch is small (a line shows the
// moment it arrives). Bigger batches come one after the other only while a
// client floods the console; those are painted here, at most this often: 20
// times a second is plenty for text nobody can read at that speed, and a
// repaint is time the view can't spend showing lines.
constexpr auto kBusyPaintInterval = std::chrono::milliseconds(50);

// Keys and mouse only: newer headers add touch and pointer kinds to QS_INPUT,
// which older systems (and Wine) refuse as invalid flags, answering 0.
constexpr UINT kUserInput = QS_KEY | QS_MOUSEMOVE | QS_MOUSEBUTTON;

// A reading that comes within one frame of the last title change is shown
// once that frame is over, with whatever reading is latest by then, by
// whichever of our messages runs first (CatchUp), or this one-shot timer when
// none does; meanwhile fpsPending stays set, so a flood of readings posts
// nothing more and input and paint get through. Each title change is a round
// trip to the window system: changing it once per reading would keep the
// window's thread busy.
constexpr UINT_PTR kDeferredTitleTimer = 3;

// A drain that leaves the view's scroll bar stale arms this one-shot timer,
// which has it repainted once the window is idle, and no sooner than
// kScrollBarInterval after its last repaint. A lone line's bar follows its
// text within a few ms; under a flood the drains repaint the bar themselves.
constexpr UINT_PTR kScrollBarTimer = 4;

bool drainDeferred = false;
bool scrollBarTimerSet = false;
bool titleDue = false;
Clock::time_point lastPaint{};
Clock::time_point lastTitleChange{};
Clock::time_point lastDrain{};

void UpdateTitle(HWND window) {
    if (titleDue) {
        KillTimer(window, kDeferredTitleTimer);
        titleDue = false;
    }
    fpsPending.exchange(0);  // before the load, so no reading stored from here on is missed
    const std::wstring title = FormatFpsTitle(latestFps.load());
    SetWindowTextW(window, title.c_str());
    lastTitleChange = Clock::now();
}

void UpdateTitleIfDue(HWND window) {
    if (titleDue && Clock::now() - lastTitleChange >= kFrame) {
        UpdateTitle(window);
    }
}

bool UserInputWaiting() {
    return HIWORD(GetQueueStatus(kUserInput)) != 0;
}

void DrainNow(HWND window) {
    if (drainDeferred) {
        KillTimer(window, kDeferredDrainTimer);
        drainDeferred = false;
    }
    lastDrain = Clock::now();
    // drainPending stays set while the drain runs, so the listener posts no
    // request meanwhile.
    if (DrainToLogView()) {
        // Lines beyond this drain's budget wait their turn: a request at the back
        // of the posted messages, and, like any, after waiting input (OnDrainRequest).
        RequestNextDrain();
    } else {
        // The queue was found empty: clear, then look again, so that a Line
        // pushed while the flag was still set gets its request.
        drainPending.exchange(0);
        if (!PendingLines().Empty()) {
            RequestDrain();
        }
    }
    if (ScrollBarStale() && !scrollBarTimerSet) {
        const auto delay =
            std::max<UINT>(USER_TIMER_MINIMUM, static_cast<UINT>(ScrollBarRefreshDelay().count()));
        scrollBarTimerSet = SetTimer(window, kScrollBarTimer, delay, nullptr) != 0;
        if (!scrollBarTimerSet) {
            RefreshScrollBar();  // no timer to be had: never leave the bar stale
        }
    }
    UpdateTitleIfDue(window);
    // Messages sent to the window (another program asking for its text, the
    // system asking whether it is still answering) are answered between the
    // drain and the paint, so that they wait for the longer of the two and
    // never for both.
    MSG sent;
    PeekMessageW(&sent, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    // WM_PAINT comes only when no message is posted, which a flood never
    // allows: paint what is due here, the window and its view.
    const auto now = Clock::now();
    if (now - lastPaint >= kBusyPaintInterval) {
        RedrawWindow(window, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
        lastPaint = now;
        RepaintTook(Clock::now() - now);
    }
}

void OnDrainRequest(HWND window) {
    if (!UserInputWaiting()) {
        DrainNow(window);
        return;
    }
    if (!drainDeferred) {
        if (SetTimer(window, kDeferredDrainTimer, USER_TIMER_MINIMUM, nullptr) == 0) {
            // No timer to come back on: with drainPending still set nothing else
            // would ever drain these Lines, so drain them now.
            DrainNow(window);
            return;
        }
        drainDeferred = true;
    }
}

void OnFpsReading(HWND window) {
    if (Clock::now() - lastTitleChange >= kFrame) {
        UpdateTitle(window);
        return;
    }
    if (titleDue) {
        return;
    }
    titleDue = true;
    const auto wait =
        std::chrono::ceil<std::chrono::milliseconds>(kFrame - (Clock::now() - lastTitleChange));
    if (SetTimer(window, kDeferredTitleTimer,
                 static_cast<UINT>(std::max<long long>(wait.count(), USER_TIMER_MINIMUM)),
                 nullptr) == 0) {
        UpdateTitle(window);  // no timer to be had: never leave a reading unshown
    }
}

// Whatever has come due, done by whichever of our messages runs: while posts
// keep coming no timer message ever would.
void CatchUp(HWND window) {
    UpdateTitleIfDue(window);
    if (drainDeferred && !UserInputWaiting()) {
        DrainNow(window);  // the input it was put off for has been handled
    } else if (!drainDeferred && Clock::now() - lastDrain >= kStrandedLinesAge &&
               !PendingLines().Empty()) {
        DrainNow(window);  // a wake-up was lost: Lines wait, yet no drain has come
    }
    if (ScrollBarStale() && ScrollBarRefreshDelay().count() == 0) {
        if (scrollBarTimerSet) {
            KillTimer(window, kScrollBarTimer);
            scrollBarTimerSet = false;
        }
        RefreshScrollBar();
    }
}

void OnTimer(HWND window, UINT_PTR timer) {
    if (timer == kDeferredDrainTimer) {
        DrainNow(window);
    } else if (timer == kDeferredTitleTimer) {
        UpdateTitle(window);
    } else if (timer == kScrollBarTimer) {
        KillTimer(window, kScrollBarTimer);
        scrollBarTimerSet = false;
        RefreshScrollBar();
    }
    CatchUp(window);  // the stranded-lines timer has nothing else to do
}

}  // namespace

void RegisterConsoleClass(HINSTANCE instance) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = ConsoleWndProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = kWindowClassName;
    RegisterClassExW(&windowClass);
}

HWND CreateConsoleWindow(HINSTANCE instance) {
    return CreateWindowExW(0, kWindowClassName, kConsoleTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                           CW_USEDEFAULT, kWindowWidth, kWindowHeight, nullptr, nullptr, instance,
                           nullptr);
}

void CreateConsoleView(HWND window, HINSTANCE instance) {
    logViewWindow = CreateLogView(window, instance);
    // Never deleted: the view uses it for as long as the process lives.
    HFONT font = CreateFontW(-14, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                             FIXED_PITCH | FF_MODERN, L"Consolas");
    if (font != nullptr && logViewWindow != nullptr) {
        SendMessageW(logViewWindow, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    }
}

void StartStrandedLinesCheck(HWND window) {
    SetTimer(window, kStrandedLinesTimer, kStrandedLinesCheckMs, nullptr);
}

LRESULT CALLBACK ConsoleWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        case WM_SIZE:
            // Arrives once before the view exists, while the window is being created.
            if (logViewWindow != nullptr) {
                MoveWindow(logViewWindow, 0, 0, LOWORD(lParam), HIWORD(lParam), TRUE);
            }
            return 0;
        case WM_TIMER:
            OnTimer(window, wParam);
            return 0;
        case WM_CONSOLE_DRAIN:
            OnDrainRequest(window);
            CatchUp(window);
            return 0;
        case WM_CONSOLE_FPS:
            OnFpsReading(window);
            CatchUp(window);
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace nemora
