#!/bin/bash
# Nothing for shellcheck in the shipped scripts (the account script as
# bash, with the directory backend that it sources, the maintainer scripts as the POSIX sh that dpkg runs them with) nor
# in these tests, the autopkgtest smoke test and the container test.
# Usage: shellcheck_test.sh SOURCE_DIR
set -uo pipefail
here=$(dirname -- "$0")
# shellcheck source=lib.sh
. "$here/lib.sh"

source_dir=$1
require_tool shellcheck

check "account script" shellcheck --shell=bash --external-sources "$source_dir/dist/useraccount.sh"
check "directory backend" shellcheck "$source_dir/dist/directory.sh"
for step in "$source_dir"/dist/libexec/*; do
    check "${step##*/}" shellcheck --shell=sh "$step"
done
for script in postinst postrm; do
    check "$script" shellcheck --shell=sh "$source_dir/debian/useraccountd.$script"
done
check "autopkgtest smoke test" shellcheck --shell=bash "$source_dir/debian/tests/smoke"
for test_script in "$source_dir"/tests/dist/*.sh "$source_dir"/tests/system/*.sh; do
    check "${test_script##*/}" shellcheck --shell=bash --external-sources \
        --source-path="$source_dir/tests/dist" "$test_script"
done

finish
