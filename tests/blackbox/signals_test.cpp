// Black box: SIGINT and SIGTERM stop in order and SIGHUP re-reads the
// configuration, whatever the daemon is doing when they come: starting,
// waiting for a message, pausing, or running an account command.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "command_queue.h"
#include "frame_support.h"

namespace blackbox {
namespace {

using signals = frame_test;

const std::string conf_entry =
    std::string("Configuration of useraccountd read from file ") + conf_path;
const std::string reload_entry =
    std::string("Reloaded configuration file ") + conf_path + " of useraccountd";

TEST_F(signals, sigint_or_sigterm_while_waiting_stops_in_order) {
    process d = start_daemon({});
    ASSERT_TRUE(wait_for_output(d, debug_line(0)));
    ASSERT_TRUE(wait_for_syscall(d.pid(), call_msgrcv));
    d.signal(SIGINT);
    EXPECT_EQ(d.wait_exit(5s), exited(0));
    EXPECT_EQ(d.out(), debug_line(0) + receiving + stopping);
    EXPECT_EQ(d.err(), "");
    EXPECT_EQ(entries_of(d.pid()),
              (entry_list{{info, "Started useraccountd"}, {info, "Stopped useraccountd"}}));

    // SIGTERM, with a log file: the stop line goes there, and the file is whole.
    process f = start_daemon({"-l", "/quex/stop.log"});
    ASSERT_TRUE(wait_for_file_text("/quex/stop.log", debug_line(0)));
    ASSERT_TRUE(wait_for_syscall(f.pid(), call_msgrcv));
    f.signal(SIGTERM);
    EXPECT_EQ(f.wait_exit(5s), exited(0));
    EXPECT_EQ(read_file("/quex/stop.log"), debug_line(0) + stopping);
    EXPECT_EQ(f.out(), receiving);
    EXPECT_TRUE(wait_for_entry_of(f.pid(), info, "Stopped useraccountd"));
}

TEST_F(signals, sigint_or_sigterm_in_daemon_mode_releases_and_removes_the_pid_file) {
    write_conf("0\n");
    const std::string pid_file = "/quex/useraccountd.pid";
    const std::string log_file = "/quex/useraccountd.log";
    const std::vector<std::string> args{"-d", "-c", conf_path, "-l", log_file, "-p", pid_file};
    process launcher = start_daemon(args);
    ASSERT_EQ(launcher.wait_exit(5s), exited(0));
    ASSERT_TRUE(wait_for_file_text(log_file, debug_line(0)));
    const pid_t daemon = pid_in_file(pid_file);
    ASSERT_GT(daemon, 0);

    ASSERT_EQ(kill(daemon, SIGINT), 0);
    EXPECT_EQ(wait_orphan(daemon, 20s), exited(0));
    EXPECT_FALSE(file_exists(pid_file));
    EXPECT_EQ(read_file(log_file), debug_line(0) + stopping);
    EXPECT_EQ(entries_of(daemon), (entry_list{{info, "Started useraccountd"},
                                              {info, conf_entry},
                                              {info, "Stopped useraccountd"}}));

    // Nothing of the first daemon stands in the way of the next one. It
    // learns how its commands end although daemon mode ignores SIGCHLD, and
    // SIGTERM stops it the same way.
    process again = start_daemon(args);
    ASSERT_EQ(again.wait_exit(5s), exited(0));
    ASSERT_TRUE(wait_until([&] { return pid_in_file(pid_file) > 0; }, 20s));
    const pid_t second = pid_in_file(pid_file);
    EXPECT_NE(second, daemon);
    set_script_exit(4);
    command_queue q;
    ASSERT_EQ(q.send(1, "fails"), 0);
    EXPECT_TRUE(wait_for_entry_of(second, error, "Account command ended with status 4: fails"));
    ASSERT_TRUE(wait_for_file_text(log_file, debug_line(1)));
    ASSERT_EQ(kill(second, SIGTERM), 0);
    EXPECT_EQ(wait_orphan(second, 20s), exited(0));
    EXPECT_FALSE(file_exists(pid_file));
    EXPECT_TRUE(read_file(log_file).ends_with(debug_line(1) + stopping));
    EXPECT_TRUE(wait_for_entry_of(second, info, "Stopped useraccountd"));
}

TEST_F(signals, sigint_or_sigterm_during_the_pause_stops_at_once) {
    write_conf("30\n");
    for (const int sig : {SIGINT, SIGTERM}) {
        syslog_capture manager("/run/notify");
        ASSERT_EQ(setenv("NOTIFY_SOCKET", "/run/notify", 1), 0);
        process d = start_daemon({"-c", conf_path});
        ASSERT_TRUE(wait_for_output(d, debug_line(0)));
        command_queue q;
        ASSERT_EQ(q.send(2, "then a pause"), 0);
        ASSERT_TRUE(wait_until([&] { return q.waiting() == 0; }, 20s));
        ASSERT_TRUE(wait_for_syscall(d.pid(), call_clock_nanosleep));
        EXPECT_TRUE(manager.wait_for_entry("STATUS=Pausing 30 s; served 0, failed 0", 5s));

        d.signal(sig);
        EXPECT_EQ(d.wait_exit(5s), exited(0)) << "the pause is 30 s; signal " << sig;
        EXPECT_EQ(d.out(), debug_line(0) + receiving + echo_line(2, "then a pause") + stopping);
        EXPECT_TRUE(wait_for_entry_of(d.pid(), info, "Stopped useraccountd"));
    }
}

TEST_F(signals, sigint_during_an_account_command_is_ignored_and_the_daemon_serves_on) {
    write_conf("0\n");
    set_script_sleep(1.5);
    process d = start_daemon({"-c", conf_path});
    command_queue q;
    ASSERT_EQ(q.send(1, "one"), 0);
    ASSERT_TRUE(wait_until([&] { return runs_started() >= 1; }, 20s));
    ASSERT_TRUE(wait_for_syscall(d.pid(), call_wait4));
    ASSERT_TRUE(runs().empty());
    d.signal(SIGINT);

    ASSERT_TRUE(wait_for_runs(1, 20s));
    EXPECT_GE(runs()[0].end_us - runs()[0].start_us, 1'500'000) << "the script ran to its end";
    EXPECT_FALSE(d.wait_exit(500ms)) << "the daemon went on after the command";

    set_script_sleep(0);
    ASSERT_EQ(q.send(1, "two"), 0);
    ASSERT_TRUE(wait_for_runs(2, 20s));
    EXPECT_EQ(runs()[1].args, std::vector<std::string>{"two"});

    // A SIGINT outside the command is a stop request as usual.
    ASSERT_TRUE(wait_for_output(d, debug_line(2)));
    stop(d, 5s);
    EXPECT_EQ(count_of(d.out(), stopping), 1u);
    EXPECT_TRUE(d.out().ends_with(debug_line(2) + receiving + stopping)) << d.out();
}

// SIGTERM while a command runs, with more commands waiting and no pause:
// the command ends whole, the next stays queued, and the daemon stops in
// order. A second SIGTERM changes nothing.
TEST_F(signals, sigterm_during_a_command_lets_it_finish_and_stops_before_the_backlog) {
    write_conf("0\n");
    set_script_sleep(1.5);
    command_queue q;
    for (const char* text : {"first", "second", "third"}) {
        ASSERT_EQ(q.send(1, text), 0);
    }
    process d = start_daemon({"-c", conf_path});
    ASSERT_TRUE(wait_until([&] { return runs_started() >= 1u; }, 20s));
    d.signal(SIGTERM);
    std::this_thread::sleep_for(200ms);
    d.signal(SIGTERM);
    EXPECT_EQ(d.wait_exit(20s), exited(0));
    const auto r = runs();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r.back().args, std::vector<std::string>{"first"});
    EXPECT_GE(r.back().end_us - r.back().start_us, 1'500'000) << "the script ran to its end";
    EXPECT_EQ(runs_started(), r.size());
    EXPECT_EQ(q.waiting(), 2u);
    EXPECT_EQ(d.out(), debug_line(0) + receiving + echo_line(1, "first") + stopping);
    EXPECT_TRUE(wait_for_entry_of(d.pid(), info, "Stopped useraccountd"));
}

// A stop or reload that comes before the daemon has its handler (here, both
// are pending from before its first line) is taken once it is ready.
TEST_F(signals, stop_and_reload_that_come_while_the_daemon_starts_take_effect_once_it_is_ready) {
    write_conf("7\n");
    std::vector<std::string> argv{
        "perl", "-MPOSIX", "-e",
        "sigprocmask(SIG_BLOCK, POSIX::SigSet->new(SIGHUP, SIGTERM)) or die; "
        "kill HUP => $$; kill TERM => $$; exec { $ARGV[0] } 'useraccountd', @ARGV[1..$#ARGV]"};
    for (const auto& word : built_program(daemon_path, "useraccountd")) {
        argv.push_back(word);
    }
    argv.insert(argv.end(), {"-c", conf_path});
    process d("/usr/bin/perl", argv);
    EXPECT_EQ(d.wait_exit(5s), exited(0));
    // The kernel, not the sender, orders two signals pending together.
    EXPECT_TRUE(d.out() == reloading + stopping || d.out() == stopping + reloading) << d.out();
    EXPECT_EQ(entries_of(d.pid()), (entry_list{{info, "Started useraccountd"},
                                               {info, conf_entry},
                                               {info, reload_entry},
                                               {info, "Stopped useraccountd"}}));

    // A service manager (on an abstract socket here) reloads the moment it
    // is told READY=1: the handler is in place by then, every time.
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const std::string name = "@useraccountd-notify-" + std::to_string(round);
        syslog_capture manager(name);
        ASSERT_EQ(setenv("NOTIFY_SOCKET", name.c_str(), 1), 0);
        process r = start_daemon({"-c", conf_path});
        ASSERT_TRUE(manager.wait_for_entry("READY=1", 20s));
        r.signal(SIGHUP);
        EXPECT_TRUE(manager.wait_for_entry("RELOADING=1", 5s));
        r.signal(SIGTERM);
        EXPECT_EQ(r.wait_exit(5s), exited(0));
    }
}

