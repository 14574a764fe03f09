#!/usr/bin/env bash
# A soak of the client and the fleet against agents that misbehave.
#   bash bench/soak.sh [build dir (default: build)]
# Environment: SOAK_SEED (the first run's seed; default from the clock), SOAK_RUNS (unattended
# runs, default 1000), SOAK_LANES (default 4), SOAK_SENDS (window sends, default 100),
# SOAK_CLOSES (default 100), SOAK_ROUNDS (fleet rounds, default 3), SOAK_PARTS (which of the
# four parts to run, default "1234").
#
# 1. Unattended upgrades, one after another in each of SOAK_LANES lanes that run side by side
#    (lane L on 127.0.30.L with an agent of its own): every run starts a fresh agent-sim with one
#    random fault (or none; stalls and ERROR answers 4 % each, since a stall costs 12 s, the
#    other kinds 8 to 12 %) on a random block, sends a fresh image of random size (a quarter of
#    them an exact multiple of 512 bytes, so that the transfer ends with an empty block) with
#    `KalvoranTFTPclient image app.bin ADDRESS` without a display and with a profile and a
#    working folder of its own, and stops the agent. The outcome each fault calls for:
#      exit 3  stall:N before the last acknowledgement ("Time out on ACK. block: N+1" after
#              about 12 s); wrong-port:0 and stray:0 (the first answer names the agent's
#              transfer port, so the client talks to the wrong one and the agent answers
#              "Unknown transfer ID"); error:image.bin:CODE:TEXT (the agent's text)
#      exit 0  every other fault: drop, delay (up to 3 s), duplicate, short, oversize, and
#              wrong-port/stray after the first block; the agent's image.bin must then be
#              app.bin byte for byte and standard error empty
#    Every run must also leave nothing behind: no process of its session, nothing in its
#    working folder, profile folder or runtime folder, nothing in the agent's folder but
#    image.bin; standard output must hold the "Sending file" line (and on success the image's
#    closing line). A run that differs from what its fault calls for is a mismatch: its folder
#    (seed, fault, size, image, output, the agent's log) is kept, and the soak ends with exit 1.
#    Measured: runs and failures per fault kind, total wall time, the slowest run.
# 2. The window, SOAK_SENDS sends in one session: bench/soak_window on the offscreen platform
#    clicks DOWNLOAD TO DEVICE again and again against agent-sim (each click ends after the
#    status poll); every copy byte-exact. Two windows side by side: "kept" as the operator
#    leaves it (127.0.32.1), and "cleared" (127.0.32.3), whose status log is emptied through the
#    widget before each send, since the log keeps every line of a session by design. After every
#    send: open descriptors and VmRSS. The descriptors must never change; the resident set of
#    "cleared" may grow by at most rss_slope_limit_kb a send (least-squares trend over the sends
#    after the first tenth: pages come and go in 4 KiB steps, and a trend over 90 samples
#    averages that out, while anything kept per send, a socket buffer or a session's state,
#    would show as a steady climb). The trend of "kept" is shown beside the growth of its log.
#    The two run beside parts 1, 3 and 4 (they mostly wait: each send ends with the window's
#    wait for a late datagram and the status poll, some 11 s).
# 3. A fleet of 100 agents (127.0.31.1 to .100), each with a random fault or none (a quarter
#    none), `kalvoran-fleet --jobs 50 --report R.csv send image app.bin inventory`, SOAK_ROUNDS
#    rounds with new faults and a new image: each agent's row must have the result its fault
#    calls for (as in 1), every success byte-exact.
# 4. SOAK_CLOSES closes of the window during a send, each in a process of its own
#    (soak_window close MS, a 512 KiB image, agent-sim --latency 2 --status-steps 1 on
#    127.0.32.2): half of them at a random moment of the first 3 s (the ping and the data),
#    half at any moment of a whole send with its late wait and status poll. The process must
#    end within close_limit seconds of the close (hang_limit: ended as hung), not by a signal,
#    and the profile must then hold the address, the type and the path.
# Needs root (port 69, ping). Nothing but the addresses above is contacted.
set -euo pipefail
export LC_ALL=C
repo=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$repo/build}")
runs=${SOAK_RUNS:-1000}
lanes=${SOAK_LANES:-4}
sends=${SOAK_SENDS:-100}
closes=${SOAK_CLOSES:-100}
rounds=${SOAK_ROUNDS:-3}
parts=${SOAK_PARTS:-1234}
seed0=${SOAK_SEED:-$((${EPOCHREALTIME/./} % 1000000))}
readonly fleet_agents=100 fleet_jobs=50
readonly client_limit=60 ready_timeout=10 close_limit=5 hang_limit=30
readonly rss_slope_limit_kb=1
readonly window_agent=127.0.32.1 close_agent=127.0.32.2 window_agent2=127.0.32.3

