#!/usr/bin/env bash
# Builds and runs bench_debug_output under Wine: what one OutputDebugStringA
# call costs with nobody taking the strings, with the client's capture, and
# with a bare vectored handler (the floor), in one run. Arguments go to
# bench_debug_output (calls per case and round).
set -euo pipefail
source "$(dirname "$0")/../scripts/lib/env.sh"

nemora_install
trap nemora_cleanup EXIT
nemora_build bench_debug_output
nemora_prefix

say "running bench_debug_output $*"
"$NEMORA_WINE64" "$NEMORA_BUILD/bench/bench_debug_output.exe" "$@"
