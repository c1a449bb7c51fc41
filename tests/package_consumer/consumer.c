/* Makes a client through the C interface, queues a line and destroys it.
 * Nothing serves the pipe it names: this checks that the package builds, links
 * and runs, not delivery. */

#include <nemora_client_c.h>

int main(void) {
    nemora_client_options options;
    nemora_client* client;
    int made;
    nemora_client_options_init(&options);
    options.pipe_name = "\\\\.\\pipe\\nemora-package-consumer";
    options.flush_timeout_ms = 0;
    client = nemora_client_create_with(&options);
    made = client != NULL;
    nemora_client_printf(client, "from the installed package, %s", "in C");
    nemora_client_destroy(client);
    return made ? 0 : 1;
}
