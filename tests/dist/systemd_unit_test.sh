#!/bin/bash
# The installed systemd unit: systemd-analyze verify accepts it without a
# warning; it prepares the queue for its own user before user logins, checks
# sudo and waits for a left-over command before the start, counts as started
# once the daemon says it is ready, stops with SIGTERM to the daemon only,
# reloads with SIGHUP, restarts on failure and runs the
# daemon in the foreground, logging to the journal, as the user that the
# sudoers rule and the package's postinst name; its default sender group and
# mode are those of the documented environment file; and none of its
# hardening would stop sudo from becoming root or hide or remove the queue.
#
# verify insists that the commands' binaries exist, and looks the
# Documentation= pages up with man: the unit is installed into a scratch tree
# (prefix /usr), a copy has its commands pointed at the binaries in that tree,
# and MANPATH points at the pages installed there.
# Usage: systemd_unit_test.sh SOURCE_DIR BINARY_DIR
set -uo pipefail
here=$(dirname -- "$0")
# shellcheck source=lib.sh
. "$here/lib.sh"

source_dir=$1
binary_dir=$2
require_tool systemd-analyze
make_scratch

root=$scratch/root
if ! DESTDIR=$root cmake --install "$binary_dir" --prefix /usr >"$scratch/install.log" 2>&1; then
    cat "$scratch/install.log" >&2
    fail "cmake --install into $root"
    finish
fi
unit=$root/usr/lib/systemd/system/useraccountd.service
check "unit installed" test -f "$unit"

# Settings in force: no comments, no blank lines.
settings=$(grep -vE '^[[:space:]]*(#|;|$)' "$unit")
setting() {
    sed -n "s/^$1=//p" <<<"$settings"
}

exec_start=$(setting ExecStart)
# shellcheck disable=SC2016 # systemd's to expand
expect_eq "ExecStart runs the installed daemon in the foreground, its record bounded" \
    '@/usr/sbin/useraccountd useraccountd -c /etc/useraccountd.conf -r /var/log/useraccountd/outcomes.log -s ${USERACCOUNTD_RECORD_SIZE}' \
    "$exec_start"
check "the configuration file named by -c is installed" test -f "$root/etc/useraccountd.conf"
# The daemon rotates its record: no logrotate rule renames it behind its back.
check "no logrotate rule for the record" test ! -e "$root/etc/logrotate.d/useraccountd-outcomes"

mkdir "$scratch/verify"
sed -E "s#^(Exec[A-Za-z]+=[-@:+!]*)/usr/(s?bin/useraccount(d|ctl) |libexec/useraccountd/)#\1$root/usr/\2#" \
    "$unit" >"$scratch/verify/useraccountd.service"
expect_eq "commands rewritten for verify" 6 \
    "$(grep -cE "^Exec[A-Za-z]+=[-@:+!]*$root/usr/(s?bin/useraccount(d|ctl) |libexec/useraccountd/)" \
        "$scratch/verify/useraccountd.service")"
verify_output=$(MANPATH=$root/usr/share/man systemd-analyze verify \
    "$scratch/verify/useraccountd.service" 2>&1)
verify_status=$?
expect_eq "systemd-analyze verify status" 0 "$verify_status"
expect_eq "systemd-analyze verify has nothing to say" "" "$verify_output"

# systemd's own SIGTERM is the daemon's orderly stop, and neither it nor a
# kill after a timeout or a crash may cut a running command short.
expect_eq "stops with systemd's default SIGTERM" "" "$(setting KillSignal)"
expect_eq "no stop command that could fail once the daemon has ended" "" "$(setting ExecStop)"
expect_eq "only the daemon is killed, never a running command" process "$(setting KillMode)"
expect_eq "before the start: prepare the queue, check sudo, wait for a left-over command, prepare the record" \
    "+/usr/bin/useraccountctl +/usr/libexec/useraccountd/prepare-record +/usr/libexec/useraccountd/wait-for-commands /usr/libexec/useraccountd/check-account-command" \
    "$(setting ExecStartPre | awk '{print $1}' | sort | xargs)"
