#!/usr/bin/env bash
# Runs every test on a fresh Debian 12 machine: installs what the project needs
# (tools/install-deps.sh), checks the format and runs clang-tidy (tools/clang-tidy.sh), builds
# with warnings as errors, builds, installs, uses and purges the Debian package
# (tests/package), runs the tests and those of the Ansible collection, builds the plain Release configuration, runs the
# tests again under AddressSanitizer and UndefinedBehaviorSanitizer, then every fuzz target for
# a bounded time.
# Tests open sockets on 127.x.y.z port 69 and ICMP sockets, so they run as root.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh test

export QT_QPA_PLATFORM=offscreen
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-/tmp/runtime-$(id -u)}
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"

echo "== format (.clang-format)"
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror

echo "== clang-tidy (.clang-tidy)"
bash tools/clang-tidy.sh

echo "== build (warnings as errors)"
cmake --preset dev >/dev/null
cmake --build --preset dev

# Built, checked by lintian, installed on this machine, used and purged; the tests of the build
# tree run after the purge, so nothing the package left would go unnoticed by them.
echo "== the Debian package"
bash tests/package/package_test.sh build

echo "== test"
ctest --preset dev

# Its modules run the fleet program of this build on three "sites" of agent-sims.
echo "== the Ansible collection"
bash ansible/tests/run.sh build

# Some warnings (-Wrestrict, -Wstringop-overflow and the like) depend on how much the optimiser
# inlines: Release (-O3) shows ones the dev preset (-O2) does not. Users build plain Release, so
# it must build cleanly too.
echo "== build a plain Release tree (warnings as errors; its tests are not run again)"
cmake -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DKALVORAN_WERROR=ON >/dev/null
cmake --build build-release

echo "== build and test under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset sanitize >/dev/null
cmake --build --preset sanitize
ctest --preset sanitize

echo "== fuzz every reader of untrusted input (bounded runs on copies of the seed corpora)"
# Seven targets of 20 s each, one after the other; a crash, leak or time-out fails the run, its
# input kept in build-fuzz/fuzz/findings/<target>/.
cmake --preset fuzz -DKALVORAN_FUZZ_SECONDS=20 >/dev/null
cmake --build --preset fuzz
fuzz_log=build-fuzz/fuzz/fuzz-all.log
if ! cmake --build --preset fuzz --target fuzz-all >"$fuzz_log" 2>&1; then
    tail -n 60 "$fuzz_log"
    echo "fuzzing found a fault (full output: $fuzz_log; inputs: build-fuzz/fuzz/findings/)" >&2
    exit 1
fi
grep -E '^(\[[0-9/]+\] )?Fuzzing|DONE' "$fuzz_log" || true