client=$build/bin/KalvoranTFTPclient
fleet=$build/bin/kalvoran-fleet
agent_sim=$build/bin/agent-sim
window=$build/bench/soak_window
needed=("$client" "$fleet" "$agent_sim")
[[ $parts != *[24]* ]] || needed+=("$window")
source "$repo/bench/bench-lib.sh"
bench_require_programs soak "${needed[@]}"
bench_require_root soak "the agents listen on port 69, the client pings"
if ! ((lanes >= 1 && lanes <= 200 && runs >= 1)); then
    echo "soak: SOAK_LANES must be 1 to 200 and SOAK_RUNS at least 1" >&2
    exit 2
fi

work=$(mktemp -d /tmp/kalvoran-soak.XXXXXX)
kept=$work.kept
cleanup() {
    local pid
    # This shell's own background jobs still running: lanes, the window part, agents.
    for pid in $(jobs -p); do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in $(jobs -p); do
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
    [[ ! -d $kept ]] || echo "soak: the failing runs are kept in $kept" >&2
}
trap cleanup EXIT
trap 'exit 130' INT TERM

unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
verdicts=()  # one line per part: "part N: PASS|FAIL ..."

# keep <folder> <name>: copies a failing run's folder to the kept folder.
keep() {
    mkdir -p "$kept"
    cp -r "$1" "$kept/$2"
}

# start_agent <address> <folder> <out prefix> [agent-sim options...]: starts agent-sim with
# --verbose and waits for its "ready" line; sets agent_pid. Returns 1 if it did not listen.
start_agent() {
    local address=$1 dir=$2 out=$3 line= deadline
    shift 3
    mkdir -p "$dir"
    "$agent_sim" --address "$address" --dir "$dir" --verbose "$@" >"$out.out" 2>"$out.err" &
    agent_pid=$!
    deadline=$((SECONDS + ready_timeout))
    while ((SECONDS < deadline)); do
        read -r line 2>/dev/null <"$out.out" || true
        [[ $line == ready* ]] && return 0
        kill -0 "$agent_pid" 2>/dev/null || break
        sleep 0.01
    done
    echo "soak: agent-sim on $address did not listen:" >&2
    cat "$out.err" >&2
    return 1
}

# stop_agent: ends agent_pid; sets agent_code to its exit code (0 when SIGTERM ended it as it
# should).
stop_agent() {
    agent_code=0
    kill -TERM "$agent_pid" 2>/dev/null || true
    wait "$agent_pid" || agent_code=$?
    agent_pid=
}

