#include "config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>

#include "daemon.h"
#include "trusted_path.h"

int scan_int(FILE* in, int* value) {
    int c = getc(in);
    while (c != EOF && isspace(c)) {
        c = getc(in);
    }
    if (c == EOF) {
        return -1;
    }
    const bool negative = c == '-';
    if (c == '-' || c == '+') {
        c = getc(in);
    }
    if (c == EOF || !isdigit(c)) {
        return 0;
    }
    // Accumulate the magnitude in 64 bits and stop counting once it is out of
    // range, so any run of digits is read without overflow.
    const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
    long long magnitude = 0;
    bool out_of_range = false;
    for (; c != EOF && isdigit(c); c = getc(in)) {
        if (!out_of_range) {
            magnitude = magnitude * 10 + (c - '0');
            out_of_range = magnitude > limit;
        }
    }
    if (out_of_range) {
        return 0;
    }
    *value = static_cast<int>(negative ? -magnitude : magnitude);
    return 1;
}

namespace {

// Only a regular file is read, and opening it never blocks: a FIFO or a
// device put in the file's place must not hang the daemon in a reload, where
// a stop request would then wait behind it. It is looked at before it is
// opened, so no device is ever opened, and again once open.
FILE* open_conf_file(const char* name) {
    struct stat st {};
    if (stat(name, &st) == -1) {
        return nullptr;
    }
    if (const int refusal = trust_refusal(st, file_use::readable); refusal != 0) {
        errno = refusal;
        return nullptr;
    }
    return stream_of(
        open_checked(AT_FDCWD, name, O_RDONLY | O_NONBLOCK | O_NOCTTY, 0, file_use::readable), "r");
}

}  // namespace

int read_conf_file(int reload) {
    if (!conf_file_name) {
        return 0;
    }
    const char* name = conf_file_name->c_str();
    FILE* conf_file = open_conf_file(name);
    if (conf_file == nullptr) {
        syslog(LOG_ERR, "Can not open config file: %s, error: %s", name, strerror(errno));
        return -1;
    }
    const int r = scan_int(conf_file, &delay);
    if (r > 0) {
        if (reload == 1) {
            syslog(LOG_INFO, "Reloaded configuration file %s of %s", name, app_name);
        } else {
            syslog(LOG_INFO, "Configuration of %s read from file %s", app_name, name);
        }
    }
    fclose(conf_file);
    return r;
}

int test_conf_file(const char* file_name) {
    FILE* conf_file = open_conf_file(file_name);
    if (conf_file == nullptr) {
        fprintf(stderr, "Can't read config file %s\n", file_name);
        return 1;
    }
    const int r = scan_int(conf_file, &delay);
    if (r <= 0) {
        fprintf(stderr, "Wrong config file %s\n", file_name);
    }
    fclose(conf_file);
    return r > 0 ? 0 : 1;
}
