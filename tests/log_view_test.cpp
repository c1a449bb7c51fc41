// The log view against a real edit control in this process: Lines are queued
// with PushLine (no main window, so nothing is posted), LogView::Drain puts
// them into the control, and the control's own text is read back.

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "driver/console_process.h"
#include "app/console_window.h"
#include "handoff/handoff.h"
#include "handoff/handoff_test_seam.h"
#include "intake/line_framer.h"
#include "text/line_conversion.h"
#include "view/log_view.h"

namespace nemora {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;

constexpr wchar_t kHostClass[] = L"NemoraLogViewTestHost";

// A top-level window holding a log view.
class ViewDrain : public ::testing::Test {
  protected:
    void SetUp() override {
        mainWindow.store(nullptr);
        TakeAllLines();
        const HINSTANCE instance = GetModuleHandleW(nullptr);
        WNDCLASSEXW host{};
        host.cbSize = sizeof(host);
        host.lpfnWndProc = DefWindowProcW;
        host.hInstance = instance;
        host.lpszClassName = kHostClass;
        RegisterClassExW(&host);
        host_ = CreateWindowExW(0, kHostClass, L"log view test", WS_OVERLAPPEDWINDOW, 0, 0, 640,
                                480, nullptr, nullptr, instance, nullptr);
        ASSERT_NE(host_, nullptr);
        control_ = CreateLogView(host_, instance);
        ASSERT_NE(control_, nullptr);
        view_ = LogView(control_);
    }
    void TearDown() override {
        if (host_ != nullptr) {
            DestroyWindow(host_);
        }
        TakeAllLines();
    }

    std::wstring Text() const { return test::WindowText(control_).value_or(L""); }
    void SetText(const std::wstring& text) {
        SetWindowTextW(control_, text.c_str());
        ASSERT_EQ(GetWindowTextLengthW(control_), static_cast<int>(text.size()));
    }
    // Drains until nothing waits: how much one drain takes depends on how fast
    // the control has been laying text out.
    void Drain(const std::vector<Line>& lines) {
        for (const Line& line : lines) {
            PushLine(line);
        }
        while (view_.Drain()) {
        }
    }
    int FirstVisibleLine() const {
        return static_cast<int>(SendMessageW(control_, EM_GETFIRSTVISIBLELINE, 0, 0));
    }

    HWND host_ = nullptr;
    HWND control_ = nullptr;
    LogView view_;
};

// Numbered lines ("0000001\r\n" ...) cut to exactly the given length, so any
// cut or loss shows in an exact comparison.
std::wstring NumberedText(std::size_t units) {
    std::wstring text;
    text.reserve(units + 16);
    for (int n = 0; text.size() < units; ++n) {
        wchar_t line[16];
        swprintf(line, 16, L"%07d\r\n", n);
        text += line;
    }
    text.resize(units);
    return text;
}

TEST_F(ViewDrain, LinesGoInOrderEachOnItsOwnLine) {
    Drain({"first", "", "third"});
    Drain({"after a drain"});
    EXPECT_EQ(Text(), L"first\r\n\r\nthird\r\nafter a drain\r\n");
}

TEST_F(ViewDrain, Utf8IsShownAsTheCharactersItEncodes) {
    Drain({"h\xC3\xA9", kStartLine, "\xF0\x9F\x98\x80"});
    EXPECT_EQ(Text(),
              L"h\u00E9\r\n"
              L"[console] Nemora debug console started \u2014 waiting for client...\r\n"
              L"\U0001F600\r\n");
}

// The converter is asked with flags 0, so it replaces what it can't read
// (U+FFFD) rather than failing; whatever it does, the Line is shown and the
// next one keeps its own line.
TEST_F(ViewDrain, IllFormedUtf8StillShowsEveryLine) {
    const std::vector<Line> lines = {"h\xC3",           "\xFF",         "\x80 lone",
                                     "\xC0\x80 long",   "\xED\xA0\x80", "a\xE2\x80",
                                     "\xF5\x80\x80\x80"};
    Drain(lines);
    const std::vector<std::wstring> shown = test::SplitLines(Text());
    ASSERT_EQ(shown.size(), lines.size()) << "every Line on its own line";
    EXPECT_EQ(shown[0], L"h\uFFFD");
    EXPECT_EQ(shown[2].substr(shown[2].size() - 5), L" lone");
    EXPECT_EQ(shown[3].substr(shown[3].size() - 5), L" long");
    EXPECT_EQ(shown[5], L"a\uFFFD");
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_FALSE(shown[i].empty()) << "Line " << i;
        EXPECT_LE(shown[i].size(), lines[i].size()) << "Line " << i;
    }
}