// useraccountctl stop: SIGTERM once to the daemon holding the PID file's
// lock, then the wait for its end: at once when it is idle, after the command
// it runs otherwise, with the next one left queued.
TEST_F(signals, stop_command_ends_the_daemon_of_its_pid_file_after_its_command) {
    write_conf("0\n");
    const std::string pid_file = "/quex/useraccountd.pid";
    const std::string log_file = "/quex/useraccountd.log";
    command_queue q;
    for (const bool busy : {false, true}) {
        SCOPED_TRACE(busy ? "during a command" : "idle");
        write_file(log_file, "");
        set_script_sleep(busy ? 1.5 : 0);
        process launcher = start_daemon({"-d", "-c", conf_path, "-l", log_file, "-p", pid_file});
        ASSERT_EQ(launcher.wait_exit(5s), exited(0));
        ASSERT_TRUE(wait_for_file_text(log_file, debug_line(0)));
        const pid_t daemon = pid_in_file(pid_file);
        ASSERT_GT(daemon, 0);
        if (busy) {
            ASSERT_EQ(q.send(1, "slow"), 0);
            ASSERT_EQ(q.send(1, "next"), 0);
            ASSERT_TRUE(wait_until([&] { return runs_started() == 1; }, 20s));
        }
        const auto start = std::chrono::steady_clock::now();
        process stopper = run_ctl({"stop", "-p", pid_file, "--timeout", "20"});
        EXPECT_EQ(stopper.wait_exit(20s), exited(0)) << stopper.err();
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(wait_orphan(daemon, 1s), exited(0)) << "it had ended when stop returned";
        EXPECT_FALSE(file_exists(pid_file));
        if (busy) {
            EXPECT_GE(took, 1s) << "stop waited for the command";
            ASSERT_EQ(runs().size(), 1u);
            EXPECT_GE(runs()[0].end_us - runs()[0].start_us, 1'500'000) << "it ran to its end";
            EXPECT_EQ(q.waiting(), 1u);
        } else {
            EXPECT_LT(took, 1s) << "an idle daemon stops at once";
            EXPECT_EQ(read_file(log_file), debug_line(0) + stopping);
        }
    }
    process gone = run_ctl({"stop", "-p", pid_file});
    EXPECT_EQ(gone.wait_exit(5s), exited(1));
    EXPECT_NE(gone.err().find("no daemon is running"), std::string::npos) << gone.err();
}

