#!/bin/bash
# shellcheck disable=SC2317 # helpers run through check and the exit trap
# The Debian package under a real systemd: a minimal Debian 12 is built with
# mmdebstrap, booted with systemd-nspawn, and the package is installed with
# apt, reinstalled, removed and purged with dpkg, while systemctl and the
# journal show what the service does: the queue it prepares, the account
# commands it runs for root and for the sender group (and refuses to others,
# in real logind sessions), the outcome record that the group reads (and
# nobody else) through a rotation, a full disk and a killed daemon, the queue
# outliving a logout, the account script acting only on the accounts it
# manages, locking them against an ssh key and su, and never reusing an ID,
# nor giving one in a subordinate range, nor held up by a local user's
# locks, mounts or stopping signals, nor leaving a deleted account anything
# that runs, in a user namespace included, reload, stop and
# restart in the middle of a slow command and under a backlog, messages
# waiting while it is stopped, a killed daemon and a stop that timed out (the
# command runs to its end, the next waits for it), a start refused while sudo
# would refuse the script, a full /var/log, commands waiting across a reboot
# (a second boot of the same root) and a restart, a bounded wait for a command
# that outlived its daemon, a queue that a user took
# under the key (which neither root nor a sender sends to), a user who
# re-creates the queue in a loop, accounts that the script keeps in the
# container's slapd and nslcd shows, the key file across a reinstall, and
# nothing left after a purge but the system user, the groups and the
# script's ID mark and lock records; and the package's own autopkgtest.
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
# sent COMMAND...: the outcome and status in the command's line of the record.
sent() {
    in_ct useraccountctl send --wait=60 "$@" | cut -f3,4 | tr '\t' ' '
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
        # Not through a pipe: grep -q would stop reading at the first match,
        # and a long journal's SIGPIPE would fail the pipeline (pipefail).
        if grep -qE -- "$2" <<<"$(journal_after "$1")"; then
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
# queue_as_bob KEY FLAGS TYPE TEXT: the user bob creates (or opens) the queue
# with KEY and FLAGS and puts one message on it; prints the queue's id.
queue_as_bob() {
    # shellcheck disable=SC2016 # for perl
    in_ct setpriv --reuid bob --regid bob --init-groups perl -e '
        my $id = msgget(hex $ARGV[0], oct $ARGV[1]) // die "msgget: $!\n";
        msgsnd($id, pack("l! a*", $ARGV[2], $ARGV[3]), 0) or die "msgsnd: $!\n";
        print "$id\n";' "$@"
}
fails() {
    ! "$@"
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
# The site's script with a slow and a quick command: "slow WORD [SECONDS]"
# sleeps SECONDS (5 by default), "quick WORD" does not; then each logs.
make_script_slow() {
    # shellcheck disable=SC2016 # for the script to expand
    in_ct sed -i 's/^set -euo pipefail$/&\
if [[ ${1-} == slow ]]; then sleep "${3-5}"; logger -t useraccount "slow command done: ${2-}"; exit 0; fi\
if [[ ${1-} == quick ]]; then logger -t useraccount "quick command done: ${2-}"; exit 0; fi/' \
        /etc/useraccountd/useraccount.sh
}
# set_pause SECONDS: the site's pause, reloaded.
set_pause() {
    local mark
    mark=$(cursor)
    in_ct sh -c "printf '%s\\nThis site pauses %s s.\\n' $1 $1 >/etc/useraccountd.conf"
    in_ct systemctl reload useraccountd
    wait_journal "$mark" 'Reloaded configuration file' >/dev/null
}
# systemd refuses a sixth start of the unit within 10 s, counting every
# start: how many of them earlier sections fit into the last 10 s depends on
# the machine's speed. Each section that starts the service begins here, so
# that only its own starts count.
reset_start_limit() {
    in_ct systemctl reset-failed useraccountd
}
# wait_idle: until the daemon waits for a message with nothing queued, as
# its own last journal line and the queue show.
wait_idle() {
    local pid deadline=$((SECONDS + 20))
    pid=$(unit_property MainPID)
    while ((SECONDS < deadline)); do
        if [[ $(queue_line "$queue_key" | awk '{print $6}') == 0 ]] &&
            in_ct journalctl -q -o cat _PID="$pid" -n 1 | grep -q '^receiving msg\.'; then
            return 0
        fi
        sleep 0.2
    done
    return 1
}
# wait_status TEXT: until the daemon's status, as systemd shows it, is TEXT.
wait_status() {
    local deadline=$((SECONDS + 20))
    while ((SECONDS < deadline)); do
        [[ $(unit_property StatusText) == "$1" ]] && return 0
        sleep 0.2
    done
    echo "status: $(unit_property StatusText)" >&2
    return 1
}
# count_of CURSOR REGEX: entries after CURSOR that match.
count_of() {
    journal_after "$1" | grep -cE -- "$2"
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
# slapd makes its database for example.org, with a password for its admin.
if ! mmdebstrap --variant=minbase \
    --include=systemd,systemd-sysv,dbus,libpam-systemd,sudo,adduser,passwd,procps,logrotate,fuse3,bindfs,cron,at,autopkgtest,dpkg-dev,openssh-server,openssh-client,uidmap,slapd,ldap-utils,libnss-ldapd \
    --essential-hook="printf '%s\\n' 'slapd slapd/domain string example.org' 'slapd slapd/password1 password admin-secret' 'slapd slapd/password2 password admin-secret' | chroot \"\$1\" debconf-set-selections" \
    --customize-hook="echo '$name' >\"\$1/etc/hostname\"" \
    --customize-hook="printf '127.0.0.1 localhost\\n127.0.1.1 %s\\n' '$name' >\"\$1/etc/hosts\"" \
    bookworm "$rootfs" "${sources[@]}" >"$work/mmdebstrap.log" 2>&1; then
    tail -n 20 "$work/mmdebstrap.log" >&2
    fail "mmdebstrap"
    finish
fi

# boot_container: boots the root file system and waits until its systemd
# is up; leaves the state in state. power_off: the clean power-off of a
# SIGTERM to nspawn. Each boot has an IPC namespace of its own, as after a
# reboot, and a new boot id.
boot_container() {
    SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 setsid systemd-nspawn -b -D "$rootfs" -M "$name" \
        --register=no --keep-unit --private-network --console=passive \
        </dev/null >>"$work/nspawn.log" 2>&1 &
    nspawn_pid=$!
    state=
    leader=
    for _ in $(seq 300); do
        leader=$(cat /proc/"$nspawn_pid"/task/*/children 2>/dev/null | awk '{print $1; exit}')
        if [[ -n $leader ]]; then
            state=$(in_ct systemctl is-system-running 2>/dev/null)
            [[ $state == running || $state == degraded ]] && break
        fi
        sleep 0.2
    done
}
power_off() {
    local tries=0
    kill -TERM "$nspawn_pid"
    while kill -0 "$nspawn_pid" 2>/dev/null && ((tries++ < 300)); do
        sleep 0.1
    done
    kill -KILL "$nspawn_pid" 2>/dev/null
    wait "$nspawn_pid" 2>/dev/null
    rm -rf -- "/run/systemd/nspawn/propagate/$name"
}

section "boot"
boot_container
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
expect_eq "systemd waits for the daemon to say it is ready" notify "$(unit_property Type)"
expect_contains "systemctl status shows what the daemon does" \
    'Status: "Waiting for a command; served 0, failed 0"' \
    "$(in_ct systemctl status --no-pager useraccountd)"
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
record=/var/log/useraccountd/outcomes.log
expect_eq "the record's directory: the service user's, the sender group's, set-group-ID" \
    "useraccountd:useraccount 2750" "$(in_ct stat -c '%U:%G %a' "${record%/*}")"
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
check "the status counts the command" wait_status "Waiting for a command; served 1, failed 0"

section "autopkgtest"
# Debian's own test of the installed package, from its source tree, as
# Debian's CI runs it but on this testbed and offline: the null runner runs
# it right here, as root.
source_copy=$rootfs/root/useraccountd-source
mkdir -p -- "$source_copy"
copy_source_tree "$source_dir" "$source_copy"
reset_start_limit
in_ct autopkgtest -B /root/useraccountd-source -- null >"$work/autopkgtest.log" 2>&1
autopkgtest_status=$?
expect_eq "autopkgtest: every test passed, none skipped" 0 "$autopkgtest_status"
check "autopkgtest: the smoke test passed" grep -qE '^smoke +PASS$' "$work/autopkgtest.log"
((autopkgtest_status == 0)) || tail -n 40 "$work/autopkgtest.log" >&2
grep -E '^(ok: |smoke )' "$work/autopkgtest.log"
expect_eq "autopkgtest leaves the service running" active "$(in_ct systemctl is-active useraccountd)"
expect_eq "autopkgtest leaves no account of its own" "" "$(in_ct getent passwd | grep '^smoke-')"
rm -rf -- "$source_copy"
main_pid=$(unit_property MainPID)

section "senders in logind sessions"
in_ct useradd -m bob
in_ct useradd -m -G useraccount carol
carol_uid=$(in_ct id -u carol)
mark=$(cursor)
# shellcheck disable=SC2016 # for the user's shell to expand
bob_output=$(as_user bob 'echo "session=$XDG_SESSION_ID"; useraccountctl send add mallory 2>&1')
bob_status=$?
expect_eq "bob, outside the sender group, is refused: no permission" 77 "$bob_status"
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

section "the outcome record"
# carol learns from the record what the journal would not show her: an add
# that the script refused, and a lock that took effect.
mark=$(cursor)
refused_line=$(as_user carol "useraccountctl send --wait=30 add 'Bad Name'")
expect_eq "carol's refused add: send --wait says the command failed" 3 "$?"
check "her line: the script's status 2, her text ($refused_line)" \
    grep -qE $'^[0-9T:.Z-]+\t1\tfailed\t2\tadd \'Bad Name\'$' <<<"$refused_line"
lock_line=$(as_user carol 'useraccountctl send --wait=30 lock alice')
expect_eq "carol's lock: succeeded" 0 "$?"
check "her line: succeeded ($lock_line)" grep -qE $'\t1\tsucceeded\t0\tlock alice$' <<<"$lock_line"
expect_eq "the record is the service user's, the group reads it" "useraccountd:useraccount 640" \
    "$(in_ct stat -c '%U:%G %a' "$record")"
bob_read=$(as_user bob "cat $record 2>&1")
expect_eq "bob, outside the group, cannot read the record" 1 "$?"
expect_contains "bob is told why" "Permission denied" "$bob_read"
bob_output=$(as_user bob 'useraccountctl send --wait=5 lock alice 2>&1')
expect_eq "bob's send --wait fails before sending: record unreadable" 66 "$?"
expect_contains "bob is told nothing was sent" "nothing sent" "$bob_output"
# The script's entries are told apart by the user id, which no local user
# can forge.
script_says() {
    local deadline=$((SECONDS + 10))
    while ((SECONDS < deadline)); do
        grep -q -- "$1" <<<"$(in_ct journalctl -q -o cat _UID=0 SYSLOG_IDENTIFIER=useraccount)" &&
            return 0
        sleep 0.2
    done
    return 1
}
check "the journal by trusted fields holds the script's refusal" script_says 'refused: invalid user name'

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

section "the account script manages only its own accounts"
# boss is an administrator through /etc/sudoers.d alone, dock through the
# group docker, bob (made by hand above) an ordinary account the service did
# not create. Passwords make a lock visible: "!" before the hash.
in_ct groupadd docker
in_ct useradd -m boss
in_ct useradd -m -G docker dock
in_ct sh -c 'echo "boss ALL=(ALL:ALL) ALL" >/etc/sudoers.d/boss && chmod 0440 /etc/sudoers.d/boss'
in_ct sh -c 'printf "boss:Pw-1x\ndock:Pw-2x\nbob:Pw-3x\nalice:Pw-4x\n" | chpasswd'
expect_contains "sudo knows boss as an administrator" "(ALL : ALL) ALL" "$(in_ct sudo -l -U boss)"
password_state() {
    in_ct getent shadow "$1" | cut -d: -f2 | cut -c1 | sed 's/!/locked/; s/\$/unlocked/'
}
mark=$(cursor)
for user in boss dock bob alice; do
    in_ct useraccountctl send lock "$user"
done
check "alice, added by the service, is locked" wait_journal "$mark" 'useraccount\[[0-9]+\]: locked user alice$'
journal=$(journal_after "$mark")
for user in boss dock bob; do
    check "lock $user is refused: not managed" grep -qE \
        "useraccount\\[[0-9]+\\]: refused: not a managed account: $user \\(not in group useraccount-managed\\)\$" \
        <<<"$journal"
    expect_eq "$user keeps an unlocked password" unlocked "$(password_state "$user")"
done
expect_eq "alice's password is locked" locked "$(password_state alice)"
# An administrator puts an account made by hand under management.
in_ct adduser --quiet bob useraccount-managed
mark=$(cursor)
in_ct useraccountctl send lock bob
check "bob, once in the group, is locked" wait_journal "$mark" 'useraccount\[[0-9]+\]: locked user bob$'
expect_eq "bob's password is locked" locked "$(password_state bob)"

# The newest account is deleted and another added: it gets neither the old
# UID nor the old GID, nor a way into the kept home.
mark=$(cursor)
in_ct useraccountctl send add victim
check "victim is added" wait_journal "$mark" 'useraccount\[[0-9]+\]: added user victim$'
expect_contains "victim is in the managed group" useraccount-managed "$(in_ct id -nG victim)"
read -r victim_uid victim_gid <<<"$(in_ct id -u victim) $(in_ct id -g victim)"
in_ct runuser -u victim -- sh -c 'echo victim-secret >/home/victim/secret.txt; chmod 0600 /home/victim/secret.txt'
mark=$(cursor)
in_ct useraccountctl send delete victim
in_ct useraccountctl send add newbie
check "newbie is added after the delete" wait_journal "$mark" 'useraccount\[[0-9]+\]: added user newbie$'
check "victim's kept home is closed" wait_journal "$mark" \
    "useraccount\\[[0-9]+\\]: kept home directory /home/victim of victim: now root's, mode 0700\$"
check "victim is gone" test -z "$(in_ct getent passwd victim)"
read -r newbie_uid newbie_gid <<<"$(in_ct id -u newbie) $(in_ct id -g newbie)"
echo "victim had uid $victim_uid, gid $victim_gid; newbie has uid $newbie_uid, gid $newbie_gid"
check "newbie's UID is above victim's ($newbie_uid > $victim_uid)" test "$newbie_uid" -gt "$victim_uid"
check "newbie's GID is above victim's ($newbie_gid > $victim_gid)" test "$newbie_gid" -gt "$victim_gid"
check "no group holds victim's GID" test -z "$(in_ct getent group "$victim_gid")"
expect_eq "the ID mark holds newbie's ID" "$newbie_uid" "$(in_ct cat /var/lib/useraccountd/highest-id)"
expect_eq "the kept home is root's, 700" "root:root 700" "$(in_ct stat -c '%U:%G %a' /home/victim)"
expect_eq "the secret still has victim's UID" "$victim_uid" "$(in_ct stat -c %u /home/victim/secret.txt)"
newbie_read=$(in_ct runuser -u newbie -- cat /home/victim/secret.txt 2>&1)
expect_eq "newbie cannot read victim's secret" "1" "$?"
expect_contains "newbie is told: permission denied" "Permission denied" "$newbie_read"
expect_not_contains "newbie never saw the secret" victim-secret "$newbie_read"

# Adding victim again is refused while the old home is kept; administrative
# names are refused whether their group exists (docker) or not (wheel), and
# so are the names of packages' daemons and the site's own reserved names.
in_ct sh -c 'echo "acme-*" >>/etc/useraccountd/reserved-names'
mark=$(cursor)
for account in victim docker redis acme-web wheel; do
    in_ct useraccountctl send add "$account"
done
check "add wheel is refused: reserved" \
    wait_journal "$mark" 'useraccount\[[0-9]+\]: refused: reserved name: wheel$'
journal=$(journal_after "$mark")
for account in docker redis acme-web; do
    check "add $account is refused: reserved" grep -qE "refused: reserved name: $account\$" <<<"$journal"
done
check "add victim is refused: the old home is kept" \
    grep -qF "refused: home directory already exists: /home/victim" <<<"$journal"
expect_eq "no user or group wheel" "" "$(in_ct getent passwd wheel; in_ct getent group wheel)"
check "no user victim" test -z "$(in_ct getent passwd victim)"

section "lock and unlock: every way in"
# alice (a password) and newbie (none, as add makes them) have an ssh key.
# sshd and su meet PAM's account stage, which refuses a locked account; each
# line of the record says what the account's state is.
in_ct ssh-keygen -q -t ed25519 -N '' -f /root/test-key
for user in alice newbie; do
    in_ct install -d -o "$user" -g "$user" -m 0700 "/home/$user/.ssh"
    in_ct install -o "$user" -g "$user" -m 0600 /root/test-key.pub "/home/$user/.ssh/authorized_keys"
done
# ways_in USER: "key su", with "-" for each way that refused USER.
ways_in() {
    local key=- su=-
    [[ $(in_ct ssh -i /root/test-key -o BatchMode=yes -o StrictHostKeyChecking=no \
        -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR "$1@127.0.0.1" echo in 2>/dev/null) == in ]] && key=key
    [[ $(in_ct su -s /bin/sh "$1" -c 'echo in' 2>/dev/null) == in ]] && su=su
    echo "$key $su"
}
mark=$(cursor)
expect_eq "alice, locked above, gets in neither way" "- -" "$(ways_in alice)"
check "sshd's PAM account stage refused alice's key" \
    wait_journal "$mark" 'sshd\[[0-9]+\]: pam_unix\(sshd:account\): account alice has expired'
expect_eq "newbie gets in by key and su" "key su" "$(ways_in newbie)"
expect_eq "lock newbie: succeeded" "succeeded 0" "$(sent lock newbie)"
expect_eq "newbie, locked, gets in neither way" "- -" "$(ways_in newbie)"
for user in newbie alice; do
    expect_eq "unlock $user: succeeded" "succeeded 0" "$(sent unlock "$user")"
    expect_eq "$user, unlocked, gets in by key and su" "key su" "$(ways_in "$user")"
done
check "newbie is unlocked without a password, as before" \
    wait_journal "$mark" 'useraccount\[[0-9]+\]: user newbie has no password: it logs in only by other means, such as a key$'
expect_eq "alice's password is unlocked" unlocked "$(password_state alice)"

section "the account script against local users"
# bob, a local user and no sender, cannot lock anything of the script's
# state, and mounts a file system on his home: without allow_other (root is
# refused there), then with it and its server stopped (root would wait
# there). Neither holds up an add. (bindfs asks for allow_other unless told
# not to; its libfuse 2 mounts on a home with files in it only when told
# "nonempty".)
as() {
    local user=$1
    shift
    in_ct setpriv --reuid "$user" --regid "$user" --init-groups "$@"
}
in_ct sh -c 'rm -f /dev/fuse && mknod -m 666 /dev/fuse c 10 229'
expect_eq "the state directory is root's alone" "root:root 700" \
    "$(in_ct stat -c '%U:%G %a' /var/lib/useraccountd)"
for path in /var/lib/useraccountd /var/lib/useraccountd/lock /var/lib/useraccountd/highest-id; do
    expect_contains "bob cannot lock $path" "Permission denied" "$(as bob flock -n -s "$path" true 2>&1)"
done
as bob mkdir /var/tmp/bob-files
for round in refusing stopped; do
    if [[ $round == refusing ]]; then
        as bob bindfs --no-allow-other -o nonempty /var/tmp/bob-files /home/bob
        expect_contains "root is refused on bob's mount" "Permission denied" "$(in_ct stat /home/bob 2>&1)"
    else
        in_ct sh -c 'echo user_allow_other >>/etc/fuse.conf'
        as bob bindfs -o nonempty /var/tmp/bob-files /home/bob
        bindfs_pid=$(in_ct pgrep -u bob -x bindfs)
        in_ct kill -STOP "$bindfs_pid"
        expect_eq "root waits on bob's stopped mount" "status 137" \
            "$(in_ct sh -c 'timeout -s KILL 2 ls /home/bob; echo "status $?"' 2>/dev/null)"
    fi
    mark=$(cursor)
    in_ct useraccountctl send add "past-$round"
    check "add while bob's mount on his home is $round" \
        wait_journal "$mark" "useraccount\\[[0-9]+\\]: added user past-$round\$"
    [[ -z ${bindfs_pid:-} ]] || in_ct kill -CONT "$bindfs_pid"
    as bob fusermount -u /home/bob
done

# olda, a managed account made by hand, has a subordinate range, a crontab,
# an at job, a lingering user manager, a process outside any session and one
# under a subordinate UID, in a user namespace of its login session.
# Deleted, nothing of it runs on, and its ranges go with it (userdel counts
# processes under them too); newc, added next, gets no range.
in_ct useradd -m olda
in_ct adduser --quiet olda useraccount-managed
olda_uid=$(in_ct id -u olda)
olda_range=$(in_ct grep '^olda:' /etc/subuid)
check "useradd gave olda a subordinate range ($olda_range)" test -n "$olda_range"
as olda sh -c 'echo "0 3 * * * true" | crontab -'
as olda sh -c 'echo true | at now + 1 hour' 2>/dev/null
in_ct loginctl enable-linger olda
as olda setsid -f sleep 600
as_user olda 'setsid -f unshare --map-auto --setuid 1 --setgid 1 sleep 600'
olda_subordinate=$(($(cut -d: -f2 <<<"$olda_range") + 1))
for _ in $(seq 50); do
    [[ -n $(in_ct pgrep -U "$olda_subordinate") ]] && break
    sleep 0.2
done
check "olda runs a process under subordinate UID $olda_subordinate" test -n "$(in_ct pgrep -U "$olda_subordinate")"
check "olda's job is queued" in_ct sh -c 'atq | grep -q " olda$"'
for _ in $(seq 50); do
    in_ct systemctl is-active -q "user@$olda_uid.service" && break
    sleep 0.2
done
expect_eq "olda's user manager runs" active "$(in_ct systemctl is-active "user@$olda_uid.service")"
mark=$(cursor)
in_ct useraccountctl send delete olda
in_ct useraccountctl send add newc
check "newc is added after olda's delete" wait_journal "$mark" 'useraccount\[[0-9]+\]: added user newc$'
journal=$(journal_after "$mark")
for step in "disabled lingering of olda" "stopped the user manager of olda" "ended the processes of olda: " \
    "removed the crontab of olda" "removed the at jobs of olda: " "deleted user olda"; do
    check "delete olda: $step" grep -qF "$step" <<<"$journal"
done
expect_eq "no process of olda's UID, or of its range, is left" "" \
    "$(in_ct pgrep -U "$olda_uid"; in_ct pgrep -U "$olda_subordinate")"
expect_eq "olda's ranges are gone" "" "$(in_ct grep -h '^olda:' /etc/subuid /etc/subgid)"
expect_eq "no at job is left" "" "$(in_ct atq)"
check "no crontab of olda's is left" in_ct test ! -e /var/spool/cron/crontabs/olda
check "olda lingers no more" in_ct test ! -e /var/lib/systemd/linger/olda
expect_eq "olda's user manager is stopped" inactive "$(in_ct systemctl is-active "user@$olda_uid.service")"
expect_eq "newc has no subordinate range" "" "$(in_ct grep -h '^newc:' /etc/subuid /etc/subgid)"

# hanger, added by the service, stops every process it may signal, in a
# loop, from its login session: its user manager, and any killer that runs
# as hanger. Its delete ends it all from root, within its bounds, and the
# service serves on.
mark=$(cursor)
in_ct useraccountctl send add hanger
check "hanger is added" wait_journal "$mark" 'useraccount\[[0-9]+\]: added user hanger$'
hanger_uid=$(in_ct id -u hanger)
# (Once its login shell has ended, which it would stop too.)
as_user hanger 'setsid -f perl -e "sleep 1; while (1) { kill q(STOP), -1 }"'
# shellcheck disable=SC2016 # for the container's shell
check "hanger's user manager is stopped" in_ct sh -c \
    'for _ in $(seq 50); do ps -o stat= -u hanger | grep -q "^T" && exit 0; sleep 0.1; done; exit 1'
expect_eq "delete hanger: succeeded" "succeeded 0" "$(sent delete hanger)"
expect_eq "no process of hanger's is left" "" "$(in_ct pgrep -U "$hanger_uid")"
journal=$(journal_after "$mark")
check "the manager that did not stop was ended with the rest" grep -qE \
    "the user manager of hanger did not stop within [0-9]+ s: it is ended with its processes" <<<"$journal"
check "... from root" grep -qE 'useraccount\[[0-9]+\]: ended the processes of hanger: [0-9]+' <<<"$journal"
expect_eq "the service serves on" "succeeded 0" "$(sent add after-hanger)"

# bob has the subordinate range that useradd gives every account, and one
# that an administrator gave him just above the highest ID handed out. A
# raised UID_MAX that reaches his range refuses add; victim1 gets no ID in
# either range, so that bob, who can take the IDs of his ranges in a user
# namespace, cannot take its own.
in_ct cp /etc/login.defs /root/login.defs
in_ct sh -c 'echo "UID_MAX 200000" >>/etc/login.defs'
expect_eq "add with UID_MAX raised into the subordinate IDs: refused" "failed 2" "$(sent add victim1)"
in_ct cp /root/login.defs /etc/login.defs
check "no user victim1" test -z "$(in_ct getent passwd victim1)"
# The ID that add would give next: above the mark and every ID in use.
# shellcheck disable=SC2016 # for the container's shell
low=$(($(in_ct sh -c 'cat /var/lib/useraccountd/highest-id; cut -d: -f3 /etc/passwd /etc/group' |
    awk '$1 >= 1000 && $1 <= 60000 && $1 > max {max = $1} END {print max}') + 1))
in_ct usermod --add-subuids "$low-$((low + 9))" --add-subgids "$low-$((low + 9))" bob
expect_eq "add victim1: succeeded" "succeeded 0" "$(sent add victim1)"
victim1_uid=$(in_ct id -u victim1)
expect_eq "victim1 gets the first ID above bob's range $low-$((low + 9))" $((low + 10)) "$victim1_uid"
in_ct runuser -u victim1 -- sh -c 'echo victim1-secret >/home/victim1/secret.txt; chmod 0600 /home/victim1/secret.txt'
in_ct install -d -m 0755 /var/tmp/in-range
in_ct sh -c "echo in-range-secret >/var/tmp/in-range/file; chown $low:$low /var/tmp/in-range/file; chmod 0600 /var/tmp/in-range/file"
# take_and_read UID FILE: bob takes UID in a user namespace and reads FILE.
take_and_read() {
    as_user bob "unshare --map-users=$1,0,1 --map-groups=$1,0,1 --setuid 0 --setgid 0 cat $2 2>&1"
}
expect_eq "bob takes an ID of his range, and reads its file" in-range-secret "$(take_and_read "$low" /var/tmp/in-range/file)"
bob_read=$(take_and_read "$victim1_uid" /home/victim1/secret.txt)
expect_contains "bob cannot take victim1's ID" "newuidmap: uid range [0-1) -> [$victim1_uid-$((victim1_uid + 1))) not allowed" "$bob_read"
expect_not_contains "bob never read victim1's secret" victim1-secret "$bob_read"
in_ct usermod --del-subuids "$low-$((low + 9))" --del-subgids "$low-$((low + 9))" bob

section "squat after the queue was removed"
reset_start_limit
# The service stopped, an administrator removes the queue. A user who creates
# it in the meantime, open to all, with a command on it, gets nothing from
# root nor from a sender, who are told who created it; at the next start
# prepare removes it, and the service comes back. (Removed under a running
# daemon, the queue ends it, and systemd starts it again: see the loop below.)
check "the administrator stops the service" in_ct systemctl stop useraccountd
mark=$(cursor)
check "the administrator removes the queue" in_ct ipcrm -q "$queue_id"
squat_id=$(queue_as_bob "$queue_key" 01666 1 "add mallory")
check "bob creates the queue, mode 0666, and puts a command on it ($squat_id)" test -n "$squat_id"
squatter="queue $squat_id was created by $(in_ct id -u bob) (bob), not by root"
refusal=$(in_ct useraccountctl send add root-to-squat 2>&1)
expect_eq "root's send refuses bob's queue: not root's" 76 "$?"
expect_contains "root is told who created it" "$squatter" "$refusal"
refusal=$(as_user carol 'useraccountctl send add carol-to-squat 2>&1')
expect_eq "carol's send refuses bob's queue: not root's" 76 "$?"
expect_contains "carol is told who created it" "$squatter" "$refusal"
expect_eq "nothing reached bob's queue but his own command" 1 "$(queue_line "$queue_key" | awk '{print $6}')"
check "the administrator starts the service" in_ct systemctl start useraccountd
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
# Meanwhile, the record rotates itself before a line would take it past its
# bound, set in /etc/default/useraccountd: at 64 KiB the second of two lines
# of the longest text of control bytes, escaped at four bytes a byte, passes
# it. A sender that waits then follows the rename and finds its line in the
# new file; the old lines stay in the old.
in_ct sh -c 'echo USERACCOUNTD_RECORD_SIZE=65536 >>/etc/default/useraccountd'
reset_start_limit
check "restart with a record of 64 KiB" in_ct systemctl restart useraccountd
expect_contains "the unit gives the daemon the bound" " -s 65536 " \
    "$(in_ct cat "/proc/$(unit_property MainPID)/cmdline" | tr '\0' ' ')"
long=$(head -c 8191 /dev/zero | tr '\0' '\001')
for _ in 1 2; do
    in_ct useraccountctl send --type 2 --raw "$long"
done
in_ct sh -c "useraccountctl send --wait=30 slow rotation 5 >/root/rotation.out; echo \$? >/root/rotation.status" &
rotation_sender=$!
# The daemon's note of the running command holds its text until its line
# is written.
note_holds() {
    in_ct grep -qx "$1" "$record.running"
}
for _ in $(seq 75); do
    note_holds 'slow rotation 5' && break
    sleep 0.2
done
check "while the command runs" note_holds 'slow rotation 5'
wait "$rotation_sender"
expect_eq "the waiting sender learns its outcome after the rotation" 0 "$(in_ct cat /root/rotation.status)"
check "from the new file" grep -qE $'\tsucceeded\t0\tslow rotation 5$' <<<"$(in_ct cat "$record")"
check "the old lines are in the rotated file" grep -qE $'\tlock alice$' <<<"$(in_ct cat "$record.1")"
check "each file within the bound" \
    test "$(in_ct stat -c %s "$record")" -le 65536 -a "$(in_ct stat -c %s "$record.1")" -le 65536
expect_eq "the new file is the group's to read" "useraccountd:useraccount 640" \
    "$(in_ct stat -c '%U:%G %a' "$record")"
stop_during_slow_command one after-stop stop
expect_eq "stop: the unit's result" success "$(unit_property Result)"
expect_eq "stop: the daemon's exit status" 0 "$(unit_property ExecMainStatus)"
expect_eq "stop: the service is inactive" inactive "$(in_ct systemctl is-active useraccountd)"
expect_contains "stop: the next message stays on the queue" "add after-stop" "$(in_ct useraccountctl list)"
expect_not_contains "stop: the next message did not run" "added user after-stop" "$action_journal"

section "messages sent while stopped"
reset_start_limit
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
reset_start_limit
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
reset_start_limit
check "the daemon is idle" wait_idle
mark=$(cursor)
started=$(date +%s.%N)
check "systemctl stop while idle" in_ct systemctl stop useraccountd
idle_stop=$(seconds_between "$started" "$(date +%s.%N)")
echo "systemctl stop while idle took $idle_stop s"
check "an idle stop is quick ($idle_stop s)" in_range "$idle_stop" 0 1.5
expect_eq "idle stop: the unit's result" success "$(unit_property Result)"
expect_no_kill "idle stop" "$mark"
check "start again" in_ct systemctl start useraccountd

section "start, then at once reload or stop"
# systemd counts the start done once the daemon is ready, so neither the
# reload nor the stop that follows at once can find it without its handlers.
# Two starts a round, each round on its own count.
in_ct systemctl stop useraccountd
reloads=0
for round in $(seq 20); do
    reset_start_limit
    mark=$(cursor)
    check "round $round: systemctl start and at once reload" \
        in_ct sh -c 'systemctl start useraccountd && systemctl reload useraccountd'
    if wait_journal "$mark" 'useraccountd\[[0-9]+\]: Reloaded configuration file'; then
        reloads=$((reloads + 1))
    fi
    expect_eq "round $round: the daemon runs on after the reload" active \
        "$(in_ct systemctl is-active useraccountd)"
    check "round $round: systemctl stop, then start and at once stop" \
        in_ct sh -c 'systemctl stop useraccountd && systemctl start useraccountd && systemctl stop useraccountd'
    expect_eq "round $round: the stop's result" "success 0" \
        "$(unit_property Result) $(unit_property ExecMainStatus)"
    expect_no_kill "round $round" "$mark"
done
expect_eq "every reload reached the daemon's handler" 20 "$reloads"
reset_start_limit
check "start again" in_ct systemctl start useraccountd

section "stop under a backlog, pause 0"
reset_start_limit
set_pause 0
mark=$(cursor)
# shellcheck disable=SC2016 # for the container's shell to expand
in_ct sh -c 'for i in $(seq 300); do useraccountctl send quick "$i" || exit 1; done'
check "a few of the backlog are served" wait_journal "$mark" 'quick command done: 10$'
started=$(date +%s.%N)
check "systemctl stop under a backlog" in_ct systemctl stop useraccountd
took=$(seconds_between "$started" "$(date +%s.%N)")
echo "systemctl stop under a backlog of 300 commands, pause 0, took $took s"
check "the stop took the time of one command at most ($took s)" in_range "$took" 0 5
expect_eq "backlog: the unit's result" "success 0" "$(unit_property Result) $(unit_property ExecMainStatus)"
expect_no_kill "backlog" "$mark"
ran=$(count_of "$mark" 'COMMAND=(/usr)?/bin/bash /quex/sbin/useraccount.sh quick ')
done_count=$(count_of "$mark" 'quick command done: ')
expect_eq "every command that started ran to its end" "$ran" "$done_count"
expect_eq "the rest stays queued" $((300 - done_count)) "$(queue_line "$queue_key" | awk '{print $6}')"
check "the daemon stopped in order" wait_journal "$mark" 'useraccountd\[[0-9]+\]: Stopped useraccountd$'
mark=$(cursor)
check "start with the backlog" in_ct systemctl start useraccountd
check "the backlog is served to its end" wait_journal "$mark" 'quick command done: 300$' 60
expect_eq "each command of the backlog ran once" 300 $((done_count + $(count_of "$mark" 'quick command done: ')))
set_pause 1

section "the daemon killed during a command"
reset_start_limit
mark=$(cursor)
in_ct useraccountctl send slow killed 12
in_ct useraccountctl send add after-kill
wait_journal "$mark" 'COMMAND=(/usr)?/bin/bash /quex/sbin/useraccount.sh slow killed 12$' 15
killed_pid=$(unit_property MainPID)
check "the daemon runs ($killed_pid)" test "$killed_pid" -gt 0
check "kill -KILL of the daemon" in_ct kill -KILL "${killed_pid#0}"
check "the command runs to its end" wait_journal "$mark" 'slow command done: killed$' 30
check "the service comes back" wait_journal "$mark" 'useraccount\[[0-9]+\]: added user after-kill$' 30
check "the next start waited for the command" \
    wait_journal "$mark" 'wait-for-commands\[[0-9]+\]: waiting for an account command of an earlier run to end: .*sudo'
done_time=$(time_of "$mark" 'slow command done: killed$')
served_time=$(time_of "$mark" 'Type:1      add after-kill$')
check "the next message is taken only after the command ended" \
    in_range "$(seconds_between "$done_time" "$served_time")" 0 10
expect_eq "each command ran once" "1 1" \
    "$(count_of "$mark" 'slow command done: killed$') $(count_of "$mark" 'added user after-kill$')"
check "a new daemon runs" test "$(unit_property MainPID)" != "$killed_pid"
check "the record tells the killed daemon's command: outcome unknown" \
    grep -qE $'\t1\tunknown\t[^\t]+\tslow killed 12$' <<<"$(in_ct cat "$record")"

section "a command of an earlier run that never ends"
# The start waits for it within a bound (the unit's, shortened here): then
# it is ended, a process that ignores SIGTERM included, and the start goes on.
output=$(in_ct systemd-run --wait --pipe -q -- sh -c \
    '(setsid sleep 300 &); (trap "" TERM; setsid sleep 301 &); sleep 0.2; exec /usr/libexec/useraccountd/wait-for-commands 2')
expect_eq "the wait ends it and lets the start go on" 0 "$?"
check "... saying so" grep -qE '^the account command of an earlier run has not ended after 2 s: ending it: sleep\[[0-9]+\] sleep\[[0-9]+\]$' <<<"$output"
ended=$(grep -oE '\[[0-9]+\]' <<<"$output" | tr -d '[]' | sort -u | xargs)
expect_eq "both are gone ($ended)" "" "$(for pid in $ended; do in_ct ps -o pid= -p "$pid"; done)"

section "a stop that times out"
reset_start_limit
in_ct mkdir -p /run/systemd/system/useraccountd.service.d
in_ct sh -c 'printf "[Service]\nTimeoutStopSec=2s\n" >/run/systemd/system/useraccountd.service.d/short-stop.conf'
in_ct systemctl daemon-reload
mark=$(cursor)
in_ct useraccountctl send slow timed-out 8
in_ct useraccountctl send add after-timeout
wait_journal "$mark" 'COMMAND=(/usr)?/bin/bash /quex/sbin/useraccount.sh slow timed-out 8$' 15
in_ct systemctl stop useraccountd
expect_eq "the stop timed out" timeout "$(unit_property Result)"
check "the daemon was killed, not the command" \
    grep -qE 'Killing process [0-9]+ \(useraccountd\) with signal SIGKILL' <<<"$(journal_after "$mark")"
check "start at once" in_ct systemctl start useraccountd
check "the command ran to its end" wait_journal "$mark" 'slow command done: timed-out$' 15
check "the next message is served" wait_journal "$mark" 'added user after-timeout$' 15
done_time=$(time_of "$mark" 'slow command done: timed-out$')
served_time=$(time_of "$mark" 'Type:1      add after-timeout$')
check "no two commands at once: the next began after the first ended" \
    in_range "$(seconds_between "$done_time" "$served_time")" 0 10
in_ct rm -r /run/systemd/system/useraccountd.service.d
in_ct systemctl daemon-reload

# refused_start WHAT: the service is stopped, WHAT is broken; a message sent
# now must wait on the queue while the start fails, saying why in one line.
refused_start() {
    local what=$1 word=$2 reason=$3
    reset_start_limit
    mark=$(cursor)
    check "$what: root sends" in_ct useraccountctl send add "$word"
    check "$what: the start fails" fails in_ct systemctl start useraccountd
    check "$what: the journal says why" \
        wait_journal "$mark" "check-account-command\\[[0-9]+\\]: $reason"
    expect_not_contains "$what: no daemon ran" "Started useraccountd" "$(journal_after "$mark")"
    expect_contains "$what: the message waits on the queue" "add $word" "$(in_ct useraccountctl list)"
}
section "sudo refuses the account script"
in_ct systemctl stop useraccountd
in_ct chmod 0666 /etc/sudoers.d/useraccountd
refused_start "a world-writable sudoers rule" while-refused 'sudo refuses user useraccountd the account script'
in_ct chmod 0440 /etc/sudoers.d/useraccountd
in_ct systemctl stop useraccountd
in_ct mv /quex/sbin/useraccount.sh /root/useraccount.sh.saved
refused_start "a missing account script" while-missing 'no account script /quex/sbin/useraccount.sh'
in_ct mv /root/useraccount.sh.saved /quex/sbin/useraccount.sh
reset_start_limit
check "once mended, a start" in_ct systemctl start useraccountd
check "serves the messages that waited" wait_journal "$mark" 'added user while-missing$' 30
check "all of them" user_exists while-refused

section "a full /var/log"
# A small full file system on /var/log; the journal keeps its own files.
in_ct mkdir /run/journal-kept
in_ct mount --bind /var/log/journal /run/journal-kept
in_ct mount -t tmpfs -o size=256k tmpfs /var/log
in_ct mkdir /var/log/journal
in_ct mount --bind /run/journal-kept /var/log/journal
in_ct sh -c 'cat /dev/zero >/var/log/filler 2>/dev/null'
expect_eq "/var/log is full" 0 "$(in_ct df --output=avail /var/log | tail -n 1 | tr -d ' ')"
reset_start_limit
mark=$(cursor)
check "restart with /var/log full" in_ct systemctl restart useraccountd
check "root sends" in_ct useraccountctl send add full-log
check "the command is served" wait_journal "$mark" 'added user full-log$' 20
expect_eq "the service runs on" active "$(in_ct systemctl is-active useraccountd)"
# The record under a full /var/log cannot take the line: the journal keeps it.
check "the line the record could not take is in the journal" wait_journal "$mark" \
    'useraccountd\[[0-9]+\]: Can not write outcome record: /var/log/useraccountd/outcomes.log, error: [^;]+; type 1, succeeded 0: add full-log$' 10
in_ct umount /var/log/journal /var/log /run/journal-kept

# commands_wait PREFIX: the daemon serves "quick PREFIX-0", then pauses a
# minute while "quick PREFIX-1" to 3 wait; the next daemon pauses 1 s.
# Leaves the journal's cursor from before the sends in wait_mark.
commands_wait() {
    set_pause 60
    wait_mark=$(cursor)
    in_ct useraccountctl send quick "$1-0"
    wait_journal "$wait_mark" "quick command done: $1-0\$" 15
    for i in 1 2 3; do
        in_ct useraccountctl send quick "$1-$i"
    done
    expect_eq "$1: three commands wait" 3 "$(queue_line "$queue_key" | awk '{print $6}')"
    in_ct sh -c "printf '1\\nThis site pauses 1 s.\\n' >/etc/useraccountd.conf"
}
# served_once PREFIX: 1 to 3 were each served once, in order.
served_once() {
    check "$1: the last waiting command is served" \
        wait_journal "$wait_mark" "quick command done: $1-3\$" 30
    expect_eq "$1: each waiting command served once, in order" "$1-1 $1-2 $1-3" \
        "$(journal_after "$wait_mark" | grep -oE "quick command done: $1-[123]\$" | cut -d' ' -f4 | xargs)"
}
# wait_until_output FILE LINE: until FILE has the line, for 10 s at most.
wait_until_output() {
    local tries=0
    until grep -qx -- "$2" "$1"; do
        ((tries++ < 50)) || return 1
        sleep 0.2
    done
}
saved_line='useraccountctl\[[0-9]+\]: saved 3 waiting command\(s\) to /var/lib/useraccountd/saved-commands'

section "commands waiting across a reboot"
reset_start_limit
commands_wait reboot
boot_before=$(in_ct cat /proc/sys/kernel/random/boot_id)
power_off
boot_container
expect_eq "the container's systemd is up again" running "$state"
check "a new boot id" test "$(in_ct cat /proc/sys/kernel/random/boot_id)" != "$boot_before"
served_once reboot
journal=$(journal_after "$wait_mark")
expect_eq "the stop at the shutdown saved them, in one line" 1 "$(grep -cE "$saved_line" <<<"$journal")"
expect_eq "the first start restored them, in one line" 1 "$(grep -cE \
    'useraccountctl\[[0-9]+\]: restored 3 command\(s\) saved at .*, before a reboot' <<<"$journal")"
check "the saved copy is gone" in_ct test ! -e /var/lib/useraccountd/saved-commands
queue_id=$(in_ct useraccountctl status | sed -n 's/^id: *//p')

section "commands waiting across a restart"
reset_start_limit
commands_wait restart
check "systemctl restart" in_ct systemctl restart useraccountd
served_once restart
journal=$(journal_after "$wait_mark")
check "the stop saved them" grep -qE "$saved_line" <<<"$journal"
check "the start in the same boot discarded the copy" grep -qE \
    'useraccountctl\[[0-9]+\]: discarded the copy of 3 command\(s\) saved at .* in this boot' <<<"$journal"
expect_eq "no restore" "" "$(grep -E 'restored [0-9]+ command' <<<"$journal")"

section "a user who re-creates the queue in a loop"
# bob, no sender, runs a C loop of msgget(KEY, IPC_CREAT|IPC_EXCL) on the
# second core while root removes the queue, and while the sender group
# changes with commands waiting: prepare wins the key each time.
if ! cc -static -O2 -o "$rootfs/usr/local/bin/squat-queue" "$here/squat_queue.c"; then
    fail "cc -static of the squatter's loop"
fi
in_ct rm -f /run/stop-squat
in_ct setpriv --reuid bob --regid bob --init-groups /usr/local/bin/squat-queue \
    "$queue_key" /run/stop-squat 120 >"$work/squat.out" &
squat_pid=$!
check "bob's loop runs" wait_until_output "$work/squat.out" looping
reset_start_limit
mark=$(cursor)
check "root removes the queue" in_ct ipcrm -q "$queue_id"
check "the service starts again" wait_journal "$mark" 'useraccountd\[[0-9]+\]: Started useraccountd$' 30
journal=$(journal_after "$mark")
check "prepare names bob, who kept taking the key" grep -qE \
    "useraccountctl\\[[0-9]+\\]: removed .*\\(key $queue_key\\).* uid [0-9]+ \\(bob\\)" <<<"$journal"
expect_eq "in one line" 1 "$(grep -cE 'useraccountctl\[[0-9]+\]: removed .*\(bob\)' <<<"$journal")"
expect_eq "prepare never gave up" "" "$(grep -E 'could not create the queue' <<<"$journal")"
check "the stop saved nothing of bob's queue" grep -qE 'are not saved: uid [0-9]+ \(bob\) created the queue' <<<"$journal"
expect_eq "the service is active" active "$(in_ct systemctl is-active useraccountd)"
expect_eq "the queue is root's" "620 root useraccount useraccountd" \
    "$(in_ct ipcs -q -c | awk -v id="$(in_ct useraccountctl status | sed -n 's/^id: *//p')" '$1 == id {print $2, $3, $4, $5}')"

in_ct groupadd --system useraccount2
for group in useraccount2 useraccount; do
    reset_start_limit
    commands_wait "group-$group"
    in_ct sed -i "s/^USERACCOUNTD_QUEUE_GROUP=.*/USERACCOUNTD_QUEUE_GROUP=$group/" /etc/default/useraccountd
    started=$(date +%s.%N)
    check "$group: systemctl restart" in_ct systemctl restart useraccountd
    took=$(seconds_between "$started" "$(date +%s.%N)")
    echo "restart with the group changed to $group, under the loop, took $took s"
    check "$group: active within the bound ($took s)" in_range "$took" 0 6
    served_once "group-$group"
    check "$group: the waiting commands moved over, kept in the saved-commands file meanwhile" \
        grep -qE 'moved 3 message\(s\) from queue [0-9]+ to queue [0-9]+, in order' <<<"$(journal_after "$wait_mark")"
    expect_eq "$group: the queue's creator group" "root $group" \
        "$(in_ct ipcs -q -c | awk -v id="$(in_ct useraccountctl status | sed -n 's/^id: *//p')" '$1 == id {print $3, $4}')"
done
in_ct touch /run/stop-squat
wait "$squat_pid"
squat_count=$(sed -n 2p "$work/squat.out")
echo "bob's loop created $squat_count queues"
check "bob's loop took the key ($squat_count times)" test "${squat_count:-0}" -gt 0
queue_id=$(in_ct useraccountctl status | sed -n 's/^id: *//p')

section "accounts in a directory, through nslcd"
# The directory's setup of useraccount.conf(5) on the container's slapd,
# nslcd serving it to NSS, and the script's directory backend: one account
# added, seen, locked, unlocked and deleted; then the local backend again.
suffix=dc=example,dc=org
directory_access_ldif "$suffix" >"$rootfs/root/access.ldif"
directory_subtree_ldif "$suffix" 70000 >"$rootfs/root/subtree.ldif"
(umask 077 && printf '%s' admin-secret >"$rootfs/root/ldap-admin")
check "root grants the write on the subtree" \
    in_ct ldapmodify -Q -Y EXTERNAL -H ldapi:/// -f /root/access.ldif >/dev/null
check "the admin adds the subtree and the counter" \
    in_ct ldapadd -x -D "cn=admin,$suffix" -y /root/ldap-admin -H ldapi:/// -f /root/subtree.ldif >/dev/null
in_ct sh -c "printf 'uid nslcd\ngid nslcd\nuri ldapi:///\nbase $suffix\n' >/etc/nslcd.conf"
in_ct sed -i.local -E 's/^(passwd|group|shadow):.*/& ldap/' /etc/nsswitch.conf
in_ct systemctl restart nslcd
in_ct cp -p /etc/useraccountd/useraccount.conf /root/useraccount.conf.local
in_ct sh -c "printf 'backend = directory\nbase = ou=useraccountd,$suffix\nid_range = 70000-99999\n' >/etc/useraccountd/useraccount.conf"
line=$(in_ct useraccountctl send --wait=30 add dora)
expect_eq "add dora in the directory succeeds ($line)" 0 "$?"
expect_eq "getent passwd, through nslcd, shows the directory's UID" "70000:70000:/home/dora" \
    "$(in_ct getent passwd dora | cut -d: -f3,4,6)"
expect_eq "the directory holds that UID" 70000 "$(in_ct ldapsearch -Q -LLL -Y EXTERNAL -H ldapi:/// \
    -b "uid=dora,ou=people,ou=useraccountd,$suffix" uidNumber | sed -n 's/^uidNumber: //p')"
expect_eq "the home is made here, dora's" 70000:70000 "$(in_ct stat -c %u:%g /home/dora)"
check "lock dora" in_ct useraccountctl send --wait=30 lock dora >/dev/null
check "PAM's account stage refuses dora while locked" fails in_ct su -s /bin/true dora 2>/dev/null
check "unlock dora" in_ct useraccountctl send --wait=30 unlock dora >/dev/null
check "PAM's account stage lets dora in once unlocked" in_ct su -s /bin/true dora
in_ct setsid -f setpriv --reuid 70000 --regid 70000 --clear-groups sleep 300
for _ in $(seq 50); do
    [[ -n $(in_ct pgrep -u 70000) ]] && break
    sleep 0.1
done
check "delete dora" in_ct useraccountctl send --wait=30 delete dora >/dev/null
expect_eq "delete: getent passwd no longer finds dora" 2 "$(in_ct getent passwd dora >/dev/null; echo $?)"
expect_eq "delete ended dora's process here" "" "$(in_ct pgrep -u 70000)"
in_ct mv -f /root/useraccount.conf.local /etc/useraccountd/useraccount.conf
in_ct mv -f /etc/nsswitch.conf.local /etc/nsswitch.conf

section "reinstall"
reset_start_limit
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
expect_contains "the site's configuration survives" "This site pauses 1 s." \
    "$(in_ct cat /etc/useraccountd.conf)"
expect_eq "one service user" 1 "$(in_ct grep -c '^useraccountd:' /etc/passwd)"
expect_eq "the service runs after the reinstall" active "$(in_ct systemctl is-active useraccountd)"
expect_no_kill "reinstall" "$mark"

section "remove, then install again"
# Two commands wait behind a slow one when the package goes: the stop lets
# the slow one end and saves the two, and the removal sets them aside, said
# in the journal. After a reboot an install puts nothing back.
reset_start_limit
mark=$(cursor)
in_ct useraccountctl send slow aside 3
in_ct useraccountctl send add aside-1
in_ct useraccountctl send add aside-2
wait_journal "$mark" 'COMMAND=(/usr)?/bin/bash /quex/sbin/useraccount.sh slow aside 3$' 15
if ! in_ct dpkg -r useraccountd >"$work/remove.log" 2>&1; then
    cat "$work/remove.log" >&2
    fail "dpkg -r"
fi
expect_not_contains "dpkg -r warns of nothing" warning "$(cat "$work/remove.log")"
expect_eq "remove stops the service" inactive "$(in_ct systemctl is-active useraccountd)"
check "remove keeps the key file" in_ct test -f /quex/etc/useraccount/useraccountkey.json
expect_eq "remove keeps the queue" "$queue_key $queue_id" "$(queue_line "$queue_key" | awk '{print $1, $2}')"
aside=$(in_ct sh -c 'ls /var/lib/useraccountd/saved-commands.removed-*' 2>/dev/null)
check "remove sets the saved commands aside (${aside:-none})" test -n "$aside"
check "under a name no start reads" in_ct test ! -e /var/lib/useraccountd/saved-commands
expect_eq "with the two that waited" "add aside-1 add aside-2" \
    "$(in_ct grep -E '^add aside-[12]$' "$aside" | xargs)"
check "the journal says where" wait_journal "$mark" "useraccountd(\\[[0-9]+\\])?: the commands that waited at the removal are set aside in $aside" 5
power_off
boot_container
expect_eq "the container's systemd is up again" running "$state"
mark=$(cursor)
if ! in_ct env DEBIAN_FRONTEND=noninteractive dpkg -i /root/useraccountd.deb >"$work/install-again.log" 2>&1; then
    cat "$work/install-again.log" >&2
    fail "dpkg -i after dpkg -r"
fi
expect_eq "the service is enabled again" enabled "$(in_ct systemctl is-enabled useraccountd)"
expect_eq "the service runs again" active "$(in_ct systemctl is-active useraccountd)"
expect_eq "the key file still keeps its inode" "$key_inode" \
    "$(in_ct stat -c %i /quex/etc/useraccount/useraccountkey.json)"
sleep 3
journal=$(journal_after "$mark")
expect_not_contains "the install restores nothing" "restored " "$journal"
expect_not_contains "nor runs what was set aside" "added user aside-" "$journal"
check "which stays for the administrator" in_ct test -f "$aside"

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
    "$(in_ct find / -xdev \( -path /proc -o -path /sys -o -path /dev -o -path /run \
        -o -path /var/lib/useraccountd \) -prune \
        -o \( -name '*useraccount*' -o -path /quex \) -print)"
expect_eq "purge removes the queue" "" "$(queue_line "$queue_key")"
check "purge keeps the service user" user_exists useraccountd
check "purge keeps the sender group" group_exists useraccount
check "purge keeps the managed group" group_exists useraccount-managed
expect_eq "purge leaves the ID mark and the lock records alone in /var/lib/useraccountd" \
    "highest-id locked" "$(in_ct ls /var/lib/useraccountd | xargs)"
# shellcheck disable=SC2016 # an awk program
expect_eq "purge keeps the ID mark, the highest UID given" \
    "$(in_ct awk -F: '$3 >= 1000 && $3 <= 60000 && $3 > max {max = $3} END {print max}' /etc/passwd)" \
    "$(in_ct cat /var/lib/useraccountd/highest-id)"

section "purge beside another program's queue"
# Another program may hold a queue under the same key: the purge leaves it.
cp -- "$deb" "$rootfs/root/useraccountd.deb"
in_ct env DEBIAN_FRONTEND=noninteractive apt-get install -y -q /root/useraccountd.deb >"$work/install-3.log" 2>&1 ||
    fail "apt-get install for the purge"
rm -f -- "$rootfs/root/useraccountd.deb"
queue_key=$(in_ct useraccountctl status | sed -n 's/^queue: *exists (key \(0x[0-9a-f]*\))$/\1/p')
in_ct dpkg -r useraccountd >"$work/remove-3.log" 2>&1 || fail "dpkg -r before the purge"
check "the service's queue goes by hand" in_ct ipcrm -Q "$queue_key"
other_id=$(queue_as_bob "$queue_key" 01600 5 "not for useraccountd")
check "another program makes a queue with the key $queue_key ($other_id)" test -n "$other_id"
in_ct dpkg -P useraccountd >"$work/purge-3.log" 2>&1 || fail "dpkg -P beside another program's queue"
check "purge removes the key file" in_ct test ! -e /quex/etc/useraccount/useraccountkey.json
expect_eq "the other program's queue survives the purge, its message on it" "$queue_key $other_id 1" \
    "$(queue_line "$queue_key" | awk '{print $1, $2, $6}')"
in_ct ipcrm -q "$other_id"

section "done"
dump_journal_on_failure
finish
