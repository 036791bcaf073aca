#!/bin/bash
# The installed systemd unit: systemd-analyze verify accepts it without a
# warning; it stops with SIGINT, reloads with SIGHUP, restarts on failure and
# runs the daemon in the foreground as the user that the sudoers rule, the
# logrotate snippet and the package's postinst name; and none of its
# hardening would stop sudo from becoming root or hide or remove the queue.
#
# verify insists that ExecStart's binary exists, and looks the Documentation=
# pages up with man: the unit is installed into a scratch tree (prefix /usr),
# a copy has its ExecStart pointed at the binary in that tree, and MANPATH
# points at the pages installed there.
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
expect_eq "ExecStart runs the installed daemon in the foreground" \
    "@/usr/sbin/useraccountd useraccountd -c /etc/useraccountd.conf -l /var/log/useraccountd/useraccountd.log" \
    "$exec_start"
check "the configuration file named by -c is installed" test -f "$root/etc/useraccountd.conf"

mkdir "$scratch/verify"
sed "s|^ExecStart=@/usr/sbin/|ExecStart=@$root/usr/sbin/|" "$unit" >"$scratch/verify/useraccountd.service"
check "ExecStart rewritten for verify" grep -q "^ExecStart=@$root/usr/sbin/useraccountd " \
    "$scratch/verify/useraccountd.service"
verify_output=$(MANPATH=$root/usr/share/man systemd-analyze verify \
    "$scratch/verify/useraccountd.service" 2>&1)
verify_status=$?
expect_eq "systemd-analyze verify status" 0 "$verify_status"
expect_eq "systemd-analyze verify has nothing to say" "" "$verify_output"

expect_eq "stops with SIGINT, the daemon's orderly stop" SIGINT "$(setting KillSignal)"
expect_eq "only the daemon gets the stop signal, not a running command" mixed "$(setting KillMode)"
# shellcheck disable=SC2016 # $MAINPID is systemd's to expand
expect_eq "reloads with SIGHUP" '/bin/kill -HUP $MAINPID' "$(setting ExecReload)"
expect_eq "restarts on failure" on-failure "$(setting Restart)"
expect_eq "runs as its own user" useraccountd "$(setting User)"
expect_eq "runs as its own group" useraccountd "$(setting Group)"
expect_eq "the queue outlives the service" no "$(setting RemoveIPC)"
expect_eq "log directory is the one -l names" useraccountd "$(setting LogsDirectory)"
for word in -d --daemon -p --pid_file; do
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
expect_contains "logrotate rotates as the unit's user" "su useraccountd useraccountd" \
    "$(cat "$root/etc/logrotate.d/useraccountd")"
expect_contains "logrotate rotates the log that -l names" "/var/log/useraccountd/*.log" \
    "$(cat "$root/etc/logrotate.d/useraccountd")"
expect_contains "postinst creates the unit's user" "user=useraccountd" \
    "$(cat "$source_dir/dist/debian/postinst")"

finish
