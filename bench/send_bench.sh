#!/usr/bin/env bash
# Sending speed and processor cost of an unattended image send, against tftp-hpa's client as the
# yardstick, both sending to a real TFTP server (tftpd-hpa's in.tftpd) on 127.0.9.2:
#   bash bench/send_bench.sh [build dir (default: build)] [repetitions (default: 5)]
# Each repetition runs, alternating the two clients, a 16 MiB and a 1-byte send:
#   <build>/bin/KalvoranTFTPclient image <file> 127.0.9.2
#   tftp -m binary 127.0.9.2 -c put <file> image.bin
# Throughput is 16 MiB / (median wall time of 16 MiB - median wall time of 1 byte): the start-up
# (program load, window set-up, the ping before a transfer) costs both sizes alike and cancels.
# CPU is user + system time of the client and its children, median over the 16 MiB sends (the
# 1-byte column shows how much of it is start-up). Every file the server receives is compared
# with the one sent. Needs root (port 69).
set -euo pipefail
export LC_ALL=C
repo=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$repo/build}")
repetitions=${2:-5}
readonly address=127.0.9.2
readonly big_bytes=$((16 * 1024 * 1024))
readonly tftpd=/usr/sbin/in.tftpd
readonly gnu_time=/usr/bin/time
readonly client_timeout=300

if ! [[ $repetitions =~ ^[1-9][0-9]*$ ]]; then
    echo "send_bench: repetitions must be a positive number, not '$repetitions'" >&2
    exit 2
fi
source "$repo/bench/bench-lib.sh"
bench_require_root send_bench "the server listens on port 69, the client pings"
bash "$repo/tools/install-deps.sh" bench

work=$(mktemp -d /tmp/kalvoran-send-bench.XXXXXX)
server_pid=
cleanup() {
    if [[ -n $server_pid ]]; then
        kill -TERM "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- the server -----------------------------------------------------------------------------
mkdir -p "$work/server"
"$tftpd" --foreground --address "$address:69" --create --secure --user root "$work/server" \
    >"$work/server.log" 2>&1 &
server_pid=$!
# Ready once its socket is in the kernel's table: /proc/net/udp prints the address as the raw
# 32-bit value of s_addr (on this little-endian machine the octets reversed) and the port in hex.
IFS=. read -r a b c d <<<"$address"
local_hex=$(printf '%02X%02X%02X%02X:0045' "$d" "$c" "$b" "$a")
for _ in {1..50}; do
    awk -v want="$local_hex" 'FNR > 1 && $2 == want { found = 1 } END { exit !found }' \
        /proc/net/udp && break
    if ! kill -0 "$server_pid" 2>/dev/null; then
        wait "$server_pid" || true
        server_pid=
        echo "send_bench: in.tftpd did not start on $address:69 (port taken?)" >&2
        cat "$work/server.log" >&2
        exit 1
    fi
    sleep 0.1
done
if ! kill -0 "$server_pid" 2>/dev/null; then
    echo "send_bench: in.tftpd ended before it listened" >&2
    exit 1
fi

# --- the files --------------------------------------------------------------------------------
head -c "$big_bytes" /dev/urandom >"$work/app.bin"
head -c 1 /dev/urandom >"$work/one.bin"
mkdir -m 700 "$work/config" "$work/runtime"

ours="$build/bin/KalvoranTFTPclient"
ours_failure=
if [[ ! -x $ours ]]; then
    ours_failure="not found: $ours (build it first, e.g. cmake --preset dev && cmake --build --preset dev)"
fi

# run_client <name> <file>: one timed send; appends "wall cpu" to $work/<name>-<file>.times.
# Returns the client's exit code; its output stays in $work/run.out.
run_client() {
    local name=$1 file=$2 start end code cpu
    local -a command
    case $name in
        ours) command=("$ours" image "$work/$file" "$address") ;;
        tftp-hpa) command=(tftp -m binary "$address" -c put "$work/$file" image.bin) ;;
    esac
    rm -f "$work/server/image.bin"
    start=$EPOCHREALTIME
    code=0
    # The client keeps its settings in a profile of its own here; without a display it runs off
    # screen.
    XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/runtime" \
        "$gnu_time" -f '%U %S' -o "$work/time.out" \
        timeout "$client_timeout" "${command[@]}" >"$work/run.out" 2>&1 || code=$?
    end=$EPOCHREALTIME
    ((code == 0)) || return "$code"
    # The last line holds the times (a line before it reports a non-zero exit).
    cpu=$(tail -n 1 "$work/time.out" | awk '{ printf "%.2f", $1 + $2 }')
    awk -v s="$start" -v e="$end" -v c="$cpu" 'BEGIN { printf "%.6f %s\n", e - s, c }' \
        >>"$work/$name-$file.times"
}

