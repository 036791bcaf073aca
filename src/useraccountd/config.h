// The configuration file: one decimal integer, the pause after each message.
#pragma once

#include <cstdio>

// Reads one integer the way "%d" does (leading white space, optional sign,
// decimal digits; the rest is not read). Returns 1 and sets *value when an
// integer was read, 0 when the first item is no integer, -1 at end of file.
// A value outside the 32-bit range is no integer: 0, *value untouched.
int scan_int(FILE* in, int* value);

// Reads conf_file_name into delay: at start (reload 0) and on a reload request
// (reload 1). Returns the scan result, or -1 when the file cannot be opened.
int read_conf_file(int reload);

// The -t check; returns the exit status.
int test_conf_file(const char* file_name);
