// A line of the outcome record: what useraccountd (-r) writes for each
// message it takes off the queue, and what useraccountctl send --wait and
// the example senders read.
//
//   TIME <tab> TYPE <tab> OUTCOME <tab> DETAIL <tab> TEXT <newline>
//
// TIME in UTC ("2026-12-08T14:00:00.123456Z"); TYPE the message type;
// OUTCOME one word (below); DETAIL the exit status, the signal, the reason or
// the error text, or empty; TEXT the message text escaped in the field style
// (text_escape.h), so that no field holds a tab or a newline and each reads
// back to one text.
//
// A reader takes a line only once its newline is there; a line with another
// number of fields, a type that is not a positive decimal number, or an
// empty time or outcome, is none of the daemon's. An outcome word that this
// version does not know is the outcome of a newer daemon: still the
// command's line. A reader finds its command by the type and by the text,
// escaped as here (or the field unescaped), byte for byte.
#pragma once

#include <cstddef>
#include <ctime>
#include <optional>
#include <string_view>

#include "text_escape.h"

enum class outcome {
    succeeded,  // status 0
    failed,     // a status other than 0
    signal,     // ended by a signal
    error,      // could not be run at all
    refused,    // the daemon refused the text
    oversized,  // over the text limit, dropped
    ignored,    // a type other than 1: echoed, nothing run
    unknown,    // its daemon ended while it ran
};

const char* outcome_name(outcome what);

// The outcome a word names, or nothing for a word that names none.
std::optional<outcome> outcome_named(std::string_view name);

struct outcome_fields {
    std::string_view time;
    long type = 0;
    std::string_view outcome_word;
    std::string_view detail;
    std::string_view text;  // escaped, as in the line
};

// A detail is the daemon's own short text; longer ones are cut.
inline constexpr std::size_t outcome_detail_max = 200;
inline constexpr std::size_t outcome_time_room = 40;

// Room for the line of a text of text_size bytes, newline included.
constexpr std::size_t outcome_line_room(std::size_t text_size) {
    return outcome_time_room + 32 + outcome_detail_max + escaped_size_max(text_size);
}

// TIME for a moment of CLOCK_REALTIME, into out (outcome_time_room bytes,
// no terminator); returns its length.
std::size_t format_outcome_time(const timespec& when, char* out);

// The whole line, newline included, into out, which has room for
// outcome_line_room(text.size()); returns its length. The text is escaped
// here unless it comes escaped already; tabs and newlines in the detail,
// which only a bug could put there, are written as blanks.
std::size_t encode_outcome_line(char* out, std::string_view time, long type, outcome what,
                                std::string_view detail, std::string_view text,
                                bool text_escaped = false);

// The fields of one line, given without its newline; nothing for a line that
// is none of the daemon's.
std::optional<outcome_fields> decode_outcome_line(std::string_view line);
