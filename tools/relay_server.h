#pragma once

// Serves the relay's pipe to any number of local clients at once, on one
// thread waiting on an I/O completion port: every client's bytes are read as
// soon as they come, framed on their own and forwarded with its prefix.

#include <windows.h>

#include <memory>
#include <thread>
#include <vector>

#include "driver/unique_handle.h"
#include "tools/relay_lines.h"

namespace nemora::relay {

class PipeServer {
  public:
    enum class Started {
        kServing,
        kNameTaken,  // another process already serves the relay's pipe name
        kFailed,     // see Error()
    };

    PipeServer(RelayOutput& output, const ProcessFilter& filter);
    ~PipeServer();  // Stop()
    PipeServer(const PipeServer&) = delete;
    PipeServer& operator=(const PipeServer&) = delete;

    Started Start();
    // Ends the serving thread and closes every pipe: each client's unfinished
    // line and its departure are forwarded first. Idempotent.
    void Stop();
    DWORD Error() const { return error_; }

    struct Client;

  private:
    bool Listen();
    void Run();
    void OnConnected(Client& client);
    void Read(Client& client);
    void Depart(Client& client);
    void Remove(Client& client);
    void StopAll();

    RelayOutput& output_;
    const ProcessFilter& filter_;
    UniqueHandle port_;
    std::vector<std::unique_ptr<Client>> clients_;  // every pipe instance, the listening one too
    bool listening_ = false;                        // an instance waits for the next client
    bool served_ = false;                           // the first instance was made: the name is ours
    DWORD error_ = 0;
    std::thread thread_;
};

}  // namespace nemora::relay
