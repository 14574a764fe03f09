#!/usr/bin/env bash
# The installation as an administrator or a packager makes it, and how the built client starts
# without a display; one check per call:
#   install_test.sh <check> <build dir> <source dir> <stage dir>
# "stage" runs `cmake --install` with DESTDIR into the stage dir; layout, desktop-entry,
# man-page, fleet-man-page, fleet-program and capability read or run what landed there;
# no-display runs the built program. BINDIR, DATADIR and MANDIR (environment) are the
# GNUInstallDirs folders, PREFIX the installation prefix.
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

# The fleet's command line as its parser has it: the long options and the action words.
fleet_options() {
    grep -oE '\{"[a-z]+", (required|no)_argument' "$source/src/fleet/FleetCommand.cpp" | cut -d'"' -f2
}
fleet_actions() {
    sed -n '/^std::string_view ActionName/,/^}/p' "$source/src/fleet/FleetCommand.cpp" \
        | grep -oE 'return "[a-z]+";' | cut -d'"' -f2
}
# The fields of a report row, in the order of the record.
report_fields() {
    sed -n '/^struct AgentRecord {/,/^};/p' "$source/src/fleet/Report.h" \
        | grep -oE '^ +[A-Za-z0-9_:]+ +[a-z]+( = [^;]*)?;' | awk '{print $2}' | tr -d ';'
}
# The version the project declares, which the programs report.
project_version() {
    sed -n 's/^project([A-Za-z]* VERSION \([0-9.]*\).*/\1/p' "$source/CMakeLists.txt"
}

# section_macros <page> <section...>: each section is a .SH of the page.
section_macros() {
    local page=$1 section
    shift
    for section in "$@"; do
        grep -qx "\\.SH \"\\?$section\"\\?" "$page" || fail "${page##*/}: no $section section"
    done
}

# man_warnings <page>: fails on anything the formatter warns about at 100 columns.
man_warnings() {
    local warnings
    warnings=$(MANWIDTH=100 man --warnings -E UTF-8 -l "$1" 2>&1 >/dev/null) || true
    [[ -z $warnings ]] || fail "man -l ${1##*/}: $warnings"
}

# rendered <page>: the page as man formats it at 100 columns, as plain text.
rendered() {
    MANWIDTH=100 man -E UTF-8 -l "$1" 2>/dev/null | col -bx
}

# flat <text>: the text as one line, words split at a line's end joined again, one blank
# between words.
flat() {
    sed -z 's/\xe2\x80\x90\n[[:space:]]*//g; s/-\n[[:space:]]*/-/g' <<<"$1" | tr -s ' \t\n' '   '
}

# section_text <rendered text> <section>: the lines of one section, its heading included.
section_text() {
    awk -v heading="$2" '$0 == heading { on = 1; print; next } on && /^[A-Z]/ { exit } on' <<<"$1"
}

stage() {
    rm -rf "$stage"
    mkdir -p "$stage"
    DESTDIR=$stage cmake --install "$build" --prefix "$PREFIX"
}

layout() {
    expect_file "$BINDIR/KalvoranTFTPclient" -x
    expect_file "$BINDIR/delay" -x
    expect_file "$BINDIR/kalvoran-fleet" -x
    # The program loads the module only from <its directory>/../lib/kalvoran.
    expect_file "$BINDIR/../lib/kalvoran/libkalvoran-icmp.so"
    expect_file "$DATADIR/applications/KalvoranTFTPclient.desktop"
    expect_file "$MANDIR/man1/KalvoranTFTPclient.1"
    expect_file "$MANDIR/man1/delay.1"
    expect_file "$MANDIR/man1/kalvoran-fleet.1"
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
    local text name limit status
    section_macros "$page" NAME SYNOPSIS DESCRIPTION 'EXIT STATUS' ENVIRONMENT FILES \
                   'PING PERMISSION' EXAMPLES 'SEE ALSO'
    if ! command -v man >/dev/null; then
        echo "note: man is not installed (package man-db); only the section macros were checked"
        return
    fi
    man_warnings "$page"
    text=$(rendered "$page")
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
    section_text "$text" 'SEE ALSO' | grep -q 'kalvoran-fleet(1)' \
        || fail "SEE ALSO does not name kalvoran-fleet(1)"
}

