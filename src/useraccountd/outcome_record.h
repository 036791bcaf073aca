// The outcome record (-r): for every message taken off the queue, one line
// once its fate is known, so that a sender who may read the file learns what
// became of its command. Each line is
//
//   TIME <tab> TYPE <tab> OUTCOME <tab> DETAIL <tab> TEXT <newline>
//
// TIME in UTC ("2026-12-08T14:00:00.123456Z"); TYPE the message type;
// OUTCOME one word (outcome_name below); DETAIL the exit status, the signal,
// the reason or the error text, or empty; TEXT the message text escaped in
// the field style (text_escape.h), so that no field holds a tab or a
// newline and each reads back to one text. A line is written with one
// append to a file opened for it alone, so a rotation needs no signal and a
// reader takes a line only once its newline is there. Without -r nothing is
// written. A line that cannot be written is one LOG_ERR entry holding it,
// and serving goes on.
#pragma once

#include <string_view>

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

// A command that an earlier daemon started and never saw end (it was killed,
// or a stop timed out) gets its line now, with its outcome unknown.
void record_unfinished_command();

// Before the command of this text runs: writes it in a note beside the
// record (FILE.running), emptied again by record_command_end(); the next
// start finds it there should this daemon die in between.
void record_command_start(std::string_view text);

// After it ran: wait_status as system() returned it, run_error its errno
// when that was -1.
void record_command_end(std::string_view text, int wait_status, int run_error);

// A message that runs no command: refused, oversized or ignored.
void record_outcome(long type, outcome what, std::string_view detail, std::string_view text);
