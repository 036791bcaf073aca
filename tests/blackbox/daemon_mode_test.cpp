// Black box: daemon mode and the PID file. The detached daemon is
// looked at from outside, through /proc, its PID file, its log file and its
// system-log entries; its session leader and the daemon itself end as
// children of the test (a child subreaper), so their statuses are seen too.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdint>

#include "command_queue.h"
#include "frame_support.h"

namespace blackbox {
namespace {

using daemon_mode = frame_test;

const std::string pid_file = "/quex/useraccountd.pid";
const std::string log_file = "/quex/useraccountd.log";

// The process that holds a lock on any part of `path`, or 0 when none does.
pid_t lock_holder(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1) {
        return -1;
    }
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = 0;
    probe.l_len = 0;
    const int r = ::fcntl(fd, F_GETLK, &probe);
    ::close(fd);
    if (r == -1) {
        return -1;
    }
    return probe.l_type == F_UNLCK ? 0 : probe.l_pid;
}

bool ignores_signal(pid_t pid, int sig) {
    const std::string mask = proc_status_field(pid, "SigIgn");
    return !mask.empty() && (std::stoull(mask, nullptr, 16) >> (sig - 1) & 1) == 1;
}

// Launches a detached daemon with a pause of 0 s and waits until it serves.
// Returns its pid, taken from the PID file, or -1.
pid_t launch() {
    process launcher = start_daemon({"-d", "-c", conf_path, "-l", log_file, "-p", pid_file});
    EXPECT_EQ(launcher.wait_exit(5s), exited(0));
    EXPECT_EQ(launcher.out(), "");
    EXPECT_EQ(launcher.err(), "");
    if (!wait_until([] { return read_file(log_file).find(debug_line(0)) != std::string::npos; },
                    20s)) {
        ADD_FAILURE() << "the daemon never served; log: " << read_file(log_file);
        return -1;
    }
    return pid_in_file(pid_file);
}

// In fork order: the session leader ends with 0, then the daemon with 1.
// The leader ignores SIGCHLD, so a daemon that ends before its leader does is
// reaped by the kernel and its status never reaches the test: then only the
// leader's is seen, and the other checks tell that the daemon has gone.
void expect_leader_0_then_daemon_1(const std::vector<exit_status>& seen) {
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front(), exited(0));
    if (seen.size() > 1) {
        EXPECT_EQ(seen, (std::vector<exit_status>{exited(0), exited(1)}));
    }
}

TEST_F(daemon_mode, launcher_returns_0_and_the_daemon_runs_detached_with_a_locked_pid_file) {
    write_conf("0\n");
    const pid_t daemon = launch();
    ASSERT_GT(daemon, 0) << "PID file: " << testing::PrintToString(read_file(pid_file));
    EXPECT_EQ(read_file(pid_file), std::to_string(daemon) + "\n");
    EXPECT_EQ(wait_for_started(), daemon) << "the process in the PID file is the one that logs";

    // The session leader in between ended with 0 too.
    const auto leader = collect_orphans(1, 10s);
    ASSERT_EQ(leader.size(), 1u);
    EXPECT_EQ(leader.begin()->second, exited(0));

    const auto stat = read_proc_stat(daemon);
    ASSERT_TRUE(stat);
    EXPECT_EQ(stat->session, leader.begin()->first)
        << "the session the intermediate process opened";
    EXPECT_NE(stat->session, getsid(0)) << "a new session, not the launcher's";
    EXPECT_NE(stat->session, daemon) << "not a session leader";
    EXPECT_EQ(stat->pgrp, stat->session) << "in the leader's process group, not a group of its own";
    EXPECT_EQ(stat->tty_nr, 0) << "no controlling terminal";

    const std::string proc = "/proc/" + std::to_string(daemon);
    EXPECT_EQ(link_target(proc + "/cwd"), "/");
    for (const int fd : {0, 1, 2}) {
        EXPECT_EQ(link_target(proc + "/fd/" + std::to_string(fd)), "/dev/null") << "fd " << fd;
    }
    // Every descriptor the launcher had is closed: its stdout and stderr are
    // files of the harness.
    for (const auto& fd : std::filesystem::directory_iterator(proc + "/fd")) {
        EXPECT_FALSE(link_target(fd.path().string()).starts_with("/tmp/"))
            << link_target(fd.path().string());
    }
    EXPECT_EQ(proc_status_field(daemon, "Umask"), "0000");
    EXPECT_TRUE(ignores_signal(daemon, SIGCHLD));

    EXPECT_EQ(file_mode(pid_file), 0640u);
    EXPECT_EQ(lock_holder(pid_file), daemon);

    // Still serving.
    command_queue q;
    ASSERT_EQ(q.send(7, "detached"), 0);
    EXPECT_TRUE(wait_for_file_text(log_file, debug_line(1)));
}

