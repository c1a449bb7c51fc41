// A DLL that uses the client library the way an injected component does: one
// client made and destroyed through exported calls, taking the host's
// OutputDebugString calls, and one in a static object that lives until the DLL
// is detached at process exit. A client still made at process exit logs from
// DllMain, through the C interface and OutputDebugString too: the process then
// exits with kLoggedAtExit once every line is counted as dropped, with
// kUncountedAtExit if one is not (and with its own code if DllMain faulted).
// Loaded, its DllMain says so through OutputDebugString.

#include <windows.h>

#include <chrono>
#include <string>

#include "client/nemora_client.h"
#include "client/nemora_client_c.h"
#include "client/nemora_client_test_hooks.h"

namespace {

using namespace std::chrono_literals;

constexpr UINT kLoggedAtExit = 7;
constexpr UINT kUncountedAtExit = 8;

nemora::DebugClient* client = nullptr;
nemora_client* cClient = nullptr;  // made once the other client's writer has died

nemora::DebugClient& StaticClient() {
    static nemora::DebugClient staticClient;  // destroyed when the DLL is detached
    return staticClient;
}

}  // namespace

// Exported by name through client_probe.def.
extern "C" {

void ProbeStart() {
    nemora::DebugClientOptions options;
    options.captureDebugOutput = true;
    client = new nemora::DebugClient(options);
}

// OutputDebugStringA from this module.
void ProbeDebugOutput(const char* text) {
    OutputDebugStringA(text);
}

// 1 if a client of this module, asking to capture, gets the host's
// OutputDebugString calls.
int ProbeCaptures() {
    nemora::DebugClientOptions options;
    options.captureDebugOutput = true;
    const nemora::DebugClient other(options);
    return other.CapturingDebugOutput() ? 1 : 0;
}

void ProbeLine(const char* text) {
    client->Line(text);
}

void ProbeStop() {
    delete client;
    client = nullptr;
}

// Starts the client with more lines than a pipe holds; 1 once its writer is
// kept from delivering them for the reason `status` (a DeliveryStatus) says.
int ProbeStartHeldUp(int status) {
    client = new nemora::DebugClient();
    const std::string body(999, 'h');
    for (int i = 0; i < 300; ++i) {
        client->Line(body);
    }
    for (int tries = 0; tries < 1000 && static_cast<int>(client->Status()) != status; ++tries) {
        Sleep(10);
    }
    return static_cast<int>(client->Status()) == status && !client->Flush(100ms) ? 1 : 0;
}

// Ends the writer thread while it holds the client's lock; 1 once it has.
int ProbeEndWriterHoldingLock() {
    const HANDLE ended = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    nemora::test_hooks::EndNextWriterHoldingLock(ended);
    client->Line("wakes the writer");
    const bool done = WaitForSingleObject(ended, 10000) == WAIT_OBJECT_0;
    CloseHandle(ended);
    cClient = nemora_client_create();
    return done && cClient != nullptr ? 1 : 0;
}

// Queues `count` copies of the line on the static client; with `untilStuck`,
// goes on until the writer is stuck on a pipe that nobody reads.
void ProbeStaticLines(const char* text, int count, int untilStuck) {
    for (int i = 0; i < count; ++i) {
        StaticClient().Line(text);
    }
    while (untilStuck != 0 && StaticClient().Flush(100ms)) {
        StaticClient().Line(text);
    }
}
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void* reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        OutputDebugStringA("client_probe attached");  // under the loader lock
    }
    const bool processExit = reason == DLL_PROCESS_DETACH && reserved != nullptr;
    if (processExit && client != nullptr) {
        client->Line("at exit");
        client->Fps(1.0);
        client->Printf("at exit %d", 2);
        client->Line("two\nlines\n");
        client->Line(L"wide\ntwo");
        OutputDebugStringA("captured\nat exit\n");
        // Formatting this would fault: at exit the C printf must not even try.
        nemora_client_printf(cClient, "%s", reinterpret_cast<const char*>(1));
        const bool counted = client->DroppedLines() == 8 && nemora_client_dropped(cClient) == 1;
        TerminateProcess(GetCurrentProcess(), counted ? kLoggedAtExit : kUncountedAtExit);
    }
    return TRUE;
}
