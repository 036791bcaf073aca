// The harness checked against the real pieces it stands on (sudo, bash, the
// kernel's queue, glibc's syslog), without the daemon.
#include <signal.h>

#include "command_queue.h"
#include "harness.h"

namespace blackbox {
namespace {

using harness = sandbox_test;

TEST(log_entry_parse, daemon_entry_with_pid) {
    const auto e = parse_log_entry(
        "<27>Dec  8 00:11:02 useraccountd[42]: Can not open log file: /x: y, error: z");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->priority, LOG_DAEMON | LOG_ERR);
    EXPECT_EQ(e->facility(), LOG_DAEMON);
    EXPECT_EQ(e->level(), LOG_ERR);
    EXPECT_EQ(e->ident, "useraccountd");
    EXPECT_EQ(e->pid, 42);
    EXPECT_EQ(e->message, "Can not open log file: /x: y, error: z");
}

TEST(log_entry_parse, entry_without_pid_and_ident_with_brackets) {
    const auto sudo = parse_log_entry("<85>Dec 18 00:11:02 sudo:     root : PWD=/tmp ; USER=root");
    ASSERT_TRUE(sudo);
    EXPECT_EQ(sudo->facility(), LOG_AUTHPRIV);
    EXPECT_EQ(sudo->level(), LOG_NOTICE);
    EXPECT_EQ(sudo->ident, "sudo");
    EXPECT_EQ(sudo->pid, -1);
    EXPECT_EQ(sudo->message, "    root : PWD=/tmp ; USER=root");

    const auto odd = parse_log_entry("<30>Dec  8 00:11:02 ./a[b] c[7]: x[1]: y");
    ASSERT_TRUE(odd);
    EXPECT_EQ(odd->ident, "./a[b] c");
    EXPECT_EQ(odd->pid, 7);
    EXPECT_EQ(odd->message, "x[1]: y");

    EXPECT_FALSE(parse_log_entry("no priority"));
}

TEST_F(harness, account_script_through_sudo_records_arguments_and_sudo_logs_the_command) {
    process p("/usr/bin/sudo", {"sudo", "bash", account_script, "a b", "$(id)", "", "x\ny"});
    ASSERT_EQ(p.wait_exit(20s), exited(0)) << p.err();
    ASSERT_TRUE(wait_for_runs(1, 10s));
    const auto r = runs();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].number, 1);
    EXPECT_EQ(r[0].args, (std::vector<std::string>{"a b", "$(id)", "", "x\ny"}));
    EXPECT_EQ(r[0].euid, 0);
    EXPECT_LE(r[0].start_us, r[0].end_us);
    EXPECT_EQ(runs_started(), 1u);

    const auto e = system_log().wait_for_entry(
        [](const log_entry& x) {
            return x.ident == "sudo" && x.message.find("COMMAND=") != std::string::npos;
        },
        10s);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->facility(), LOG_AUTHPRIV);
    EXPECT_NE(e->message.find("USER=root ; COMMAND=/usr/bin/bash /quex/sbin/useraccount.sh"),
              std::string::npos)
        << *e;
}

TEST_F(harness, script_sleeps_when_told) {
    set_script_sleep(0.5);
    const auto before = now_us();
    process p("/usr/bin/bash", {"bash", account_script});
    ASSERT_TRUE(wait_until([&] { return runs_started() == 1; }, 10s));
    EXPECT_TRUE(runs().empty());
    ASSERT_EQ(p.wait_exit(20s), exited(0));
    const auto r = runs();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_TRUE(r[0].args.empty());
    EXPECT_GE(r[0].start_us, before);
    EXPECT_GE(r[0].end_us - r[0].start_us, 500'000);
}

TEST_F(harness, queue_send_count_and_remove) {
    command_queue q;
    EXPECT_EQ(q.waiting(), 0u);
    EXPECT_EQ(q.send(1, "hello"), 0);
    EXPECT_EQ(q.send(7, std::string(max_text_size + 1, 'x')), 0);  // the kernel takes 8192 bytes
    EXPECT_EQ(q.waiting(), 2u);
    command_queue same;
    EXPECT_EQ(same.id(), q.id());
    q.remove();
    command_queue fresh;
    EXPECT_EQ(fresh.waiting(), 0u);
}

TEST_F(harness, process_status_output_and_own_syslog_entries) {
    process p("/usr/bin/bash",
              {"bash", "-c", "echo out; echo err >&2; logger -t tagged -p daemon.err hi; exit 3"});
    EXPECT_EQ(p.wait_exit(10s), exited(3));
    EXPECT_EQ(p.out(), "out\n");
    EXPECT_EQ(p.err(), "err\n");
    const auto entries = system_log().entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].ident, "tagged");
    EXPECT_EQ(entries[0].priority, LOG_DAEMON | LOG_ERR);
    EXPECT_EQ(entries[0].message, "hi");

    process sleeper("/usr/bin/sleep", {"sleep", "100"});
    EXPECT_FALSE(sleeper.wait_exit(100ms));
    sleeper.signal(SIGINT);
    EXPECT_EQ(sleeper.wait_exit(10s), killed_by(SIGINT));
}

}  // namespace
}  // namespace blackbox
