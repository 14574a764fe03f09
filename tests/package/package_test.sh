#!/usr/bin/env bash
# The Debian package as a field engineer's machine gets it: built from the sources with
# debhelper, held to lintian, installed with apt-get, used, and purged:
#   bash tests/package/package_test.sh <build dir>
# As root on Debian 12 with debhelper and lintian (tools/install-deps.sh test). It installs and
# removes the package kalvoran-tftp-client on this machine (one installed before is purged
# first). <build dir> holds the agent-sim that the installed client upgrades, in a network
# namespace of its own on 127.0.34.1, as an ordinary user who may ping only through the file
# capability. The package and lintian's report stay in <build dir>/package.
set -euo pipefail

source=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:?usage: package_test.sh <build dir>}" && pwd)
readonly package=kalvoran-tftp-client address=127.0.34.1
out=$build/package
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

[[ $(id -u) -eq 0 ]] || { echo "package_test: run as root (it installs the package)" >&2; exit 1; }
[[ -x $build/bin/agent-sim ]] || { echo "package_test: $build/bin/agent-sim is not built" >&2; exit 1; }

work=$(mktemp -d /tmp/kalvoran-package.XXXXXX)
chmod 755 "$work"
installed=
purge() {
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "$package" >"$work/purge.log" 2>&1
}
cleanup() {
    if [[ -n $installed ]]; then purge || cat "$work/purge.log" >&2; fi
    rm -rf "$work"
}
trap cleanup EXIT

project_version=$(sed -n 's/^project([A-Za-z]* VERSION \([0-9.]*\).*/\1/p' "$source/CMakeLists.txt")

# --- build
echo "== building the package (tools/build-deb.sh)"
bash "$source/tools/build-deb.sh" "$out" | tee "$work/build-deb.out"
deb=$(tail -n 1 "$work/build-deb.out")

# The version lives in CMakeLists.txt: a changelog that names another is refused before the build.
mkdir -p "$work/mismatch"
cp -r "$source/debian" "$source/CMakeLists.txt" "$work/mismatch/"
sed -i "1s/($project_version)/(9.9.9)/" "$work/mismatch/debian/changelog"
status=0
(cd "$work/mismatch" && make -s -f debian/rules override_dh_auto_configure) \
    >"$work/mismatch.out" 2>&1 || status=$?
[[ $status -ne 0 ]] && grep -q "debian/changelog is at 9.9.9, CMakeLists.txt at $project_version" \
    "$work/mismatch.out" || fail "a changelog at 9.9.9 was not refused: $(cat "$work/mismatch.out")"

[[ $(dpkg-deb -f "$deb" Version) == "$project_version" ]] \
    || fail "package version $(dpkg-deb -f "$deb" Version), project version $project_version"
echo "Depends: $(dpkg-deb -f "$deb" Depends)"
dpkg-deb -f "$deb" Depends | grep -qw libcap2-bin || fail "the package does not depend on libcap2-bin"
dpkg -c "$deb" | tee "$out/contents.txt"
# No program is setuid or setgid: the ping capability comes from the maintainer script.
if awk '$1 ~ /^-..[sS]|^-.....[sS]/' "$out/contents.txt" | grep .; then
    fail "the package ships setuid or setgid files"
fi

echo "== lintian"
status=0
lintian --fail-on error,warning "$deb" >"$out/lintian.txt" 2>&1 || status=$?
cat "$out/lintian.txt"
((status == 0)) || fail "lintian reports errors or warnings (exit $status)"
echo "lintian: exit $status, $(wc -l <"$out/lintian.txt") lines"

# --- install
echo "== apt-get install ./${deb##*/}"
if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q installed; then
    echo "purging the $package installed before"
    purge || { cat "$work/purge.log" >&2; exit 1; }
fi
installed=1
if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >"$work/install.log" 2>&1; then
    cat "$work/install.log" >&2
    echo "package_test: apt-get install failed" >&2
    exit 1
