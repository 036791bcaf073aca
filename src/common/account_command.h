// How a message text becomes the arguments of the account script.
//
// The text is split into words as a POSIX shell splits words, and nothing
// more: unquoted blanks separate words; single quotes, double quotes and
// backslash group and escape. Nothing is expanded and no operator means
// anything, so the text can only ever become arguments of the script.
#pragma once

#include <string>
#include <string_view>
#include <vector>

inline constexpr char account_command_prefix[] = "/usr/bin/sudo bash /quex/sbin/useraccount.sh ";

struct split_result {
    std::vector<std::string> words;
    const char* error = nullptr;  // set when the text cannot be split
};

split_result split_words(std::string_view text);

// One word in single quotes, for the system shell to hand over unchanged.
std::string shell_quote(std::string_view word);

// The text a sender puts on the queue so that split_words() gives back
// exactly these words; quotes only the words that need it.
std::string join_words(const std::vector<std::string>& words);

// The command line for the system shell, never cut. Empty when the text is
// refused, with the reason in *error.
std::string build_command_line(std::string_view text, const char** error);
