#!/bin/bash
# shellcheck disable=SC2317 # helpers run through check
# The account script's directory backend against a real slapd, which this
# test starts inside the sandbox of tests/sandbox/run-in-sandbox: Debian's
# own initial configuration of slapd, its database and its ldapi socket in
# the sandbox's tmpfs, then the setup that useraccount.conf(5) gives (what
# root and the other hosts' brokers may write, the subtree, the counter).
# The script runs with the real ldap tools, as root would run it, and once
# through the real daemon and sudo; /etc is an overlay of the host's, /home
# a directory of the sandbox, and the system log a socket of the test's.
# Usage: directory_test.sh SOURCE_DIR BINARY_DIR
set -uo pipefail
here=$(cd -- "$(dirname -- "$0")" && pwd)
# shellcheck source=lib.sh
. "$here/lib.sh"

source_dir=$(realpath -- "$1")
binary_dir=$(realpath -- "$2")
if [[ -z ${USERACCOUNT_SANDBOX:-} ]]; then
    exec "$source_dir/tests/sandbox/run-in-sandbox" --ro "$source_dir" --ro "$binary_dir" -- \
        bash "$here/directory_test.sh" "$source_dir" "$binary_dir"
fi
for tool in slapd slapadd slappasswd ldapsearch ldapmodify ldappasswd ldapwhoami openssl python3; do
    require_tool "$tool"
done

# ---- the sandbox: /etc to write in, a home base, the system log
mkdir -p /tmp/etc-upper /tmp/etc-work /home /var/lib/ldap /run/slapd
ln -s /run /var/run
if ! mount -t overlay overlay -o lowerdir=/etc,upperdir=/tmp/etc-upper,workdir=/tmp/etc-work /etc; then
    skip_or_fail "no overlay on /etc in the sandbox"
fi
install -D -m 0644 "$source_dir/dist/reserved-names" /etc/useraccountd/reserved-names
install -m 0644 "$source_dir/dist/directory.sh" /etc/useraccountd/directory.sh
install -D -m 0755 "$source_dir/dist/useraccount.sh" /quex/sbin/useraccount.sh
: >/etc/subuid
: >/etc/subgid
echo 'localbob:x:1500:1500::/home/localbob:/bin/bash' >>/etc/passwd
python3 -c '
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind("/dev/log")
out = open(sys.argv[1], "ab", 0)
while True:
    out.write(s.recv(65536) + b"\n")' /tmp/syslog &
for _ in $(seq 50); do
    [[ -S /dev/log ]] && break
    sleep 0.1
done

suffix=dc=example,dc=org
subtree=ou=useraccountd,$suffix
people=ou=people,$subtree
groups=ou=groups,$subtree
broker_dn=cn=useraccountd,$suffix
printf '%s' admin-secret >/tmp/admin-secret
printf '%s' broker-secret >/tmp/broker-secret
chmod 0600 /tmp/admin-secret /tmp/broker-secret

as_root() {
    "$@" -Q -Y EXTERNAL -H ldapi:///
}
as_admin() {
    "$@" -x -D "cn=admin,$suffix" -y /tmp/admin-secret -H ldapi:///
}

# ---- slapd as Debian installs it, with a certificate for 127.0.0.1
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=test-ca -keyout /tmp/ca.key -out /tmp/ca.pem \
    -addext basicConstraints=critical,CA:true 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout /tmp/server.key -out /tmp/server.csr 2>/dev/null
openssl x509 -req -in /tmp/server.csr -CA /tmp/ca.pem -CAkey /tmp/ca.key -CAcreateserial -days 2 \
    -extfile <(printf 'subjectAltName=IP:127.0.0.1\n') -out /tmp/server.pem 2>/dev/null
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=other-ca -keyout /tmp/other.key -out /tmp/other-ca.pem \
    2>/dev/null
