#!/usr/bin/env bash
# Builds and runs bench_client under Wine: the per-call cost of the client
# library with the real console keeping up, absent, and with its window thread
# blocked, beside a direct blocking WriteFile to the same console, and how long
# one thread's Line() waits while another's queues two million lines. Arguments
# go to bench_client (calls per case, or "big-call" for that last row only). The console it starts lives in the build
# tree's Wine prefix, on the current display or a virtual one.
set -euo pipefail
source "$(dirname "$0")/../scripts/lib/env.sh"

nemora_install
trap nemora_cleanup EXIT
nemora_build bench_client nemora-console
nemora_display
nemora_prefix

say "running bench_client $*"
"$NEMORA_WINE64" "$NEMORA_BUILD/bench/bench_client.exe" "$@"
