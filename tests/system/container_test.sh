#!/bin/bash
# shellcheck disable=SC2317 # helpers run through check and the exit trap
# The Debian package under a real systemd: a minimal Debian 12 is built with
# mmdebstrap, booted with systemd-nspawn, and the package is installed with
# apt, reinstalled, removed and purged with dpkg, while systemctl and the
# journal show what the service does: the queue it prepares, the account
# commands it runs for root and for the sender group (and refuses to others,
# in real logind sessions), the queue outliving a logout, reload, stop and
# restart in the middle of a slow command, messages waiting while it is
# stopped, log rotation, the key file across a reinstall, and nothing left
# after a purge but the system user and group.
#
# Needs root, systemd-nspawn, mmdebstrap and the host's apt sources; without
# them it is skipped (exit 77), except under CI=true. Everything it makes is
# removed on exit: the container is powered off, its root removed.
# Usage: container_test.sh SOURCE_DIR BINARY_DIR
set -uo pipefail
here=$(cd -- "$(dirname -- "$0")" && pwd)
# shellcheck source=lib.sh
. "$here/../dist/lib.sh"

source_dir=$1
binary_dir=$2

if [[ $(id -u) != 0 ]]; then
    skip_or_fail "booting a container needs root"
fi
require_tool systemd-nspawn
require_tool mmdebstrap
require_tool nsenter
shopt -s nullglob
sources=(/etc/apt/sources.list.d/*.sources)
if [[ -f /etc/apt/sources.list ]] && grep -q '^deb ' /etc/apt/sources.list; then
    sources+=(/etc/apt/sources.list)
fi
((${#sources[@]})) || skip_or_fail "no apt sources on this host for mmdebstrap"
debs=("$binary_dir"/package/useraccountd_*.deb)
shopt -u nullglob
if ((${#debs[@]} != 1)); then
    bash "$source_dir/tests/dist/package_build_test.sh" "$source_dir" "$binary_dir" >/dev/null ||
        skip_or_fail "no package in $binary_dir/package, and it could not be built"
    debs=("$binary_dir"/package/useraccountd_*.deb)
fi
deb=${debs[0]}

# One booted container per machine: two side by side share the host's cgroup,
# and systemd's kills in one then hit the other. A second run waits its turn.
exec {machine_lock}>/run/lock/useraccountd-container.lock
flock "$machine_lock"

name=useraccountd-test-$$
work=$(mktemp -d "${TMPDIR:-/var/tmp}/useraccountd-system.XXXXXX")
rootfs=$work/root
nspawn_pid=
cleanup() {
    if [[ -n $nspawn_pid ]] && kill -0 "$nspawn_pid" 2>/dev/null; then
        # SIGTERM powers the container off in order.
        kill -TERM "$nspawn_pid"
        local tries=0
        while kill -0 "$nspawn_pid" 2>/dev/null && ((tries++ < 100)); do
            sleep 0.1
        done
        kill -KILL "$nspawn_pid" 2>/dev/null
        wait "$nspawn_pid" 2>/dev/null
    fi
    rm -rf --one-file-system -- "$work"
    rm -rf -- "/run/systemd/nspawn/propagate/$name"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

section() {
    printf '== %s (at %d s)\n' "$1" "$SECONDS"
}

# Runs a command inside the container as root, with a clean environment and
# no terminal.
leader=
in_ct() {
    timeout 150 nsenter -t "$leader" -a env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
        LC_ALL=C.UTF-8 "$@" </dev/null
}
# as_user USER COMMAND: COMMAND in a real login session of USER (pam_systemd
# registers it with logind); the command's exit status is returned.
as_user() {
    in_ct systemd-run --wait --pipe -q -- runuser -l "$1" -c "$2"
}

# Journal since a cursor, "EPOCH HOST IDENT[PID]: MESSAGE" per entry.
# (--after-cursor together with -t or -u finds nothing in this systemd.)
cursor() {
    in_ct journalctl -q -n 1 --show-cursor -o cat | sed -n 's/^-- cursor: //p'
}
journal_after() {
    in_ct journalctl -q --no-pager -o short-unix --after-cursor="$1"
}
# wait_journal CURSOR REGEX [SECONDS]: until an entry after CURSOR matches.
wait_journal() {
    local deadline=$((SECONDS + ${3:-20}))
    while ((SECONDS < deadline)); do
        if journal_after "$1" | grep -qE -- "$2"; then
            return 0
        fi
        sleep 0.2
    done
    return 1
}
# time_of CURSOR REGEX: the time of the first entry after CURSOR that matches.
time_of() {
    journal_after "$1" | grep -E -m1 -- "$2" | cut -d' ' -f1
}
# seconds_between T1 T2: T2 - T1, with two decimals.
seconds_between() {
    awk -v a="$1" -v b="$2" 'BEGIN { if (a == "" || b == "") print "none"; else printf "%.2f", b - a }'
}
# in_range VALUE LOW HIGH: LOW <= VALUE < HIGH.
in_range() {
    awk -v v="$1" -v lo="$2" -v hi="$3" 'BEGIN { exit !(v != "none" && v + 0 >= lo && v + 0 < hi) }'
}

# No stop may end in a kill: systemd says so when one is sent.
expect_no_kill() {
    expect_eq "$1: systemd killed nothing" "" \
        "$(journal_after "$2" | grep -E 'SIGKILL|Killing process|timed out|Failed with result')"
}
user_exists() {
    in_ct getent passwd "$1" >/dev/null
}
group_exists() {
    in_ct getent group "$1" >/dev/null
}
unit_property() {
    in_ct systemctl show -p "$1" --value useraccountd.service
}
queue_line() {
    in_ct ipcs -q | awk -v key="$1" '$1 == key'
}
# The site's script with a slow command: "slow WORD" sleeps 5 s, then logs.
make_script_slow() {
    # shellcheck disable=SC2016 # for the script to expand
    in_ct sed -i 's/^set -euo pipefail$/&\
if [[ ${1-} == slow ]]; then sleep 5; logger -t useraccount "slow command done: ${2-}"; exit 0; fi/' \
        /etc/useraccountd/useraccount.sh
}

dump_journal_on_failure() {
    if ((failures > 0)) && [[ -n $leader ]]; then
        echo "--- last journal entries in the container:" >&2
        in_ct journalctl -q --no-pager -o short-unix -n 80 >&2
    fi
}
finish_early() {
    dump_journal_on_failure
    finish
}

section "root file system"
if ! mmdebstrap --variant=minbase \
    --include=systemd,systemd-sysv,dbus,libpam-systemd,sudo,adduser,passwd,procps,logrotate \
    --customize-hook="echo '$name' >\"\$1/etc/hostname\"" \
    --customize-hook="printf '127.0.0.1 localhost\\n127.0.1.1 %s\\n' '$name' >\"\$1/etc/hosts\"" \
    bookworm "$rootfs" "${sources[@]}" >"$work/mmdebstrap.log" 2>&1; then
    tail -n 20 "$work/mmdebstrap.log" >&2
    fail "mmdebstrap"
    finish
fi

section "boot"
SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 setsid systemd-nspawn -b -D "$rootfs" -M "$name" \
    --register=no --keep-unit --private-network --console=passive \
    </dev/null >"$work/nspawn.log" 2>&1 &
nspawn_pid=$!
state=
for _ in $(seq 300); do
    leader=$(cat /proc/"$nspawn_pid"/task/*/children 2>/dev/null | awk '{print $1; exit}')
    if [[ -n $leader ]]; then
        state=$(in_ct systemctl is-system-running 2>/dev/null)
        [[ $state == running || $state == degraded ]] && break
    fi
    sleep 0.2