# pick_fault <last block>: from the current RANDOM sequence, sets fault_kind and fault_spec
# (empty for none) and what the fault calls for: expect_code and expect_text (a fixed string
# standard error must hold; empty on success). The last block is the number of the agent's last
# acknowledgement, that of the final DATA.
pick_fault() {
    local last=$1 roll block index
    # Weights out of 100: stalls are few, each costs the client's full 12 s.
    local -a kinds=(none drop delay duplicate wrong-port stray short oversize stall error)
    local -a weights=(8 12 12 12 12 12 12 12 4 4)
    roll=$((RANDOM % 100))
    fault_kind=
    for index in "${!kinds[@]}"; do
        if ((roll < weights[index])); then
            fault_kind=${kinds[index]}
            break
        fi
        roll=$((roll - weights[index]))
    done
    # The first and the last block an eighth of the time each, otherwise any block.
    case $((RANDOM % 8)) in
        0) block=0 ;;
        1) block=$last ;;
        *) block=$((RANDOM % (last + 1))) ;;
    esac
    expect_code=0
    expect_text=
    case $fault_kind in
        none) fault_spec= ;;
        delay) fault_spec=delay:$block:$((100 + RANDOM % 2901)) ;;
        error)
            local -a codes=(0 1 2 3 4 5 6 7)
            local code=${codes[RANDOM % 8]}
            fault_spec="error:image.bin:$code:Refused by the soak $RANDOM"
            expect_code=3
            expect_text=${fault_spec#error:image.bin:"$code":}
            ;;
        *) fault_spec=$fault_kind:$block ;;
    esac
    case $fault_kind in
        stall)
            if ((block < last)); then
                expect_code=3
                expect_text="Time out on ACK. block: $((block + 1))"
            fi
            ;;
        wrong-port | stray)
            if ((block == 0)); then
                expect_code=3
                expect_text="Unknown transfer ID"
            fi
            ;;
    esac
}

# pick_size: a random image size from the current RANDOM sequence (1 byte to 200 KiB; a
# quarter of them whole blocks, 512 bytes to 200 KiB).
pick_size() {
    if ((RANDOM % 4 == 0)); then
        size=$(((1 + RANDOM % 400) * 512))
    else
        size=$((1 + (RANDOM * 32768 + RANDOM) % (200 * 1024)))
    fi
}

# --- 1: unattended upgrades -----------------------------------------------------------------

