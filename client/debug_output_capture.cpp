#include "debug_output_capture.h"

#include "lean_windows.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <cwchar>
#include <string>
#include <string_view>

#include "nemora_client.h"
#include "nemora_client_test_hooks.h"

namespace nemora {

namespace {

// What OutputDebugStringA raises: [0] the length with its terminator, [1] the text.
constexpr DWORD kNarrowDebugString = 0x40010006;
// What OutputDebugStringW raises first since Windows 10: [0] and [1] the same
// for the UTF-16 text, [2] and [3] for its ANSI form. Unhandled, the call goes
// on as OutputDebugStringA of the ANSI form.
constexpr DWORD kWideDebugString = 0x4001000A;

// Held by the process's one capture, whichever module's client it is: the
// process id follows.
constexpr wchar_t kClaimPrefix[] = L"Local\\nemora-debug-capture-";

// ANSI text up to this many bytes is widened on the stack.
constexpr int kStackUnits = 512;

// The client whose capture this module runs (the claim makes it the process's
// only one), and how many threads are inside the handler: the capture's end
// waits for them.
std::atomic<DebugClient*> capturing{nullptr};
std::atomic<int> inHandler{0};
// Marks a thread that is taking a string, so that a call made meanwhile (by
// whatever the taking runs into) goes the system's way instead of recursing.
std::atomic<DWORD> takingSlot{TLS_OUT_OF_INDEXES};

// Set by a test: called while the next string is taken.
std::atomic<const char*> callWhileTaking{nullptr};

bool IsAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

int ClampedInt(std::size_t size) {
    return static_cast<int>(std::min<std::size_t>(size, INT_MAX));
}

// A string in the ANSI code page, as UTF-8.
void TakeAnsi(DebugClient& client, std::string_view text) {
    // At exit the line is only counted, and counted alike in any encoding: no
    // conversion, which could allocate under a lock an ended thread holds.
    if (IsAscii(text) || GetACP() == CP_UTF8 || client.ProcessExiting()) {
        client.Line(text);
        return;
    }
    wchar_t onStack[kStackUnits];
    const int units =
        MultiByteToWideChar(CP_ACP, 0, text.data(), ClampedInt(text.size()), onStack, kStackUnits);
    if (units > 0) {
        client.Line(std::wstring_view(onStack, static_cast<std::size_t>(units)));
        return;
    }
    const int needed =
        MultiByteToWideChar(CP_ACP, 0, text.data(), ClampedInt(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(std::max(needed, 0)), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), ClampedInt(text.size()), wide.data(), needed);
    client.Line(wide);
}

// The string a debug-string exception carries, up to its terminator and never
// past the length it gives.
void Take(DebugClient& client, const EXCEPTION_RECORD& record) {
    if (callWhileTaking.load(std::memory_order_relaxed) != nullptr) {
        if (const char* text = callWhileTaking.exchange(nullptr)) {
            OutputDebugStringA(text);
        }
    }
    const std::size_t length = record.ExceptionInformation[0];
    if (record.ExceptionCode == kWideDebugString) {
        const auto* text = reinterpret_cast<const wchar_t*>(record.ExceptionInformation[1]);
        client.Line(text != nullptr ? std::wstring_view(text, wcsnlen(text, length))
                                    : std::wstring_view());
        return;
    }
    const auto* text = reinterpret_cast<const char*>(record.ExceptionInformation[1]);
    TakeAnsi(client,
             text != nullptr ? std::string_view(text, strnlen(text, length)) : std::string_view());
}

class InHandler {
  public:
    InHandler() { inHandler.fetch_add(1); }
    ~InHandler() { inHandler.fetch_sub(1); }
    InHandler(const InHandler&) = delete;
    InHandler& operator=(const InHandler&) = delete;
};

LONG CALLBACK TakeDebugString(EXCEPTION_POINTERS* exception) {
    const EXCEPTION_RECORD& record = *exception->ExceptionRecord;
    const bool ours =
        (record.ExceptionCode == kNarrowDebugString && record.NumberParameters >= 2) ||
        (record.ExceptionCode == kWideDebugString && record.NumberParameters >= 4);
    if (!ours) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    const InHandler counted;  // before the client is read: the capture's end waits for it
    DebugClient* client = capturing.load();
    if (client == nullptr) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    const DWORD error = GetLastError();  // the caller's, whatever the taking sets
    if (client->ProcessExiting()) {
        // The line is only counted: nothing that could recurse, and no mark,
        // whose first setting on a thread may allocate under an orphaned lock.
        Take(*client, record);
        SetLastError(error);
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    const DWORD slot = takingSlot.load();
    if (TlsGetValue(slot) != nullptr || DebugOutputCapture::LockHeldHere(*client)) {
        SetLastError(error);
        return EXCEPTION_CONTINUE_SEARCH;
    }
    TlsSetValue(slot, client);
    try {
        Take(*client, record);
    } catch (...) {
        // Out of memory: the line is lost, the call returns all the same.
    }
    TlsSetValue(slot, nullptr);
    SetLastError(error);
    return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

bool DebugOutputCapture::LockHeldHere(const DebugClient& client) {
    return client.LockHeldByThisThread();
}

void test_hooks::CallDebugOutputWhileTaking(const char* text) {
    callWhileTaking.store(text);
}

DebugOutputCapture::DebugOutputCapture(DebugClient& client) : client_(client) {
    const std::wstring name = kClaimPrefix + std::to_wstring(GetCurrentProcessId());
    HANDLE claim = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
    if (claim == nullptr) {
        return;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(claim);  // another client captures
        return;
    }
    const DWORD slot = TlsAlloc();
    if (slot == TLS_OUT_OF_INDEXES) {
        CloseHandle(claim);
        return;
    }
    takingSlot.store(slot);
    capturing.store(&client);
    // First in the list: another handler that takes the exception would otherwise
    // keep it from the console.
    handler_ = AddVectoredExceptionHandler(1, TakeDebugString);
    if (handler_ == nullptr) {
        capturing.store(nullptr);
        TlsFree(slot);
        CloseHandle(claim);
        return;
    }
    claim_ = claim;
}

DebugOutputCapture::~DebugOutputCapture() {
    if (handler_ == nullptr) {
        return;
    }
    capturing.store(nullptr);  // from here on the handler takes nothing
    if (client_.ProcessExiting()) {
        // Other threads are gone, perhaps inside the handler or holding the
        // system's lock on the handlers: leave it registered, taking nothing,
        // its code mapped until the process ends.
        return;
    }
    RemoveVectoredExceptionHandler(handler_);
    // A thread that read the client before it was withdrawn is still taking a
    // string: a few moves, then it is done with the client and the slot.
    while (inHandler.load() != 0) {
        SwitchToThread();
    }
    TlsFree(takingSlot.exchange(TLS_OUT_OF_INDEXES));
    CloseHandle(claim_);
}

}  // namespace nemora
