#include "queue_row.h"

#include <algorithm>
#include <array>
#include <climits>

#include "bounded_number.h"

std::optional<queue_row> decode_queue_row(std::string_view line) {
    std::array<std::string_view, 10> column;
    std::size_t count = 0;
    for (std::size_t at = 0; count < column.size();) {
        at = line.find_first_not_of(" \t\n", at);
        if (at == std::string_view::npos) {
            break;
        }
        const std::size_t end = std::min(line.find_first_of(" \t\n", at), line.size());
        column.at(count++) = line.substr(at, end - at);
        at = end;
    }
    if (count < column.size()) {
        return std::nullopt;
    }
    const auto id = parse_number(column[1], 0, INT_MAX);
    const auto mode = parse_number(column[2], 0U, 07777U, 8);
    const auto owner = parse_number<uid_t>(column[7], 0, UINT_MAX);
    const auto creator = parse_number<uid_t>(column[9], 0, UINT_MAX);
    if (!id || !mode || !owner || !creator) {
        return std::nullopt;
    }
    return queue_row{*id, *mode, *owner, *creator};
}
