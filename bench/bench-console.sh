#!/usr/bin/env bash
# Builds the console and bench/bench_console, then runs the benchmark against
# the real console under Wine on a virtual display and prints its table.
# Arguments go to bench_console (--new-rows: only the rows added last).
# The machine's load before and after is printed too: figures taken while
# other work shares the cores are slower than the product is.
set -euo pipefail
source "$(dirname "$0")/../scripts/lib/env.sh"

nemora_install
trap nemora_cleanup EXIT
nemora_build >/dev/null
nemora_display
nemora_prefix

nemora_bench bench_console "$@"
