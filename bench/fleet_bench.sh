#!/usr/bin/env bash
# Sending one image to many agents: kalvoran-fleet against a batch script of client runs.
#   bash bench/fleet_bench.sh [build dir (default: build)] [agents (default: 100)]
# Starts that many agent-sim processes, one per address 127.0.21.1, 127.0.21.2, ... (after
# 127.0.21.254 it goes on with 127.0.22.1), each with --latency 1 and a directory of its own,
# and sends every one of them the same 256 KiB image (512 blocks of 512 bytes):
#   baseline   <build>/bin/KalvoranTFTPclient image app.bin <address>, once per agent, one after
#              another, as a batch script does it; every run must end with exit code 0
#   jobs J     <build>/bin/kalvoran-fleet --jobs J send image app.bin <inventory>, for J = 1,
#              10, 50 and 100; it must end with exit code 0
# After every run each agent's image.bin must be byte for byte the image sent (they are all
# removed before each run).
# Measured per run:
#   wall       from the start of the first send to the end of the last (one figure per run)
#   CPU        user + system time of the client runs or of the fleet with its worker processes,
#              as getrusage(RUSAGE_CHILDREN) of a subshell that starts nothing else (bash's
#              `times`); "µs/block" is that divided by agents x 512 blocks. The agents' own
#              processing is not included.
#   memory     sampled about every 50 ms while the run goes: the sum of Pss (proportional set
#              size: shared pages divided among the processes that map them) from
#              /proc/<pid>/smaps_rollup over the fleet and all its descendants, and the sum of
#              Rss for reference. The peak sum is reported, and divided by the number of
#              worker processes (the fleet's children, one per agent being served) alive in
#              the same sample. For the baseline the figures are those of the one client
#              running at a time.
# The sampling runs in this shell, outside the measured subshell, so its own CPU is not counted
# (it does compete for the processor with what it measures). Needs root (port 69, ping).
set -euo pipefail
export LC_ALL=C
repo=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$repo/build}")
agents=${2:-100}
readonly jobs_list=(1 10 50 100)
readonly headline_jobs=50
readonly image_bytes=$((256 * 1024))
readonly blocks_per_image=$((image_bytes / 512))
readonly ready_timeout=30
readonly client_timeout=60
readonly sample_interval=0.05
# 127.0.21.1 to 127.0.255.254.
readonly max_agents=$(((255 - 21 + 1) * 254))

if ! [[ $agents =~ ^[1-9][0-9]*$ ]] || ((agents > max_agents)); then
    echo "fleet_bench: agents must be a number from 1 to $max_agents, not '$agents'" >&2
    exit 2
fi
client=$build/bin/KalvoranTFTPclient
fleet=$build/bin/kalvoran-fleet
agent_sim=$build/bin/agent-sim
source "$repo/bench/bench-lib.sh"
bench_require_programs fleet_bench "$client" "$fleet" "$agent_sim"
bench_require_root fleet_bench "the agents listen on port 69, the client pings"
bash "$repo/tools/install-deps.sh" bench