TEST_F(daemon_mode, second_daemon_with_the_same_pid_file_ends_with_1_and_leaves_the_file_alone) {
    write_conf("0\n");
    const pid_t first = launch();
    ASSERT_GT(first, 0);
    ASSERT_EQ(collect_orphans(1, 10s).size(), 1u);
    const std::string before = read_file(pid_file);

    process second =
        start_daemon({"-d", "-c", conf_path, "-l", "/quex/second.log", "-p", pid_file});
    EXPECT_EQ(second.wait_exit(5s), exited(0)) << "the failure is not the launcher's";
    expect_leader_0_then_daemon_1(statuses(collect_orphans(2, 3s)));

    EXPECT_EQ(read_file(pid_file), before) << "byte for byte";
    EXPECT_EQ(lock_holder(pid_file), first);
    EXPECT_EQ(daemon_processes(), std::vector<pid_t>{first});
    EXPECT_FALSE(file_exists("/quex/second.log"))
        << "the second daemon ended before its log stream";
    for (const auto& e : system_log().entries()) {
        EXPECT_EQ(e.pid, first) << "only the first daemon logs: " << e;
    }

    command_queue q;
    ASSERT_EQ(q.send(2, "first still serves"), 0);
    EXPECT_TRUE(wait_for_file_text(log_file, debug_line(1)));
}

// A name another user chose must not make the root daemon cut or write a
// file of theirs or of the system, nor remove it at the stop: the daemon ends
// with 1 before it writes. Nor may a symlink on the way that another user
// planted lead it to one.
TEST_F(daemon_mode, pid_file_that_is_a_symlink_a_hard_link_or_anothers_is_refused_untouched) {
    write_conf("0\n");
    const std::string victim = "/quex/victim";
    write_file(victim, "precious\n", 0600);
    ASSERT_EQ(symlink(victim.c_str(), "/quex/symlink.pid"), 0);
    ASSERT_EQ(link(victim.c_str(), "/quex/hardlink.pid"), 0);
    write_file("/quex/others.pid", "4242\n", 0644);
    ASSERT_EQ(chown("/quex/others.pid", 65534, 65534), 0);
    write_file("/quex/important", "root's\n", 0644);
    ASSERT_TRUE(plant_link_as_nobody("/quex", "uad"));
    for (const std::string planted : {"/quex/symlink.pid", "/quex/hardlink.pid", "/quex/others.pid",
                                      "/quex/tmp/uad/important"}) {
        SCOPED_TRACE(planted);
        process launcher = start_daemon({"-d", "-c", conf_path, "-l", log_file, "-p", planted});
        EXPECT_EQ(launcher.wait_exit(5s), exited(0));
        expect_leader_0_then_daemon_1(statuses(collect_orphans(2, 3s)));
        EXPECT_TRUE(daemon_processes().empty());
    }
    EXPECT_EQ(read_file(victim), "precious\n");
    EXPECT_EQ(read_file("/quex/others.pid"), "4242\n");
    EXPECT_EQ(read_file("/quex/important"), "root's\n");
    EXPECT_FALSE(file_exists(log_file));
    EXPECT_TRUE(system_log().entries().empty());
}

TEST_F(daemon_mode, stale_longer_pid_file_is_cut_to_the_new_id) {
    write_conf("0\n");
    write_file(pid_file, "1234567890\nleft by an old daemon\n");
    const pid_t daemon = launch();
    ASSERT_GT(daemon, 0) << testing::PrintToString(read_file(pid_file));
    EXPECT_EQ(read_file(pid_file), std::to_string(daemon) + "\n");
    EXPECT_EQ(wait_for_started(), daemon);
    EXPECT_EQ(lock_holder(pid_file), daemon);
}

TEST_F(daemon_mode,
       pid_file_in_a_missing_directory_ends_the_daemon_with_1_before_anything_is_logged) {
    write_conf("0\n");
    process launcher =
        start_daemon({"-d", "-c", conf_path, "-l", log_file, "-p", "/quex/missing/d.pid"});
    EXPECT_EQ(launcher.wait_exit(5s), exited(0));
    expect_leader_0_then_daemon_1(statuses(collect_orphans(2, 3s)));
    EXPECT_TRUE(daemon_processes().empty());
    EXPECT_TRUE(system_log().entries().empty());
    EXPECT_FALSE(file_exists(log_file));
    EXPECT_FALSE(file_exists("/quex/missing"));
    EXPECT_FALSE(command_queue::exists());
}

TEST_F(daemon_mode, pid_file_option_in_the_foreground_creates_and_removes_nothing) {
    write_conf("0\n");
    process d = start_daemon({"-c", conf_path, "-p", pid_file});
    ASSERT_TRUE(wait_for_output(d, debug_line(0)));
    EXPECT_FALSE(file_exists(pid_file));
    stop(d);
    EXPECT_FALSE(file_exists(pid_file));

    // A file at that name that this daemon did not create stays.
    write_file(pid_file, "999\n");
    process e = start_daemon({"-c", conf_path, "--pid_file", pid_file});
    ASSERT_TRUE(wait_for_output(e, debug_line(0)));
    stop(e);
    EXPECT_EQ(read_file(pid_file), "999\n");
}