// A request that lands after the loop's check and before the wait begins
// must still end that wait at once. The log stream is a full FIFO, so the
// daemon blocks in the write of its "Debug: N" line, between the check and
// the receive: the request comes then, and the FIFO is emptied after it.
TEST_F(signals, request_between_the_check_and_the_wait_still_cuts_the_wait_short) {
    const std::string fifo = "/quex/log.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0) << std::strerror(errno);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_NE(reader, -1) << std::strerror(errno);
    const int page = fcntl(reader, F_SETPIPE_SZ, 4096);
    ASSERT_NE(page, -1) << std::strerror(errno);
    const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_NE(writer, -1) << std::strerror(errno);
    std::string filler(static_cast<std::size_t>(page), '#');
    filler.back() = '\n';
    std::string log;
    const auto empty_the_fifo = [&] {
        char buffer[4096];
        for (ssize_t n; (n = ::read(reader, buffer, sizeof buffer)) > 0;) {
            log.append(buffer, static_cast<std::size_t>(n));
        }
    };

    const auto log_shows = [&](const std::string& text, timeout limit) {
        return wait_until(
            [&] {
                empty_the_fifo();
                return log.find(text) != std::string::npos;
            },
            limit);
    };
    const auto fill_the_fifo = [&] {
        return ::write(writer, filler.data(), filler.size()) == static_cast<ssize_t>(filler.size());
    };

    write_conf("0\n");
    ASSERT_TRUE(fill_the_fifo());
    process d = start_daemon({"-c", conf_path, "-l", fifo});
    ASSERT_TRUE(wait_for_syscall(d.pid(), call_write));
    d.signal(SIGHUP);
    std::this_thread::sleep_for(20ms);  // the write goes on waiting meanwhile
    EXPECT_TRUE(log_shows(debug_line(1), 1s))
        << "the reload waited for a message: " << log.substr(filler.size());

    ASSERT_TRUE(fill_the_fifo());
    command_queue q;
    ASSERT_EQ(q.send(2, "x"), 0);
    ASSERT_TRUE(wait_for_syscall(d.pid(), call_write));
    d.signal(SIGINT);
    std::this_thread::sleep_for(20ms);
    empty_the_fifo();
    EXPECT_EQ(d.wait_exit(1s), exited(0)) << "the stop request waited for a message";
    empty_the_fifo();
    ::close(reader);
    ::close(writer);

    EXPECT_EQ(log, filler + debug_line(0) + reloading + debug_line(1) + filler + debug_line(2) +
                       stopping);
    EXPECT_EQ(d.out(), receiving + receiving + echo_line(2, "x") + receiving);
}

