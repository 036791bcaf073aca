// What the daemon does, told to a service manager such as systemd in its
// notification protocol: one datagram of KEY=VALUE lines to the socket that
// $NOTIFY_SOCKET names, a path or, when it begins with '@', an abstract name.
// Without that variable every function here does nothing, and nothing wakes
// the daemon: a notification is sent only when its state changes.
#pragma once

#include "command_result.h"

// Takes $NOTIFY_SOCKET out of the environment, so that the account commands
// do not inherit it, and opens a socket to send to it. Called once, after
// daemon mode, which closes every descriptor.
void notify_open();

enum class daemon_state { waiting, in_command, pausing, reloading, stopping };

// What the daemon does now (pause_seconds for a pause): READY=1 with the
// first state the loop reaches, once the handlers and the queue are in
// place, and again with the first after a reload; RELOADING=1 with
// MONOTONIC_USEC as the configuration is read again; STOPPING=1 as the
// orderly stop begins; and STATUS= with what it does and the account
// commands served and failed since the start, whenever that text changes.
void notify_state(daemon_state now, int pause_seconds = 0);

// Counts an account command that has run to its end, or could not start.
void notify_command_ended(const command_result& result);
