// The sender examples that are installed for integrators (C, Python, Perl),
// each run as a program of theirs would run: as a member of the sender group
// who is not root, against the queue as the service prepares it, with the
// real daemon running the account script.
#include <sys/ipc.h>
#include <sys/msg.h>

#include <cstdio>
#include <filesystem>
#include <list>
#include <string>
#include <vector>

#include "command_queue.h"
#include "harness.h"

namespace blackbox {
namespace {

using examples = sandbox_test;
using words = std::vector<std::string>;

// Stand-ins for the service user and the sender group: ids with no name.
const std::string service_uid = "4243";
const std::string sender_gid = "4242";
const words as_sender{"--reuid", "65534", "--regid", "65534", "--groups", sender_gid};
const words as_nobody{"--reuid", "65534", "--regid", "65534", "--clear-groups"};

struct example {
    const char* language;
    words command;  // the interpreter, if any, and the program
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
            {"C", {dir + "/send-command"}},
            {"Python", {"/usr/bin/python3", dir + "/send-command.py"}},
            {"Perl", {"/usr/bin/perl", dir + "/send-command.pl"}},
        };
#ifdef SEND_COMMAND_C_M32_PATH
        // A sender whose long is 4 bytes, beside this build's 64-bit daemon.
        write_file(dir + "/send-command-m32", read_file(SEND_COMMAND_C_M32_PATH), 0755);
        senders.push_back({"C for i386", {dir + "/send-command-m32"}});
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
    ASSERT_TRUE(wait_for_runs(expected.size(), 30s)) << daemon.err();
    const auto served = runs();
    ASSERT_EQ(served.size(), expected.size());
    for (std::size_t i = 0; i < served.size(); ++i) {
        EXPECT_EQ(served[i].args, expected[i]) << all_examples()[i / 2].language;
    }
    EXPECT_FALSE(file_exists("/quex/escaped"));
}

TEST_F(examples, each_fails_with_status_1_and_a_reason_when_it_cannot_send) {
    // expect_refusal(identity, args, reason): every example ends with status
    // 1 and names the reason.
    const auto expect_refusal = [](const words& identity, const words& args,
                                   const std::string& reason) {
        for (const example& e : all_examples()) {
            process p = run_example(e, identity, args);
            EXPECT_EQ(run_to_end(p), exited(1)) << e.language << " " << reason;
            EXPECT_NE(p.err().find(reason), std::string::npos) << e.language << ": " << p.err();
            EXPECT_NE(p.err().find("nothing sent"), std::string::npos) << p.err();
        }
    };
    const std::string moved_key = "/quex/etc/moved-key";
    ASSERT_EQ(std::rename(queue_key_file, moved_key.c_str()), 0);
    expect_refusal(as_sender, {"add", "alice"},
                   std::string("key file ") + queue_key_file + ": No such file or directory");
    ASSERT_EQ(std::rename(moved_key.c_str(), queue_key_file), 0);

    expect_refusal(as_sender, {"add", "alice"}, "the useraccountd service has not prepared it yet");
    expect_refusal(as_sender, {"add", std::string(max_text_size - 7, 'x')},
                   "the command is 8192 bytes, over the limit of 8191");
    EXPECT_FALSE(queue_exists()) << "an example created the queue";

    prepare_queue();
    const command_queue q;
    expect_refusal(as_nobody, {"add", "mallory"}, "permission denied");
    EXPECT_EQ(q.waiting(), 0u);

    // Two of the largest messages fill the default 16 KiB to the last byte.
    const std::string filler(max_text_size + 1, 'f');
    ASSERT_EQ(q.send(3, filler), 0);
    ASSERT_EQ(q.send(3, filler), 0);
    expect_refusal(as_sender, {"--no-wait", "add", "alice"}, "the queue is full");
    EXPECT_EQ(q.waiting(), 2u);

    // Without --no-wait each waits for room, and sends once there is some.
    std::list<process> patient;
    for (const example& e : all_examples()) {
        patient.emplace_back("/usr/bin/setpriv", setpriv_argv(e, as_sender, {"add", e.language}));
    }
    for (process& p : patient) {
        EXPECT_FALSE(p.wait_exit(300ms)) << "did not wait for room: " << p.err();
    }
    std::vector<long> buffer(1 + (max_text_size + 1) / sizeof(long) + 1);
    ASSERT_EQ(msgrcv(q.id(), buffer.data(), max_text_size + 1, 0, IPC_NOWAIT),
              static_cast<ssize_t>(filler.size()));
    for (process& p : patient) {
        EXPECT_EQ(run_to_end(p), exited(0)) << p.err();
    }
    EXPECT_EQ(q.waiting(), 1 + all_examples().size());
}

}  // namespace
}  // namespace blackbox
