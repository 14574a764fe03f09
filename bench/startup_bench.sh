#!/usr/bin/env bash
# Processor cost of starting the client, for one build or several compared side by side:
#   bash bench/startup_bench.sh [build dirs (default: build)] [repetitions (default: 10)]
#   bash bench/startup_bench.sh "/work/bench-before/build build" 10
# The first argument is a list of build directories separated by spaces (so a path with a space
# in it cannot be given); each may also be the bin directory itself. A build needs
# bin/KalvoranTFTPclient, bin/agent-sim and lib/kalvoran/libkalvoran-icmp.so (the ping module the
# program loads from ../lib/kalvoran beside its bin directory).
# Each repetition runs, build after build, with no display:
#   send   KalvoranTFTPclient image <1-byte file> 127.0.9.3   against that build's agent-sim on
#          127.0.9.3:69; exit code 0 and the agent's image.bin equal to the file sent, every run
#   usage  KalvoranTFTPclient image   (libraries loaded, nothing else; exit code 2, every run)
# and prints per build the median CPU of each, the difference of the two medians (what a send
# costs beyond loading the program: set-up, ping, transfer, and the toolkit if a headless run
# starts one) and the median wall time of the send. One unmeasured send and usage error per
# build go first, so that every measured run finds the files in the page cache and any profile
# the client writes already there.
# CPU is user + system time of the process and its children, as getrusage(RUSAGE_CHILDREN) of a
# subshell that runs only that command reports it: the same figure as GNU time's %U + %S, at
# 1 ms instead of 10 ms resolution. It includes the `timeout` around each run and the subshell's
# fork; the "floor" line (`timeout` running /bin/true, measured the same way) shows how much.
# Each build keeps its profile in a temporary XDG_CONFIG_HOME of its own, never the user's.
# Needs root (port 69, ping).
set -euo pipefail
export LC_ALL=C
repo=$(cd "$(dirname "$0")/.." && pwd)
builds_argument=${1:-$repo/build}
repetitions=${2:-10}
readonly address=127.0.9.3
readonly client_timeout=60

if ! [[ $repetitions =~ ^[1-9][0-9]*$ ]]; then
    echo "startup_bench: repetitions must be a positive number, not '$repetitions'" >&2
    exit 2