// The orderly stop is held at its "Stopped" entry: the system-log socket is
// one the test fills and does not read. A second SIGINT then finds SIGINT's
// default action back and ends the process.
TEST_F(signals, second_sigint_during_the_orderly_stop_ends_the_process_by_default_action) {
    ::unlink("/dev/log");
    const int log_socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_NE(log_socket, -1);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, "/dev/log");
    ASSERT_EQ(::bind(log_socket, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0)
        << std::strerror(errno);

    process d = start_daemon({});
    ASSERT_TRUE(wait_for_output(d, debug_line(0)));
    ASSERT_TRUE(wait_for_syscall(d.pid(), call_msgrcv));
    const int filler = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_NE(filler, -1);
    int filled = 0;
    while (::sendto(filler, "<14>filler", 10, MSG_DONTWAIT,
                    reinterpret_cast<const sockaddr*>(&address), sizeof address) == 10) {
        ++filled;
    }
    ASSERT_EQ(errno, EAGAIN);
    ::close(filler);

    d.signal(SIGINT);
    ASSERT_TRUE(wait_for_syscall(d.pid(), call_sendto)) << "not held at the Stopped entry";
    EXPECT_NE(catches_signal(d.pid(), SIGINT), true) << "SIGINT still caught";
    d.signal(SIGINT);
    EXPECT_EQ(d.wait_exit(5s), killed_by(SIGINT));

    std::vector<std::string> messages;
    char datagram[1024];
    for (ssize_t n; (n = ::recv(log_socket, datagram, sizeof datagram, MSG_DONTWAIT)) > 0;) {
        messages.emplace_back(datagram, static_cast<std::size_t>(n));
    }
    ::close(log_socket);
    ASSERT_FALSE(messages.empty());
    EXPECT_TRUE(messages.front().ends_with("]: Started useraccountd")) << messages.front();
    for (const auto& m : messages) {
        EXPECT_EQ(m.find("Stopped"), std::string::npos) << m;
    }
    EXPECT_EQ(static_cast<int>(messages.size()), filled + 1);
}

