#!/bin/bash
# Account script run as root by useraccountd, through sudo, once for each
# account command taken off its message queue:
#
#   useraccount.sh add NAME      create NAME with a new home directory
#   useraccount.sh delete NAME   delete NAME (its home directory is kept)
#   useraccount.sh lock NAME     lock NAME's password
#   useraccount.sh unlock NAME   unlock NAME's password
#
# Whoever may send to the queue, everything that reaches this script is
# untrusted: the command must be one of the four above with exactly one name,
# and the name must be a plain user name.
#
# Managed accounts. The script touches only the accounts it manages: members
# of the group useraccount-managed (managed_group below), primary or
# supplementary, with a UID in UID_MIN..UID_MAX of /etc/login.defs. add puts
# every account it creates in that group; delete, lock and unlock refuse any
# other account, whatever its other groups or sudo rights, and root and
# system accounts even when someone has put them in the group. Membership
# alone decides:
#   adduser NAME useraccount-managed      puts an existing account under
#                                         management (accounts made before
#                                         this rule, or by hand, are not);
#   gpasswd -d NAME useraccount-managed   takes it out again: do that before
#                                         you make the account an administrator.
#
# add refuses a reserved name (/etc/useraccountd/reserved-names: names that
# make an account an administrator, and the users that packages create for
# their daemons, whether or not such a user or group exists yet), the name of
# any existing user or group, and a name whose home directory (the HOME base
# of "useradd -D" plus the name) exists in any form, a dangling symlink
# included. So adding a name again after its delete is refused for as long
# as the old home is kept: archive or remove that directory first. A list of
# reserved names that is missing, or that others could have written, refuses
# every add.
#
# This script never gives an ID twice. The highest UID or GID that add has
# handed out or that a deleted account held is kept in
# /var/lib/useraccountd/highest-id. A new account gets one number as its UID
# and as its own group's GID, above that mark and above every UID and GID in
# use in the ranges of login.defs and every owner of an entry in the home
# base (the kept homes of accounts deleted by hand). A missing mark is
# started from those; a mark that is not a root-owned regular file only root
# may write, or holds no number, refuses every add and delete until an
# administrator fixes or removes it. When the ranges are used up, add is
# refused rather than reusing an ID. Accounts that other tools add (adduser,
# useradd) do not look at the mark and may get an ID that this script freed.
# New accounts get no subordinate UID or GID range (/etc/subuid,
# /etc/subgid), so none is ever handed on either.
#
# The state directory /var/lib/useraccountd is root's alone (mode 0700): no
# other user can read it, or open, and so lock, anything in it. add and
# delete hold the lock file in it while they run.
#
# The homes are looked at beneath any file system mounted on them (a private
# mount namespace in which the home base is bound over itself, without the
# mounts below it): a user's own mount on a home, which may refuse root or
# hang for as long as its owner likes, never refuses or holds up a command.
#
# delete first ends what the account could still run: it disables its
# lingering, stops its user manager, ends every process whose real or saved
# UID is the account's (whatever its cgroup, until none is left), and removes
# its crontab and its at jobs; a missing cron or at is no error. Then the
# account goes. Its home directory is kept, but given to root with mode 0700:
# only when it is the account's own, a real directory (no symlink) at the
# HOME base plus the name and owned by the account. Any other home is left as
# it is, and that is logged. Files the account left outside its home keep
# its UID.
#
# Backends. /etc/useraccountd/useraccount.conf chooses where the accounts
# live: "backend = local" (the default, and all that is said above) or
# "backend = directory", an LDAP directory that every host reads through
# NSS. The directory's code is /etc/useraccountd/directory.sh, which this
# script sources once the command and the name have passed the checks
# above; it shares the name rules, the reserved names and the ending of an
# account's processes with the local backend.
#
# Exit status: 0 done, 2 command refused, otherwise the status of the failed
# tool. Every action, every failure and every refusal is logged with the tag
# "useraccount".

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
readonly reserved_names_file=/etc/useraccountd/reserved-names
readonly linger_dir=/var/lib/systemd/linger
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
    logger -t "$log_tag" -p auth.warning -- "refused: $1" || true
    exit 2
}

# Logs a failed tool and passes its status on.
fail() {
    local action=$1 tool=$2 status=$3
    logger -t "$log_tag" -p auth.err -- "failed to $action: $tool status $status" || true
    printf 'useraccount.sh: failed to %s: %s status %d\n' "$action" "$tool" "$status" >&2
    exit "$status"
}

# run_logged ACTION DONE TOOL ARG...: runs one tool; logs DONE, or the failed
# ACTION and passes its status on.
run_logged() {
    local action=$1 done_text=$2
    shift 2
    local status=0
    "$@" || status=$?
    if ((status != 0)); then
        fail "$action" "$1" "$status"
    fi
    logger -t "$log_tag" -p auth.notice -- "$done_text" || true
}

usage_text='usage: useraccount.sh add|delete|lock|unlock NAME'

