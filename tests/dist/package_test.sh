#!/bin/bash
# The Debian package that `cpack -G DEB` builds: its tree and modes, its
# control fields, the conffiles that keep an administrator's changes, and
# maintainer scripts that create the system user exactly once.
#
# The maintainer scripts run for real, with the real adduser and useradd, in
# a private mount namespace: /etc is an overlay whose changes land in a
# throw-away tmpfs, and /var/log, /var/mail, /home and /run are empty tmpfs,
# so the host's user database and files never change.
# Usage: package_test.sh SOURCE_DIR BINARY_DIR
set -uo pipefail
here=$(cd -- "$(dirname -- "$0")" && pwd)

dpkg_path=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin

# Runs inside the namespace: one scenario, reported as key=value lines.
in_namespace() {
    local control=$1 scenario=$2 layer=$3
    set -e
    mount -t tmpfs tmpfs "$layer"
    mkdir "$layer/upper" "$layer/work" "$layer/no-adduser"
    mount -t overlay overlay -o "lowerdir=/etc,upperdir=$layer/upper,workdir=$layer/work" /etc
    for dir in /var/log /var/mail /home /run; do
        if [[ -d $dir ]]; then
            mount -t tmpfs tmpfs "$dir"
        fi
    done
    # Account tools log to syslog: not to the host's.
    if [[ -e /dev/log ]]; then
        mount --bind /dev/null /dev/log
    fi
    set +e

    # PATH as dpkg gives it, or one where only useradd and groupadd are found.
    local path=$dpkg_path
    if [[ $scenario == useradd* ]]; then
        ln -s "$(command -v useradd)" "$layer/no-adduser/useradd"
        ln -s "$(command -v groupadd)" "$layer/no-adduser/groupadd"
        path=$layer/no-adduser:/usr/bin:/bin
    fi
    postinst() {
        env -i PATH="$path" /bin/sh "$control/postinst" "$@"
    }

    case $scenario in
        useradd-with-group)
            groupadd --system useraccountd
            ;;
        existing-user)
            useradd --system --no-create-home --shell /bin/false useraccountd
            ;;
    esac
    local first second
    postinst configure
    first=$?
    postinst configure 1.0.0
    second=$?
    echo "first=$first"
    echo "second=$second"
    echo "passwd_lines=$(grep -c '^useraccountd:' /etc/passwd)"
    echo "group_lines=$(grep -c '^useraccountd:' /etc/group)"
    echo "passwd=$(getent passwd useraccountd)"
    echo "group=$(getent group useraccountd)"
    echo "shadow=$(getent shadow useraccountd | cut -d: -f1,2)"
    echo "uid_min=$(awk '$1 == "UID_MIN" {print $2}' /etc/login.defs)"

    if [[ $scenario == adduser ]]; then
        env -i PATH="$path" /bin/sh "$control/postinst" bogus 2>/dev/null
        echo "postinst_bogus=$?"
        for script in prerm postrm; do
            for argument in remove upgrade bogus; do
                env -i PATH="$path" /bin/sh "$control/$script" "$argument" 2>/dev/null
                echo "${script}_$argument=$?"
            done
        done
        mkdir -p /var/log/useraccountd
        echo x >/var/log/useraccountd/useraccountd.log
        env -i PATH="$path" /bin/sh "$control/postrm" remove
        echo "logs_after_remove=$(ls /var/log/useraccountd)"
        env -i PATH="$path" /bin/sh "$control/postrm" purge
        echo "postrm_purge=$?"
        echo "logs_after_purge=$(ls -d /var/log/useraccountd 2>/dev/null)"
        echo "user_after_purge=$(getent passwd useraccountd | cut -d: -f1)"
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
require_tool cpack
require_tool dpkg-deb
make_scratch

if ! cpack -G DEB --config "$binary_dir/CPackConfig.cmake" -B "$scratch/pkg" >"$scratch/cpack.log" 2>&1; then
    cat "$scratch/cpack.log" >&2
    fail "cpack -G DEB"
    finish
fi
debs=("$scratch"/pkg/*.deb)
expect_eq "cpack builds one package" 1 "${#debs[@]}"
deb=${debs[0]}
expect_eq "package file name" "useraccountd_1.0.0_$(dpkg --print-architecture).deb" "${deb##*/}"

# --- control fields ---
field() {
    dpkg-deb -f "$deb" "$1"
}
expect_eq "Package" useraccountd "$(field Package)"
expect_eq "Architecture" "$(dpkg --print-architecture)" "$(field Architecture)"
depends=$(field Depends)
for package in sudo bash passwd libc6 libstdc++6; do
    expect_contains "Depends names $package" "$package" "$depends"
done