// Either the first request stops the daemon in order before the second
// comes, or the second finds SIGINT's default action back: never a hang.
TEST_F(signals, two_quick_sigints_end_the_daemon_with_0_or_by_sigint) {
    write_conf("0\n");
    int orderly = 0;
    int by_signal = 0;
    // The gap between the two grows by 25 us a round, spun rather than
    // slept, so that some second requests land while the first is acted on.
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        process d = start_daemon({"-c", conf_path});
        ASSERT_TRUE(wait_for_output(d, debug_line(0)));
        const auto second_at =
            std::chrono::steady_clock::now() + std::chrono::microseconds(25 * round);
        d.signal(SIGINT);
        while (std::chrono::steady_clock::now() < second_at) {
        }
        d.signal(SIGINT);
        const auto status = d.wait_exit(5s);
        ASSERT_TRUE(status) << "no end within 5 s";
        if (*status == exited(0)) {
            ++orderly;
            EXPECT_TRUE(d.out().ends_with(stopping)) << d.out();
            EXPECT_TRUE(wait_for_entry_of(d.pid(), info, "Stopped useraccountd", 5s));
        } else {
            EXPECT_EQ(*status, killed_by(SIGINT));
            ++by_signal;
        }
    }
    std::printf("orderly stops: %d, ended by the second SIGINT: %d\n", orderly, by_signal);
}

// A service manager listening on $NOTIFY_SOCKET is told when the daemon is
// ready (its handlers installed, the queue open), of the reload, and of the
// stop; messages without a command and without a pause change no status.
TEST_F(signals, sighup_while_waiting_reloads_and_the_daemon_serves_on_with_the_new_value) {
    write_conf("3\n");
    syslog_capture manager("/run/notify");
    ASSERT_EQ(setenv("NOTIFY_SOCKET", "/run/notify", 1), 0);
    process d = start_daemon({"-c", conf_path});
    const std::string ready = "READY=1\nSTATUS=Waiting for a command; served 0, failed 0";
    ASSERT_TRUE(manager.wait_for_entry(ready, 20s));
    for (const int sig : {SIGINT, SIGHUP, SIGTERM}) {
        EXPECT_NE(catches_signal(d.pid(), sig), false)
            << "not caught yet at READY=1: signal " << sig;
    }
    EXPECT_TRUE(command_queue::exists()) << "READY=1 before the queue was open";
    ASSERT_TRUE(wait_for_output(d, debug_line(0)));
    ASSERT_TRUE(wait_for_syscall(d.pid(), call_msgrcv));
    write_conf("0\n");
    timespec before{};
    clock_gettime(CLOCK_MONOTONIC, &before);
    d.signal(SIGHUP);
    ASSERT_TRUE(wait_for_output(d, debug_line(1) + receiving));
    EXPECT_EQ(d.out(), debug_line(0) + receiving + reloading + debug_line(1) + receiving);
    EXPECT_TRUE(wait_for_entry_of(d.pid(), info, reload_entry));

    command_queue q;
    EXPECT_TRUE(serves_without_pause(d, q, 5, 3s)) << "the pause of 3 s is gone";
    stop(d);
    EXPECT_EQ(entries_of(d.pid()), (entry_list{{info, "Started useraccountd"},
                                               {info, conf_entry},
                                               {info, reload_entry},
                                               {info, "Stopped useraccountd"}}));
    std::vector<std::string> told;
    for (const auto& e : manager.entries()) {
        told.push_back(e.raw);
    }
    ASSERT_EQ(told.size(), 4u) << ::testing::PrintToString(told);
    EXPECT_EQ(told[0], ready);
    ASSERT_TRUE(told[1].starts_with("RELOADING=1\nMONOTONIC_USEC=")) << told[1];
    const long long reload_us = std::stoll(told[1].substr(told[1].find('=', 12) + 1));
    EXPECT_GE(reload_us, before.tv_sec * 1'000'000LL + before.tv_nsec / 1000)
        << "not CLOCK_MONOTONIC";
    EXPECT_LT(reload_us, before.tv_sec * 1'000'000LL + 20'000'000) << "not in microseconds";
    EXPECT_EQ(told[2], "READY=1");
    EXPECT_EQ(told[3], "STOPPING=1\nSTATUS=Stopping; served 0, failed 0");
}

