// A line of the outcome record: what useraccountd (-r) writes for each
// message it takes off the queue, and what useraccountctl send --wait reads.
//
//   TIME <tab> TYPE <tab> OUTCOME <tab> DETAIL <tab> TEXT <newline>
//
// TIME in UTC ("2026-12-08T14:00:00.123456Z"); TYPE the message type;
// OUTCOME one word (below); DETAIL the exit status, the signal, the reason or
// the error text, or empty; TEXT the message text escaped in the field style
// (text_escape.h), so that no field holds a tab or a newline and each reads
// back to one text.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

inline constexpr std::size_t outcome_line_fields = 5;

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
