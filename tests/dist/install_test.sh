#!/bin/bash
# cmake --install into a DESTDIR, for the Debian prefix /usr and for a prefix
# of its own: exactly the expected files, each with its mode, the fixed /quex
# paths whatever the prefix, a unit whose ExecStart and -c name files of the
# same tree, and nothing installed outside DESTDIR.
# Usage: install_test.sh SOURCE_DIR BINARY_DIR
set -uo pipefail
here=$(dirname -- "$0")
# shellcheck source=lib.sh
. "$here/lib.sh"

source_dir=$1
binary_dir=$2
make_scratch

cache_value() {
    sed -n "s/^$1:[A-Z]*=//p" "$binary_dir/CMakeCache.txt"
}
sbindir=$(cache_value CMAKE_INSTALL_SBINDIR)
bindir=$(cache_value CMAKE_INSTALL_BINDIR)
libexecdir=$(cache_value CMAKE_INSTALL_LIBEXECDIR)
# GNUInstallDirs caches an empty MANDIR that stands for DATAROOTDIR/man.
mandir=$(cache_value CMAKE_INSTALL_MANDIR)
mandir=${mandir:-share/man}
docdir=$(cache_value CMAKE_INSTALL_DOCDIR)
docdir=${docdir:-share/doc/useraccountd}

# check_tree PREFIX ETC: installs with PREFIX and checks the tree, in which
# the files for etc must land in ETC.
check_tree() {
    local prefix=$1 etc=$2
    local root
    root=$scratch/root$(tr / _ <<<"$prefix")
    if ! DESTDIR=$root cmake --install "$binary_dir" --prefix "$prefix" >"$scratch/install.log" 2>&1; then
        cat "$scratch/install.log" >&2
        fail "cmake --install --prefix $prefix"
        return
    fi

    # Path, mode, and the source file it must equal (- for the binaries and
    # the unit, which are built or rewritten).
    local unit=$prefix/lib/systemd/system/useraccountd.service
    local expected="$prefix/$sbindir/useraccountd 755 -
$prefix/$bindir/useraccountctl 755 -
$prefix/$libexecdir/useraccountd/check-account-command 755 dist/libexec/check-account-command
$prefix/$libexecdir/useraccountd/wait-for-commands 755 dist/libexec/wait-for-commands
$prefix/$libexecdir/useraccountd/prepare-record 755 dist/libexec/prepare-record
$prefix/$mandir/man1/useraccountctl.1 644 man/useraccountctl.1
$prefix/$mandir/man5/useraccountd.conf.5 644 man/useraccountd.conf.5
$prefix/$mandir/man5/useraccountd-outcomes.5 644 man/useraccountd-outcomes.5
$prefix/$mandir/man5/useraccountd-reserved-names.5 644 man/useraccountd-reserved-names.5
$prefix/$mandir/man5/useraccount.conf.5 644 man/useraccount.conf.5
$prefix/$mandir/man7/useraccountd-senders.7 644 man/useraccountd-senders.7
$prefix/$mandir/man8/useraccountd.8 644 man/useraccountd.8
$prefix/$mandir/man8/useraccount.sh.8 644 man/useraccount.sh.8
$prefix/$docdir/examples/send-command.c 644 dist/examples/send-command.c
$prefix/$docdir/examples/send-command.py 644 dist/examples/send-command.py
$prefix/$docdir/examples/send-command.pl 644 dist/examples/send-command.pl
$prefix/$docdir/examples/send-command.php 644 dist/examples/send-command.php
/quex/sbin/useraccount.sh 755 dist/useraccount.sh
/quex/etc/useraccount/useraccountkey.json 644 dist/useraccountkey.json
/etc/useraccountd/reserved-names 644 dist/reserved-names
/etc/useraccountd/useraccount.conf 644 dist/useraccount.conf
/etc/useraccountd/directory.sh 644 dist/directory.sh
$unit 644 -
$etc/useraccountd.conf 644 dist/useraccountd.conf
$etc/sudoers.d/useraccountd 440 dist/sudoers.d/useraccountd"

    local path mode source
    while read -r path mode source; do
        if [[ ! -f $root$path ]]; then
            fail "[$prefix] $path is not installed"
            continue
        fi
        expect_eq "[$prefix] mode of $path" "$mode" "$(mode_of "$root$path")"
        if [[ $(id -u) == 0 ]]; then
            expect_eq "[$prefix] $path belongs to root" "root:root" "$(stat -c %U:%G "$root$path")"
        fi
        if [[ $source != - ]]; then
            check "[$prefix] $path equals $source" cmp -s "$source_dir/$source" "$root$path"
        fi
    done <<<"$expected"
    expect_eq "[$prefix] nothing else is installed" \
        "$(cut -d' ' -f1 <<<"$expected" | sort)" \
        "$(cd "$root" && find . -type f | sed 's/^\.//' | sort)"
    expect_eq "[$prefix] /quex directories are 755" "755 755 755 755" \
        "$(stat -c %a "$root/quex" "$root/quex/sbin" "$root/quex/etc" "$root/quex/etc/useraccount" | xargs)"

    # The manifest names every file installed, as seen inside DESTDIR: each
    # must be in the tree.
    expect_eq "[$prefix] manifest names the files of the tree" \
        "$(cut -d' ' -f1 <<<"$expected" | sort)" \
        "$(sort "$binary_dir/install_manifest.txt")"

    # The unit starts the binary of this tree with the configuration of this
    # tree.
    local exec_start
    exec_start=$(sed -n 's/^ExecStart=//p' "$root$unit")
    # shellcheck disable=SC2016 # systemd's to expand
    expect_eq "[$prefix] unit runs this tree's daemon" \
        "@$prefix/$sbindir/useraccountd useraccountd -c $etc/useraccountd.conf -r /var/log/useraccountd/outcomes.log"' -s ${USERACCOUNTD_RECORD_SIZE}' \
        "$exec_start"
    expect_eq "[$prefix] unit runs this tree's steps before the start" \
        "$prefix/$libexecdir/useraccountd/check-account-command $prefix/$libexecdir/useraccountd/wait-for-commands $prefix/$libexecdir/useraccountd/prepare-record" \
        "$(grep -o "$prefix/$libexecdir/useraccountd/[a-z-]*" "$root$unit" | xargs)"

    check "[$prefix] installed daemon runs" "$root$prefix/$sbindir/useraccountd" --help
    check "[$prefix] installed tool runs" "$root$prefix/$bindir/useraccountctl" --help
    check "[$prefix] the daemon accepts the example configuration" \
        "$root$prefix/$sbindir/useraccountd" -t "$root$etc/useraccountd.conf"
    check "[$prefix] installed script parses" bash -n "$root/quex/sbin/useraccount.sh"
} >/dev/null

check_tree /usr /etc
check_tree /opt/useraccountd /opt/useraccountd/etc

finish