fi
read -r -a build_arguments <<<"$builds_argument"
if ((${#build_arguments[@]} == 0)); then
    echo "startup_bench: no build directory given" >&2
    exit 2
fi

# The bin directory of each build; a build given by its bin directory is taken as it is.
bins=()
labels=()
for given in "${build_arguments[@]}"; do
    dir=$(realpath -m "$given")
    if [[ -x $dir/bin/KalvoranTFTPclient ]]; then
        bin=$dir/bin
    elif [[ -x $dir/KalvoranTFTPclient ]]; then
        bin=$dir
    else
        echo "startup_bench: no KalvoranTFTPclient in $dir/bin or $dir (build the targets" \
             "KalvoranTFTPclient agent-sim kalvoran_icmp first)" >&2
        exit 2
    fi
    if [[ ! -x $bin/agent-sim ]]; then
        echo "startup_bench: no agent-sim in $bin (build the target agent-sim)" >&2
        exit 2
    fi
    if [[ ! -f $bin/../lib/kalvoran/libkalvoran-icmp.so ]]; then
        echo "startup_bench: no $(realpath -m "$bin/../lib/kalvoran")/libkalvoran-icmp.so" \
             "(build the target kalvoran_icmp; without it the client cannot ping)" >&2
        exit 2
    fi
    bins+=("$bin")
    labels+=("$given")
done

source "$repo/bench/bench-lib.sh"
bench_require_root startup_bench "the agent listens on port 69, the client pings"
bash "$repo/tools/install-deps.sh" bench

work=$(mktemp -d /tmp/kalvoran-startup-bench.XXXXXX)
agent_pid=
agent_of=
stop_agent() {
    if [[ -n $agent_pid ]]; then
        kill -TERM "$agent_pid" 2>/dev/null || true
        wait "$agent_pid" 2>/dev/null || true
    fi
    agent_pid=
    agent_of=
}
cleanup() {
    stop_agent
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# /proc/net/udp prints the address as the raw 32-bit value of s_addr (on this little-endian
# machine the octets reversed) and the port in hex.
IFS=. read -r a b c d <<<"$address"
local_hex=$(printf '%02X%02X%02X%02X:0045' "$d" "$c" "$b" "$a")
readonly local_hex

# agent_listens: true once the agent's own socket is bound to $address:69 (a socket someone
# else left there does not count).
agent_listens() {
    local inode
    while read -r inode; do
        find "/proc/$agent_pid/fd" -lname "socket:\[$inode\]" 2>/dev/null | grep -q . && return 0
    done < <(awk -v want="$local_hex" 'FNR > 1 && $2 == want { print $10 }' /proc/net/udp)
    return 1
}

# start_agent <build index>: makes that build's agent-sim the one listening on $address:69,
# with an empty directory.
start_agent() {
    local index=$1
    [[ $agent_of == "$index" ]] && return 0
    stop_agent
    rm -rf "$work/agent"
    mkdir "$work/agent"
    "${bins[index]}/agent-sim" --address "$address" --dir "$work/agent" >"$work/agent.log" 2>&1 &
    agent_pid=$!
    agent_of=$index
    for _ in {1..50}; do
        agent_listens && return 0
        if ! kill -0 "$agent_pid" 2>/dev/null; then
            wait "$agent_pid" || true
            agent_pid=
            echo "startup_bench: ${bins[index]}/agent-sim did not start on $address:69 (port" \
                 "taken?)" >&2
            cat "$work/agent.log" >&2
            exit 1
        fi
        sleep 0.1
    done
    echo "startup_bench: ${bins[index]}/agent-sim did not listen on $address:69 within 5 s" >&2
    cat "$work/agent.log" >&2
    exit 1
}

head -c 1 /dev/urandom >"$work/one.bin"
for index in "${!bins[@]}"; do
    mkdir -m 700 "$work/config.$index" "$work/runtime.$index"
done

# measure <command...>: runs the command under `timeout` in a subshell that starts nothing else,
# so the subshell's children's rusage is the command's. Leaves "exit-code start end" in
# $work/run.code, the rusage lines of `times` in $work/run.times and the command's output in
# $work/run.out. Reading the clock and `times` are builtins: nothing else is forked.
measure() {
    (
        start=$EPOCHREALTIME
        code=0
        timeout "$client_timeout" "$@" >"$work/run.out" 2>&1 || code=$?
        end=$EPOCHREALTIME
        times >"$work/run.times"
        echo "$code $start $end" >"$work/run.code"
    )
}

# record <name>: appends "wall cpu" of the last measured run to $work/<name>.times. The second
# line of `times` holds the children's user and system time, as "0m0.012s 0m0.004s".
record() {
    local code start end
    read -r code start end <"$work/run.code"
    awk -v s="$start" -v e="$end" 'NR == 2 {
        split($1, u, "m"); split($2, y, "m")
        printf "%.6f %.3f\n", e - s, u[1] * 60 + u[2] + y[1] * 60 + y[2]
    }' "$work/run.times" >>"$work/$1.times"
}

# fail <message>: reports a failed run with its output.
fail() {
    echo "startup_bench: FAILED: $1; its output:" >&2
    head -c 2000 "$work/run.out" >&2
    exit 1
}

# run_send <build index> <record as>: one measured send of one.bin (record as "" to discard).
run_send() {
    local index=$1 name=$2 code
    start_agent "$index"
    rm -f "$work/agent/image.bin"
    # Without a display the client works without a window (or off screen); its profile is its
    # own, in a temporary directory.
    measure env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
        XDG_CONFIG_HOME="$work/config.$index" XDG_RUNTIME_DIR="$work/runtime.$index" \
        "${bins[index]}/KalvoranTFTPclient" image "$work/one.bin" "$address"
    read -r code _ <"$work/run.code"
    if ((code != 0)); then
        ((code != 124)) || fail "${labels[index]}: the send did not finish within $client_timeout s"
        fail "${labels[index]}: the send ended with exit code $code, not 0"
    fi
    # The agent stores the file before it acknowledges the last block, so it is complete by the
    # time the client has finished.
    cmp -s "$work/one.bin" "$work/agent/image.bin" ||
        fail "${labels[index]}: the agent's image.bin differs from the file sent"
    [[ -z $name ]] || record "$name"
}

# run_usage <build index> <record as>: one measured usage error (record as "" to discard).
run_usage() {
    local index=$1 name=$2 code
    measure env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
        XDG_CONFIG_HOME="$work/config.$index" XDG_RUNTIME_DIR="$work/runtime.$index" \
        "${bins[index]}/KalvoranTFTPclient" image
    read -r code _ <"$work/run.code"
    ((code == 2)) || fail "${labels[index]}: the usage error ended with exit code $code, not 2"
    [[ -z $name ]] || record "$name"
}

# run_floor: what measuring costs by itself, `timeout` running /bin/true.
run_floor() {
    local code
    measure /bin/true
    read -r code _ <"$work/run.code"
    ((code == 0)) || fail "timeout /bin/true ended with exit code $code"
    record floor
}

# --- the runs ---------------------------------------------------------------------------------
echo "== $repetitions repetitions of a 1-byte send to agent-sim on $address and a usage error," \
     "alternating ${#bins[@]} build(s)"
echo "   load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
for index in "${!bins[@]}"; do
    run_send "$index" ""
    run_usage "$index" ""
done
for ((rep = 1; rep <= repetitions; rep++)); do
    for index in "${!bins[@]}"; do
        run_send "$index" "send.$index"
        run_usage "$index" "usage.$index"
    done
    run_floor
    echo "  repetition $rep done"
done
stop_agent

# --- the results ------------------------------------------------------------------------------
# median <file> <column>
median() {
    awk -v k="$2" '{ print $k }' "$1" | sort -g |
        awk '{ v[NR] = $1 } END { printf "%.6f", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

width=5
for label in "${labels[@]}"; do
    ((${#label} <= width)) || width=${#label}
done
echo
printf "%-${width}s %12s %12s %12s %12s\n" "build" "CPU send" "CPU usage" "difference" "wall send"
printf "%-${width}s %12s %12s %12s %12s\n" "" "(median, s)" "(median, s)" "(s)" "(median, s)"
for index in "${!bins[@]}"; do
    send_cpu=$(median "$work/send.$index.times" 2)
    usage_cpu=$(median "$work/usage.$index.times" 2)
    send_wall=$(median "$work/send.$index.times" 1)
    awk -v l="${labels[index]}" -v w="$width" -v s="$send_cpu" -v u="$usage_cpu" -v t="$send_wall" \
        'BEGIN { printf "%-" w "s %12.3f %12.3f %12.3f %12.3f\n", l, s, u, s - u, t }'
done
printf "floor (timeout /bin/true, included in every CPU figure): %.3f s\n" \
    "$(median "$work/floor.times" 2)"
