// Texts from the queue are anybody's: before one reaches a terminal, the
// journal or a log line, its control bytes are written as escapes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

enum class escape_style {
    // Every control byte but tab (below 0x20, and 0x7f) as \n, \r or \xNN,
    // and so each byte of a C1 control (U+0080..U+009F), of a bidirectional
    // control (U+200E, U+200F, U+202A..U+202E, U+2066..U+2069) and every byte
    // that is not part of well-formed UTF-8; backslash and other UTF-8 text
    // (names such as é or 中) unchanged. One text stays one line that moves
    // no cursor, reorders nothing around it, and that the journal stores as
    // text, and plain texts are written as they are.
    echo,
    // As echo, and tab and backslash escaped too (\t, \\): one field of a
    // tab-separated line, with exactly one reading.
    field,
    // Everything but printable ASCII escaped, tab and backslash included, so
    // that the escaped form reads back unambiguously.
    exact,
};

// Room that escaping n bytes may need at most.
constexpr std::size_t escaped_size_max(std::size_t n) {
    return 4 * n;
}

// Writes the escaped text to out, which has room for escaped_size_max() bytes,
// and returns its length. No terminator is added.
std::size_t escape_text(std::string_view text, char* out, escape_style style);

std::string escape_text(std::string_view text, escape_style style);
