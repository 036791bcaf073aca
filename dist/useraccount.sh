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
# add refuses a reserved administrative name (reserved_names below, whether
# or not such a group exists), the name of any existing user or group, and a
# name whose home directory (the HOME base of "useradd -D" plus the name)
# exists in any form, a dangling symlink included. So adding a name again
# after its delete is refused for as long as the old home is kept: archive or
# remove that directory first.
#
# IDs are never used twice. The highest UID or GID that add has handed out or
# that a deleted account held is kept in /var/lib/useraccountd/highest-id.
# A new account gets one number as its UID and as its own group's GID, above
# that mark and above every UID and GID in use in the ranges of login.defs
# and every owner of an entry in the home base (the kept homes of accounts
# deleted by hand). A missing mark is started from those; a mark that is not
# a root-owned regular file only root may write, or holds no number, refuses
# every add and delete until an administrator fixes or removes it. When the
# ranges are used up, add is refused rather than reusing an ID.
#
# delete keeps the home directory, but gives it to root with mode 0700: only
# when it is the account's own, a real directory (no symlink) at the HOME base
# plus the name and owned by the account. Any other home is left as it is,
# and that is logged.
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
# Names of groups that make their members administrators somewhere, and of
# the system's own accounts: add refuses them even where no such group exists
# yet, so that a package installed later cannot hand its rights to an account
# a sender named. Entries are patterns. A site may add its own.
readonly -a reserved_names=(
    root daemon bin sys adm admin administrator sudo sudoers wheel staff
    operator shadow disk kmem mem tty console utmp audio video input render
    kvm docker podman lxd lxc 'libvirt*' 'incus*' 'systemd-*' polkitd
    lpadmin sambashare netdev plugdev dialout bluetooth ssh sshd ssl-cert
    nobody nogroup users 'useraccount*'
)

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

require_unreserved_name() {
    local name=$1 pattern
    for pattern in "${reserved_names[@]}"; do
        # shellcheck disable=SC2053 # the entries are patterns
        if [[ $name == $pattern ]]; then
            refuse "reserved name: $name"
        fi
    done
}

# Refuses NAME for add unless no user, group or home of that name exists.
require_new_name() {
    local name=$1 home
    find_managed_gid
    lookup passwd "$name"
    if [[ -n $found_entry ]]; then
        refuse "user already exists: $name"
    fi
    lookup group "$name"
    if [[ -n $found_entry ]]; then
        refuse "a group of that name exists: $name"
    fi
    # -L catches a symlink that -e, following it, would miss.
    home=$home_base/$name
    if [[ -e $home || -L $home ]]; then
        refuse "home directory already exists: $(quoted "$home")"
    fi
}

# only_root_writes PATH TYPE: PATH is no symlink, is of TYPE ("directory" or
# "regular file"), belongs to root and is writable by nobody else; a regular
# file also has a single link, so that it is not another file's second name.
only_root_writes() {
    local path=$1 type=$2 facts uid links mode kind
    [[ ! -L $path ]] || return 1
    facts=$(stat -c '%u %h %a %F' -- "$path") || return 1
    read -r uid links mode kind <<<"$facts"
    [[ $uid == 0 && $kind == "$type" ]] || return 1
    (((8#$mode & 8#022) == 0)) || return 1
    [[ $type == directory || $links == 1 ]]
}

# Opens the state directory, creating it when missing, and holds its lock
# until the script ends: add and delete, from the service or from an
# administrator's shell, then read and raise the mark one at a time.
lock_state() {
    if [[ ! -e $state_dir && ! -L $state_dir ]]; then
        mkdir -m 0755 -- "$state_dir" || fail "create $state_dir" mkdir $?
    fi
    if ! only_root_writes "$state_dir" directory; then
        refuse "$state_dir is not a directory of root's that only root may write"
    fi
    exec {state_lock}<"$state_dir"
    if ! flock -w 60 "$state_lock"; then
        refuse "$state_dir stayed locked by another account command for 60 s"
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
    local low high highest id uid gid entries owners=
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
    if [[ -d $home_base ]] && ! owners=$(find "$home_base" -mindepth 1 -maxdepth 1 -printf '%U %G\n'); then
        refuse "cannot read the owners of the homes in $(quoted "$home_base")"
    fi
    while read -r uid gid; do
        raise_if_in_range "$uid" "$uid_min" "$uid_max"
        raise_if_in_range "$gid" "$gid_min" "$gid_max"
    done <<<"$owners"
    new_id=$((highest < low ? low : highest + 1))
    if ((new_id > high)); then
        refuse "no unused ID left in $low..$high (highest given: $highest)"
    fi
    write_mark "$new_id"
}

# Sets own_home to the home directory that delete gives to root, or to
# nothing: the deleted account's own, a real directory at the home base plus
# the name, owned by the account, in a base that only root may change. Logs
# any other home that exists as left alone.
find_own_home() {
    local name=$1 expected=$home_base/$1 owner
    own_home=
    if [[ -z $account_home || (! -e $account_home && ! -L $account_home) ]]; then
        return 0
    fi
    if [[ $account_home == "$expected" && -d $expected && ! -L $expected ]] &&
        only_root_writes "$home_base" directory &&
        owner=$(stat -c %u -- "$expected") && [[ $owner == "$account_uid" ]]; then
        own_home=$expected
        return 0
    fi
    logger -t "$log_tag" -p auth.warning -- \
        "home directory $(quoted "$account_home") of $name left as it is: not $name's own directory under $(quoted "$home_base")" || true
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

case $command in
    add)
        require_unreserved_name "$name"
        lock_state
        find_home_base
        require_new_name "$name"
        claim_next_id
        run_logged "add user $name" "added user $name" \
            useradd --create-home --shell /bin/bash --uid "$new_id" --groups "$managed_group" \
            --key "GID_MIN=$new_id" --key "GID_MAX=$new_id" -- "$name"
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
        find_own_home "$name"
        run_logged "delete user $name" "deleted user $name" userdel -- "$name"
        if [[ -n $own_home ]]; then
            # Closed before it changes hands; its contents keep the old IDs,
            # which nobody gets again.
            chmod 0700 -- "$own_home" || fail "close the kept home $(quoted "$own_home")" chmod $?
            run_logged "give the kept home $(quoted "$own_home") to root" \
                "kept home directory $(quoted "$own_home") of $name: now root's, mode 0700" \
                chown -h root:root -- "$own_home"
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
