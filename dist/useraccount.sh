#!/bin/bash
# Account script run as root by useraccountd, through sudo, once for each
# account command taken off its message queue:
#
#   useraccount.sh add NAME      create NAME with a new home directory
#   useraccount.sh delete NAME   delete NAME (its home directory is kept)
#   useraccount.sh lock NAME     lock NAME's password
#   useraccount.sh unlock NAME   unlock NAME's password
#
# Any local user may put a command on the queue, so everything that reaches
# this script is untrusted: the command must be one of the four above with
# exactly one name, and the name must be a plain user name. delete, lock and
# unlock only ever touch ordinary login accounts: a UID in UID_MIN..UID_MAX of
# /etc/login.defs, and no administrative group (admin_groups below) as primary
# or supplementary group. So root, system accounts and administrators are
# never touched. add refuses a name whose home directory (the HOME base of
# "useradd -D" plus the name) already exists as anything, a dangling symlink
# included: a re-created user must not inherit an earlier user's files.
#
# Exit status: 0 done, 2 command refused, otherwise the status of the failed
# account tool. Every action, every failure and every refusal is logged with
# the tag "useraccount".

set -euo pipefail

# Character ranges in the name check must mean ASCII, whatever the caller's
# locale.
export LC_ALL=C

readonly log_tag=useraccount
readonly login_defs=/etc/login.defs
readonly name_pattern='^[a-z_][a-z0-9_-]{0,31}$'
# Membership in any of these groups makes an account administrative. A site
# may edit the list; a group that does not exist here is skipped.
readonly -a admin_groups=(root sudo adm wheel staff)

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

usage_text='usage: useraccount.sh add|delete|lock|unlock NAME'

# The last value of KEY in login.defs, or DEFAULT.
login_defs_value() {
    local key=$1 value=$2 k v
    if [[ -r $login_defs ]]; then
        while read -r k v _; do
            if [[ $k == "$key" && $v =~ ^[0-9]+$ ]]; then
                value=$v
            fi
        done <"$login_defs"
    fi
    printf '%s' "$value"
}

# Refuses NAME unless it is an existing account with a UID in the range that
# useradd gives to ordinary users and no administrative group.
require_ordinary_account() {
    local name=$1 entry uid uid_min uid_max
    if ! entry=$(getent passwd -- "$name"); then
        refuse "no such user: $name"
    fi
    IFS=: read -r _ _ uid _ <<<"$entry"
    uid_min=$(login_defs_value UID_MIN 1000)
    uid_max=$(login_defs_value UID_MAX 60000)
    if [[ ! $uid =~ ^[0-9]+$ ]] || ((10#$uid < 10#$uid_min || 10#$uid > 10#$uid_max)); then
        refuse "not an ordinary user account: $name (uid $uid)"
    fi
    require_no_admin_group "$name"
}

# Groups are compared by GID, as the kernel grants rights: another name for an
# administrative GID counts too. "id -G" lists the primary group and every
# supplementary one from the group database. A lookup that fails for any
# reason but "no such group" refuses rather than guesses.
require_no_admin_group() {
    local name=$1 user_gids group entry gid status
    if ! user_gids=$(id -G -- "$name"); then
        refuse "cannot read the groups of $name"
    fi
    for group in "${admin_groups[@]}"; do
        status=0
        entry=$(getent group -- "$group") || status=$?
        if ((status == 2)); then
            continue
        fi
        if ((status != 0)); then
            refuse "cannot look up group $group (getent status $status)"
        fi
        IFS=: read -r _ _ gid _ <<<"$entry"
        if [[ " $user_gids " == *" $gid "* ]]; then
            refuse "administrative account: $name (group $group)"
        fi
    done
}

# Logs a failed account tool and passes its status on.
fail() {
    local action=$1 tool=$2 status=$3
    logger -t "$log_tag" -p auth.err -- "failed to $action: $tool status $status" || true
    printf 'useraccount.sh: failed to %s: %s status %d\n' "$action" "$tool" "$status" >&2
    exit "$status"
}

# Refuses NAME if the home directory useradd would create for it exists in
# any form; -L catches a symlink that -e, following it, would miss.
require_no_home() {
    local name=$1 defaults line base=/home status=0 home
    defaults=$(useradd -D) || status=$?
    if ((status != 0)); then
        fail "add user $name" "useradd -D" "$status"
    fi
    while IFS= read -r line; do
        if [[ $line == HOME=* ]]; then
            base=${line#HOME=}
        fi
    done <<<"$defaults"
    home=$base/$name
    if [[ -e $home || -L $home ]]; then
        refuse "home directory already exists: $(quoted "$home")"
    fi
}

# run_logged ACTION DONE TOOL ARG...: runs one account tool; logs DONE, or
# the failed ACTION and passes its status on.
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
        require_no_home "$name"
        run_logged "add user $name" "added user $name" \
            useradd --create-home --shell /bin/bash -- "$name"
        ;;
    delete)
        require_ordinary_account "$name"
        run_logged "delete user $name" "deleted user $name" userdel -- "$name"
        ;;
    lock)
        require_ordinary_account "$name"
        run_logged "lock user $name" "locked user $name" usermod --lock -- "$name"
        ;;
    unlock)
        require_ordinary_account "$name"
        run_logged "unlock user $name" "unlocked user $name" usermod --unlock -- "$name"
        ;;
esac
