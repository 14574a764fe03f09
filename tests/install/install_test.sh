#!/usr/bin/env bash
# The installation as an administrator or a packager makes it, and how the built client starts
# without a display; one check per call:
#   install_test.sh <check> <build dir> <source dir> <stage dir>
# "stage" runs `cmake --install` with DESTDIR into the stage dir; layout, desktop-entry and
# man-page read what landed there; no-display runs the built program. BINDIR, DATADIR and MANDIR
# (environment) are the GNUInstallDirs folders, PREFIX the installation prefix.
set -euo pipefail

check=$1 build=$2 source=$3 stage=$4
root=$stage$PREFIX
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# expect_file <path under the prefix> [-x]: -x for a program.
expect_file() {
    if [[ ! -f $root/$1 || ${2:-} == -x && ! -x $root/$1 ]]; then
        fail "$1 is not installed ${2:-}"
    fi
}

# The agent-side names, list texts, keywords and size limits of the one table of transfer types.
transfer_table() {
    sed -n '/kTransferTypes = {{/,/^}};/p' "$source/src/tftp/TransferTypes.cpp"
}

stage() {
    rm -rf "$stage"
    mkdir -p "$stage"
    DESTDIR=$stage cmake --install "$build" --prefix "$PREFIX"
}

layout() {
    expect_file "$BINDIR/KalvoranTFTPclient" -x
    expect_file "$BINDIR/delay" -x
    # The program loads the module only from <its directory>/../lib/kalvoran.
    expect_file "$BINDIR/../lib/kalvoran/libkalvoran-icmp.so"
    expect_file "$DATADIR/applications/KalvoranTFTPclient.desktop"
    expect_file "$MANDIR/man1/KalvoranTFTPclient.1"
    if [[ -f $source/res/client/kalvoran-tftp-client.svg ]]; then
        expect_file "$DATADIR/icons/hicolor/scalable/apps/kalvoran-tftp-client.svg"
    else
        echo "note: res/client/kalvoran-tftp-client.svg does not exist; no icon to install"
    fi
    # Nothing of the build tree is needed: the installed program runs from the stage alone.
    local usage status=0
    usage=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
                timeout 20 "$root/$BINDIR/KalvoranTFTPclient" image 2>&1) || status=$?
    [[ $status -eq 2 && $usage == *"Usage: KalvoranTFTPclient"* ]] \
        || fail "installed program: exit $status on a usage error, said: $usage"
}

desktop_entry() {
    local entry=$root/$DATADIR/applications/KalvoranTFTPclient.desktop
    local program icon report
    if command -v desktop-file-validate >/dev/null; then
        # Hints (two main categories: Network and Utility) are advice, not faults.
        report=$(desktop-file-validate "$entry" 2>&1) || fail "desktop-file-validate: $report"
        if grep -E ': (error|warning):' <<<"$report"; then
            fail "desktop-file-validate reports problems"
        fi
    else
        echo "note: desktop-file-validate is not installed (package desktop-file-utils)"
    fi
    program=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")
    [[ -n $program && -x $root/$BINDIR/$program ]] || fail "Exec names '$program', not installed"
    icon=$(sed -n 's/^Icon=//p' "$entry")
    if [[ -f $source/res/client/kalvoran-tftp-client.svg ]]; then
        [[ -f $root/$DATADIR/icons/hicolor/scalable/apps/$icon.svg ]] \
            || fail "Icon names '$icon', which is not installed"
    fi
}

man_page() {
    local page=$root/$MANDIR/man1/KalvoranTFTPclient.1
    local text section name limit status warnings
    for section in NAME SYNOPSIS DESCRIPTION 'EXIT STATUS' ENVIRONMENT FILES 'PING PERMISSION' \
                   EXAMPLES 'SEE ALSO'; do
        grep -qx "\\.SH \"\\?$section\"\\?" "$page" || fail "no $section section"
    done
    if ! command -v man >/dev/null; then
        echo "note: man is not installed (package man-db); only the section macros were checked"
        return
    fi
    warnings=$(MANWIDTH=100 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null) || true
    [[ -z $warnings ]] || fail "man -l: $warnings"
    text=$(MANWIDTH=100 man -E UTF-8 -l "$page" 2>/dev/null | col -b)
    # Every transfer type of the table with its agent-side names, keywords and size limits.
    while read -r name; do
        [[ $text == *"$name"* ]] || fail "the transfer type $name is not described"
    done < <(transfer_table | grep -oE '\{"[A-Z ]+"' | tr -d '{"')
    while read -r name; do
        [[ $text == *"$name"* ]] || fail "the agent-side name $name is not named"
    done < <(transfer_table | grep -oE '"[a-z]+\.(bin|cfg|cmd)"' | tr -d '"')
    while read -r name; do
        grep -qE "^ +$name( |$)" <<<"$text" || fail "the keyword $name is not listed"
    done < <(transfer_table | grep -oE '"[a-z]+", k[A-Za-z]+Lines' | cut -d'"' -f2)
    while read -r limit; do
        [[ $text == *"$((limit))"* ]] || fail "the size limit $((limit)) is not given"
    done < <(transfer_table | grep -oE '0x[0-9a-fA-F]+')
    for status in 0 1 2 3; do
        sed -n '/^EXIT STATUS/,/^[A-Z]/p' <<<"$text" | grep -qE "^ +$status +[A-Z]" \
            || fail "exit status $status is not explained"
    done
    grep -q '\$?' <<<"$text" || fail "no example checks \$?"
}

# An interactive start with no display to show the window on is refused locally (2), with one
# line that says why, not taken for an unanswered ping (1).
no_display() {
    local output status=0
    output=$(mktemp -d)
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM timeout 20 \
        "$build/bin/KalvoranTFTPclient" >"$output/out" 2>"$output/err" </dev/null || status=$?
    [[ $status -eq 2 ]] || fail "exit status $status"
    [[ ! -s $output/out ]] || fail "standard output: $(cat "$output/out")"
    [[ $(wc -l <"$output/err") -eq 1 && $(cat "$output/err") == *display* ]] \
        || fail "standard error is not one line about the display: $(cat "$output/err")"
    rm -rf "$output"
}

case $check in
    stage) stage ;;
    layout) layout ;;
    desktop-entry) desktop_entry ;;
    man-page) man_page ;;
    no-display) no_display ;;
    *) echo "install_test: unknown check '$check'" >&2; exit 2 ;;
esac
((failures == 0))
