#!/usr/bin/env bash
# Runs the reliability suite (floods, client churn, bad bytes, second starts,
# a squatter on the pipe name, exit under load) against the real console under
# Wine and prints one table of what each scenario offered, what the view
# showed, what was dropped (by the pending-line limit, or given up because
# more waited than the view holds) and what the view's notices announced, the
# console's peak working set, the slowest window round trip and the exit codes.
#
# Usage: bench/reliability-report.sh        (extra arguments go to ctest)
set -euo pipefail
source "$(dirname "$0")/../scripts/lib/env.sh"

nemora_install
trap nemora_cleanup EXIT
nemora_build >&2
nemora_display
nemora_prefix

say "running the reliability suite"
log=$(mktemp)
status=0
ctest --test-dir "$NEMORA_BUILD" -L reliability -V --timeout 300 "$@" >"$log" 2>&1 || status=$?

# Each case prints "REPORT scenario=... key=value ..." on its own line.
grep -ao 'REPORT scenario=.*' "$log" | awk '
function field(name,   i, kv) {
    for (i = 2; i <= NF; i++) {
        split($i, kv, "=")
        if (kv[1] == name) return kv[2]
    }
    return "-"
}
BEGIN {
    printf "| %-24s | %13s | %11s | %13s | %23s | %14s | %16s | %-14s |\n", "scenario", \
        "lines offered", "lines shown", "lines dropped", "lines announced dropped", \
        "peak work set", "slowest UI trip", "exit codes"
    printf "|%s|%s|%s|%s|%s|%s|%s|%s|\n", "--------------------------", "--------------:", \
        "------------:", "--------------:", "------------------------:", "---------------:", \
        "-----------------:", "----------------"
}
{
    offered = field("offered"); shown = field("shown"); dropped = field("dropped")
    announced = field("announced")
    ws = field("peak_ws_kib"); ui = field("slowest_ui_ms")
    if (offered == "0" && shown == "0") { offered = "-"; shown = "-"; dropped = "-"; announced = "-" }
    ws = (ws == "0" || ws == "-") ? "-" : sprintf("%.1f MiB", ws / 1024)
    ui = (ui == "-1" || ui == "-") ? "-" : ui " ms"
    printf "| %-24s | %13s | %11s | %13s | %23s | %14s | %16s | %-14s |\n", field("scenario"), \
        offered, shown, dropped, announced, ws, ui, field("exits")
}'

passed=$(grep -aE '^[0-9]+% tests passed' "$log" || true)
printf '\n%s\n' "${passed:-no test ran}"
grep -ao 'REPORT-DETAIL .*' "$log" | sed 's/^REPORT-DETAIL /  /' >&2 || true
if [ "$status" -ne 0 ]; then
    say "failures (full log: $log):"
    grep -aE '^[0-9]+: .*(Failure|FAILED)' "$log" >&2 || true
    exit "$status"
fi
rm -f "$log"
