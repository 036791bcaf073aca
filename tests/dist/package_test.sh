#!/bin/bash
# The Debian package that dpkg-buildpackage builds (package_build_test.sh): its
# control fields, tree and modes, the conffiles that keep an administrator's
# changes, what lintian says of it, and a postinst that creates the system
# user, the sender group, the group of managed accounts, the account script's
# state directory and the key file exactly once and leaves alone what an
# administrator made.
#
# postinst runs for real, with the real adduser, in a chroot whose root is an
# overlay of / with its changes in a throw-away tmpfs, so the host's user
# database and files never change. Installing, upgrading, removing and
# purging with dpkg under systemd are the container test's (tests/system).
# Usage: package_test.sh SOURCE_DIR BINARY_DIR
set -uo pipefail
here=$(cd -- "$(dirname -- "$0")" && pwd)

dpkg_path=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
key_file=/quex/etc/useraccount/useraccountkey.json

# Runs inside a private mount namespace: one scenario, reported as key=value
# lines.
in_namespace() {
    local data=$1 control=$2 scenario=$3 layer=$4
    local root=$layer/root dir
    set -e
    mount -t tmpfs tmpfs "$layer"
    mkdir "$layer/upper" "$layer/work" "$root"
    mount -t overlay overlay -o "lowerdir=/,upperdir=$layer/upper,workdir=$layer/work" "$root"
    mount --rbind /dev "$root/dev"
    mount --rbind /proc "$root/proc"
    for dir in /run /tmp /var/tmp; do
        mount -t tmpfs tmpfs "$root$dir"
    done
    # Account tools log to syslog: not to the host's.
    if [[ -e $root/dev/log ]]; then
        mount --bind /dev/null "$root/dev/log"
    fi
    # What postinst reads of the package: the key file's template, and the
    # unit that debhelper's part enables.
    install -D -m 0644 "$data/usr/share/useraccountd/useraccountkey.json" \
        "$root/usr/share/useraccountd/useraccountkey.json"
    install -D -m 0644 "$data/lib/systemd/system/useraccountd.service" \
        "$root/lib/systemd/system/useraccountd.service"
    cp -r "$control" "$root/control"
    set +e

    # With the environment dpkg gives a maintainer script.
    in_root() {
        chroot "$root" /usr/bin/env -i PATH="$dpkg_path" DPKG_MAINTSCRIPT_PACKAGE=useraccountd \
            DPKG_MAINTSCRIPT_ARCH="$(dpkg --print-architecture)" DPKG_ROOT= "$@"
    }
    case $scenario in
        group-exists)
            in_root groupadd --system useraccountd
            ;;
        existing)
            in_root useradd --system --no-create-home --shell /bin/false useraccountd
            in_root groupadd useraccount
            in_root groupadd useraccount-managed
            mkdir -p "$root/var/lib/useraccountd"
            echo 4242 >"$root/var/lib/useraccountd/highest-id"
            mkdir -p "$root${key_file%/*}"
            echo "site key" >"$root$key_file"
            echo "key_before=$(stat -c %i "$root$key_file")"
            ;;
    esac
    local first second
    in_root env DPKG_MAINTSCRIPT_NAME=postinst /bin/sh /control/postinst configure
    first=$?
    echo "key_first=$(stat -c '%i %a %U:%G' "$root$key_file" 2>&1)"
    in_root env DPKG_MAINTSCRIPT_NAME=postinst /bin/sh /control/postinst configure 1.0.0
    second=$?
    echo "first=$first"
    echo "second=$second"
    echo "key_second=$(stat -c '%i %a %U:%G' "$root$key_file" 2>&1)"
    echo "key_sum=$(md5sum <"$root$key_file" | cut -d' ' -f1)"
    echo "passwd_lines=$(grep -c '^useraccountd:' "$root/etc/passwd")"
    echo "group_lines=$(grep -c '^useraccountd:' "$root/etc/group")"
    echo "sender_lines=$(grep -c '^useraccount:' "$root/etc/group")"
    echo "passwd=$(in_root getent passwd useraccountd)"
    echo "group=$(in_root getent group useraccountd)"
    echo "sender=$(in_root getent group useraccount)"
    echo "managed_lines=$(grep -c '^useraccount-managed:' "$root/etc/group")"
    echo "managed=$(in_root getent group useraccount-managed)"
    echo "state=$(stat -c '%a %U:%G %F' "$root/var/lib/useraccountd" 2>&1)"
    echo "mark=$(cat "$root/var/lib/useraccountd/highest-id" 2>&1)"
    echo "shadow=$(in_root getent shadow useraccountd | cut -d: -f1,2)"
    echo "uid_min=$(awk '$1 == "UID_MIN" {print $2}' "$root/etc/login.defs")"
    echo "gid_min=$(awk '$1 == "GID_MIN" {print $2}' "$root/etc/login.defs")"

    if [[ $scenario == fresh ]]; then
        in_root env DPKG_MAINTSCRIPT_NAME=postinst /bin/sh /control/postinst bogus 2>/dev/null
        echo "postinst_bogus=$?"
        in_root env DPKG_MAINTSCRIPT_NAME=postrm /bin/sh /control/postrm bogus 2>/dev/null
        echo "postrm_bogus=$?"
    fi
    if [[ $scenario == purge* ]]; then
        # The packaged tool prepares the queue, and records its key for postrm,
        # as the unit does at each start.
        install -D -m 0755 "$data/usr/bin/useraccountctl" "$root/usr/bin/useraccountctl"
        prepare() {
            in_root useraccountctl prepare --owner useraccountd --group useraccount >/dev/null
        }
    fi
    case $scenario in
        purge)
            # The key file seen through an overlay with xino, which gives it an
            # inode number above 2^63.
            mkdir "$layer/key-upper" "$layer/key-work"
            mount -t overlay overlay \
                -o "lowerdir=$root/quex,upperdir=$layer/key-upper,workdir=$layer/key-work,xino=on" "$root/quex"
            echo "purge_inode=$(stat -c %i "$root$key_file")"
            prepare
            echo "queue_key=$(cat "$root/var/lib/useraccountd/queue-key")"
            echo 4242 >"$root/var/lib/useraccountd/highest-id"
            echo saved >"$root/var/lib/useraccountd/saved-commands"
            touch "$root/var/lib/useraccountd/lock"
            # A remove first: the saved commands go aside.
            in_root env DPKG_MAINTSCRIPT_NAME=postrm /bin/sh /control/postrm remove >/dev/null 2>"$layer/remove.err"
            echo "remove=$?"
            echo "remove_err=$(cat "$layer/remove.err")"
            echo "state_after_remove=$(cd "$root/var/lib/useraccountd" && echo *)"
            echo "set_aside=$(cat "$root"/var/lib/useraccountd/saved-commands.removed-* 2>&1)"
            ;;
        purge-key-replaced)
            prepare
            cp "$root$key_file" "$root$key_file.new" && mv "$root$key_file.new" "$root$key_file"
            ;;
        purge-unprepared)
            # shellcheck disable=SC2016 # for perl
            in_root setpriv --reuid useraccountd --regid useraccountd --clear-groups \
                perl -MIPC::SysV=ftok -e 'defined msgget(ftok($ARGV[0], ord "G"), 01600) or die "msgget: $!"' \
                "$key_file"
            ;;
    esac
    if [[ $scenario == purge* ]]; then
        echo "queues_before_purge=$(tail -n +2 /proc/sysvipc/msg | wc -l)"
        in_root env DPKG_MAINTSCRIPT_NAME=postrm /bin/sh /control/postrm purge >/dev/null 2>"$layer/purge.err"
        echo "purge=$?"
        echo "purge_err=$(cat "$layer/purge.err")"
        echo "queues_after_purge=$(tail -n +2 /proc/sysvipc/msg | wc -l)"
        echo "state_after_purge=$(cd "$root/var/lib/useraccountd" && echo *)"
    fi
}

