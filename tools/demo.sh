#!/usr/bin/env bash
# Sends an application image to the simulated agent on loopback, unattended, as a field engineer's
# batch script would:
#   bash tools/demo.sh
# As root on Debian 12 it installs what the build needs (tools/install-deps.sh build), builds the
# client, the ICMP module and agent-sim in build-demo (Release), starts agent-sim on 127.0.9.1
# port 69, makes a 200 KiB image with a stored CRC32, runs
#   KalvoranTFTPclient image <dir>/app.bin 127.0.9.1
# and checks what the agent received. Exits with the client's exit code (0 success, 1 no answer
# to ping, 2 refused locally, 3 network or protocol failure).
set -euo pipefail
cd "$(dirname "$0")/.."

readonly address=127.0.9.1
readonly build=build-demo
readonly image_bytes=$((200 * 1024))

bash tools/install-deps.sh build

work=$(mktemp -d /tmp/kalvoran-demo.XXXXXX)
agent_pid=
stop_agent() {
    if [[ -n $agent_pid ]]; then
        kill -TERM "$agent_pid" 2>/dev/null || true
        wait "$agent_pid" 2>/dev/null || true
        agent_pid=
    fi
}
cleanup() {
    stop_agent
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "== building KalvoranTFTPclient, its ICMP module and agent-sim in $build (Release)"
if ! { cmake -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKALVORAN_BUILD_TESTS=OFF \
           -DKALVORAN_BUILD_BENCH=OFF &&
       cmake --build "$build" --target KalvoranTFTPclient agent-sim kalvoran_icmp; } \
        >"$work/build.log" 2>&1; then
    cat "$work/build.log" >&2
    echo "demo: the build failed" >&2
    exit 1
fi

echo "== starting agent-sim on $address port 69"
mkdir -p "$work/agent"
"$build/bin/agent-sim" --address "$address" --dir "$work/agent" \
    >"$work/agent.out" 2>"$work/agent.err" &
agent_pid=$!
for _ in {1..50}; do
    grep -q '^ready ' "$work/agent.out" && break
    if ! kill -0 "$agent_pid" 2>/dev/null; then
        cat "$work/agent.err" >&2
        agent_pid=
        echo "demo: agent-sim did not start (port 69 needs root)" >&2
        exit 1
    fi
    sleep 0.1
done
if ! grep -q '^ready ' "$work/agent.out"; then
    echo "demo: agent-sim did not report ready within 5 s" >&2
    exit 1
fi
cat "$work/agent.out"

# The image: random bytes followed by their CRC32, most significant byte first, which the client
# shows as the stored CRC32. gzip's trailer carries the CRC32 least significant byte first.
head -c "$image_bytes" /dev/urandom >"$work/body"
read -ra crc_bytes < <(gzip -c "$work/body" | tail -c 8 | head -c 4 | od -An -tx1)
crc="${crc_bytes[3]}${crc_bytes[2]}${crc_bytes[1]}${crc_bytes[0]}"
{ cat "$work/body"; printf "\\x${crc_bytes[3]}\\x${crc_bytes[2]}\\x${crc_bytes[1]}\\x${crc_bytes[0]}"; } \
    >"$work/app.bin"
echo "== sample image $work/app.bin: $((image_bytes + 4)) bytes, stored CRC32 ${crc^^}"

echo "== KalvoranTFTPclient image $work/app.bin $address"
# The client keeps its settings in its own profile here, not in the user's; without a display
# it runs off screen. A guard ends it should it never finish.
mkdir -m 700 "$work/config" "$work/runtime"
set +e
XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$work/runtime}" \
    timeout 300 "$build/bin/KalvoranTFTPclient" image "$work/app.bin" "$address" \
    >"$work/client.out" 2>&1
code=$?
set -e
sed 's/^/  /' "$work/client.out"
echo "exit code: $code"
((code != 124)) || echo "demo: the client did not finish within 300 s and was stopped"

# Stopped first, so that whatever it received is complete on disk.
stop_agent
if [[ -f $work/agent/image.bin ]] && cmp -s "$work/app.bin" "$work/agent/image.bin"; then
    echo "agent received image.bin: identical"
elif [[ -f $work/agent/image.bin ]]; then
    echo "agent received image.bin: differs ($(stat -c %s "$work/agent/image.bin") bytes)"
else
    echo "agent received image.bin: differs (nothing received)"
fi
exit "$code"
