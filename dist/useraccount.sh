#!/bin/bash
# Account script run as root by useraccountd, through sudo, once for each
# account command taken off its message queue:
#
#   useraccount.sh add|delete|lock|unlock NAME
#
# What each command does, its rules, statuses and files are in
# useraccount.sh(8); the backends in useraccount.conf(5). What a reader of
# the code needs besides:
#
# - Every word comes from whoever may send to the queue: the command and the
#   name are checked before anything else reads them, and text from the
#   queue is logged with %q so it cannot forge a line.
# - Only managed accounts are touched (membership of managed_group, a UID in
#   the ranges of login.defs); root and system accounts never, whatever
#   their groups.
# - No ID is given twice or inside a subordinate range: the mark in
#   mark_file only rises, and is raised before an account is made or after
#   it is gone, so a failure skips a number rather than frees one.
# - Files that steer root (the mark, the reserved names, the range files,
#   the settings, the directory code) count only when only root may write
#   them (only_root_writes).
# - The homes are scanned in a private mount namespace where the home base
#   is bound over itself without the mounts below it, so a user's own mount
#   can neither hide an owner nor hang the scan; a symlinked base is
#   followed first, since find does not descend a symlinked start point.
# - delete's processes are ended from root, one pidfd each, by real or saved
#   UID, so the account cannot stop or signal what ends them.
# - Every step that waits on something outside the script is bounded (the
#   *_seconds constants): a command fails with 124 rather than hold up the
#   service.
# - With "backend = directory" in settings_file, directory_code is sourced
#   once the command and the name have passed the checks, and shares them.

set -euo pipefail
# A failure inside $(...) ends the script too.
shopt -s inherit_errexit

# Character ranges in the name check must mean ASCII, whatever the caller's
# locale.
export LC_ALL=C

readonly log_tag=useraccount
readonly login_defs=/etc/login.defs
readonly name_pattern='^[a-z_][a-z0-9_-]{0,31}$'
readonly managed_group=useraccount-managed
readonly state_dir=/var/lib/useraccountd
readonly mark_file=$state_dir/highest-id
readonly lock_file=$state_dir/lock
readonly locks_dir=$state_dir/locked
readonly reserved_names_file=/etc/useraccountd/reserved-names
readonly linger_dir=/var/lib/systemd/linger
readonly subuid_file=/etc/subuid subgid_file=/etc/subgid

# Time bounds, in seconds. The unit's wait for a command of an earlier run
# (wait-for-commands) must outlast the sum of those one command meets.
readonly log_seconds=2        # a line to the system log
readonly lookup_seconds=15    # a lookup in the user and group databases
readonly service_seconds=20   # logind, systemd, cron, at, the home base
readonly account_seconds=60   # useradd, userdel, usermod
readonly state_lock_seconds=60
readonly kill_seconds=5       # until every process of a deleted account has ended

# bounded SECONDS COMMAND...: COMMAND, sent SIGTERM once it has run SECONDS
# and SIGKILL 5 s later; status 124 when it timed out.
bounded() {
    timeout --kill-after=5 "$@"
}

# note PRIORITY TEXT: one line in the system log, under the tag.
note() {
    bounded "$log_seconds" logger -t "$log_tag" -p "auth.$1" -- "$2" || true
}
readonly settings_file=/etc/useraccountd/useraccount.conf
readonly directory_code=/etc/useraccountd/directory.sh
declare -A settings=()

# Logged text comes from the queue: %q keeps newlines and control bytes from
# forging extra lines in the system log.
quoted() {
    local out=() arg
    for arg in "$@"; do
        out+=("$(printf '%q' "$arg")")
    done
    printf '%s' "${out[*]}"
}

refuse() {
    printf 'useraccount.sh: %s\n' "$1" >&2
    note warning "refused: $1"
    exit 2
}

# fail_with STATUS ACTION REASON: logs the failed ACTION and ends with STATUS.
fail_with() {
    note err "failed to $2: $3"
    printf 'useraccount.sh: failed to %s: %s\n' "$2" "$3" >&2
    exit "$1"
}

# Logs a failed tool and passes its status on.
fail() {
    local action=$1 tool=$2 status=$3
    if ((status == 124)); then
        fail_with "$status" "$action" "$tool timed out"
    fi
    fail_with "$status" "$action" "$tool status $status"
}

# run_tool ACTION TOOL ARG...: runs one account tool, bounded; logs the
# failed ACTION and passes its status on.
run_tool() {
    local action=$1 status=0
    shift
    bounded "$account_seconds" "$@" || status=$?
    if ((status != 0)); then
        fail "$action" "$1" "$status"
    fi
}