work=$(mktemp -d /tmp/kalvoran-fleet-bench.XXXXXX)
agent_pids=()
run_pid=
cleanup() {
    local pid
    # A run cut short by a signal: end the measured subshell (first, so that it starts nothing
    # more) and then the program it runs.
    if [[ -n $run_pid ]]; then
        kill -TERM "$run_pid" 2>/dev/null || true
        wait "$run_pid" 2>/dev/null || true
        stop_current
    fi
    for pid in "${agent_pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in "${agent_pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- the agents -------------------------------------------------------------------------------
addresses=()
for ((i = 0; i < agents; i++)); do
    addresses+=("127.0.$((21 + i / 254)).$((i % 254 + 1))")
done

mkdir "$work/agents" "$work/agent-out"
for address in "${addresses[@]}"; do
    mkdir "$work/agents/$address"
    "$agent_sim" --address "$address" --latency 1 --dir "$work/agents/$address" \
        >"$work/agent-out/$address.out" 2>"$work/agent-out/$address.err" &
    agent_pids+=($!)
done
# Each agent prints "ready ADDRESS:PORT" once it listens; wait for all of them.
pending=("${!addresses[@]}")
deadline=$((SECONDS + ready_timeout))
while ((${#pending[@]})); do
    still=()
    for index in "${pending[@]}"; do
        address=${addresses[index]}
        line=
        # The file may not exist yet: the agent's process creates it.
        read -r line 2>/dev/null <"$work/agent-out/$address.out" || true
        [[ $line == ready* ]] && continue
        if ! kill -0 "${agent_pids[index]}" 2>/dev/null; then
            echo "fleet_bench: agent-sim on $address ended before it listened (port taken?):" >&2
            cat "$work/agent-out/$address.err" >&2
            exit 1
        fi
        still+=("$index")
    done
    pending=("${still[@]}")
    ((${#pending[@]})) || break
    if ((SECONDS >= deadline)); then
        echo "fleet_bench: ${#pending[@]} agent(s) not ready within $ready_timeout s, the" \
             "first on ${addresses[pending[0]]}" >&2
        exit 1
    fi
    sleep 0.1
done

# --- the files --------------------------------------------------------------------------------
head -c "$image_bytes" /dev/urandom >"$work/app.bin"
for index in "${!addresses[@]}"; do
    echo "${addresses[index]} agent-$((index + 1))"
done >"$work/inventory"
mkdir -m 700 "$work/config" "$work/runtime" "$work/logs"
mkfifo "$work/tick"
exec {tick}<>"$work/tick"

# --- measuring --------------------------------------------------------------------------------
# A measured run is a subshell started in the background. For each program it starts it writes
# "pid start-time deadline-seconds" to $work/current (builtins only), so that this shell can
# sample that process tree and end it if it overstays; at the end it writes "exit-code start end"
# to $work/run.code and the rusage lines of `times` to $work/run.times.

# sample: adds one sample of the process tree named in $work/current to $work/samples as
# "pss-kB rss-kB workers" (workers: children of the root that still have memory, i.e. have not
# ended). One awk reads every process's parent from /proc/*/stat, follows the tree down from
# the root and reads the smaps_rollup of each process in it. (bash's own read is no good here:
# it seeks back after every line, and each seek makes the kernel work the whole rollup out
# again, some 25 times the cost.)
sample() {
    local root _started _limit
    read -r root _started _limit 2>/dev/null <"$work/current" || return 0
    [[ -n $root ]] || return 0
    awk -v root="$root" '
        BEGIN {
            for (i = 1; i < ARGC; i++) {
                if ((getline line < ARGV[i]) > 0) {
                    # pid (comm) state ppid ...: comm may hold spaces and parentheses.
                    pid = line; sub(/ .*/, "", pid)
                    rest = line; sub(/.*\) /, "", rest)
                    split(rest, field, " ")
                    children[field[2]] = children[field[2]] " " pid
                }
                close(ARGV[i])
            }
            queue[1] = root; depth[root] = 0; head = 1; tail = 1
            while (head <= tail) {
                pid = queue[head++]
                n = split(children[pid], kids, " ")
                for (k = 1; k <= n; k++) { queue[++tail] = kids[k]; depth[kids[k]] = depth[pid] + 1 }
                file = "/proc/" pid "/smaps_rollup"
                has_memory = 0
                while ((getline line < file) > 0) {
                    split(line, field, " ")
                    if (field[1] == "Pss:") { pss += field[2]; has_memory = 1 }
                    else if (field[1] == "Rss:") rss += field[2]
                }
                close(file)
                if (depth[pid] == 1 && has_memory) workers++
            }
            printf "%d %d %d\n", pss, rss, workers
        }' /proc/[0-9]*/stat >>"$work/samples"
}

# stop_current: ends the program of the measured run that is running now, if any.
stop_current() {
    local pid _started _limit
    read -r pid _started _limit 2>/dev/null <"$work/current" || return 0
    [[ -z $pid ]] || kill -TERM "$pid" 2>/dev/null || true
}

# watch: samples until the measured subshell $run_pid has finished; ends a program that runs
# longer than its deadline (whole seconds are precise enough for that).
watch() {
    local pid started limit
    while [[ ! -e $work/run.code ]]; do
        sample
        if read -r pid started limit 2>/dev/null <"$work/current" && [[ -n $limit ]] &&
            ((${EPOCHREALTIME%.*} - ${started%.*} > limit)); then
            echo "fleet_bench: process $pid ran longer than $limit s; ending it" >&2
            kill -TERM "$pid" 2>/dev/null || true
        fi
        # A read that times out on a pipe nobody writes to: a pause without a fork.
        read -r -t "$sample_interval" -u "$tick" _ || true
    done
    wait "$run_pid" || true
    run_pid=
}

# clear_images / check_images: the agents' image.bin before and after a run. check_images
# prints how many differ from app.bin (or are missing).
clear_images() {
    rm -f "$work"/agents/*/image.bin
}
check_images() {
    local address bad=0
    for address in "${addresses[@]}"; do
        cmp -s "$work/app.bin" "$work/agents/$address/image.bin" 2>/dev/null || bad=$((bad + 1))
    done
    echo "$bad"
}

# record <name> <agents at once>: turns the last run's files into one line of
# $work/results: "name wall cpu peak-pss-kB workers-at-peak peak-rss-kB". For the baseline
# (agents at once given as 1) the worker count is 1.
record() {
    local name=$1 fixed_workers=$2 code start end cpu
    read -r code start end <"$work/run.code"
    cpu=$(awk 'NR == 2 {
        split($1, u, "m"); split($2, y, "m")
        printf "%.3f", u[1] * 60 + u[2] + y[1] * 60 + y[2]
    }' "$work/run.times")
    awk -v name="$name" -v s="$start" -v e="$end" -v c="$cpu" -v fixed="$fixed_workers" '
        { if ($1 > pss) { pss = $1; at = $3 } if ($2 > rss) rss = $2 }
        END {
            if (fixed != "") at = fixed
            printf "%s %.6f %s %d %d %d\n", name, e - s, c, pss, at, rss
        }' "$work/samples" >>"$work/results"
}

# Without a display the client works without a window (or off screen); client and fleet keep
# any profile in a temporary directory of their own.
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
export XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work/runtime

failures=()

# --- the baseline: one client run per agent, one after another -------------------------------
echo "== $agents agents on ${addresses[0]} to ${addresses[agents - 1]} (agent-sim --latency 1)," \
     "a $((image_bytes / 1024)) KiB image"
echo "   load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
clear_images
rm -f "$work/run.code" "$work/current"
: >"$work/samples"
(
    start=$EPOCHREALTIME
    code=0
    for address in "${addresses[@]}"; do
        "$client" image "$work/app.bin" "$address" >>"$work/baseline.out" 2>&1 &
        echo "$! $EPOCHREALTIME $client_timeout" >"$work/current"
        wait "$!" || { code=$?; echo "$address $code" >>"$work/baseline.failed"; }
    done
    end=$EPOCHREALTIME
    times >"$work/run.times"
    echo "$code $start $end" >"$work/run.code"
) &
run_pid=$!
watch
bad=$(check_images)
if [[ -s $work/baseline.failed ]]; then
    echo "fleet_bench: FAILED: client runs with a non-zero exit code (address code):" >&2
    head -n 10 "$work/baseline.failed" >&2
    echo "  the client's output (last 20 lines):" >&2
    tail -n 20 "$work/baseline.out" >&2
    exit 1
fi
if ((bad)); then
    echo "fleet_bench: FAILED: after the client runs $bad agent(s) hold no image.bin equal to" \
         "app.bin" >&2
    exit 1
fi
record baseline 1
echo "  baseline done ($(wc -l <"$work/samples") memory samples)"

# --- the fleet --------------------------------------------------------------------------------
for jobs in "${jobs_list[@]}"; do
    clear_images
    rm -f "$work/run.code" "$work/current"
    : >"$work/samples"
    out=$work/fleet-$jobs.out
    # One agent takes under a second; the whole run gets ten times what --jobs 1 would need.
    limit=$((60 + agents * 10 / jobs))
    (
        start=$EPOCHREALTIME
        code=0
        "$fleet" --jobs "$jobs" --logs "$work/logs/jobs-$jobs" send image "$work/app.bin" \
            "$work/inventory" >"$out" 2>&1 &
        echo "$! $EPOCHREALTIME $limit" >"$work/current"
        wait "$!" || code=$?
        end=$EPOCHREALTIME
        times >"$work/run.times"
        echo "$code $start $end" >"$work/run.code"
    ) &
    run_pid=$!
    watch
    read -r code _ <"$work/run.code"
    bad=$(check_images)
    if ((code != 0 || bad)); then
        failures+=("jobs $jobs: exit code $code, $bad agent(s) without a correct image.bin")
        {
            echo "fleet_bench: FAILED: kalvoran-fleet --jobs $jobs ended with exit code $code;" \
                 "$bad agent(s) hold no image.bin equal to app.bin. Its output (last 20 lines):"
            tail -n 20 "$out"
        } >&2
        echo "jobs-$jobs FAILED" >>"$work/results"
    else
        record "jobs-$jobs" ""
    fi
    echo "  kalvoran-fleet --jobs $jobs done ($(wc -l <"$work/samples") memory samples)"
done

# --- the results ------------------------------------------------------------------------------
echo "   load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
awk -v n="$agents" -v blocks="$blocks_per_image" -v headline="jobs-$headline_jobs" '
    function mib(k) { return k / 1024 }
    BEGIN {
        printf "%-10s %8s %9s %8s %10s %10s %10s %8s %10s\n", "run", "wall", "speed-up", \
            "CPU", "CPU", "peak Pss", "Pss per", "agents", "peak Rss"
        printf "%-10s %8s %9s %8s %11s %10s %10s %8s %10s\n", "", "(s)", "(x)", "(s)", \
            "(µs/block)", "(MiB)", "agent MiB", "at peak", "(MiB)"
    }
    $2 == "FAILED" { printf "%-10s %s\n", $1, "FAILED"; next }
    {
        name = $1; wall = $2; cpu = $3; pss = $4; at = $5; rss = $6
        if (name == "baseline") { base_wall = wall; base_us = cpu / (n * blocks) * 1e6 }
        us = cpu / (n * blocks) * 1e6
        per = at > 0 ? sprintf("%.2f", mib(pss) / at) : "n/a"
        printf "%-10s %8.2f %9.2f %8.2f %10.1f %10.1f %10s %8d %10.1f\n", name, wall, \
            base_wall / wall, cpu, us, mib(pss), per, at, mib(rss)
        if (name == headline) { h_speed = base_wall / wall; h_per = per; h_us = us; have = 1 }
    }
    END {
        if (have)
            printf "fleet --jobs %s vs %d client runs: %.1f times faster; %s MiB per running" \
                   " agent; CPU per block %.1f vs %.1f µs\n", substr(headline, 6), n, h_speed, \
                   h_per, h_us, base_us
        else
            printf "fleet --%s FAILED: no headline figures\n", headline
    }' "$work/results"
if ((${#failures[@]})); then
    printf 'fleet_bench: FAILED: %s\n' "${failures[@]}" >&2
    exit 1
fi
