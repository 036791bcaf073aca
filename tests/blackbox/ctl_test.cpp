// useraccountctl against a real queue in the sandbox: what send puts on the
// queue, what status and list report, and that looking changes nothing.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "account_command.h"
#include "command_queue.h"
#include "frame_support.h"
#include "harness.h"

namespace blackbox {
namespace {

// The largest type a sender can put on the queue: a C long of this build,
// 64 or 32 bits.
constexpr long largest_type = std::numeric_limits<long>::max();

using ctl = sandbox_test;
using words = std::vector<std::string>;

struct message {
    long type = 0;
    std::string text;
    friend bool operator==(const message&, const message&) = default;
};

std::ostream& operator<<(std::ostream& os, const message& m) {
    return os << "{type " << m.type << ", text " << testing::PrintToString(m.text) << "}";
}

bool queue_exists() {
    const key_t key = ftok(queue_key_file, queue_project_id);
    return key != -1 && msgget(key, 0) != -1;
}

// Takes the oldest message off, or nothing when the queue is empty.
std::optional<message> take_oldest(const command_queue& q) {
    std::vector<long> buffer(1 + 65536 / sizeof(long));
    const ssize_t n = msgrcv(q.id(), buffer.data(), 65536, 0, IPC_NOWAIT);
    if (n == -1) {
        return std::nullopt;
    }
    return message{buffer[0], std::string(reinterpret_cast<const char*>(buffer.data() + 1),
                                          static_cast<std::size_t>(n))};
}

std::vector<message> take_all(const command_queue& q) {
    std::vector<message> all;
    for (auto m = take_oldest(q); m; m = take_oldest(q)) {
        all.push_back(*m);
    }
    return all;
}

exit_status run_to_end(process& p) {
    const auto status = p.wait_exit(20s);
    return status ? *status : killed_by(0);
}

const std::string saved_file = "/var/lib/useraccountd/saved-commands";

// Stand-ins for the service user, a system account (an id below 1000), and
// the sender group: ids with no name.
const std::string service_uid = "423";
const std::string sender_gid = "4242";
const std::vector<std::string> as_nobody{"--reuid", "65534", "--regid", "65534", "--clear-groups"};
const std::vector<std::string> as_sender{"--reuid", "65534",    "--regid",
                                         "65534",   "--groups", sender_gid};
const std::vector<std::string> as_root_member{"--reuid", "65534",    "--regid",
                                              "65534",   "--groups", "0"};

// useraccountctl run by an ordinary user, through setpriv.
process run_ctl_as(const std::vector<std::string>& identity, const std::vector<std::string>& args) {
    std::vector<std::string> argv{"setpriv"};
    argv.insert(argv.end(), identity.begin(), identity.end());
    const std::vector<std::string> tool = built_program(ctl_path);
    argv.insert(argv.end(), tool.begin(), tool.end());
    argv.insert(argv.end(), args.begin(), args.end());
    return process("/usr/bin/setpriv", argv);
}

// Runs `call` in a child process as uid and gid `id` (nobody unless given;
// no supplementary groups); returns the errno it failed with, or 0.
int errno_as_nobody(const std::function<int()>& call, unsigned id = 65534) {
    const pid_t child = fork();
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setresgid(id, id, id) != 0 ||
            setresuid(id, id, id) != 0) {
            _exit(255);
        }
        _exit(call() == -1 ? errno : 0);
    }
    int raw = 0;
    waitpid(child, &raw, 0);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

msqid_ds stat_of(const command_queue& q) {
    msqid_ds ds{};
    EXPECT_EQ(msgctl(q.id(), IPC_STAT, &ds), 0);
    return ds;
}

// The queue as prepare leaves it for service user 423 and sender group 4242:
// created by root with the sender group as its creator group, mode 0620.
void expect_prepared(const msqid_ds& info) {
    EXPECT_EQ(info.msg_perm.cuid, 0u);
    EXPECT_EQ(info.msg_perm.cgid, 4242u);
    EXPECT_EQ(info.msg_perm.uid, 423u);
    EXPECT_EQ(info.msg_perm.gid, 4242u);
    EXPECT_EQ(info.msg_perm.mode & 0777u, 0620u);
}

// The value after "name:" on its line of status output.
std::string field(const std::string& out, const std::string& name) {
    const std::string label = name + ":";
    for (std::size_t start = 0; start < out.size();) {
        std::size_t end = out.find('\n', start);
        end = end == std::string::npos ? out.size() : end;
        const std::string line = out.substr(start, end - start);
        if (line.compare(0, label.size(), label) == 0) {
            const std::size_t value = line.find_first_not_of(' ', label.size());
            return value == std::string::npos ? "" : line.substr(value);
        }
        start = end + 1;
    }
    return "<no " + name + " line>";
}

TEST_F(ctl, send_puts_words_the_daemon_splits_back) {
    const command_queue q;
    const words sent{"add", "John Smith", "it's", "", "$(id)", "a\\b", "tab\there", "x\ny"};
    std::vector<std::string> args{"send"};
    args.insert(args.end(), sent.begin(), sent.end());
    process p = run_ctl(args);
    ASSERT_EQ(run_to_end(p), exited(0)) << p.err();
    EXPECT_EQ(p.out(), "");
    EXPECT_EQ(p.err(), "");

    const auto m = take_oldest(q);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->type, 1);
    const split_result split = split_words(m->text);
    EXPECT_EQ(split.error, nullptr);
    EXPECT_EQ(split.words, sent) << testing::PrintToString(m->text);
    EXPECT_FALSE(take_oldest(q));
}