# The ID ranges of ordinary accounts: the last value of each key in
# login.defs, or useradd's default. One pass over the file.
uid_min=1000 uid_max=60000 gid_min=1000 gid_max=60000
if [[ -r $login_defs ]]; then
    while read -r key value _; do
        if [[ $value =~ ^[0-9]{1,10}$ ]]; then
            case $key in
                UID_MIN) uid_min=$((10#$value)) ;;
                UID_MAX) uid_max=$((10#$value)) ;;
                GID_MIN) gid_min=$((10#$value)) ;;
                GID_MAX) gid_max=$((10#$value)) ;;
            esac
        fi
    done <"$login_defs"
fi

# in_range VALUE LOW HIGH: VALUE is a number within LOW..HIGH.
in_range() {
    [[ $1 =~ ^[0-9]{1,10}$ ]] && ((10#$1 >= $2 && 10#$1 <= $3))
}

# Sets home_base: the HOME base of "useradd -D", under which add creates
# homes.
find_home_base() {
    local defaults line status=0
    defaults=$(useradd -D) || status=$?
    if ((status != 0)); then
        fail "read the defaults of useradd" "useradd -D" "$status"
    fi
    home_base=/home
    while IFS= read -r line; do
        if [[ $line == HOME=* ]]; then
            home_base=${line#HOME=}
        fi
    done <<<"$defaults"
}

# lookup DATABASE NAME: sets found_entry to the entry, or to nothing when
# there is no such entry. Any other failure refuses rather than guesses.
lookup() {
    local status=0
    found_entry=$(getent "$1" -- "$2") || status=$?
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
    find_managed_gid
    if ! user_gids=$(id -G -- "$name"); then
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
# holds the lock file in it until the script ends: add and delete, from the
# service or from an administrator's shell, then read and raise the mark one
# at a time. No other user can open that file, so none can hold its lock.
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
        logger -t "$log_tag" -p auth.notice -- "closed $state_dir to other users (mode $mode, now 700)" || true
    fi
    if [[ ! -e $lock_file && ! -L $lock_file ]]; then
        (umask 077 && : >>"$lock_file") || fail "create the lock file $lock_file" bash $?
    fi
    if ! only_root_writes "$lock_file" "regular file" 077; then
        refuse "lock file $lock_file is not a file of root's that only root may open"
    fi
    exec {state_lock}<"$lock_file"
    if ! flock -w 60 "$state_lock"; then
        refuse "$lock_file stayed locked by another account command for 60 s"
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

# Replaces the mark in one rename, so that a crash leaves the old mark or the
# new one, never a torn file.
write_mark() {
    local value=$1 temporary status=0
    temporary=$(mktemp -- "$state_dir/.highest-id.XXXXXX") || fail "record the ID mark" mktemp $?
    {
        printf '%s\n' "$value" >"$temporary" &&
            chmod 0644 -- "$temporary" &&
            mv -f -T -- "$temporary" "$mark_file"
    } || status=$?
    if ((status != 0)); then
        rm -f -- "$temporary"
        fail "record the ID mark $value" "$mark_file" "$status"
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
        write_mark "$highest"
    fi
}

# raise_if_in_range ID LOW HIGH: raises highest to ID when ID is in LOW..HIGH.
raise_if_in_range() {
    if in_range "$1" "$2" "$3" && ((10#$1 > highest)); then
        highest=$((10#$1))
    fi
}

# Sets new_id, the ID for a new account, used as its UID and as its own
# group's GID: one above the mark, above every ID in use in the ranges and
# above every owner of an entry in the home base. Records it as the mark
# before the account exists, so that a failed add burns an ID rather than
# frees one.
claim_next_id() {
    local low high highest id uid gid entries
    low=$((uid_min > gid_min ? uid_min : gid_min))
    high=$((uid_max < gid_max ? uid_max : gid_max))
    read_mark
    highest=$mark
    if ! entries=$(getent passwd); then
        refuse "cannot read the user database"
    fi
    while IFS=: read -r _ _ id _; do
        raise_if_in_range "$id" "$uid_min" "$uid_max"
    done <<<"$entries"
    if ! entries=$(getent group); then
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
    if ((new_id > high)); then
        refuse "no unused ID left in $low..$high (highest given: $highest)"
    fi
    write_mark "$new_id"
}

# in_home_view COMMAND...: runs COMMAND in a mount namespace of its own, in
# which the home base is bound over itself without the mounts beneath it.
# There each home is the directory itself, never a file system that a user
# mounted on it; and a mount made meanwhile does not reach into the
# namespace.
in_home_view() {
    # shellcheck disable=SC2016 # for the inner bash
    unshare --mount --propagation private -- \
        bash -c 'mount --bind -- "$1" "$1" && shift && exec "$@"' home-view "$home_base" "$@"
}

# Sets home_entries to "UID GID TYPE NAME" of each entry of the home base,
# one a line, as seen beneath any mounts (nothing without a home base).
scan_home_base() {
    local status=0
    home_entries=
    if [[ ! -d $home_base ]]; then
        return 0
    fi
    home_entries=$(in_home_view find "$home_base" -mindepth 1 -maxdepth 1 -printf '%U %G %y %f\n') ||
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
    local name=$1 expected=$home_base/$1 facts
    own_home=
    if [[ -z $account_home ]]; then
        return 0
    fi
    if [[ $account_home == "$expected" ]] && only_root_writes "$home_base" directory; then
        facts=$(home_entry "$name")
        if [[ -z $facts ]]; then
            return 0
        elif [[ $facts == "$account_uid d" ]]; then
            own_home=$expected
            return 0
        fi
    fi
    logger -t "$log_tag" -p auth.warning -- \
        "home directory $(quoted "$account_home") of $name left as it is: not $name's own directory under $(quoted "$home_base")" || true
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
    if command -v loginctl >/dev/null && loginctl disable-linger -- "$name"; then
        logger -t "$log_tag" -p auth.notice -- "disabled lingering of $name" || true
        return 0
    fi
    # No logind to ask: the flag alone makes it start the manager at boot.
    rm -f -- "$flag" || fail "disable lingering of $name" rm $?
    logger -t "$log_tag" -p auth.notice -- "disabled lingering of $name: removed $flag" || true
}

stop_user_manager() {
    # Without systemd there is no user manager.
    if [[ ! -d /run/systemd/system ]]; then
        return 0
    fi
    run_logged "stop the user manager of $name" "stopped the user manager of $name" \
        systemctl stop "user@$account_uid.service"
}

# Sets running to the PIDs of the account's live processes: those it may
# signal itself, whose real or saved UID is its own. Zombies run nothing.
list_processes() {
    local table
    table=$(ps -e -o pid=,stat=,ruid=,suid=) || fail "list the processes of $name" ps $?
    read -r -a running <<<"$(awk -v uid="$account_uid" \
        '($3 == uid || $4 == uid) && $2 !~ /^[ZX]/ {printf "%s ", $1}' <<<"$table")"
}

# Kills the account's processes until none is left. The signal is sent as
# the account, to every process it may signal (kill -1): the kernel reaches
# them all at once, those forked meanwhile included, and never another
# user's process that took a PID listed a moment ago.
end_processes() {
    local round found=
    if ((account_uid == 0)); then
        refuse "will not end the processes of UID 0"
    fi
    for ((round = 0; round < 50; round++)); do
        list_processes
        if ((${#running[@]} == 0)); then
            if [[ -n $found ]]; then
                logger -t "$log_tag" -p auth.notice -- "ended the processes of $name: $found" || true
            fi
            return 0
        fi
        found=${found:-${running[*]}}
        setpriv --reuid="$account_uid" --regid="$account_gid" --clear-groups -- kill -KILL -1 || true
        sleep 0.1
    done
    fail "end the processes of $name (still running: ${running[*]})" kill 1
}

remove_crontab() {
    local output status=0
    if ! command -v crontab >/dev/null; then
        return 0
    fi
    output=$(crontab -u "$name" -r 2>&1) || status=$?
    if ((status == 0)); then
        logger -t "$log_tag" -p auth.notice -- "removed the crontab of $name" || true
    elif [[ $output != *"no crontab for"* ]]; then
        fail "remove the crontab of $name" crontab "$status"
    fi
}

# Running jobs (queue "=") are left to atd: their processes are ended above.
remove_at_jobs() {
    local queue id rest letter jobs=()
    if ! command -v atq >/dev/null; then
        return 0
    fi
    queue=$(atq) || fail "list the at jobs" atq $?
    while read -r id rest; do
        letter=${rest% *}
        letter=${letter##* }
        if [[ ${rest##* } == "$name" && $letter != = ]]; then
            jobs+=("$id")
        fi
    done <<<"$queue"
    if ((${#jobs[@]} > 0)); then
        run_logged "remove the at jobs of $name" "removed the at jobs of $name: ${jobs[*]}" atrm "${jobs[@]}"
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
        lock_state
        find_home_base
        scan_home_base
        find_managed_gid
        require_new_name "$name"
        claim_next_id
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
        # The account's IDs are free once it is gone: the mark keeps them.
        account_uid=$((10#$account_uid))
        if in_range "$account_gid" "$gid_min" "$gid_max"; then
            raise_mark "$account_uid" "$((10#$account_gid))"
        else
            raise_mark "$account_uid"
        fi
        end_account_activity
        scan_home_base
        find_own_home "$name"
        run_logged "delete user $name" "deleted user $name" userdel -- "$name"
        if [[ -n $own_home ]]; then
            # Closed before it changes hands, beneath any mount on it; its
            # contents keep the old IDs, which this script gives nobody.
            in_home_view chmod 0700 -- "$own_home" ||
                fail "close the kept home $(quoted "$own_home")" chmod $?
            in_home_view chown -h 0:0 -- "$own_home" ||
                fail "give the kept home $(quoted "$own_home") to root" chown $?
            logger -t "$log_tag" -p auth.notice -- \
                "kept home directory $(quoted "$own_home") of $name: now root's, mode 0700" || true
        fi
        ;;
    lock)
        require_managed_account "$name"
        run_logged "lock user $name" "locked user $name" usermod --lock -- "$name"
        ;;
    unlock)
        require_managed_account "$name"
        run_logged "unlock user $name" "unlocked user $name" usermod --unlock -- "$name"
        ;;
esac