# A command of an earlier run is waited for within a bound, which the start
# timeout outlasts: systemd must not kill the wait before it ends the command.
wait_bound=$(setting ExecStartPre | sed -n 's#^+/usr/libexec/useraccountd/wait-for-commands \([0-9][0-9]*\)$#\1#p')
start_timeout=$(systemd-analyze timespan "$(setting TimeoutStartSec)" 2>/dev/null | sed -n 's/^ *μs: *//p')
check "the start timeout ($start_timeout us) outlasts the wait (${wait_bound:-no} s)" \
    test -n "$wait_bound" -a "${start_timeout:-0}" -gt $((wait_bound * 1000000 + 30000000))
# shellcheck disable=SC2016 # systemd's to expand
expect_eq "after every stop, as root, what waits is saved for prepare's owner and mode" \
    '+/usr/bin/useraccountctl save --owner useraccountd --mode ${USERACCOUNTD_QUEUE_MODE}' \
    "$(setting ExecStopPost)"
# shellcheck disable=SC2016 # $MAINPID is systemd's to expand
expect_eq "reloads with SIGHUP" '/bin/kill -HUP $MAINPID' "$(setting ExecReload)"
expect_eq "started once the daemon says it is ready" notify "$(setting Type)"
expect_eq "only the daemon's own notifications count" "" "$(setting NotifyAccess)"
expect_eq "restarts on failure" on-failure "$(setting Restart)"
expect_eq "runs as its own user" useraccountd "$(setting User)"
check "prepares the queue for that user" \
    grep -q -- ' prepare --owner useraccountd ' <<<"$(setting ExecStartPre)"
before=$(setting Before | xargs)
for unit in systemd-user-sessions.service systemd-logind.service cron.service atd.service \
    postfix@-.service exim4.service; do
    check "the queue is ready before $unit runs users' code" grep -qw -- "$unit" <<<"$before"
done
# Without the environment file the unit's own values count: the same as the
# file's. The file is optional ("-").
expect_eq "default sender group, mode and record size" \
    "USERACCOUNTD_QUEUE_GROUP=useraccount USERACCOUNTD_QUEUE_MODE=0620 USERACCOUNTD_RECORD_SIZE=2097152" \
    "$(setting Environment | xargs)"
expect_eq "the environment file is optional" -/etc/default/useraccountd "$(setting EnvironmentFile)"
expect_eq "the environment file sets the unit's values" "$(setting Environment | xargs)" \
    "$(grep -E '^USERACCOUNTD_(QUEUE_GROUP|QUEUE_MODE|RECORD_SIZE)=' "$source_dir/dist/useraccountd.default" | xargs)"
expect_eq "the unit's record size is the daemon's own default" \
    "$("$binary_dir/useraccountd" --help | sed -n 's/.*--record_size .*(default \([0-9]*\)).*/\1/p')" \
    "$(setting Environment | grep -oE 'USERACCOUNTD_RECORD_SIZE=[0-9]+' | cut -d= -f2)"
expect_eq "runs as its own group" useraccountd "$(setting Group)"
expect_eq "the queue outlives the service" no "$(setting RemoveIPC)"
for word in -d --daemon -p --pid_file -l --log_file; do
    expect_not_contains "ExecStart has no $word" " $word " "$exec_start "
done

# Each of these makes setuid sudo powerless for a service with User= (directly
# or by implying NoNewPrivileges=), caps what root may do after sudo, hides
# the queue or removes it.
for key in NoNewPrivileges PrivateIPC RestrictSUIDSGID SystemCallFilter \
    SystemCallArchitectures LockPersonality MemoryDenyWriteExecute RestrictNamespaces \
    RestrictRealtime RestrictAddressFamilies PrivateDevices ProtectClock ProtectHostname \
    ProtectKernelTunables ProtectKernelModules ProtectKernelLogs PrivateUsers DynamicUser \
    CapabilityBoundingSet AmbientCapabilities ProtectHome IPCNamespacePath; do
    expect_eq "$key is not set" "" "$(setting "$key")"
done
protect_system=$(setting ProtectSystem)
check "ProtectSystem leaves /etc writable for useradd (is '$protect_system')" \
    test "$protect_system" != full -a "$protect_system" != strict

# One user name everywhere that grants or uses the daemon's rights.
sudoers_user=$(grep -E '^[a-z_][a-z0-9_-]* +ALL *=' "$root/etc/sudoers.d/useraccountd" | awk '{print $1}')
expect_eq "the sudoers rule names the unit's user" useraccountd "$sudoers_user"
expect_contains "postinst creates the unit's user" "service_user=useraccountd" \
    "$(cat "$source_dir/debian/useraccountd.postinst")"

finish