admin_hash=$(slappasswd -T /tmp/admin-secret)
mkdir /tmp/slapd.d
sed -e "s/@SUFFIX@/$suffix/" -e "s|@PASSWORD@|$admin_hash|" \
    -e 's|^olcToolThreads: 1$|&\nolcTLSCACertificateFile: /tmp/ca.pem\nolcTLSCertificateFile: /tmp/server.pem\nolcTLSCertificateKeyFile: /tmp/server.key|' \
    /usr/share/slapd/slapd.init.ldif >/tmp/config.ldif
printf 'dn: %s\nobjectClass: dcObject\nobjectClass: organization\no: example\ndc: example\n' "$suffix" >/tmp/suffix.ldif
if ! slapadd -q -n 0 -F /tmp/slapd.d -l /tmp/config.ldif || ! slapadd -q -n 1 -F /tmp/slapd.d -l /tmp/suffix.ldif; then
    fail "slapadd of Debian's initial configuration"
    finish
fi
start_slapd() {
    slapd -F /tmp/slapd.d -h "ldapi:/// ldap://127.0.0.1:3890/ ldaps://127.0.0.1:6360/"
    for _ in $(seq 50); do
        as_root ldapsearch -LLL -b "" -s base 1.1 >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    return 1
}
stop_slapd() {
    local pid
    pid=$(cat /run/slapd/slapd.pid)
    kill "$pid"
    while kill -0 "$pid" 2>/dev/null; do sleep 0.05; done
}
if ! start_slapd; then
    fail "slapd starts"
    finish
fi

# ---- the directory's setup, as the page gives it
directory_access_ldif "$suffix" | as_root ldapmodify >/dev/null || fail "root grants the write on the subtree"
directory_subtree_ldif "$suffix" 70000 | as_admin ldapadd >/dev/null || fail "the admin adds the subtree and the counter"
as_admin ldapadd >/dev/null <<LDIF || fail "the admin adds the brokers' DN"
dn: $broker_dn
objectClass: organizationalRole
objectClass: simpleSecurityObject
cn: useraccountd
userPassword: $(slappasswd -T /tmp/broker-secret)
LDIF
# Entries that are not the script's: carol and devs elsewhere, carol with
# an ID of the range; intruder in the subtree with root's IDs; zoe a
# non-posix entry where an account of that name would go; localbob, whose
# name is a local user's here.
as_admin ldapadd >/dev/null <<LDIF || fail "the admin adds entries of others"
dn: ou=staff,$suffix
objectClass: organizationalUnit
ou: staff

dn: uid=carol,ou=staff,$suffix
objectClass: account
objectClass: posixAccount
uid: carol
cn: carol
uidNumber: 70002
gidNumber: 70002
homeDirectory: /home/carol

dn: cn=devs,ou=staff,$suffix
objectClass: posixGroup
cn: devs
gidNumber: 5000

dn: uid=intruder,$people
objectClass: account
objectClass: posixAccount
uid: intruder
cn: intruder
uidNumber: 0
gidNumber: 0
homeDirectory: /root

dn: uid=zoe,$people
objectClass: account
uid: zoe

dn: uid=localbob,$people
objectClass: account
objectClass: posixAccount
uid: localbob
cn: localbob
uidNumber: 70200
gidNumber: 70200
homeDirectory: /home/localbob
LDIF

# ---- helpers
conf=/etc/useraccountd/useraccount.conf
write_conf() {
    rm -f -- "$conf"
    printf '%s\n' "backend = directory" "base = $subtree" "id_range = 70000-99999" "$@" >"$conf"
}
fails() {
    ! "$@"
}
status=0
stderr=
run() {
    stderr=$(bash /quex/sbin/useraccount.sh "$@" 2>&1 >/dev/null)
    status=$?
}
# The subtree and the others' entries as root sees them.
directory_dump() {
    as_root ldapsearch -LLL -o ldif_wrap=no -b "$suffix" 2>&1 | sort
}
# attribute DN ATTRIBUTE: its values, one a line.
attribute() {
    as_root ldapsearch -LLL -o ldif_wrap=no -b "$1" -s base "(objectClass=*)" "$2" 2>/dev/null |
        sed -n "s/^$2: //p"
}
exists() {
    as_root ldapsearch -LLL -b "$1" -s base 1.1 >/dev/null 2>&1
}
binds_as() {
    ldapwhoami -x -H ldapi:/// -D "uid=$1,$people" -w "$2" >/dev/null 2>&1
}
syslog() {
    cat /tmp/syslog
}
write_conf "homes = create"

