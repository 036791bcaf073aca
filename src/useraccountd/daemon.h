// Process-wide state of useraccountd, shared by the start-up, the
// configuration, daemon mode, the signal requests and the service loop.
#pragma once

#include <csignal>
#include <cstdio>
#include <optional>
#include <string>

// The outcome record's bound (-s): its file is rotated before a line would
// take it past this, so that a flood of messages fills no small /var/log.
inline constexpr unsigned long long default_record_limit = 2ULL << 20;
inline constexpr unsigned long long min_record_limit = 64ULL << 10;  // a line always fits
inline constexpr unsigned long long max_record_limit = 1ULL << 40;

extern const char* app_name;                         // argv[0], also the system-log ident
extern std::optional<std::string> conf_file_name;    // -c
extern std::optional<std::string> pid_file_name;     // -p
extern std::optional<std::string> record_file_name;  // -r, the outcome record
extern unsigned long long record_limit;              // -s, the record's bound in bytes
extern int pid_fd;                                   // the locked PID file, -1 while none is held
extern FILE* log_stream;                             // standard output or the -l file
extern volatile sig_atomic_t running;                // the service loop goes on while 1
extern int delay;                                    // seconds to pause after each message
