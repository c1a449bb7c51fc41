// A DLL that uses the client library the way an injected component does: one
// client made and destroyed through exported calls, and one in a static object
// that lives until the DLL is detached at process exit.

#include <windows.h>

#include <chrono>

#include "client/nemora_client.h"

namespace {

nemora::DebugClient* client = nullptr;

nemora::DebugClient& StaticClient() {
    static nemora::DebugClient staticClient;  // destroyed when the DLL is detached
    return staticClient;
}

}  // namespace

// Exported by name through client_probe.def.
extern "C" {

void ProbeStart() {
    client = new nemora::DebugClient();
}

void ProbeLine(const char* text) {
    client->Line(text);
}

void ProbeStop() {
    delete client;
    client = nullptr;
}

// Queues `count` copies of the line on the static client; with `untilStuck`,
// goes on until the writer is stuck on a pipe that nobody reads.
void ProbeStaticLines(const char* text, int count, int untilStuck) {
    for (int i = 0; i < count; ++i) {
        StaticClient().Line(text);
    }
    while (untilStuck != 0 && StaticClient().Flush(std::chrono::milliseconds(100))) {
        StaticClient().Line(text);
    }
}
}
