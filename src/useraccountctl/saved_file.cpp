#include "saved_file.h"

#include <climits>

#include "bounded_number.h"

namespace {

constexpr std::string_view heading = "useraccountd saved commands ";

// No message on a queue is longer than the kernel's limit, far below this.
constexpr std::size_t longest_text = 1 << 24;

// The next line, without its newline; false at the end of the data or
// when no newline ends it.
bool take_line(std::string_view& data, std::string_view& line) {
    const std::size_t end = data.find('\n');
    if (end == std::string_view::npos) {
        return false;
    }
    line = data.substr(0, end);
    data.remove_prefix(end + 1);
    return true;
}

// "WORD VALUE": the value, when the next line starts with the word.
bool take_field(std::string_view& data, std::string_view word, std::string_view& value) {
    std::string_view line;
    if (!take_line(data, line) || !line.starts_with(word) || line.size() <= word.size() ||
        line[word.size()] != ' ') {
        return false;
    }
    value = line.substr(word.size() + 1);
    return true;
}

// The next blank-separated word of text, taken off it.
std::string_view take_word(std::string_view& text) {
    const std::size_t blank = text.find(' ');
    const std::string_view word = text.substr(0, blank);
    text.remove_prefix(blank == std::string_view::npos ? text.size() : blank + 1);
    return word;
}

bool decode_state(std::string_view text, saved_commands& saved) {
    const std::string_view name = take_word(text);
    const auto queue = parse_number(take_word(text), 0, INT_MAX);
    if (name == "saved") {
        saved.state = custody_state::saved;
        return text.empty() && !queue;
    }
    saved.state = name == "replacing" ? custody_state::replacing : custody_state::restoring;
    const auto count = saved.state == custody_state::replacing
                           ? parse_number<std::size_t>(take_word(text), 0, SIZE_MAX)
                           : std::optional<std::size_t>(0);
    const auto limit = parse_number(take_word(text), 0ULL, ULLONG_MAX);
    if ((name != "replacing" && name != "restoring") || !queue || !count || !limit ||
        !text.empty()) {
        return false;
    }
    saved.queue = *queue;
    saved.from_queue = *count;
    saved.byte_limit = *limit;
    return true;
}

// Appended piece by piece: GCC 12 at -O2 takes "literal" + std::string&&
// for an overlapping copy (-Wrestrict) and would fail a Release build.
std::string state_line(const saved_commands& saved) {
    std::string line = "state ";
    switch (saved.state) {
        case custody_state::replacing:
            line.append("replacing ").append(std::to_string(saved.queue));
            line.append(" ").append(std::to_string(saved.from_queue));
            break;
        case custody_state::restoring:
            line.append("restoring ").append(std::to_string(saved.queue));
            break;
        case custody_state::saved:
            return line.append("saved\n");
    }
    return line.append(" ").append(std::to_string(saved.byte_limit)).append("\n");
}

}  // namespace

std::string encode_saved(const saved_commands& saved) {
    std::string data = std::string(heading) + "2\nboot " + saved.boot_id + "\nsaved " +
                       saved.saved_at + "\n" + state_line(saved) + "count " +
                       std::to_string(saved.messages.size()) + "\n";
    for (const queue_entry& m : saved.messages) {
        data += "message " + std::to_string(m.type) + " " + std::to_string(m.text.size()) + "\n";
        data += m.text;
        data += '\n';
    }
    return data + "end\n";
}

std::optional<saved_commands> decode_saved(std::string_view data, std::string* problem) {
    saved_commands saved;
    std::string_view line;
    std::string_view boot;
    std::string_view when;
    std::string_view state = "saved";
    std::string_view count_text;
    if (!take_line(data, line) ||
        (line != std::string(heading) + "1" && line != std::string(heading) + "2")) {
        *problem = "not a file of saved commands";
        return std::nullopt;
    }
    const bool version_1 = line.ends_with('1');
    const auto count = take_field(data, "boot", boot) && take_field(data, "saved", when) &&
                               (version_1 || take_field(data, "state", state)) &&
                               take_field(data, "count", count_text)
                           ? parse_number<std::size_t>(count_text, 0, SIZE_MAX)
                           : std::nullopt;
    if (!count || boot.empty() || boot.find(' ') != std::string_view::npos ||
        !decode_state(state, saved)) {
        *problem = "its heading is damaged";
        return std::nullopt;
    }
    saved.boot_id = boot;
    saved.saved_at = when;
    for (std::size_t i = 0; i < *count; ++i) {
        std::string_view header;
        const bool found = take_field(data, "message", header);
        const auto type = parse_number(take_word(header), 1L, LONG_MAX);
        const auto length = parse_number<std::size_t>(header, 0, longest_text);
        if (!found || !type || !length || data.size() <= *length || data[*length] != '\n') {
            *problem = "message " + std::to_string(i + 1) + " of " + std::to_string(*count) +
                       " is damaged or cut short";
            return std::nullopt;
        }
        saved.messages.push_back({*type, std::string(data.substr(0, *length))});
        data.remove_prefix(*length + 1);
    }
    if (!take_line(data, line) || line != "end" || !data.empty() ||
        saved.from_queue > saved.messages.size()) {
        *problem = "it does not end after its " + std::to_string(*count) + " message(s)";
        return std::nullopt;
    }
    return saved;
}
