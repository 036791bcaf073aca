// Process-wide state of useraccountd, shared by the start-up, the
// configuration, daemon mode, the signal requests and the service loop.
#pragma once

#include <csignal>
#include <cstdio>
#include <optional>
#include <string>

extern const char* app_name;                         // argv[0], also the system-log ident
extern std::optional<std::string> conf_file_name;    // -c
extern std::optional<std::string> pid_file_name;     // -p
extern std::optional<std::string> record_file_name;  // -r, the outcome record
extern int pid_fd;                                   // the locked PID file, -1 while none is held
extern FILE* log_stream;                             // standard output or the -l file
extern volatile sig_atomic_t running;                // the service loop goes on while 1
extern int delay;                                    // seconds to pause after each message
