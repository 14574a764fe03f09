#!/usr/bin/env bash
# What the TFTP options (blksize, RFC 2348; windowsize, RFC 7440) buy, side by side in one run:
#   bash bench/options_bench.sh [build dir (default: build)] [repetitions (default: 5)]
# Four cases, each repeated, medians printed as one markdown table at the end:
#   server    a 16 MiB and a 1-byte send to tftpd-hpa's in.tftpd on 127.0.30.1, blocks of 1468
#             bytes: KalvoranTFTPclient (profile key blksize=1468), curl --tftp-blksize 1468,
#             atftp --option "blksize 1468", and tftp-hpa's tftp (plain) for reference
#   latency   a 4 MiB and a 1-byte send to agent-sim --latency 1 on 127.0.30.2 (1 ms round
#             trip): the client with windowsize=16 and blksize=1468, the client without options,
#             tftp-hpa's tftp. The bound of a window protocol is windowsize x blksize per round
#             trip; each row shows its share of the bound of what it had in force
#   SAS       a 1 MiB send without options to agent-sim --fault duplicate:3 on 127.0.30.3 (the
#             agent's ACK 3 goes twice): the DATA packets the agent received over the blocks of
#             the file, at most 1.02 (a client that answered every repeated ACK with the next
#             window would double the rest of the transfer)
#   fleet     kalvoran-fleet --jobs 50 sending the 256 KiB image of bench/fleet_bench.sh to 100
#             agents (agent-sim --latency 1, 127.0.30.11 to 127.0.30.110), with
#             --blksize 1468 --windowsize 16 and without
# Throughput is size / (median wall time of the big send - median wall time of the 1-byte send):
# start-up and the ping before a transfer cost both alike and cancel (the fleet's figure is the
# image times the agents over the whole run's wall time). CPU is user + system time of the client
# with its children (the fleet's workers), median over the big sends. The options in force are
# read from our own status log ("Options agreed: ..."); every file an agent or server received
# is compared with the one sent. Needs root (port 69, ping).
set -euo pipefail
export LC_ALL=C
repo=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$repo/build}")
repetitions=${2:-5}
readonly tftpd_address=127.0.30.1 latency_address=127.0.30.2 sas_address=127.0.30.3
readonly fleet_agents=100 fleet_first=11 fleet_jobs=50
readonly big_bytes=$((16 * 1024 * 1024)) latency_bytes=$((4 * 1024 * 1024))
readonly sas_bytes=$((1024 * 1024)) image_bytes=$((256 * 1024))
readonly blksize=1468 windowsize=16 latency_ms=1 sas_limit=1.02
readonly tftpd=/usr/sbin/in.tftpd gnu_time=/usr/bin/time
readonly client_timeout=300 fleet_timeout=600 ready_timeout=30

if ! [[ $repetitions =~ ^[1-9][0-9]*$ ]]; then
    echo "options_bench: repetitions must be a positive number, not '$repetitions'" >&2
    exit 2
fi
ours=$build/bin/KalvoranTFTPclient
fleet=$build/bin/kalvoran-fleet
agent_sim=$build/bin/agent-sim
source "$repo/bench/bench-lib.sh"
bench_require_programs options_bench "$ours" "$fleet" "$agent_sim"
bench_require_root options_bench "the servers listen on port 69, the client pings"
bash "$repo/tools/install-deps.sh" bench

