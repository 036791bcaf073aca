// The service loop: one message at a time, one account command at a time.
#pragma once

// Serves the queue while running is 1. log_stream_name names the log stream
// in error entries: "stdout" or the log file's name. Returns the exit status
// of the orderly stop that follows: 0 after a stop request, 1 when the log
// stream failed.
int run_service_loop(int msg_queue_id, const char* log_stream_name);