if [[ ${1:-} == --in-namespace ]]; then
    shift
    in_namespace "$@"
    exit 0
fi

# shellcheck source=lib.sh
. "$here/lib.sh"

source_dir=$1
binary_dir=$2
require_tool dpkg-deb
require_tool lintian
make_scratch

arch=$(dpkg --print-architecture)
debs=("$binary_dir"/package/useraccountd_*.deb)
if [[ ! -f ${debs[0]} ]]; then
    fail "no package in $binary_dir/package: package_build_test.sh builds it (ctest runs it first)"
    finish
fi
expect_eq "one package besides the debug symbols" 1 "${#debs[@]}"
deb=${debs[0]}
project_version=$(sed -n 's/^project(useraccountd VERSION \([0-9.]*\) .*/\1/p' "$source_dir/CMakeLists.txt")
expect_eq "package file name has the project's version" \
    "useraccountd_${project_version}_$arch.deb" "${deb##*/}"

# --- control fields ---
field() {
    dpkg-deb -f "$deb" "$1"
}
expect_eq "Package" useraccountd "$(field Package)"
expect_eq "Version" "$project_version" "$(field Version)"
expect_eq "Architecture" "$arch" "$(field Architecture)"
expect_eq "Section" admin "$(field Section)"
expect_eq "Priority" optional "$(field Priority)"
maintainer=$(field Maintainer)
check "Maintainer has a name and a mail address off this host ($maintainer)" \
    grep -qE '^[^<>@]+ <[^<>@ ]+@[a-z0-9-]+(\.[a-z0-9-]+)+>$' <<<"$maintainer"
