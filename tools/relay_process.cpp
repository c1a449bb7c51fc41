#include "tools/relay_process.h"

#include <vector>

#include "tools/relay_lines.h"
#include "tools/send_options.h"

namespace nemora::relay {

namespace {

std::string NameOf(HANDLE process) {
    std::vector<wchar_t> path(MAX_PATH);
    for (int attempt = 0; attempt < 4; ++attempt) {
        auto size = static_cast<DWORD>(path.size());
        if (QueryFullProcessImageNameW(process, 0, path.data(), &size)) {
            return ImageFileName(send::ToUtf8(std::wstring_view(path.data(), size)));
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            break;
        }
        path.resize(path.size() * 4);
    }
    return std::string(kUnknownName);
}

}  // namespace

std::uint32_t PipeClientPid(HANDLE pipe) {
    ULONG pid = 0;
    return GetNamedPipeClientProcessId(pipe, &pid) ? pid : 0;
}

std::string ProcessImageName(std::uint32_t pid) {
    const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    return process ? NameOf(process.get()) : std::string(kUnknownName);
}

const std::string& ProcessNameCache::Name(std::uint32_t pid) {
    const ULONGLONG now = GetTickCount64();
    auto found = entries_.find(pid);
    if (found != entries_.end() && found->second.process) {
        Entry& entry = found->second;
        if (now - entry.checked < kRecheckMs) {
            return entry.name;
        }
        if (WaitForSingleObject(entry.process.get(), 0) == WAIT_TIMEOUT) {
            entry.checked = now;
            return entry.name;
        }
    }
    if (entries_.size() >= kMaxEntries) {
        entries_.clear();
        found = entries_.end();
    }
    UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid));
    std::string name = process ? NameOf(process.get()) : std::string(kUnknownName);
    Entry& entry = entries_[pid];
    entry.process = std::move(process);
    entry.name = std::move(name);
    entry.checked = now;
    return entry.name;
}

}  // namespace nemora::relay