TEST_F(ctl, send_raw_text_with_a_type_and_words_that_look_like_options) {
    const command_queue q;
    process raw = run_ctl({"send", "--type", "7", "--raw", "a 'b  \\"});
    ASSERT_EQ(run_to_end(raw), exited(0)) << raw.err();
    process dashed = run_ctl({"send", "-t", std::to_string(largest_type), "--", "-x", "--type"});
    ASSERT_EQ(run_to_end(dashed), exited(0)) << dashed.err();
    process empty = run_ctl({"send", "--no-wait", "--raw", ""});
    ASSERT_EQ(run_to_end(empty), exited(0)) << empty.err();

    EXPECT_EQ(take_all(q),
              (std::vector<message>{{7, "a 'b  \\"}, {largest_type, "-x --type"}, {1, ""}}));
}

TEST_F(ctl, send_refuses_a_text_over_the_limit_and_takes_one_at_it) {
    const command_queue q;
    process over = run_ctl({"send", "--raw", std::string(max_text_size + 1, 'a')});
    ASSERT_EQ(run_to_end(over), exited(65));
    EXPECT_NE(over.err().find("8192 bytes"), std::string::npos) << over.err();
    EXPECT_NE(over.err().find("8191"), std::string::npos) << over.err();
    // Quoting counts: this word of 8190 bytes is sent as 8192.
    process quoted = run_ctl({"send", std::string(max_text_size - 2, 'b') + " "});
    ASSERT_EQ(run_to_end(quoted), exited(65));
    EXPECT_NE(quoted.err().find("8192 bytes"), std::string::npos) << quoted.err();
    EXPECT_EQ(q.waiting(), 0u);

    const std::string at_limit(max_text_size, 'c');
    process fits = run_ctl({"send", at_limit});
    ASSERT_EQ(run_to_end(fits), exited(0)) << fits.err();
    EXPECT_EQ(take_all(q), (std::vector<message>{{1, at_limit}}));
}

TEST_F(ctl, send_on_a_full_queue_fails_at_once_with_no_wait_and_else_waits_for_room_or_removal) {
    const command_queue q;
    // Two of the largest messages fill the default 16 KiB to the last byte.
    const std::string filler(8192, 'f');
    ASSERT_EQ(q.send(3, filler), 0);
    ASSERT_EQ(q.send(3, filler), 0);

    process hasty = run_ctl({"send", "--no-wait", "add", "alice"});
    ASSERT_EQ(run_to_end(hasty), exited(75));
    EXPECT_EQ(hasty.err(),
              "useraccountctl: msgsnd: Resource temporarily unavailable "
              "(the queue is full; nothing sent)\n");
    EXPECT_EQ(q.waiting(), 2u);

    process patient = run_ctl({"send", "add", "bob"});
    EXPECT_FALSE(patient.wait_exit(500ms)) << "send did not wait for room";
    ASSERT_TRUE(take_oldest(q));
    ASSERT_EQ(run_to_end(patient), exited(0)) << patient.err();
    EXPECT_EQ(take_all(q), (std::vector<message>{{3, filler}, {1, "add bob"}}));

    ASSERT_EQ(q.send(3, filler), 0);
    ASSERT_EQ(q.send(3, filler), 0);
    process stranded = run_ctl({"send", "add", "carol"});
    EXPECT_FALSE(stranded.wait_exit(300ms)) << "send did not wait for room";
    q.remove();
    ASSERT_EQ(run_to_end(stranded), exited(74));
    EXPECT_EQ(stranded.err(),
              "useraccountctl: msgsnd: Identifier removed "
              "(the queue was removed while waiting for room; nothing sent)\n");
}

TEST_F(ctl, help_and_usage_errors) {
    struct usage_case {
        std::vector<std::string> args;
        const char* problem;  // on stderr
    };
    const usage_case errors[] = {
        {{}, "no command given"},
        {{"frobnicate"}, "unknown command 'frobnicate'"},
        {{"send"}, "no words to send"},
        {{"send", "--type", "0", "x"}, "invalid type '0'"},
        {{"send", "--type", "-3", "x"}, "invalid type '-3'"},
        {{"send", "--type", "1x", "x"}, "invalid type '1x'"},
        {{"send", "--type", "99999999999999999999", "x"}, "invalid type"},
        {{"send", "--type"}, "requires an argument"},
        {{"send", "--bogus", "x"}, "unrecognized option '--bogus'"},
        {{"send", "--raw", "a", "b"}, "--raw"},
        {{"send", "--wait=0", "x"}, "invalid time '0'"},
        {{"send", "--wait=5s", "x"}, "invalid time '5s'"},
        {{"send", "--record"}, "requires an argument"},
        {{"status", "extra"}, "unexpected argument 'extra'"},
        {{"status", "-p"}, "requires an argument"},
        {{"list", "-x"}, "invalid option"},
        {{"prepare", "--owner", "0"}, "both --owner and --group are needed"},
        {{"prepare", "-o", "0", "-g", "0", "--mode", "1000"}, "invalid mode '1000'"},
        {{"prepare", "-o", "no-such-user", "-g", "0"}, "no such user: 'no-such-user'"},
        {{"stop"}, "-p PIDFILE is needed"},
        {{"stop", "-p", "/run/x.pid", "--timeout", "0"}, "invalid timeout '0'"},
        {{"save"}, "--owner is needed"},
        {{"save", "-o", "0", "--mode", "8"}, "invalid mode '8'"},
    };
    for (const usage_case& c : errors) {
        process p = run_ctl(c.args);
        EXPECT_EQ(run_to_end(p), exited(2)) << testing::PrintToString(c.args);
        EXPECT_NE(p.err().find(c.problem), std::string::npos) << p.err();
        EXPECT_NE(p.err().find("--help"), std::string::npos) << p.err();
        EXPECT_EQ(p.out(), "");
    }
    EXPECT_FALSE(queue_exists());

    const std::vector<std::vector<std::string>> helps{
        {"--help"},         {"send", "--help"}, {"send", "-h"},     {"status", "--help"},
        {"list", "--help"}, {"prepare", "-h"},  {"stop", "--help"}, {"save", "-h"}};
    for (const auto& args : helps) {
        process p = run_ctl(args);
        EXPECT_EQ(run_to_end(p), exited(0)) << testing::PrintToString(args);
        EXPECT_EQ(p.out().rfind("Usage: useraccountctl", 0), 0u) << p.out();
        if (args.size() == 2) {
            EXPECT_NE(p.out().find("useraccountctl " + args[0]), std::string::npos) << p.out();
        }
        EXPECT_EQ(p.err(), "");
    }
}