# lane <index> <first run> <runs>: the runs of one lane, one after another. Writes one line per
# run to $work/lane-L/results: "run seed kind size code expected wall verdict spec".
lane() {
    local index=$1 first=$2 count=$3
    local address=127.0.30.$index dir=$work/lane-$index
    local run seed start end code verdict agent_code stray_procs leftovers
    agent_pid=
    client_pid=
    local watchdog=
    trap '[[ -z $watchdog ]] || kill "$watchdog" 2>/dev/null || true
          [[ -z $client_pid ]] || kill -KILL "$client_pid" 2>/dev/null || true
          [[ -z $agent_pid ]] || kill -TERM "$agent_pid" 2>/dev/null || true' EXIT
    trap 'exit 130' TERM INT
    mkdir -p "$dir"
    : >"$dir/results"
    mkfifo "$dir/tick"
    local tick
    exec {tick}<>"$dir/tick"
    for ((run = first; run < first + count; run++)); do
        seed=$((seed0 + run))
        RANDOM=$seed
        pick_size
        pick_fault $((size / 512 + 1))
        local r=$dir/run
        rm -rf "$r"
        mkdir -p "$r/cwd" "$r/config" "$r/agent"
        mkdir -m 700 "$r/runtime"
        head -c "$size" /dev/urandom >"$r/app.bin"
        printf 'seed %s\nfault %s\nsize %s\nexpected %s %s\n' "$seed" "${fault_spec:-none}" \
            "$size" "$expect_code" "$expect_text" >"$r/meta"
        if ! start_agent "$address" "$r/agent" "$r/agent" ${fault_spec:+--fault "$fault_spec"}
        then
            echo "$run $seed $fault_kind $size - $expect_code 0 agent-did-not-start" \
                 "${fault_spec:-none}" >>"$dir/results"
            keep "$r" "run-$run"
            continue
        fi
        start=$EPOCHREALTIME
        # setsid: the client leads a session of its own, so anything it left running shows.
        (cd "$r/cwd" && XDG_CONFIG_HOME=$r/config XDG_RUNTIME_DIR=$r/runtime \
            exec setsid "$client" image "$r/app.bin" "$address") >"$r/stdout" 2>"$r/stderr" &
        client_pid=$!
        # A hang is ended after client_limit seconds (exit code 137). The watchdog waits in a
        # read from a pipe nobody writes to, so ending it leaves no sleep behind.
        (read -r -t "$client_limit" -u "$tick" _ || kill -KILL "$client_pid" 2>/dev/null) &
        watchdog=$!
        code=0
        wait "$client_pid" || code=$?
        end=$EPOCHREALTIME
        kill "$watchdog" 2>/dev/null || true
        wait "$watchdog" 2>/dev/null || true
        watchdog=
        stray_procs=$(ps -o pid= -s "$client_pid" || true)
        client_pid=
        stop_agent

        leftovers=$(find "$r/cwd" "$r/config" "$r/runtime" "$r/agent" -mindepth 1 \
            ! -path "$r/agent/image.bin" -print)
        # Every check that fails is named, separated by commas.
        verdict=
        ((code < 128)) || verdict+=,signal-$((code - 128))
        ((code == expect_code)) || verdict+=,exit-code
        if ((code == 0)); then
            cmp -s "$r/app.bin" "$r/agent/image.bin" || verdict+=,copy-differs
            [[ ! -s $r/stderr ]] || verdict+=,stderr-not-empty
            grep -qF "The card will reset at the completion" "$r/stdout" ||
                verdict+=,stdout-lacks-end
        else
            grep -qF -- "$expect_text" "$r/stderr" || verdict+=,stderr-lacks-reason
            [[ ! -e $r/agent/image.bin ]] || verdict+=,agent-has-image
        fi
        grep -qF "Sending file: app.bin as image.bin" "$r/stdout" || verdict+=,stdout-lacks-log
        [[ -z $stray_procs ]] || verdict+=,process-left
        [[ -z $leftovers ]] || verdict+=,file-left
        [[ $agent_code == 0 ]] || verdict+=,agent-sim-exit-$agent_code
        verdict=${verdict#,}
        verdict=${verdict:-ok}
        awk -v s="$start" -v e="$end" -v run="$run" -v seed="$seed" -v kind="$fault_kind" \
            -v size="$size" -v code="$code" -v want="$expect_code" -v verdict="$verdict" \
            -v spec="${fault_spec:-none}" 'BEGIN {
                printf "%d %d %s %d %d %d %.3f %s %s\n", run, seed, kind, size, code, want,
                    e - s, verdict, spec }' >>"$dir/results"
        if [[ $verdict != ok ]]; then
            echo "  MISMATCH run $run (seed $seed, ${fault_spec:-no fault}, $size bytes):" \
                 "$verdict, exit code $code (expected $expect_code)" >&2
            printf 'verdict %s\nexit %s\nleft %s\n' "$verdict" "$code" \
                "$stray_procs $leftovers" >>"$r/meta"
            keep "$r" "run-$run"
        fi
    done
    rm -rf "$dir/run"
}

part1() {
    echo "== 1: $runs unattended upgrades in $lanes lanes side by side (127.0.30.1 to" \
         "127.0.30.$lanes), seeds $seed0 to $((seed0 + runs - 1))"
    local index first=0 per start end
    local -a lane_pids=()
    start=$EPOCHREALTIME
    for ((index = 1; index <= lanes; index++)); do
        per=$(((runs - first) / (lanes - index + 1)))
        lane "$index" "$first" "$per" &
        lane_pids+=($!)
        first=$((first + per))
    done
    for index in "${lane_pids[@]}"; do
        wait "$index" || true
    done
        end=$EPOCHREALTIME
    cat "$work"/lane-*/results >"$work/part1"
    awk -v wall="$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.1f", e - s }')" \
        -v total="$runs" '
        {
            runs[$3]++; n++
            if ($5 != 0) failed[$3]++
            if ($8 != "ok") { bad[$3]++; nbad++ }
            if ($7 > worst) { worst = $7; worst_line = $0 }
            sum += $7
        }
        END {
            printf "%-11s %6s %8s %11s\n", "fault", "runs", "exit 3", "mismatches"
            for (k in runs) printf "%-11s %6d %8d %11d\n", k, runs[k], failed[k], bad[k] | "sort"
            close("sort")
            split(worst_line, w, " ")
            printf "%d runs (of %d), %d mismatches; wall %s s for all lanes, mean run %.2f s," \
                   " slowest %.2f s (run %d, %s, %d bytes, exit %d)\n", n, total, nbad, wall,
                   sum / n, worst, w[1], w[9], w[4], w[5]
            exit (nbad > 0 || n != total)
        }' "$work/part1" && verdicts+=("1 unattended: PASS") ||
        verdicts+=("1 unattended: FAIL (mismatches above)")
}

