#include "text_escape.h"

namespace {

constexpr char hex_digits[] = "0123456789abcdef";

}  // namespace

std::size_t escape_text(std::string_view text, char* out, escape_style style) {
    const bool exact = style == escape_style::exact;
    char* const start = out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool control = byte < 0x20 || byte == 0x7f;
        if (!exact && (!control || c == '\t')) {
            *out++ = c;
            continue;
        }
        if (exact && byte >= 0x20 && byte < 0x7f && c != '\\') {
            *out++ = c;
            continue;
        }
        *out++ = '\\';
        switch (c) {
            case '\\':
                *out++ = '\\';
                break;
            case '\n':
                *out++ = 'n';
                break;
            case '\r':
                *out++ = 'r';
                break;
            case '\t':
                *out++ = 't';
                break;
            default:
                *out++ = 'x';
                *out++ = hex_digits[byte >> 4];
                *out++ = hex_digits[byte & 0xf];
        }
    }
    return static_cast<std::size_t>(out - start);
}

std::string escape_text(std::string_view text, escape_style style) {
    std::string escaped(escaped_size_max(text.size()), '\0');
    escaped.resize(escape_text(text, escaped.data(), style));
    return escaped;
}
