/* The options structure as a host meets it under a packing of its own: the
 * header fixes the layout, so the DLL reads and writes exactly the host's
 * structure, and the sizes of other versions work too. */

#include <stddef.h>
#include <string.h>

#include <windows.h>

#pragma pack(push, 1)
#include "nemora_client_c.h"
#pragma pack(pop)

#include "client_c_host.h"

/* A later version of the structure, with a field this DLL does not know. */
struct later_options {
    nemora_client_options first;
    size_t later_field;
};

/* With nobody serving its pipe the writer takes nothing: what exceeds the
 * buffer (two lines, by count or by bytes) is dropped, exactly, so the DLL
 * read the fields where they are. */
static void options_reach_the_client(const nemora_client_options* options) {
    nemora_client* client = nemora_client_create_with(options);
    int i;
    check(client != NULL, "create_with");
    check(nemora_client_capturing(client) == 0, "no field past the host's size is read");
    for (i = 0; i < 5; ++i) {
        nemora_client_printf(client, "unheard %d", i);
    }
    check(nemora_client_dropped(client) == 3, "lines beyond the bound are dropped");
    check(nemora_client_flush(client, 0) == 0, "nothing is flushed with nobody there");
    for (i = 0; i < 500 && nemora_client_status(client, NULL) != NEMORA_CLIENT_NO_CONSOLE; ++i) {
        Sleep(10);
    }
    check(nemora_client_status(client, NULL) == NEMORA_CLIENT_NO_CONSOLE, "status: no console");
    nemora_client_destroy(client);
}

void options_are_the_headers_whatever_the_packing(void) {
    struct {
        nemora_client_options options;
        unsigned canary;
    } guarded;
    struct later_options later;

    check(sizeof(nemora_client_options) == (sizeof(void*) == 8 ? 48 : 24),
          "the structure's size is the header's under pack(1)");
    check(offsetof(nemora_client_options, capture_debug_output) == (sizeof(void*) == 8 ? 40 : 20),
          "the second version's field follows the first version");
    /* options_init fills in the first version only, as for a host built
     * against that version's header: the second version's field stays. */
    guarded.canary = 0xC0FFEEu;
    guarded.options.capture_debug_output = 0x5A5A;
    nemora_client_options_init(&guarded.options);
    check(guarded.canary == 0xC0FFEEu && guarded.options.capture_debug_output == 0x5A5A,
          "options_init writes nothing past the first version");
    check(guarded.options.size == offsetof(nemora_client_options, capture_debug_output),
          "options_init sets the first version's size");
    check(guarded.options.flush_timeout_ms == 500, "options_init sets the defaults");
    guarded.options.max_buffered_lines = 2;
    guarded.options.flush_timeout_ms = 0;
    guarded.options.pipe_name = "\\\\.\\pipe\\nemora-c-host-nobody";
    options_reach_the_client(&guarded.options);

    memset(&later, 0xab, sizeof later);
    nemora_client_options_init_sized(&later.first, sizeof later);
    check(later.first.size == sizeof later, "init_sized keeps the host's size");
    check(later.later_field == 0, "init_sized zeroes the fields it does not know");
    later.first.max_buffered_bytes = 2 * strlen("unheard 0\n");
    later.first.flush_timeout_ms = 0;
    later.first.pipe_name = "\\\\.\\pipe\\nemora-c-host-nobody";
    options_reach_the_client(&later.first);

    guarded.canary = 0xC0FFEEu;
    guarded.options.size = sizeof guarded.options;
    nemora_client_options_init_sized(&guarded.options, sizeof(size_t));
    check(guarded.canary == 0xC0FFEEu && guarded.options.size == sizeof guarded.options,
          "init_sized writes nothing for a size below the first version");
}
