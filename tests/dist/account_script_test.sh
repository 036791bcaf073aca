#!/bin/bash
# The example account script against stub account tools: every valid command
# calls the right tool with the right arguments; everything else is refused
# with status 2 before any account tool runs. The real user and group
# databases and the real /home are never used: getent, id and "useradd -D"
# answer from fake ones in the scratch directory. The script's PATH holds
# only the stubs and a few harmless tools (no crontab, at, systemctl or
# account tool of the host's). The processes that delete ends are real ones,
# in a PID namespace of the test's own. The script keeps its state in an
# empty /var/lib of a private mount namespace, reads its reserved names and
# subordinate ranges from an overlay of /etc there, and sees a /run of its
# own; the homes that delete closes are real directories in the scratch
# directory. lock and unlock run last, with the real account tools and su,
# on accounts made in the overlay of /etc.
# Usage: account_script_test.sh SOURCE_DIR
set -uo pipefail
here=$(dirname -- "$0")
# shellcheck source=lib.sh
. "$here/lib.sh"

source_dir=$1
script=$source_dir/dist/useraccount.sh
if [[ ${2:-} != --in-namespace ]]; then
    require_private_mounts
    exec unshare --mount --pid --fork --mount-proc bash "$0" "$source_dir" --in-namespace
fi
make_scratch
# Homes are made and removed below: never anywhere but in the scratch directory.
: "${scratch:?}"
mkdir "$scratch/etc-layer"
if ! mount -t tmpfs -o mode=0755 tmpfs /var/lib || ! mount -t tmpfs -o mode=0755 tmpfs /run ||
    ! mount -t tmpfs -o mode=0755 tmpfs /var/log ||
    ! mount -t tmpfs tmpfs "$scratch/etc-layer" ||
    ! mkdir "$scratch/etc-layer/upper" "$scratch/etc-layer/work" ||
    ! mount -t overlay overlay \
        -o "lowerdir=/etc,upperdir=$scratch/etc-layer/upper,workdir=$scratch/etc-layer/work" /etc; then
    fail "a private /var/lib, /run and /etc"
    finish
fi
trap 'umount /etc "$scratch/etc-layer"; rm -rf -- "$scratch"' EXIT
# What the real account tools and PAM log goes nowhere.
if [[ -S /dev/log ]]; then
    mount --bind /dev/null /dev/log
fi
state_dir=/var/lib/useraccountd
mark_file=$state_dir/highest-id
lock_file=$state_dir/lock
reserved=/etc/useraccountd/reserved-names
install -D -m 0644 "$source_dir/dist/reserved-names" "$reserved"
mkdir -p /run/systemd/system /var/lib/systemd/linger

stubs=$scratch/stubs
mkdir "$stubs"
# One stub for every tool: it records its name and arguments (quoted, so a
# newline in an argument cannot pass unseen), then fails if asked to.
cat >"$stubs/stub" <<'STUB'
#!/bin/bash
tool=${0##*/}
{
    printf '%s' "$tool"
    printf ' %q' "$@"
    printf '\n'
} >>"$STUB_RECORD"
if [[ $tool == getent ]]; then
    # getent passwd|group|shadow [[--] NAME], answered from the fake databases.
    case $1 in
        passwd) db=$STUB_PASSWD ;;
        group) db=$STUB_GROUP ;;
        shadow) db=$STUB_SHADOW ;;
        *) exit 1 ;;
    esac
    if (($# == 1)); then
        cat -- "$db"
        exit 0
    fi
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
# The script must hold the lock of its state while it adds or deletes.
if [[ $tool == useradd || $tool == userdel ]] && flock -n /var/lib/useraccountd/lock true; then
    printf '%s: state unlocked\n' "$tool" >>"$STUB_RECORD"
fi
fail_var=STUB_FAIL_$tool
case $tool in
    loginctl) [[ -n ${!fail_var:-} ]] || rm -f -- "/var/lib/systemd/linger/${*: -1}" ;;
    crontab)
        if [[ -z ${!fail_var:-} && " $STUB_CRONTABS " != *" $2 "* ]]; then
            printf 'no crontab for %s\n' "$2" >&2
            exit 1
        fi
        ;;
    atq) cat -- "$STUB_ATQ" ;;
esac
exit "${!fail_var:-0}"
STUB
chmod +x "$stubs/stub"
for tool in useradd userdel usermod logger getent id systemctl loginctl crontab atq atrm; do
    ln -s stub "$stubs/$tool"
