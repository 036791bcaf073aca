// The commands that waited on the queue when the service stopped, as a file
// that survives the reboot the queue does not. The boot's id tells prepare
// whether the queue went with a reboot (put them back) or is still there
// (a restart: the copy goes). The format carries any bytes:
//
//   useraccountd saved commands 1
//   boot BOOT-ID
//   saved SECONDS.NANOSECONDS
//   count N
//   message TYPE LENGTH      (N times, then LENGTH bytes of text and a newline)
//   end
#pragma once

#include <string>
#include <string_view>
#include <vector>

// One message as it travels on a queue: its type and the bytes of its text.
struct queue_entry {
    long type = 0;
    std::string text;
    friend bool operator==(const queue_entry&, const queue_entry&) = default;
};

struct saved_commands {
    std::string boot_id;
    std::string saved_at;  // with the boot id, names this one save
    std::vector<queue_entry> messages;
};

std::string encode_saved(const saved_commands& saved);

// false, with problem set, for anything but one whole file in this format.
bool decode_saved(std::string_view data, saved_commands& saved, std::string& problem);

// "2026-12-08 17:10:02 +0000", from saved_at.
std::string saved_time(const saved_commands& saved);
