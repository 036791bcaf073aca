// The sender examples that are installed for integrators (C, Python, Perl),
// each run as a program of theirs would run: as a member of the sender group
// who is not root, against the queue as the service prepares it, with the
// real daemon running the account script; and what they learn from the
// outcome record, with useraccountctl send --wait beside them.
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
        for (const char* name : {"send-command.py", "send-command.pl"}) {
            write_file(dir + "/" + name, read_file(std::string(EXAMPLES_DIR) + "/" + name));
        }
        std::vector<example> senders{
            {"C", built_program(dir + "/send-command")},
            {"Python", {"/usr/bin/python3", dir + "/send-command.py"}},
            {"Perl", {"/usr/bin/perl", dir + "/send-command.pl"}},
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

void prepare_queue() {
    process p = run_ctl({"prepare", "--owner", service_uid, "--group", sender_gid});
    ASSERT_EQ(run_to_end(p), exited(0)) << p.err();
}

bool queue_exists() {
    const key_t key = ftok(queue_key_file, queue_project_id);
    return key != -1 && msgget(key, 0) != -1;
}

TEST_F(examples, each_hands_the_script_exactly_its_words_when_run_by_a_sender_group_member) {
    prepare_queue();
    process daemon = start_daemon({"-c", write_conf("0\n")});
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
                     "new\nline",
                     "J\xc3\xbcrgen",
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
            EXPECT_NE(p.err().find("nothing sent"), std::string::npos) << p.err();
        }
    };
    const std::string moved_key = "/quex/etc/moved-key";
    ASSERT_EQ(std::rename(queue_key_file, moved_key.c_str()), 0);
    expect_refusal(as_sender, {"add", "alice"}, 72,
                   std::string("key file ") + queue_key_file + ": No such file or directory");
    ASSERT_EQ(std::rename(moved_key.c_str(), queue_key_file), 0);

    expect_refusal(as_sender, {"add", "alice"}, 69,
                   "the useraccountd service has not prepared it yet");
    expect_refusal(as_sender, {"add", std::string(max_text_size - 7, 'x')}, 65,
                   "the command is 8192 bytes, over the limit of 8191");
    for (const example& e : all_examples()) {
        process p = run_example(e, as_sender, {"--wait=x", "add", "alice"});
        EXPECT_EQ(run_to_end(p), exited(2)) << e.language;
        EXPECT_NE(p.err().find("usage: "), std::string::npos) << e.language << ": " << p.err();
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
                       " was created by 65534 (nobody), not by root: it is not the service's");
    EXPECT_EQ(command_queue().waiting(), 0u);
    command_queue::remove_existing();

    prepare_queue();
    const command_queue q;
    msqid_ds perm{};
    ASSERT_EQ(msgctl(q.id(), IPC_STAT, &perm), 0);
    perm.msg_perm.uid = 4243;
    ASSERT_EQ(msgctl(q.id(), IPC_SET, &perm), 0);
    expect_refusal(
        as_sender, {"add", "alice"}, 76,
        "queue " + std::to_string(q.id()) + " is owned by 4243, neither root nor a system account");
    perm.msg_perm.uid = 423;  // the service user again
    ASSERT_EQ(msgctl(q.id(), IPC_SET, &perm), 0);
    expect_refusal(as_nobody, {"add", "mallory"}, 77, "permission denied");
    EXPECT_EQ(q.waiting(), 0u);

    // Two of the largest messages fill the default 16 KiB to the last byte.
    const std::string filler(max_text_size + 1, 'f');
    ASSERT_EQ(q.send(3, filler), 0);
    ASSERT_EQ(q.send(3, filler), 0);
    expect_refusal(as_sender, {"--no-wait", "add", "alice"}, 75, "the queue is full");
    EXPECT_EQ(q.waiting(), 2u);

    // Without --no-wait each waits for room, and sends once there is some.
    std::list<process> patient;
    for (const example& e : all_examples()) {
        patient.emplace_back("/usr/bin/setpriv", setpriv_argv(e, as_sender, {"add", e.language}));
    }
    for (process& p : patient) {
        EXPECT_TRUE(waits_for_room(p));
    }
    std::vector<long> buffer(1 + (max_text_size + 1) / sizeof(long) + 1);
    ASSERT_EQ(msgrcv(q.id(), buffer.data(), max_text_size + 1, 0, IPC_NOWAIT),
              static_cast<ssize_t>(filler.size()));
    for (process& p : patient) {
        EXPECT_EQ(run_to_end(p), exited(0)) << p.err();
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
        EXPECT_NE(p.err().find("the queue was removed while waiting for room; nothing sent"),
                  std::string::npos)
            << p.err();
    }
}

// A sender in the group reads the outcome of its own command in the record,
// in a directory of the sender group's as the unit prepares it; nobody else
// may, and learns so before anything is sent.
TEST_F(examples, each_and_send_wait_read_their_own_outcome_as_a_sender_group_member) {
    prepare_queue();
    const std::string record = "/quex/record/outcomes.log";
    ASSERT_EQ(mkdir("/quex/record", 0), 0);
    ASSERT_EQ(chown("/quex/record", 0, 4242), 0);
    ASSERT_EQ(chmod("/quex/record", 02750), 0);
    std::optional<process> daemon;
    daemon.emplace(start_daemon({"-c", write_conf("0\n"), "-r", record}));
    std::vector<example> senders = all_examples();
    words ctl_send = built_program(ctl_path);
    ctl_send.emplace_back("send");
    senders.push_back({"useraccountctl send", ctl_send});
    const auto run = [&](const example& e, const words& identity, const std::string& wait,
                         const words& command) {
        words args{wait, "--record", record};
        args.insert(args.end(), command.begin(), command.end());
        return process("/usr/bin/setpriv", setpriv_argv(e, identity, args));
    };
    for (const example& e : senders) {
        SCOPED_TRACE(e.language);
        set_script_exit(0);
        process locked = run(e, as_sender, "--wait=20", {"lock", "bob"});
        EXPECT_EQ(run_to_end(locked), exited(0)) << locked.err();
        EXPECT_NE(locked.out().find("\t1\tsucceeded\t0\t"), std::string::npos) << locked.out();
        // The shipped script refuses with status 2.
        set_script_exit(2);
        process refused = run(e, as_sender, "--wait", {"add", "Bad Name"});
        EXPECT_EQ(run_to_end(refused), exited(3)) << refused.err();
        const std::string line = refused.out();
        EXPECT_NE(line.find("\t1\tfailed\t2\t"), std::string::npos) << line;
        EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;

        process outsider = run(e, as_nobody, "--wait", {"add", "mallory"});
        EXPECT_EQ(run_to_end(outsider), exited(66));
        EXPECT_NE(outsider.err().find(record + ": Permission denied; nothing sent"),
                  std::string::npos)
            << outsider.err();
    }
    EXPECT_EQ(runs().size(), 2 * senders.size());
    struct stat st {};
    ASSERT_EQ(stat(record.c_str(), &st), 0);
    EXPECT_EQ(st.st_gid, 4242u);
    EXPECT_EQ(st.st_mode & 0777, 0640u);

    daemon.reset();
    for (const example& e : senders) {
        process late = run(e, as_sender, "--wait=1", {"lock", "bob"});
        EXPECT_EQ(run_to_end(late), exited(6)) << e.language;
        EXPECT_NE(late.err().find("within 1 s; the command was sent"), std::string::npos)
            << e.language << ": " << late.err();
    }
}

}  // namespace
}  // namespace blackbox