// Whoever sends: a queue made by a sender would be open to everyone, or its
// sender's to read and remove.
TEST_F(ctl, status_list_and_send_of_a_missing_queue_create_nothing) {
    process send = run_ctl_as(as_nobody, {"send", "add", "mallory"});
    EXPECT_EQ(run_to_end(send), exited(69));
    process root_send = run_ctl({"send", "add", "alice"});
    EXPECT_EQ(run_to_end(root_send), exited(69));
    for (const process* p : {&send, &root_send}) {
        EXPECT_EQ(p->err(),
                  "useraccountctl: no command queue: the useraccountd service has not prepared "
                  "the queue yet (it does when it starts); nothing sent\n");
    }

    process status = run_ctl({"status"});
    EXPECT_EQ(run_to_end(status), exited(1));
    EXPECT_EQ(field(status.out(), "queue").rfind("none (key 0x", 0), 0u) << status.out();

    process list = run_ctl({"list"});
    EXPECT_EQ(run_to_end(list), exited(1));
    EXPECT_EQ(list.err().rfind("useraccountctl: msgget: No such file or directory", 0), 0u)
        << list.err();
    EXPECT_FALSE(queue_exists());

    unlink(queue_key_file);
    process no_key = run_ctl({"status"});
    EXPECT_EQ(run_to_end(no_key), exited(1));
    EXPECT_EQ(no_key.err().rfind("useraccountctl: ftok: No such file or directory", 0), 0u)
        << no_key.err();
    process no_key_send = run_ctl({"send", "add", "alice"});
    EXPECT_EQ(run_to_end(no_key_send), exited(72));
    EXPECT_EQ(no_key_send.err(), "useraccountctl: key file " + std::string(queue_key_file) +
                                     ": No such file or directory (is useraccountd installed?); "
                                     "nothing sent\n");
}

TEST_F(ctl, status_counts_messages_and_bytes_and_names_the_last_send_and_receive) {
    const command_queue q;
    process empty = run_ctl({"status"});
    ASSERT_EQ(run_to_end(empty), exited(0)) << empty.err();
    EXPECT_EQ(field(empty.out(), "queue").rfind("exists", 0), 0u) << empty.out();
    EXPECT_EQ(field(empty.out(), "id"), std::to_string(q.id()));
    EXPECT_EQ(field(empty.out(), "owner"), "user 0 (root), group 0 (root)");
    EXPECT_EQ(field(empty.out(), "permissions"), "0666");
    EXPECT_EQ(field(empty.out(), "messages"), "0");
    EXPECT_EQ(field(empty.out(), "bytes"), "0 of 16384");
    EXPECT_EQ(field(empty.out(), "last send"), "never");
    EXPECT_EQ(field(empty.out(), "last receive"), "never");

    process sender = run_ctl({"send", "--type", "2", "hello"});
    ASSERT_EQ(run_to_end(sender), exited(0));
    ASSERT_EQ(q.send(1, "add alice"), 0);
    ASSERT_EQ(q.send(7, std::string(100, 'z')), 0);
    ASSERT_EQ(q.send(1, "x"), 0);
    ASSERT_TRUE(take_oldest(q));

    process busy = run_ctl({"status"});
    ASSERT_EQ(run_to_end(busy), exited(0)) << busy.err();
    EXPECT_EQ(field(busy.out(), "messages"), "3");
    EXPECT_EQ(field(busy.out(), "bytes"), "110 of 16384");
    const std::string by_us = " by pid " + std::to_string(getpid());
    const std::string send = field(busy.out(), "last send");
    const std::string receive = field(busy.out(), "last receive");
    EXPECT_NE(send.find(by_us), std::string::npos) << send;
    EXPECT_NE(receive.find(by_us), std::string::npos) << receive;
    EXPECT_EQ(send.rfind("20", 0), 0u) << "a date: " << send;
}

TEST_F(ctl, status_names_the_process_holding_the_pid_file_lock) {
    const command_queue q;
    process missing = run_ctl({"status", "-p", "/run/none.pid"});
    ASSERT_EQ(run_to_end(missing), exited(0)) << missing.err();
    EXPECT_EQ(field(missing.out(), "daemon"), "not running (no PID file)");

    write_file("/run/stale.pid", "4242\n");
    process stale = run_ctl({"status", "--pid_file", "/run/stale.pid"});
    ASSERT_EQ(run_to_end(stale), exited(0)) << stale.err();
    EXPECT_EQ(field(stale.out(), "pid file"), "/run/stale.pid");
    EXPECT_EQ(field(stale.out(), "daemon"), "not running (no process holds the lock)");
    EXPECT_EQ(field(stale.out(), "pid in file"), "4242");

    const std::string pid_file = "/run/useraccountd.pid";
    process starter = start_daemon({"-d", "-p", pid_file});
    ASSERT_EQ(run_to_end(starter), exited(0)) << starter.err();
    std::string pid_text;
    ASSERT_TRUE(wait_until(
        [&] {
            pid_text = read_file(pid_file);
            return !pid_text.empty() && pid_text.back() == '\n';
        },
        10s));
    pid_text.pop_back();
    process running = run_ctl({"status", "-p", pid_file});
    ASSERT_EQ(run_to_end(running), exited(0)) << running.err();
    EXPECT_EQ(field(running.out(), "daemon"), "running, pid " + pid_text + " holds the lock");
    EXPECT_EQ(field(running.out(), "pid in file"), pid_text);

    // The kernel drops the lock with its holder, whatever is left in the file.
    ASSERT_EQ(kill(std::stoi(pid_text), SIGKILL), 0);
    std::string after;
    EXPECT_TRUE(wait_until(
        [&] {
            process gone = run_ctl({"status", "-p", pid_file});
            run_to_end(gone);
            after = field(gone.out(), "daemon");
            return after == "not running (no process holds the lock)";
        },
        10s))
        << after;
}

