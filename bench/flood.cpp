// flood: what one sender makes of the outcome record, as the packaged unit
// runs the daemon (its default bound), in a few seconds of the longest
// messages of a type that runs nothing, 8191 bytes of 0x01 each, which the
// record escapes at four bytes a byte, with no pause: the record's size at
// the end, its file and the older one together, and the messages served.
#include <sys/stat.h>

#include <string>

#include "harness.h"

namespace bench {

void bench_flood() {
    const std::string record = std::string(work_dir) + "/outcomes.log";
    long long before = 0;
    for (const std::string& file : {record, record + ".1"}) {
        struct stat st {};
        before += stat(file.c_str(), &st) == 0 ? st.st_size : 0;
    }
    clear_queue();
    server s(server_kind::daemon_record, 0);
    const std::string text(8191, '\x01');
    long sent = 0;
    for (const double end = now() + config.flood_seconds; now() < end; ++sent) {
        send(2, text);
    }
    while (waiting_messages() != 0) {
        sleep_for(0.01);
    }
    s.stop();
    long long after = 0;
    for (const std::string& file : {record, record + ".1"}) {
        struct stat st {};
        after += stat(file.c_str(), &st) == 0 ? st.st_size : 0;
    }
    const std::string what = "flood of 8191-byte type-2 messages of 0x01, pause 0, " +
                             std::to_string(config.flood_seconds) + " s";
    table.push_back({what, "messages served", "", std::to_string(sent), "", "", ""});
    table.push_back({what, "record's growth, file and older file (MiB)", "",
                     fixed(static_cast<double>(after - before) / (1 << 20), 1), "", "<= 4",
                     verdict(after - before <= 4LL << 20)});
}

}  // namespace bench