TEST_F(ViewDrain, AZeroByteShowsAsASymbolAndTheNextLineKeepsItsOwnLine) {
    Drain({"a\0b"s, "\0"s, "next"});
    EXPECT_EQ(Text(), L"a\u2400b\r\n\u2400\r\nnext\r\n");
}

TEST_F(ViewDrain, AnEmptyDrainChangesNothingAndDoesNotScroll) {
    std::vector<Line> many;
    for (int i = 0; i < 300; ++i) {
        many.push_back("line " + std::to_string(i));
    }
    Drain(many);
    const std::wstring before = Text();
    ASSERT_GT(FirstVisibleLine(), 0) << "a drain scrolls to the newest line";

    SendMessageW(control_, WM_VSCROLL, SB_TOP, 0);
    ASSERT_EQ(FirstVisibleLine(), 0);
    EXPECT_FALSE(view_.Drain()) << "an empty queue: nothing more to ask for";
    EXPECT_EQ(FirstVisibleLine(), 0);
    EXPECT_EQ(Text(), before);

    Drain({"one more"});
    EXPECT_GT(FirstVisibleLine(), 0);
}

TEST_F(ViewDrain, WithoutAViewTheLinesStayQueued) {
    PushLine("kept");
    EXPECT_FALSE(LogView().Drain());
    EXPECT_FALSE(PendingLines().Empty());
    EXPECT_FALSE(view_.Drain());
    EXPECT_EQ(Text(), L"kept\r\n");
}

TEST_F(ViewDrain, LinesGoAtTheEndWhereverTheUserLeftTheCaretOrSelection) {
    Drain({"alpha", "bravo", "charlie"});
    SendMessageW(control_, EM_SETSEL, 3, 10);  // across the first line break
    Drain({"delta"});
    SendMessageW(control_, EM_SETSEL, 0, 0);  // caret at the very start
    Drain({"echo"});
    EXPECT_EQ(Text(), L"alpha\r\nbravo\r\ncharlie\r\ndelta\r\necho\r\n");
}

// Drains change the text with the view left out of drawing: afterwards a
// shown view is shown again with its scroll bar at the bottom (a small batch
// already painted, a big one with the next frame), and a hidden view stays
// hidden.
TEST_F(ViewDrain, ADrainLeavesTheViewAsShownAsItWasWithItsScrollBarAtTheBottom) {
    ShowWindow(host_, SW_SHOWNOACTIVATE);
    UpdateWindow(host_);
    const auto expectShownAtTheBottom = [this] {
        EXPECT_TRUE(IsWindowVisible(control_));
        SCROLLINFO bar{};
        bar.cbSize = sizeof(bar);
        bar.fMask = SIF_ALL;
        ASSERT_TRUE(GetScrollInfo(control_, SB_VERT, &bar));
        EXPECT_GT(bar.nMax, 400);
        EXPECT_GE(bar.nPos + static_cast<int>(bar.nPage), bar.nMax);
        EXPECT_EQ(FirstVisibleLine(), bar.nPos);
    };
    std::vector<Line> lines;
    for (int i = 0; i < 500; ++i) {
        lines.push_back("line " + std::to_string(i) + std::string(60, '.'));
    }
    Drain(lines);
    expectShownAtTheBottom();

    Drain({"one more"});
    expectShownAtTheBottom();
    EXPECT_FALSE(GetUpdateRect(control_, nullptr, FALSE)) << "a small batch waits for paint";

    ShowWindow(control_, SW_HIDE);
    Drain(lines);
    Drain({"while hidden"});
    EXPECT_FALSE(GetWindowLongPtrW(control_, GWL_STYLE) & WS_VISIBLE);
    EXPECT_TRUE(Text().ends_with(L"while hidden\r\n"));
}

