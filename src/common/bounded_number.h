// A number that a person or another program wrote (an option, a field of a
// file or of a /proc row): digits alone, in base 10 or 8, nothing around
// them, no sign, from min to max. Anything else is no number.
#pragma once

#include <optional>
#include <string_view>

std::optional<unsigned long long> parse_bounded(std::string_view text, unsigned long long min,
                                                unsigned long long max, unsigned base = 10);

template <typename Number>
std::optional<Number> parse_number(std::string_view text, Number min, Number max,
                                   unsigned base = 10) {
    static_assert(sizeof(Number) <= sizeof(unsigned long long));
    const auto value = parse_bounded(text, static_cast<unsigned long long>(min),
                                     static_cast<unsigned long long>(max), base);
    if (!value) {
        return std::nullopt;
    }
    return static_cast<Number>(*value);
}