fi
# Reinstalled (as an upgrade is), the programs are replaced and lose their capability; the
# maintainer script gives it back.
if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --reinstall "$deb" \
        >"$work/install.log" 2>&1; then
    cat "$work/install.log" >&2
    fail "apt-get install --reinstall failed"
fi
dpkg -L "$package" >"$work/files"
# Every file as the package shipped it.
verify=$(dpkg --verify "$package" 2>&1) || true
[[ -z $verify ]] || fail "dpkg --verify: $verify"

# File capabilities work where a probe beside the programs takes one.
capabilities=1
probe=$(mktemp /usr/bin/.kalvoran-capability-probe.XXXXXX)
setcap cap_net_raw+ep "$probe" 2>/dev/null || capabilities=
rm -f "$probe"

for name in KalvoranTFTPclient kalvoran-fleet; do
    caps=$(getcap "/usr/bin/$name")
    if [[ -n $capabilities ]]; then
        grep -qE 'cap_net_raw[+=]ep' <<<"$caps" || fail "$name carries no cap_net_raw+ep: '$caps'"
    fi
    [[ ! -u /usr/bin/$name ]] || fail "$name is setuid"
done
[[ -n $capabilities ]] || echo "note: this file system keeps no file capabilities"

# --- use: the installed programs, not the build tree's
echo "== the installed client upgrades agent-sim ($address) as the user nobody"
head -c 300000 /dev/urandom >"$work/app.bin"
chmod 644 "$work/app.bin"
mkdir -m 755 "$work/agent"
mkdir -m 700 "$work/home"
chown nobody: "$work/home"
# The namespace's own net.ipv4.ping_group_range admits no group: nobody pings only through the
# capability. The namespace (and agent-sim in it) ends with this script.
cat >"$work/upgrade.sh" <<EOF
set -eu
ip link set lo up
sysctl -qw net.ipv4.ping_group_range="1 0"
"$build/bin/agent-sim" --address $address --dir "$work/agent" >"$work/agent.out" 2>&1 &
agent=\$!
for _ in \$(seq 50); do grep -q '^ready ' "$work/agent.out" && break; sleep 0.1; done
status=0
setpriv --reuid=nobody --regid=nogroup --clear-groups \
    env -i HOME="$work/home" XDG_CONFIG_HOME="$work/home/config" XDG_RUNTIME_DIR="$work/home" \
        PATH=/usr/bin:/bin timeout 120 KalvoranTFTPclient image "$work/app.bin" $address \
    >"$work/client.out" 2>"$work/client.err" || status=\$?
kill \$agent
wait \$agent || true
exit \$status
EOF
status=0
unshare --net bash "$work/upgrade.sh" || status=$?
sed 's/^/  /' "$work/client.out"
if [[ -n $capabilities ]]; then
    [[ $status -eq 0 ]] || fail "the upgrade ended with exit $status: $(cat "$work/client.err")"
    [[ ! -s $work/client.err ]] || fail "the upgrade wrote to standard error: $(cat "$work/client.err")"
    cmp -s "$work/app.bin" "$work/agent/image.bin" || fail "the agent's image.bin is not the file sent"
    grep -q "^Addr: $address, RTT: " "$work/client.out" || fail "no ping answer in the log"
else
    # Without the capability nobody cannot ping: no transfer, the client says why.
    [[ $status -eq 1 ]] || fail "without the capability the upgrade ended with exit $status"
fi