// Counts the view's scroll bar repaints (its frame's) as its subclass.
int frameRepaints = 0;
WNDPROC viewProc = nullptr;
LRESULT CALLBACK CountingViewProc(HWND view, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCPAINT) {
        ++frameRepaints;
    }
    return CallWindowProcW(viewProc, view, message, wParam, lParam);
}

std::chrono::steady_clock::time_point fakeNow{};
std::chrono::steady_clock::time_point FakeNow() {
    return fakeNow;
}

// A drain repaints the text but leaves the scroll bar stale, to be repainted
// on request; only a bar stale for kScrollBarInterval is repainted by a drain.
TEST_F(ViewDrain, DrainsLeaveTheScrollBarToBeRepaintedOnRequestOrOnceStaleForTheInterval) {
    view_ = LogView(control_, FakeNow);
    ShowWindow(host_, SW_SHOWNOACTIVATE);
    UpdateWindow(host_);
    viewProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(control_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(CountingViewProc)));
    ASSERT_NE(viewProc, nullptr);
    std::vector<Line> lines;
    for (int i = 0; i < 300; ++i) {
        lines.push_back("line " + std::to_string(i));
    }
    Drain(lines);
    view_.RefreshScrollBar();  // the bar is up to date from here
    UpdateWindow(control_);
    EXPECT_GT(view_.ScrollBarRefreshDelay().count(), 0);

    frameRepaints = 0;
    Drain(lines);
    ASSERT_TRUE(view_.ScrollBarStale());
    UpdateWindow(control_);
    EXPECT_FALSE(GetUpdateRect(control_, nullptr, FALSE)) << "the text is repainted";
    EXPECT_EQ(frameRepaints, 0) << "the scroll bar is not";

    view_.RefreshScrollBar();
    EXPECT_FALSE(view_.ScrollBarStale());
    RECT text{};
    GetUpdateRect(control_, &text, FALSE);  // Wine answers TRUE for the frame alone
    EXPECT_TRUE(IsRectEmpty(&text)) << "the text needs no repaint";
    UpdateWindow(control_);
    EXPECT_EQ(frameRepaints, 1);

    Drain({"stale again"});  // a small batch: painted at once, the text only
    EXPECT_TRUE(view_.ScrollBarStale());
    EXPECT_EQ(frameRepaints, 1);
    fakeNow += kScrollBarInterval - 1ms;
    EXPECT_EQ(view_.ScrollBarRefreshDelay(), 1ms);
    Drain({"stale for less than the interval"});
    EXPECT_EQ(frameRepaints, 1);
    fakeNow += 1ms;
    EXPECT_EQ(view_.ScrollBarRefreshDelay().count(), 0);
    Drain({"stale for the interval"});
    EXPECT_FALSE(view_.ScrollBarStale());
    EXPECT_EQ(frameRepaints, 2) << "the bar is painted at once with the text";
}

TEST_F(ViewDrain, AtTheThresholdNothingIsTrimmed) {
    const std::wstring text = NumberedText(kTrimThreshold);
    SetText(text);
    Drain({"new"});
    EXPECT_EQ(Text(), text + L"new\r\n");
}

