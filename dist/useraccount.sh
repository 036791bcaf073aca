#!/bin/bash
# Account script run as root by useraccountd, through sudo, once for each
# account command taken off its message queue:
#
#   useraccount.sh add NAME      create NAME with a home directory
#   useraccount.sh delete NAME   delete NAME (its home directory is kept)
#   useraccount.sh lock NAME     lock NAME's password
#   useraccount.sh unlock NAME   unlock NAME's password
#
# Any local user may put a command on the queue, so everything that reaches
# this script is untrusted: the command must be one of the four above with
# exactly one name, the name must be a plain user name, and delete, lock and
# unlock only ever touch ordinary login accounts (UID_MIN..UID_MAX of
# /etc/login.defs), never root or a system account.
#
# Exit status: 0 done, 2 command refused, otherwise the status of the failed
# account tool. Every action and every refusal is logged with the tag
# "useraccount".

set -euo pipefail

# Character ranges in the name check must mean ASCII, whatever the caller's
# locale.
export LC_ALL=C

readonly log_tag=useraccount
readonly login_defs=/etc/login.defs
readonly name_pattern='^[a-z_][a-z0-9_-]{0,31}$'

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
# useradd gives to ordinary users.
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
}

# Runs one account tool; logs its outcome and passes on its failure.
run_logged() {
    local what=$1
    shift
    local status=0
    "$@" || status=$?
    if ((status == 0)); then
        logger -t "$log_tag" -p auth.notice -- "$what" || true
    else
        logger -t "$log_tag" -p auth.err -- "failed ($1 status $status): $what" || true
        printf 'useraccount.sh: %s failed with status %d\n' "$1" "$status" >&2
        exit "$status"
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

case $command in
    add)
        run_logged "added user $name" useradd --create-home --shell /bin/bash -- "$name"
        ;;
    delete)
        require_ordinary_account "$name"
        run_logged "deleted user $name" userdel -- "$name"
        ;;
    lock)
        require_ordinary_account "$name"
        run_logged "locked user $name" usermod --lock -- "$name"
        ;;
    unlock)
        require_ordinary_account "$name"
        run_logged "unlocked user $name" usermod --unlock -- "$name"
        ;;
esac
