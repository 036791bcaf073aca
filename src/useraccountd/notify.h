// What the daemon does, told to a service manager such as systemd in its
// notification protocol: one datagram of KEY=VALUE lines to the socket that
// $NOTIFY_SOCKET names, a path or, when it begins with '@', an abstract name.
// Without that variable every function here does nothing, and nothing wakes
// the daemon: a notification is sent only when its state changes.
#pragma once

// Takes $NOTIFY_SOCKET out of the environment, so that the account commands
// do not inherit it, and opens a socket to send to it. Called once, after
// daemon mode, which closes every descriptor.
void notify_open();

// READY=1: the handlers are installed and the queue is open; sent again
// once a reload is done.
void notify_ready();

// RELOADING=1 with MONOTONIC_USEC, as the configuration is read again.
void notify_reloading();

// STOPPING=1, as the orderly stop begins.
void notify_stopping();

enum class activity { waiting, in_command, pausing };

// STATUS= with what the loop does now (pause_seconds for a pause) and the
// account commands served and failed since the start; sent only when the
// text changes.
void notify_status(activity now, int pause_seconds = 0);

// Counts an account command that has run to its end; failed: it ended with
// a status other than 0 or by a signal, or could not be started.
void notify_command_ended(bool failed);