TEST_F(daemon_mode, daemon_option_then_test_option_tests_in_the_foreground) {
    // Relative names for -t are taken from the directory the program started
    // in, even after -d.
    const std::string cwd = std::filesystem::current_path().string();
    ASSERT_NE(cwd, "/");
    write_file("good.conf", "5\n");
    write_file("bad.conf", "five\n");

    process good = start_daemon({"-d", "-p", pid_file, "-t", "good.conf"});
    EXPECT_EQ(good.wait_exit(20s), exited(0));
    EXPECT_EQ(good.err(), "");

    // The result reaches the launcher's own stderr: it never detached.
    process bad = start_daemon({"-d", "-p", pid_file, "-t", "bad.conf"});
    EXPECT_EQ(bad.wait_exit(20s), exited(1));
    EXPECT_EQ(bad.err(), "Wrong config file bad.conf\n");

    process missing = start_daemon({"--daemon", "--test_conf", "/quex/none.conf"});
    EXPECT_EQ(missing.wait_exit(20s), exited(1));
    EXPECT_EQ(missing.err(), "Can't read config file /quex/none.conf\n");

    EXPECT_TRUE(daemon_processes().empty());
    EXPECT_TRUE(collect_orphans(1, 500ms).empty()) << "nothing was forked";
    EXPECT_FALSE(file_exists(pid_file));
    EXPECT_TRUE(system_log().entries().empty());
    EXPECT_FALSE(command_queue::exists());
}

TEST_F(daemon_mode,
       relative_names_resolve_from_the_root_reloads_included_and_a_new_log_file_is_0644) {
    ASSERT_NE(std::filesystem::current_path(), "/");
    write_file("/quex/relative.conf", "0\n");
    const std::string root_log = "/useraccountd-relative.log";

    process launcher = start_daemon(
        {"-d", "-c", "quex/relative.conf", "-l", root_log.substr(1), "-p", "quex/relative.pid"});
    EXPECT_EQ(launcher.wait_exit(5s), exited(0));
    ASSERT_TRUE(wait_for_file_text(root_log, debug_line(0)));
    const pid_t daemon = pid_in_file("/quex/relative.pid");
    ASSERT_GT(daemon, 0);
    EXPECT_TRUE(wait_for_entry_of(
        daemon, info, "Configuration of useraccountd read from file quex/relative.conf"));
    EXPECT_EQ(file_mode(root_log), 0644u) << "created under a mask of 0";

    kill(daemon, SIGHUP);
    EXPECT_TRUE(wait_for_entry_of(
        daemon, info, "Reloaded configuration file quex/relative.conf of useraccountd"));
    for (const auto& e : system_log().entries()) {
        EXPECT_NE(e.level(), LOG_ERR) << e;
    }
}

TEST_F(daemon_mode, existing_log_file_keeps_its_mode) {
    write_conf("0\n");
    write_file(log_file, "old line\n", 0600);
    const pid_t daemon = launch();
    ASSERT_GT(daemon, 0);
    EXPECT_EQ(read_file(log_file), "old line\n" + debug_line(0));
    EXPECT_EQ(file_mode(log_file), 0600u);
}

// SIGCHLD is ignored in daemon mode; the account command is still waited for.
TEST_F(daemon_mode, account_command_runs_to_its_end_before_the_next_message_is_taken) {
    write_conf("0\n");
    set_script_sleep(1);
    command_queue q;
    ASSERT_EQ(q.send(1, "one"), 0);
    ASSERT_EQ(q.send(1, "two"), 0);
    const pid_t daemon = launch();
    ASSERT_GT(daemon, 0);

    ASSERT_TRUE(wait_until([&] { return runs_started() >= 1; }, 20s));
    std::size_t samples = 0;
    std::size_t taken = 0;
    while (runs().empty()) {
        taken += q.waiting() != 1 ? 1u : 0u;
        ++samples;
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_GT(samples, 0u);
    EXPECT_EQ(taken, 0u) << "of " << samples << " looks while the first run lasted, " << taken
                         << " found the second message taken";

    ASSERT_TRUE(wait_for_runs(2, 20s));
    const auto r = runs();
    EXPECT_EQ(r[0].args, std::vector<std::string>{"one"});
    EXPECT_EQ(r[1].args, std::vector<std::string>{"two"});
    EXPECT_GE(r[1].start_us, r[0].end_us);
    EXPECT_EQ(r[0].euid, 0);
    EXPECT_TRUE(wait_for_file_text(log_file, debug_line(2)));
    EXPECT_TRUE(alive(daemon));
}

}  // namespace
}  // namespace blackbox
