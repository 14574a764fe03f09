#!/usr/bin/env bash
# What the ledger costs a whole fleet run: kalvoran-fleet sends one image to many agents with
# --no-ledger and with a ledger of its own, alternately, and the medians are compared.
#   bash bench/ledger_fleet_bench.sh [build dir (default: build)] [agents (default: 1000)]
#                                   [runs (default: 3)]
# Starts that many agent-sim processes on 127.0.40.1, 127.0.40.2, ... (250 an address block:
# 127.0.40.x to 127.0.43.x for 1,000), sends each a 16 KiB image with --jobs 100, and checks
# every copy byte for byte after every run. Each ledger run starts from a fresh ledger (the
# first run's cost) except the last, which records into the ledger the earlier ones left.
# Needs root (port 69, ping).
set -euo pipefail
export LC_ALL=C
repo=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$repo/build}")
agents=${2:-1000}
runs=${3:-3}
if ! [[ $agents =~ ^[1-9][0-9]*$ ]] || ((agents > 4 * 250)) || ! [[ $runs =~ ^[1-9]$ ]]; then
    echo "ledger_fleet_bench: agents 1 to 1000, runs 1 to 9" >&2
    exit 2
fi
fleet=$build/bin/kalvoran-fleet
agent_sim=$build/bin/agent-sim
source "$repo/bench/bench-lib.sh"
bench_require_programs ledger_fleet_bench "$fleet" "$agent_sim"
bench_require_root ledger_fleet_bench "the agents listen on port 69, the fleet pings"

work=$(mktemp -d /tmp/kalvoran-ledger-bench.XXXXXX)
agent_pids=()
cleanup() {
    ((${#agent_pids[@]})) && kill "${agent_pids[@]}" 2>/dev/null
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

head -c 16384 /dev/urandom >"$work/app.bin"
for ((i = 0; i < agents; i++)); do
    address=127.0.$((40 + i / 250)).$((i % 250 + 1))
    mkdir -p "$work/agents/$address"
    echo "$address" >>"$work/site.txt"
    "$agent_sim" --address "$address" --dir "$work/agents/$address" >"$work/agents/$address.out" 2>&1 &
    agent_pids+=($!)
done
for ((second = 0; second < 60; second++)); do
    ready=$(cat "$work"/agents/*.out | grep -c '^ready ' || true)
    ((ready == agents)) && break
    sleep 1
done
((ready == agents)) || { echo "ledger_fleet_bench: $ready of $agents agents ready" >&2; exit 1; }

# run <label> <fleet options...>: one run, its wall time appended to <label>.times.
run() {
    local label=$1 started ended
    shift
    rm -f "$work"/agents/*/image.bin
    started=$(date +%s%N)
    "$fleet" --jobs 100 --logs "$work/logs" "$@" send image "$work/app.bin" "$work/site.txt" \
        >"$work/$label.out" 2>&1 || { tail -n 5 "$work/$label.out" >&2; exit 1; }
    ended=$(date +%s%N)
    for copy in "$work"/agents/*/image.bin; do
        cmp -s "$copy" "$work/app.bin" || { echo "ledger_fleet_bench: $copy differs" >&2; exit 1; }
    done
    [[ $(ls "$work"/agents/*/image.bin | wc -l) -eq $agents ]] || { echo "missing copies" >&2; exit 1; }
    awk -v ns=$((ended - started)) 'BEGIN { printf "%.3f\n", ns / 1e9 }' >>"$work/$label.times"
}
median() { sort -n "$1" | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

for ((r = 1; r <= runs; r++)); do
    run plain --no-ledger
    if ((r < runs)); then
        rm -f "$work"/ledger.sqlite3*
    fi
    run ledger --ledger "$work/ledger.sqlite3"
done
printf '%s agents, 16 KiB each, --jobs 100, %s runs each (medians):\n' "$agents" "$runs"
printf '  --no-ledger  %6.2f s   (%s)\n' "$(median "$work/plain.times")" "$(paste -sd' ' "$work/plain.times")"
printf '  --ledger     %6.2f s   (%s)\n' "$(median "$work/ledger.times")" "$(paste -sd' ' "$work/ledger.times")"
printf '  ledger after the runs: %s bytes, %s attempts\n' "$(stat -c %s "$work/ledger.sqlite3")" \
    "$(sqlite3 "$work/ledger.sqlite3" 'SELECT count(*) FROM attempts' 2>/dev/null || echo '?')"
