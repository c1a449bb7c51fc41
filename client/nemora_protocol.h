/* The console's wire protocol and the texts it writes into its view, written
 * once for the console, the client library, the tools and the tests. Valid C99
 * (the macros) and C++17 (the constants in namespace nemora). */

#ifndef NEMORA_PROTOCOL_H
#define NEMORA_PROTOCOL_H

/* An ASCII text's wide (UTF-16) form. */
#define NEMORA_WIDE_(text) L##text
#define NEMORA_WIDE(text) NEMORA_WIDE_(text)

/* The console's pipe: clients open it for writing. */
#define NEMORA_PIPE_NAME "\\\\.\\pipe\\nemora-debug"
#define NEMORA_PIPE_NAME_W NEMORA_WIDE(NEMORA_PIPE_NAME)

/* nemora-relay's pipe: while a relay runs, clients write here instead, and the
 * relay forwards every client's lines to the console through its one connection. */
#define NEMORA_RELAY_PIPE_NAME "\\\\.\\pipe\\nemora-debug-relay"
#define NEMORA_RELAY_PIPE_NAME_W NEMORA_WIDE(NEMORA_RELAY_PIPE_NAME)
/* A mutex the running relay holds, in the session's own namespace: one relay per
 * session, and how a client connected straight to the console learns that a
 * relay has started and it should move to the relay's pipe. */
#define NEMORA_RELAY_INSTANCE_NAME "NemoraDebugRelayInstance"
#define NEMORA_RELAY_INSTANCE_NAME_W NEMORA_WIDE(NEMORA_RELAY_INSTANCE_NAME)

/* A line starting with this carries a frame-rate reading instead of text. */
#define NEMORA_FPS_PREFIX "FPS:"

/* The console's status lines (UTF-8; the dash is U+2014). */
#define NEMORA_STATUS_STARTED \
    "[console] Nemora debug console started \xE2\x80\x94 waiting for client..."
#define NEMORA_STATUS_CONNECTED "[console] client connected"
#define NEMORA_STATUS_DISCONNECTED "[console] client disconnected (waiting for re-inject)"

/* The relay's lines in the view: "[relay] 4242 game.exe connected". */
#define NEMORA_RELAY_NOTICE_START "[relay] "
#define NEMORA_RELAY_STARTED NEMORA_RELAY_NOTICE_START "started, serving " NEMORA_RELAY_PIPE_NAME
#define NEMORA_RELAY_STOPPED NEMORA_RELAY_NOTICE_START "stopped"
#define NEMORA_RELAY_CLIENT_CONNECTED " connected"
#define NEMORA_RELAY_CLIENT_DISCONNECTED " disconnected"

/* Where lines went missing: "[console] N lines dropped" from the console,
 * "[client] N lines dropped" ("1 line dropped") from the client library. */
#define NEMORA_CONSOLE_NOTICE_START "[console] "
#define NEMORA_CLIENT_NOTICE_START "[client] "
#define NEMORA_NOTICE_LINES_DROPPED " lines dropped"
#define NEMORA_NOTICE_LINE_DROPPED " line dropped"
/* What the client DLL queues, followed by the format, for a printf format it refuses. */
#define NEMORA_CLIENT_FORMAT_REFUSED NEMORA_CLIENT_NOTICE_START "printf format not supported: "
/* What it queues, followed by the format, for a printf whose text would be
 * longer than the client's buffer holds (and so is never built). */
#define NEMORA_CLIENT_OUTPUT_TOO_LONG \
    NEMORA_CLIENT_NOTICE_START "printf text longer than the buffer: "

#ifdef __cplusplus
#include <cstdint>
#include <string>
#include <string_view>

namespace nemora {

inline constexpr wchar_t kPipeName[] = NEMORA_PIPE_NAME_W;
inline constexpr std::string_view kPipeNameUtf8 = NEMORA_PIPE_NAME;
inline constexpr wchar_t kRelayPipeName[] = NEMORA_RELAY_PIPE_NAME_W;
inline constexpr std::string_view kRelayPipeNameUtf8 = NEMORA_RELAY_PIPE_NAME;
inline constexpr wchar_t kRelayInstanceName[] = NEMORA_RELAY_INSTANCE_NAME_W;
inline constexpr std::string_view kFpsPrefix = NEMORA_FPS_PREFIX;
inline constexpr char kStartLine[] = NEMORA_STATUS_STARTED;
inline constexpr char kConnectedLine[] = NEMORA_STATUS_CONNECTED;
inline constexpr char kDisconnectedLine[] = NEMORA_STATUS_DISCONNECTED;
inline constexpr std::string_view kConsoleNoticeStart = NEMORA_CONSOLE_NOTICE_START;
inline constexpr std::string_view kRelayNoticeStart = NEMORA_RELAY_NOTICE_START;
inline constexpr char kRelayStartedLine[] = NEMORA_RELAY_STARTED;
inline constexpr char kRelayStoppedLine[] = NEMORA_RELAY_STOPPED;
inline constexpr std::string_view kRelayClientConnected = NEMORA_RELAY_CLIENT_CONNECTED;
inline constexpr std::string_view kRelayClientDisconnected = NEMORA_RELAY_CLIENT_DISCONNECTED;
inline constexpr std::string_view kClientNoticeStart = NEMORA_CLIENT_NOTICE_START;
inline constexpr std::string_view kLinesDropped = NEMORA_NOTICE_LINES_DROPPED;
inline constexpr std::string_view kLineDropped = NEMORA_NOTICE_LINE_DROPPED;

// The client's notice of a gap, without a line end: "[client] N lines dropped",
// "[client] 1 line dropped".
inline std::string ClientDroppedNotice(std::uint64_t dropped) {
    std::string notice(kClientNoticeStart);
    notice += std::to_string(dropped);
    notice += dropped == 1 ? kLineDropped : kLinesDropped;
    return notice;
}

}  // namespace nemora
#endif

#endif /* NEMORA_PROTOCOL_H */
