#!/usr/bin/env bash
# Tests the Ansible collection kalvoran.agents against the programs of a build tree:
#   bash ansible/tests/run.sh <build dir>
# ansible-doc on every module, the offline ansible-test sanity checks, the unit tests, then the
# playbooks of tests/integration against three sites on this machine (127.0.44.x, 127.0.45.x,
# 127.0.46.x, and 127.0.47.x for the site with a failing card), each with three agent-sims.
# Needs root (agent-sim listens on port 69), ansible-core and python3-pytest from Debian.
set -euo pipefail

build=$(realpath "${1:-build}")
tests=$(cd "$(dirname "$0")" && pwd)
collection=$(dirname "$tests")
python=${KALVORAN_PYTHON:-/usr/bin/python3}   # Debian's, with ansible and pytest
work=$(mktemp -d /tmp/kalvoran-ansible.XXXXXX)
sims=()

cleanup() {
    for pid in "${sims[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${sims[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    [[ -n ${KEEP:-} ]] || rm -rf "$work"; [[ -z ${KEEP:-} ]] || echo "kept $work"
}
trap cleanup EXIT

export PATH="$build/bin:$PATH"
export ANSIBLE_COLLECTIONS_PATH="$work/collections"
export ANSIBLE_LOCAL_TEMP="$work/ansible-local" ANSIBLE_REMOTE_TEMP="$work/ansible-remote"
export ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0 ANSIBLE_FORKS=5
export XDG_STATE_HOME="$work/state"   # never the user's ledger, whatever a test forgets
mkdir -p "$work/collections/ansible_collections/kalvoran"
ln -s "$collection" "$work/collections/ansible_collections/kalvoran/agents"

echo "-- ansible-doc"
for module in "$collection"/plugins/modules/*.py; do
    name=kalvoran.agents.$(basename "$module" .py)
    ansible-doc "$name" >"$work/doc.txt"
    grep -q "^> ${name^^} " "$work/doc.txt" || { cat "$work/doc.txt"; exit 1; }
    echo "$name: documentation renders"
done

# ansible-test sanity runs from a copy at ansible_collections/kalvoran/agents. Only the checks
# that need no requirements of their own run here: the others (ansible-doc, import, pep8,
# pylint, runtime-metadata, validate-modules, yamllint) first build a virtual environment and
# pip-install into it, which Debian's ansible-core cannot do without PyPI. ansible-doc is run
# above; what validate-modules compares (argument spec and documentation) the unit tests check.
echo "-- ansible-test sanity (offline checks)"
sanity="$work/sanity/ansible_collections/kalvoran/agents"
mkdir -p "$(dirname "$sanity")"
cp -r "$collection" "$sanity"
rm -rf "$sanity/tests/output"
offline=(action-plugin-docs compile empty-init future-import-boilerplate line-endings
         metaclass-boilerplate no-assert no-basestring no-dict-iteritems no-dict-iterkeys
         no-dict-itervalues no-get-exception no-illegal-filenames no-main-display
         no-smart-quotes no-unicode-literals replace-urlopen shebang shellcheck symlinks
         use-argspec-type-path use-compat-six)
(cd "$sanity" && ansible-test sanity --python 3.11 "${offline[@]/#/--test=}" 2>&1 |
    grep -v 'locale "C.UTF-8"') || exit 1

echo "-- unit tests"
(cd "$collection" && "$python" -m pytest -q -p no:cacheprovider tests/unit)

echo "-- integration: three sites of three agents each"
for net in 44 45 46 47; do
    for card in 1 2 3; do
        address=127.0.$net.$card
        extra=()
        [[ $address == 127.0.47.2 ]] && extra=(--status-final "Memory compare Flash/Ram is in error")
        "$build/bin/agent-sim" --address "$address" --dir "$work/agents/$address" "${extra[@]}" \
            >"$work/sim-$address.out" 2>&1 &
        sims+=($!)
    done
done
for out in "$work"/sim-*.out; do
    for _ in $(seq 50); do
        grep -q '^ready ' "$out" && break
        sleep 0.1
    done
    grep -q '^ready ' "$out" || { echo "agent-sim did not start: $out" >&2; cat "$out"; exit 1; }
done

head -c 300000 /dev/urandom >"$work/image-1.bin"
for n in 2 3 4; do
    { cat "$work/image-1.bin"; echo "image $n"; } >"$work/image-$n.bin"
done

# playbook <name> <expected exit code> <playbook> <ansible-playbook arguments...>: prints the
# recap (the whole output when the exit code is not the one expected).
playbook() {
    local name=$1 expected=$2 file=$3 rc=0
    shift 3
    echo "-- $name"
    ansible-playbook -i "$tests/integration/inventory.yml" "$tests/integration/$file" \
        -e "work=$work" "$@" >"$work/$name.log" 2>&1 || rc=$?
    if [[ $rc != "$expected" ]]; then
        cat "$work/$name.log"
        echo "$name: ansible-playbook exit code $rc, expected $expected" >&2
        exit 1
    fi
    sed -n '/^PLAY RECAP/,$p' "$work/$name.log"
}

playbook "first run: every card upgraded" 0 upgrade.yml -e "image=$work/image-1.bin expect=upgrade"
playbook "second run: nothing to do" 0 upgrade.yml -e "image=$work/image-1.bin expect=current"
[[ $(grep -cE '^site[123] .* changed=0 ' "$work/second run: nothing to do.log") == 3 ]]
playbook "a changed image: every card upgraded again (with --diff)" 0 upgrade.yml --diff \
    -e "image=$work/image-2.bin expect=upgrade"
playbook "check mode: nothing sent" 0 upgrade.yml --check -e "image=$work/image-3.bin expect=check"
playbook "backup and status" 0 backup-status.yml
playbook "a site with a failing card" 2 failing.yml \
    -e "image=$work/image-4.bin expect=upgrade targets=sites:faulty"
grep -qE '^site4 .* failed=1 ' "$work/a site with a failing card.log"
[[ -f $work/failing-checked ]]
grep -o '1 of 3 agents failed: [^"]*' "$work/a site with a failing card.log" | head -n 1
echo "the Ansible collection: all tests passed"
