/* A host written in C that uses the client's C interface through the DLL's
 * import library. Started by client_c_test with the real console running; the
 * test reads the console's view. Exits 0 when every call returned what it
 * should; otherwise prints the check that failed and exits 1. */

#include <stdio.h>
#include <string.h>

#include <windows.h>

#include "nemora_client_c.h"

static int failures = 0;

static void check(int ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "failed: %s\n", what);
        ++failures;
    }
}

/* A NULL client is accepted everywhere; bad options make no client. */
static void null_and_bad_arguments(void) {
    nemora_client_options options;
    nemora_client_line(NULL, "x", 1);
    nemora_client_printf(NULL, "%d", 1);
    nemora_client_fps(NULL, 1.0);
    nemora_client_shutdown(NULL);
    nemora_client_destroy(NULL);
    nemora_client_options_init(NULL);
    check(nemora_client_flush(NULL, 0) == 0, "flush of NULL is 0");
    check(nemora_client_dropped(NULL) == 0, "dropped of NULL is 0");
    check(nemora_client_status(NULL, NULL) == NEMORA_CLIENT_SHUT_DOWN, "status of NULL");

    nemora_client_options_init(&options);
    options.size = sizeof options.size;
    check(nemora_client_create_with(&options) == NULL, "an options size too small makes no client");
    nemora_client_options_init(&options);
    options.pipe_name = "\\\\.\\pipe\\\xff";
    check(nemora_client_create_with(&options) == NULL, "a pipe name not in UTF-8 makes no client");
}

/* With nobody serving its pipe the writer takes nothing: what exceeds the
 * buffer is dropped, exactly. */
static void options_reach_the_client(void) {
    nemora_client_options options;
    nemora_client* client;
    int i;
    nemora_client_options_init(&options);
    options.max_buffered_lines = 2;
    options.flush_timeout_ms = 0;
    options.pipe_name = "\\\\.\\pipe\\nemora-c-host-nobody";
    client = nemora_client_create_with(&options);
    check(client != NULL, "create_with");
    for (i = 0; i < 5; ++i) {
        nemora_client_printf(client, "unheard %d", i);
    }
    check(nemora_client_dropped(client) == 3, "lines beyond max_buffered_lines are dropped");
    check(nemora_client_flush(client, 0) == 0, "nothing is flushed with nobody there");
    for (i = 0; i < 500 && nemora_client_status(client, NULL) != NEMORA_CLIENT_NO_CONSOLE; ++i) {
        Sleep(10);
    }
    check(nemora_client_status(client, NULL) == NEMORA_CLIENT_NO_CONSOLE, "status: no console");
    nemora_client_destroy(client);
}

static void writes_to_the_console(void) {
    static const char cut[] = "cut here";
    nemora_client* client = nemora_client_create();
    check(client != NULL, "create");
    nemora_client_line(client, "from C", strlen("from C"));
    nemora_client_line(client, "two\nlines\n", strlen("two\nlines\n"));
    nemora_client_line(client, cut, 3);
    nemora_client_line(client, "na\xc3\xafve \xe2\x9c\x93", strlen("na\xc3\xafve \xe2\x9c\x93"));
    nemora_client_printf(client, "%s %d %zu %.1f %lld", "printf", 42, (size_t)7, 2.5, -(1LL << 40));
    nemora_client_fps(client, 42.0);
    nemora_client_line(client, "last", 4);
    check(nemora_client_flush(client, 30000) == 1, "flush reaches the pipe");
    check(nemora_client_dropped(client) == 0, "nothing dropped");
    check(nemora_client_status(client, NULL) == NEMORA_CLIENT_CONNECTED, "status: connected");
    nemora_client_shutdown(client);
    nemora_client_line(client, "after shutdown", strlen("after shutdown"));
    nemora_client_destroy(client);
}

int main(void) {
    null_and_bad_arguments();
    options_reach_the_client();
    writes_to_the_console();
    return failures == 0 ? 0 : 1;
}
