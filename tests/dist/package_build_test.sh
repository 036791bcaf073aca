#!/bin/bash
# Builds the Debian package the way a packager does, with dpkg-buildpackage
# on a copy of the tree (the build writes into the tree and next to it), and
# leaves the .deb files and the build log in BINARY_DIR/package for the
# package and container tests.
# Usage: package_build_test.sh SOURCE_DIR BINARY_DIR
set -uo pipefail
here=$(dirname -- "$0")
# shellcheck source=lib.sh
. "$here/lib.sh"

source_dir=$1
binary_dir=$2
require_tool dpkg-buildpackage
require_tool dh
make_scratch

out=$binary_dir/package
rm -rf -- "$out"
mkdir -p -- "$out" "$scratch/src"

copy_source_tree "$source_dir" "$scratch/src"
check "the copy has debian/rules" test -x "$scratch/src/debian/rules"

if (cd "$scratch/src" && dpkg-buildpackage -b -us -uc) >"$out/build.log" 2>&1; then
    cp -- "$scratch"/*.deb "$out"/
else
    tail -n 40 "$out/build.log" >&2
    fail "dpkg-buildpackage -b -us -uc (log: $out/build.log)"
fi
expect_eq "the build leaves the package and its debug symbols" \
    "useraccountd-dbgsym useraccountd" \
    "$(cd "$out" && for deb in *.deb; do printf '%s\n' "${deb%%_*}"; done | xargs)"

finish