// The cut is exactly at half the length, wherever that falls: here in the
// middle of a numbered line, which keeps its tail.
TEST_F(ViewDrain, OneUnitPastTheThresholdTheOlderHalfGoesBeforeTheBatch) {
    const std::wstring text = NumberedText(kTrimThreshold + 1);
    ASSERT_NE(text[kTrimThreshold / 2 - 1], L'\n') << "the cut should fall inside a line";
    SetText(text);
    SendMessageW(control_, EM_SETSEL, 10, 20);  // a user's selection doesn't matter either
    Drain({"new", "batch"});
    EXPECT_EQ(Text(), text.substr(kTrimThreshold / 2) + L"new\r\nbatch\r\n");
}

TEST_F(ViewDrain, KeepsFarMoreThanTheControlsDefaultLimit) {
    std::vector<Line> lines;
    std::wstring expected;
    for (int i = 0; i < 2000; ++i) {
        std::string line = "line " + std::to_string(i) + " " + std::string(40, 'x');
        expected += std::wstring(line.begin(), line.end()) + L"\r\n";
        lines.push_back(std::move(line));
    }
    ASSERT_GT(expected.size(), 65536u);
    Drain(std::vector<Line>(lines.begin(), lines.begin() + 1000));  // a drain that passes 32,767
    Drain(std::vector<Line>(lines.begin() + 1000, lines.end()));    // and one that starts past it
    EXPECT_EQ(Text(), expected);
}

TEST(LineConversion, WidenedBytesAreSignExtendedAndZeroShowsAsASymbol) {
    std::string bytes;
    for (int b = 0; b < 256; ++b) {
        bytes.push_back(static_cast<char>(b));
    }
    std::wstring out = L"kept:";
    AppendWidenedBytes(out, bytes);
    ASSERT_EQ(out.size(), 5u + 256u);
    EXPECT_EQ(out.substr(0, 5), L"kept:");
    EXPECT_EQ(out[5], L'\u2400');
    for (int b = 1; b < 0x80; ++b) {
        EXPECT_EQ(out[5 + b], static_cast<wchar_t>(b));
    }
    for (int b = 0x80; b < 0x100; ++b) {
        EXPECT_EQ(out[5 + b], static_cast<wchar_t>(0xFF00 + b)) << "byte " << b;
    }
}

TEST(LineConversion, AppendsToWhatIsThereAndNeverMoreUnitsThanBytes) {
    std::wstring out = L"x";
    AppendConvertedLine(out, "");
    EXPECT_EQ(out, L"x");
    AppendConvertedLine(out, "\xE2\x80\x94");
    EXPECT_EQ(out, L"x\u2014");
    AppendConvertedLine(out, "\xF0\x9F\x98\x80\0end"s);
    EXPECT_EQ(out, L"x\u2014\U0001F600\u2400end");

    std::string ascii;
    std::wstring expected;
    for (int b = 0; b < 0x80; ++b) {
        ascii.push_back(static_cast<char>(b));
        expected.push_back(b == 0 ? kZeroByteSymbol : static_cast<wchar_t>(b));
    }
    std::wstring converted;
    AppendConvertedLine(converted, ascii + "\xC3\xA9");  // the converter's way
    AppendConvertedLine(converted, ascii);               // unit for unit
    EXPECT_EQ(converted, expected + L"\u00E9" + expected);

    const std::vector<std::string> awkward = {"\xFF\xFE", "\xC3", "\xED\xBF\xBF",
                                              "\xF8\x88\x80\x80\x80", std::string(4096, '\x80')};
    for (const std::string& line : awkward) {
        std::wstring converted;
        AppendConvertedLine(converted, line);
        EXPECT_FALSE(converted.empty());
        EXPECT_LE(converted.size(), line.size());
        EXPECT_EQ(converted.find(L'\0'), std::wstring::npos);
    }
}