expect_not_contains "Maintainer is not at localhost" localhost "$maintainer"
depends=$(field Depends | tr ',' '\n' | sed -E 's/^ *//; s/[ (].*//')
for package in adduser passwd sudo libc6 libstdc++6; do
    check "Depends names $package" grep -qx "$package" <<<"$depends"
done
# Essential packages are never named.
for package in bash bsdutils; do
    expect_eq "Depends does not name $package" "" "$(grep -x "$package" <<<"$depends")"
done
expect_eq "Recommends" "" "$(field Recommends)"

# --- data: tree and modes ---
# "MODE OWNER PATH [-> TARGET]" for every file and link, directories apart.
listing=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {
    line = $1 " " $2 " " $6
    if ($7 == "->") line = line " -> " $8
    print line
}' | sort -k3)
expected_listing=$(sort -k3 <<'EOF'
-rw-r--r-- root/root ./etc/default/useraccountd
-r--r----- root/root ./etc/sudoers.d/useraccountd
-rw-r--r-- root/root ./etc/useraccountd.conf
-rw-r--r-- root/root ./etc/useraccountd/directory.sh
-rw-r--r-- root/root ./etc/useraccountd/reserved-names
-rw-r--r-- root/root ./etc/useraccountd/useraccount.conf
-rwxr-xr-x root/root ./etc/useraccountd/useraccount.sh
-rw-r--r-- root/root ./lib/systemd/system/useraccountd.service
lrwxrwxrwx root/root ./quex/sbin/useraccount.sh -> /etc/useraccountd/useraccount.sh
-rwxr-xr-x root/root ./usr/bin/useraccountctl
-rwxr-xr-x root/root ./usr/libexec/useraccountd/check-account-command
-rwxr-xr-x root/root ./usr/libexec/useraccountd/prepare-record
-rwxr-xr-x root/root ./usr/libexec/useraccountd/wait-for-commands
-rwxr-xr-x root/root ./usr/sbin/useraccountd
-rw-r--r-- root/root ./usr/share/doc/useraccountd/README.Debian.gz
-rw-r--r-- root/root ./usr/share/doc/useraccountd/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/useraccountd/copyright
-rw-r--r-- root/root ./usr/share/doc/useraccountd/examples/send-command.c
-rw-r--r-- root/root ./usr/share/doc/useraccountd/examples/send-command.php
-rw-r--r-- root/root ./usr/share/doc/useraccountd/examples/send-command.pl
-rw-r--r-- root/root ./usr/share/doc/useraccountd/examples/send-command.py
-rw-r--r-- root/root ./usr/share/lintian/overrides/useraccountd
-rw-r--r-- root/root ./usr/share/man/man1/useraccountctl.1.gz
-rw-r--r-- root/root ./usr/share/man/man5/useraccount.conf.5.gz
-rw-r--r-- root/root ./usr/share/man/man5/useraccountd-outcomes.5.gz
-rw-r--r-- root/root ./usr/share/man/man5/useraccountd-reserved-names.5.gz
-rw-r--r-- root/root ./usr/share/man/man5/useraccountd.conf.5.gz
-rw-r--r-- root/root ./usr/share/man/man7/useraccountd-senders.7.gz
-rw-r--r-- root/root ./usr/share/man/man8/useraccount.sh.8.gz
-rw-r--r-- root/root ./usr/share/man/man8/useraccountd.8.gz
-rw-r--r-- root/root ./usr/share/useraccountd/useraccountkey.json
EOF
)
expect_eq "package files, links and modes" "$expected_listing" "$listing"
bad_dirs=$(dpkg-deb -c "$deb" | awk '$1 ~ /^d/ && ($1 != "drwxr-xr-x" || $2 != "root/root")')
expect_eq "package directories are root's, 755" "" "$bad_dirs"