work=$(mktemp -d /tmp/kalvoran-options-bench.XXXXXX)
server_pids=()
cleanup() {
    local pid
    for pid in "${server_pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in "${server_pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Without a display the client runs without a window; each profile is a folder of its own.
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
export XDG_RUNTIME_DIR=$work/runtime
mkdir -m 700 "$work/runtime"
mkdir -p "$work/profile-plain" "$work/profile-blksize" "$work/profile-window"
printf '[Settings]\nblksize=%d\n' "$blksize" >"$work/profile-blksize/KalvoranTFTPclient.INI"
printf '[Settings]\nblksize=%d\nwindowsize=%d\n' "$blksize" "$windowsize" \
    >"$work/profile-window/KalvoranTFTPclient.INI"

# --- the servers ------------------------------------------------------------------------------
# listening <address>: whether a socket on address:69 is in the kernel's table (/proc/net/udp
# prints the address as the raw 32-bit s_addr, on this little-endian machine the octets
# reversed, and the port in hex).
listening() {
    local a b c d want
    IFS=. read -r a b c d <<<"$1"
    want=$(printf '%02X%02X%02X%02X:0045' "$d" "$c" "$b" "$a")
    awk -v want="$want" 'FNR > 1 && $2 == want { found = 1 } END { exit !found }' /proc/net/udp
}

mkdir "$work/tftpd"
"$tftpd" --foreground --address "$tftpd_address:69" --create --secure --user root \
    "$work/tftpd" >"$work/tftpd.log" 2>&1 &
server_pids+=($!)
for _ in {1..50}; do
    listening "$tftpd_address" && break
    if ! kill -0 "${server_pids[-1]}" 2>/dev/null; then
        echo "options_bench: in.tftpd did not start on $tftpd_address:69 (port taken?)" >&2
        cat "$work/tftpd.log" >&2
        exit 1
    fi
    sleep 0.1
done
listening "$tftpd_address" || { echo "options_bench: in.tftpd does not listen" >&2; exit 1; }

# start_agent <address> <agent-sim options...>: an agent keeping its files in
# $work/agents/<address>, its log in $work/agents/<address>.err.
agent_addresses=()
start_agent() {
    local address=$1
    shift
    mkdir -p "$work/agents/$address"
    "$agent_sim" --address "$address" --dir "$work/agents/$address" "$@" \
        >"$work/agents/$address.out" 2>"$work/agents/$address.err" &
    server_pids+=($!)
    agent_addresses+=("$address")
}
start_agent "$latency_address" --latency "$latency_ms"
start_agent "$sas_address" --fault duplicate:3 --verbose
fleet_addresses=()
for ((i = 0; i < fleet_agents; i++)); do
    fleet_addresses+=("127.0.30.$((fleet_first + i))")
    start_agent "${fleet_addresses[i]}" --latency "$latency_ms"
done
# Each agent prints "ready ADDRESS:PORT" once it listens.
deadline=$((SECONDS + ready_timeout))
for index in "${!agent_addresses[@]}"; do
    address=${agent_addresses[index]}
    until line=$(head -n 1 "$work/agents/$address.out" 2>/dev/null) && [[ $line == ready* ]]; do
        if ! kill -0 "${server_pids[index + 1]}" 2>/dev/null || ((SECONDS >= deadline)); then
            echo "options_bench: agent-sim on $address did not start (port taken?):" >&2
            cat "$work/agents/$address.err" >&2
            exit 1
        fi
        sleep 0.1
    done
done

# --- the files --------------------------------------------------------------------------------
head -c "$big_bytes" /dev/urandom >"$work/big.bin"
head -c "$latency_bytes" /dev/urandom >"$work/latency.bin"
head -c "$sas_bytes" /dev/urandom >"$work/sas.bin"
head -c "$image_bytes" /dev/urandom >"$work/app.bin"
head -c 1 /dev/urandom >"$work/one.bin"
for address in "${fleet_addresses[@]}"; do
    echo "$address"
done >"$work/inventory"

# --- measuring --------------------------------------------------------------------------------
failures=()

# client_command <client> <file> <address>: sets command to the send of $work/<file> as
# image.bin.
client_command() {
    local file=$work/$2 address=$3
    case $1 in
        ours-*) command=(env XDG_CONFIG_HOME="$work/profile-${1#ours-}" "$ours" image "$file"
                         "$address") ;;
        curl) command=(curl --silent --show-error --tftp-blksize "$blksize" -T "$file"
                       "tftp://$address/image.bin") ;;
        atftp) command=(atftp --option "blksize $blksize" -p -l "$file" -r image.bin "$address") ;;
        tftp-hpa) command=(tftp -m binary "$address" -c put "$file" image.bin) ;;
    esac
}

