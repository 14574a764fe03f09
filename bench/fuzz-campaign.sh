#!/usr/bin/env bash
# A long fuzzing campaign over every libFuzzer target of tests/fuzz.
#   bash bench/fuzz-campaign.sh [build dir (default: build-fuzz)] [--findings DIR]
#                               [--percent P] [--only NAME[,NAME...]]
# Builds the targets with the fuzz preset where the build tree is missing (or brings it up to
# date), then runs each target on a fresh copy of its seed corpus (tests/fuzz/corpus/<name>) with
# its dictionary and input length limit, for a fixed number of executions: 10 million for the
# datagram readers, 1 million for every other target (--percent scales them, e.g. 1 for a quick
# try). Two targets run at a time, one per core, longest first.
# Prints one table: executions, executions per second, libFuzzer's cov: and ft: at the end,
# the size of the corpus it ended with, the findings (crash-, leak-, timeout-, oom- and slow-unit
# inputs) and the wall time (executions per second are the executions over that time, the
# loading of the seeds included). Findings go to DIR/<name>/ (default: <build>/fuzz-campaign/
# findings), the corpora to <build>/fuzz-campaign/corpus/<name>, each target's output to
# <build>/fuzz-campaign/logs/<name>.log. Exit code 1 when a target found anything.
set -euo pipefail
export LC_ALL=C
repo=$(cd "$(dirname "$0")/.." && pwd)

build=$repo/build-fuzz
findings=
percent=100
only=
if [[ $# -gt 0 && $1 != --* ]]; then
    build=$(realpath -m "$1")
    shift
fi
while [[ $# -gt 0 ]]; do
    case $1 in
        --findings) findings=$(realpath -m "$2"); shift 2 ;;
        --percent) percent=$2; shift 2 ;;
        --only) only=$2; shift 2 ;;
        *) echo "usage: $0 [build dir] [--findings DIR] [--percent P] [--only NAME,...]" >&2; exit 2 ;;
    esac
done
campaign=$build/fuzz-campaign
findings=${findings:-$campaign/findings}

# name, executions, longest input (as in tests/fuzz/CMakeLists.txt); longest runs first.
readonly targets=(
    "agent_sim 1000000 4096"
    "tftp_datagram 10000000 2048"
    "ini_profile 1000000 16384"
    "inventory 1000000 16384"
    "fetch_length 1000000 1024"
    "status_text 1000000 1024"
    "icmp_echo 1000000 2200"
)
readonly per_input_timeout=10

selected() {
    [[ -z $only || ",$only," == *",$1,"* ]]
}

echo "== build ($build)"
if [[ ! -f $build/build.ninja ]]; then
    cmake --preset fuzz -B "$build" >/dev/null
fi
if ! cmake --build "$build" -j2 >"$build/fuzz-campaign-build.log" 2>&1; then
    tail -n 40 "$build/fuzz-campaign-build.log"
    exit 1
fi

rm -rf "$campaign/corpus" "$campaign/logs"
mkdir -p "$campaign/corpus" "$campaign/logs" "$findings"

run_target() {
    local name=$1 runs=$2 max_len=$3
    local work=$campaign/corpus/$name out=$findings/$name log=$campaign/logs/$name.log
    local dict=() start end status=0
    rm -rf "$out"
    mkdir -p "$work" "$out"
    cp "$repo/tests/fuzz/corpus/$name/"* "$work/"
    [[ -f $repo/tests/fuzz/$name.dict ]] && dict=(-dict="$repo/tests/fuzz/$name.dict")
    start=$(date +%s%N)
    "$build/fuzz/${name}_fuzz" -runs="$runs" -max_len="$max_len" "${dict[@]}" \
        -timeout="$per_input_timeout" -print_final_stats=1 -artifact_prefix="$out/" "$work" \
        >"$log" 2>&1 || status=$?
    end=$(date +%s%N)
    echo "$status $(((end - start) / 1000000))" >"$campaign/logs/$name.result"
}

echo "== fuzz (two targets at a time; logs in $campaign/logs)"
running=0
for entry in "${targets[@]}"; do
    read -r name runs max_len <<<"$entry"
    selected "$name" || continue
    runs=$((runs * percent / 100))
    if ((running >= 2)); then
        wait -n
        running=$((running - 1))
    fi
    echo "   $name: $runs executions"
    run_target "$name" "$runs" "$max_len" &
    running=$((running + 1))
done
wait

stat_of() {  # stat_of <log> <name>: a libFuzzer final statistic
    sed -n "s/^stat::$2: *//p" "$1" | tail -n 1
}

echo
printf '%-14s %11s %9s %6s %7s %15s %9s %8s\n' target executions exec/s cov ft corpus findings seconds
found=0
for entry in "${targets[@]}"; do
    read -r name _ _ <<<"$entry"
    selected "$name" || continue
    log=$campaign/logs/$name.log
    read -r status milliseconds <"$campaign/logs/$name.result"
    executions=$(stat_of "$log" number_of_executed_units)
    rate=?
    if [[ -n $executions ]] && ((milliseconds > 0)); then
        rate=$((executions * 1000 / milliseconds))
    fi
    last=$(grep -E '^#[0-9]+[[:space:]].* cov: ' "$log" | tail -n 1 || true)
    cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
    ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
    files=$(find "$campaign/corpus/$name" -type f | wc -l)
    bytes=$(find "$campaign/corpus/$name" -type f -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
    artifacts=$(find "$findings/$name" -type f \( -name 'crash-*' -o -name 'leak-*' -o \
        -name 'timeout-*' -o -name 'oom-*' -o -name 'slow-unit-*' \) | wc -l)
    if ((artifacts > 0 || status != 0)); then
        found=1
    fi
    printf '%-14s %11s %9s %6s %7s %15s %9s %8s\n' "$name" "${executions:-?}" "$rate" \
        "${cov:-?}" "${ft:-?}" "$files/$((bytes / 1024)) KiB" "$artifacts" "$((milliseconds / 1000))"
done
echo
echo "findings: $findings"
exit "$found"