# The fleet's page: its sections, no formatter warning, and every option, action, report field
# and result the program has, each described where a reader looks for it.
fleet_man_page() {
    local page=$root/$MANDIR/man1/kalvoran-fleet.1
    local text part joined name word result
    section_macros "$page" NAME SYNOPSIS DESCRIPTION INVENTORY OPTIONS 'EACH AGENT' OUTPUT \
                   REPORT 'EXIT STATUS' ENVIRONMENT FILES 'PING PERMISSION' EXAMPLES 'SEE ALSO'
    if ! command -v man >/dev/null; then
        echo "note: man is not installed (package man-db); only the section macros were checked"
        return
    fi
    # What the page is held to, read from the sources; nothing read would check nothing.
    [[ $(fleet_options | wc -l) -ge 10 ]] || fail "FleetCommand.cpp: the option table was not found"
    [[ $(fleet_actions | wc -l) -ge 4 ]] || fail "FleetCommand.cpp: ActionName was not found"
    [[ $(report_fields | wc -l) -ge 9 ]] || fail "Report.h: AgentRecord was not found"
    man_warnings "$page"
    text=$(rendered "$page")
    part=$(section_text "$text" OPTIONS)
    while read -r name; do
        grep -qE "^ +--$name( |$)" <<<"$part" || fail "the option --$name is not described"
    done < <(fleet_options)
    part=$(section_text "$text" DESCRIPTION)
    while read -r name; do
        grep -qE "^ +$name( |$)" <<<"$part" || fail "the action $name is not described"
        section_text "$text" SYNOPSIS | grep -qE "\] $name( |$)" \
            || fail "the action $name is not in the synopsis"
    done < <(fleet_actions)
    # The file types a send takes: the client's keywords, and the bootloader's own word.
    joined=$(flat "$part")
    while read -r word; do
        [[ $joined == *" $word ("* ]] || fail "the send type $word is not named"
    done < <(transfer_table | grep -oE '"[a-z]+", k[A-Za-z]+Lines' | cut -d'"' -f2; echo bootloader)
    part=$(section_text "$text" REPORT)
    while read -r name; do
        grep -qE "^ +$name( |$)" <<<"$part" || fail "the report field $name is not described"
    done < <(report_fields)
    part=$(section_text "$text" 'EXIT STATUS')
    for result in 0 1 2 3 4; do
        grep -qE "^ +$result +[A-Z]" <<<"$part" || fail "agent result $result is not explained"
    done
    joined=$(flat "$part")
    [[ $joined == *"highest result of any agent"* ]] || fail "the fleet's exit status rule is not given"
    grep -q '\$?' <<<"$(section_text "$text" EXAMPLES)" || fail "no example checks \$?"
    section_text "$text" 'SEE ALSO' | grep -q 'KalvoranTFTPclient(1)' \
        || fail "SEE ALSO does not name KalvoranTFTPclient(1)"
}

# The installed fleet program runs from the stage alone: its help, its version, a usage error,
# and a --check, which reads the inventory and sends nothing, in a folder it must leave empty.
fleet_program() {
    local program=$root/$BINDIR/kalvoran-fleet
    local scratch output status
    scratch=$(mktemp -d)
    status=0
    timeout 20 "$program" --help >"$scratch/out" 2>"$scratch/err" || status=$?
    [[ $status -eq 0 && $(head -n 1 "$scratch/out") == "Usage: kalvoran-fleet "* ]] \
        || fail "--help: exit $status, said: $(cat "$scratch/out" "$scratch/err")"
    [[ ! -s $scratch/err ]] || fail "--help wrote to standard error: $(cat "$scratch/err")"
    status=0
    output=$(timeout 20 "$program" --version 2>&1) || status=$?
    [[ $status -eq 0 && $output == "kalvoran-fleet $(project_version)" ]] \
        || fail "--version: exit $status, said: $output (the project is $(project_version))"
    status=0
    output=$(timeout 20 "$program" 2>&1) || status=$?
    [[ $status -eq 2 && $output == *"kalvoran-fleet --help"* ]] \
        || fail "no action: exit $status, said: $output"
    mkdir "$scratch/run"
    printf '# two cards\n127.0.0.1  rack 1\n127.0.0.2\n' >"$scratch/cards.txt"
    status=0
    output=$(cd "$scratch/run" && timeout 20 "$program" --check status ../cards.txt 2>&1) \
        || status=$?
    [[ $status -eq 0 && $output == *"127.0.0.1"*"rack 1"*"127.0.0.2"*"2 agents"* ]] \
        || fail "--check: exit $status, said: $output"
    [[ -z $(ls -A "$scratch/run") ]] || fail "--check created $(ls -A "$scratch/run")"
    rm -rf "$scratch"
}

# Where this system lets the install set file capabilities (setcap present, run with the right to
# set them, a file system that keeps them), both programs that ping carry cap_net_raw.
capability() {
    local probe name caps
    if ! command -v setcap >/dev/null || ! command -v getcap >/dev/null; then
        echo "note: setcap or getcap is not installed (package libcap2-bin); nothing to check"
        return
    fi
    probe=$(mktemp "$stage/capability-probe.XXXXXX")
    if ! setcap cap_net_raw+ep "$probe" 2>/dev/null; then
        rm -f "$probe"
        echo "note: file capabilities cannot be set here (not root, or the file system drops them)"
        return
    fi
    rm -f "$probe"
    for name in KalvoranTFTPclient kalvoran-fleet; do
        caps=$(getcap "$root/$BINDIR/$name" 2>&1) || true
        grep -qE 'cap_net_raw[+=]ep' <<<"$caps" || fail "$name carries no cap_net_raw+ep: $caps"
    done
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
    fleet-man-page) fleet_man_page ;;
    fleet-program) fleet_program ;;
    capability) capability ;;
    no-display) no_display ;;
    *) echo "install_test: unknown check '$check'" >&2; exit 2 ;;
esac
((failures == 0))
