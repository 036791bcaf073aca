// What became of an account command, worked out once from what system()
// returned, and handed as it is to the system log, the outcome record and
// the service manager.
#pragma once

#include "outcome_line.h"

struct command_result {
    outcome what = outcome::succeeded;  // succeeded, failed, signal or error
    int number = 0;                     // the exit status, the signal or the errno
    char detail[64] = {};               // the record's detail: the number, or the error's text
};

inline bool failed(const command_result& result) {
    return result.what != outcome::succeeded;
}

// wait_status as system() returned it, run_error its errno when that was -1.
command_result result_of(int wait_status, int run_error);
