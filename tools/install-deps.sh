#!/usr/bin/env bash
# Installs the Debian 12 packages the project needs, only those missing:
#   bash tools/install-deps.sh [build] [test] [package] [bench]      (no argument: test)
#   build  compile the programs (tools/demo.sh)
#   test   build, plus the test run of tools/run-tests.sh: compilers, linters, test libraries,
#          the TFTP peers the tests start (tftp-hpa, curl, tftpd-hpa's in.tftpd, and atftpd,
#          unpacked under /opt/kalvoran-peers: see below), debhelper and lintian for the
#          Debian package (tests/package), and ansible-core, pytest and shellcheck for the
#          Ansible collection (ansible/tests/run.sh)
#   package  build, plus debhelper: the Debian package (tools/build-deb.sh)
#   bench  the peers of the benchmarks (bench/*.sh) and GNU time to measure them
# Installing tftpd-hpa would start its system service on 0.0.0.0:69, which takes port 69 of
# every loopback address the tests, the demo and the benchmarks use; so services are not started
# during the install, and a system in.tftpd found listening on port 69 is stopped.
set -euo pipefail

build_packages=(cmake ninja-build g++ pkg-config qt6-base-dev nlohmann-json3-dev nettle-dev
                libsqlite3-dev)
test_packages=("${build_packages[@]}" clang clang-format clang-tidy libclang-rt-14-dev
               libgtest-dev libbenchmark-dev tftp-hpa tftpd-hpa curl libcap2-bin iproute2
               desktop-file-utils man-db libwrap0 libpcre2-8-0 debhelper lintian
               ansible-core python3-pytest shellcheck)
package_packages=("${build_packages[@]}" debhelper)
bench_packages=(tftp-hpa tftpd-hpa atftp curl time)

(($#)) || set -- test
packages=()
want_atftpd=
for group in "$@"; do
    case "$group" in
        build) packages+=("${build_packages[@]}") ;;
        test) packages+=("${test_packages[@]}"); want_atftpd=1 ;;
        package) packages+=("${package_packages[@]}") ;;
        bench) packages+=("${bench_packages[@]}") ;;
        *) echo "install-deps: unknown group '$group' (build, test, package, bench)" >&2; exit 2 ;;
    esac
done

missing=()
for package in $(printf '%s\n' "${packages[@]}" | sort -u); do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
        || missing+=("$package")
done

# Keeps package scripts from starting services: invoke-rc.d and deb-systemd-invoke ask
# /usr/sbin/policy-rc.d, and 101 means "action forbidden". An existing policy is left as it is.
policy=/usr/sbin/policy-rc.d
remove_policy() { rm -f "$policy"; }
if ((${#missing[@]})); then
    if [[ $(id -u) -ne 0 ]]; then
        echo "install-deps: missing packages (install them as root): ${missing[*]}" >&2
        exit 1
    fi
    echo "install-deps: installing ${missing[*]}"
    if [[ ! -e $policy ]]; then
        printf '#!/bin/sh\nexit 101\n' >"$policy"
        chmod 755 "$policy"
        trap remove_policy EXIT
    fi
    # Quiet unless it fails: then the whole apt-get output is shown.
    log=$(mktemp)
    if ! { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
               --no-install-recommends "${missing[@]}"; } >"$log" 2>&1; then
        cat "$log" >&2
        rm -f "$log"
        echo "install-deps: apt-get failed" >&2
        exit 1
    fi
    rm -f "$log"
fi

# atftpd, the second real server of the tests. Its package conflicts with tftpd-hpa, so it is
# unpacked, not installed: the program lands in /opt/kalvoran-peers/atftpd/usr/sbin/atftpd, and
# the libraries it links (libwrap0, libpcre2-8-0) are test packages above. Unpacked into a
# folder beside it and renamed into place, so an interrupted run leaves nothing half there.
peers=/opt/kalvoran-peers
atftpd=$peers/atftpd/usr/sbin/atftpd
unpack_atftpd() {
    local download log
    download=$(mktemp -d)
    log=$(mktemp)
    # apt-get download writes to the current folder; the package lists may be missing at first.
    if ! { (cd "$download" && { apt-get download -qq atftpd ||
                                    { apt-get update -qq && apt-get download -qq atftpd; }; }) &&
               rm -rf "$peers/atftpd.new" && mkdir -p "$peers/atftpd.new" &&
               dpkg -x "$download"/atftpd_*.deb "$peers/atftpd.new" &&
               rm -rf "$peers/atftpd" && mv "$peers/atftpd.new" "$peers/atftpd"; } >"$log" 2>&1; then
        cat "$log" >&2
        rm -rf "$download" "$log" "$peers/atftpd.new"
        echo "install-deps: could not unpack atftpd into $peers" >&2
        exit 1
    fi
    rm -rf "$download" "$log"
}
if [[ -n $want_atftpd ]]; then
    if [[ ! -x $atftpd ]]; then
        if [[ $(id -u) -ne 0 ]]; then
            echo "install-deps: atftpd is not unpacked in $peers (run this as root)" >&2
            exit 1
        fi
        unpack_atftpd
    fi
    if ldd "$atftpd" | grep -q 'not found'; then
        echo "install-deps: $atftpd misses libraries:" >&2
        ldd "$atftpd" | grep 'not found' >&2
        exit 1
    fi
fi

# The in.tftpd processes that hold a UDP socket on port 69 and were not started in the
# foreground: the system service, not a test's or a benchmark's own server.
system_tftpd_pids() {
    local inodes pid_dir link
    inodes=$(awk 'FNR > 1 && $2 ~ /:0045$/ { print "socket:[" $10 "]" }' \
                 /proc/net/udp /proc/net/udp6 2>/dev/null)
    [[ -n $inodes ]] || return 0
    for pid_dir in /proc/[0-9]*; do
        [[ $(cat "$pid_dir/comm" 2>/dev/null) == in.tftpd ]] || continue
        tr '\0' '\n' <"$pid_dir/cmdline" 2>/dev/null | grep -qxE -- '--foreground|-L' && continue
        for link in "$pid_dir"/fd/*; do
            if grep -qxF -- "$(readlink "$link" 2>/dev/null)" <<<"$inodes"; then
                echo "${pid_dir#/proc/}"
                break
            fi
        done
    done
}

# Only these processes are ended: "service tftpd-hpa stop" would end every process named in.tftpd,
# the tests' own servers included.
mapfile -t pids < <(system_tftpd_pids)
if ((${#pids[@]})); then
    echo "install-deps: stopping the system TFTP server (in.tftpd, pid ${pids[*]}): it takes port 69"
    if ! kill "${pids[@]}" 2>/dev/null; then
        echo "install-deps: could not stop in.tftpd (pid ${pids[*]}); stop it as root" >&2
    fi
    for _ in {1..20}; do
        [[ -n $(system_tftpd_pids) ]] || break
        sleep 0.1
    done
fi