# run_logged ACTION DONE TOOL ARG...: run_tool, then logs DONE.
run_logged() {
    run_tool "$1" "${@:3}"
    note notice "$2"
}

usage_text='usage: useraccount.sh add|delete|lock|unlock NAME'

# The ID ranges of ordinary accounts and of subordinate IDs: the last value
# of each key in login.defs, or useradd's default. One pass over the file.
uid_min=1000 uid_max=60000 gid_min=1000 gid_max=60000
sub_uid_min=100000 sub_uid_max=600100000 sub_uid_count=65536
sub_gid_min=100000 sub_gid_max=600100000 sub_gid_count=65536
if [[ -r $login_defs ]]; then
    while read -r key value _; do
        if [[ $value =~ ^[0-9]{1,10}$ ]]; then
            case $key in
                UID_MIN | UID_MAX | GID_MIN | GID_MAX | SUB_[UG]ID_MIN | SUB_[UG]ID_MAX | SUB_[UG]ID_COUNT)
                    declare "${key,,}=$((10#$value))"
                    ;;
            esac
        fi
    done <"$login_defs"
fi

# in_range VALUE LOW HIGH: VALUE is a number within LOW..HIGH.
in_range() {
    [[ $1 =~ ^[0-9]{1,10}$ ]] && ((10#$1 >= $2 && 10#$1 <= $3))
}

# Sets home_base, the HOME base of "useradd -D" under which add creates
# homes, and real_home_base, where it leads: a symlinked base is looked at
# there, since find and the home view do not descend a symlink.
find_home_base() {
    local defaults line status=0
    defaults=$(bounded "$lookup_seconds" useradd -D) || status=$?
    if ((status != 0)); then
        fail "read the defaults of useradd" "useradd -D" "$status"
    fi
    home_base=/home
    while IFS= read -r line; do
        if [[ $line == HOME=* ]]; then
            home_base=${line#HOME=}
        fi
    done <<<"$defaults"
    real_home_base=$home_base
    if [[ -L $home_base ]]; then
        if ! real_home_base=$(realpath -e -- "$home_base" 2>/dev/null) || [[ ! -d $real_home_base ]]; then
            refuse "the home base $(quoted "$home_base") is a symlink that leads to no directory"
        fi
    fi
}

# lookup DATABASE NAME: sets found_entry to the entry, or to nothing when
# there is no such entry. Any other failure refuses rather than guesses.
lookup() {
    local status=0
    found_entry=$(bounded "$lookup_seconds" getent "$1" -- "$2") || status=$?
    if ((status == 2)); then
        found_entry=
    elif ((status != 0)); then
        refuse "cannot look up $1 entry $2 (getent status $status)"
    fi
}

# Sets managed_gid, the GID of the group of managed accounts.
find_managed_gid() {
    lookup group "$managed_group"
    if [[ -z $found_entry ]]; then
        refuse "group $managed_group does not exist: no account is managed here"
    fi
    IFS=: read -r _ _ managed_gid _ <<<"$found_entry"
}

# Refuses NAME unless it is a managed account: a UID in the range that useradd
# gives to ordinary users, and a member of the managed group. Groups are
# compared by GID, as the kernel grants rights; "id -G" lists the primary group
# and every supplementary one. Sets account_uid, account_gid, account_home.
require_managed_account() {
    local name=$1 user_gids
    lookup passwd "$name"
    if [[ -z $found_entry ]]; then
        refuse "no such user: $name"
    fi
    IFS=: read -r _ _ account_uid account_gid _ account_home _ <<<"$found_entry"
    if ! in_range "$account_uid" "$uid_min" "$uid_max"; then
        refuse "not an ordinary user account: $name (uid $(quoted "$account_uid"))"
    fi
    account_uid=$((10#$account_uid))
    find_managed_gid
    if ! user_gids=$(bounded "$lookup_seconds" id -G -- "$name"); then
        refuse "cannot read the groups of $name"
    fi
    if [[ " $user_gids " != *" $managed_gid "* ]]; then
        refuse "not a managed account: $name (not in group $managed_group)"
    fi
}

# Refuses NAME when a word of the list of reserved names matches it; the
# words are patterns. Comments and blanks are no names.
require_unreserved_name() {
    local name=$1 line word words
    if ! only_root_writes "$reserved_names_file" "regular file"; then
        refuse "no list of reserved names that only root may write: $reserved_names_file"
    fi
    while IFS= read -r line || [[ -n $line ]]; do
        read -r -a words <<<"${line%%#*}"
        for word in "${words[@]}"; do
            # shellcheck disable=SC2053 # the words are patterns
            if [[ $name == $word ]]; then
                refuse "reserved name: $name"
            fi
        done
    done <"$reserved_names_file"
}

# Refuses NAME for add unless no user, group or home of that name exists.
require_new_name() {
    local name=$1
    lookup passwd "$name"
    if [[ -n $found_entry ]]; then
        refuse "user already exists: $name"
    fi
    lookup group "$name"
    if [[ -n $found_entry ]]; then
        refuse "a group of that name exists: $name"
    fi
    if [[ -n $(home_entry "$name") ]]; then
        refuse "home directory already exists: $(quoted "$home_base/$name")"
    fi
}

# only_root_writes PATH TYPE [BITS]: PATH is no symlink, is of TYPE
# ("directory" or "regular file"), belongs to root and grants nobody else the
# permission BITS (octal, write by default); a regular file also has a single
# link, so that it is not another file's second name.
only_root_writes() {
    local path=$1 type=$2 bits=${3:-022} facts uid links mode kind
    [[ ! -L $path ]] || return 1
    facts=$(stat -c '%u %h %a %F' -- "$path") || return 1
    read -r uid links mode kind <<<"$facts"
    [[ $uid == 0 && ${kind/regular empty file/regular file} == "$type" ]] || return 1
    (((8#$mode & 8#$bits) == 0)) || return 1
    [[ $type == directory || $links == 1 ]]
}

# Makes the state directory root's alone, creating it when missing, and
# holds the lock file in it until the script ends: commands from the
# service or from an administrator's shell then read and change the state
# one at a time. No other user can open that file, so none can hold its lock.
lock_state() {
    local mode
    if [[ ! -e $state_dir && ! -L $state_dir ]]; then
        mkdir -m 0700 -- "$state_dir" || fail "create $state_dir" mkdir $?
    fi
    if ! only_root_writes "$state_dir" directory; then
        refuse "$state_dir is not a directory of root's that only root may write"
    fi
    mode=$(stat -c %a -- "$state_dir") || fail "read the mode of $state_dir" stat $?
    if (((8#$mode & 8#077) != 0)); then
        # As earlier versions left it, open to all.
        chmod 0700 -- "$state_dir" || fail "close $state_dir to other users" chmod $?
        note notice "closed $state_dir to other users (mode $mode, now 700)"
    fi
    if [[ ! -e $lock_file && ! -L $lock_file ]]; then
        (umask 077 && : >>"$lock_file") || fail "create the lock file $lock_file" bash $?
    fi
    if ! only_root_writes "$lock_file" "regular file" 077; then
        refuse "lock file $lock_file is not a file of root's that only root may open"
    fi
    exec {state_lock}<"$lock_file"
    if ! flock -w "$state_lock_seconds" "$state_lock"; then
        refuse "$lock_file stayed locked by another account command for $state_lock_seconds s"
    fi
}

# Sets mark to the ID mark, 0 when there is none yet.
read_mark() {
    local value=
    mark=0
    if [[ ! -e $mark_file && ! -L $mark_file ]]; then
        return 0
    fi
    if ! only_root_writes "$mark_file" "regular file"; then
        refuse "ID mark $mark_file is not a file of root's that only root may write"
    fi
    read -r value <"$mark_file" || true
    if [[ ! $value =~ ^[0-9]{1,10}$ ]]; then
        refuse "ID mark $mark_file holds no number"
    fi
    mark=$((10#$value))
}

# write_state FILE TEXT: replaces FILE of the state directory in one rename,
# so that a crash leaves the old file or the new one, never a torn file.
write_state() {
    local file=$1 text=$2 temporary status=0
    temporary=$(mktemp -- "${file%/*}/.${file##*/}.XXXXXX") || fail "write $file" mktemp $?
    {
        printf '%s\n' "$text" >"$temporary" &&
            chmod 0644 -- "$temporary" &&
            mv -f -T -- "$temporary" "$file"
    } || status=$?
    if ((status != 0)); then
        rm -f -- "$temporary"
        fail "write $(quoted "$text") to $file" "$file" "$status"
    fi
}

# raise_mark ID...: the mark becomes the highest of itself and the IDs given.
raise_mark() {
    local id highest
    read_mark
    highest=$mark
    for id in "$@"; do
        if ((id > highest)); then
            highest=$id
        fi
    done
    if ((highest > mark)); then
        write_state "$mark_file" "$highest"
    fi
}

# raise_if_in_range ID LOW HIGH: raises highest to ID when ID is in LOW..HIGH.
raise_if_in_range() {
    if in_range "$1" "$2" "$3" && ((10#$1 > highest)); then
        highest=$((10#$1))
    fi
}

# Sets user_entries to the whole user database, one entry a line.
read_users() {
    if ! user_entries=$(bounded "$lookup_seconds" getent passwd); then
        refuse "cannot read the user database"
    fi
}

# read_ranges FILE: sets ranges to "FIRST LAST OWNER" of each subordinate
# range in FILE, one a line; none when there is no FILE. A FILE that others
# could have written, or a line that is no range, refuses.
read_ranges() {
    local file=$1 line owner start count
    ranges=
    if [[ ! -e $file && ! -L $file ]]; then
        return 0
    fi
    if ! only_root_writes "$file" "regular file"; then
        refuse "$file is not a file of root's that only root may write"
    fi
    while IFS= read -r line || [[ -n $line ]]; do
        [[ -n $line ]] || continue
        IFS=: read -r owner start count <<<"$line"
        if [[ ! $start =~ ^[0-9]{1,10}$ || ! $count =~ ^[0-9]{1,10}$ ]]; then
            refuse "not a subordinate range in $file: $(quoted "$line")"
        fi
        if ((10#$count > 0)); then
            ranges+="$((10#$start)) $((10#$start + 10#$count - 1)) $owner"$'\n'
        fi
    done <"$file"
}

# Refuses add while the IDs it may give could fall into a subordinate range
# that useradd hands out later.
require_separate_ranges() {
    if ((sub_uid_count > 0 && uid_min <= sub_uid_max && sub_uid_min <= uid_max)); then
        refuse "UID_MIN..UID_MAX ($uid_min..$uid_max) of $login_defs overlaps SUB_UID_MIN..SUB_UID_MAX ($sub_uid_min..$sub_uid_max): a new account's UID could be another user's subordinate UID"
    fi
    if ((sub_gid_count > 0 && gid_min <= sub_gid_max && sub_gid_min <= gid_max)); then
        refuse "GID_MIN..GID_MAX ($gid_min..$gid_max) of $login_defs overlaps SUB_GID_MIN..SUB_GID_MAX ($sub_gid_min..$sub_gid_max): a new account's GID could be another user's subordinate GID"
    fi
}

# Sets new_id, the ID for a new account, used as its UID and as its own
# group's GID: one above the mark, above every ID in use in the ranges and
# above every owner of an entry in the home base, and in no subordinate
# range. Records it as the mark before the account exists, so that a failed
# add burns an ID rather than frees one.
claim_next_id() {
    local low high highest id uid gid entries first last subordinate stepped=1
    low=$((uid_min > gid_min ? uid_min : gid_min))
    high=$((uid_max < gid_max ? uid_max : gid_max))
    read_mark
    highest=$mark
    read_users
    while IFS=: read -r _ _ id _; do
        raise_if_in_range "$id" "$uid_min" "$uid_max"
    done <<<"$user_entries"
    if ! entries=$(bounded "$lookup_seconds" getent group); then
        refuse "cannot read the group database"
    fi
    while IFS=: read -r _ _ id _; do
        raise_if_in_range "$id" "$gid_min" "$gid_max"
    done <<<"$entries"
    while read -r uid gid _; do
        raise_if_in_range "$uid" "$uid_min" "$uid_max"
        raise_if_in_range "$gid" "$gid_min" "$gid_max"
    done <<<"$home_entries"
    new_id=$((highest < low ? low : highest + 1))
    read_ranges "$subuid_file"
    subordinate=$ranges
    read_ranges "$subgid_file"
    subordinate+=$ranges
    while ((stepped)); do
        stepped=0
        while read -r first last _; do
            if [[ -n $first ]] && ((new_id >= first && new_id <= last)); then
                new_id=$((last + 1))
                stepped=1
            fi
        done <<<"$subordinate"
    done
    if ((new_id > high)); then
        refuse "no unused ID left in $low..$high outside the subordinate ranges of $subuid_file and $subgid_file (highest given: $highest)"
    fi
    write_state "$mark_file" "$new_id"
}

# Sets kill_ranges to "FIRST-LAST" words: the account's UID and its
# subordinate UID ranges, whose processes delete ends. Refuses a range that
# holds another account's UID or overlaps another owner's range: their
# processes would look like the account's.
find_kill_ranges() {
    local first last owner other_first other_last other entry_name entry_uid own=
    kill_ranges=("$account_uid-$account_uid")
    read_ranges "$subuid_file"
    while read -r first last owner; do
        if [[ -n $first && ($owner == "$name" || $owner == "$account_uid") ]]; then
            own+="$first $last"$'\n'
            kill_ranges+=("$first-$last")
        fi
    done <<<"$ranges"
    [[ -n $own ]] || return 0
    read_users
    while read -r first last; do
        while read -r other_first other_last other; do
            if [[ -n $other_first && $other != "$name" && $other != "$account_uid" ]] &&
                ((other_first <= last && first <= other_last)); then
                refuse "subordinate range $first-$last of $name in $subuid_file overlaps that of $(quoted "$other")"
            fi
        done <<<"$ranges"
        while IFS=: read -r entry_name _ entry_uid _; do
            if [[ $entry_name != "$name" ]] && in_range "$entry_uid" "$first" "$last"; then
                refuse "subordinate range $first-$last of $name in $subuid_file holds the UID of $(quoted "$entry_name")"
            fi
        done <<<"$user_entries"
    done <<<"$own"
}

# in_home_view COMMAND...: runs COMMAND in a mount namespace of its own, in
# which the home base is bound over itself without the mounts beneath it.
# There each home is the directory itself, never a file system that a user
# mounted on it; and a mount made meanwhile does not reach into the
# namespace.
in_home_view() {
    # shellcheck disable=SC2016 # for the inner bash
    bounded "$service_seconds" unshare --mount --propagation private -- \
        bash -c 'mount --bind -- "$1" "$1" && shift && exec "$@"' home-view "$real_home_base" "$@"
}

# Sets home_entries to "UID GID TYPE NAME" of each entry of the home base,
# one a line, as seen beneath any mounts (nothing without a home base).
scan_home_base() {
    local status=0
    home_entries=
    if [[ ! -d $real_home_base ]]; then
        return 0
    fi
    home_entries=$(in_home_view find "$real_home_base" -mindepth 1 -maxdepth 1 -printf '%U %G %y %f\n') ||
        status=$?
    if ((status != 0)); then
        refuse "cannot read the owners of the homes in $(quoted "$home_base")"
    fi
}

# home_entry NAME: prints "UID TYPE" of the entry NAME in the home base (TYPE
# as find's %y: d a directory, l a symlink, ...), or nothing.
home_entry() {
    local uid type entry
    while read -r uid _ type entry; do
        if [[ $entry == "$1" ]]; then
            printf '%s %s\n' "$uid" "$type"
            return 0
        fi
    done <<<"$home_entries"
}

# Sets own_home to the home directory that delete gives to root, or to
# nothing: the deleted account's own, a real directory at the home base plus
# the name, owned by the account, in a base that only root may change. Logs
# any other home as left alone; it is not looked at, since it may lie on
# another user's file system.
find_own_home() {
    local name=$1 facts
    own_home=
    if [[ -z $account_home ]]; then
        return 0
    fi
    if [[ $account_home == "$home_base/$name" || $account_home == "$real_home_base/$name" ]] &&
        only_root_writes "$real_home_base" directory; then
        facts=$(home_entry "$name")
        if [[ -z $facts ]]; then
            return 0
        elif [[ $facts == "$account_uid d" ]]; then
            own_home=$real_home_base/$name
            return 0
        fi
    fi
    note warning "home directory $(quoted "$account_home") of $name left as it is: not $name's own directory under $(quoted "$home_base")"
}

# Before a delete: nothing of the account may run on, nor start later under
# its UID, which an account that other tools add may get. Each step that
# acts is logged.
end_account_activity() {
    disable_lingering
    stop_user_manager
    end_processes
    remove_crontab
    remove_at_jobs
    # A job that cron or atd started in the meantime.
    end_processes
}

disable_lingering() {
    local flag=$linger_dir/$name
    if [[ ! -e $flag && ! -L $flag ]]; then
        return 0
    fi
    if command -v loginctl >/dev/null && bounded "$service_seconds" loginctl disable-linger -- "$name"; then
        note notice "disabled lingering of $name"
        return 0
    fi
    # No logind to ask: the flag alone makes it start the manager at boot.
    rm -f -- "$flag" || fail "disable lingering of $name" rm $?
    note notice "disabled lingering of $name: removed $flag"
}

# A manager that does not stop in time is ended with the account's other
# processes.
stop_user_manager() {
    local status=0
    # Without systemd there is no user manager.
    if [[ ! -d /run/systemd/system ]]; then
        return 0
    fi
    bounded "$service_seconds" systemctl stop "user@$account_uid.service" || status=$?
    if ((status == 124)); then
        note warning "the user manager of $name did not stop within $service_seconds s: it is ended with its processes"
    elif ((status != 0)); then
        fail "stop the user manager of $name" systemctl "$status"
    else
        note notice "stopped the user manager of $name"
    fi
}

# Kills, as root, every process whose real or saved UID lies in one of the
# ranges given ("FIRST-LAST"), until none is left or the seconds given have
# passed; prints the PIDs it ended, or those still left (status 1). Each is
# signalled through a pidfd, after its IDs were read again with the pidfd
# open, so a PID that another process took meanwhile is never signalled.
# Zombies run nothing (a leader whose threads run on is no zombie).
# pidfd_open and pidfd_send_signal are 434 and 424 on every architecture,
# but for the offset that the numbers of a few carry.
# shellcheck disable=SC2016 # for perl
readonly process_killer='
use strict;
use warnings;
use Config;
use POSIX ();
my ($seconds, @words) = @ARGV;
my @ranges = map { [split /-/] } @words;
my $offset = 0;
for ([qr/^mips64/, 5000], [qr/^mips/, 4000], [qr/^alpha/, 110], [qr/^ia64/, 1024]) {
    if ($Config{archname} =~ $_->[0]) { $offset = $_->[1]; last }
}
my ($pidfd_open, $pidfd_send_signal) = (434 + $offset, 424 + $offset);
sub in_ranges {
    my $id = shift;
    for my $range (@ranges) { return 1 if $id >= $range->[0] && $id <= $range->[1] }
    return 0;
}
sub runs_in_ranges {
    my $pid = shift;
    open(my $status, "<", "/proc/$pid/status") or return 0;
    my ($state, $threads, $real, $saved) = ("", 0);
    while (my $line = <$status>) {
        $state = $1 if $line =~ /^State:\s*(\S)/;
        $threads = $1 if $line =~ /^Threads:\s*(\d+)/;
        ($real, $saved) = ($1, $2) if $line =~ /^Uid:\s*(\d+)\s+\d+\s+(\d+)/;
    }
    close $status;
    return 0 if !defined $real || ($state =~ /[ZX]/ && $threads <= 1);
    return in_ranges($real) || in_ranges($saved);
}
my $deadline = time + $seconds;
my %ended;
while (1) {
    opendir(my $proc, "/proc") or die "/proc: $!\n";
    my @left = grep { /^\d+$/ && $_ != $$ && runs_in_ranges($_) } readdir $proc;
    closedir $proc;
    if (!@left) { print join(" ", sort { $a <=> $b } keys %ended), "\n"; exit 0 }
    if (time >= $deadline) { print "@left\n"; exit 1 }
    for my $pid (@left) {
        my $fd = syscall($pidfd_open, $pid + 0, 0);
        next if $fd < 0;
        if (runs_in_ranges($pid) && syscall($pidfd_send_signal, $fd, 0, 0, 0) == 0 &&
            syscall($pidfd_send_signal, $fd, 9, 0, 0) == 0) {
            $ended{$pid} = 1;
        }
        POSIX::close($fd);
    }
    select(undef, undef, undef, 0.05);
}
'

# Ends the account's processes, those under its subordinate UIDs included,
# from root: none of them can stop or signal the killer.
end_processes() {
    local output status=0
    if ((account_uid == 0)); then
        refuse "will not end the processes of UID 0"
    fi
    output=$(bounded $((kill_seconds + 5)) perl -e "$process_killer" -- "$kill_seconds" "${kill_ranges[@]}") ||
        status=$?
    if ((status == 1)); then
        fail_with 1 "end the processes of $name" "still running after $kill_seconds s: $output"
    elif ((status != 0)); then
        fail "end the processes of $name" perl "$status"
    fi
    if [[ -n $output ]]; then
        note notice "ended the processes of $name: $output"
    fi
}

remove_crontab() {
    local output status=0
    if ! command -v crontab >/dev/null; then
        return 0
    fi
    output=$(bounded "$service_seconds" crontab -u "$name" -r 2>&1) || status=$?
    if ((status == 0)); then
        note notice "removed the crontab of $name"
    elif [[ $status == 124 || $output != *"no crontab for"* ]]; then
        fail "remove the crontab of $name" crontab "$status"
    fi
}

# Running jobs (queue "=") are left to atd: their processes are ended above.
remove_at_jobs() {
    local queue id rest letter jobs=() status=0
    if ! command -v atq >/dev/null; then
        return 0
    fi
    queue=$(bounded "$service_seconds" atq) || fail "list the at jobs" atq $?
    while read -r id rest; do
        letter=${rest% *}
        letter=${letter##* }
        if [[ ${rest##* } == "$name" && $letter != = ]]; then
            jobs+=("$id")
        fi
    done <<<"$queue"
    if ((${#jobs[@]} > 0)); then
        bounded "$service_seconds" atrm "${jobs[@]}" || status=$?
        if ((status != 0)); then
            fail "remove the at jobs of $name" atrm "$status"
        fi
        note notice "removed the at jobs of $name: ${jobs[*]}"
    fi
}

# --- lock and unlock ---

# Sets password and expiry, the account's password field and expiry day
# (nothing for none), from the shadow database; locked_day is lock's.
readonly locked_day=1
read_shadow() {
    lookup shadow "$name"
    if [[ -z $found_entry ]]; then
        refuse "no shadow entry for $name"
    fi
    IFS=: read -r _ password _ _ _ _ _ expiry _ <<<"$found_entry"
    if [[ $expiry == -1 ]]; then
        expiry=
    elif [[ -n $expiry && ! $expiry =~ ^[0-9]{1,10}$ ]]; then
        refuse "the expiry date of $name is no day: $(quoted "$expiry")"
    fi
    [[ -z $expiry ]] || expiry=$((10#$expiry))
}

# password_kind FIELD: "open" (a hash, or empty: the password lets the
# account in), "locked" (a hash behind "!"), or "none" ("!", "*", ...).
password_kind() {
    case $1 in
        '' | [!!*]*) echo open ;;
        '!'[!!*]*) echo locked ;;
        *) echo none ;;
    esac
}

# expired DAY: an expiry DAY that PAM's account stage refuses today.
expired() {
    local now
    printf -v now '%(%s)T' -1
    [[ -n $1 ]] && (($1 <= now / 86400))
}

# Sets record_expiry ("-" for none) and record_password ("locked": lock put
# the "!" there; "kept") from what lock recorded of this account, or
# record_password to nothing when there is no record of it. A record counts
# only while lock's expiry day is in place, and only for the account it was
# made for (its UID): one left by a lock that failed, or undone by hand, is
# no record. Reads after read_shadow.
read_lock_record() {
    local file=$locks_dir/$name uid=
    record_password='' record_expiry=''
    if [[ ! -e $file && ! -L $file ]]; then
        return 0
    fi
    if ! only_root_writes "$file" "regular file"; then
        refuse "lock record $file is not a file of root's that only root may write"
    fi
    read -r uid record_expiry record_password <"$file" || true
    if [[ ! $uid =~ ^[0-9]{1,10}$ || ! $record_expiry =~ ^(-|[0-9]{1,10})$ || ! $record_password =~ ^(locked|kept)$ ]]; then
        refuse "lock record $file holds no record"
    fi
    if ((10#$uid != account_uid)) || [[ $expiry != "$locked_day" ]]; then
        record_password='' record_expiry=''
    fi
}

write_lock_record() {
    if [[ ! -d $locks_dir ]]; then
        mkdir -m 0700 -- "$locks_dir" || fail "create $locks_dir" mkdir $?
    fi
    if ! only_root_writes "$locks_dir" directory; then
        refuse "$locks_dir is not a directory of root's that only root may write"
    fi
    write_state "$locks_dir/$name" "$account_uid $1 $2"
}

drop_lock_record() {
    rm -f -- "$locks_dir/$name" || fail "remove the lock record of $name" rm $?
}

describe_state() {
    printf 'expiry day %s, password %s' "${expiry:-none}" "$(password_kind "$password")"
}

lock_account() {
    local kind before put options=(--expiredate "$locked_day")
    read_shadow
    read_lock_record
    kind=$(password_kind "$password")
    if expired "$expiry" && [[ $kind != open ]]; then
        note notice "user $name was already locked: nothing changed"
        return 0
    fi
    # What lock already did and is still in place stays lock's to undo.
    before=${record_expiry:-${expiry:--}}
    put=kept
    if [[ $kind == open ]]; then
        put=locked
        options+=(--lock)
    elif [[ $record_password == locked && $kind == locked ]]; then
        put=locked
    fi
    write_lock_record "$before" "$put"
    run_tool "lock user $name" usermod "${options[@]}" -- "$name"
    read_shadow
    if [[ $expiry != "$locked_day" || $(password_kind "$password") == open ]]; then
        fail_with 1 "lock user $name" "the account did not change as asked ($(describe_state))"
    fi
    note notice "locked user $name"
}

unlock_account() {
    local kind after options=()
    read_shadow
    read_lock_record
    kind=$(password_kind "$password")
    if [[ -z $record_password ]]; then
        if expired "$expiry"; then
            refuse "user $name expires on day $expiry, which lock did not set: unlock undoes only what lock did"
        elif [[ $kind != locked ]]; then
            note notice "user $name was not locked: nothing changed"
            return 0
        fi
        # A password locked without an expiry, by hand or by earlier
        # versions of this script.
        options+=(--unlock)
        after=$expiry
    else
        if [[ $record_password == locked && $password == '!' ]]; then
            refuse "unlock would leave $name with an empty password, which lets anyone in: give it a password first"
        fi
        after=${record_expiry#-}
        options+=(--expiredate "$after")
        if [[ $record_password == locked && $kind == locked ]]; then
            options+=(--unlock)
        fi
    fi
    run_tool "unlock user $name" usermod "${options[@]}" -- "$name"
    read_shadow
    if [[ $expiry != "$after" ]] || [[ " ${options[*]} " == *" --unlock "* && $(password_kind "$password") != open ]]; then
        fail_with 1 "unlock user $name" "the account did not change as asked ($(describe_state))"
    fi
    drop_lock_record
    if expired "$expiry"; then
        fail_with 1 "unlock user $name" "it stays expired: its own expiry day, $expiry, from before lock, has passed"
    fi
    note notice "unlocked user $name"
    if [[ $(password_kind "$password") == none ]]; then
        note notice "user $name has no password: it logs in only by other means, such as a key"
    fi
}

# Sets settings to the "KEY = VALUE" lines of the script's configuration file
# and backend to its choice; without the file, the local backend. A file
# that others could have written, or a line that is no setting, refuses
# every command.
read_settings() {
    local line number=0
    backend=local
    if [[ ! -e $settings_file && ! -L $settings_file ]]; then
        return 0
    fi
    if ! only_root_writes "$settings_file" "regular file"; then
        refuse "configuration $settings_file is not a file of root's that only root may write"
    fi
    while IFS= read -r line || [[ -n $line ]]; do
        number=$((number + 1))
        if [[ $line =~ ^[[:space:]]*(#|$) ]]; then
            continue
        fi
        if [[ ! $line =~ ^[[:space:]]*([a-z_]+)[[:space:]]*=[[:space:]]*([^[:space:]](.*[^[:space:]])?)?[[:space:]]*$ ]] ||
            [[ -v settings[${BASH_REMATCH[1]}] ]]; then
            refuse "line $number of $settings_file is no setting, or one set twice: $(quoted "$line")"
        fi
        settings[${BASH_REMATCH[1]}]=${BASH_REMATCH[2]}
    done <"$settings_file"
    backend=${settings[backend]:-local}
    if [[ $backend != local && $backend != directory ]]; then
        refuse "backend $(quoted "$backend") of $settings_file is neither local nor directory"
    fi
}

if (($# != 2)); then
    refuse "$usage_text (got $# arguments: $(quoted "$@"))"
fi

command=$1
name=$2

case $command in
    add | delete | lock | unlock) ;;
    *) refuse "unknown command $(quoted "$command"); $usage_text" ;;
esac

if [[ ! $name =~ $name_pattern ]]; then
    refuse "invalid user name $(quoted "$name")"
fi

read_settings
if [[ $backend == directory ]]; then
    # Root runs this code: it must be root's as much as the script is.
    if ! only_root_writes "${directory_code%/*}" directory ||
        ! only_root_writes "$directory_code" "regular file"; then
        refuse "directory backend $directory_code is not a file of root's that only root may write"
    fi
    # shellcheck source-path=SCRIPTDIR source=directory.sh
    . "$directory_code"
    run_directory_command
    exit 0
fi

case $command in
    add)
        require_unreserved_name "$name"
        require_separate_ranges
        lock_state
        find_home_base
        scan_home_base
        find_managed_gid
        require_new_name "$name"
        claim_next_id
        # A record of an account of that name deleted by hand.
        rm -f -- "$locks_dir/$name"
        # No subordinate range: one freed by a delete could be handed on.
        run_logged "add user $name" "added user $name" \
            useradd --create-home --shell /bin/bash --uid "$new_id" --groups "$managed_group" \
            --key "GID_MIN=$new_id" --key "GID_MAX=$new_id" \
            --key SUB_UID_COUNT=0 --key SUB_GID_COUNT=0 -- "$name"
        ;;
    delete)
        require_managed_account "$name"
        lock_state
        find_home_base
        find_kill_ranges
        # The account's IDs are free once it is gone: the mark keeps them.
        if in_range "$account_gid" "$gid_min" "$gid_max"; then
            raise_mark "$account_uid" "$((10#$account_gid))"
        else
            raise_mark "$account_uid"
        fi
        end_account_activity
        scan_home_base
        find_own_home "$name"
        run_logged "delete user $name" "deleted user $name" userdel -- "$name"
        drop_lock_record
        if [[ -n $own_home ]]; then
            # Closed before it changes hands, beneath any mount on it; its
            # contents keep the old IDs, which this script gives nobody.
            in_home_view chmod 0700 -- "$own_home" ||
                fail "close the kept home $(quoted "$own_home")" chmod $?
            in_home_view chown -h 0:0 -- "$own_home" ||
                fail "give the kept home $(quoted "$own_home") to root" chown $?
            note notice "kept home directory $(quoted "$own_home") of $name: now root's, mode 0700"
        fi
        ;;
    lock)
        require_managed_account "$name"
        lock_state
        lock_account
        ;;
    unlock)
        require_managed_account "$name"
        lock_state
        unlock_account
        ;;
esac
