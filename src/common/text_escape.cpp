#include "text_escape.h"

namespace {

constexpr char hex_digits[] = "0123456789abcdef";

// Length of the well-formed UTF-8 sequence at the start of text, or 0 when
// its first byte begins none: overlong forms, surrogates, code points above
// U+10FFFF, stray continuation bytes and sequences cut short all count as 0.
std::size_t utf8_sequence_length(std::string_view text) {
    const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    // Bounds of the second byte; later bytes are plain continuations.
    unsigned char low = 0x80;
    unsigned char high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : 0x80;
        high = lead == 0xed ? 0x9f : 0xbf;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        low = lead == 0xf0 ? 0x90 : 0x80;
        high = lead == 0xf4 ? 0x8f : 0xbf;
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xbf) {
            return 0;
        }
    }
    return length;
}

// U+0080..U+009F: terminals act on them as they do on ESC sequences.
// U+200E, U+200F, U+202A..U+202E, U+2066..U+2069: they reorder what a reader
// sees, within the text and around it.
bool is_control_sequence(std::string_view sequence) {
    const auto byte = [&sequence](std::size_t i) {
        return static_cast<unsigned char>(sequence[i]);
    };
    if (sequence.size() == 2) {
        return byte(0) == 0xc2 && byte(1) <= 0x9f;
    }
    if (sequence.size() != 3 || byte(0) != 0xe2) {
        return false;
    }
    const unsigned char last = byte(2);
    return (byte(1) == 0x80 && (last == 0x8e || last == 0x8f || (last >= 0xaa && last <= 0xae))) ||
           (byte(1) == 0x81 && last >= 0xa6 && last <= 0xa9);
}

char* put_escape(char c, char* out) {
    const auto byte = static_cast<unsigned char>(c);
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
    return out;
}

}  // namespace

std::size_t escape_text(std::string_view text, char* out, escape_style style) {
    char* const start = out;
    for (std::size_t i = 0; i < text.size();) {
        const char c = text[i];
        const auto byte = static_cast<unsigned char>(c);
        // How many bytes from i go out as they are, or else as escapes.
        std::size_t n = 1;
        bool plain = false;
        if (style == escape_style::exact) {
            plain = byte >= 0x20 && byte < 0x7f && c != '\\';
        } else if (byte < 0x80) {
            plain =
                (byte >= 0x20 && byte != 0x7f && !(style == escape_style::field && c == '\\')) ||
                (style == escape_style::echo && c == '\t');
        } else if (const std::size_t length = utf8_sequence_length(text.substr(i)); length != 0) {
            // A broken sequence goes byte by byte: what follows its first
            // byte is looked at anew.
            n = length;
            plain = !is_control_sequence(text.substr(i, n));
        }
        for (const char part : text.substr(i, n)) {
            if (plain) {
                *out++ = part;
            } else {
                out = put_escape(part, out);
            }
        }
        i += n;
    }
    return static_cast<std::size_t>(out - start);
}

std::string escape_text(std::string_view text, escape_style style) {
    std::string escaped(escaped_size_max(text.size()), '\0');
    escaped.resize(escape_text(text, escaped.data(), style));
    return escaped;
}
