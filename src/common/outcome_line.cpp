#include "outcome_line.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <iterator>

#include "bounded_number.h"

namespace {

constexpr outcome all_outcomes[] = {
    outcome::succeeded, outcome::failed,    outcome::signal,  outcome::error,
    outcome::refused,   outcome::oversized, outcome::ignored, outcome::unknown,
};

char* put(char* out, std::string_view text) {
    return std::copy(text.begin(), text.end(), out);
}

}  // namespace

const char* outcome_name(outcome what) {
    switch (what) {
        case outcome::succeeded:
            return "succeeded";
        case outcome::failed:
            return "failed";
        case outcome::signal:
            return "signal";
        case outcome::error:
            return "error";
        case outcome::refused:
            return "refused";
        case outcome::oversized:
            return "oversized";
        case outcome::ignored:
            return "ignored";
        case outcome::unknown:
            return "unknown";
    }
    return "unknown";
}

std::optional<outcome> outcome_named(std::string_view name) {
    const auto* const found =
        std::find_if(std::begin(all_outcomes), std::end(all_outcomes),
                     [name](outcome what) { return name == outcome_name(what); });
    if (found == std::end(all_outcomes)) {
        return std::nullopt;
    }
    return *found;
}

std::size_t format_outcome_time(const timespec& when, char* out) {
    tm utc{};
    gmtime_r(&when.tv_sec, &utc);
    char text[outcome_time_room + 1];
    std::size_t length = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    const int fraction = snprintf(text + length, sizeof text - length, ".%06ldZ",
                                  static_cast<long>(when.tv_nsec / 1000));
    length += fraction > 0 ? static_cast<std::size_t>(fraction) : 0;
    length = std::min(length, outcome_time_room);
    std::copy(text, text + length, out);
    return length;
}

std::size_t encode_outcome_line(char* out, std::string_view time, long type, outcome what,
                                std::string_view detail, std::string_view text, bool text_escaped) {
    char* at = put(out, time.substr(0, outcome_time_room));
    char number[32];
    const int length = snprintf(number, sizeof number, "\t%ld\t", type);
    at = put(at, std::string_view(number, static_cast<std::size_t>(std::max(length, 0))));
    at = put(at, outcome_name(what));
    *at++ = '\t';
    for (const char c : detail.substr(0, outcome_detail_max)) {
        *at++ = c == '\t' || c == '\n' ? ' ' : c;
    }
    *at++ = '\t';
    at = text_escaped ? put(at, text) : at + escape_text(text, at, escape_style::field);
    *at++ = '\n';
    return static_cast<std::size_t>(at - out);
}

std::optional<outcome_fields> decode_outcome_line(std::string_view line) {
    std::array<std::string_view, 5> field;
    std::size_t start = 0;
    for (std::size_t i = 0; i < field.size(); ++i) {
        const std::size_t tab = line.find('\t', start);
        const bool last = i + 1 == field.size();
        if ((tab == std::string_view::npos) != last) {
            return std::nullopt;  // fewer fields, or more
        }
        field.at(i) = line.substr(start, last ? std::string_view::npos : tab - start);
        start = tab + 1;
    }
    const auto type = parse_number<long>(field[1], 1, LONG_MAX);
    if (!type || field[0].empty() || field[2].empty() ||
        line.find('\n') != std::string_view::npos) {
        return std::nullopt;
    }
    return outcome_fields{field[0], *type, field[2], field[3], field[4]};
}
