// Stop and reload requests. The handler only records a request; the service
// loop carries it out, so no stream, syslog or allocation runs in a handler.
// SIGINT and SIGTERM ask for the orderly stop, SIGHUP for a reload.
#pragma once

#include <array>
#include <csignal>

// Set by the service loop while an account command runs: a request that
// arrives then waits for the command to end and needs no wake-up.
extern volatile sig_atomic_t command_running;

void handle_signal(int sig);

// Holds the request signals back from the first line of main, so that one
// that comes while the daemon starts is neither fatal nor lost: it is taken
// once install_signal_handlers() lets it through.
void hold_requests();

// Installs handle_signal for SIGINT, SIGHUP and SIGTERM, then lets through
// whatever came while they were held back. A call that fails ends the start
// with a perror line and status 1: without the wake-up timer a request could
// wait for the next message.
void install_signal_handlers();

enum class request { none, stop, reload };

// The requests recorded since the last call, in the order they came, each
// at most once; none left pending afterwards.
std::array<request, 2> take_requests();

// A stop writes its debug line, releases the PID file and clears running.
void stop_daemon();
// A reload writes its debug line and reads the configuration file again.
void reload_daemon();