data=$scratch/data
dpkg-deb -x "$deb" "$data"
for pair in etc/useraccountd/useraccount.sh:dist/useraccount.sh \
    etc/useraccountd/reserved-names:dist/reserved-names \
    etc/useraccountd/useraccount.conf:dist/useraccount.conf \
    etc/useraccountd/directory.sh:dist/directory.sh \
    usr/share/useraccountd/useraccountkey.json:dist/useraccountkey.json \
    etc/sudoers.d/useraccountd:dist/sudoers.d/useraccountd \
    etc/useraccountd.conf:dist/useraccountd.conf \
    etc/default/useraccountd:dist/useraccountd.default \
    usr/libexec/useraccountd/check-account-command:dist/libexec/check-account-command \
    usr/libexec/useraccountd/wait-for-commands:dist/libexec/wait-for-commands \
    usr/libexec/useraccountd/prepare-record:dist/libexec/prepare-record \
    usr/share/doc/useraccountd/examples/send-command.c:dist/examples/send-command.c \
    usr/share/doc/useraccountd/examples/send-command.py:dist/examples/send-command.py \
    usr/share/doc/useraccountd/examples/send-command.pl:dist/examples/send-command.pl \
    usr/share/doc/useraccountd/examples/send-command.php:dist/examples/send-command.php; do
    check "packaged ${pair%%:*} is ${pair#*:}" cmp -s "$data/${pair%%:*}" "$source_dir/${pair#*:}"
done
for page in man1/useraccountctl.1 man5/useraccountd.conf.5 man5/useraccountd-outcomes.5 \
    man5/useraccountd-reserved-names.5 man5/useraccount.conf.5 man7/useraccountd-senders.7 \
    man8/useraccountd.8 man8/useraccount.sh.8; do
    check "packaged $page is man/${page#*/}" \
        cmp -s <(gzip -dc "$data/usr/share/man/$page.gz") "$source_dir/man/${page#*/}"
done
check "packaged README.Debian is debian/README.Debian" \
    cmp -s <(gzip -dc "$data/usr/share/doc/useraccountd/README.Debian.gz") "$source_dir/debian/README.Debian"

# The tests build the tool once more with a hook that kills it at each step of
# its custody of queued commands; the packaged tool has none.
expect_eq "the packaged useraccountctl has no hook of the tests" "" \
    "$(grep -a -o USERACCOUNTCTL_KILL_AT "$data/usr/bin/useraccountctl")"

# Every program the unit runs, other than kill, is the package's own.
unit=$data/lib/systemd/system/useraccountd.service
exec_start=$(sed -n 's/^ExecStart=@\([^ ]*\) .* -c \([^ ]*\) -r .*$/\1 \2/p' "$unit")
expect_eq "unit starts the packaged daemon with the packaged configuration" \
    "/usr/sbin/useraccountd /etc/useraccountd.conf" "$exec_start"
programs=$(sed -nE 's/^Exec[A-Za-z]*=[-@:+!]*([^ ]+).*/\1/p' "$unit" | grep -vx /bin/kill)
expect_eq "the unit's commands run the package's tool and daemon" \
    "/usr/bin/useraccountctl /usr/bin/useraccountctl /usr/libexec/useraccountd/check-account-command /usr/libexec/useraccountd/prepare-record /usr/libexec/useraccountd/wait-for-commands /usr/sbin/useraccountd" \
    "$(sort <<<"$programs" | xargs)"
while read -r program; do
    check "$program of the unit is in the package" test -x "$data$program"
done <<<"$programs"

# --- control archive ---
control_listing=$(dpkg-deb --ctrl-tarfile "$deb" | tar -tvf - | awk '{print $1, $6}' | sort -k2)
for script in postinst prerm postrm; do
    expect_contains "$script is in the package, executable" "-rwxr-xr-x ./$script" "$control_listing"