done
expect_eq "the container's systemd is up" running "$state"
if [[ $state != running ]]; then
    cat "$work/nspawn.log" >&2
    [[ -n $leader ]] && in_ct systemctl --failed --no-pager >&2
    finish_early
fi

section "install"
cp -- "$deb" "$rootfs/root/useraccountd.deb"
mark=$(cursor)
if ! in_ct env DEBIAN_FRONTEND=noninteractive apt-get install -y -q /root/useraccountd.deb \
    >"$work/install.log" 2>&1; then
    cat "$work/install.log" >&2
    fail "apt-get install of the package"
fi
expect_eq "install enables the service" enabled "$(in_ct systemctl is-enabled useraccountd)"
expect_eq "install starts the service" active "$(in_ct systemctl is-active useraccountd)"
check "the queue is prepared before the daemon starts" \
    wait_journal "$mark" 'useraccountctl\[[0-9]+\]: created queue .*owner [0-9]+ \(useraccountd\), group [0-9]+ \(useraccount\), mode 0620'
check "the daemon logs its start" wait_journal "$mark" 'useraccountd\[[0-9]+\]: Started useraccountd'
status=$(in_ct useraccountctl status)
expect_contains "status: creator is root" "creator:        user 0 (root)" "$status"
check "status: owner is the service user, group the sender group" \
    grep -qE '^owner: +user [0-9]+ \(useraccountd\), group [0-9]+ \(useraccount\)$' <<<"$status"
