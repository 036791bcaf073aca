# shellcheck shell=bash disable=SC2154 # command, name, the settings and the rest are useraccount.sh's
# The directory backend of the account script: sourced by useraccount.sh,
# once the command and the name have passed its checks, when its
# configuration file says "backend = directory". The same four commands, on
# posixAccount and posixGroup entries below the subtree "base" of an LDAP
# directory that every host reads through NSS. What each command does, the
# entries, and the setup of the directory: useraccount.conf(5).
#
# What the code relies on:
# - Only uid=NAME,ou=people,BASE and cn=NAME,ou=groups,BASE, with a UID and
#   GID in id_range, are the script's to change.
# - IDs come from the counter cn=next-id,BASE, claimed by one modify that
#   deletes the value read and adds the next. When another broker claimed it
#   in between, the delete finds no such value and nothing changes; the claim
#   starts again. The counter only goes up: an ID is never handed out twice.
# - LDAP has no transaction over two entries: add makes the group first and,
#   when a later step fails, removes what it made (entries that still hold
#   its ID, nothing else).
# - Every call to the directory is bounded in time, and one that cannot
#   reach it fails the command with status 69 and the reason.

readonly directory_keys=" backend uri base id_range homes ca_file starttls bind_dn bind_secret_file "
# Bounds of each operation, so that a directory that hangs never holds up
# the service.
readonly ldap_time_limit=30 ldap_connect_limit=10

