// Makes a client, queues a line and destroys it. Nothing serves the pipe it
// names: this checks that the package builds, links and runs, not delivery.

#include <nemora_client.h>

int main() {
    nemora::DebugClientOptions options;
    options.pipeName = L"\\\\.\\pipe\\nemora-package-consumer";
    options.flushTimeout = std::chrono::milliseconds(0);
    nemora::DebugClient client(options);
    client.Line("from the installed package");
    return client.DroppedLines() == 0 ? 0 : 1;
}
