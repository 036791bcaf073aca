#include "saved_commands.h"

#include <ctime>

#include "ctl.h"

namespace {

constexpr std::string_view first_line = "useraccountd saved commands 1";

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

// "WORD VALUE": the value, when the line starts with the word.
bool take_field(std::string_view& data, std::string_view word, std::string_view& value) {
    std::string_view line;
    if (!take_line(data, line) || !line.starts_with(word) || line.size() <= word.size() ||
        line[word.size()] != ' ') {
        return false;
    }
    value = line.substr(word.size() + 1);
    return true;
}

}  // namespace

std::string encode_saved(const saved_commands& saved) {
    std::string data = std::string(first_line) + "\nboot " + saved.boot_id + "\nsaved " +
                       saved.saved_at + "\ncount " + std::to_string(saved.messages.size()) + "\n";
    for (const queue_entry& m : saved.messages) {
        data += "message " + std::to_string(m.type) + " " + std::to_string(m.text.size()) + "\n";
        data += m.text;
        data += '\n';
    }
    return data + "end\n";
}

bool decode_saved(std::string_view data, saved_commands& saved, std::string& problem) {
    std::string_view line;
    std::string_view boot;
    std::string_view when;
    std::string_view count_text;
    std::size_t count = 0;
    if (!take_line(data, line) || line != first_line) {
        problem = "not a file of saved commands";
        return false;
    }
    if (!take_field(data, "boot", boot) || !take_field(data, "saved", when) ||
        !take_field(data, "count", count_text) || !whole_number(count_text, count)) {
        problem = "its heading is damaged";
        return false;
    }
    saved.boot_id = boot;
    saved.saved_at = when;
    saved.messages.clear();
    for (std::size_t i = 0; i < count; ++i) {
        std::string_view header;
        queue_entry m;
        std::size_t length = 0;
        const std::size_t blank = take_field(data, "message", header) ? header.find(' ') : 0;
        if (blank == 0 || blank == std::string_view::npos ||
            !whole_number(header.substr(0, blank), m.type) || m.type <= 0 ||
            !whole_number(header.substr(blank + 1), length) || data.size() <= length ||
            data[length] != '\n') {
            problem = "message " + std::to_string(i + 1) + " of " + std::to_string(count) +
                      " is damaged or cut short";
            return false;
        }
        m.text = data.substr(0, length);
        data.remove_prefix(length + 1);
        saved.messages.push_back(std::move(m));
    }
    if (!take_line(data, line) || line != "end" || !data.empty()) {
        problem = "it does not end after its " + std::to_string(count) + " message(s)";
        return false;
    }
    return true;
}

std::string saved_time(const saved_commands& saved) {
    time_t seconds = 0;
    const std::string_view whole =
        std::string_view(saved.saved_at).substr(0, std::string_view(saved.saved_at).find('.'));
    char text[64];
    struct tm local {};
    if (!whole_number(whole, seconds) || localtime_r(&seconds, &local) == nullptr ||
        strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %z", &local) == 0) {
        return saved.saved_at;
    }
    return text;
}
