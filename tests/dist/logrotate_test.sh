#!/bin/bash
# The logrotate snippet rotates a log that a writer keeps open for appending,
# as the daemon does: the old lines move to the rotated file, and the
# writer's next line lands at the start of the emptied log, with no hole of
# zero bytes before it. Real logrotate, on a copy of the snippet pointed at a
# scratch directory and run as root instead of the daemon's user.
# Usage: logrotate_test.sh SOURCE_DIR
set -uo pipefail
here=$(dirname -- "$0")
# shellcheck source=lib.sh
. "$here/lib.sh"

source_dir=$1
require_tool logrotate
make_scratch

snippet=$source_dir/dist/useraccountd.logrotate
check "snippet rotates the daemon's log directory" grep -q '^/var/log/useraccountd/\*\.log {' "$snippet"
mkdir "$scratch/log"
sed -e "s|^/var/log/useraccountd/|$scratch/log/|" \
    -e 's/^\([[:space:]]*\)su useraccountd useraccountd$/\1su root root/' \
    "$snippet" >"$scratch/logrotate.conf"
chmod 0644 "$scratch/logrotate.conf"
check "copy points at the scratch directory" grep -q "^$scratch/log/\*\.log {" "$scratch/logrotate.conf"
check "copy rotates as root" grep -q 'su root root' "$scratch/logrotate.conf"

log=$scratch/log/useraccountd.log
# shellcheck disable=SC2317 # called through check
rotate() {
    logrotate --force --state "$scratch/state" "$scratch/logrotate.conf" 2>"$scratch/logrotate.err"
}

exec 3>>"$log"
printf 'Debug: 0\nDebug: 1\n' >&3

check "first rotation succeeds" rotate
expect_eq "first rotation is quiet" "" "$(cat "$scratch/logrotate.err")"
expect_eq "rotated file holds the old lines" $'Debug: 0\nDebug: 1' "$(cat "$log.1" 2>/dev/null)"
expect_eq "log is emptied in place" 0 "$(stat -c %s "$log")"

printf 'Debug: 2\n' >&3
expect_eq "next line lands at the start of the log" 9 "$(stat -c %s "$log")"
expect_eq "log holds only the new line" "Debug: 2" "$(cat "$log")"
expect_eq "no zero bytes in the log" 0 "$(tr -cd '\0' <"$log" | wc -c)"

check "second rotation succeeds" rotate
expect_eq "newest rotated file" "Debug: 2" "$(cat "$log.1" 2>/dev/null)"
expect_eq "older rotated file is compressed" $'Debug: 0\nDebug: 1' \
    "$(gzip -dc "$log.2.gz" 2>/dev/null)"
exec 3>&-

finish