# ---- add, and the numbers of adds at once
run add alice
expect_eq "add alice: status" "0 " "$status $stderr"
expect_eq "alice gets the first ID" "70000 70000" \
    "$(attribute "uid=alice,$people" uidNumber) $(attribute "uid=alice,$people" gidNumber)"
expect_eq "alice's own group has it" 70000 "$(attribute "cn=alice,$groups" gidNumber)"
expect_eq "the home is made on this host, from the skeleton" "70000:70000 755 70000" \
    "$(stat -c '%u:%g %a' /home/alice) $(stat -c %u /home/alice/.profile)"
expect_contains "add is logged" "added user alice to the directory (uid 70000)" "$(syslog)"

write_conf "homes = pam_mkhomedir"
pids=()
for i in 1 2 3 4; do
    bash /quex/sbin/useraccount.sh add "p$i" >"/tmp/add-p$i" 2>&1 &
    pids+=($!)
done
statuses=
for pid in "${pids[@]}"; do
    wait "$pid"
    statuses+="$?"
done
expect_eq "four adds at once succeed" 0000 "$statuses"
uids=$(for i in 1 2 3 4; do attribute "uid=p$i,$people" uidNumber; done | sort -n | xargs)
expect_eq "four adds at once: four IDs, none twice, carol's skipped" "70001 70003 70004 70005" "$uids"
expect_eq "the counter is past them" 70006 "$(attribute "cn=next-id,$subtree" uidNumber)"
expect_contains "the ID in use is logged as skipped" "skipped ID 70002: uid=carol,ou=staff,$suffix has it" "$(syslog)"
check "pam_mkhomedir: no home is made" test ! -e /home/p1

# ---- refused, with nothing changed
mkdir /home/erin
declare -A refused=(
    ["add p1"]="the directory holds the name already: p1"
    ["add carol"]="the directory holds the name already: carol (uid=carol,ou=staff,$suffix)"
    ["add devs"]="the directory holds the name already: devs"
    ["add localbob"]="user already exists: localbob"
    ["add wheel"]="reserved name: wheel"
    ["add erin"]="home directory already exists"
    ["lock intruder"]="not an account of the directory's range: intruder (uid 0, gid 0)"
    ["lock carol"]="no such user: carol"
    ["lock root"]="not a managed account: root (not in $people)"
    ["delete localbob"]="localbob is user 1500 on this host, not the directory's 70200"
    ["delete ghost"]="no such user: ghost"
)
before=$(directory_dump)
for command in "${!refused[@]}"; do
    read -r -a words <<<"$command"
    run "${words[@]}"
    expect_eq "'$command' is refused" 2 "$status"
    expect_contains "'$command' says why" "${refused[$command]}" "$stderr"
done
expect_eq "refusals change nothing in the directory" "$before" "$(directory_dump)"