done
control=$scratch/control
dpkg-deb -e "$deb" "$control"
expected_conffiles='/etc/default/useraccountd
/etc/sudoers.d/useraccountd
/etc/useraccountd.conf
/etc/useraccountd/directory.sh
/etc/useraccountd/reserved-names
/etc/useraccountd/useraccount.conf
/etc/useraccountd/useraccount.sh'
expect_eq "conffiles keep the administrator's script, settings and rules" \
    "$expected_conffiles" "$(sort "$control/conffiles")"
while read -r conffile; do
    check "conffile $conffile is in the package" test -f "$data$conffile"
done <"$control/conffiles"

# --- lintian: no error, no warning; the overrides in use ---
lintian_output=$(lintian --display-info --pedantic --fail-on error,warning "$deb" 2>"$scratch/lintian.err")
lintian_status=$?
expect_eq "lintian status" 0 "$lintian_status"
tags=$(grep -E '^[EWIPX]: ' <<<"$lintian_output")
expect_eq "lintian reports no error or warning" "" "$(grep -E '^[EW]: ' <<<"$tags")"
expect_eq "lintian finds every hardening feature" "" "$(grep -E ' hardening-' <<<"$tags")"
expect_eq "lintian uses every override" "" "$(grep -E ' (unused|mismatched)-override' <<<"$tags")"
if [[ -n $tags ]]; then
    printf 'lintian, informational:\n%s\n' "$tags"
fi

