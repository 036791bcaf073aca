// libFuzzer targets over the codecs of what another user or a crash can
// shape: the outcome line (outcome_line.h), the saved-commands file
// (saved_file.h) and a row of /proc/sysvipc/msg (queue_row.h). Built once per
// target, FUZZ_OUTCOME_LINE, FUZZ_SAVED_FILE or FUZZ_QUEUE_ROW defined. A
// broken property aborts, which libFuzzer reports as a crash.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "outcome_line.h"
#include "queue_row.h"
#include "saved_file.h"
#include "text_escape.h"

namespace {

void require(bool holds, const char* property) {
    if (!holds) {
        fprintf(stderr, "property broken: %s\n", property);
        abort();
    }
}

// Any line: read or refused, never more; what is read writes back to a line
// that reads the same. Any text: its line is one line that gives back its
// type and its text, escaped, whatever it holds.
[[maybe_unused]] void check_outcome_line(std::string_view data) {
    if (const auto fields = decode_outcome_line(data)) {
        require(data.find('\n') == std::string_view::npos, "a line read holds no newline");
        const auto what = outcome_named(fields->outcome_word);
        // The daemon's own time and detail are never longer than it cuts them.
        if (what && fields->detail.size() <= outcome_detail_max &&
            fields->time.size() <= outcome_time_room) {
            std::string line(outcome_line_room(fields->text.size()), '\0');
            line.resize(encode_outcome_line(line.data(), fields->time, fields->type, *what,
                                            fields->detail, fields->text, true));
            const auto again =
                decode_outcome_line(std::string_view(line).substr(0, line.size() - 1));
            require(again && again->time == fields->time && again->type == fields->type &&
                        again->detail == fields->detail && again->text == fields->text,
                    "a line read writes back to one that reads the same");
        }
    }
    const std::string_view text = data.substr(0, 8191);
    std::string line(outcome_line_room(text.size()), '\0');
    line.resize(encode_outcome_line(line.data(), "t", 7, outcome::ignored, "", text));
    require(line.find('\n') == line.size() - 1, "a line is one line");
    const auto fields = decode_outcome_line(std::string_view(line).substr(0, line.size() - 1));
    require(fields && fields->type == 7 && fields->text == escape_text(text, escape_style::field),
            "a text's line gives back its type and its escaped text");
}

// Any file: read or refused with a reason; what is read writes back to a file
// that reads the same.
[[maybe_unused]] void check_saved_file(std::string_view data) {
    std::string problem;
    const auto saved = decode_saved(data, &problem);
    require(saved.has_value() || !problem.empty(), "a file refused says why");
    if (saved) {
        require(decode_saved(encode_saved(*saved), &problem) == saved,
                "a file read writes back to one that reads the same");
    }
}

// Any line: a row or none, the mode within its bits.
[[maybe_unused]] void check_queue_row(std::string_view data) {
    if (const auto row = decode_queue_row(data)) {
        require(row->id >= 0 && row->mode <= 07777, "a row read is within bounds");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
#if defined(FUZZ_OUTCOME_LINE)
    check_outcome_line(bytes);
#elif defined(FUZZ_SAVED_FILE)
    check_saved_file(bytes);
#elif defined(FUZZ_QUEUE_ROW)
    check_queue_row(bytes);
#endif
    return 0;
}
