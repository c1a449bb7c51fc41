#!/usr/bin/env bash
# Builds the console, the relay and bench/bench_relay, then runs the benchmark
# against the real console and relay under Wine on a virtual display and
# prints its table: relayed zero-loss rates against one client straight to the
# console, OutputDebugStringA's cost under the relay against a minimal reader,
# and the relay's CPU time per 100,000 lines (about five minutes; with
# --debug-output-only, the OutputDebugStringA rows alone in about 90 s).
set -euo pipefail
source "$(dirname "$0")/../scripts/lib/env.sh"

nemora_install
trap nemora_cleanup EXIT
nemora_build >/dev/null
nemora_display
nemora_prefix

nemora_bench bench_relay "$@"