// The drain rules go by the count, so it must be exactly what the conversion
// appends, for every byte string a client can send: an undercount keeps lines
// the view can't hold, an overcount gives up lines it could. Byte strings are
// made of every well-formed and ill-formed kind, alone and mixed at random,
// some cut off at any byte and ended by the framer's cut marker.
TEST(LineConversion, TheCountIsExactlyWhatTheConversionAppends) {
    std::mt19937 random(20);
    const auto byte = [&](int low, int high) {
        return static_cast<char>(std::uniform_int_distribution<int>(low, high)(random));
    };
    const auto continuation = [&] { return byte(0x80, 0xBF); };
    using Kind = std::function<std::string()>;
    const std::vector<Kind> kinds = {
        [&] { return std::string(1, byte(0x20, 0x7E)); },  // ASCII
        [&] { return std::string(1, '\0'); },              // zero byte
        [&] {
            return std::string{byte(0xC2, 0xDF), continuation()};
        },
        [&] {
            return std::string{byte(0xE1, 0xEC), continuation(), continuation()};
        },
        [&] {
            return std::string{'\xE0', byte(0xA0, 0xBF), continuation()};
        },
        [&] {
            return std::string{byte(0xF1, 0xF3), continuation(), continuation(), continuation()};
        },
        [&] {
            return std::string{'\xF4', byte(0x80, 0x8F), continuation(), continuation()};
        },
        [&] { return std::string(1, continuation()); },  // lone continuation bytes
        [&] { return std::string(4, '\x80'); },
        [&] { return std::string(1, byte(0xC2, 0xF4)); },  // truncated sequences
        [&] {
            return std::string{byte(0xE0, 0xEF), continuation()};
        },
        [&] {
            return std::string{byte(0xF0, 0xF4), continuation(), continuation()};
        },
        [&] {
            return std::string{byte(0xC0, 0xC1), continuation()};
        },  // overlong forms
        [&] {
            return std::string{'\xE0', byte(0x80, 0x9F), continuation()};
        },
        [&] {
            return std::string{'\xF0', byte(0x80, 0x8F), continuation(), continuation()};
        },
        [&] {
            return std::string{'\xED', byte(0xA0, 0xBF), continuation()};
        },  // surrogates
        [&] {
            return std::string{'\xF4', byte(0x90, 0xBF), continuation(), continuation()};
        },
        [&] { return std::string(1, byte(0xF5, 0xFF)); },  // never in UTF-8
        [&] {
            return std::string{byte(0xF8, 0xFD), continuation(), continuation(), continuation(),
                               continuation()};
        },
        [&] { return std::string(1, byte(0x00, 0xFF)); },  // anything
    };
    std::vector<std::string> lines = {"", "ascii only", CutMarker(12345)};
    for (const Kind& kind : kinds) {
        lines.push_back(kind());
        lines.push_back(kind() + kind() + "x" + kind());
    }
    for (int i = 0; i < 20000; ++i) {
        std::string line;
        const int pieces = std::uniform_int_distribution<int>(1, i % 100 == 0 ? 2000 : 40)(random);
        for (int p = 0; p < pieces; ++p) {
            line += kinds[random() % kinds.size()]();
        }
        if (i % 4 == 0) {  // cut anywhere, as the framer cuts an over-long Line
            line.resize(random() % (line.size() + 1));
            line += CutMarker(random());
        }
        lines.push_back(std::move(line));
    }
    std::size_t wrong = 0;
    std::string firstWrong;
    for (const std::string& line : lines) {
        std::wstring converted = L"x";
        AppendConvertedLine(converted, line);
        if (Utf16Units(line) != converted.size() - 1 && wrong++ == 0) {
            for (const char b : line) {
                char hex[4];
                std::snprintf(hex, sizeof(hex), "%02X ", static_cast<unsigned char>(b));
                firstWrong += hex;
            }
        }
    }
    EXPECT_EQ(wrong, 0u) << "of " << lines.size() << "; the first: " << firstWrong;
}

}  // namespace
}  // namespace nemora
