# Checks every benchmark script makes before it starts; sourced, with the script's name first.
#   bench_require_programs NAME PROGRAM...   each built program must be there
#   bench_require_root NAME WHY             the script must run as root, WHY says for what

bench_require_programs() {
    local name=$1 program
    shift
    for program in "$@"; do
        if [[ ! -x $program ]]; then
            echo "$name: not found: $program (build it first, e.g. cmake --preset dev &&" \
                 "cmake --build --preset dev)" >&2
            exit 2
        fi
    done
}

bench_require_root() {
    if [[ $(id -u) -ne 0 ]]; then
        echo "$1: run as root ($2)" >&2
        exit 2
    fi
}
