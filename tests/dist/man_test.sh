#!/bin/bash
# The manual pages render without a single warning, with man (groff) and with
# mandoc -Tlint (its style notes aside), hold no control byte but tab and
# newline, and have not drifted from the programs: every option that a
# program's own --help lists appears in its page, and each fixed path, limit
# and rule that the code sets appears in the page that owns it.
# Usage: man_test.sh SOURCE_DIR BINARY_DIR
set -uo pipefail
here=$(dirname -- "$0")
# shellcheck source=lib.sh
. "$here/lib.sh"

source_dir=$1
binary_dir=$2
require_tool man
require_tool groff
require_tool mandoc

declare -A rendered
pages=(useraccountd.8 useraccountctl.1 useraccountd.conf.5 useraccountd-senders.7
    useraccountd-outcomes.5 useraccountd-reserved-names.5 useraccount.sh.8 useraccount.conf.5)
expect_eq "every page in man/ is tested" "$(printf '%s\n' "${pages[@]}" | sort)" \
    "$(find "$source_dir/man" -mindepth 1 -printf '%f\n' | sort)"
for page in "${pages[@]}"; do
    file=$source_dir/man/$page
    warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
        man --warnings -E UTF-8 -l "$file" 2>&1 >/dev/null)
    expect_eq "$page renders without warnings" "" "$warnings"
    expect_eq "mandoc -Tlint finds no error or warning in $page" "" \
        "$(mandoc -Tlint -W warning "$file" 2>&1)"
    # A font escape written through a tool that took "\f" for a form feed
    # renders as stray letters, and groff does not warn.
    expect_eq "$page holds no control byte" "" \
        "$(LC_ALL=C grep -n $'[\x01-\x08\x0b-\x1f\x7f]' "$file")"
    rendered[$page]=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man -E UTF-8 -l "$file" 2>/dev/null)
    for section in NAME SYNOPSIS DESCRIPTION "SEE ALSO"; do
        expect_contains "$page has $section" $'\n'"$section"$'\n' "${rendered[$page]}"
    done
done

# Pages name options as "-c, --conf_file"; the help texts list them their
# own way, some with a long form only.
options_of() {
    grep -oE -- '^ +(-[a-zA-Z],? )?--[a-z_-]+' | sed -E 's/^ +//; s/^(-[a-zA-Z]),? /\1, /' | sort -u
}

daemon_options=$("$binary_dir/useraccountd" --help | options_of)
expect_eq "the daemon lists eight options" 8 "$(wc -l <<<"$daemon_options")"
while read -r option; do
    expect_contains "useraccountd(8) documents $option" "$option" "${rendered[useraccountd.8]}"
done <<<"$daemon_options"

for command in send status list prepare stop save; do
    ctl_options=$("$binary_dir/useraccountctl" "$command" --help | options_of)
    check "useraccountctl $command --help lists options" test -n "$ctl_options"
    while read -r option; do
        expect_contains "useraccountctl(1) documents $command $option" "$option" \
            "${rendered[useraccountctl.1]}"
    done <<<"$ctl_options"
done

# The paths and the command line that the code fixes.
key_file=$(grep -oE 'queue_key_file\[\] = "[^"]+"' "$source_dir/src/common/command_queue.h" | cut -d'"' -f2)
command_prefix=$(grep -oE 'account_command_prefix\[\] = "[^"]+"' "$source_dir/src/common/account_command.h" |
    cut -d'"' -f2)
check "key file path found in the source" test -n "$key_file"
check "command prefix found in the source" test -n "$command_prefix"
expect_contains "useraccountd(8) names the key file" "$key_file" "${rendered[useraccountd.8]}"
expect_contains "useraccountd(8) shows the command line" "${command_prefix% }" "${rendered[useraccountd.8]}"
expect_contains "useraccountctl(1) names the key file" "$key_file" "${rendered[useraccountctl.1]}"

# The senders' guide: the key, the text limit, and every example it is
# installed with, by its installed path.
senders=${rendered[useraccountd-senders.7]}
max_text=$(grep -oE 'max_text_size = [0-9]+' "$source_dir/src/common/command_queue.h" | grep -oE '[0-9]+$')
check "text limit found in the source" test -n "$max_text"
expect_contains "useraccountd-senders(7) names the key" "ftok(\"$key_file\", 'G')" "$senders"
expect_contains "useraccountd-senders(7) gives the text limit" "At most $max_text bytes of text" "$senders"
for example in "$source_dir"/dist/examples/*; do
    expect_contains "useraccountd-senders(7) names ${example##*/}" \
        "/usr/share/doc/useraccountd/examples/${example##*/}" "$senders"
done


# The record that the unit has the daemon write, in the page of its format.
record=$(sed -n 's/^ExecStart=.* -r \([^ ]*\).*/\1/p' "$source_dir/dist/useraccountd.service")
check "the unit's record found" test -n "$record"
expect_contains "useraccountd-outcomes(5) names the unit's record" "$record" \
    "${rendered[useraccountd-outcomes.5]}"

# The example script's rules, in its page and in that of its list.
script=$source_dir/dist/useraccount.sh
name_pattern=$(sed -n "s/^readonly name_pattern='\(.*\)'$/\1/p" "$script")
reserved_names=$(sed -n 's/^readonly reserved_names_file=//p' "$script")
check "the script's name pattern found" test -n "$name_pattern"
check "the script's list of reserved names found" test -n "$reserved_names"
expect_contains "useraccount.sh(8) gives the name pattern" "$name_pattern" \
    "${rendered[useraccount.sh.8]}"
expect_contains "useraccountd-reserved-names(5) names the list" "$reserved_names" \
    "${rendered[useraccountd-reserved-names.5]}"

finish