# ---- lock and unlock
as_admin ldappasswd -s alice-secret "uid=alice,$people" || fail "the admin sets alice's password"
check "alice binds with her password" binds_as alice alice-secret
run lock alice
expect_eq "lock alice: status" "0 " "$status $stderr"
expect_eq "lock: the expiry of 2 January 1970" 1 "$(attribute "uid=alice,$people" shadowExpire)"
check "lock: the password can bind no more" fails binds_as alice alice-secret
run lock alice
expect_eq "lock of a locked account: success" 0 "$status"
expect_contains "... saying so" "user alice was already locked: nothing changed" "$(syslog)"
run unlock alice
expect_eq "unlock alice: status" "0 " "$status $stderr"
expect_eq "unlock: no expiry" "" "$(attribute "uid=alice,$people" shadowExpire)"
check "unlock: the password binds again" binds_as alice alice-secret
run unlock alice
expect_contains "unlock of an unlocked account says so" "user alice was already unlocked" "$(syslog)"
run lock p1
expect_eq "lock of an account without a password: expired" "0 1" "$status $(attribute "uid=p1,$people" shadowExpire)"
printf 'dn: uid=p2,%s\nchangetype: modify\nreplace: userPassword\nuserPassword: {CRYPT}!\n' "$people" |
    as_root ldapmodify >/dev/null
run unlock p2
expect_eq "unlock that would leave an empty password fails" 1 "$status"
expect_contains "... saying why" "its password would be empty" "$stderr"
printf 'dn: uid=p3,%s\nchangetype: modify\nreplace: userPassword\nuserPassword: plain\n' "$people" |
    as_root ldapmodify >/dev/null
before=$(directory_dump)
run lock p3
expect_eq "lock of a password in clear text is refused" 2 "$status"
expect_eq "... and changes nothing" "$before" "$(directory_dump)"

# ---- delete: the processes here, the account and its group
setsid -f setpriv --reuid 70000 --regid 70000 --clear-groups sleep 300
for _ in $(seq 50); do
    pgrep -u 70000 >/dev/null && break
    sleep 0.1
done
run delete alice
expect_eq "delete alice: status" "0 " "$status $stderr"
expect_eq "alice's process is ended" "" "$(pgrep -u 70000)"
check "the account is gone" fails exists "uid=alice,$people"
check "its group is gone" fails exists "cn=alice,$groups"
expect_eq "its home is kept" 70000 "$(stat -c %u /home/alice)"
write_conf "homes = create"
rm -r /home/alice
run add alice
expect_eq "added again, alice gets a new ID" "0 70006" "$status $(attribute "uid=alice,$people" uidNumber)"
printf 'dn: cn=zed,%s\nobjectClass: posixGroup\ncn: zed\ngidNumber: 70100\n' "$groups" | as_admin ldapadd >/dev/null
run delete zed
expect_eq "delete removes a group that a failed delete left" 0 "$status"
check "... the group is gone" fails exists "cn=zed,$groups"

# ---- nothing left half done
run add zoe
expect_eq "an account that cannot be added: the directory's status" 68 "$status"
check "... and its group is undone" fails exists "cn=zoe,$groups"
check "... the entry in the way is left" exists "uid=zoe,$people"
chmod 0777 /home
run add hana
chmod 0755 /home
expect_eq "a home that cannot be made fails the add" 1 "$status"
check "... and both entries are undone" fails exists "uid=hana,$people"
check "... the group too" fails exists "cn=hana,$groups"
check "... no home is left" test ! -e /home/hana

# ---- over the network: TLS checked against the CA file, a bind secret
tls_conf=("ca_file = /tmp/ca.pem" "bind_dn = $broker_dn" "bind_secret_file = /tmp/broker-secret")
write_conf "uri = ldaps://127.0.0.1:6360" "${tls_conf[@]}"
run lock p4
expect_eq "ldaps:// with the broker's DN" "0 1" "$status $(attribute "uid=p4,$people" shadowExpire)"
write_conf "uri = ldap://127.0.0.1:3890" "starttls = yes" "${tls_conf[@]}"
run unlock p4
expect_eq "ldap:// with StartTLS" "0 " "$status $(attribute "uid=p4,$people" shadowExpire)"
write_conf "uri = ldaps://127.0.0.1:6360" "ca_file = /tmp/other-ca.pem" "${tls_conf[@]:1}"
run lock p4
expect_eq "a certificate that the CA file does not sign: unreachable" 69 "$status"
expect_contains "... saying so" "cannot reach the directory ldaps://127.0.0.1:6360" "$stderr"
expect_eq "... and nothing changed" "" "$(attribute "uid=p4,$people" shadowExpire)"
check "the secret is in no log entry" fails grep -q broker-secret /tmp/syslog

