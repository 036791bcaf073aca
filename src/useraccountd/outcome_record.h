// The outcome record (-r): for every message taken off the queue, one line
// once its fate is known (outcome_line.h), so that a sender who may read the
// file learns what became of its command. A line is written with one append
// to a file opened for it alone, so a reader takes a line only once its
// newline is there. Before a line would take the file past record_limit
// (-s), the daemon renames it to FILE.1, replacing the one before, and
// starts the file anew: the record never takes much more than twice the
// bound, however fast messages come. Without -r nothing is written. A line
// that cannot be written is one LOG_ERR entry holding it, and serving goes
// on.
#pragma once

#include <string_view>

#include "command_result.h"
#include "outcome_line.h"

// A command that an earlier daemon started and never saw end (it was killed,
// or a stop timed out) gets its line now, with its outcome unknown.
void record_unfinished_command();

// Before the command of this text runs: writes it in a note beside the
// record (FILE.running), emptied again by record_command_end(); the next
// start finds it there should this daemon die in between.
void record_command_start(std::string_view text);

// After it ran: its line, then the note emptied.
void record_command_end(std::string_view text, const command_result& result);

// A message that runs no command: refused, oversized or ignored.
void record_outcome(long type, outcome what, std::string_view detail, std::string_view text);
