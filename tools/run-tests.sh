#!/usr/bin/env bash
# Runs every test on a fresh Debian 12 machine: installs what the project needs, builds with
# warnings as errors and runs the tests, then again under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the fuzz targets for a bounded time.
# Tests open sockets on 127.x.y.z port 69 and ICMP sockets, so they run as root.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++ clang clang-format libclang-rt-14-dev libgtest-dev libbenchmark-dev
          qt6-base-dev tftp-hpa curl libcap2-bin iproute2)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
        || missing+=("$package")
done
if ((${#missing[@]})); then
    if [[ $(id -u) -ne 0 ]]; then
        echo "run-tests: missing packages (install them as root): ${missing[*]}" >&2
        exit 1
    fi
    echo "run-tests: installing ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

export QT_QPA_PLATFORM=offscreen
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-/tmp/runtime-$(id -u)}
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"

echo "== format (.clang-format)"
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror

echo "== build and test (warnings as errors)"
cmake --preset dev >/dev/null
cmake --build --preset dev
ctest --preset dev

echo "== build and test under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset sanitize >/dev/null
cmake --build --preset sanitize
ctest --preset sanitize

echo "== fuzz the datagram readers (bounded run on a copy of the seed corpus)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target fuzz-tftp-datagram 2>&1 | tail -n 4
