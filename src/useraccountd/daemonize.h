// Daemon mode: detach from the terminal and session, take the PID file.
#pragma once

// Returns only in the process that goes on as the daemon; every other
// process, and every failure, ends inside with status 0 or 1.
void daemonize();