# --- 2: the window, many sends in one session -------------------------------------------------

# window_sends <name> <address> [--clear-log]: one window's sends against its own agent;
# appends its verdict to $work/part2.verdict.
window_sends() {
    local name=$1 address=$2 dir=$work/window-$1 out code window_pid=
    shift 2
    agent_pid=
    trap '[[ -z $window_pid ]] || kill -KILL "$window_pid" 2>/dev/null || true
          [[ -z $agent_pid ]] || kill -TERM "$agent_pid" 2>/dev/null || true' EXIT
    trap 'exit 130' TERM INT
    mkdir -p -m 700 "$dir/profile"
    head -c $((100 * 1024 + 77)) /dev/urandom >"$dir/app.bin"
    if ! start_agent "$address" "$dir/agent" "$dir/agent" --status-steps 1; then
        echo "2 window, $name: FAIL (agent-sim did not start)" >>"$work/part2.verdict"
        return
    fi
    out=$dir/window.out
    code=0
    # In the background, so that a signal to this subshell ends it at once.
    QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=$dir/profile \
        "$window" sends "$sends" --address "$address" --file "$dir/app.bin" \
        --agent-dir "$dir/agent" --profile "$dir/profile/KalvoranTFTPclient.INI" "$@" \
        >"$out" 2>"$dir/window.err" &
    window_pid=$!
    wait "$window_pid" || code=$?
    window_pid=
    stop_agent
    echo "-- $name (agent-sim --status-steps 1 on $address): $(grep '^sends' "$out" || true)"
    if ((code != 0)) || ! grep -q "^sample $sends " "$out"; then
        echo "  MISMATCH: the window's sends failed (exit code $code):"
        tail -n 20 "$dir/window.err"
        keep "$dir" "window-$name"
        echo "2 window, $name: FAIL (exit code $code)" >>"$work/part2.verdict"
        return
    fi
    # sample SEND FDS RSS_KB LOG_LINES; the slope of VmRSS by least squares over the sends after
    # the first tenth (the first ones still settle: the resident set shrinks after send 1).
    local figures
    figures=$(awk -v warm=$((sends / 10 > 1 ? sends / 10 : 1)) '$1 == "sample" {
            n++; send = $2; fds = $3; rss = $4; lines = $5
            if (n == 1) { fds1 = fds; rss1 = rss; lines1 = lines; fmin = fds; fmax = fds }
            if (fds < fmin) fmin = fds
            if (fds > fmax) fmax = fds
            if (send > warm) { m++; sx += send; sy += rss; sxx += send * send; sxy += send * rss }
            if (rss > peak) peak = rss
        }
        END {
            slope = (m * sxx - sx * sx) != 0 ? (m * sxy - sx * sy) / (m * sxx - sx * sx) : 0
            printf "%d %d %d %d %d %d %.2f %.1f %d\n", fds1, fds, fmin, fmax, rss1, rss, slope,
                (lines - lines1) / (n - 1), peak
        }' "$out")
    local fds1 fdsn fmin fmax rss1 rssn slope per_send peak
    read -r fds1 fdsn fmin fmax rss1 rssn slope per_send peak <<<"$figures"
    echo "   descriptors: $fds1 after send 1, $fdsn after send $sends (from $fmin to $fmax)"
    echo "   VmRSS: $rss1 kB after send 1, $rssn kB after send $sends (peak $peak kB); trend" \
         "$slope kB per send (tolerance $rss_slope_limit_kb); the log grew $per_send lines a send"
    local verdict="descriptors $fds1 -> $fdsn, VmRSS $rss1 -> $rssn kB, $slope kB a send"
    if ((fmin != fmax)); then
        echo "  MISMATCH: the open descriptors changed"
        echo "2 window, $name: FAIL ($verdict)" >>"$work/part2.verdict"
    elif [[ $name == cleared ]] &&
        awk -v a="$slope" -v l="$rss_slope_limit_kb" 'BEGIN { exit !(a > l) }'; then
        echo "  MISMATCH: the resident set grows"
        echo "2 window, $name: FAIL ($verdict)" >>"$work/part2.verdict"
    else
        echo "2 window, $name: PASS ($sends sends; $verdict)" >>"$work/part2.verdict"
    fi
}