# ---- a configuration or backend that others could write, or that is wrong
bad_cases=(
    "configuration writable by others|chmod 0666 $conf|is not a file of root's"
    "backend code writable by its group|chmod 0664 /etc/useraccountd/directory.sh|directory backend"
    "an unknown setting|echo 'uri_typo = ldapi:///' >>$conf|unknown setting uri_typo"
    "a setting twice|echo 'id_range = 70000-99999' >>$conf|set twice"
    "an unknown backend|sed -i 's/^backend = directory/backend = nis/' $conf|neither local nor directory"
    "a range within the local one|sed -i 's/^id_range = .*/id_range = 50000-70000/' $conf|is not above this host's UID_MAX"
    "a range over a subordinate one|echo 'bob:90000:65536' >/etc/subuid|meets a subordinate range of /etc/subuid"
    "ldap:// without StartTLS|echo 'uri = ldap://127.0.0.1:3890' >>$conf|neither ldapi://"
    "two URIs|echo 'uri = ldaps://127.0.0.1:6360 ldap://127.0.0.1:3890' >>$conf|not one ldapi://"
    "a remote one without CA file|echo 'uri = ldaps://127.0.0.1:6360' >>$conf|no ca_file"
    "a secret others may read|printf '%s\n' 'bind_dn = $broker_dn' 'bind_secret_file = /tmp/broker-secret' >>$conf; chmod 0644 /tmp/broker-secret|only root may read"
    "a secret that ends in a newline|printf '%s\n' 'bind_dn = $broker_dn' 'bind_secret_file = /tmp/broker-secret' >>$conf; echo >>/tmp/broker-secret|ends in a newline"
)
before=$(directory_dump)
for bad in "${bad_cases[@]}"; do
    IFS='|' read -r what breakage reason <<<"$bad"
    write_conf
    cp -p /tmp/broker-secret /tmp/broker-secret.good
    bash -c "$breakage"
    run add "q${#what}"
    expect_eq "[$what] add is refused" 2 "$status"
    expect_contains "[$what] says why" "$reason" "$stderr"
    chmod 0644 /etc/useraccountd/directory.sh
    : >/etc/subuid
    mv -f /tmp/broker-secret.good /tmp/broker-secret
done
expect_eq "bad configurations change nothing in the directory" "$before" "$(directory_dump)"

# ---- a stopped directory, through the daemon and sudo
write_conf
stop_slapd
run add bob
expect_eq "a stopped directory: status 69" 69 "$status"
expect_contains "... with the reason" "failed to read the naming contexts of the directory: cannot reach the directory ldapi:///: ldap_sasl_interactive_bind: Can't contact LDAP server (-1) (status 69)" "$stderr"
install -D -m 0644 "$source_dir/dist/useraccountkey.json" /quex/etc/useraccount/useraccountkey.json
echo 0 >/tmp/useraccountd.conf
"$binary_dir/useraccountd" -c /tmp/useraccountd.conf -r /tmp/outcomes.log >/tmp/daemon.out 2>&1 &
daemon=$!
for _ in $(seq 50); do
    [[ -e /tmp/outcomes.log ]] && break
    sleep 0.1
done
line=$("$binary_dir/useraccountctl" send --wait=60 --record /tmp/outcomes.log add bob)
expect_eq "the sender learns that it failed" 3 "$?"
expect_contains "the record says status 69" $'\tfailed\t69\t' "$line"
expect_contains "the log says why" "failed to read the naming contexts of the directory: cannot reach the directory ldapi:///" \
    "$(grep ' useraccount: ' /tmp/syslog)"
kill "$daemon"
wait "$daemon"
start_slapd || fail "slapd starts again"
run add bob
expect_eq "once the directory is back, add works" 0 "$status"

finish