// With the package's policy the service user receives, the sender group
// sends, and nobody else may use, empty, re-permission or remove the queue:
// not even members of root's group, which would otherwise be the creator
// group that the kernel grants the group bits as well.
TEST_F(ctl, prepared_queue_takes_messages_from_its_group_only_and_is_nobody_elses_to_change) {
    const std::vector<std::string> prepare{"prepare", "--owner", service_uid, "--group",
                                           sender_gid};
    process created = run_ctl(prepare);
    ASSERT_EQ(run_to_end(created), exited(0)) << created.err();
    EXPECT_EQ(created.out().rfind("created queue ", 0), 0u) << created.out();
    process again = run_ctl(prepare);
    ASSERT_EQ(run_to_end(again), exited(0)) << again.err();
    EXPECT_NE(again.out().find(" already so: owner 423, group 4242, mode 0620"), std::string::npos)
        << again.out();

    const command_queue q;
    const msqid_ds prepared = stat_of(q);
    expect_prepared(prepared);

    process member = run_ctl_as(as_sender, {"send", "add", "alice"});
    EXPECT_EQ(run_to_end(member), exited(0)) << member.err();
    for (const auto& identity : {as_nobody, as_root_member}) {
        process outsider = run_ctl_as(identity, {"send", "add", "mallory"});
        EXPECT_EQ(run_to_end(outsider), exited(77)) << testing::PrintToString(identity);
        EXPECT_EQ(outsider.err().rfind("useraccountctl: msgsnd: Permission denied", 0), 0u)
            << outsider.err();
    }

    const int id = q.id();
    EXPECT_EQ(errno_as_nobody([id] {
                  queue_message m{1, "add mallory"};
                  return msgsnd(id, &m, 11, IPC_NOWAIT);
              }),
              EACCES);
    EXPECT_EQ(errno_as_nobody([id] {
                  queue_message m{};
                  return static_cast<int>(msgrcv(id, &m, max_text_size, 0, IPC_NOWAIT));
              }),
              EACCES);
    EXPECT_EQ(errno_as_nobody([id] {
                  msqid_ds ds{};
                  ds.msg_perm.uid = 65534;
                  ds.msg_perm.mode = 0666;
                  return msgctl(id, IPC_SET, &ds);
              }),
              EPERM);
    EXPECT_EQ(errno_as_nobody([id] { return msgctl(id, IPC_RMID, nullptr); }), EPERM);

    const msqid_ds after = stat_of(q);
    EXPECT_EQ(after.msg_perm.uid, 423u);
    EXPECT_EQ(after.msg_perm.mode & 0777u, 0620u);
    EXPECT_EQ(after.msg_qbytes, prepared.msg_qbytes);
    EXPECT_EQ(take_all(q), (std::vector<message>{{1, "add alice"}}));
}

std::string key_text() {
    char text[16];
    snprintf(text, sizeof text, "0x%08x",
             static_cast<unsigned>(ftok(queue_key_file, queue_project_id)));
    return text;
}

// Every queue in the sandbox, as the kernel lists them: id and creator.
std::vector<std::pair<int, uid_t>> all_queues() {
    std::vector<std::pair<int, uid_t>> found;
    std::istringstream table(read_file("/proc/sysvipc/msg"));
    std::string line;
    std::getline(table, line);  // column names
    while (std::getline(table, line)) {
        std::istringstream row(line);
        long key = 0;
        int id = 0;
        std::string skip;
        uid_t cuid = 0;
        row >> key >> id >> skip >> skip >> skip >> skip >> skip >> skip >> skip >> cuid;
        found.emplace_back(id, cuid);
    }
    return found;
}

// The entries useraccountctl logged, each message on its own.
std::vector<std::string> ctl_log(syslog_capture& log) {
    std::vector<std::string> messages;
    for (const log_entry& e : log.entries()) {
        if (e.ident == "useraccountctl") {
            messages.push_back(e.message);
        }
    }
    return messages;
}

