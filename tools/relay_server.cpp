#include "tools/relay_server.h"

#include <algorithm>
#include <array>

#include "client/nemora_protocol.h"
#include "intake/pipe_listener.h"
#include "tools/relay_process.h"

namespace nemora::relay {

namespace {

// The completion key that tells the serving thread to end.
constexpr ULONG_PTR kStopKey = 0;
// How soon the thread tries again to offer the pipe after a failure to.
constexpr DWORD kListenRetryMs = 500;

}  // namespace

struct PipeServer::Client {
    explicit Client(RelayOutput& output) : framer(output) {}

    UniqueFileHandle pipe;
    OVERLAPPED overlapped{};  // the one operation in progress: the connection, then each read
    bool connected = false;
    bool kept = false;  // passes the filters: its lines are forwarded
    std::uint32_t pid = 0;
    std::string name;
    PrefixedFramer framer;
    std::array<char, kReadChunk> buffer{};
};

PipeServer::PipeServer(RelayOutput& output, const ProcessFilter& filter)
    : output_(output), filter_(filter) {}

PipeServer::~PipeServer() {
    Stop();
}

PipeServer::Started PipeServer::Start() {
    port_.reset(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
    if (!port_) {
        error_ = GetLastError();
        return Started::kFailed;
    }
    if (!Listen()) {
        port_.reset();
        return error_ == ERROR_ACCESS_DENIED ? Started::kNameTaken : Started::kFailed;
    }
    thread_ = std::thread([this] { Run(); });
    return Started::kServing;
}

void PipeServer::Stop() {
    if (thread_.joinable()) {
        PostQueuedCompletionStatus(port_.get(), 0, kStopKey, nullptr);
        thread_.join();
    }
    clients_.clear();
    port_.reset();
}

// Offers one more instance of the pipe. The first is made with
// FILE_FLAG_FIRST_PIPE_INSTANCE, so that a process already serving the name
// (which would get the clients meant for the relay) is found at the start.
bool PipeServer::Listen() {
    auto client = std::make_unique<Client>(output_);
    const DWORD first = served_ ? 0 : FILE_FLAG_FIRST_PIPE_INSTANCE;
    client->pipe.reset(CreateNamedPipeW(
        kRelayPipeName, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | first,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        PIPE_UNLIMITED_INSTANCES, 0, kPipeInputBufferBytes, 0, nullptr));
    if (!client->pipe) {
        error_ = GetLastError();
        return false;
    }
    served_ = true;
    if (CreateIoCompletionPort(client->pipe.get(), port_.get(),
                               reinterpret_cast<ULONG_PTR>(client.get()), 0) == nullptr) {
        error_ = GetLastError();
        return false;
    }
    Client& added = *clients_.emplace_back(std::move(client));
    listening_ = true;
    if (ConnectNamedPipe(added.pipe.get(), &added.overlapped)) {
        return true;  // connected; the completion comes through the port
    }
    switch (GetLastError()) {
        case ERROR_IO_PENDING:
            return true;
        case ERROR_PIPE_CONNECTED:  // connected before the call: no completion comes
        case ERROR_NO_DATA:         // ... and already gone, what it wrote still to be read
            OnConnected(added);
            return true;
        default:
            error_ = GetLastError();
            listening_ = false;
            Remove(added);
            return false;
    }
}

void PipeServer::Run() {
    for (;;) {
        DWORD bytes = 0;
        ULONG_PTR key = 0;
        OVERLAPPED* overlapped = nullptr;
        // With no instance offered (creating one failed), try again now and then.
        const BOOL ok = GetQueuedCompletionStatus(port_.get(), &bytes, &key, &overlapped,
                                                  listening_ ? INFINITE : kListenRetryMs);
        if (overlapped == nullptr) {
            if (ok && key == kStopKey) {
                StopAll();
                return;
            }
            if (!listening_) {
                Listen();
            }
            continue;
        }
        Client& client = *reinterpret_cast<Client*>(key);
        if (!client.connected) {
            // A connection completed (or failed: then the instance is replaced).
            if (ok || GetLastError() == ERROR_PIPE_CONNECTED || GetLastError() == ERROR_NO_DATA) {
                OnConnected(client);
            } else {
                listening_ = false;
                Remove(client);
                Listen();
            }
            continue;
        }
        if (!ok) {
            Depart(client);  // gone: closed, broken, any error
            continue;
        }
        if (bytes > 0 && client.kept) {
            client.framer.Feed(client.buffer.data(), bytes);
        }
        // A zero-byte read is a client's zero-byte write: it stays connected.
        // Unless the pipe is still there, the client has gone.
        if (bytes == 0 &&
            !PeekNamedPipe(client.pipe.get(), nullptr, 0, nullptr, nullptr, nullptr)) {
            Depart(client);
            continue;
        }
        Read(client);
    }
}

void PipeServer::OnConnected(Client& client) {
    client.connected = true;
    listening_ = false;
    Listen();  // the next client can connect while this one is served
    client.pid = PipeClientPid(client.pipe.get());
    client.name = ProcessImageName(client.pid);
    client.kept = filter_.Keeps(client.pid, client.name);
    if (client.kept) {
        output_.Line(ArrivalLine(client.pid, client.name));
        client.framer.Start(client.pid, client.name);
    }
    Read(client);
}

void PipeServer::Read(Client& client) {
    client.overlapped = OVERLAPPED{};
    // Done at once or later, the result comes through the port.
    if (!ReadFile(client.pipe.get(), client.buffer.data(), static_cast<DWORD>(client.buffer.size()),
                  nullptr, &client.overlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
        Depart(client);
    }
}

void PipeServer::Depart(Client& client) {
    if (client.kept) {
        client.framer.Finish();
        output_.Line(DepartureLine(client.pid, client.name));
    }
    DisconnectNamedPipe(client.pipe.get());
    Remove(client);
}

void PipeServer::Remove(Client& client) {
    const auto found = std::find_if(clients_.begin(), clients_.end(),
                                    [&](const auto& held) { return held.get() == &client; });
    if (found != clients_.end()) {
        clients_.erase(found);
    }
}

// The relay is ending: every operation in progress is cancelled and waited
// for, what the completed reads brought is forwarded, then each connected
// client departs.
void PipeServer::StopAll() {
    for (auto& held : clients_) {
        Client& client = *held;
        CancelIoEx(client.pipe.get(), &client.overlapped);
        DWORD bytes = 0;
        if (GetOverlappedResult(client.pipe.get(), &client.overlapped, &bytes, TRUE) &&
            client.connected && client.kept && bytes > 0) {
            client.framer.Feed(client.buffer.data(), bytes);
        }
        if (client.connected && client.kept) {
            client.framer.Finish();
            output_.Line(DepartureLine(client.pid, client.name));
        }
    }
    clients_.clear();
}

}  // namespace nemora::relay
