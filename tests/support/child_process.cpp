#include "tests/support/child_process.h"

#include <gtest/gtest.h>

#include <vector>

namespace nemora::test {

std::wstring BesideThisExecutable(std::wstring_view relative) {
    std::wstring path(MAX_PATH, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    path.resize(length);
    path.resize(path.find_last_of(L"\\/") + 1);
    return path + std::wstring(relative);
}

namespace {

// A pipe whose one end the child inherits; the other end stays with the test.
bool MakeInheritedPipe(bool childReads, UniqueFileHandle& ours, UniqueFileHandle& theirs) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    if (!CreatePipe(&read, &write, &inherit, 0)) {
        return false;
    }
    ours.reset(childReads ? write : read);
    theirs.reset(childReads ? read : write);
    return SetHandleInformation(ours.get(), HANDLE_FLAG_INHERIT, 0) != 0;
}

}  // namespace

bool ChildProcess::Start(const std::wstring& exe, const std::wstring& arguments, DWORD flags) {
    UniqueFileHandle childIn, childOut, childErr, ourOut, ourErr;
    if (!MakeInheritedPipe(true, stdin_, childIn) || !MakeInheritedPipe(false, ourOut, childOut) ||
        !MakeInheritedPipe(false, ourErr, childErr)) {
        ADD_FAILURE() << "CreatePipe failed: " << GetLastError();
        return false;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childIn.get();
    startup.hStdOutput = childOut.get();
    startup.hStdError = childErr.get();
    std::wstring commandLine = L"\"" + exe + L"\" " + arguments;
    std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
    writable.push_back(L'\0');
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(exe.c_str(), writable.data(), nullptr, nullptr, TRUE, flags, nullptr,
                        nullptr, &startup, &info)) {
        ADD_FAILURE() << "CreateProcessW failed: " << GetLastError();
        return false;
    }
    process_.reset(info.hProcess);
    CloseHandle(info.hThread);
    // The child's ends are closed here, so that its exit ends our reads.
    stdout_.reader = std::thread(Drain, std::move(ourOut), std::ref(stdout_));
    stderr_.reader = std::thread(Drain, std::move(ourErr), std::ref(stderr_));
    return true;
}

ChildProcess::~ChildProcess() {
    stdin_.reset();
    if (process_ && Running()) {
        TerminateProcess(process_.get(), 99);  // a test that failed half-way; don't leave it behind
    }
    for (Output* output : {&stdout_, &stderr_}) {
        if (output->reader.joinable()) {
            output->reader.join();
        }
    }
}

void ChildProcess::Drain(UniqueFileHandle pipe, Output& output) {
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(pipe.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        std::lock_guard lock(output.mutex);
        output.text.append(buffer, read);
    }
}

bool ChildProcess::WriteStdin(std::string_view bytes) {
    DWORD written = 0;
    return WriteFile(stdin_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr) &&
           written == bytes.size();
}

std::optional<DWORD> ChildProcess::WaitForExit(std::chrono::milliseconds timeout) {
    if (WaitForSingleObject(process_.get(), static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
        return std::nullopt;
    }
    for (Output* output : {&stdout_, &stderr_}) {
        if (output->reader.joinable()) {
            output->reader.join();
        }
    }
    DWORD code = 0;
    GetExitCodeProcess(process_.get(), &code);
    return code;
}

std::string ChildProcess::Stdout() const {
    std::lock_guard lock(stdout_.mutex);
    return stdout_.text;
}

std::string ChildProcess::Stderr() const {
    std::lock_guard lock(stderr_.mutex);
    return stderr_.text;
}

}  // namespace nemora::test
