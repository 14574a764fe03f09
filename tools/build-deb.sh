#!/usr/bin/env bash
# Builds the Debian package kalvoran-tftp-client from the sources with debhelper:
#   bash tools/build-deb.sh [out dir]        (default: build-deb)
# As root on Debian 12 it installs what the build needs (tools/install-deps.sh package). The
# sources git knows (committed or not) are copied into a scratch folder and built there with
# `dpkg-buildpackage -us -uc -b` (no debug-symbol package), so the source tree gets no build
# products; the .deb lands in the out dir and its path is the last line printed.
set -euo pipefail
source=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-build-deb}

bash "$source/tools/install-deps.sh" package

version=$(sed -n 's/^project([A-Za-z]* VERSION \([0-9.]*\).*/\1/p' "$source/CMakeLists.txt")
work=$(mktemp -d /tmp/kalvoran-deb.XXXXXX)
trap 'rm -rf "$work"' EXIT
tree=$work/kalvoran-tftp-client-$version
mkdir -p "$tree"
(cd "$source" && git ls-files -z -co --exclude-standard |
     while IFS= read -r -d '' file; do [[ -e $file ]] && printf '%s\0' "$file"; done |
     tar --null -T - -cf -) | tar -C "$tree" -xf -

started=$SECONDS
if ! (cd "$tree" && DEB_BUILD_OPTIONS="parallel=$(nproc) noddebs ${DEB_BUILD_OPTIONS:-}" \
                       dpkg-buildpackage -us -uc -b) >"$work/build.log" 2>&1; then
    tail -n 60 "$work/build.log" >&2
    echo "build-deb: dpkg-buildpackage failed" >&2
    exit 1
fi
mkdir -p "$out"
rm -f "$out"/kalvoran-tftp-client_*.deb
mv "$work"/kalvoran-tftp-client_*.deb "$out"/
echo "build-deb: built in $((SECONDS - started)) s"
ls -d "$(cd "$out" && pwd)"/kalvoran-tftp-client_*.deb
