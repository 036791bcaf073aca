#include "account_command.h"

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n';
}

// Inside double quotes a backslash escapes only these; before anything else
// it stands for itself.
bool escapable_in_double_quotes(char c) {
    return c == '\\' || c == '"' || c == '$' || c == '`' || c == '\n';
}

bool needs_quoting(std::string_view word) {
    if (word.empty()) {
        return true;
    }
    for (const char c : word) {
        if (is_blank(c) || c == '\'' || c == '"' || c == '\\') {
            return true;
        }
    }
    return false;
}

}  // namespace

split_result split_words(std::string_view text) {
    split_result result;
    std::string word;
    bool in_word = false;  // a quote pair makes a word even when empty
    std::size_t i = 0;
    const std::size_t n = text.size();

    while (i < n) {
        const char c = text[i];
        if (is_blank(c)) {
            if (in_word) {
                result.words.push_back(std::move(word));
                word.clear();
                in_word = false;
            }
            ++i;
        } else if (c == '\'') {
            const std::size_t close = text.find('\'', i + 1);
            if (close == std::string_view::npos) {
                result.error = "unterminated single quote";
                result.words.clear();
                return result;
            }
            word.append(text.substr(i + 1, close - i - 1));
            in_word = true;
            i = close + 1;
        } else if (c == '"') {
            ++i;
            bool closed = false;
            while (i < n) {
                const char d = text[i];
                if (d == '"') {
                    closed = true;
                    ++i;
                    break;
                }
                if (d == '\\' && i + 1 < n && escapable_in_double_quotes(text[i + 1])) {
                    if (text[i + 1] != '\n') {  // backslash-newline joins lines
                        word.push_back(text[i + 1]);
                    }
                    i += 2;
                } else {
                    word.push_back(d);
                    ++i;
                }
            }
            if (!closed) {
                result.error = "unterminated double quote";
                result.words.clear();
                return result;
            }
            in_word = true;
        } else if (c == '\\') {
            if (i + 1 == n) {  // a trailing backslash stands for itself, as in the shell
                word.push_back(c);
                in_word = true;
                ++i;
            } else {
                if (text[i + 1] != '\n') {
                    word.push_back(text[i + 1]);
                    in_word = true;
                }
                i += 2;
            }
        } else {
            word.push_back(c);
            in_word = true;
            ++i;
        }
    }
    if (in_word) {
        result.words.push_back(std::move(word));
    }
    return result;
}

std::string shell_quote(std::string_view word) {
    std::string quoted;
    quoted.reserve(word.size() + 2);
    quoted.push_back('\'');
    for (const char c : word) {
        if (c == '\'') {
            quoted.append("'\\''");
        } else {
            quoted.push_back(c);
        }
    }
    quoted.push_back('\'');
    return quoted;
}

std::string join_words(const std::vector<std::string>& words) {
    std::string text;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (i > 0) {
            text.push_back(' ');
        }
        text.append(needs_quoting(words[i]) ? shell_quote(words[i]) : words[i]);
    }
    return text;
}

std::string build_command_line(std::string_view text, const char** error) {
    const split_result split = split_words(text);
    if (split.error != nullptr) {
        *error = split.error;
        return {};
    }
    std::string line = account_command_prefix;
    for (std::size_t i = 0; i < split.words.size(); ++i) {
        if (i > 0) {
            line.push_back(' ');
        }
        line.append(shell_quote(split.words[i]));
    }
    return line;
}
