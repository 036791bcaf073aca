#!/bin/bash
# The example account script against stub account tools: every valid command
# calls the right tool with the right arguments; everything else is refused
# with status 2 before any tool runs. The real user and group databases and
# the real /home are never used: getent, id and "useradd -D" answer from fake
# ones in the scratch directory, and /usr/sbin, where the real account tools
# live, is not on PATH.
# Usage: account_script_test.sh SOURCE_DIR
set -uo pipefail
here=$(dirname -- "$0")
# shellcheck source=lib.sh
. "$here/lib.sh"

source_dir=$1
script=$source_dir/dist/useraccount.sh
make_scratch

stubs=$scratch/stubs
mkdir "$stubs"
# One stub for every tool: it records its name and arguments (quoted, so a
# newline in an argument cannot pass unseen), then fails if asked to.
cat >"$stubs/stub" <<'EOF'
#!/bin/bash
tool=${0##*/}
{
    printf '%s' "$tool"
    printf ' %q' "$@"
    printf '\n'
} >>"$STUB_RECORD"
if [[ $tool == getent ]]; then
    # getent passwd|group [--] NAME, answered from the fake databases.
    case $1 in
        passwd) db=$STUB_PASSWD ;;
        group) db=$STUB_GROUP ;;
        *) exit 1 ;;
    esac
    name=${*: -1}
    grep -- "^$name:" "$db" || exit 2
fi
if [[ $tool == id ]]; then
    # id -G [--] NAME: the primary GID, then every group that lists NAME.
    [[ $1 == -G ]] || exit 1
    name=${*: -1}
    entry=$(grep -- "^$name:" "$STUB_PASSWD") || exit 1
    IFS=: read -r _ _ _ gids _ <<<"$entry"
    while IFS=: read -r _ _ gid members; do
        if [[ ,$members, == *,"$name",* ]]; then
            gids+=" $gid"
        fi
    done <"$STUB_GROUP"
    printf '%s\n' "$gids"
fi
if [[ $tool == useradd && $* == -D ]]; then
    printf 'GROUP=100\nHOME=%s\nSHELL=/bin/sh\nSKEL=/etc/skel\n' "$STUB_HOME_BASE"
    exit 0
fi
fail_var=STUB_FAIL_$tool
exit "${!fail_var:-0}"
EOF
chmod +x "$stubs/stub"
for tool in useradd userdel usermod logger getent id; do
    ln -s stub "$stubs/$tool"
done

export STUB_RECORD=$scratch/record
export STUB_PASSWD=$scratch/passwd
cat >"$STUB_PASSWD" <<'EOF'
root:x:0:0:root:/root:/bin/bash
daemon:x:1:1:daemon:/usr/sbin:/usr/sbin/nologin
sysacct:x:999:999::/nonexistent:/usr/sbin/nologin
bob:x:1001:1001::/home/bob:/bin/bash
carol:x:1002:1002::/home/carol:/bin/bash
dave:x:1003:4::/home/dave:/bin/bash
top:x:60000:60000::/home/top:/bin/bash
nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin
EOF
# bob is in a group, but no administrative one; carol is in sudo; adm is
# dave's primary group. wheel is missing, as on Debian.
export STUB_GROUP=$scratch/group
cat >"$STUB_GROUP" <<'EOF'
root:x:0:
adm:x:4:syslog
sudo:x:27:carol
staff:x:50:
users:x:100:bob,carol
bob:x:1001:
carol:x:1002:
EOF
# Homes left behind: erin's a directory, frank's a dangling symlink.
export STUB_HOME_BASE=$scratch/home
mkdir -p "$STUB_HOME_BASE/erin"
ln -s "$scratch/gone" "$STUB_HOME_BASE/frank"

status=0
stderr=
record=
# run ARG...: runs the script as sudo would, through bash, with stubs only.
run() {
    : >"$STUB_RECORD"
    stderr=$(PATH="$stubs:/usr/bin:/bin" bash "$script" "$@" 2>&1 >/dev/null)
    status=$?
    record=$(<"$STUB_RECORD")
}

# Account tool calls only, without the lookups and logger lines.
tool_calls() {
    grep -E '^(useradd|userdel|usermod) ' <<<"$record" | grep -vxF 'useradd -D' || true
}

