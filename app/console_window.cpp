#include "app/console_window.h"

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "app/console_pacer.h"
#include "app/title_format.h"
#include "handoff/handoff.h"
#include "view/log_view.h"

namespace nemora {

namespace {

using Clock = std::chrono::steady_clock;

// Keys and mouse only: newer headers add touch and pointer kinds to QS_INPUT,
// which older systems (and Wine) refuse as invalid flags, answering 0.
constexpr UINT kUserInput = QS_KEY | QS_MOUSEMOVE | QS_MOUSEBUTTON;

// The pacer's effects on one window, the hand-off and the window's view.
class WindowEffects final : public PacerEffects {
  public:
    WindowEffects(HWND window, LogView& view) : window_(window), view_(view) {}

    Clock::time_point Now() override { return Clock::now(); }

    bool InputWaiting() override { return HIWORD(GetQueueStatus(kUserInput)) != 0; }

    bool SetTimer(PacerTimer timer, std::chrono::milliseconds delay) override {
        const auto ms = std::clamp<std::chrono::milliseconds::rep>(
            delay.count(), USER_TIMER_MINIMUM, USER_TIMER_MAXIMUM);
        return ::SetTimer(window_, static_cast<UINT_PTR>(timer), static_cast<UINT>(ms), nullptr) !=
               0;
    }

    void KillTimer(PacerTimer timer) override {
        ::KillTimer(window_, static_cast<UINT_PTR>(timer));
    }

    bool HasView() override { return view_.Control() != nullptr; }

    void Drain() override {
        // drainPending stays set while the drain runs, so the listener posts no
        // request meanwhile. Lines beyond this drain's budget wait their turn:
        // a request at the back of the posted messages, and, like any, after
        // waiting input.
        FinishDrain(view_.Drain());
    }

    bool LinesWaiting() override { return !PendingLines().Empty(); }

    void ShowLatestReading() override {
        fpsPending.exchange(0);  // before the load, so no reading stored from here on is missed
        shownReadings_ = fpsReadings.load();  // before the reading: see PublishFps
        const std::wstring title = FormatFpsTitle(latestFps.load());
        SetWindowTextW(window_, title.c_str());
    }

    bool ReadingWaiting() override { return fpsReadings.load() != shownReadings_; }

    bool AnswerSentMessages() override {
        MSG sent;
        PeekMessageW(&sent, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        return !destroyed_;
    }

    // WM_NCDESTROY has come: the window and its view are gone.
    void WindowDestroyed() { destroyed_ = true; }

    void Paint() override {
        const auto start = Clock::now();
        RedrawWindow(window_, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
        view_.RepaintTook(Clock::now() - start);
    }

    bool ScrollBarStale() override { return view_.ScrollBarStale(); }
    std::chrono::milliseconds ScrollBarRefreshDelay() override {
        return view_.ScrollBarRefreshDelay();
    }
    void RefreshScrollBar() override { view_.RefreshScrollBar(); }

  private:
    HWND window_;
    LogView& view_;
    bool destroyed_ = false;
    std::uint64_t shownReadings_ = 0;  // fpsReadings as the title last showed
};

// What a console window owns: found through GWLP_USERDATA, made as the window
// is created and deleted once the window has gone and no handler of it is
// running. A drain answers sent messages part-way through, and another
// program's WM_CLOSE destroys the window there: the drain's pacer and view
// must outlive it.
struct WindowState {
    explicit WindowState(HWND window) : effects(window, view) {}
    LogView view;  // without a control until CreateConsoleView
    WindowEffects effects;
    ConsolePacer pacer{effects};
    int handlersRunning = 0;
    bool destroyed = false;
};

WindowState* StateOf(HWND window) {
    return reinterpret_cast<WindowState*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

// Marks one handler of the window as running; the last one to return after
// the window's destruction deletes its state.
class HandlerRunning {
  public:
    explicit HandlerRunning(WindowState* state) : state_(state) {
        if (state_ != nullptr) {
            ++state_->handlersRunning;
        }
    }
    ~HandlerRunning() {
        if (state_ != nullptr && --state_->handlersRunning == 0 && state_->destroyed) {
            delete state_;
        }
    }
    HandlerRunning(const HandlerRunning&) = delete;
    HandlerRunning& operator=(const HandlerRunning&) = delete;

  private:
    WindowState* state_;
};

// Registers the window class; the result is not checked (a failure shows up
// as the main window's creation failing).
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

// The top-level window, titled "Nemora Debug Console"; null on failure.
HWND CreateConsoleWindow(HINSTANCE instance) {
    return CreateWindowExW(0, kWindowClassName, kConsoleTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                           CW_USEDEFAULT, kWindowWidth, kWindowHeight, nullptr, nullptr, instance,
                           nullptr);
}

// Fills a window of this class with its log view, in the fixed-pitch font; a
// view or font that can't be made is left out.
void CreateConsoleView(HWND window, HINSTANCE instance) {
    WindowState* state = StateOf(window);
    const HWND control = state != nullptr ? CreateLogView(window, instance) : nullptr;
    if (control == nullptr) {
        return;
    }
    state->view = LogView(control);
    // Never deleted: the view uses it for as long as the process lives.
    HFONT font = CreateFontW(-14, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                             FIXED_PITCH | FF_MODERN, L"Consolas");
    if (font != nullptr) {
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    }
}

// Starts the slow timer that drains Lines whose wake-up post failed; without
// it they would wait for the next Line to arrive.
void StartStrandedLinesCheck(HWND window) {
    SetTimer(window, static_cast<UINT_PTR>(PacerTimer::kStrandedLines),
             static_cast<UINT>(kStrandedLinesAge.count()), nullptr);
}

}  // namespace

HWND CreateConsole(HINSTANCE instance) {
    RegisterConsoleClass(instance);
    HWND window = CreateConsoleWindow(instance);
    if (window != nullptr) {
        CreateConsoleView(window, instance);
        StartStrandedLinesCheck(window);
    }
    return window;
}

LRESULT CALLBACK ConsoleWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    WindowState* state = StateOf(window);
    const HandlerRunning running(state);
    switch (message) {
        case WM_NCCREATE:
            SetWindowLongPtrW(window, GWLP_USERDATA,
                              reinterpret_cast<LONG_PTR>(new WindowState(window)));
            return DefWindowProcW(window, message, wParam, lParam);
        case WM_NCDESTROY:
            SetWindowLongPtrW(window, GWLP_USERDATA, 0);
            if (state != nullptr) {
                // Deleted as the outermost handler returns: this one, or a
                // drain that answered the message which destroyed the window.
                state->destroyed = true;
                state->effects.WindowDestroyed();
            }
            return DefWindowProcW(window, message, wParam, lParam);
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        case WM_SIZE:
            // Arrives once before the view exists, while the window is being created.
            if (state != nullptr && state->view.Control() != nullptr) {
                MoveWindow(state->view.Control(), 0, 0, LOWORD(lParam), HIWORD(lParam), TRUE);
            }
            return 0;
        case WM_TIMER:
            if (state != nullptr) {
                state->pacer.OnTimer(static_cast<PacerTimer>(wParam));
            }
            return 0;
        case WM_CONSOLE_DRAIN:
            if (state != nullptr) {
                state->pacer.OnDrainRequest();
                state->pacer.CatchUp();
            }
            return 0;
        case WM_CONSOLE_FPS:
            if (state != nullptr) {
                state->pacer.OnFpsReading();
                state->pacer.CatchUp();
            }
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace nemora