// A queue that an ordinary user created before the service ("squatted") is
// theirs to control whatever owner they gave it: prepare removes it, with
// what they put on it, and creates the service's own.
TEST_F(ctl, prepare_replaces_a_queue_someone_else_created) {
    ASSERT_EQ(errno_as_nobody([] {
                  const int id = msgget(ftok(queue_key_file, queue_project_id), IPC_CREAT | 0666);
                  queue_message m{1, "add mallory"};
                  msqid_ds ds{};
                  if (id == -1 || msgsnd(id, &m, 11, 0) == -1 || msgsnd(id, &m, 11, 0) == -1 ||
                      msgctl(id, IPC_STAT, &ds) == -1) {
                      return -1;
                  }
                  ds.msg_perm.uid = 423;
                  return msgctl(id, IPC_SET, &ds);
              }),
              0);
    const int squatted = command_queue().id();
    // Nothing goes to a queue that root did not create, nor to one of root's
    // that an ordinary user owns, whoever sends: the queue's id is named.
    const auto expect_send_refused = [](int id, const std::string& why) {
        process root = run_ctl({"send", "add", "alice"});
        process member = run_ctl_as(as_sender, {"send", "add", "alice"});
        for (process* p : {&root, &member}) {
            EXPECT_EQ(run_to_end(*p), exited(76)) << p->err();
            EXPECT_EQ(p->err(), "useraccountctl: queue " + std::to_string(id) + why +
                                    " can read what is sent to it; nothing sent\n");
        }
    };
    expect_send_refused(squatted,
                        " was created by 65534 (nobody), not by root: it is not the service's, "
                        "and its creator");
    process status = run_ctl({"status"});
    ASSERT_EQ(run_to_end(status), exited(0)) << status.err();
    EXPECT_EQ(field(status.out(), "creator").rfind("user 65534 (nobody), group 65534", 0), 0u)
        << status.out();
    EXPECT_EQ(field(status.out(), "owner").rfind("user 423, group 65534", 0), 0u) << status.out();
    EXPECT_EQ(count_of(status.out(), "\nwarning:"), 3u) << status.out();
    EXPECT_NE(
        status.out().find("created by user 65534 (nobody), who is neither root nor its owner"),
        std::string::npos)
        << status.out();

    process p = run_ctl({"prepare", "--owner", service_uid, "--group", sender_gid});
    EXPECT_EQ(run_to_end(p), exited(0)) << p.err();
    EXPECT_EQ(p.err(), "");
    const std::string removed = "removed queue " + std::to_string(squatted) + " (key " +
                                key_text() +
                                "), created by uid 65534 (nobody), who is neither root nor 423: "
                                "2 message(s) on it discarded unread";
    EXPECT_TRUE(p.out().starts_with(removed + "\ncreated queue ")) << p.out();
    EXPECT_EQ(ctl_log(system_log()), std::vector<std::string>{removed});

    const command_queue q;
    EXPECT_NE(q.id(), squatted);
    expect_prepared(stat_of(q));
    EXPECT_EQ(q.waiting(), 0u);
    EXPECT_EQ(all_queues(), (std::vector<std::pair<int, uid_t>>{{q.id(), 0}}));
    msqid_ds given = stat_of(q);
    given.msg_perm.uid = 4243;
    ASSERT_EQ(msgctl(q.id(), IPC_SET, &given), 0);
    expect_send_refused(q.id(),
                        " is owned by 4243, neither root nor a system account: it is not the "
                        "service's, and its owner");
    EXPECT_EQ(q.waiting(), 0u);

    // The system's table of queues filled by one user: the kernel refuses a
    // new queue, and prepare says who holds the most.
    q.remove();
    write_file("/proc/sys/kernel/msgmni", "2\n");
    ASSERT_EQ(errno_as_nobody([] { return msgget(IPC_PRIVATE, 0600) | msgget(IPC_PRIVATE, 0600); }),
              0);
    process full = run_ctl({"prepare", "--owner", service_uid, "--group", sender_gid});
    EXPECT_EQ(run_to_end(full), exited(1));
    EXPECT_EQ(full.err(), "useraccountctl: msgget: No space left on device\n");
    EXPECT_NE(full.out().find("(kernel.msgmni is 2; 2 queues exist; the users who created the "
                              "most: uid 65534 (nobody): 2)"),
              std::string::npos)
        << full.out();
}

// What waits on a queue that any local user could write may come from
// anyone: prepare closes it and discards that, unread; the service user's own
// queue, as its daemon creates it, is no squatter's. A queue as earlier
// versions left it (root's group as its creator group, which the kernel
// grants the group bits too) is made anew; what its owner and group sent
// moves over, in order, types, texts and byte limit unchanged, kept in the
// saved-commands file meanwhile.
TEST_F(ctl, prepare_discards_what_anyone_could_send_and_moves_what_the_group_sent) {
    const std::vector<std::string> prepare{"prepare", "--owner", service_uid, "--group",
                                           sender_gid};
    ASSERT_EQ(
        errno_as_nobody(
            [] { return msgget(ftok(queue_key_file, queue_project_id), IPC_CREAT | 0666); }, 423),
        0);
    const int open_id = command_queue().id();
    ASSERT_EQ(errno_as_nobody([open_id] {
                  queue_message m{1, "add mallory"};
                  return msgsnd(open_id, &m, 11, IPC_NOWAIT);
              }),
              0);
    process tightened = run_ctl(prepare);
    ASSERT_EQ(run_to_end(tightened), exited(0)) << tightened.err();
    const std::string discarded = "discarded 1 message(s) unread from queue " +
                                  std::to_string(open_id) + " (key " + key_text() +
                                  "): its mode 0666 let any local user send";
    EXPECT_TRUE(tightened.out().starts_with(discarded + "\n")) << tightened.out();
    EXPECT_EQ(tightened.out().find("removed queue"), std::string::npos) << tightened.out();
    EXPECT_EQ(ctl_log(system_log()).at(0), discarded);
    {
        const command_queue q;
        EXPECT_EQ(q.waiting(), 0u);
        EXPECT_EQ(stat_of(q).msg_perm.cgid, 4242u);
        q.remove();
    }

    const key_t key = ftok(queue_key_file, queue_project_id);
    const int old_id = msgget(key, IPC_CREAT | IPC_EXCL | 0620);
    ASSERT_NE(old_id, -1);
    msqid_ds old{};
    ASSERT_EQ(msgctl(old_id, IPC_STAT, &old), 0);
    old.msg_perm.uid = 423;
    old.msg_perm.gid = 4242;
    old.msg_qbytes = 12288;
    ASSERT_EQ(msgctl(old_id, IPC_SET, &old), 0);
    process member = run_ctl_as(as_sender, {"send", "add", "alice"});
    ASSERT_EQ(run_to_end(member), exited(0)) << member.err();
    const std::vector<message> sent{
        {1, "add alice"},
        {7, std::string("\0\xff\xc2\x9b\n", 5)},
        {2, ""},
        {3, std::string(8192, 'm')},  // the system's largest, more than the daemon takes
        {largest_type, "n"},
    };
    const command_queue old_queue;
    for (std::size_t i = 1; i < sent.size(); ++i) {
        ASSERT_EQ(old_queue.send(sent[i].type, sent[i].text), 0);
    }

    process moved = run_ctl(prepare);
    ASSERT_EQ(run_to_end(moved), exited(0)) << moved.err();
    const command_queue q;
    EXPECT_NE(q.id(), old_id);
    const msqid_ds now = stat_of(q);
    expect_prepared(now);
    EXPECT_EQ(now.msg_qbytes, 12288u);
    EXPECT_EQ(all_queues(), (std::vector<std::pair<int, uid_t>>{{q.id(), 0}}))
        << "the queue that held the messages is gone";
    EXPECT_EQ(moved.out(), "queue " + std::to_string(old_id) + " (key " + key_text() +
                               ") has creator group 0 (root), not 4242, which the kernel cannot "
                               "change: creating it anew; its 5 message(s) wait in " +
                               saved_file + " meanwhile\nmoved 5 message(s) from queue " +
                               std::to_string(old_id) + " to queue " + std::to_string(q.id()) +
                               ", in order\ncreated queue " + std::to_string(q.id()) + " (key " +
                               key_text() + "): owner 423, group 4242, mode 0620\n");
    EXPECT_EQ(take_all(q), sent);
    EXPECT_FALSE(file_exists(saved_file));
}