# --- postinst, for real, in a throw-away root ---
require_private_mounts
host_had_user=$(grep -c '^useraccountd:' /etc/passwd)
declare -A result
run_scenario() {
    local scenario=$1 line
    mkdir "$scratch/layer-$scenario"
    result=()
    while IFS= read -r line; do
        result[${line%%=*}]=${line#*=}
    done < <(unshare --mount --ipc bash "$here/package_test.sh" --in-namespace \
        "$data" "$control" "$scenario" "$scratch/layer-$scenario" 2>"$scratch/$scenario.err")
    # Enabling the unit is told on stderr; nothing else should be.
    expect_eq "[$scenario] postinst writes nothing else to stderr" "" \
        "$(grep -v '^Created symlink /etc/systemd/system/multi-user.target.wants/useraccountd.service ' \
            "$scratch/$scenario.err")"
}

# check_accounts SCENARIO SHELL: one system user with its own group, and one
# sender group, after two runs of postinst.
check_accounts() {
    local scenario=$1 shell=$2
    local name uid gid home user_shell group_gid
    expect_eq "[$scenario] first postinst" 0 "${result[first]:-}"
    expect_eq "[$scenario] second postinst" 0 "${result[second]:-}"
    expect_eq "[$scenario] one passwd entry" 1 "${result[passwd_lines]:-}"
    expect_eq "[$scenario] one group entry" 1 "${result[group_lines]:-}"
    expect_eq "[$scenario] one sender group entry" 1 "${result[sender_lines]:-}"
    expect_eq "[$scenario] one managed group entry" 1 "${result[managed_lines]:-}"
    expect_eq "[$scenario] the script's state directory is root's alone" \
        "700 root:root directory" "${result[state]:-}"
    IFS=: read -r name _ uid gid _ home user_shell <<<"${result[passwd]:-}"
    IFS=: read -r _ _ group_gid _ <<<"${result[group]:-}"
    expect_eq "[$scenario] user name" useraccountd "$name"
    check "[$scenario] system uid $uid below UID_MIN ${result[uid_min]:-}" \
        test -n "$uid" -a "${uid:-0}" -lt "${result[uid_min]:-1000}"
    expect_eq "[$scenario] primary group is its own" "$group_gid" "$gid"
    expect_eq "[$scenario] shell" "$shell" "$user_shell"
    if [[ $shell == /usr/sbin/nologin ]]; then
        expect_eq "[$scenario] no home" /nonexistent "$home"
    fi
    check "[$scenario] password locked (${result[shadow]:-})" \
        grep -qE '^useraccountd:[!*]' <<<"${result[shadow]:-}"
    # The key file keeps its inode (the queue key) over the second run.
    expect_eq "[$scenario] key file unchanged by the second postinst" \
        "${result[key_first]:-}" "${result[key_second]:-}"
}

run_scenario fresh
check_accounts fresh /usr/sbin/nologin
IFS=: read -r _ _ sender_gid members <<<"${result[sender]:-}"
check "[fresh] sender group is a system group (gid $sender_gid below GID_MIN ${result[gid_min]:-})" \
    test -n "$sender_gid" -a "${sender_gid:-0}" -lt "${result[gid_min]:-1000}"
expect_eq "[fresh] sender group has no members yet" "" "$members"
IFS=: read -r _ _ managed_gid members <<<"${result[managed]:-}"
check "[fresh] managed group is a system group (gid $managed_gid below GID_MIN ${result[gid_min]:-})" \
    test -n "$managed_gid" -a "${managed_gid:-0}" -lt "${result[gid_min]:-1000}"
expect_eq "[fresh] managed group has no members" "" "$members"
expect_eq "[fresh] key file is root's, 644" "644 root:root" "$(cut -d' ' -f2- <<<"${result[key_first]:-}")"
expect_eq "[fresh] key file holds the template" \
    "$(md5sum <"$source_dir/dist/useraccountkey.json" | cut -d' ' -f1)" "${result[key_sum]:-}"
expect_eq "postinst refuses an unknown action" 1 "${result[postinst_bogus]:-}"
expect_eq "postrm refuses an unknown action" 1 "${result[postrm_bogus]:-}"

run_scenario group-exists
check_accounts group-exists /usr/sbin/nologin

# What the administrator made is left as it is.
run_scenario existing
check_accounts existing /bin/false
expect_eq "[existing] the site's key file keeps its inode" \
    "${result[key_before]:-}" "$(cut -d' ' -f1 <<<"${result[key_second]:-}")"
expect_eq "[existing] the site's key file keeps its content" \
    "$(md5sum <<<"site key" | cut -d' ' -f1)" "${result[key_sum]:-}"
expect_eq "[existing] the ID mark is kept" 4242 "${result[mark]:-}"

# The queue key that prepare recorded, for any inode number: purge removes the
# service's queue, the saved commands, the key's record and the script's
# lock.
run_scenario purge
check "[purge] the key file's inode is above 2^63 (${result[purge_inode]:-})" \
    test "${#result[purge_inode]}" -ge 19
check "[purge] prepare records the key with that inode (${result[queue_key]:-})" \
    grep -qE "^[0-9]+ [0-9]+ ${result[purge_inode]:-none}\$" <<<"${result[queue_key]:-}"
expect_eq "[purge] postrm remove" 0 "${result[remove]:-}"
check "[purge] remove sets the saved commands aside, under a name with the time (${result[state_after_remove]:-})" \
    grep -qE '^highest-id lock queue-key saved-commands\.removed-[0-9]{8}T[0-9]{6}Z$' <<<"${result[state_after_remove]:-}"
expect_eq "[purge] as they were" saved "${result[set_aside]:-}"
expect_contains "[purge] remove says where" "the commands that waited at the removal are set aside in /var/lib/useraccountd/saved-commands.removed-" \
    "${result[remove_err]:-}"
expect_eq "[purge] the service's queue is made" 1 "${result[queues_before_purge]:-}"
expect_eq "[purge] postrm purge" 0 "${result[purge]:-}"
expect_eq "[purge] postrm says nothing" "" "${result[purge_err]:-}"
expect_eq "[purge] the service's queue is removed" 0 "${result[queues_after_purge]:-}"
expect_eq "[purge] the commands set aside, the key's record and the lock go, the ID mark stays" \
    highest-id "${result[state_after_purge]:-}"
# A key file replaced since prepare may name another program's queue; and a
# service that never prepared its queue has none to remove.
run_scenario purge-key-replaced
expect_eq "[purge-key-replaced] postrm purge" 0 "${result[purge]:-}"
expect_eq "[purge-key-replaced] the queue stays" 1 "${result[queues_after_purge]:-}"
expect_contains "[purge-key-replaced] postrm says why" "is not the key file the service's queue was made for" \
    "${result[purge_err]:-}"
run_scenario purge-unprepared
expect_eq "[purge-unprepared] postrm purge" 0 "${result[purge]:-}"
expect_eq "[purge-unprepared] a queue that prepare did not make stays" 1 "${result[queues_after_purge]:-}"

expect_eq "the host's user database is unchanged" "$host_had_user" \
    "$(grep -c '^useraccountd:' /etc/passwd)"

finish