# --- data: tree and modes ---
# "MODE OWNER PATH" for every file and link, directories apart.
listing=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $1, $2, $6}' | sort -k3)
expected_listing=$(sort -k3 <<'EOF'
-rw-r--r-- root/root ./etc/logrotate.d/useraccountd
-r--r----- root/root ./etc/sudoers.d/useraccountd
-rw-r--r-- root/root ./etc/useraccountd.conf
-rw-r--r-- root/root ./quex/etc/useraccount/useraccountkey.json
-rwxr-xr-x root/root ./quex/sbin/useraccount.sh
-rwxr-xr-x root/root ./usr/bin/useraccountctl
-rw-r--r-- root/root ./usr/lib/systemd/system/useraccountd.service
-rwxr-xr-x root/root ./usr/sbin/useraccountd
-rw-r--r-- root/root ./usr/share/man/man1/useraccountctl.1
-rw-r--r-- root/root ./usr/share/man/man5/useraccountd.conf.5
-rw-r--r-- root/root ./usr/share/man/man8/useraccountd.8
EOF
)
expect_eq "package files and modes" "$expected_listing" "$listing"
bad_dirs=$(dpkg-deb -c "$deb" | awk '$1 ~ /^d/ && ($1 != "drwxr-xr-x" || $2 != "root/root")')
expect_eq "package directories are root's, 755" "" "$bad_dirs"

data=$scratch/data
dpkg-deb -x "$deb" "$data"
for pair in quex/sbin/useraccount.sh:dist/useraccount.sh \
    quex/etc/useraccount/useraccountkey.json:dist/useraccountkey.json \
    etc/sudoers.d/useraccountd:dist/sudoers.d/useraccountd \
    etc/useraccountd.conf:dist/useraccountd.conf \
    etc/logrotate.d/useraccountd:dist/useraccountd.logrotate; do
    check "packaged ${pair%%:*} is ${pair#*:}" cmp -s "$data/${pair%%:*}" "$source_dir/${pair#*:}"
done
exec_start=$(sed -n 's/^ExecStart=@\([^ ]*\) .* -c \([^ ]*\) .*/\1 \2/p' \
    "$data/usr/lib/systemd/system/useraccountd.service")
expect_eq "unit starts the packaged daemon with the packaged configuration" \
    "/usr/sbin/useraccountd /etc/useraccountd.conf" "$exec_start"

# --- control archive ---
control_listing=$(dpkg-deb --ctrl-tarfile "$deb" | tar -tvf - | awk '{print $1, $6}' | sort -k2)
for script in postinst prerm postrm; do
    expect_contains "$script is in the package, executable" "-rwxr-xr-x ./$script" "$control_listing"
done
control=$scratch/control
dpkg-deb -e "$deb" "$control"
expected_conffiles='/etc/logrotate.d/useraccountd
/etc/sudoers.d/useraccountd
/etc/useraccountd.conf
/quex/etc/useraccount/useraccountkey.json
/quex/sbin/useraccount.sh'
expect_eq "conffiles keep the administrator's script, key, config and rules" \
    "$expected_conffiles" "$(sort "$control/conffiles")"
while read -r conffile; do
    check "conffile $conffile is in the package" test -f "$data$conffile"
done <"$control/conffiles"

# --- maintainer scripts, for real, in a throw-away /etc ---
require_private_mounts
host_had_user=$(grep -c '^useraccountd:' /etc/passwd)
declare -A result
run_scenario() {
    local scenario=$1 line
    mkdir "$scratch/layer-$scenario"
    result=()
    while IFS= read -r line; do
        result[${line%%=*}]=${line#*=}
    done < <(unshare --mount bash "$here/package_test.sh" --in-namespace \
        "$control" "$scenario" "$scratch/layer-$scenario" 2>"$scratch/$scenario.err")
    if [[ -s $scratch/$scenario.err ]]; then
        fail "[$scenario] maintainer scripts wrote to stderr: $(cat "$scratch/$scenario.err")"
    fi
}

# check_user SCENARIO SHELL: one system user with its own group after two
# runs of postinst.
check_user() {
    local scenario=$1 shell=$2
    local name uid gid home user_shell group_gid
    expect_eq "[$scenario] first postinst" 0 "${result[first]:-}"
    expect_eq "[$scenario] second postinst" 0 "${result[second]:-}"
    expect_eq "[$scenario] one passwd entry" 1 "${result[passwd_lines]:-}"
    expect_eq "[$scenario] one group entry" 1 "${result[group_lines]:-}"
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
}

run_scenario adduser
check_user adduser /usr/sbin/nologin
expect_eq "postinst refuses an unknown action" 1 "${result[postinst_bogus]:-}"
for script in prerm postrm; do
    expect_eq "$script remove" 0 "${result[${script}_remove]:-}"
    expect_eq "$script upgrade" 0 "${result[${script}_upgrade]:-}"
    expect_eq "$script refuses an unknown action" 1 "${result[${script}_bogus]:-}"
done
expect_eq "remove keeps the logs" useraccountd.log "${result[logs_after_remove]:-}"
expect_eq "purge" 0 "${result[postrm_purge]:-}"
expect_eq "purge removes the logs" "" "${result[logs_after_purge]-missing}"
expect_eq "purge keeps the user" useraccountd "${result[user_after_purge]:-}"

run_scenario useradd
check_user useradd /usr/sbin/nologin
run_scenario useradd-with-group
check_user useradd-with-group /usr/sbin/nologin
# A user the administrator made is left as it is.
run_scenario existing-user
check_user existing-user /bin/false

expect_eq "the host's user database is unchanged" "$host_had_user" \
    "$(grep -c '^useraccountd:' /etc/passwd)"

finish