// The saved-commands file as a test writes it: these messages, saved in
// another boot (after a reboot, the queue is gone), in the format of this
// version or of 1.2.0, which an upgrade must still read.
void write_saved_in_another_boot(const std::vector<message>& messages, bool version_1 = false) {
    std::string text = std::string("useraccountd saved commands ") + (version_1 ? "1" : "2") +
                       "\nboot 00000000-0000-4000-8000-000000000000\nsaved 1796000000.5\n" +
                       (version_1 ? "" : "state saved\n") + "count " +
                       std::to_string(messages.size()) + "\n";
    for (const message& m : messages) {
        text += "message " + std::to_string(m.type) + " " + std::to_string(m.text.size()) + "\n" +
                m.text + "\n";
    }
    mkdir("/var/lib/useraccountd", 0700);
    write_file(saved_file, text + "end\n", 0600);
}

// A stop saves what waits, with the boot's id, in a file of root's. A start
// in the same boot finds it still on the queue and discards the copy; one
// after a reboot (another id, an empty IPC namespace) puts it back, from a
// file of this version or of 1.2.0. A file that is not root's alone (a link
// planted in its place, a second name) is never read nor written through;
// the queue is prepared all the same.
TEST_F(ctl, prepare_puts_back_what_was_saved_before_a_reboot_and_only_from_roots_own_file) {
    const std::vector<std::string> prepare{"prepare", "--owner", service_uid, "--group",
                                           sender_gid};
    const std::vector<std::string> save{"save", "--owner", service_uid};
    process created = run_ctl(prepare);
    ASSERT_EQ(run_to_end(created), exited(0)) << created.err();
    const std::vector<message> sent{
        {1, "add alice"}, {7, std::string("\0\xff\nend", 6)}, {1, std::string(8192, 's')}};
    for (const message& m : sent) {
        ASSERT_EQ(command_queue().send(m.type, m.text), 0);
    }
    process restart_save = run_ctl(save);
    ASSERT_EQ(run_to_end(restart_save), exited(0)) << restart_save.err();
    EXPECT_TRUE(restart_save.out().starts_with("saved 3 waiting command(s) to " + saved_file))
        << restart_save.out();
    struct stat st {};
    ASSERT_EQ(stat(saved_file.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 07777u, 0600u);
    process restart = run_ctl(prepare);
    ASSERT_EQ(run_to_end(restart), exited(0)) << restart.err();
    EXPECT_TRUE(restart.out().starts_with("discarded the copy of 3 command(s) saved at "))
        << restart.out();
    EXPECT_FALSE(file_exists(saved_file));
    EXPECT_EQ(command_queue().waiting(), 3u) << "a restart keeps them on the queue, once";

    for (const bool version_1 : {false, true}) {
        SCOPED_TRACE(version_1 ? "saved by 1.2.0" : "saved by this version");
        command_queue::remove_existing();
        write_saved_in_another_boot(sent, version_1);
        process reboot = run_ctl(prepare);
        ASSERT_EQ(run_to_end(reboot), exited(0)) << reboot.err();
        EXPECT_TRUE(reboot.out().starts_with("restored 3 command(s) saved at ")) << reboot.out();
        EXPECT_FALSE(file_exists(saved_file));
        const command_queue q;
        expect_prepared(stat_of(q));
        EXPECT_EQ(take_all(q), sent);
    }

    const command_queue q;
    ASSERT_EQ(symlink("/quex/elsewhere", saved_file.c_str()), 0);
    ASSERT_EQ(q.send(1, "add planted"), 0);
    process refused_save = run_ctl(save);
    EXPECT_EQ(run_to_end(refused_save), exited(1));
    EXPECT_EQ(refused_save.out(), saved_file + ": a symbolic link; waiting commands not saved\n");
    process refused_restore = run_ctl(prepare);
    EXPECT_EQ(run_to_end(refused_restore), exited(0)) << refused_restore.err();
    EXPECT_TRUE(refused_restore.out().starts_with(
        saved_file + ": a symbolic link; saved commands not restored, the file left as it is\n"))
        << refused_restore.out();
    EXPECT_FALSE(file_exists("/quex/elsewhere"));
    EXPECT_EQ(take_all(q), (std::vector<message>{{1, "add planted"}}));

    unlink(saved_file.c_str());
    write_saved_in_another_boot({{1, "add linked"}});
    ASSERT_EQ(link(saved_file.c_str(), "/var/lib/useraccountd/second-name"), 0);
    process linked = run_ctl(prepare);
    EXPECT_EQ(run_to_end(linked), exited(0)) << linked.err();
    EXPECT_TRUE(linked.out().starts_with(saved_file + ": Operation not permitted; saved "
                                                      "commands not restored"))
        << linked.out();
    EXPECT_EQ(q.waiting(), 0u);
    EXPECT_TRUE(file_exists(saved_file));
}

// prepare killed at each step of its custody, as root and with commands
// saved before a reboot and two more waiting on a queue of another creator
// group (as 1.2.0 left it): the unit's save runs after the failed start, a
// second start is killed at the same step of its own, and a sender sends
// meanwhile. The start that runs to its end leaves every command on the
// queue, once, in order: none lost, none that could be served twice.
TEST_F(ctl, prepare_killed_at_any_step_loses_no_command_and_puts_none_twice) {
    const std::vector<std::string> prepare{"prepare", "--owner", service_uid, "--group",
                                           sender_gid};
    const std::vector<message> saved{
        {1, "add saved-1"}, {7, std::string("\0\n", 2)}, {1, "add saved-2"}};
    const std::vector<message> waiting{{1, "add waiting-1"}, {1, "add waiting-2"}};
    const auto killed_at = [&](int step) {
        setenv("USERACCOUNTCTL_KILL_AT", std::to_string(step).c_str(), 1);
        process p = run_built(USERACCOUNTCTL_KILL_TEST_PATH, "useraccountctl", prepare);
        const exit_status status = run_to_end(p);
        unsetenv("USERACCOUNTCTL_KILL_AT");
        if (status == killed_by(SIGKILL)) {
            process after_failed_start = run_ctl({"save", "--owner", service_uid});
            EXPECT_EQ(run_to_end(after_failed_start), exited(0)) << after_failed_start.err();
        }
        return status;
    };
    int step = 1;
    for (;; ++step) {
        SCOPED_TRACE("killed at step " + std::to_string(step));
        command_queue::remove_existing();
        write_saved_in_another_boot(saved);
        const int old_id = msgget(ftok(queue_key_file, queue_project_id), IPC_CREAT | 0620);
        msqid_ds old{};
        ASSERT_EQ(msgctl(old_id, IPC_STAT, &old), 0);
        old.msg_perm.uid = 423;
        old.msg_perm.gid = 4242;
        ASSERT_EQ(msgctl(old_id, IPC_SET, &old), 0);
        for (const message& m : waiting) {
            ASSERT_EQ(command_queue().send(m.type, m.text), 0);
        }

        const exit_status first = killed_at(step);
        process late = run_ctl_as(as_sender, {"send", "--no-wait", "add", "late"});
        const exit_status sent_late = run_to_end(late);
        EXPECT_TRUE(sent_late == exited(0) || sent_late == exited(69)) << late.err();
        if (first == killed_by(SIGKILL)) {
            killed_at(step);
        }
        process full = run_ctl({"prepare", "--owner", service_uid, "--group", sender_gid});
        ASSERT_EQ(run_to_end(full), exited(0)) << full.err() << full.out();

        const command_queue q;
        expect_prepared(stat_of(q));
        std::vector<message> expected = saved;
        expected.insert(expected.end(), waiting.begin(), waiting.end());
        if (sent_late == exited(0)) {
            expected.push_back({1, "add late"});
        }
        EXPECT_EQ(take_all(q), expected);
        EXPECT_EQ(all_queues(), (std::vector<std::pair<int, uid_t>>{{q.id(), 0}}));
        EXPECT_FALSE(file_exists(saved_file));
        if (first == exited(0)) {
            break;
        }
        ASSERT_EQ(first, killed_by(SIGKILL));
    }
    EXPECT_GE(step, 12) << "steps: load, close, keep, create, name, five sends, set up, forget";
}

TEST_F(ctl, list_shows_every_message_oldest_first_and_leaves_them_in_place) {
    const command_queue q;
    process empty = run_ctl({"list"});
    ASSERT_EQ(run_to_end(empty), exited(0)) << empty.err();
    EXPECT_EQ(empty.out(), "no messages waiting\n");

    const std::vector<message> sent{
        {1, "add alice"},
        {7, std::string("tab\there\nnl \\ \x01\x7f\xff nul\0end", 25)},
        {2, ""},
        {3, std::string(8192, 'o')},  // more than the daemon takes
    };
    for (const message& m : sent) {
        ASSERT_EQ(q.send(m.type, m.text), 0);
    }
    process list = run_ctl({"list"});
    ASSERT_EQ(run_to_end(list), exited(0)) << list.err();
    EXPECT_EQ(list.out(),
              "POSITION TYPE       SIZE   TEXT\n"
              "0        1          9      add alice\n"
              "1        7          25     tab\\there\\nnl \\\\ \\x01\\x7f\\xff nul\\x00end\n"
              "2        2          0      \n"
              "3        3          8192   " +
                  std::string(8192, 'o') + "\n");
    EXPECT_EQ(list.err(), "");

    EXPECT_EQ(q.waiting(), sent.size());
    EXPECT_EQ(take_all(q), sent);
}

// send --wait reads the command's own line in the outcome record: the first
// with its type and text written after the send, across a rotation.
TEST_F(ctl, the_daemon_serves_what_send_queued_and_send_wait_reads_its_outcome) {
    const command_queue q;
    const words first{"add", "John Smith"};
    const words second{"delete", "$(touch /quex/escaped)", "; id"};
    for (const words& w : {first, second}) {
        std::vector<std::string> args{"send"};
        args.insert(args.end(), w.begin(), w.end());
        process p = run_ctl(args);
        ASSERT_EQ(run_to_end(p), exited(0)) << p.err();
    }
    process list = run_ctl({"list"});
    ASSERT_EQ(run_to_end(list), exited(0)) << list.err();
    EXPECT_NE(list.out().find("add 'John Smith'"), std::string::npos) << list.out();

    // An outcome that cannot be read is known before anything is sent.
    process unreadable = run_ctl({"send", "--wait", "--record", "/quex/missing/outcomes", "x"});
    EXPECT_EQ(run_to_end(unreadable), exited(66));
    EXPECT_EQ(unreadable.err(),
              "useraccountctl: outcome record /quex/missing/outcomes: No such file or directory; "
              "nothing sent\n");
    EXPECT_EQ(q.waiting(), 2u);

    mkdir("/quex/record", 0750);
    const std::string record = "/quex/record/outcomes";
    const std::vector<std::string> daemon_args{"-c", write_conf("0\n"), "-r", record};
    std::optional<process> daemon;
    daemon.emplace(start_daemon(daemon_args));
    ASSERT_TRUE(wait_for_runs(2, 20s)) << daemon->err();
    const auto served = runs();
    ASSERT_EQ(served.size(), 2u);
    EXPECT_EQ(served[0].args, first);
    EXPECT_EQ(served[1].args, second);
    EXPECT_FALSE(file_exists("/quex/escaped"));

    // wait(args, status): send --wait=20 with the record; its line on stdout.
    const auto wait = [&](const std::vector<std::string>& args, int status) {
        std::vector<std::string> argv{"send", "--wait=20", "--record", record};
        argv.insert(argv.end(), args.begin(), args.end());
        process p = run_ctl(argv);
        EXPECT_EQ(run_to_end(p), exited(status)) << testing::PrintToString(args) << p.err();
        const std::string out = p.out();
        return out.substr(out.find('\t') + 1);  // the time apart
    };
    // The earlier line of the same text (succeeded) is not this command's.
    set_script_exit(3);
    EXPECT_EQ(wait({"add", "John Smith"}, 3), "1\tfailed\t3\tadd 'John Smith'\n");
    set_script_exit(0);
    EXPECT_EQ(wait({"--raw", "add 'open"}, 4),
              "1\trefused\tunterminated single quote\tadd 'open\n");
    EXPECT_EQ(wait({"--type", "2", "add", "tab\there"}, 0), "2\tignored\t\tadd 'tab\\there'\n");

    // The daemon stopped: nothing comes within the time given.
    daemon.reset();
    process late = run_ctl({"send", "--wait=1", "--record", record, "add", "late"});
    EXPECT_EQ(run_to_end(late), exited(6));
    EXPECT_EQ(late.err(), "useraccountctl: no outcome in " + record +
                              " within 1 s; the command was sent and may still run\n");

    // A line counts once its newline is there, and one cut back, as the
    // daemon takes back a line it could not write whole, is gone.
    process partial =
        run_ctl({"send", "--wait=5", "--record", record, "--type", "2", "add", "partial"});
    ASSERT_FALSE(partial.wait_exit(300ms)) << partial.err();
    const auto append = [&record](const std::string& text) {
        const int fd = open(record.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        return fd != -1 &&
               write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
               close(fd) == 0;
    };
    const off_t whole = static_cast<off_t>(read_file(record).size());
    const std::string line = "2026-12-08T00:00:00.000000Z\t2\tignored\t\tadd partial";
    ASSERT_TRUE(append(line + "ly"));
    EXPECT_FALSE(partial.wait_exit(500ms)) << "took a line before its newline: " << partial.out();
    ASSERT_EQ(truncate(record.c_str(), whole), 0);
    ASSERT_TRUE(append(line + "\n"));
    EXPECT_EQ(run_to_end(partial), exited(0)) << partial.err();
    EXPECT_EQ(partial.out(), line + "\n");

    // Rotated while send waits: the line comes in the new file.
    process rotated = run_ctl({"send", "--wait", "--record", record, "add", "rotated"});
    EXPECT_FALSE(rotated.wait_exit(300ms)) << rotated.err();
    ASSERT_EQ(rename(record.c_str(), (record + ".1").c_str()), 0);
    daemon.emplace(start_daemon(daemon_args));
    EXPECT_EQ(run_to_end(rotated), exited(0)) << rotated.err();
    EXPECT_NE(rotated.out().find("\t1\tsucceeded\t0\tadd rotated\n"), std::string::npos);
    EXPECT_NE(read_file(record).find("\tadd late\n"), std::string::npos);

    // Its daemon killed while the command runs: the next start tells it.
    set_script_sleep(1);
    process orphan = run_ctl({"send", "--wait=30", "--record", record, "add", "orphan"});
    ASSERT_TRUE(wait_until([&] { return runs_started() == 6; }, 20s));
    daemon->signal(SIGKILL);
    ASSERT_TRUE(wait_for_runs(6, 20s));
    daemon.emplace(start_daemon(daemon_args));
    EXPECT_EQ(run_to_end(orphan), exited(5)) << orphan.err();
    EXPECT_NE(orphan.out().find("\tunknown\tits daemon ended while it ran\tadd orphan\n"),
              std::string::npos)
        << orphan.out();
}

}  // namespace
}  // namespace blackbox