# timed <times file> <limit> <command...>: runs the command, its output in $work/run.out, and
# appends "wall cpu" to the times file. Returns the command's exit code.
timed() {
    local times=$1 limit=$2 start end code=0
    shift 2
    start=$EPOCHREALTIME
    "$gnu_time" -f '%U %S' -o "$work/time.out" timeout "$limit" "$@" >"$work/run.out" 2>&1 ||
        code=$?
    end=$EPOCHREALTIME
    ((code == 0)) || return "$code"
    # The last line holds the times (a line before it reports a non-zero exit).
    tail -n 1 "$work/time.out" |
        awk -v s="$start" -v e="$end" '{ printf "%.6f %.2f\n", e - s, $1 + $2 }' >>"$times"
}

# same_file <sent> <received>: the server or agent writes the file as the transfer ends, which
# may be just after the client's end.
same_file() {
    for _ in {1..20}; do
        cmp -s "$1" "$2" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}

# agreed: what our last run's status log says of the options.
agreed() {
    local line
    line=$(grep -m 1 -E \
        '^(Options agreed:|The agent ignored|The agent refused|Option answer refused)' \
        "$work/run.out" || true)
    case $line in
        "Options agreed: "*) echo "${line#Options agreed: }" ;;
        "") echo "none asked" ;;
        "The agent ignored"*) echo "none (the agent ignored them)" ;;
        *) echo "none (refused: asked again without)" ;;
    esac
}

# send <case> <client> <file> <address> <received file>: one timed send, checked; a client that
# failed once is not run again.
send() {
    local case=$1 client=$2 file=$3 address=$4 received=$5 code=0
    [[ -e $work/$case-$client.failed ]] && return 0
    client_command "$client" "$file" "$address"
    rm -f "$received"
    timed "$work/$case-$client-$file.times" "$client_timeout" "${command[@]}" || code=$?
    if ((code != 0)); then
        echo "exit code $code on $file: $(head -c 300 "$work/run.out" | tr '\n' ' ')" \
            >"$work/$case-$client.failed"
    elif ! same_file "$work/$file" "$received"; then
        echo "the received image.bin differs from $file" >"$work/$case-$client.failed"
    elif [[ $client == ours-* && $file != one.bin ]]; then
        agreed >"$work/$case-$client.agreed"
    fi
}

# median <file> <column>
median() {
    awk -v k="$2" '{ print $k }' "$1" | sort -g | awk '{ v[NR] = $1 } END {
        printf "%.6f", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# throughput_of <case> <client> <big file> <bytes>: MiB/s from the medians of the big and the
# 1-byte sends, or n/a.
throughput_of() {
    awk -v b="$(median "$work/$1-$2-$3.times" 1)" -v s="$(median "$work/$1-$2-one.bin.times" 1)" \
        -v m="$4" 'BEGIN { d = b - s; if (d > 0) printf "%.2f", m / 1048576 / d; else print "n/a" }'
}

# Rows of the table, tab-separated: case, client, options in force, wall, throughput, CPU, note.
: >"$work/rows"
row() {
    local IFS=$'\t'
    echo "$*" >>"$work/rows"
}

# summarise <case> <client> <label> <big file> <bytes> <options asked>: one row from the medians;
# sets throughput (MiB/s, or n/a).
summarise() {
    local case=$1 client=$2 label=$3 big=$4 bytes=$5 asked=$6 wall cpu options
    if [[ -e $work/$case-$client.failed ]]; then
        row "$case" "$label" "$asked" "-" "-" "-" "FAILED: $(cat "$work/$case-$client.failed")"
        failures+=("$case $label: $(cat "$work/$case-$client.failed")")
        throughput=n/a
        return 0
    fi
    wall=$(median "$work/$case-$client-$big.times" 1)
    cpu=$(median "$work/$case-$client-$big.times" 2)
    throughput=$(throughput_of "$case" "$client" "$big" "$bytes")
    options=$asked
    [[ ! -e $work/$case-$client.agreed ]] || options=$(cat "$work/$case-$client.agreed")
    row "$case" "$label" "$options" "$(printf '%.2f' "$wall")" "$throughput" \
        "$(printf '%.2f' "$cpu")" "${note:-}"
}

# ratio <a> <b>: a / b with two decimals, or n/a.
ratio() {
    awk -v a="$1" -v b="$2" 'BEGIN {
        if (a != "n/a" && b != "n/a" && b > 0) printf "%.2f", a / b; else print "n/a" }'
}