TEST_F(signals, sighup_without_a_conf_option_writes_only_the_debug_line) {
    process d = start_daemon({});
    ASSERT_TRUE(wait_for_output(d, debug_line(0)));
    ASSERT_TRUE(wait_for_syscall(d.pid(), call_msgrcv));
    d.signal(SIGHUP);
    ASSERT_TRUE(wait_for_output(d, debug_line(1)));
    command_queue q;
    ASSERT_EQ(q.send(7, "after the reload"), 0);
    ASSERT_TRUE(wait_for_output(d, debug_line(2)));
    stop(d);
    EXPECT_EQ(d.out(), debug_line(0) + receiving + reloading + debug_line(1) + receiving +
                           echo_line(7, "after the reload") + debug_line(2) + receiving + stopping);
    EXPECT_EQ(entries_of(d.pid()),
              (entry_list{{info, "Started useraccountd"}, {info, "Stopped useraccountd"}}));
}

// The reload waits for the command to end; the pause after it is the new one.
TEST_F(signals, sighup_during_an_account_command_sets_a_longer_pause_after_it) {
    write_conf("0\n");
    set_script_sleep(1.5);
    command_queue q;
    ASSERT_EQ(q.send(1, "one"), 0);
    ASSERT_EQ(q.send(1, "two"), 0);
    process d = start_daemon({"-c", conf_path, "-l", "/quex/hup.log"});
    ASSERT_TRUE(wait_until([&] { return runs_started() >= 1; }, 20s));
    ASSERT_TRUE(wait_for_syscall(d.pid(), call_wait4));
    write_conf("3\n");
    ASSERT_TRUE(runs().empty());
    d.signal(SIGHUP);

    ASSERT_TRUE(wait_for_runs(2, 30s));
    const auto r = runs();
    EXPECT_GE(r[0].end_us - r[0].start_us, 1'500'000) << "the first command ran to its end";
    EXPECT_GE(r[1].start_us - r[0].end_us, 3'000'000)
        << "the new pause of 3 s followed the first command";
    EXPECT_EQ(r[1].args, std::vector<std::string>{"two"});
    EXPECT_TRUE(read_file("/quex/hup.log").starts_with(debug_line(0) + reloading + debug_line(1)))
        << read_file("/quex/hup.log");
    EXPECT_EQ(
        entries_of(d.pid()),
        (entry_list{{info, "Started useraccountd"}, {info, conf_entry}, {info, reload_entry}}));
}

TEST_F(signals, sighup_during_an_account_command_cuts_a_long_pause_after_it) {
    write_conf("30\n");
    set_script_sleep(1.5);
    command_queue q;
    ASSERT_EQ(q.send(1, "one"), 0);
    ASSERT_EQ(q.send(1, "two"), 0);
    process d = start_daemon({"-c", conf_path});
    ASSERT_TRUE(wait_until([&] { return runs_started() >= 1; }, 20s));
    ASSERT_TRUE(wait_for_syscall(d.pid(), call_wait4));
    write_conf("0\n");
    ASSERT_TRUE(runs().empty());
    d.signal(SIGHUP);

    ASSERT_TRUE(wait_for_runs(2, 20s)) << "the pause after the first command was not the new 0 s";
    const auto r = runs();
    EXPECT_GE(r[0].end_us - r[0].start_us, 1'500'000);
    EXPECT_LT(r[1].start_us - r[0].end_us, 10'000'000);
    EXPECT_TRUE(wait_for_entry_of(d.pid(), info, reload_entry));
}

}  // namespace
}  // namespace blackbox
