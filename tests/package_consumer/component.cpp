// A component as a host loads it: a DLL that logs through DebugClient, built
// against the installed package with nothing but its defaults.

#include <nemora_client.h>

#include <chrono>

// Logs one line to the named pipe; true once it is in the pipe.
extern "C" __declspec(dllexport) bool component_log(const wchar_t* pipe_name, const char* text) {
    nemora::DebugClientOptions options;
    options.pipeName = pipe_name;
    nemora::DebugClient client(options);
    client.Line(text);
    return client.Flush(std::chrono::seconds(10));
}
