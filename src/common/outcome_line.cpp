#include "outcome_line.h"

#include <algorithm>
#include <iterator>

namespace {

constexpr outcome all_outcomes[] = {
    outcome::succeeded, outcome::failed,    outcome::signal,  outcome::error,
    outcome::refused,   outcome::oversized, outcome::ignored, outcome::unknown,
};

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