echo "== $repetitions repetitions; load average before: $(cut -d' ' -f1-3 /proc/loadavg)"

# --- server: tftpd-hpa, blocks of 1468 bytes --------------------------------------------------
server_clients=(ours-blksize curl atftp tftp-hpa)
for ((rep = 1; rep <= repetitions; rep++)); do
    for file in big.bin one.bin; do
        for client in "${server_clients[@]}"; do
            send server "$client" "$file" "$tftpd_address" "$work/tftpd/image.bin"
        done
    done
    echo "  tftpd-hpa: repetition $rep done"
done

# --- latency: agent-sim, 1 ms round trip ------------------------------------------------------
latency_clients=(ours-window ours-plain tftp-hpa)
for ((rep = 1; rep <= repetitions; rep++)); do
    for file in latency.bin one.bin; do
        for client in "${latency_clients[@]}"; do
            send latency "$client" "$file" "$latency_address" \
                "$work/agents/$latency_address/image.bin"
        done
    done
    echo "  agent-sim --latency $latency_ms: repetition $rep done"
done

# --- SAS: the agent's ACK 3 goes twice --------------------------------------------------------
# agent-sim --verbose ends each write with "received image.bin, N bytes in K DATA, ..."; an
# agent-sim that does not count DATA yet leaves the ratio unknown.
sas_blocks=$((sas_bytes / 512 + 1))
sas_worst=
for ((rep = 1; rep <= repetitions; rep++)); do
    before=$(grep -c '^agent-sim: received image.bin' "$work/agents/$sas_address.err" || true)
    send sas ours-plain sas.bin "$sas_address" "$work/agents/$sas_address/image.bin"
    [[ -e $work/sas-ours-plain.failed ]] && break
    count=
    for _ in {1..20}; do
        count=$(grep '^agent-sim: received image.bin' "$work/agents/$sas_address.err" |
                    sed -n "$((before + 1))p" | sed -n 's/.* bytes in \([0-9]*\) DATA.*/\1/p')
        [[ -z $count ]] || break
        sleep 0.1
    done
    [[ -n $count ]] || break
    sas_worst=$(awk -v c="$count" -v w="${sas_worst:-0}" 'BEGIN { print (c > w ? c : w) }')
done
echo "  SAS: done"