# Both windows side by side, each in a subshell of its own; the output in $work/part2.out.
part2() {
    echo "== 2: the window, $sends sends in one session, twice side by side: as the operator" \
         "leaves it (\"kept\": the log keeps every line) and with the log emptied before each" \
         "send (\"cleared\")"
    window_sends kept "$window_agent" >"$work/part2.kept" 2>&1 &
    local kept_pid=$!
    window_sends cleared "$window_agent2" --clear-log >"$work/part2.cleared" 2>&1 &
    local cleared_pid=$!
    trap 'kill -TERM "$kept_pid" "$cleared_pid" 2>/dev/null || true' EXIT
    trap 'exit 130' TERM INT
    wait "$kept_pid" "$cleared_pid" || true
    cat "$work/part2.kept" "$work/part2.cleared"
}

# --- 3: a fleet of agents with faults ---------------------------------------------------------

part3() {
    echo "== 3: $rounds rounds of kalvoran-fleet --jobs $fleet_jobs, $fleet_agents agents" \
         "(127.0.31.1 to 127.0.31.$fleet_agents) with random faults"
    local round index address dir start end code bad=0 round_bad size last
    local -a pids=() specs=() codes=() texts=() kinds=()
    for ((round = 1; round <= rounds; round++)); do
        dir=$work/fleet-$round
        mkdir -p "$dir/agents" "$dir/out" "$dir/cwd" "$dir/config"
        RANDOM=$((seed0 + 100000 + round))
        pick_size
        last=$((size / 512 + 1))
        head -c "$size" /dev/urandom >"$dir/app.bin"
        pids=() specs=() codes=() texts=() kinds=()
        : >"$dir/inventory"
        for ((index = 1; index <= fleet_agents; index++)); do
            address=127.0.31.$index
            pick_fault "$last"
            # A quarter of the agents without a fault.
            if ((RANDOM % 4 == 0)); then
                fault_kind=none fault_spec= expect_code=0 expect_text=
            fi
            specs+=("$fault_spec") codes+=("$expect_code") texts+=("$expect_text")
            kinds+=("$fault_kind")
            start_agent "$address" "$dir/agents/$address" "$dir/out/$address" \
                ${fault_spec:+--fault "$fault_spec"} || {
                for agent_pid in "${pids[@]}"; do
                    stop_agent
                done
                verdicts+=("3 fleet: FAIL (agent-sim on $address did not start)")
                return
            }
            pids+=("$agent_pid")
            echo "$address ${fault_spec:-none}" >>"$dir/inventory"
        done
        start=$EPOCHREALTIME
        code=0
        (cd "$dir/cwd" && XDG_CONFIG_HOME=$dir/config timeout -s KILL 600 \
            "$fleet" --jobs "$fleet_jobs" --report "$dir/R.csv" --logs "$dir/logs" \
            send image "$dir/app.bin" "$dir/inventory") >"$dir/fleet.out" 2>&1 || code=$?
        end=$EPOCHREALTIME
        for agent_pid in "${pids[@]}"; do
            stop_agent
        done
                # The report's rows as "address result reason" (the reason may hold anything).
        python3 -c '
import csv, sys
for row in csv.DictReader(open(sys.argv[1], newline="")):
    print(row["address"], row["result"], row["reason"].replace("\n", " "))
' "$dir/R.csv" >"$dir/rows" 2>"$dir/rows.err" || true
        round_bad=0
        local -A tally=()
        for ((index = 1; index <= fleet_agents; index++)); do
            address=127.0.31.$index
            local row result reason verdict=ok
            row=$(awk -v a="$address" '$1 == a { print; exit }' "$dir/rows")
            result=$(cut -d' ' -f2 <<<"$row")
            reason=$(cut -d' ' -f3- <<<"$row")
            local want=${codes[index - 1]} text=${texts[index - 1]}
            if [[ -z $row ]]; then
                verdict=no-row
            elif [[ $result != "$want" ]]; then
                verdict=result-$result
            elif ((want == 0)) && ! cmp -s "$dir/app.bin" "$dir/agents/$address/image.bin"; then
                verdict=copy-differs
            elif ((want != 0)) && [[ $reason != *"$text"* ]]; then
                verdict=reason
            fi
            tally[$result]=$((${tally[$result]:-0} + 1))
            if [[ $verdict != ok ]]; then
                round_bad=$((round_bad + 1))
                echo "  MISMATCH round $round, $address (${specs[index - 1]:-no fault}):" \
                     "$verdict; result $result, expected $want; reason: $reason" >&2
            fi
        done
        local summary="" key
        for key in $(printf '%s\n' "${!tally[@]}" | sort); do
            summary+=" result $key: ${tally[$key]};"
        done
        awk -v s="$start" -v e="$end" -v r="$round" -v size="$size" -v c="$code" \
            -v sm="$summary" -v b="$round_bad" 'BEGIN {
                printf "round %d: %d-byte image, wall %.2f s, exit code %d;%s mismatches %d\n",
                    r, size, e - s, c, sm, b }'
        if ((round_bad)); then
            bad=$((bad + round_bad))
            keep "$dir" "fleet-round-$round"
        fi
        rm -rf "$dir/agents"
    done
    if ((bad)); then
        verdicts+=("3 fleet: FAIL ($bad mismatches)")
    else
        verdicts+=("3 fleet: PASS ($rounds rounds)")
    fi
}