done
# Without cron and at.
stubs_bare=$scratch/stubs-bare
cp -a "$stubs" "$stubs_bare"
rm -- "$stubs_bare/crontab" "$stubs_bare/atq" "$stubs_bare/atrm"
# The real tools that the script and the stubs may run.
tools=$scratch/tools
mkdir "$tools"
for tool in bash cat chmod chown find flock grep mkdir mktemp mount mv rm stat unshare awk timeout perl realpath; do
    ln -s "$(command -v "$tool")" "$tools/$tool"
done
export STUB_ATQ=$scratch/atq STUB_CRONTABS=
: >"$STUB_ATQ"

export STUB_RECORD=$scratch/record
export STUB_HOME_BASE=$scratch/home
base=$STUB_HOME_BASE
export STUB_PASSWD=$scratch/passwd
cat >"$STUB_PASSWD" <<PASSWD
root:x:0:0:root:/root:/bin/bash
daemon:x:1:1:daemon:/usr/sbin:/usr/sbin/nologin
sysacct:x:999:999::/nonexistent:/usr/sbin/nologin
bob:x:1001:1001::$base/bob:/bin/bash
carol:x:1002:1002::$base/carol:/bin/bash
dave:x:1003:4::$base/dave:/bin/bash
mia:x:1004:998::$base/mia:/bin/bash
link:x:1005:1005::$base/link:/bin/bash
other:x:1006:1006::$base/carol:/bin/bash
plain:x:1007:1007::$base/plain:/bin/bash
redis:x:1008:1008::$base/redis:/bin/bash
nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin
PASSWD
# bob's password is locked, as earlier versions locked it: without an expiry.
export STUB_SHADOW=$scratch/shadow
# shellcheck disable=SC2016 # a hash
echo 'bob:!$y$j9T$bob:20000:0:99999:7:::' >"$STUB_SHADOW"
# Managed: bob, link, other and redis (a reserved name, added before it was
# one) through a supplementary group, mia through her primary one; root and system accounts are in the group too, as a careless
# administrator might put them. carol is in sudo, adm is dave's primary
# group, plain is an ordinary account the script did not make. wheel is
# missing, as on Debian.
export STUB_GROUP=$scratch/group
cat >"$STUB_GROUP" <<'GROUP'
root:x:0:
adm:x:4:syslog
sudo:x:27:carol
staff:x:50:
users:x:100:bob,carol
useraccount-managed:x:998:bob,link,other,redis,root,daemon,sysacct,nobody,top,wide
bob:x:1001:
carol:x:1002:
link:x:1005:
other:x:1006:
plain:x:1007:
redis:x:1008:
devs:x:1200:
GROUP
# Accounts at the edges, in a database of their own: top's UID is UID_MAX,
# wide's primary group lies far above its UID.
edge_passwd=$scratch/passwd-edge
{
    printf 'top:x:60000:60000::%s/top:/bin/bash\n' "$base"
    printf 'wide:x:1010:2500::%s/wide:/bin/bash\n' "$base"
    cat -- "$STUB_PASSWD"
} >"$edge_passwd"
# Homes: erin's was left behind, frank's is a dangling symlink, kept is the
# home of an account deleted by hand (UID and GID 1500, the highest in any
# database or home), link's leads to a directory elsewhere.
make_homes() {
    rm -rf -- "$base" "$scratch/elsewhere"
    mkdir -m 0755 "$base" "$scratch/elsewhere"
    mkdir -m 0755 "$base/erin" "$base/bob" "$base/carol" "$base/kept"
    ln -s "$scratch/gone" "$base/frank"
    ln -s "$scratch/elsewhere" "$base/link"
    chown 1001:1001 "$base/bob"
    chown 1002:1002 "$base/carol"
    chown 1500:1500 "$base/kept"
    chown 1005:1005 "$scratch/elsewhere"
}
make_homes