# --- fleet: 100 agents, --jobs 50 -------------------------------------------------------------
fleet_has_options=
fleet_help=$("$fleet" --help 2>&1 || true)
[[ $fleet_help != *--windowsize* ]] || fleet_has_options=1
fleet_modes=(plain)
[[ -z $fleet_has_options ]] || fleet_modes=(options plain)
for ((rep = 1; rep <= repetitions; rep++)); do
    for mode in "${fleet_modes[@]}"; do
        [[ -e $work/fleet-$mode.failed ]] && continue
        rm -f "$work"/agents/127.0.30.*/image.bin
        flags=()
        [[ $mode == plain ]] || flags=(--blksize "$blksize" --windowsize "$windowsize")
        logs=$work/logs/$mode-$rep
        code=0
        timed "$work/fleet-$mode.times" "$fleet_timeout" "$fleet" --jobs "$fleet_jobs" \
            "${flags[@]}" --logs "$logs" send image "$work/app.bin" "$work/inventory" || code=$?
        bad=0
        for address in "${fleet_addresses[@]}"; do
            cmp -s "$work/app.bin" "$work/agents/$address/image.bin" 2>/dev/null || bad=$((bad + 1))
        done
        if ((code != 0 || bad)); then
            echo "exit code $code, $bad agent(s) without a correct image.bin:" \
                 "$(tail -n 5 "$work/run.out" | tr '\n' ' ')" >"$work/fleet-$mode.failed"
            continue
        fi
        # How many agents' logs name the options agreed (or ignored), and the first such line.
        { grep -l '^Options agreed:' "$logs"/*.log 2>/dev/null || true; } | wc -l \
            >"$work/fleet-$mode.count"
        { grep -l '^The agent ignored' "$logs"/*.log 2>/dev/null || true; } | wc -l \
            >"$work/fleet-$mode.ignored"
        grep -h -m 1 '^Options agreed:' "$logs"/*.log 2>/dev/null | head -n 1 |
            sed 's/^Options agreed: //' >"$work/fleet-$mode.agreed" || true
    done
    echo "  kalvoran-fleet: repetition $rep done"
done
echo "   load average after: $(cut -d' ' -f1-3 /proc/loadavg)"

# --- the table --------------------------------------------------------------------------------
asked_blksize="blksize $blksize asked"
note=
summarise server tftp-hpa "tftp-hpa (plain)" big.bin "$big_bytes" "none"
reference=$throughput
summarise server curl "curl --tftp-blksize $blksize" big.bin "$big_bytes" "$asked_blksize"
curl_throughput=$throughput
summarise server atftp "atftp --option \"blksize $blksize\"" big.bin "$big_bytes" "$asked_blksize"
atftp_throughput=$throughput
# Our row goes last, its note comparing it with the others.
if [[ ! -e $work/server-ours-blksize.failed ]]; then
    mine=$(throughput_of server ours-blksize big.bin "$big_bytes")
    note="$(ratio "$mine" "$curl_throughput")× curl, $(ratio "$mine" "$atftp_throughput")× atftp,"
    note+=" $(ratio "$mine" "$reference")× tftp-hpa"
fi
summarise server ours-blksize "KalvoranTFTPclient, blksize=$blksize" big.bin "$big_bytes" \
    "$asked_blksize"
note=

# bound <options text>: windowsize x blksize per round trip, in MiB/s, of what was in force.
bound() {
    awk -v text="$1" -v rtt="$latency_ms" 'BEGIN {
        b = 512; w = 1
        if (match(text, /blksize [0-9]+/)) b = substr(text, RSTART + 8, RLENGTH - 8)
        if (match(text, /windowsize [0-9]+/)) w = substr(text, RSTART + 11, RLENGTH - 11)
        printf "%.2f %d %d", w * b / (rtt / 1000) / 1048576, w, b
    }'
}
for client in ours-window ours-plain tftp-hpa; do
    case $client in
        ours-window) label="KalvoranTFTPclient, windowsize=$windowsize blksize=$blksize"
                     asked="windowsize $windowsize, blksize $blksize asked" ;;
        ours-plain) label="KalvoranTFTPclient (no options)"; asked="none" ;;
        tftp-hpa) label="tftp-hpa (plain)"; asked="none" ;;
    esac
    options=$asked
    [[ ! -e $work/latency-$client.agreed ]] || options=$(cat "$work/latency-$client.agreed")
    read -r limit w b <<<"$(bound "$options")"
    note=
    if [[ ! -e $work/latency-$client.failed ]]; then
        mine=$(throughput_of latency "$client" latency.bin "$latency_bytes")
        note="bound $w × $b B / $latency_ms ms = $limit MiB/s; share $(ratio "$mine" "$limit")"
    fi
    summarise latency "$client" "$label" latency.bin "$latency_bytes" "$asked"
done
note=

if [[ -e $work/sas-ours-plain.failed ]]; then
    row sas "KalvoranTFTPclient (no options)" "none" "-" "-" "-" \
        "FAILED: $(cat "$work/sas-ours-plain.failed")"
    failures+=("SAS: $(cat "$work/sas-ours-plain.failed")")
else
    sas_note="n/a: this agent-sim does not count the DATA it receives"
    if [[ -n $sas_worst ]]; then
        sas_ratio=$(awk -v c="$sas_worst" -v n="$sas_blocks" 'BEGIN { printf "%.3f", c / n }')
        sas_note="DATA received / blocks, worst of $repetitions:"
        sas_note+=" $sas_worst / $sas_blocks = $sas_ratio"
        if awk -v r="$sas_ratio" -v l="$sas_limit" 'BEGIN { exit !(r > l) }'; then
            sas_note+=" (FAILED: above $sas_limit)"
            failures+=("SAS: $sas_worst DATA for $sas_blocks blocks, above $sas_limit")
        fi
    fi
    row sas "KalvoranTFTPclient (no options)" "$(cat "$work/sas-ours-plain.agreed")" \
        "$(printf '%.2f' "$(median "$work/sas-ours-plain-sas.bin.times" 1)")" "-" \
        "$(printf '%.2f' "$(median "$work/sas-ours-plain-sas.bin.times" 2)")" "$sas_note"
fi

fleet_total=$((fleet_agents * image_bytes))
for mode in options plain; do
    if [[ $mode == options ]]; then
        label="kalvoran-fleet --blksize $blksize --windowsize $windowsize"
        asked="windowsize $windowsize, blksize $blksize asked"
        if [[ -z $fleet_has_options ]]; then
            row fleet "$label" "$asked" "-" "-" "-" "n/a: this kalvoran-fleet has no --windowsize"
            continue
        fi
    else
        label="kalvoran-fleet (no options)"
        asked="none"
    fi
    if [[ -e $work/fleet-$mode.failed ]]; then
        row fleet "$label" "$asked" "-" "-" "-" "FAILED: $(cat "$work/fleet-$mode.failed")"
        failures+=("fleet $mode: $(cat "$work/fleet-$mode.failed")")
        continue
    fi
    wall=$(median "$work/fleet-$mode.times" 1)
    options=$asked
    count=$(cat "$work/fleet-$mode.count")
    ignored=$(cat "$work/fleet-$mode.ignored")
    if ((count > 0)); then
        options="$(cat "$work/fleet-$mode.agreed") (agreed by $count of $fleet_agents)"
    elif ((ignored > 0)); then
        options="none (ignored by $ignored of $fleet_agents)"
    fi
    row fleet "$label" "$options" "$(printf '%.2f' "$wall")" \
        "$(awk -v m="$fleet_total" -v w="$wall" 'BEGIN { printf "%.2f", m / 1048576 / w }')" \
        "$(printf '%.2f' "$(median "$work/fleet-$mode.times" 2)")" \
        "$fleet_agents agents × $((image_bytes / 1024)) KiB, --jobs $fleet_jobs, whole run"
done

echo
echo "| case | client | options in force | wall (s) | throughput (MiB/s) | CPU (s) | note |"
echo "|---|---|---|---|---|---|---|"
awk -F '\t' '{
    name = $1
    if (name == "server") name = "16 MiB to tftpd-hpa"
    else if (name == "latency") name = "4 MiB, 1 ms round trip"
    else if (name == "sas") name = "1 MiB, ACK 3 twice"
    else if (name == "fleet") name = "fleet, 1 ms round trip"
    printf "| %s | %s | %s | %s | %s | %s | %s |\n", name, $2, $3, $4, $5, $6, $7
}' "$work/rows"
if ((${#failures[@]})); then
    printf 'options_bench: FAILED: %s\n' "${failures[@]}" >&2
    exit 1
fi
