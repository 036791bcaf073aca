#!/bin/bash
# The sudoers drop-in parses, and grants the daemon's user exactly the account
# script through bash, as root, without a password: asked of the real sudo
# (sudo -l -U), in a private mount namespace where /etc/sudoers holds only the
# drop-in and /etc/passwd knows the user. The host's files are never changed.
# Usage: sudoers_test.sh SOURCE_DIR
set -uo pipefail
here=$(dirname -- "$0")
# shellcheck source=lib.sh
. "$here/lib.sh"

source_dir=$1
drop_in=$source_dir/dist/sudoers.d/useraccountd
require_tool visudo
make_scratch

# sudo insists on these modes, and so does visudo.
install -m 0440 "$drop_in" "$scratch/drop-in"
check "visudo accepts the drop-in" visudo -cf "$scratch/drop-in"

require_tool sudo
require_private_mounts

# Debian's defaults that matter for matching, then the drop-in alone: no
# other rule on the host can grant or hide anything here.
{
    printf 'Defaults env_reset\n'
    printf 'Defaults secure_path="/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"\n'
    printf 'Defaults !syslog\n'
    cat "$drop_in"
} >"$scratch/sudoers"
chmod 0440 "$scratch/sudoers"
check "visudo accepts the combined policy" visudo -cf "$scratch/sudoers"
cp /etc/passwd "$scratch/passwd"
cp /etc/group "$scratch/group"
if ! grep -q '^useraccountd:' "$scratch/passwd"; then
    echo 'useraccountd:x:64990:64990::/nonexistent:/usr/sbin/nologin' >>"$scratch/passwd"
    echo 'useraccountd:x:64990:' >>"$scratch/group"
fi

# Each line: expected result (allow/deny), then the sudo -l arguments.
cat >"$scratch/cases" <<'EOF'
allow -U useraccountd bash /quex/sbin/useraccount.sh add alice
allow -U useraccountd bash /quex/sbin/useraccount.sh
allow -U useraccountd bash /quex/sbin/useraccount.sh delete bob extra words
allow -U useraccountd /usr/bin/bash /quex/sbin/useraccount.sh lock bob
allow -U useraccountd /bin/bash /quex/sbin/useraccount.sh unlock bob
allow -U useraccountd -u root bash /quex/sbin/useraccount.sh add alice
deny -U useraccountd -u nobody bash /quex/sbin/useraccount.sh add alice
deny -U useraccountd bash -c id
deny -U useraccountd bash -x /quex/sbin/useraccount.sh add alice
deny -U useraccountd bash /quex/sbin/useraccount.shx
deny -U useraccountd bash /tmp/other.sh /quex/sbin/useraccount.sh
deny -U useraccountd sh /quex/sbin/useraccount.sh add alice
deny -U useraccountd /quex/sbin/useraccount.sh add alice
deny -U useraccountd /usr/bin/id
deny -U nobody bash /quex/sbin/useraccount.sh add alice
EOF

cat >"$scratch/probe.sh" <<'EOF'
set -u
scratch=$1
mount --bind "$scratch/sudoers" /etc/sudoers
mount --bind "$scratch/passwd" /etc/passwd
mount --bind "$scratch/group" /etc/group
while read -r expected args; do
    # shellcheck disable=SC2086
    if sudo -n -l $args >/dev/null 2>&1; then
        echo "allow $args"
    else
        echo "deny $args"
    fi
done <"$scratch/cases"
echo "listing:"
sudo -n -l -U useraccountd
EOF
output=$(unshare --mount bash "$scratch/probe.sh" "$scratch" 2>&1)
while read -r expected args; do
    if [[ $expected == allow ]]; then
        expect_contains "sudo allows: $args" "allow $args" "$output"
    else
        expect_contains "sudo denies: $args" "deny $args" "$output"
    fi
done <"$scratch/cases"
listing=${output#*listing:}
expect_contains "the grant is as root and needs no password" "(root) NOPASSWD:" "$listing"
# The granted commands, unwrapped: exactly the script through bash, with and
# without arguments, by either path of bash.
granted=$(tr -s ' \n' ' ' <<<"${listing#*NOPASSWD: }" | sed 's/, /\n/g; s/ *$//')
expected_grants='/usr/bin/bash /quex/sbin/useraccount.sh
/usr/bin/bash /quex/sbin/useraccount.sh *
/bin/bash /quex/sbin/useraccount.sh
/bin/bash /quex/sbin/useraccount.sh *'
expect_eq "granted commands" "$expected_grants" "$granted"

finish