status=0
stderr=
record=
# run ARG...: runs the script as sudo would, through bash, with stubs only.
run() {
    : >"$STUB_RECORD"
    stderr=$(PATH="${STUB_DIR:-$stubs}:$tools" bash "$script" "$@" 2>&1 >/dev/null)
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

# useradd_line ID NAME: how add creates NAME with ID as UID and GID.
useradd_line() {
    printf 'useradd --create-home --shell /bin/bash --uid %s --groups useraccount-managed' "$1"
    printf ' --key GID_MIN=%s --key GID_MAX=%s --key SUB_UID_COUNT=0 --key SUB_GID_COUNT=0 -- %s' \
        "$1" "$1" "$2"
}

# "owner:group mode" of a path, not following a symlink.
owner_mode() {
    stat -c '%u:%g %a' -- "$1"
}

# --- commands that do their work ---
name32=abcdefghijklmnopqrstuvwxyz_-0123
expect_eq "32-character name is 32 long" 32 "${#name32}"
declare -A expected=(
    ["add alice"]="$(useradd_line 1501 alice)"
    ["add svc_-1"]="$(useradd_line 1501 svc_-1)"
    ["add $name32"]="$(useradd_line 1501 "$name32")"
    ["delete bob"]="userdel -- bob"
    ["delete mia"]="userdel -- mia"
    ["delete redis"]="userdel -- redis"
)
declare -A done_word=([add]=added [delete]=deleted [lock]=locked [unlock]=unlocked)
for command in "${!expected[@]}"; do
    read -r -a words <<<"$command"
    rm -rf -- "$state_dir"
    run "${words[@]}"
    expect_eq "'$command' status" 0 "$status"
    expect_eq "'$command' runs" "${expected[$command]}" "$(tool_calls)"
    expect_contains "'$command' is logged under the tag" "logger -t useraccount" "$(logger_calls)"
    expect_contains "'$command' log names the user" "${words[1]}" "$(logger_calls)"
    expect_contains "'$command' is logged as done" \
        "-- $(printf '%q' "${done_word[${words[0]}]} user ${words[1]}")" "$(logger_calls)"
    expect_not_contains "'$command' changes accounts under the lock" "state unlocked" "$record"
done
STUB_PASSWD=$edge_passwd run delete top
expect_eq "delete of UID_MAX runs" "userdel -- top" "$(tool_calls)"

# --- refused before any account tool runs, with the reason ---
run
expect_eq "no arguments: refused with status 2" 2 "$status"
expect_contains "no arguments: says why" usage "$stderr"
declare -A refused_cases=(
    ["add"]=usage
    ["delete"]=usage
    ["add alice extra"]=usage
    ["lock bob bob"]=usage
    ["frobnicate alice"]="unknown command"
    ["ADD alice"]="unknown command"
    ["add -r"]="invalid user name"
    ["add -alice"]="invalid user name"
    ["add --help"]="invalid user name"
    ["add Alice"]="invalid user name"
    ["add 9lives"]="invalid user name"
    ["add a.b"]="invalid user name"
    ["add ../etc"]="invalid user name"
    ["add ${name32}x"]="invalid user name"
    ["add é"]="invalid user name"
    ["delete root"]="not an ordinary user account: root (uid 0)"
    ["lock daemon"]="not an ordinary user account"
    ["unlock sysacct"]="not an ordinary user account"
    ["delete nobody"]="not an ordinary user account"
    ["delete ghost"]="no such user: ghost"
    ["delete carol"]="not a managed account: carol (not in group useraccount-managed)"
    ["unlock carol"]="not a managed account"
    ["lock dave"]="not a managed account"
    ["delete dave"]="not a managed account"
    ["lock plain"]="not a managed account"
    ["delete plain"]="not a managed account"
    ["add erin"]="home directory already exists"
    ["add frank"]="home directory already exists"
    ["add wheel"]="reserved name: wheel"
    ["add admin"]="reserved name"
    ["add docker"]="reserved name"
    ["add libvirt-qemu"]="reserved name"
    ["add systemd-journal"]="reserved name"
    ["add useraccount"]="reserved name"
    ["add staff"]="reserved name"
    ["add redis"]="reserved name: redis"
    ["add postgres"]="reserved name"
    ["add tomcat10"]="reserved name"
    ["add _svc-1"]="reserved name"
    ["add devs"]="a group of that name exists: devs"
    ["add bob"]="user already exists: bob"
    ["add plain"]="user already exists"
)
for command in "${!refused_cases[@]}"; do
    read -r -a words <<<"$command"
    run "${words[@]}"
    expect_eq "'$command' is refused with status 2" 2 "$status"
    expect_eq "'$command' calls no account tool" "" "$(tool_calls)"
    expect_contains "'$command' says why on stderr" "${refused_cases[$command]}" "$stderr"
    expect_contains "'$command' refusal is logged" "refused" "$(logger_calls)"
done
# Without a list of reserved names that only root may write, nothing is
# added; the words of its comments are no names.
chmod 0666 "$reserved"
run add alice
expect_eq "a list writable by others refuses add" "2 no list of reserved names that only root may write: $reserved" \
    "$status ${stderr#*: }"
chmod 0644 "$reserved"
rm -rf -- "$state_dir"
run add the
expect_eq "words of comments are no reserved names" "$(useradd_line 1501 the)" "$(tool_calls)"

# Without the group of managed accounts nothing is managed, nor added.
grep -v '^useraccount-managed:' "$STUB_GROUP" >"$scratch/group-unmanaged"
for command in "add alice" "lock bob" "delete bob"; do
    read -r -a words <<<"$command"
    STUB_GROUP=$scratch/group-unmanaged run "${words[@]}"
    expect_eq "'$command' without the managed group is refused" 2 "$status"
    expect_eq "'$command' without the managed group calls no account tool" "" "$(tool_calls)"
    expect_contains "'$command' without the managed group says so" \
        "group useraccount-managed does not exist" "$stderr"
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

# --- IDs are never used twice ---
rm -rf -- "$state_dir"
run add alice
expect_eq "without a mark, the first ID above every one in use or owning a home" \
    "$(useradd_line 1501 alice)" "$(tool_calls)"
expect_eq "the state directory is created, root's alone" "0:0 700" "$(owner_mode "$state_dir")"
expect_eq "the lock file is root's alone" "0:0 600" "$(owner_mode "$lock_file")"
expect_eq "the mark is root's, 644" "0:0 644" "$(owner_mode "$mark_file")"
expect_eq "the mark holds the ID given" 1501 "$(<"$mark_file")"
run add alice
expect_eq "the next add goes above the mark" "$(useradd_line 1502 alice)" "$(tool_calls)"
echo 5 >"$mark_file"
run add alice
expect_eq "IDs in use win over a lower mark" "$(useradd_line 1501 alice)" "$(tool_calls)"
STUB_FAIL_useradd=9 run add alice
expect_eq "a failed add still uses up its ID" 1502 "$(<"$mark_file")"
# delete leaves the deleted account's UID, and its primary GID, in the mark.
echo 1000 >"$mark_file"
STUB_PASSWD=$edge_passwd run delete wide
expect_eq "delete raises the mark to the account's GID" 2500 "$(<"$mark_file")"
STUB_PASSWD=$edge_passwd run delete top
expect_eq "delete raises the mark to the account's UID" 60000 "$(<"$mark_file")"
run add alice
expect_eq "add past UID_MAX is refused" 2 "$status"
expect_contains "add past UID_MAX says why" "no unused ID left in 1000..60000" "$stderr"
expect_eq "add past UID_MAX creates nothing" "" "$(tool_calls)"

# A state that others could have written, or that is no mark, refuses add
# and delete: no account tool runs and the mark stays as it was.
echo 1600 >"$scratch/planted"
unsafe_mark_cases=(
    "symlink|ln -s $scratch/planted $mark_file"
    "owned by nobody|echo 1600 >$mark_file; chown 65534 $mark_file"
    "group-writable|echo 1600 >$mark_file; chmod 664 $mark_file"
    "a second link|echo 1600 >$mark_file; ln $mark_file $state_dir/other-name"
    "not a number|echo 16x0 >$mark_file"
    "empty|: >$mark_file"
    "a directory|mkdir $mark_file"
    "state directory writable by all|chmod 1777 $state_dir"
    "state directory a symlink|rm -rf $state_dir; mkdir $scratch/state; ln -s $scratch/state $state_dir"
    "state directory owned by nobody|chown 65534 $state_dir"
    "lock file readable by others|chmod 0604 $lock_file"
    "lock file a symlink|rm $lock_file; ln -s $scratch/planted $lock_file"
)
for unsafe in "${unsafe_mark_cases[@]}"; do
    what=${unsafe%%|*}
    for command in "add alice" "delete bob"; do
        rm -rf -- "$state_dir" "$scratch/state"
        mkdir -m 0700 "$state_dir"
        install -m 0600 /dev/null "$lock_file"
        bash -c "${unsafe#*|}"
        before=$(ls -la "$state_dir"/ 2>&1; cat "$mark_file" 2>&1)
        read -r -a words <<<"$command"
        run "${words[@]}"
        expect_eq "[$what] '$command' is refused" 2 "$status"
        expect_eq "[$what] '$command' runs no account tool" "" "$(tool_calls)"
        expect_eq "[$what] '$command' leaves the state alone" "$before" \
            "$(ls -la "$state_dir"/ 2>&1; cat "$mark_file" 2>&1)"
    done
done
rm -rf -- "$state_dir" "$scratch/state"

# --- nobody can hold up add or delete ---
# A state directory that earlier versions left open to all is closed. Then
# nobody takes every lock it can get on the paths of the state, and holds
# them while root adds.
mkdir -m 0755 "$state_dir"
run delete bob
expect_eq "an open state directory: delete runs" 0 "$status"
expect_eq "an open state directory is closed" "0:0 700" "$(owner_mode "$state_dir")"
holders=()
for path in /var/lib "$state_dir" "$lock_file" "$mark_file"; do
    # shellcheck disable=SC2016 # for the inner bash
    setpriv --reuid=65534 --regid=65534 --clear-groups \
        bash -c 'exec 9<"$1" && flock -n -x 9 && echo held && exec sleep 60' nobody-lock "$path" \
        >"$scratch/lock-${#holders[@]}" 2>&1 &
    holders+=($!)
done
for _ in $(seq 100); do
    [[ $(cat "$scratch"/lock-* | wc -l) == 4 ]] && break
    sleep 0.05
done
expect_eq "nobody locks /var/lib, and no path of the state" "held 3" \
    "$(<"$scratch/lock-0") $(grep -l 'Permission denied' "$scratch"/lock-[123] | wc -l)"
run add alice
expect_eq "add while nobody holds every lock it can" "$(useradd_line 1501 alice)" "$(tool_calls)"
kill "${holders[@]}" 2>/dev/null
wait "${holders[@]}" 2>/dev/null

# --- delete closes the account's own kept home, and only that ---
# bob has mounted a file system of his own on his home: add and delete look
# beneath it, at the directory itself, and leave no mount behind.
make_homes
rm -rf -- "$state_dir"
mount -t tmpfs -o uid=1700,gid=1700,mode=0777 tmpfs "$base/bob"
mounts_before=$(grep -c " $base/" /proc/self/mountinfo)
run add alice
expect_eq "add sees the owner beneath a mount on a home" "$(useradd_line 1501 alice)" "$(tool_calls)"
run delete bob
expect_eq "delete bob: status" 0 "$status"
expect_eq "the file system on bob's home is left as it was" "1700:1700 777" "$(owner_mode "$base/bob")"
expect_eq "no mount is left behind" "$mounts_before" "$(grep -c " $base/" /proc/self/mountinfo)"
umount "$base/bob"
expect_eq "bob's kept home is root's, 700" "0:0 700" "$(owner_mode "$base/bob")"
expect_contains "closing the home is logged" \
    "$(printf '%q' "kept home directory $base/bob of bob: now root's, mode 0700")" "$(logger_calls)"
run delete link
expect_eq "delete link: status" 0 "$status"
check "a home that is a symlink stays one" test -L "$base/link"
expect_eq "the symlink's target is left alone" "1005:1005 755" "$(owner_mode "$scratch/elsewhere")"
expect_contains "the home left alone is logged" \
    "$(printf '%q' "home directory $base/link of link left as it is")" "$(logger_calls)"
run delete other
expect_eq "delete other: status" 0 "$status"
expect_eq "a home that is another account's is left alone" "1002:1002 755" "$(owner_mode "$base/carol")"
make_homes
STUB_FAIL_userdel=8 run delete bob
expect_eq "a failed delete keeps the home as it was" "1001:1001 755" "$(owner_mode "$base/bob")"

# --- delete first ends everything of the account's ---
# bob lingers, has a crontab, two at jobs waiting and one running, and real
# processes: one of his own, one that stops every process he may signal
# (kill -STOP -1) in a loop, one whose saved UID is his, a zombie, and one
# under his subordinate UID. carol's process, one under her range and her at
# job stay.
make_homes
ended_steps() {
    grep -oE '^(loginctl|systemctl|crontab|atrm|userdel) ' <<<"$record" | uniq | xargs
}
# The real and saved UIDs of each live process, "RUID SUID" a line.
live_ids() {
    local file
    for file in /proc/[0-9]*/status; do
        awk '/^State:/ && $2 ~ /[ZX]/ {exit} /^Uid:/ {print $2, $4}' "$file" 2>/dev/null
    done
}
# The processes of the test's UIDs, sorted, "|" between them.
test_processes() {
    live_ids | grep -E '^(1001|0 1001|200005|1002|300001)( |$)' | sort | paste -sd'|'
}
printf '%s\n' bob:200000:65536 carol:300000:10 >/etc/subuid
setpriv --reuid=1001 --regid=1001 --clear-groups sleep 600 &
own=$!
setpriv --ruid=0 --euid=1001 sleep 600 &
saved=$!
setpriv --reuid=200005 --regid=200005 --clear-groups sleep 600 &
subordinate=$!
bash -c 'setpriv --reuid=1001 --regid=1001 --clear-groups true & exec sleep 600' &
zombie_parent=$!
setpriv --reuid=1002 --regid=1002 --clear-groups sleep 600 &
others=$!
setpriv --reuid=300001 --regid=300001 --clear-groups sleep 600 &
others+=" $!"
# until_processes LIST: until the test's processes are those of LIST.
# shellcheck disable=SC2317 # run through check
until_processes() {
    for _ in $(seq 50); do
        [[ $(test_processes) == "$1" ]] && return 0
        sleep 0.1
    done
    return 1
}
check "bob's processes run" until_processes "0 1001|1001 1001|1002 1002|200005 200005|300001 300001"
# Last, once the others have started: it stops each of them, as it would
# stop a killer that ran as bob.
# shellcheck disable=SC2016 # for perl
setpriv --reuid=1001 --regid=1001 --clear-groups perl -e 'while (1) { kill "STOP", -1 }' &
stopper=$!
check "bob's stopper runs" until_processes "0 1001|1001 1001|1001 1001|1002 1002|200005 200005|300001 300001"
printf '%s\n' $'7\tTue Dec  8 18:00:00 2026 a bob' $'8\tTue Dec  8 19:00:00 2026 b carol' \
    $'9\tWed Dec  9 08:00:00 2026 a bob' $'10\tTue Dec  8 17:00:00 2026 = bob' >"$STUB_ATQ"
touch /var/lib/systemd/linger/bob
STUB_CRONTABS=bob run delete bob
expect_eq "delete bob: status" 0 "$status"
expect_eq "each step, before the account goes" "loginctl systemctl crontab atrm userdel" "$(ended_steps)"
check "lingering is disabled" test ! -e /var/lib/systemd/linger/bob
expect_contains "the user manager is stopped" "systemctl stop user@1001.service" "$record"
expect_eq "every process of bob's and of his range is ended, carol's left" "1002 1002|300001 300001" \
    "$(test_processes)"
expect_eq "bob's waiting at jobs are removed" "atrm 7 9" "$(grep '^atrm ' <<<"$record")"
expect_contains "the processes ended are logged" \
    "$(printf '%q' "ended the processes of bob: $(printf '%s\n' "$own" "$stopper" "$saved" "$subordinate" | sort -n | xargs)")" \
    "$(logger_calls)"
# shellcheck disable=SC2086 # two PIDs
kill "$zombie_parent" $others
# A range that holds another account's UID, or overlaps another owner's
# range: their processes cannot be told apart, and nothing is done.
for ranges in "bob:1002:1|1002-1002 of bob in /etc/subuid holds the UID of carol" \
    $'bob:200000:100\ncarol:200050:100|200000-200099 of bob in /etc/subuid overlaps that of carol'; do
    printf '%s\n' "${ranges%|*}" >/etc/subuid
    run delete bob
    expect_eq "[${ranges%|*}] delete bob is refused before any step" "2 subordinate range ${ranges#*|}" \
        "$status $(ended_steps)${stderr#*: }"
done
rm /etc/subuid
# Without logind, cron, at or systemd.
touch /var/lib/systemd/linger/bob
rmdir /run/systemd/system
STUB_DIR=$stubs_bare STUB_FAIL_loginctl=1 run delete bob
mkdir /run/systemd/system
expect_eq "without logind, cron, at or systemd: delete runs" "0 loginctl userdel" "$status $(ended_steps)"
check "without logind the lingering flag goes all the same" test ! -e /var/lib/systemd/linger/bob
: >"$STUB_ATQ"

# --- a failing account tool passes its status on ---
# ... and is logged as a failure, never in the words of a success. bob's
# password is locked without an expiry, so unlock calls usermod.
for failing in "add useradd 9 newbie" "delete userdel 8 bob" "lock usermod 6 bob" "unlock usermod 4 bob" \
    "delete userdel 124 bob"; do
    read -r verb tool code user <<<"$failing"
    declare -x "STUB_FAIL_$tool=$code"
    run "$verb" "$user"
    unset "STUB_FAIL_$tool"
    expect_eq "failed $verb ($code): the tool's status is passed on" "$code" "$status"
    what="$tool status $code"
    ((code != 124)) || what="$tool timed out"
    expect_contains "failed $verb ($code) is logged as a failure" \
        "-- $(printf '%q' "failed to $verb user $user: $what")" "$(logger_calls)"
    expect_not_contains "failed $verb ($code) is not logged as done" \
        "${done_word[$verb]}" "$(logger_calls)"
done
# A usermod that reports success and changes nothing (the stubs change no
# database): the account is read back, and the command fails.
for verb in lock unlock; do
    run "$verb" bob
    expect_eq "$verb that changed nothing: fails" "1 failed to $verb user bob: the account did not change as asked" \
        "$status $(sed -n 's/^useraccount.sh: \(.*\) (.*$/\1/p' <<<"$stderr")"
    expect_not_contains "$verb that changed nothing is not logged as done" "${done_word[$verb]} user" "$(logger_calls)"
done

# --- no new ID in a subordinate range ---
# Their owners can take every ID of their ranges in a user namespace.
make_homes
rm -rf -- "$state_dir"
cp /etc/login.defs "$scratch/login.defs"
printf '%s\n' someone:1501:100 >/etc/subuid
printf '%s\n' someone:1601:100 other:1650:10 >/etc/subgid
run add alice
expect_eq "add steps over the ranges of subuid and subgid" "$(useradd_line 1701 alice)" "$(tool_calls)"
printf '%s\n' someone:1702:58299 >/etc/subuid
run add alice
expect_eq "ranges that leave no ID: refused" \
    "2 no unused ID left in 1000..60000 outside the subordinate ranges of /etc/subuid and /etc/subgid (highest given: 1701)" \
    "$status ${stderr#*: }"
for bad in "echo someone:1702 >/etc/subuid|not a subordinate range in /etc/subuid: someone:1702" \
    "chmod 0666 /etc/subuid|/etc/subuid is not a file of root's that only root may write"; do
    bash -c "${bad%|*}"
    run add alice
    expect_eq "[${bad%|*}] add is refused" "2 ${bad#*|}" "$status ${stderr#*: }"
done
rm /etc/subuid /etc/subgid
for setting in "UID_MAX 200000|SUB_UID" "GID_MAX 100000|SUB_GID" "SUB_GID_MIN 60000|SUB_GID"; do
    printf '%s\n' "${setting%|*}" >>/etc/login.defs
    run add alice
    expect_eq "${setting%|*}: add is refused" "2 " "$status $(tool_calls)"
    expect_contains "${setting%|*}: ... saying why" "overlaps ${setting#*|}_MIN..${setting#*|}_MAX" "$stderr"
    cp "$scratch/login.defs" /etc/login.defs
done
printf '%s\n' "UID_MAX 200000" "GID_MAX 200000" "SUB_UID_COUNT 0" "SUB_GID_COUNT 0" >>/etc/login.defs
run add alice
expect_eq "raised UID_MAX and GID_MAX without subordinate ranges: add runs" "$(useradd_line 65535 alice)" "$(tool_calls)"
cp "$scratch/login.defs" /etc/login.defs

# --- a home base that is a symlink is scanned where it leads ---
make_homes
rm -rf -- "$state_dir"
ln -s home "$scratch/home-link"
STUB_HOME_BASE=$scratch/home-link run add alice
expect_eq "the kept home's owner counts through a symlinked base" "$(useradd_line 1501 alice)" "$(tool_calls)"
STUB_HOME_BASE=$scratch/home-link run add erin
expect_contains "an existing home is seen through it" "home directory already exists: $scratch/home-link/erin" "$stderr"
STUB_HOME_BASE=$scratch/home-link run delete bob
expect_eq "delete closes the home through it" "0 0:0 700" "$status $(owner_mode "$base/bob")"
ln -s gone "$scratch/gone-link"
STUB_HOME_BASE=$scratch/gone-link run add alice
expect_contains "a symlinked base that leads nowhere refuses add" "is a symlink that leads to no directory" "$stderr"

# --- lock and unlock, with the real account tools ---
# Accounts in the overlay of /etc: keys has no password (as add makes
# them), pass a password, empty an empty one, dated a password and an
# expiry date. su as root passes PAM's account stage only for an account
# that has not expired; a key login meets the same stage.
real_stubs=$scratch/real-stubs
mkdir "$real_stubs"
ln -s "$stubs/stub" "$real_stubs/logger"
groupadd -f useraccount-managed
uid=4000
for user in keys pass empty dated; do
    useradd -M -l -G useraccount-managed -u $((++uid)) "ua-$user"
done
printf '%s\n' ua-pass:Pass-1x ua-dated:Pass-2x | chpasswd
usermod -p '' ua-empty
usermod -e 2099-01-01 ua-dated
rm -rf -- "$state_dir"
real_run() {
    : >"$STUB_RECORD"
    stderr=$(PATH="$real_stubs:$PATH" bash "$script" "$@" 2>&1 >/dev/null)
    status=$?
    record=$(<"$STUB_RECORD")
}
shadow_of() {
    getent shadow "$1" | cut -d: -f2,8
}
# in_or_out USER: whether su as root lets USER in, through PAM's account stage.
in_or_out() {
    [[ $(su -s /bin/sh "$1" -c 'echo in' 2>/dev/null) == in ]] && echo in || echo out
}
# round_trip USER: what lock and then unlock did to USER: each one's status,
# whether su let USER in after it, and for lock whether the entry has
# expiry day 1 and no password that lets in, for unlock whether it is as
# before lock.
round_trip() {
    local before
    before=$(shadow_of "$1")
    real_run lock "$1"
    printf 'lock %s %s %s, ' "$status" "$(in_or_out "$1")" "$(grep -qE '^!.*:1$' <<<"$(shadow_of "$1")" && echo sealed)"
    real_run unlock "$1"
    printf 'unlock %s %s %s\n' "$status" "$(in_or_out "$1")" "$([[ $(shadow_of "$1") == "$before" ]] && echo as-before)"
}
for user in ua-keys ua-pass ua-dated; do
    expect_eq "$user: locked, then unlocked as before" "lock 0 out sealed, unlock 0 in as-before" "$(round_trip "$user")"
done
expect_eq "ua-empty: locked; unlock would open it to anyone, and is refused" \
    "lock 0 out sealed, unlock 2 out " "$(round_trip ua-empty)"
real_run unlock ua-empty
expect_contains "... saying why" "unlock would leave ua-empty with an empty password" "$stderr"
real_run lock ua-pass
real_run lock ua-pass
expect_eq "lock of a locked account: done, nothing changed" \
    "0 $(printf '%q' "user ua-pass was already locked: nothing changed")" "$status $(logger_calls | sed 's/.* -- //')"
real_run unlock ua-pass
expect_contains "unlock is logged" "$(printf '%q' "unlocked user ua-pass")" "$(logger_calls)"
real_run unlock ua-pass
expect_eq "unlock of an unlocked account: done, nothing changed" \
    "0 $(printf '%q' "user ua-pass was not locked: nothing changed")" "$status $(logger_calls | sed 's/.* -- //')"
expect_contains "unlocking an account without a password says so" \
    "$(printf '%q' "user ua-keys has no password: it logs in only by other means, such as a key")" \
    "$(real_run lock ua-keys && real_run unlock ua-keys && logger_calls)"
echo ua-empty:Pass-3x | chpasswd
real_run unlock ua-empty
expect_eq "once it has a password, the account lock found with an empty one unlocks" "0 in" \
    "$status $(in_or_out ua-empty)"
# A password locked as earlier versions did, without an expiry: unlocked.
usermod --lock ua-pass
real_run unlock ua-pass
expect_eq "a password locked without an expiry is unlocked" "0 in" "$status $(in_or_out ua-pass)"
# An expiry that lock did not set is not unlock's to lift.
usermod -e 1 ua-keys
real_run unlock ua-keys
expect_eq "an expiry set by hand: unlock is refused, and changes nothing" "2 !:1" "$status $(shadow_of ua-keys)"
usermod -e '' ua-keys
# An account's own expiry day that passed while it was locked: the lock is
# undone, and unlock says the account stays expired.
usermod -e 2000-01-01 ua-dated
real_run lock ua-dated
real_run unlock ua-dated
expect_eq "unlock of an account whose own expiry passed: fails" 1 "$status"
expect_contains "... saying so" "it stays expired: its own expiry day, 10957, from before lock, has passed" "$stderr"
check "... with the lock undone" grep -qE '^\$.*:10957$' <<<"$(shadow_of ua-dated)"
# A record of an account deleted by hand.
real_run lock ua-pass
userdel ua-pass
useradd -M -l -G useraccount-managed -u 4005 ua-pass
usermod -e 1 ua-pass
real_run unlock ua-pass
expect_eq "a record of another account of that name (another UID) is no record" \
    "2 user ua-pass expires on day 1, which lock did not set: unlock undoes only what lock did" "$status ${stderr#*: }"

finish