# Sets the connection and the layout from the settings, refusing any setting
# that could act on the wrong entries or talk to a directory unchecked.
read_directory_settings() {
    local key secret
    for key in "${!settings[@]}"; do
        if [[ $directory_keys != *" $key "* ]]; then
            refuse "unknown setting $(quoted "$key") in $settings_file"
        fi
    done
    uri=${settings[uri]:-ldapi:///}
    base=${settings[base]:-}
    # The DNs go into LDIF as they are.
    if [[ ! $base =~ ^[^[:space:]:\<][[:print:]]*$ || ! ${settings[bind_dn]:-x} =~ ^[^[:space:]:\<][[:print:]]*$ ]]; then
        refuse "no base (the subtree of the accounts), or a DN that is not plain printable text, in $settings_file"
    fi
    people_dn=ou=people,$base
    groups_dn=ou=groups,$base
    counter_dn=cn=next-id,$base
    if [[ ! ${settings[id_range]:-} =~ ^([0-9]{1,10})-([0-9]{1,10})$ ]]; then
        refuse "no id_range LOW-HIGH in $settings_file"
    fi
    id_low=$((10#${BASH_REMATCH[1]}))
    id_high=$((10#${BASH_REMATCH[2]}))
    homes=${settings[homes]:-create}
    if [[ $homes != create && $homes != pam_mkhomedir ]]; then
        refuse "homes $(quoted "$homes") of $settings_file is neither create nor pam_mkhomedir"
    fi
    if [[ ! $uri =~ ^(ldapi|ldaps|ldap)://[^[:space:],]*$ ]]; then
        refuse "uri $(quoted "$uri") of $settings_file is not one ldapi://, ldaps:// or ldap:// URI"
    fi
    connection=(-H "$uri")
    tls_env=()
    case $uri:${settings[starttls]:-no} in
        ldapi://*:no) ;;
        ldaps://*:no) ;;
        ldap://*:yes) connection+=(-ZZ) ;;
        *) refuse "uri $(quoted "$uri") of $settings_file is neither ldapi://, ldaps:// nor ldap:// with starttls = yes" ;;
    esac
    if [[ $uri != ldapi://* ]]; then
        if [[ -z ${settings[ca_file]:-} ]] || ! only_root_writes "$(realpath -e -- "${settings[ca_file]}")" "regular file"; then
            refuse "no ca_file in $settings_file that only root may write: a directory over the network is checked against it"
        fi
        tls_env=(LDAPTLS_CACERT="${settings[ca_file]}" LDAPTLS_REQCERT=demand)
    fi
    if [[ -n ${settings[bind_dn]:-} ]]; then
        secret=${settings[bind_secret_file]:-}
        if [[ -z $secret ]] || ! only_root_writes "$secret" "regular file" 077; then
            refuse "no bind_secret_file in $settings_file that only root may read and write"
        fi
        if [[ $(tail -c 1 -- "$secret" | wc -l) != 0 ]]; then
            refuse "bind secret $secret ends in a newline, which would be sent as part of the secret"
        fi
        connection+=(-x -D "${settings[bind_dn]}" -y "$secret")
    elif [[ $uri == ldapi://* ]]; then
        # As root, on the directory's own socket.
        connection+=(-Y EXTERNAL -Q)
    else
        refuse "a directory over the network needs bind_dn and bind_secret_file in $settings_file"
    fi
}

# ldap TOOL ARG...: runs one LDAP tool on the directory, bounded in time,
# from / and with no environment of the caller's, so that no ldaprc of a
# user's steers it; returns its status, with its output in ldap_output and
# its messages on one line in ldap_error.
ldap() {
    local tool=$1 status=0
    shift
    ldap_output=$(cd / && exec env -i PATH="$PATH" HOME=/ LC_ALL=C "${tls_env[@]}" \
        timeout "$ldap_time_limit" "$tool" -o nettimeout="$ldap_connect_limit" "${connection[@]}" "$@" \
        2>"$ldap_errors") || status=$?
    ldap_error=$(<"$ldap_errors")
    ldap_error=$(plain "$ldap_error")
    return "$status"
}

# directory_failed ACTION STATUS: logs the failed ACTION with the
# directory's reason and ends with STATUS; 69 when the directory could not
# be reached.
directory_failed() {
    local action=$1 status=$2 reason=${ldap_error:-no message}
    if ((status == 124)); then
        reason="no answer within $ldap_time_limit s"
    fi
    if ((status == 124 || status >= 239)); then
        # timeout's status, or one of libldap's own errors (negative).
        reason="cannot reach the directory $uri: $reason"
        status=69
    fi
    logger -t "$log_tag" -p auth.err -- "failed to $action: $reason (status $status)" || true
    printf 'useraccount.sh: failed to %s: %s (status %d)\n' "$action" "$reason" "$status" >&2
    exit "$status"
}

# must ACTION COMMAND...: the command (ldap or search) succeeds, or the
# account command fails.
must() {
    local action=$1
    shift
    "$@" || directory_failed "$action" "$?"
}

# search BASE SCOPE FILTER ATTRIBUTE...
search() {
    ldap ldapsearch -LLL -o ldif_wrap=no -b "$1" -s "$2" "$3" "${@:4}"
}

# ldif_values ATTRIBUTE: each value of ATTRIBUTE ("dn" for the entries'
# names) in ldap_output, one a line, base64 decoded where LDIF encodes it.
ldif_values() {
    local line key value
    while IFS= read -r line; do
        key=${line%%:*}
        if [[ $line == *:* && ${key,,} == "${1,,}" ]]; then
            value=${line#*:}
            if [[ $value == :* ]]; then
                value=${value#:}
                base64 -d <<<"${value# }"
                printf '\n'
            else
                printf '%s\n' "${value# }"
            fi
        fi
    done <<<"$ldap_output"
}

# The directory's texts reach the log: no control byte of theirs does.
plain() {
    local text=${1//[^[:print:]]/ }
    printf '%s' "${text% }"
}

b64() {
    printf '%s' "$1" | base64 -w 0
}

# Sets naming_context: the one that holds the subtree. Names and IDs are
# unique across all of it, as every host may see any of it.
find_naming_context() {
    local context
    must "read the naming contexts of the directory" search "" base "(objectClass=*)" namingContexts
    while IFS= read -r context; do
        if [[ ${base,,} == "${context,,}" || ${base,,} == *",${context,,}" ]]; then
            naming_context=$context
            return 0
        fi
    done < <(ldif_values namingContexts)
    refuse "no naming context of the directory $uri holds the base $base"
}

# Refuses id_range unless it lies apart from this host's own IDs: above its
# ranges of local accounts and its ID mark, outside every subordinate range
# that useradd may give (login.defs) or has given (/etc/subuid, /etc/subgid),
# and clear of nobody and of the IDs that stand for none.
require_apart_range() {
    local key value start count file sub_uid_min=100000 sub_uid_max=600100000
    local sub_gid_min=100000 sub_gid_max=600100000
    if [[ -r $login_defs ]]; then
        while read -r key value _; do
            if [[ $value =~ ^[0-9]{1,10}$ ]]; then
                case $key in
                    SUB_UID_MIN) sub_uid_min=$((10#$value)) ;;
                    SUB_UID_MAX) sub_uid_max=$((10#$value)) ;;
                    SUB_GID_MIN) sub_gid_min=$((10#$value)) ;;
                    SUB_GID_MAX) sub_gid_max=$((10#$value)) ;;
                esac
            fi
        done <"$login_defs"
    fi
    read_mark
    if ((id_low > id_high || id_high > 2147483647 || id_low <= uid_max || id_low <= gid_max ||
        id_low <= mark || (id_low <= 65535 && id_high >= 65534))); then
        refuse "id_range $id_low-$id_high of $settings_file is not above this host's UID_MAX $uid_max, GID_MAX $gid_max and ID mark $mark, or holds 65534 or 65535"
    fi
    if ((id_low <= sub_uid_max && id_high >= sub_uid_min || id_low <= sub_gid_max && id_high >= sub_gid_min)); then
        refuse "id_range $id_low-$id_high of $settings_file meets the subordinate ranges of $login_defs"
    fi
    for file in /etc/subuid /etc/subgid; do
        if [[ -r $file ]]; then
            while IFS=: read -r _ start count; do
                if [[ $start =~ ^[0-9]{1,10}$ && $count =~ ^[0-9]{1,10}$ ]] &&
                    ((id_low < 10#$start + 10#$count && id_high >= 10#$start)); then
                    refuse "id_range $id_low-$id_high of $settings_file meets a subordinate range of $file ($start, $count IDs)"
                fi
            done <"$file"
        fi
    done
}

# Refuses NAME when a posixAccount or posixGroup of the directory holds it.
require_new_directory_name() {
    local held
    must "look up $name in the directory" search "$naming_context" sub \
        "(|(&(objectClass=posixAccount)(uid=$name))(&(objectClass=posixGroup)(cn=$name)))" 1.1
    held=$(ldif_values dn)
    if [[ -n $held ]]; then
        refuse "the directory holds the name already: $name ($(plain "${held%%$'\n'*}"))"
    fi
}

# id_in_use ID: succeeds, naming the holder in id_holder, when a user or
# group of this host or a posix entry of the directory has ID.
id_in_use() {
    lookup passwd "$1"
    id_holder=${found_entry%%:*}
    if [[ -z $id_holder ]]; then
        lookup group "$1"
        id_holder=${found_entry%%:*}
    fi
    if [[ -z $id_holder ]]; then
        must "look up ID $1 in the directory" search "$naming_context" sub \
            "(&(|(objectClass=posixAccount)(objectClass=posixGroup))(|(uidNumber=$1)(gidNumber=$1)))" 1.1
        id_holder=$(ldif_values dn)
    fi
    [[ -n $id_holder ]]
}

# Sets new_id: the counter's value, claimed by one modify that succeeds only
# while the counter still holds it. Another broker's claim in between makes
# it fail and the claim starts again from the new value.
claim_directory_id() {
    local tries status values
    for ((tries = 0; tries < 50; tries++)); do
        must "read the ID counter $counter_dn" search "$counter_dn" base "(objectClass=*)" uidNumber
        mapfile -t values < <(ldif_values uidNumber)
        if ((${#values[@]} != 1)) || ! in_range "${values[0]}" "$id_low" "$((id_high + 1))"; then
            refuse "the ID counter $counter_dn holds no single uidNumber in $id_low..$((id_high + 1))"
        fi
        new_id=$((10#${values[0]}))
        if ((new_id > id_high)); then
            refuse "no unused ID left in the directory's range $id_low..$id_high"
        fi
        status=0
        ldap ldapmodify <<<"dn: $counter_dn
changetype: modify
delete: uidNumber
uidNumber: $new_id
-
add: uidNumber
uidNumber: $((new_id + 1))
-
" || status=$?
        if ((status == 16)); then
            # No such value: another broker took it first.
            sleep "0.0$((RANDOM % 10))"
        elif ((status != 0)); then
            directory_failed "claim ID $new_id of the counter $counter_dn" "$status"
        elif id_in_use "$new_id"; then
            logger -t "$log_tag" -p auth.warning -- "skipped ID $new_id: $(plain "$id_holder") has it" || true
        else
            return 0
        fi
    done
    ldap_error="another broker moved it first, 50 times"
    directory_failed "claim an ID of the counter $counter_dn" 1
}

# remove_own DN ATTRIBUTE ID: removes the entry DN when its ATTRIBUTE is ID,
# so that an undo never removes an entry that someone else made meanwhile;
# returns the status of a tool that failed.
remove_own() {
    local status=0
    search "$1" base "(objectClass=*)" "$2" || status=$?
    if ((status != 0 && status != 32)); then
        return "$status"
    fi
    if [[ $(ldif_values "$2") == "$3" ]]; then
        ldap ldapdelete "$1"
    fi
}

# undo_add REASON STATUS: the half-made account goes again, then the add
# fails with REASON.
undo_add() {
    local saved_error=$ldap_error
    if ! remove_own "uid=$name,$people_dn" uidNumber "$new_id" || ! remove_own "cn=$name,$groups_dn" gidNumber "$new_id"; then
        logger -t "$log_tag" -p auth.err -- \
            "left behind by a failed add of $name: whatever of uid=$name,$people_dn and cn=$name,$groups_dn exists ($ldap_error); delete $name removes it" || true
    fi
    ldap_error=$saved_error
    directory_failed "$1" "$2"
}

# Makes the home on this host: a new directory, nothing that was there
# before, filled from the skeleton while it is root's alone, then given to
# the account. Sets home_problem when it cannot.
create_home() {
    local home=$home_base/$name skel umask=022 home_mode="" key value
    skel=$(useradd -D | sed -n 's/^SKEL=//p')
    # As useradd: HOME_MODE, or what UMASK leaves of 0777.
    if [[ -r $login_defs ]]; then
        while read -r key value _; do
            if [[ $key == UMASK && $value =~ ^0?[0-7]{1,3}$ ]]; then
                umask=$value
            elif [[ $key == HOME_MODE && $value =~ ^0?[0-7]{1,4}$ ]]; then
                home_mode=$value
            fi
        done <"$login_defs"
    fi
    home_mode=${home_mode:-$(printf '%o' $((8#777 & ~8#$umask)))}
    home_problem="the home base $(quoted "$home_base") is no directory that only root may write"
    only_root_writes "$(realpath -e -- "$home_base")" directory || return 1
    home_problem="cannot create $(quoted "$home")"
    mkdir -m 0700 -- "$home" || return 1
    home_made=$home
    home_problem="cannot fill $(quoted "$home") from the skeleton and give it to the account"
    if [[ -d ${skel:-/etc/skel} ]]; then
        cp -a -- "${skel:-/etc/skel}/." "$home/" || return 1
    fi
    chown -R -h "$new_id:$new_id" -- "$home" && chmod "$home_mode" -- "$home"
}

directory_add() {
    local status=0
    require_unreserved_name "$name"
    find_home_base
    scan_home_base
    require_new_name "$name"
    require_apart_range
    find_naming_context
    require_new_directory_name
    claim_directory_id
    ldap ldapadd <<<"dn: cn=$name,$groups_dn
objectClass: posixGroup
cn: $name
gidNumber: $new_id
" || status=$?
    if ((status == 68)); then
        # Another broker added the name since the look-up.
        refuse "the directory holds the name already: $name (cn=$name,$groups_dn)"
    elif ((status != 0)); then
        directory_failed "add group $name to the directory" "$status"
    fi
    ldap ldapadd <<<"dn: uid=$name,$people_dn
objectClass: account
objectClass: posixAccount
objectClass: shadowAccount
uid: $name
cn: $name
uidNumber: $new_id
gidNumber: $new_id
homeDirectory:: $(b64 "$home_base/$name")
loginShell: /bin/bash
" || undo_add "add user $name to the directory" "$?"
    home_made=
    if [[ $homes == create ]] && ! create_home; then
        if [[ -n $home_made ]]; then
            rm -rf --one-file-system -- "$home_made"
        fi
        ldap_error=$home_problem
        undo_add "make the home of $name" 1
    fi
    logger -t "$log_tag" -p auth.notice -- "added user $name to the directory (uid $new_id)" || true
}

# Sets account_dn, account_uid and account_gid when the subtree holds the
# account NAME; ldap_output keeps its entry. Refuses one with a UID or GID
# outside the range, as the local backend refuses system accounts.
find_directory_account() {
    local status=0
    account_dn=
    search "uid=$name,$people_dn" base "(objectClass=posixAccount)" \
        uidNumber gidNumber shadowExpire userPassword || status=$?
    if ((status == 32)); then
        return 0
    elif ((status != 0)); then
        directory_failed "look up $name in the directory" "$status"
    fi
    account_dn=$(ldif_values dn)
    [[ -n $account_dn ]] || return 0
    account_uid=$(ldif_values uidNumber)
    account_gid=$(ldif_values gidNumber)
    if ! in_range "$account_uid" "$id_low" "$id_high" || ! in_range "$account_gid" "$id_low" "$id_high"; then
        refuse "not an account of the directory's range: $name (uid $(quoted "$account_uid"), gid $(quoted "$account_gid"))"
    fi
    account_uid=$((10#$account_uid))
    account_gid=$((10#$account_gid))
}

require_directory_account() {
    find_directory_account
    if [[ -z $account_dn ]]; then
        lookup passwd "$name"
        if [[ -n $found_entry ]]; then
            refuse "not a managed account: $name (not in $people_dn)"
        fi
        refuse "no such user: $name"
    fi
}

# Removes the group of NAME when its GID is GID and no account has it as
# its own: the group that an account of the subtree had, or one that a
# failed delete left behind.
remove_own_group() {
    local gid=$1
    must "look up the accounts of GID $gid" search "$naming_context" sub "(&(objectClass=posixAccount)(gidNumber=$gid))" 1.1
    if [[ -n $(ldif_values dn) ]]; then
        logger -t "$log_tag" -p auth.warning -- "group $name left as it is: another account has GID $gid" || true
        return 0
    fi
    remove_own "cn=$name,$groups_dn" gidNumber "$gid" || directory_failed "delete group $name from the directory" "$?"
}

directory_delete() {
    local gid uid
    find_naming_context
    find_directory_account
    if [[ -z $account_dn ]]; then
        must "look up group $name in the directory" search "$groups_dn" one "(&(objectClass=posixGroup)(cn=$name))" gidNumber
        gid=$(ldif_values gidNumber)
        if in_range "$gid" "$id_low" "$id_high"; then
            remove_own_group "$((10#$gid))"
            logger -t "$log_tag" -p auth.notice -- "deleted group $name, which an earlier delete left" || true
            return 0
        fi
        require_directory_account
    fi
    # The account's UID and any subordinate range this host gave it.
    find_kill_ranges
    lookup passwd "$name"
    IFS=: read -r _ _ uid _ <<<"$found_entry"
    if [[ -z $found_entry ]]; then
        # A name this host does not know: cron, at and logind know no job of
        # it, but its UID may still run something.
        end_processes
    elif [[ $uid == "$account_uid" ]]; then
        end_account_activity
    else
        refuse "$name is user $(quoted "$uid") on this host, not the directory's $account_uid: its jobs here are another account's"
    fi
    must "delete user $name from the directory" ldap ldapdelete "$account_dn"
    remove_own_group "$account_gid"
    logger -t "$log_tag" -p auth.notice -- "deleted user $name from the directory (uid $account_uid); homes are kept" || true
}

# Sets lock_state from the account's entry in ldap_output: locked (lock's
# expiry and no usable password), unlocked (neither lock's expiry nor a
# locked password) or partly; passwords to its userPassword values.
read_lock_state() {
    local expire value locked=0 open=0
    expire=$(ldif_values shadowExpire)
    mapfile -t passwords < <(ldif_values userPassword)
    for value in "${passwords[@]}"; do
        if [[ $value =~ ^\{[^}]*\}! ]]; then
            locked=$((locked + 1))
        else
            open=$((open + 1))
        fi
    done
    if [[ $expire == 1 ]] && ((open == 0)); then
        lock_state=locked
    elif [[ $expire != 1 ]] && ((locked == 0)); then
        lock_state=unlocked
    else
        lock_state=partly
    fi
    lock_expire=$expire
}

# set_lock lock|unlock: changes the entry in one modify, which fails
# whole when a password changed since it was read; then checks the state.
set_lock() {
    local verb=$1 want=${1}ed changes="" value scheme rest
    require_directory_account
    read_lock_state
    if [[ $lock_state == "$want" ]]; then
        logger -t "$log_tag" -p auth.notice -- "user $name was already ${want}: nothing changed" || true
        return 0
    fi
    if [[ $verb == lock && $lock_expire != 1 ]]; then
        changes+=$'replace: shadowExpire\nshadowExpire: 1\n-\n'
    elif [[ $verb == unlock && $lock_expire == 1 ]]; then
        changes+=$'delete: shadowExpire\nshadowExpire: 1\n-\n'
    fi
    for value in "${passwords[@]}"; do
        if [[ ! $value =~ ^(\{[^}]*\})(!?)(.*)$ ]]; then
            if [[ $verb == unlock ]]; then
                continue
            fi
            refuse "cannot lock the password of $name: it is kept in clear text (set a hashed one with ldappasswd)"
        fi
        scheme=${BASH_REMATCH[1]} rest=${BASH_REMATCH[3]}
        if [[ $verb == lock && -z ${BASH_REMATCH[2]} ]]; then
            changes+="delete: userPassword"$'\n'"userPassword:: $(b64 "$value")"$'\n-\n'
            changes+="add: userPassword"$'\n'"userPassword:: $(b64 "$scheme!$rest")"$'\n-\n'
        elif [[ $verb == unlock && -n ${BASH_REMATCH[2]} ]]; then
            if [[ -z $rest ]]; then
                ldap_error="its password would be empty"
                directory_failed "unlock user $name" 1
            fi
            changes+="delete: userPassword"$'\n'"userPassword:: $(b64 "$value")"$'\n-\n'
            changes+="add: userPassword"$'\n'"userPassword:: $(b64 "$scheme$rest")"$'\n-\n'
        fi
    done
    must "$verb user $name in the directory" ldap ldapmodify <<<"dn: $account_dn
changetype: modify
$changes"
    find_directory_account
    read_lock_state
    if [[ $lock_state != "$want" ]]; then
        ldap_error="its entry is $lock_state, not $want"
        directory_failed "$verb user $name" 1
    fi
    logger -t "$log_tag" -p auth.notice -- "$want user $name in the directory" || true
}

run_directory_command() {
    read_directory_settings
    ldap_errors=$(mktemp) || fail "make a file for the directory's messages" mktemp $?
    # shellcheck disable=SC2064 # the name is fixed now
    trap "rm -f -- '$ldap_errors'" EXIT
    case $command in
        add) directory_add ;;
        delete) directory_delete ;;
        lock | unlock) set_lock "$command" ;;
    esac
}
