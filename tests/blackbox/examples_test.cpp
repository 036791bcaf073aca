// The sender examples that are installed for integrators (C, Python, Perl,
// PHP), each run as a program of theirs would run: as a member of the sender
// group who is not root, against the queue as the service prepares it and
// the outcome record where the unit has the real daemon write it; and what
// they learn from that record, with useraccountctl send --wait beside them.
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <list>
#include <optional>
#include <string>
#include <vector>

#include "command_queue.h"
#include "harness.h"

namespace blackbox {
namespace {

using examples = sandbox_test;
using words = std::vector<std::string>;

// Stand-ins for the service user, a system account (an id below 1000), and
// the sender group: ids with no name.
const std::string service_uid = "423";
const std::string sender_gid = "4242";
const words as_sender{"--reuid", "65534", "--regid", "65534", "--groups", sender_gid};
const words as_nobody{"--reuid", "65534", "--regid", "65534", "--clear-groups"};

const std::string record_dir = "/var/log/useraccountd";
const std::string record = record_dir + "/outcomes.log";

struct example {
    const char* language;
    words command;  // the interpreter or emulator, if any, and the program
};

// Installed as a package installs them, readable by everyone: the sandbox
// shows the source and build trees to root only.
const std::vector<example>& all_examples() {
    static const std::vector<example> all = [] {
        const std::string dir = "/tmp/examples";
        std::filesystem::create_directories(dir);
        write_file(dir + "/send-command", read_file(SEND_COMMAND_C_PATH), 0755);
        for (const char* name : {"send-command.py", "send-command.pl", "send-command.php"}) {
            write_file(dir + "/" + name, read_file(std::string(EXAMPLES_DIR) + "/" + name));
        }
        std::vector<example> senders{
            {"C", built_program(dir + "/send-command")},
            {"Python", {"/usr/bin/python3", dir + "/send-command.py"}},
            {"Perl", {"/usr/bin/perl", dir + "/send-command.pl"}},
            {"PHP", {"/usr/bin/php", dir + "/send-command.php"}},
        };
#ifdef SEND_COMMAND_C_M32_PATH
        // A sender whose long is 4 bytes, beside this build's 64-bit daemon.
        write_file(dir + "/send-command-m32", read_file(SEND_COMMAND_C_M32_PATH), 0755);
        words m32 SEND_COMMAND_C_M32_EMULATOR;
        m32.push_back(dir + "/send-command-m32");
        senders.push_back({"C for i386", m32});
#endif
        return senders;
    }();
    return all;
}

words setpriv_argv(const example& e, const words& identity, const words& args) {
    words argv{"setpriv"};
    argv.insert(argv.end(), identity.begin(), identity.end());
    argv.insert(argv.end(), e.command.begin(), e.command.end());
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

process run_example(const example& e, const words& identity, const words& args) {
    return process("/usr/bin/setpriv", setpriv_argv(e, identity, args));
}

exit_status run_to_end(process& p) {
    const auto status = p.wait_exit(20s);
    return status ? *status : killed_by(0);
}

// Whether the sender has come to wait for room on the full queue, in the
// kernel's do_msgsnd whatever its language or architecture: a sender still
// starting would miss a signal sent to it there.
::testing::AssertionResult waits_for_room(process& p) {
    const std::string wchan = "/proc/" + std::to_string(p.pid()) + "/wchan";
    const auto waiting = [&] { return read_file(wchan) == "do_msgsnd"; };
    wait_until([&] { return waiting() || p.wait_exit(0ms).has_value(); }, 20s);
    if (waiting()) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "did not wait for room: " << p.err();
}

// The queue and the record's directory as the unit prepares them: the
// record readable by the sender group.
void prepare_service() {
    process p = run_ctl({"prepare", "--owner", service_uid, "--group", sender_gid});
    ASSERT_EQ(run_to_end(p), exited(0)) << p.err();
    std::filesystem::create_directories(record_dir);
    ASSERT_EQ(chown(record_dir.c_str(), 0, 4242), 0);
    ASSERT_EQ(chmod(record_dir.c_str(), 02750), 0);
}

// The daemon as the unit runs it, with the outcome record.
process start_recording_daemon() {
    return start_daemon({"-c", conf_path, "-r", record});
}

bool queue_exists() {
    const key_t key = ftok(queue_key_file, queue_project_id);
    return key != -1 && msgget(key, 0) != -1;
}

TEST_F(examples, each_hands_the_script_exactly_its_words_and_prints_their_line) {
    prepare_service();
    write_conf("0\n");
    process daemon = start_recording_daemon();
    const words sent{"add",
                     "John Smith",
                     "it's",
                     "'",
                     "say \"hi\"",
                     "$(touch /quex/escaped) `id` $HOME ~ * ;",
                     "back\\slash\\",
                     "",
                     "  blanks  ",
                     "tab\there",
                     "new\nline\r",
                     "J\xc3\xbcrgen",
                     "\xe2\x80\xae\xc2\x9b\x9b\x7f",
                     "-n"};
    // The longest word that fits beside 'add': 8183 bytes, a text of 8191
    // once quoted.
    const words longest{"add", std::string(max_text_size - 8, 'x')};
    std::vector<words> expected;
    for (const example& e : all_examples()) {
        for (const words& w : {sent, longest}) {
            process p = run_example(e, as_sender, w);
            EXPECT_EQ(run_to_end(p), exited(0)) << e.language << ": " << p.err();
            EXPECT_EQ(p.err(), "") << e.language;
            EXPECT_NE(p.out().find("\t1\tsucceeded\t0\t"), std::string::npos) << e.language;
            expected.push_back(w);
        }
    }
    // Perl told to decode its arguments still sends the bytes it was given,
    // and counts them: one more byte is over the limit.
    words encoded{"add", "J\xc3\xbcrgen", "\xe4\xb8\xad", std::string(8167, 'e')};
    const example decoding{
        "Perl -CA",
        {"/usr/bin/env", "PERL_UNICODE=A", "/usr/bin/perl", all_examples()[2].command[1]}};
    process perl = run_example(decoding, as_sender, encoded);
    EXPECT_EQ(run_to_end(perl), exited(0)) << perl.err();
    expected.push_back(encoded);
    encoded.back() += 'e';
    process over = run_example(decoding, as_sender, encoded);
    EXPECT_EQ(run_to_end(over), exited(65)) << over.err();
    ASSERT_TRUE(wait_for_runs(expected.size(), 30s)) << daemon.err();
    const auto served = runs();
    ASSERT_EQ(served.size(), expected.size());
    for (std::size_t i = 0; i < served.size(); ++i) {
        EXPECT_EQ(served[i].args, expected[i]) << i;
    }
    EXPECT_FALSE(file_exists("/quex/escaped"));
}

TEST_F(examples, each_fails_with_a_status_of_its_own_and_a_reason_when_it_cannot_send) {
    // expect_refusal(identity, args, status, reason): every example ends with
    // this status and names the reason.
    const auto expect_refusal = [](const words& identity, const words& args, int status,
                                   const std::string& reason) {
        for (const example& e : all_examples()) {
            process p = run_example(e, identity, args);
            EXPECT_EQ(run_to_end(p), exited(status)) << e.language << " " << reason;
            EXPECT_NE(p.err().find(reason), std::string::npos) << e.language << ": " << p.err();
        }
    };
    std::filesystem::create_directories(record_dir);
    const std::string moved_key = "/quex/etc/moved-key";
    ASSERT_EQ(std::rename(queue_key_file, moved_key.c_str()), 0);
    expect_refusal(as_sender, {"add", "alice"}, 72,
                   std::string(queue_key_file) + ": No such file or directory; nothing sent");
    ASSERT_EQ(std::rename(moved_key.c_str(), queue_key_file), 0);

    expect_refusal(as_sender, {"add", "alice"}, 69, "nothing sent");
    expect_refusal(as_sender, {"add", std::string(max_text_size - 7, 'x')}, 65,
                   "the command is 8192 bytes, over the limit of 8191; nothing sent");
    for (const char* bad : {"--timeout=x", "--timeout=0", "--wait"}) {
        expect_refusal(as_sender, {bad, "add", "alice"}, 2, "usage: ");
    }
    EXPECT_FALSE(queue_exists()) << "an example created the queue";

    // Nothing goes to a queue that root did not create, nor to one that an
    // ordinary user owns, though its mode lets the sender write.
    words squat = as_nobody;
    squat.insert(squat.begin(), "setpriv");
    squat.insert(squat.end(), {"/usr/bin/perl", "-e", "msgget($ARGV[0], 01666) // die \"$!\"",
                               std::to_string(ftok(queue_key_file, queue_project_id))});
    process squatter("/usr/bin/setpriv", squat);
    ASSERT_EQ(run_to_end(squatter), exited(0)) << squatter.err();
    const int squatted = command_queue().id();
    expect_refusal(as_sender, {"add", "alice"}, 76,
                   "queue " + std::to_string(squatted) +
                       ": creator 65534, owner 65534, not the service's; nothing sent");
    EXPECT_EQ(command_queue().waiting(), 0u);
    command_queue::remove_existing();

    prepare_service();
    const command_queue q;
    msqid_ds perm{};
    ASSERT_EQ(msgctl(q.id(), IPC_STAT, &perm), 0);
    perm.msg_perm.uid = 4243;
    ASSERT_EQ(msgctl(q.id(), IPC_SET, &perm), 0);
    expect_refusal(
        as_sender, {"add", "alice"}, 76,
        "queue " + std::to_string(q.id()) + ": creator 0, owner 4243, not the service's");
    // A user outside the sender group may read neither the record nor the
    // queue; a member may not send to a queue closed to the group.
    perm.msg_perm.uid = 423;  // the service user again
    ASSERT_EQ(msgctl(q.id(), IPC_SET, &perm), 0);
    expect_refusal(as_nobody, {"add", "mallory"}, 66, record + ": Permission denied; nothing sent");
    perm.msg_perm.mode = 0600;
    ASSERT_EQ(msgctl(q.id(), IPC_SET, &perm), 0);
    expect_refusal(as_sender, {"add", "mallory"}, 77, "msgsnd: ");
    perm.msg_perm.mode = 0620;
    ASSERT_EQ(msgctl(q.id(), IPC_SET, &perm), 0);
    EXPECT_EQ(q.waiting(), 0u);

    // Two of the largest messages fill the default 16 KiB to the last byte.
    const std::string filler(max_text_size + 1, 'f');
    ASSERT_EQ(q.send(3, filler), 0);
    ASSERT_EQ(q.send(3, filler), 0);
    expect_refusal(as_sender, {"--no-wait", "add", "alice"}, 75, "msgsnd: ");
    EXPECT_EQ(q.waiting(), 2u);

    // Without --no-wait each waits for room, sends once there is some, then
    // waits for an outcome that no daemon writes.
    std::list<process> patient;
    for (const example& e : all_examples()) {
        patient.emplace_back("/usr/bin/setpriv",
                             setpriv_argv(e, as_sender, {"--timeout=1", "add", e.language}));
    }
    for (process& p : patient) {
        EXPECT_TRUE(waits_for_room(p));
    }
    std::vector<long> buffer(1 + (max_text_size + 1) / sizeof(long) + 1);
    ASSERT_EQ(msgrcv(q.id(), buffer.data(), max_text_size + 1, 0, IPC_NOWAIT),
              static_cast<ssize_t>(filler.size()));
    auto language = all_examples().begin();
    for (process& p : patient) {
        EXPECT_EQ(run_to_end(p), exited(6)) << language++->language << ": " << p.err();
        EXPECT_NE(p.err().find("within 1 s; the command was sent"), std::string::npos) << p.err();
    }
    EXPECT_EQ(q.waiting(), 1 + all_examples().size());

    // Waiting for room on a queue that is then removed.
    while (msgrcv(q.id(), buffer.data(), max_text_size + 1, 0, IPC_NOWAIT) != -1) {
    }
    ASSERT_EQ(q.send(3, filler), 0);
    ASSERT_EQ(q.send(3, filler), 0);
    // Python sends again after a signal whose handler ran, and ends with
    // one line on Ctrl-C.
    const example python_handling{
        "Python, SIGUSR1 handled",
        {"/usr/bin/python3", "-c",
         "import signal, sys; signal.signal(signal.SIGUSR1, lambda *_: None); "
         "sys.argv = sys.argv[1:]; exec(compile(open(sys.argv[0]).read(), sys.argv[0], 'exec'))",
         all_examples()[1].command[1]}};
    patient.clear();
    for (const example& e : all_examples()) {
        patient.emplace_back("/usr/bin/setpriv", setpriv_argv(e, as_sender, {"add", e.language}));
    }
    process& handling = patient.emplace_back(
        "/usr/bin/setpriv", setpriv_argv(python_handling, as_sender, {"add", "handled"}));
    process interrupted("/usr/bin/setpriv",
                        setpriv_argv(all_examples()[1], as_sender, {"add", "interrupted"}));
    for (process* p : {&patient.front(), &handling, &interrupted}) {
        ASSERT_TRUE(waits_for_room(*p));
    }
    handling.signal(SIGUSR1);
    interrupted.signal(SIGINT);
    EXPECT_EQ(run_to_end(interrupted), exited(130));
    EXPECT_EQ(interrupted.err(), "send-command.py: interrupted\n");
    EXPECT_FALSE(handling.wait_exit(300ms))
        << "a handled signal ended the wait: " << handling.err();
    q.remove();
    for (process& p : patient) {
        EXPECT_EQ(run_to_end(p), exited(74)) << p.err();
        EXPECT_NE(p.err().find("msgsnd: "), std::string::npos) << p.err();
    }
}

// Each reads the outcome of its own command, as useraccountctl send --wait
// does: a failure is told by its status, and a record rotated while a sender
// waits loses it nothing.
TEST_F(examples, each_and_send_wait_read_their_own_outcome_across_a_rotation) {
    prepare_service();
    write_conf("0\n");
    struct sender {
        example e;
        const char* bound;  // how it bounds its wait
    };
    std::vector<sender> senders;
    for (const example& e : all_examples()) {
        senders.push_back({e, "--timeout=20"});
    }
    words ctl_send = built_program(ctl_path);
    ctl_send.emplace_back("send");
    senders.push_back({{"useraccountctl send", ctl_send}, "--wait=20"});
    // The setpriv command line of one sender's command.
    const auto argv_of = [](const sender& s, const words& command) {
        words args{s.bound};
        args.insert(args.end(), command.begin(), command.end());
        return setpriv_argv(s.e, as_sender, args);
    };
    std::optional<process> daemon;
    daemon.emplace(start_recording_daemon());
    for (const sender& s : senders) {
        SCOPED_TRACE(s.e.language);
        set_script_exit(2);  // the shipped script refuses with status 2
        process refused("/usr/bin/setpriv", argv_of(s, {"add", "Bad Name"}));
        EXPECT_EQ(run_to_end(refused), exited(3)) << refused.err();
        const std::string line = refused.out();
        EXPECT_NE(line.find("\t1\tfailed\t2\t"), std::string::npos) << line;
        EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
    }
    set_script_exit(0);
    struct stat st {};
    ASSERT_EQ(stat(record.c_str(), &st), 0);
    EXPECT_EQ(st.st_gid, 4242u);
    EXPECT_EQ(st.st_mode & 0777, 0640u);

    // Each waits while no daemon runs; the daemon then writes their lines,
    // and the record is rotated before they may look: each line is in the
    // old file, and the new one has only a later line.
    daemon.reset();
    std::list<process> waiting;
    for (const sender& s : senders) {
        waiting.emplace_back("/usr/bin/setpriv", argv_of(s, {"lock", s.e.language}));
    }
    ASSERT_TRUE(wait_until([&] { return command_queue().waiting() == senders.size(); }, 10s));
    for (process& p : waiting) {
        p.signal(SIGSTOP);
    }
    daemon.emplace(start_recording_daemon());
    ASSERT_TRUE(wait_until(
        [&] {
            const std::string lines = read_file(record);
            std::size_t served = 0;
            for (std::size_t at = 0; (at = lines.find("\tsucceeded\t", at)) != std::string::npos;
                 ++at) {
                ++served;
            }
            return served == senders.size();
        },
        20s));
    ASSERT_EQ(rename(record.c_str(), (record + ".1").c_str()), 0);
    ASSERT_EQ(command_queue().send(2, "after the rotation"), 0);
    ASSERT_TRUE(wait_until([] { return file_exists(record); }, 10s));
    auto sender = senders.begin();
    for (process& p : waiting) {
        p.signal(SIGCONT);
        EXPECT_EQ(run_to_end(p), exited(0)) << sender->e.language << ": " << p.err();
        EXPECT_NE(p.out().find("\t1\tsucceeded\t0\t"), std::string::npos)
            << sender++->e.language << ": " << p.out();
    }
}

}  // namespace
}  // namespace blackbox