logger_calls() {
    grep -E '^logger ' <<<"$record" || true
}

# --- commands that do their work ---
name32=abcdefghijklmnopqrstuvwxyz_-0123
expect_eq "32-character name is 32 long" 32 "${#name32}"
declare -A expected=(
    ["add alice"]="useradd --create-home --shell /bin/bash -- alice"
    ["add _svc-1"]="useradd --create-home --shell /bin/bash -- _svc-1"
    ["add $name32"]="useradd --create-home --shell /bin/bash -- $name32"
    ["delete bob"]="userdel -- bob"
    ["lock bob"]="usermod --lock -- bob"
    ["unlock bob"]="usermod --unlock -- bob"
    ["delete top"]="userdel -- top"
)
declare -A done_word=([add]=added [delete]=deleted [lock]=locked [unlock]=unlocked)
for command in "${!expected[@]}"; do
    read -r -a words <<<"$command"
    run "${words[@]}"
    expect_eq "'$command' status" 0 "$status"
    expect_eq "'$command' runs" "${expected[$command]}" "$(tool_calls)"
    expect_contains "'$command' is logged under the tag" "logger -t useraccount" "$(logger_calls)"
    expect_contains "'$command' log names the user" "${words[1]}" "$(logger_calls)"
    expect_contains "'$command' is logged as done" \
        "-- $(printf '%q' "${done_word[${words[0]}]} user ${words[1]}")" "$(logger_calls)"
done

# --- refused before any account tool runs ---
refused_cases=(
    ""
    "add"
    "delete"
    "add alice extra"
    "lock bob bob"
    "frobnicate alice"
    "ADD alice"
    "add -r"
    "add -alice"
    "add --help"
    "add Alice"
    "add 9lives"
    "add a.b"
    "add ../etc"
    "add ${name32}x"
    "add é"
    "delete root"
    "lock daemon"
    "unlock sysacct"
    "delete nobody"
    "delete ghost"
    "delete carol"
    "unlock carol"
    "lock dave"
    "delete dave"
    "add erin"
    "add frank"
)
for command in "${refused_cases[@]}"; do
    read -r -a words <<<"$command"
    run "${words[@]}"
    expect_eq "'$command' is refused with status 2" 2 "$status"
    expect_eq "'$command' calls no account tool" "" "$(tool_calls)"
    check "'$command' says why on stderr" test -n "$stderr"
    expect_contains "'$command' refusal is logged" "refused" "$(logger_calls)"
done

# Arguments that a shell would split or act on arrive here whole.
# shellcheck disable=SC2016 # $(id) is meant literally
for name in "" "a b" "a;id" '$(id)' "a*" $'bad\nname' "a'b" $'tab\tname'; do
    run add "$name"
    expect_eq "add [$name] is refused" 2 "$status"
    expect_eq "add [$name] calls no account tool" "" "$(tool_calls)"
done
# A newline in a refused name must not reach the log as a line break.
run add $'evil\nFAKE LOG LINE'
expect_eq "newline name is refused" 2 "$status"
expect_not_contains "logged text has no raw newline" $'\nFAKE' "$(logger_calls)"
expect_eq "one logger call for one refusal" 1 "$(logger_calls | wc -l)"

# --- a failing account tool passes its status on ---
STUB_FAIL_useradd=9 run add bob
expect_eq "failed useradd status is passed on" 9 "$status"
expect_contains "failure is logged" "failed" "$(logger_calls)"
STUB_FAIL_usermod=6 run lock bob
expect_eq "failed usermod status is passed on" 6 "$status"
# ... and is logged as a failure, never in the words of a success.
for failing in "add useradd 9" "delete userdel 8" "lock usermod 6" "unlock usermod 4"; do
    read -r verb tool code <<<"$failing"
    declare -x "STUB_FAIL_$tool=$code"
    run "$verb" bob
    unset "STUB_FAIL_$tool"
    expect_contains "failed $verb is logged as a failure" \
        "-- $(printf '%q' "failed to $verb user bob: $tool status $code")" "$(logger_calls)"
    expect_not_contains "failed $verb is not logged as done" \
        "${done_word[$verb]}" "$(logger_calls)"
done

finish