echo "== the other installed programs"
output=$(kalvoran-fleet --version 2>&1) || fail "kalvoran-fleet --version: exit $?"
[[ $output == "kalvoran-fleet $project_version" ]] || fail "kalvoran-fleet --version said: $output"
if grep -qs '^path-exclude=/usr/share/man' /etc/dpkg/dpkg.cfg.d/*; then
    echo "note: dpkg is told to leave out man pages here; man -w not checked"
else
    for page in KalvoranTFTPclient kalvoran-fleet kalvoran-delay; do
        where=$(man -w "$page" 2>&1) || fail "man -w $page: $where"
        [[ $where == "/usr/share/man/man1/$page.1.gz" ]] || fail "man -w $page: $where"
        # Every page carries the project's version in its header.
        zcat "$where" | head -n 1 | grep -qF "Kalvoran TFTP Client Utility $project_version" \
            || fail "$page.1 does not carry version $project_version: $(zcat "$where" | head -n 1)"
    done
fi
report=$(desktop-file-validate /usr/share/applications/KalvoranTFTPclient.desktop 2>&1) \
    || fail "desktop-file-validate: $report"
grep -E ': (error|warning):' <<<"$report" && fail "desktop-file-validate reports problems"
# kalvoran-delay, and "delay" through the folder batch scripts put first on PATH: with two
# arguments it gives its usage (exit 2), which no other program named delay does.
headless=(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM PATH=/usr/lib/kalvoran/bin:$PATH)
status=0
"${headless[@]}" kalvoran-delay 0 || status=$?
[[ $status -eq 0 ]] || fail "kalvoran-delay 0: exit $status"
[[ $(PATH=/usr/lib/kalvoran/bin:$PATH && command -v delay) == /usr/lib/kalvoran/bin/delay ]] \
    || fail "/usr/lib/kalvoran/bin holds no delay"
status=0
output=$("${headless[@]}" delay 1 2 2>&1) || status=$?
[[ $status -eq 2 && $output == *"Usage: delay <seconds>"* ]] \
    || fail "delay 1 2 via PATH: exit $status, said: $output"
started=$(date +%s%N)
"${headless[@]}" delay 1 || fail "delay 1 via PATH: exit $?"
elapsed_ms=$((($(date +%s%N) - started) / 1000000))
((elapsed_ms >= 900)) || fail "delay 1 via PATH ended after $elapsed_ms ms"

# Where setcap fails (a file system without extended attributes), the maintainer script still
# succeeds, says so in one line and makes nothing setuid.
echo "== the maintainer script where setcap fails"
mkdir "$work/failing"
printf '#!/bin/sh\necho "Failed to set capabilities on file" >&2\nexit 1\n' >"$work/failing/setcap"
chmod 755 "$work/failing/setcap"
status=0
PATH=$work/failing:$PATH "/var/lib/dpkg/info/$package.postinst" configure \
    >"$work/postinst.out" 2>"$work/postinst.err" || status=$?
[[ $status -eq 0 ]] || fail "postinst configure with a failing setcap: exit $status"
[[ ! -s $work/postinst.out && $(wc -l <"$work/postinst.err") -eq 1 ]] \
    || fail "postinst did not say it in one line: $(cat "$work/postinst.out" "$work/postinst.err")"
grep -q 'ping' "$work/postinst.err" || fail "postinst's line does not say what still works"
cat "$work/postinst.err"
for name in KalvoranTFTPclient kalvoran-fleet; do
    [[ ! -u /usr/bin/$name ]] || fail "$name was made setuid"
done

# --- purge: nothing of the package remains
echo "== apt-get purge $package"
purge || { cat "$work/purge.log" >&2; fail "apt-get purge failed"; }
installed=
dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' \
    && fail "$package is still installed"
left=0
while IFS= read -r path; do
    if [[ -L $path || -f $path ]]; then
        fail "left after purge: $path"
        left=$((left + 1))
    fi
done <"$work/files"
for folder in /usr/lib/kalvoran "/usr/share/doc/$package"; do
    [[ ! -e $folder ]] || fail "left after purge: $folder"
done
echo "purged: $(wc -l <"$work/files") paths listed before, $left files left"

((failures == 0)) || { echo "package_test: $failures failures" >&2; exit 1; }
echo "package_test: built, lintian clean, installed, used, purged"
