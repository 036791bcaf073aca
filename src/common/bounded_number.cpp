#include "bounded_number.h"

std::optional<unsigned long long> parse_bounded(std::string_view text, unsigned long long min,
                                                unsigned long long max, unsigned base) {
    if (text.empty()) {
        return std::nullopt;
    }
    unsigned long long value = 0;
    for (const char c : text) {
        const unsigned digit = static_cast<unsigned>(static_cast<unsigned char>(c)) - '0';
        // Checked before each step, so no run of digits overflows.
        if (digit >= base || value > max / base || digit > max - value * base) {
            return std::nullopt;
        }
        value = value * base + digit;
    }
    if (value < min) {
        return std::nullopt;
    }
    return value;
}