expect_contains "status: mode" "permissions:    0620" "$status"
queue_id=$(sed -n 's/^id: *//p' <<<"$status")
queue_key=$(sed -n 's/^queue: *exists (key \(0x[0-9a-f]*\))$/\1/p' <<<"$status")
expect_eq "ipcs -q -c: mode, creator and owner" "$queue_id 620 root useraccount useraccountd useraccount" \
    "$(in_ct ipcs -q -c | awk -v id="$queue_id" '$1 == id {print $1, $2, $3, $4, $5, $6}')"
expect_eq "ipcs -q: the key status names, empty" "$queue_key $queue_id 0" \
    "$(queue_line "$queue_key" | awk '{print $1, $2, $6}')"
main_pid=$(unit_property MainPID)
if [[ $(in_ct systemctl is-active useraccountd) != active ]]; then
    finish_early
fi

section "an account command from root"
mark=$(cursor)
check "root sends add alice" in_ct useraccountctl send add alice
check "the script logs that it added alice" wait_journal "$mark" 'useraccount\[[0-9]+\]: added user alice$'
check "alice exists" user_exists alice
journal=$(journal_after "$mark")
check "sudo logs the command it ran as root" grep -qE \
    'sudo\[[0-9]+\]: +useraccountd : .*USER=root ; COMMAND=(/usr)?/bin/bash /quex/sbin/useraccount.sh add alice$' \
    <<<"$journal"
echo_time=$(time_of "$mark" "useraccountd\\[$main_pid\\]: Tesing\\.\\.\\.\\.\\.\\. Type:1      add alice$")
script_time=$(time_of "$mark" 'useraccount\[[0-9]+\]: added user alice$')
check "the echo line is in the journal before the command's end, not at the daemon's exit" \
    in_range "$(seconds_between "$echo_time" "$script_time")" 0 10
expect_eq "the same daemon still runs" "$main_pid" "$(unit_property MainPID)"

section "senders in logind sessions"
in_ct useradd -m bob
in_ct useradd -m -G useraccount carol
carol_uid=$(in_ct id -u carol)
mark=$(cursor)
# shellcheck disable=SC2016 # for the user's shell to expand
bob_output=$(as_user bob 'echo "session=$XDG_SESSION_ID"; useraccountctl send add mallory 2>&1')
bob_status=$?
expect_eq "bob, outside the sender group, is refused" 1 "$bob_status"
check "bob's command ran in a logind session" grep -qE '^session=.+' <<<"$bob_output"
expect_contains "bob is told why" "Permission denied" "$bob_output"
expect_eq "nothing of bob's is on the queue" 0 "$(queue_line "$queue_key" | awk '{print $6}')"
# shellcheck disable=SC2016 # for the user's shell to expand
carol_output=$(as_user carol 'echo "session=$XDG_SESSION_ID"; useraccountctl send add erin && ipcmk -Q')
expect_eq "carol, in the sender group, may send" 0 "$?"
check "carol's command ran in a logind session" grep -qE '^session=.+' <<<"$carol_output"
carol_queue=$(sed -n 's/^Message queue id: //p' <<<"$carol_output")
check "carol made a queue of her own" test -n "$carol_queue"
check "carol's command is served" wait_journal "$mark" 'useraccount\[[0-9]+\]: added user erin$'
expect_not_contains "bob's command never reached the daemon" "Type:1      add mallory" "$(journal_after "$mark")"
expect_eq "no user mallory" "" "$(in_ct getent passwd mallory)"

