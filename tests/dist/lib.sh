# Helpers shared by the install and packaging tests. Each test script sources
# this file, calls check/expect_* as it goes, and ends with finish.

failures=0
checks=0

fail() {
    printf 'FAIL: %s\n' "$*" >&2
    failures=$((failures + 1))
}

# check DESCRIPTION COMMAND...: the command must succeed.
check() {
    local what=$1
    shift
    checks=$((checks + 1))
    if ! "$@"; then
        fail "$what"
    fi
}

expect_eq() {
    local what=$1 expected=$2 actual=$3
    checks=$((checks + 1))
    if [[ $expected != "$actual" ]]; then
        fail "$what: expected [$expected], got [$actual]"
    fi
}

expect_contains() {
    local what=$1 needle=$2 haystack=$3
    checks=$((checks + 1))
    if [[ $haystack != *"$needle"* ]]; then
        fail "$what: [$needle] not found in [${haystack:0:300}]"
    fi
}

expect_not_contains() {
    local what=$1 needle=$2 haystack=$3
    checks=$((checks + 1))
    if [[ $haystack == *"$needle"* ]]; then
        fail "$what: [$needle] unexpectedly found in [$(grep -F -m3 -- "$needle" <<<"$haystack")]"
    fi
}

# Octal mode of a file, e.g. 440.
mode_of() {
    stat -c '%a' -- "$1"
}

# A missing tool skips the test on a developer's machine, but is a failure in
# CI, where .ci/run installs everything the tests need.
skip_or_fail() {
    if [[ -n ${CI:-} ]]; then
        printf 'FAIL: %s (CI must provide it)\n' "$1" >&2
        exit 1
    fi
    printf 'SKIP: %s\n' "$1"
    exit 77
}

require_tool() {
    command -v "$1" >/dev/null 2>&1 || skip_or_fail "$1 is not installed"
}

# Tests that stand in for /etc and friends run in a private mount namespace,
# which needs root.
require_private_mounts() {
    if [[ $(id -u) != 0 ]] || ! unshare --mount true 2>/dev/null; then
        skip_or_fail "no private mount namespace (needs root and unshare)"
    fi
}

# copy_source_tree SOURCE_DIR DEST: the files of the tree, build directories
# left out: what git tracks and would track, or everything but build*/ when
# this is no git work tree.
copy_source_tree() {
    if git -C "$1" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        (cd "$1" && git ls-files -z --cached --others --exclude-standard |
            tar --null --files-from=- -cf -) | tar -xf - -C "$2"
    else
        tar -C "$1" --exclude='./build*' --exclude=./.git -cf - . | tar -xf - -C "$2"
    fi
}

make_scratch() {
    scratch=$(mktemp -d "${TMPDIR:-/tmp}/useraccountd-dist.XXXXXX")
    trap 'rm -rf -- "$scratch"' EXIT
}

finish() {
    if ((failures > 0)); then
        printf '%d of %d checks failed\n' "$failures" "$checks" >&2
        exit 1
    fi
    printf 'all %d checks passed\n' "$checks"
    exit 0
}

# The setup of an LDAP directory for the account script's directory backend,
# as useraccount.conf(5) gives it, for the suffix SUFFIX of Debian's
# database olcDatabase={1}mdb. The access rule: root on the directory's host,
# and the DN of the other hosts' brokers, may write the subtree.
directory_access_ldif() {
    cat <<LDIF
dn: olcDatabase={1}mdb,cn=config
changetype: modify
add: olcAccess
olcAccess: {0}to dn.subtree="ou=useraccountd,$1"
  by dn.exact="gidNumber=0+uidNumber=0,cn=peercred,cn=external,cn=auth" write
  by dn.exact="cn=useraccountd,$1" write
  by * break
LDIF
}
# The subtree, its people and groups, and the counter at FIRST_ID.
# Usage: directory_subtree_ldif SUFFIX FIRST_ID
directory_subtree_ldif() {
    cat <<LDIF
dn: ou=useraccountd,$1
objectClass: organizationalUnit
ou: useraccountd

dn: ou=people,ou=useraccountd,$1
objectClass: organizationalUnit
ou: people

dn: ou=groups,ou=useraccountd,$1
objectClass: organizationalUnit
ou: groups

dn: cn=next-id,ou=useraccountd,$1
objectClass: device
objectClass: extensibleObject
cn: next-id
uidNumber: $2
LDIF
}