# --- 4: closing the window during a send -----------------------------------------------------

part4() {
    echo "== 4: $closes closes of the window during a send (agent-sim --latency 2 on" \
         "$close_agent), each in a process of its own"
    local dir=$work/close i ms code start end profile span bad=0 hung=0 crashed=0 lost=0 slow=0
    local -A codes=()
    mkdir -p "$dir"
    head -c $((512 * 1024)) /dev/urandom >"$dir/app.bin"
    start_agent "$close_agent" "$dir/agent" "$dir/agent" --latency 2 --status-steps 1 || {
        verdicts+=("4 close: FAIL (agent-sim)")
        return
    }
    # How long one send and its status poll take when nothing closes the window: the closes
    # fall anywhere in that time (and a little after it).
    mkdir -p "$dir/measure"
    start=$EPOCHREALTIME
    QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=$dir/measure timeout -s KILL 120 \
        "$window" sends 1 --address "$close_agent" --file "$dir/app.bin" \
        --agent-dir "$dir/agent" --profile "$dir/measure/p.INI" >/dev/null 2>&1 || true
    end=$EPOCHREALTIME
    span=$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%d", (e - s) * 1000 + 300 }')
    echo "one send with its status poll: $((span - 300)) ms; closes from 0 to $span ms"
    RANDOM=$((seed0 + 200000))
    for ((i = 1; i <= closes; i++)); do
        # Half of the closes fall in the first 3 s (the ping and the data), half anywhere.
        if ((i % 2)); then
            ms=$(((RANDOM * 32768 + RANDOM) % 3000))
        else
            ms=$(((RANDOM * 32768 + RANDOM) % span))
        fi
        profile=$dir/p-$i
        mkdir -m 700 "$profile"
        start=$EPOCHREALTIME
        code=0
        QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=$profile \
            timeout -s KILL $((ms / 1000 + hang_limit)) \
            "$window" close "$ms" --address "$close_agent" --file "$dir/app.bin" \
            --profile "$profile/KalvoranTFTPclient.INI" >"$profile/out" 2>"$profile/err" ||
            code=$?
        end=$EPOCHREALTIME
        local verdict=ok ini=$profile/KalvoranTFTPclient.INI after
        after=$(awk -v s="$start" -v e="$end" -v ms="$ms" \
            'BEGIN { printf "%.3f", e - s - ms / 1000 }')
        if ((code == 137)); then
            verdict=hang
            hung=$((hung + 1))
        elif ((code >= 128)); then
            verdict=signal-$((code - 128))
            crashed=$((crashed + 1))
        elif ! grep -qx 'ip0=127' "$ini" 2>/dev/null || ! grep -qx 'ip1=0' "$ini" ||
            ! grep -qx 'ip2=32' "$ini" || ! grep -qx 'ip3=2' "$ini" ||
            ! grep -qx 'type=0' "$ini" || ! grep -qxF "path=$dir/app.bin" "$ini"; then
            verdict=settings-lost
            lost=$((lost + 1))
        elif awk -v a="$after" -v l="$close_limit" 'BEGIN { exit !(a > l) }'; then
            verdict=slow
            slow=$((slow + 1))
        fi
        codes[$code]=$((${codes[$code]:-0} + 1))
        # The phase of the send at the close: data (or the ping before), late-wait, status-poll.
        local phase
        phase=$(sed -n 's/^at the close: phase \([a-z-]*\),.*/\1/p' "$profile/out")
        awk -v s="$start" -v e="$end" -v ms="$ms" -v c="$code" -v v="$verdict" -v p="$phase" \
            -v a="$after" 'BEGIN {
                printf "%d %d %.3f %s %s %s\n", ms, c, e - s, v, a, p != "" ? p : "?" }' \
            >>"$dir/results"
        if [[ $verdict != ok ]]; then
            bad=$((bad + 1))
            echo "  MISMATCH close after $ms ms: $verdict (exit code $code, the process" \
                 "ended $after s after the close)" >&2
            keep "$profile" "close-$i"
        fi
    done
    stop_agent
        local summary="" key
    for key in $(printf '%s\n' "${!codes[@]}" | sort -n); do
        summary+=" exit $key: ${codes[$key]};"
    done
    awk -v sm="$summary" '{ if ($5 > worst) { worst = $5; at = $1 } n++ }
        END { printf "%d closes:%s the slowest process ended %.2f s after the close (closed" \
              " %d ms after the click)\n", n, sm, worst, at }' "$dir/results"
    awk '{ n[$6]++; if ($4 != "ok") bad[$6]++; if ($5 > worst[$6]) worst[$6] = $5 }
        END {
            for (p in n)
                printf "closes during %s: %d, failed %d, the slowest ended %.2f s after the" \
                       " close\n", p == "data" ? "the ping or the data" : p, n[p], bad[p],
                    worst[p]
        }' "$dir/results"
    echo "hangs $hung, crashes $crashed, settings lost $lost, slower than $close_limit s after" \
         "the close $slow"
    if ((bad)); then
        verdicts+=("4 close: FAIL ($bad of $closes)")
    else
        verdicts+=("4 close: PASS ($closes closes)")
    fi
}

echo "soak: $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
soak_start=$EPOCHREALTIME
part2_pid=
if [[ $parts == *2* ]]; then
    # Mostly waiting (each send ends with the window's waits for late datagrams and the status
    # poll), so it runs beside the other parts; its figures come at the end.
    part2 >"$work/part2.out" 2>&1 &
    part2_pid=$!
    echo "== 2: the window's $sends sends run in the background meanwhile"
fi
[[ $parts != *1* ]] || part1
[[ $parts != *3* ]] || part3
[[ $parts != *4* ]] || part4
if [[ -n $part2_pid ]]; then
    wait "$part2_pid" || true
    part2_pid=
    cat "$work/part2.out"
    [[ -s $work/part2.verdict ]] || echo "2 window: FAIL (no verdict)" >"$work/part2.verdict"
    while read -r line; do
        verdicts+=("$line")
    done <"$work/part2.verdict"
fi
echo
awk -v s="$soak_start" -v e="$EPOCHREALTIME" 'BEGIN { printf "soak: %.0f s in all\n", e - s }'
printf 'soak: %s\n' "${verdicts[@]}"
for verdict in "${verdicts[@]}"; do
    [[ $verdict == *PASS* ]] || exit 1
done