section "logout"
# logind stops a user's manager about 10 s after the last session ends, and
# then removes the user's IPC objects: carol's own queue shows it happened.
logged_out=no
for _ in $(seq 150); do
    if ! in_ct ipcs -q | awk -v id="$carol_queue" '$2 == id {found = 1} END {exit !found}'; then
        logged_out=yes
        break
    fi
    sleep 0.2
done
expect_eq "logind removed carol's own queue at her logout" yes "$logged_out"
expect_eq "carol's user manager is gone" inactive "$(in_ct systemctl is-active "user@$carol_uid.service")"
expect_eq "the service's queue is still there, the same one" "$queue_key $queue_id" \
    "$(queue_line "$queue_key" | awk '{print $1, $2}')"

section "squat after the queue was removed"
# An administrator removes the queue; the daemon ends with 1 and systemd
# starts it again 5 s later. A user who creates the queue in between, open to
# all, with a command on it, loses it to prepare, and the service comes back.
mark=$(cursor)
check "the administrator removes the queue" in_ct ipcrm -q "$queue_id"
# shellcheck disable=SC2016 # for perl
squat_id=$(in_ct setpriv --reuid bob --regid bob --init-groups perl -e '
    my $id = msgget(hex $ARGV[0], 01666) // die "msgget: $!\n";
    msgsnd($id, pack("l! a*", 1, "add mallory"), 0) or die "msgsnd: $!\n";
    print "$id\n";' "$queue_key")
check "bob creates the queue, mode 0666, and puts a command on it ($squat_id)" test -n "$squat_id"
check "prepare removes bob's queue, saying whose it was and what it discarded" \
    wait_journal "$mark" "useraccountctl\\[[0-9]+\\]: removed queue $squat_id \\(key $queue_key\\), created by uid [0-9]+ \\(bob\\), who is neither root nor useraccountd: 1 message\\(s\\) on it discarded unread" 30
check "the daemon starts again" wait_journal "$mark" 'useraccountd\[[0-9]+\]: Started useraccountd$' 15
expect_eq "the service is active again" active "$(in_ct systemctl is-active useraccountd)"
status=$(in_ct useraccountctl status)
queue_id=$(sed -n 's/^id: *//p' <<<"$status")
check "a queue of the service's own, not bob's ($queue_id)" test -n "$queue_id" -a "$queue_id" != "$squat_id"
expect_eq "ipcs -q -c: the new queue's mode, creator and owner" "$queue_id 620 root useraccount useraccountd useraccount" \
    "$(in_ct ipcs -q -c | awk -v id="$queue_id" '$1 == id {print $1, $2, $3, $4, $5, $6}')"
expect_eq "nothing of bob's is on it" 0 "$(queue_line "$queue_key" | awk '{print $6}')"
mark=$(cursor)
check "root sends add after-squat" in_ct useraccountctl send add after-squat
check "the new daemon serves it" wait_journal "$mark" 'useraccount\[[0-9]+\]: added user after-squat$'
expect_eq "no user mallory" "" "$(in_ct getent passwd mallory)"
main_pid=$(unit_property MainPID)
# Ordered before logind and the user sessions, the unit makes no ordering
# cycle in the transaction that boots the system.
expect_not_contains "the boot transaction has no ordering cycle" "ordering cycle" \
    "$(in_ct systemd-analyze verify multi-user.target 2>&1)"

section "C1 controls in the echo line"
# The journal keeps a line with C1 controls or bytes that are not UTF-8 only
# as a blob; escaped, the echo line stays text, with UTF-8 as sent.
mark=$(cursor)
in_ct useraccountctl send --type 2 --raw $'c1 \xc2\x9b2J\xc2\x85 raw \x9b \xc3\xa9'
check "the echo line is text in the journal, C1 controls and stray bytes escaped" \
    wait_journal "$mark" $'Type:2      c1 \\\\xc2\\\\x9b2J\\\\xc2\\\\x85 raw \\\\x9b \xc3\xa9$'

section "reload"
# pace PREFIX: sends two messages of type 2 (no command) and prints the time
# between their echo lines, the pause after the first.
pace() {
    local mark first second
    mark=$(cursor)
    in_ct useraccountctl send --type 2 "$1-first"
    in_ct useraccountctl send --type 2 "$1-second"
    wait_journal "$mark" "Type:2      $1-second\$" 15 || return 0
    first=$(time_of "$mark" "Type:2      $1-first\$")
    second=$(time_of "$mark" "Type:2      $1-second\$")
    seconds_between "$first" "$second"
}
before=$(pace before-reload)
echo "pause before the reload: $before s"
check "the packaged pause of 1 s ($before s)" in_range "$before" 0.9 2.5
mark=$(cursor)
in_ct sh -c 'printf "3\nThis site pauses three seconds.\n" >/etc/useraccountd.conf'
check "systemctl reload" in_ct systemctl reload useraccountd
check "the daemon logs the reload" \
    wait_journal "$mark" 'useraccountd\[[0-9]+\]: Reloaded configuration file /etc/useraccountd.conf of useraccountd'
after=$(pace after-reload)
echo "pause after the reload: $after s"
check "the new pause of 3 s ($after s)" in_range "$after" 2.9 5
# Back to one second, in a configuration file of this site's own.
mark=$(cursor)
in_ct sh -c 'printf "1\nThis site pauses one second.\n" >/etc/useraccountd.conf'
in_ct systemctl reload useraccountd
wait_journal "$mark" 'Reloaded configuration file' >/dev/null
expect_eq "reload keeps the daemon" "$main_pid" "$(unit_property MainPID)"

# stop_during_slow_command WORD NEXT ACTION: sends "slow WORD" and "add
# NEXT", and once the slow command runs, asks systemctl for ACTION. Leaves
# the journal from before the sends in action_mark and action_journal.
stop_during_slow_command() {
    local word=$1 next=$2 action=$3 started took done_time stopped_time
    action_mark=$(cursor)
    in_ct useraccountctl send slow "$word"
    in_ct useraccountctl send add "$next"
    wait_journal "$action_mark" "COMMAND=(/usr)?/bin/bash /quex/sbin/useraccount.sh slow $word\$" 15
    started=$(date +%s.%N)
    check "systemctl $action during a command" in_ct systemctl "$action" useraccountd
    took=$(seconds_between "$started" "$(date +%s.%N)")
    echo "systemctl $action during a 5 s command took $took s"
    action_journal=$(journal_after "$action_mark")
    done_time=$(time_of "$action_mark" "useraccount\\[[0-9]+\\]: slow command done: $word\$")
    stopped_time=$(time_of "$action_mark" 'useraccountd\[[0-9]+\]: Stopped useraccountd$')
    check "$action: systemctl waited for the command ($took s)" in_range "$took" 3 60
    check "$action: the command finished (at $done_time)" test -n "$done_time"
    check "$action: then the daemon stopped in order (at $stopped_time)" \
        in_range "$(seconds_between "$done_time" "$stopped_time")" 0 5
    expect_no_kill "$action" "$action_mark"
}

section "stop during a command"
make_script_slow
stop_during_slow_command one after-stop stop
expect_eq "stop: the unit's result" success "$(unit_property Result)"
expect_eq "stop: the daemon's exit status" 0 "$(unit_property ExecMainStatus)"
expect_eq "stop: the service is inactive" inactive "$(in_ct systemctl is-active useraccountd)"
expect_contains "stop: the next message stays on the queue" "add after-stop" "$(in_ct useraccountctl list)"
expect_not_contains "stop: the next message did not run" "added user after-stop" "$action_journal"

section "messages sent while stopped"
check "root sends while the service is stopped" in_ct useraccountctl send add while-stopped
expect_eq "two messages wait" 2 "$(queue_line "$queue_key" | awk '{print $6}')"
mark=$(cursor)
check "systemctl start" in_ct systemctl start useraccountd
check "the waiting messages are served after start" \
    wait_journal "$mark" 'useraccount\[[0-9]+\]: added user while-stopped$'
first_time=$(time_of "$mark" 'added user after-stop$')
second_time=$(time_of "$mark" 'added user while-stopped$')
check "oldest first" in_range "$(seconds_between "$first_time" "$second_time")" 0.5 10
main_pid=$(unit_property MainPID)

section "restart during a command"
stop_during_slow_command two after-restart restart
mark=$action_mark
expect_eq "restart: the unit's result" success "$(unit_property Result)"
check "restart: a new daemon" test "$(unit_property MainPID)" != "$main_pid"
check "restart: the new daemon serves the next message" \
    wait_journal "$mark" 'useraccount\[[0-9]+\]: added user after-restart$'
started_time=$(journal_after "$mark" | grep -E 'useraccountd\[[0-9]+\]: Started useraccountd$' | tail -n1 | cut -d' ' -f1)
served_time=$(time_of "$mark" 'Type:1      add after-restart$')
check "restart: the next message is taken only by the new daemon" \
    in_range "$(seconds_between "$started_time" "$served_time")" 0 10

section "idle stop"
sleep 1.5
mark=$(cursor)
started=$(date +%s.%N)
check "systemctl stop while idle" in_ct systemctl stop useraccountd
idle_stop=$(seconds_between "$started" "$(date +%s.%N)")
echo "systemctl stop while idle took $idle_stop s"
check "an idle stop is quick ($idle_stop s)" in_range "$idle_stop" 0 1.5
expect_eq "idle stop: the unit's result" success "$(unit_property Result)"
expect_no_kill "idle stop" "$mark"
check "start again" in_ct systemctl start useraccountd

section "log rotation"
log=/var/log/useraccountd/useraccountd.log
check "the daemon writes its log" in_ct grep -q '^Debug: ' "$log"
rotate_output=$(in_ct logrotate -f /etc/logrotate.d/useraccountd 2>&1)
expect_eq "logrotate -f succeeds quietly" "0 " "$? $rotate_output"
check "the old lines are in the rotated file" in_ct grep -q '^Debug: ' "$log.1"
mark=$(cursor)
in_ct useraccountctl send --type 2 after-rotation
wait_journal "$mark" 'Type:2      after-rotation$' >/dev/null
sleep 1.2
check "the daemon goes on writing to the emptied log" in_ct grep -q '^Debug: ' "$log"
expect_eq "no hole at the start of the log" 0 "$(in_ct sh -c "tr -cd '\\000' <$log | wc -c")"

section "reinstall"
key_inode=$(in_ct stat -c %i /quex/etc/useraccount/useraccountkey.json)
mark=$(cursor)
if ! in_ct env DEBIAN_FRONTEND=noninteractive dpkg -i /root/useraccountd.deb >"$work/reinstall.log" 2>&1; then
    cat "$work/reinstall.log" >&2
    fail "dpkg -i of the same package again"
fi
expect_eq "the key file keeps its inode" "$key_inode" "$(in_ct stat -c %i /quex/etc/useraccount/useraccountkey.json)"
expect_contains "the tool finds the same queue" "exists (key $queue_key)" "$(in_ct useraccountctl status)"
expect_eq "the queue is the same" "$queue_key $queue_id" "$(queue_line "$queue_key" | awk '{print $1, $2}')"
check "the site's script survives" in_ct grep -q 'slow command done' /etc/useraccountd/useraccount.sh
expect_contains "the site's configuration survives" "This site pauses one second." \
    "$(in_ct cat /etc/useraccountd.conf)"
expect_eq "one service user" 1 "$(in_ct grep -c '^useraccountd:' /etc/passwd)"
expect_eq "the service runs after the reinstall" active "$(in_ct systemctl is-active useraccountd)"
expect_no_kill "reinstall" "$mark"

section "remove, then install again"
if ! in_ct dpkg -r useraccountd >"$work/remove.log" 2>&1; then
    cat "$work/remove.log" >&2
    fail "dpkg -r"
fi
expect_not_contains "dpkg -r warns of nothing" warning "$(cat "$work/remove.log")"
expect_eq "remove stops the service" inactive "$(in_ct systemctl is-active useraccountd)"
check "remove keeps the key file" in_ct test -f /quex/etc/useraccount/useraccountkey.json
expect_eq "remove keeps the queue" "$queue_key $queue_id" "$(queue_line "$queue_key" | awk '{print $1, $2}')"
if ! in_ct env DEBIAN_FRONTEND=noninteractive dpkg -i /root/useraccountd.deb >"$work/install-again.log" 2>&1; then
    cat "$work/install-again.log" >&2
    fail "dpkg -i after dpkg -r"
fi
expect_eq "the service is enabled again" enabled "$(in_ct systemctl is-enabled useraccountd)"
expect_eq "the service runs again" active "$(in_ct systemctl is-active useraccountd)"
expect_eq "the key file still keeps its inode" "$key_inode" \
    "$(in_ct stat -c %i /quex/etc/useraccount/useraccountkey.json)"

section "remove and purge"
for step in -r -P; do
    if ! in_ct dpkg "$step" useraccountd >"$work/purge$step.log" 2>&1; then
        cat "$work/purge$step.log" >&2
        fail "dpkg $step"
    fi
    expect_not_contains "dpkg $step warns of nothing" warning "$(cat "$work/purge$step.log")"
done
rm -f -- "$rootfs/root/useraccountd.deb"
# shellcheck disable=SC2016 # a dpkg-query field
expect_eq "the package is gone from dpkg's database" "" \
    "$(in_ct dpkg-query -W -f='${Status}' useraccountd 2>/dev/null)"
expect_eq "no file, link or directory of the package is left" "" \
    "$(in_ct find / -xdev \( -path /proc -o -path /sys -o -path /dev -o -path /run \) -prune \
        -o \( -name '*useraccount*' -o -path /quex \) -print)"
expect_eq "purge removes the queue" "" "$(queue_line "$queue_key")"
check "purge keeps the service user" user_exists useraccountd
check "purge keeps the sender group" group_exists useraccount

section "purge beside another program's queue"
# Another program may hold a queue under the same key: the purge leaves it.
cp -- "$deb" "$rootfs/root/useraccountd.deb"
in_ct env DEBIAN_FRONTEND=noninteractive apt-get install -y -q /root/useraccountd.deb >"$work/install-3.log" 2>&1 ||
    fail "apt-get install for the purge"
rm -f -- "$rootfs/root/useraccountd.deb"
queue_key=$(in_ct useraccountctl status | sed -n 's/^queue: *exists (key \(0x[0-9a-f]*\))$/\1/p')
in_ct dpkg -r useraccountd >"$work/remove-3.log" 2>&1 || fail "dpkg -r before the purge"
check "the service's queue goes by hand" in_ct ipcrm -Q "$queue_key"
# shellcheck disable=SC2016 # for perl
other_id=$(in_ct setpriv --reuid bob --regid bob --init-groups perl -e '
    my $id = msgget(hex $ARGV[0], 01600) // die "msgget: $!\n";
    msgsnd($id, pack("l! a*", 5, "not for useraccountd"), 0) or die "msgsnd: $!\n";
    print "$id\n";' "$queue_key")
check "another program makes a queue with the key $queue_key ($other_id)" test -n "$other_id"
in_ct dpkg -P useraccountd >"$work/purge-3.log" 2>&1 || fail "dpkg -P beside another program's queue"
check "purge removes the key file" in_ct test ! -e /quex/etc/useraccount/useraccountkey.json
expect_eq "the other program's queue survives the purge, its message on it" "$queue_key $other_id 1" \
    "$(queue_line "$queue_key" | awk '{print $1, $2, $6}')"
in_ct ipcrm -q "$other_id"

section "done"
dump_journal_on_failure
finish
