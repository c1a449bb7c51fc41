#include "tools/relay_debug_output.h"

#include <algorithm>
#include <cstring>

namespace nemora::relay {

namespace {

constexpr DWORD kSectionBytes = 4096;
constexpr std::size_t kTextBytes = kSectionBytes - sizeof(DWORD);

// Writers convert wide text to the ANSI code page: text that is not UTF-8 is
// read in that code page and passed on as UTF-8, as every other line is.
void ToUtf8IfAnsi(std::string& text) {
    const bool ascii = std::all_of(text.begin(), text.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    const int size = static_cast<int>(text.size());
    if (ascii ||
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0) > 0) {
        return;
    }
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    wide.resize(static_cast<std::size_t>(
        MultiByteToWideChar(CP_ACP, 0, text.data(), size, wide.data(), size)));
    const int units = static_cast<int>(wide.size());
    const int bytes =
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), units, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), units, utf8.data(), bytes, nullptr, nullptr);
    text = std::move(utf8);
}

}  // namespace

DebugOutputReader::DebugOutputReader(bool global, RelayOutput& output, const ProcessFilter& filter)
    : prefix_(global ? L"Global\\" : L""), output_(output), filter_(filter), framer_(output) {}

DebugOutputReader::~DebugOutputReader() {
    Stop();
}

DebugOutputReader::Opened DebugOutputReader::Start() {
    // Each object is created here, so finding one already there means another reader.
    const auto create = [this](UniqueHandle& handle, HANDLE made) {
        handle.reset(made);
        error_ = handle ? (GetLastError() == ERROR_ALREADY_EXISTS ? ERROR_ALREADY_EXISTS : 0)
                        : GetLastError();
        return error_ == 0;
    };
    const auto failure = [this] {
        bufferReady_.reset();
        dataReady_.reset();
        section_.reset();
        switch (error_) {
            case ERROR_ALREADY_EXISTS:
                return Opened::kInUse;
            case ERROR_ACCESS_DENIED:
            case ERROR_PRIVILEGE_NOT_HELD:
                return Opened::kDenied;
            default:
                return Opened::kFailed;
        }
    };
    if (!create(section_, CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                             kSectionBytes, (prefix_ + L"DBWIN_BUFFER").c_str())) ||
        !create(bufferReady_,
                CreateEventW(nullptr, FALSE, FALSE, (prefix_ + L"DBWIN_BUFFER_READY").c_str())) ||
        !create(dataReady_,
                CreateEventW(nullptr, FALSE, FALSE, (prefix_ + L"DBWIN_DATA_READY").c_str()))) {
        return failure();
    }
    view_ = static_cast<const char*>(MapViewOfFile(section_.get(), FILE_MAP_READ, 0, 0, 0));
    stop_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (view_ == nullptr || !stop_) {
        error_ = GetLastError();
        if (view_ != nullptr) {
            UnmapViewOfFile(view_);
            view_ = nullptr;
        }
        return failure();
    }
    thread_ = std::thread([this] { Run(); });
    return Opened::kOpened;
}

void DebugOutputReader::Stop() {
    if (thread_.joinable()) {
        SetEvent(stop_.get());
        thread_.join();
    }
    if (view_ != nullptr) {
        UnmapViewOfFile(view_);
        view_ = nullptr;
    }
    // Closed, the names are gone: a writer finds no reader and returns at once.
    bufferReady_.reset();
    dataReady_.reset();
    section_.reset();
}

void DebugOutputReader::Run() {
    // Every writer in the session waits while this thread is not running: it
    // goes before the relay's other work when the cores are busy.
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
    std::string text;
    text.reserve(kTextBytes);
    SetEvent(bufferReady_.get());
    for (;;) {
        const HANDLE events[] = {dataReady_.get(), stop_.get()};
        if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
            return;
        }
        DWORD pid = 0;
        std::memcpy(&pid, view_, sizeof pid);
        const char* const start = view_ + sizeof pid;
        const void* end = std::memchr(start, '\0', kTextBytes);
        text.assign(start, end == nullptr
                               ? kTextBytes
                               : static_cast<std::size_t>(static_cast<const char*>(end) - start));
        SetEvent(bufferReady_.get());  // the writer goes on; the copy is the relay's now
        Forward(pid, text);
    }
}

// Each string is a source of its own: its lines, and what it leaves without
// a line feed as a line of its own.
void DebugOutputReader::Forward(DWORD pid, std::string& text) {
    const std::string& name = names_.Name(pid);
    if (!filter_.Keeps(pid, name)) {
        return;
    }
    ToUtf8IfAnsi(text);
    framer_.Start(pid, name);
    framer_.Feed(text);
    framer_.Finish();
}

}  // namespace nemora::relay