# The server writes the file in a process of its own, which may finish just after the client;
# a file that still differs after two seconds is a fault.
check_received() {
    local name=$1 file=$2
    for _ in {1..20}; do
        cmp -s "$work/$file" "$work/server/image.bin" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "send_bench: FAILED: the server's image.bin differs from $file sent by $name" >&2
    exit 1
}

# --- the runs ---------------------------------------------------------------------------------
echo "== $repetitions repetitions of 16 MiB and 1-byte sends to in.tftpd on $address," \
     "alternating clients"
# Client and server take turns block by block, so other work on the machine slows both.
echo "   load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
for ((rep = 1; rep <= repetitions; rep++)); do
    for file in app.bin one.bin; do
        for name in ours tftp-hpa; do
            [[ $name == ours && -n $ours_failure ]] && continue
            code=0
            run_client "$name" "$file" || code=$?
            if ((code != 0)); then
                message="exit code $code on $file"
                ((code != 124)) || message="did not finish within $client_timeout s on $file"
                if [[ $name == tftp-hpa ]]; then
                    echo "send_bench: FAILED: tftp-hpa $message:" >&2
                    cat "$work/run.out" >&2
                    exit 1
                fi
                ours_failure="$message: $(head -c 300 "$work/run.out" | tr '\n' ' ')"
                continue
            fi
            check_received "$name" "$file"
        done
    done
    echo "  repetition $rep done"
done

# --- the results ------------------------------------------------------------------------------
# median <file> <column>
median() {
    awk -v k="$2" '{ print $k }' "$1" | sort -g |
        awk '{ v[NR] = $1 } END { printf "%.6f", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
# results <name> <label>: prints the line of one client and sets throughput and cpu.
results() {
    local name=$1 big small small_cpu
    big=$(median "$work/$name-app.bin.times" 1)
    small=$(median "$work/$name-one.bin.times" 1)
    cpu=$(median "$work/$name-app.bin.times" 2)
    small_cpu=$(median "$work/$name-one.bin.times" 2)
    throughput=$(awk -v b="$big" -v s="$small" -v m="$big_bytes" \
                     'BEGIN { d = b - s; if (d > 0) printf "%.2f", m / 1048576 / d; else print "n/a" }')
    printf '%-20s %12.3f %12.3f %12s %12.2f %12.2f\n' "$2" "$big" "$small" "$throughput" "$cpu" \
        "$small_cpu"
}

echo
printf '%-20s %12s %12s %12s %12s %12s\n' "client" "wall 16 MiB" "wall 1 byte" "throughput" \
    "CPU 16 MiB" "CPU 1 byte"
printf '%-20s %12s %12s %12s %12s %12s\n' "" "(median, s)" "(median, s)" "(MiB/s)" \
    "(median, s)" "(median, s)"
results tftp-hpa "tftp-hpa"
reference_throughput=$throughput
reference_cpu=$cpu
if [[ -n $ours_failure ]]; then
    printf '%-20s %s\n' "KalvoranTFTPclient" "FAILED, no numbers: $ours_failure"
    exit 1
fi
results ours "KalvoranTFTPclient"
awk -v t="$throughput" -v rt="$reference_throughput" -v c="$cpu" -v rc="$reference_cpu" 'BEGIN {
    printf "ours/tftp-hpa: throughput "
    if (t != "n/a" && rt != "n/a" && rt > 0) printf "%.2f", t / rt; else printf "n/a"
    printf ", CPU "
    if (rc > 0) printf "%.2f\n", c / rc; else printf "n/a (tftp-hpa CPU below the 10 ms resolution)\n"
}'
