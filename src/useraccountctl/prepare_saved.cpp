// useraccountctl prepare: nothing that waited is stranded or served twice.
// The private queue that holds messages while the key changes hands is
// recorded under /run, so that the next prepare takes it over should this one
// end first. At a start after a reboot, the commands saved at the last stop
// go onto it, to come first on the new queue; after a plain restart the
// queue still holds them, and the saved copy goes.
#include <sys/ipc.h>
#include <sys/msg.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>

#include "ctl.h"
#include "prepare.h"
#include "state_files.h"

namespace {

// A descriptor closed when it goes out of scope.
class scoped_fd {
  public:
    explicit scoped_fd(int fd) : fd_(fd) {}
    ~scoped_fd() {
        if (fd_ != -1) {
            close(fd_);
        }
    }
    scoped_fd(const scoped_fd&) = delete;
    scoped_fd& operator=(const scoped_fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

// "held ID" and, while saved commands go onto it, "restoring STAMP BEFORE".
bool parse_record(std::string_view text, held_record& record) {
    const std::size_t end = text.find('\n');
    if (!text.starts_with("held ") || end == std::string_view::npos ||
        !whole_number(text.substr(5, end - 5), record.id)) {
        return false;
    }
    const std::string_view rest = text.substr(end + 1);
    if (rest.empty()) {
        return true;
    }
    const std::size_t blank = rest.rfind(' ');
    if (!rest.starts_with("restoring ") || !rest.ends_with('\n') || blank < 10 ||
        !whole_number(rest.substr(blank + 1, rest.size() - blank - 2), record.before)) {
        return false;
    }
    record.restoring = rest.substr(10, blank - 10);
    return true;
}

// The stamp of one save: its boot and its time.
std::string stamp_of(const saved_commands& saved) {
    return saved.boot_id + "/" + saved.saved_at;
}

}  // namespace

// Only root's runs keep a record: /run is root's.
held_record find_held() {
    if (geteuid() != 0) {
        return {};
    }
    std::string problem;
    std::string text;
    held_record record;
    const scoped_fd dir(open_root_dir(held_record_dir, false, problem));
    if (dir.get() == -1 ||
        read_root_file(dir.get(), held_record_name, text, problem) != file_state::read ||
        !parse_record(text, record)) {
        return {};
    }
    // Only a private queue of root's that only root may use: the id may have
    // gone to another queue since.
    msqid_ds info{};
    if (msgctl(record.id, IPC_STAT, &info) == -1 || info.msg_perm.__key != IPC_PRIVATE ||
        info.msg_perm.cuid != 0 || info.msg_perm.uid != 0 || (info.msg_perm.mode & 0777U) != 0600) {
        forget_held();
        return {};
    }
    return record;
}

bool record_held(const held_record& record) {
    if (geteuid() != 0) {
        return true;
    }
    std::string text = "held " + std::to_string(record.id) + "\n";
    if (!record.restoring.empty()) {
        text += "restoring " + record.restoring + " " + std::to_string(record.before) + "\n";
    }
    std::string problem;
    const scoped_fd dir(open_root_dir(held_record_dir, false, problem));
    if (dir.get() == -1 || !write_root_file(dir.get(), held_record_name, text, problem)) {
        failed("could not record the private queue %d that holds the messages: %s", record.id,
               problem.c_str());
        return false;
    }
    return true;
}

void forget_held() {
    if (geteuid() != 0) {
        return;
    }
    std::string problem;
    const scoped_fd dir(open_root_dir(held_record_dir, false, problem));
    if (dir.get() == -1 || !remove_root_file(dir.get(), held_record_name, problem)) {
        failed("%s", problem.c_str());
    }
}

int open_holding(int& holding) {
    if (holding != -1) {
        return 0;
    }
    holding = msgget(IPC_PRIVATE, 0600);
    if (holding == -1) {
        if (errno == ENOSPC) {
            report_full_table();
        }
        return call_failed("msgget", "a private queue to hold the messages");
    }
    if (!record_held({holding, "", 0})) {
        msgctl(holding, IPC_RMID, nullptr);
        holding = -1;
        return exit_failure;
    }
    return 0;
}

int restore_saved(int& holding, const held_record& record) {
    if (geteuid() != 0) {
        return 0;  // the service's own prepare runs as root
    }
    std::string problem;
    std::string data;
    const scoped_fd dir(open_root_dir(state_dir, false, problem));
    if (dir.get() == -1 && errno == ENOENT) {
        return 0;  // nothing was ever saved
    }
    const file_state state = dir.get() == -1
                                 ? file_state::refused
                                 : read_root_file(dir.get(), saved_commands_name, data, problem);
    saved_commands saved;
    if (state == file_state::missing) {
        return 0;
    }
    // Whatever is wrong with it, it stays for root to see; the service starts.
    if (state == file_state::refused || !decode_saved(data, saved, problem)) {
        report(LOG_ERR, "saved commands not restored from %s: %s; left as it is",
               saved_commands_path, problem.c_str());
        return 0;
    }
    const std::string boot = current_boot_id(problem);
    if (boot.empty()) {
        report(LOG_ERR, "saved commands not restored: %s", problem.c_str());
        return 0;
    }
    if (saved.boot_id == boot) {
        if (!remove_root_file(dir.get(), saved_commands_name, problem)) {
            return failed("%s", problem.c_str());
        }
        report(LOG_INFO,
               "discarded the copy of %zu command(s) saved at %s in this boot: they were never "
               "lost (a restart keeps the queue), or went with a queue removed since",
               saved.messages.size(), saved_time(saved).c_str());
        return 0;
    }
    // An earlier prepare that died while putting them on holding put the
    // first of them there, in order.
    std::size_t done = 0;
    msqid_ds held{};
    if (holding != -1 && record.restoring == stamp_of(saved) &&
        msgctl(holding, IPC_STAT, &held) == 0 && waiting(held) > record.before) {
        done = std::min<std::size_t>(waiting(held) - record.before, saved.messages.size());
    } else if (open_holding(holding) != 0 || msgctl(holding, IPC_STAT, &held) == -1 ||
               !record_held({holding, stamp_of(saved), waiting(held)})) {
        return failed("the saved commands stay in %s", saved_commands_path);
    }
    const char* failed_call = nullptr;
    if (!send_messages(holding, std::span(saved.messages).subspan(done), &failed_call)) {
        call_failed(failed_call, "restoring the saved commands");
        return failed("the saved commands stay in %s", saved_commands_path);
    }
    if (!remove_root_file(dir.get(), saved_commands_name, problem)) {
        return failed("%s", problem.c_str());
    }
    report(LOG_INFO,
           "restored %zu command(s) saved at %s, before a reboot: they come first on the queue",
           saved.messages.size(), saved_time(saved).c_str());
    return 0;
}
