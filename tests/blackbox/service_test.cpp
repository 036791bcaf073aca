// Black box: options and help, the run sequence, the log stream,
// the command queue and the service loop of the real useraccountd, each test
// in a fresh sandbox (its own queue, /quex and /dev/log).
//
// The daemon's standard output is a file, line-buffered: each line shows as
// it is written. "Debug: N" on standard output means message N-1 has been
// served and its pause has passed.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "command_queue.h"
#include "harness.h"

namespace blackbox {
namespace {

const std::string help_text_for(const std::string& app_name) {
    return "\n Usage: " + app_name +
           " [OPTIONS]\n\n"
           "  Options:\n"
           "   -h --help                 Print this help\n"
           "   -c --conf_file filename   Read configuration from the file\n"
           "   -t --test_conf filename   Test configuration file\n"
           "   -l --log_file  filename   Write logs to the file\n"
           "   -d --daemon               Daemonize this application\n"
           "   -p --pid_file  filename   PID file used by daemonized app\n"
           "   -r --record    filename   Record the outcome of each message\n"
           "   -s --record_size bytes    Rotate the record at this size (default 2097152)\n"
           "\n";
}

std::string debug_line(int n) {
    return "Debug: " + std::to_string(n) + "\n";
}

std::string echo_line(long type, const std::string& text) {
    return "\nTesing...... Type:" + std::to_string(type) + "      " + text + "\n";
}

const std::string receiving = "receiving msg..... \n";

using words = std::vector<std::string>;

class service : public sandbox_test {
  protected:
    // The daemon with a pause of 0 s, for tests where the pause does not
    // matter.
    process start_fast(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"-c", write_conf("0\n")};
        args.insert(args.end(), extra.begin(), extra.end());
        return start_daemon(args);
    }

    // SIGINT, the stop request: "Stopped" and status 0.
    void stop(process& d) {
        d.signal(SIGINT);
        EXPECT_EQ(d.wait_exit(20s), exited(0)) << "stderr: " << d.err();
    }

    // The daemon's own entries (ident useraccountd, its pid).
    std::vector<log_entry> daemon_entries(const process& d) {
        std::vector<log_entry> mine;
        for (auto& e : system_log().entries()) {
            if (e.ident == "useraccountd" && e.pid == d.pid()) {
                mine.push_back(std::move(e));
            }
        }
        return mine;
    }

    std::vector<log_entry> sudo_commands() {
        std::vector<log_entry> found;
        for (auto& e : system_log().entries()) {
            if (e.ident == "sudo" && e.message.find("COMMAND=") != std::string::npos) {
                found.push_back(std::move(e));
            }
        }
        return found;
    }

    std::vector<words> run_args() const {
        std::vector<words> all;
        for (auto& r : runs()) {
            all.push_back(std::move(r.args));
        }
        return all;
    }

    std::optional<log_entry> wait_for_daemon_entry(const process& d, int priority,
                                                   std::string_view text, timeout limit = 20s) {
        return system_log().wait_for_entry(
            [&](const log_entry& e) {
                return e.ident == "useraccountd" && e.pid == d.pid() && e.priority == priority &&
                       e.message == text;
            },
            limit);
    }
};

constexpr int info = LOG_DAEMON | LOG_INFO;
constexpr int error = LOG_DAEMON | LOG_ERR;

// ---- options and help

TEST_F(service, help_prints_exact_text_and_exits_0) {
    for (const auto& option : {"-h", "--help", "--he"}) {
        process p = start_daemon({option});
        EXPECT_EQ(p.wait_exit(20s), exited(0)) << option;
        EXPECT_EQ(p.out(), help_text_for("useraccountd")) << option;
        EXPECT_EQ(p.err(), "") << option;
    }
    // argv[0] fills the usage line.
    process p = start_daemon({"-h"}, "/opt/x/uad");
    EXPECT_EQ(p.wait_exit(20s), exited(0));
    EXPECT_EQ(p.out(), help_text_for("/opt/x/uad"));

    // -h ends the run before a later -t is read.
    process q = start_daemon({"-h", "-t", "/quex/missing.conf"});
    EXPECT_EQ(q.wait_exit(20s), exited(0));
    EXPECT_EQ(q.out(), help_text_for("useraccountd"));
    EXPECT_EQ(q.err(), "");

    EXPECT_TRUE(system_log().entries().empty()) << "help logs nothing";
    EXPECT_FALSE(command_queue::exists()) << "help creates no queue";
}

TEST_F(service, bad_option_or_missing_argument_complains_prints_help_and_exits_1) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"-x"}, "invalid option -- 'x'"},
        {{"--bogus"}, "unrecognized option '--bogus'"},
        {{"-c"}, "option requires an argument -- 'c'"},
        {{"--conf_file"}, "option '--conf_file' requires an argument"},
        {{"-l"}, "option requires an argument -- 'l'"},
        {{"-p"}, "option requires an argument -- 'p'"},
        {{"-t"}, "option requires an argument -- 't'"},
        {{"-r"}, "option requires an argument -- 'r'"},
        {{"-d", "-q"}, "invalid option -- 'q'"},
        {{"-s", "65535"}, "invalid record size '65535': bytes, from 65536 to 1099511627776"},
        {{"--record_size=1M"}, "invalid record size '1M'"},
    };
    for (const auto& [args, complaint] : cases) {
        process p = start_daemon(args);
        EXPECT_EQ(p.wait_exit(20s), exited(1)) << args[0];
        EXPECT_EQ(p.out(), help_text_for("useraccountd")) << args[0];
        EXPECT_NE(p.err().find(complaint), std::string::npos) << args[0] << ", stderr: " << p.err();
    }
    EXPECT_TRUE(system_log().entries().empty()) << "a bad option logs nothing";
    EXPECT_FALSE(command_queue::exists());
}

// ---- the run sequence

TEST_F(service, no_options_serves_in_foreground_with_debug_lines_on_stdout_and_a_1_s_pause) {
    process d = start_daemon({});
    ASSERT_TRUE(wait_for_output(d, debug_line(0)));
    ASSERT_TRUE(wait_for_daemon_entry(d, info, "Started useraccountd"));

    // The daemon created the queue, open to everyone.
    ASSERT_TRUE(command_queue::exists());
    command_queue q;
    EXPECT_EQ(q.mode(), 0666u);

    // No configuration file: the pause after a message is 1 s.
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_EQ(q.send(7, "x"), 0);
    ASSERT_TRUE(wait_for_output(d, debug_line(1)));
    EXPECT_GE(std::chrono::steady_clock::now() - sent, 1s);

    stop(d);
    const std::string out = d.out();
    EXPECT_TRUE(
        out.starts_with(debug_line(0) + receiving + echo_line(7, "x") + debug_line(1) + receiving))
        << out;
    EXPECT_EQ(d.err(), "");

    const auto entries = daemon_entries(d);
    ASSERT_GE(entries.size(), 2u);
    EXPECT_EQ(entries.front().message, "Started useraccountd");
    EXPECT_EQ(entries.front().priority, info);
    EXPECT_EQ(entries.back().message, "Stopped useraccountd");
    EXPECT_EQ(entries.back().priority, info);
    EXPECT_EQ(entries.size(), 2u) << "no configuration read, nothing else logged";

    // The queue belongs to the system and outlives the daemon.
    EXPECT_TRUE(command_queue::exists());
    EXPECT_TRUE(runs().empty());
}

TEST_F(service, log_file_takes_the_debug_lines_appended) {
    write_file("/quex/daemon.log", "old line\n");
    process d = start_fast({"-l", "/quex/daemon.log"});
    ASSERT_TRUE(wait_until(
        [] { return read_file("/quex/daemon.log") == "old line\n" + debug_line(0); }, 20s))
        << read_file("/quex/daemon.log");
    command_queue q;
    ASSERT_EQ(q.send(2, "hello"), 0);
    ASSERT_TRUE(
        wait_until([] { return read_file("/quex/daemon.log").ends_with(debug_line(1)); }, 20s));
    EXPECT_NE(d.out().find(echo_line(2, "hello")), std::string::npos)
        << "the echo line is written while the daemon runs, not at exit";
    stop(d);
    EXPECT_TRUE(
        read_file("/quex/daemon.log").starts_with("old line\n" + debug_line(0) + debug_line(1)));
    const std::string out = d.out();
    EXPECT_TRUE(out.starts_with(receiving + echo_line(2, "hello") + receiving)) << out;
    EXPECT_EQ(out.find("Debug: "), std::string::npos) << out;
}

TEST_F(service, log_file_or_record_in_missing_directory_is_logged_and_serving_goes_on) {
    process d = start_fast({"-l", "/quex/missing/daemon.log", "-r", "/quex/missing/outcomes"});
    const auto e = wait_for_daemon_entry(
        d, error,
        "Can not open log file: /quex/missing/daemon.log, error: No such file or directory");
    EXPECT_TRUE(e);
    ASSERT_TRUE(wait_for_output(d, debug_line(0)));
    command_queue q;
    ASSERT_EQ(q.send(7, "still serving"), 0);
    ASSERT_TRUE(wait_for_output(d, debug_line(1)));
    EXPECT_TRUE(d.out().starts_with(debug_line(0) + receiving + echo_line(7, "still serving") +
                                    debug_line(1)))
        << d.out();
    // The line that could not be written is kept in the entry.
    EXPECT_TRUE(
        wait_for_daemon_entry(d, error,
                              "Can not write outcome record: /quex/missing/outcomes, error: "
                              "No such file or directory; type 7, ignored: still serving"));
    EXPECT_FALSE(file_exists("/quex/missing"));

    // The record's directory made, then removed while the daemon serves.
    ASSERT_EQ(mkdir("/quex/missing", 0755), 0);
    ASSERT_EQ(q.send(7, "made"), 0);
    ASSERT_TRUE(wait_for_output(d, debug_line(2)));
    EXPECT_TRUE(read_file("/quex/missing/outcomes").ends_with("\t7\tignored\t\tmade\n"));
    // Put in its place, a directory of another user's is refused, each time.
    std::filesystem::remove_all("/quex/missing");
    ASSERT_EQ(mkdir("/quex/missing", 0755), 0);
    ASSERT_EQ(chown("/quex/missing", 65534, 65534), 0);
    ASSERT_EQ(q.send(7, "swapped"), 0);
    EXPECT_TRUE(wait_for_daemon_entry(d, error,
                                      "Can not write outcome record: /quex/missing/outcomes, "
                                      "error: Operation not permitted; type 7, ignored: swapped"));
    EXPECT_FALSE(file_exists("/quex/missing/outcomes"));
    std::filesystem::remove_all("/quex/missing");
    ASSERT_EQ(q.send(7, "removed"), 0);
    EXPECT_TRUE(
        wait_for_daemon_entry(d, error,
                              "Can not write outcome record: /quex/missing/outcomes, "
                              "error: No such file or directory; type 7, ignored: removed"));
    d.signal(SIGKILL);
}

// A log file someone else could have planted or could write to is refused,
// like one that cannot be opened, and left as it was; so is a path that runs
// through a symlink or a directory that someone else controls. A root-owned
// link on the way (as /var/run -> /run) and a sticky directory serve.
TEST_F(service, planted_log_files_are_refused_and_left_unchanged) {
    write_file("/quex/victim", "precious\n", 0600);
    ASSERT_EQ(symlink("/quex/victim", "/quex/symlink.log"), 0);
    write_file("/quex/open.log", "forged\n", 0666);
    ASSERT_EQ(chown("/quex/open.log", 65534, 65534), 0);
    write_file("/quex/writable.log", "", 0622);
    // Root's own files, in directories that others control or reach.
    for (const char* dir : {"/quex/system", "/quex/nobodys", "/quex/shared"}) {
        ASSERT_EQ(mkdir(dir, 0755), 0);
        write_file(std::string(dir) + "/important", "root's\n", 0644);
    }
    ASSERT_EQ(chown("/quex/nobodys", 65534, 65534), 0);
    ASSERT_EQ(chmod("/quex/shared", 0775), 0);
    ASSERT_TRUE(plant_link_as_nobody("/quex/system", "uad"));
    const std::pair<const char*, const char*> planted[] = {
        {"/quex/symlink.log", "Too many levels of symbolic links"},
        {"/quex/open.log", "Operation not permitted"},
        {"/quex/writable.log", "Operation not permitted"},
        {"/quex/tmp/uad/important", "Operation not permitted"},
        {"/quex/nobodys/important", "Operation not permitted"},
        {"/quex/shared/important", "Operation not permitted"},
    };
    command_queue q;
    for (const auto& [name, error_text] : planted) {
        SCOPED_TRACE(name);
        process d = start_fast({"-l", name, "-r", name});
        EXPECT_TRUE(wait_for_daemon_entry(
            d, error, "Can not open log file: " + std::string(name) + ", error: " + error_text));
        EXPECT_TRUE(wait_for_output(d, debug_line(0) + receiving));
        ASSERT_EQ(q.send(2, "x"), 0);
        EXPECT_TRUE(wait_for_daemon_entry(d, error,
                                          "Can not write outcome record: " + std::string(name) +
                                              ", error: " + error_text + "; type 2, ignored: x"));
        stop(d);
    }
    EXPECT_EQ(read_file("/quex/victim"), "precious\n");
    EXPECT_EQ(read_file("/quex/open.log"), "forged\n");
    EXPECT_EQ(read_file("/quex/writable.log"), "");
    for (const char* dir : {"/quex/system", "/quex/nobodys", "/quex/shared"}) {
        EXPECT_EQ(read_file(std::string(dir) + "/important"), "root's\n") << dir;
    }

    ASSERT_EQ(symlink("/run", "/quex/run"), 0);
    for (const std::string name : {"/quex/run/via-link.log", "/quex/tmp/sticky.log"}) {
        process d = start_fast({"-l", name});
        EXPECT_TRUE(wait_until([&] { return read_file(name) == debug_line(0); }, 20s)) << name;
        stop(d);
    }
    EXPECT_TRUE(read_file("/run/via-link.log").starts_with(debug_line(0)));
}

// A failing log stream ends the daemon in order, and with status 1: its
// supervisor must not take the end for a requested stop.
TEST_F(service, log_stream_that_cannot_be_flushed_ends_the_loop_with_one_entry_then_stopped) {
    process d = start_fast({"-l", "/dev/full"});
    ASSERT_EQ(d.wait_exit(20s), exited(1)) << d.err();
    const auto entries = daemon_entries(d);
    std::vector<std::pair<int, std::string>> got;
    for (const auto& e : entries) {
        got.emplace_back(e.priority, e.message);
    }
    const std::vector<std::pair<int, std::string>> expected{
        {info, "Started useraccountd"},
        {info, "Configuration of useraccountd read from file " + std::string(conf_path)},
        {error, "Can not fflush() log stream: /dev/full, error: No space left on device"},
        {info, "Stopped useraccountd"},
    };
    EXPECT_EQ(got, expected);
    EXPECT_EQ(d.out().find("receiving"), std::string::npos) << "the loop ends before it waits";
    EXPECT_EQ(d.err(), "");
}

// Standard output is line-buffered, so the debug line's own write fails.
TEST_F(service, stdout_as_a_log_stream_that_cannot_be_written_is_named_stdout) {
    // bash execs the daemon (same pid, argv[0] useraccountd) with stdout on /dev/full.
    std::vector<std::string> argv{"bash", "-c", "exec -a useraccountd \"$@\" >/dev/full", "bash"};
    for (const auto& word : built_program(daemon_path, "useraccountd")) {
        argv.push_back(word);
    }
    argv.insert(argv.end(), {"-c", write_conf("0\n")});
    process d("/usr/bin/bash", argv);
    ASSERT_EQ(d.wait_exit(20s), exited(1)) << d.err();
    std::vector<std::string> errors;
    bool stopped = false;
    for (const auto& e : daemon_entries(d)) {
        if (e.priority == error) {
            errors.push_back(e.message);
        }
        stopped = stopped || e.message == "Stopped useraccountd";
    }
    EXPECT_EQ(errors, std::vector<std::string>{
                          "Can not write to log stream: stdout, error: No space left on device"});
    EXPECT_TRUE(stopped);
}

TEST_F(service, missing_key_file_ends_with_ftok_on_stderr_and_status_1) {
    ::unlink(queue_key_file);
    process d = start_fast();
    EXPECT_EQ(d.wait_exit(20s), exited(1));
    EXPECT_EQ(d.err(), "ftok: No such file or directory\n");
    const auto entries = daemon_entries(d);
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries.front().message, "Started useraccountd");
    for (const auto& e : entries) {
        EXPECT_EQ(e.message.find("Stopped"), std::string::npos) << "no orderly stop: " << e;
    }
}

TEST_F(service, queue_removed_while_waiting_ends_with_msgrcv_on_stderr_and_status_1) {
    process d = start_fast();
    ASSERT_TRUE(wait_for_output(d, debug_line(0)));
    command_queue q;
    q.remove();
    EXPECT_EQ(d.wait_exit(20s), exited(1));
    EXPECT_EQ(d.err(), "msgrcv: Identifier removed\n");
    for (const auto& e : daemon_entries(d)) {
        EXPECT_EQ(e.message.find("Stopped"), std::string::npos) << e;
    }
}

// ---- messages and the account script

// A text's control bytes, C1 controls and bytes that are not UTF-8 are echoed
// as escapes: it stays one line, cannot pass for a line of the daemon's own
// and stays text in the journal. Tab, backslash and UTF-8 stay as sent.
TEST_F(service, types_1_2_3_and_7_are_echoed_and_only_type_1_runs_the_script) {
    process d = start_fast();
    ASSERT_TRUE(wait_for_output(d, debug_line(0)));
    command_queue q;
    ASSERT_EQ(q.send(2, "two"), 0);
    ASSERT_EQ(q.send(7,
                     "seven \x1b[2J\r\nDebug: 9\x7f\t\\ \xc3\xa9\xc2\x9b"
                     "2J\xc2\x85\x9b \xe4\xb8\xad"),
              0);
    ASSERT_EQ(q.send(3, "three"), 0);
    ASSERT_EQ(q.send(1, "alice"), 0);
    ASSERT_TRUE(wait_for_output(d, debug_line(4)));
    EXPECT_TRUE(d.out().starts_with(
        debug_line(0) + receiving + echo_line(2, "two") + debug_line(1) + receiving +
        echo_line(7,
                  "seven \\x1b[2J\\r\\nDebug: 9\\x7f\t\\ \xc3\xa9\\xc2\\x9b2J\\xc2\\x85\\x9b "
                  "\xe4\xb8\xad") +
        debug_line(2) + receiving + echo_line(3, "three") + debug_line(3) + receiving +
        echo_line(1, "alice") + debug_line(4)))
        << d.out();
    const auto r = runs();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].args, words{"alice"});
    EXPECT_EQ(r[0].euid, 0) << "the script runs as root";
    EXPECT_EQ(sudo_commands().size(), 1u);
    EXPECT_EQ(q.waiting(), 0u);
}

TEST_F(service, empty_text_runs_the_script_with_no_arguments) {
    process d = start_fast();
    command_queue q;
    ASSERT_EQ(q.send(1, ""), 0);
    ASSERT_TRUE(wait_for_output(d, debug_line(1)));
    EXPECT_EQ(run_args(), std::vector<words>{words{}});
    EXPECT_NE(d.out().find(echo_line(1, "")), std::string::npos) << d.out();
}

TEST_F(service, text_ends_at_a_zero_byte) {
    command_queue q;
    ASSERT_EQ(q.send(1, std::string("alice\0; touch /tmp/after_zero", 29)), 0);
    process d = start_fast();
    ASSERT_TRUE(wait_for_output(d, debug_line(1)));
    EXPECT_EQ(run_args(), std::vector<words>{{"alice"}});
    EXPECT_NE(d.out().find(echo_line(1, "alice")), std::string::npos) << d.out();
    EXPECT_FALSE(file_exists("/tmp/after_zero"));
}

TEST_F(service, two_words_become_two_arguments_and_sudo_logs_the_command) {
    process d = start_fast();
    command_queue q;
    ASSERT_EQ(q.send(1, "alice bob"), 0);
    ASSERT_EQ(q.send(1, "add \"John Smith\"  'x y'\tz"), 0);
    ASSERT_EQ(q.send(1, "''"), 0);
    ASSERT_TRUE(wait_for_output(d, debug_line(3)));
    EXPECT_EQ(run_args(),
              (std::vector<words>{{"alice", "bob"}, {"add", "John Smith", "x y", "z"}, {""}}));

    const auto commands = sudo_commands();
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_EQ(commands[0].facility(), LOG_AUTHPRIV);
    EXPECT_NE(commands[0].message.find(
                  "USER=root ; COMMAND=/usr/bin/bash /quex/sbin/useraccount.sh alice bob"),
              std::string::npos)
        << commands[0];
}

// The fields of each line of an outcome record, the time apart.
std::vector<words> record_lines(const std::string& path) {
    std::vector<words> lines;
    std::istringstream record(read_file(path));
    for (std::string line; std::getline(record, line);) {
        words fields;
        std::istringstream split(line);
        for (std::string field; std::getline(split, field, '\t');) {
            fields.push_back(field);
        }
        if (line.ends_with('\t')) {
            fields.emplace_back();
        }
        EXPECT_EQ(fields.size(), 5u) << line;
        // UTC to the microsecond; 0 stands for any digit.
        const std::string_view form = "0000-00-00T00:00:00.000000Z";
        const std::string& time = fields.at(0);
        EXPECT_TRUE(
            time.size() == form.size() &&
            std::equal(form.begin(), form.end(), time.begin(),
                       [](char f, char c) { return f == '0' ? c >= '0' && c <= '9' : f == c; }))
            << line;
        fields.erase(fields.begin());
        lines.push_back(fields);
    }
    return lines;
}

// A failed command is off the queue all the same: only the daemon's own
// entry tells that it was not carried out. A command that succeeds adds none.
// The outcome record has a line for every message, a command whose daemon
// died while it ran included. A service manager on $NOTIFY_SOCKET sees each
// command run and the counts.
TEST_F(service, failed_account_commands_are_logged_and_every_outcome_recorded) {
    ASSERT_EQ(mkdir("/quex/record", 0750), 0);
    const std::string record = "/quex/record/outcomes";
    syslog_capture manager("/run/notify");
    ASSERT_EQ(setenv("NOTIFY_SOCKET", "/run/notify", 1), 0);
    process d = start_fast({"-r", record});
    ASSERT_EQ(unsetenv("NOTIFY_SOCKET"), 0);
    ASSERT_TRUE(wait_for_output(d, debug_line(0)));
    command_queue q;
    set_script_exit(3);
    ASSERT_EQ(q.send(1, "fails \x1b[2J 'a b'"), 0);
    ASSERT_TRUE(wait_for_output(d, debug_line(1)));
    set_script_exit(0);
    ASSERT_EQ(q.send(1, "succeeds"), 0);
    ASSERT_EQ(q.send(2, "tab\there \\ \xe2\x80\xae\xc3\xa9"), 0);
    ASSERT_EQ(q.send(1, "add 'open"), 0);
    ASSERT_EQ(q.send(3, std::string(max_text_size + 1, 'x')), 0);
    ASSERT_TRUE(wait_for_output(d, debug_line(5)));

    // The shell that system() started is killed while the script sleeps.
    set_script_sleep(1);
    ASSERT_EQ(q.send(1, "killed"), 0);
    ASSERT_TRUE(wait_until([&] { return runs_started() == 3; }, 20s));
    const std::string children = read_file("/proc/" + std::to_string(d.pid()) + "/task/" +
                                           std::to_string(d.pid()) + "/children");
    ASSERT_EQ(kill(std::stoi(children), SIGKILL), 0) << children;
    ASSERT_TRUE(wait_for_output(d, debug_line(6)));
    ASSERT_TRUE(wait_for_runs(3, 20s));

    std::vector<std::string> errors;
    for (const auto& e : daemon_entries(d)) {
        if (e.priority == error) {
            errors.push_back(e.message);
        }
    }
    EXPECT_EQ(errors,
              (std::vector<std::string>{"Account command ended with status 3: fails \\x1b[2J 'a b'",
                                        "Refused account command: unterminated single quote",
                                        "Dropped oversized message of type 3",
                                        "Account command ended by signal 9: killed"}));

    // Killed while its command runs, the daemon cannot tell its outcome;
    // the next start does, once.
    ASSERT_EQ(q.send(1, "outlives 'its daemon'"), 0);
    ASSERT_TRUE(wait_until([&] { return runs_started() == 4; }, 20s));
    // Refused, oversized and ignored messages count neither as served nor
    // as failed.
    ASSERT_TRUE(manager.wait_for_entry("Running an account command; served 3, failed 2", 20s));
    std::vector<std::string> running;
    for (const auto& e : manager.entries()) {
        if (e.raw.find("Running") != std::string::npos) {
            running.push_back(e.raw);
        }
    }
    EXPECT_EQ(running,
              (std::vector<std::string>{"STATUS=Running an account command; served 0, failed 0",
                                        "STATUS=Running an account command; served 1, failed 1",
                                        "STATUS=Running an account command; served 2, failed 1",
                                        "STATUS=Running an account command; served 3, failed 2"}));
    EXPECT_EQ(manager.entries().front().raw,
              "READY=1\nSTATUS=Waiting for a command; served 0, failed 0");
    d.signal(SIGKILL);
    ASSERT_TRUE(wait_for_runs(4, 20s));
    // The next start tells it once; a command that ended before a stop, or
    // before its daemon was killed waiting, is told by its own line only.
    for (int start = 0; start < 3; ++start) {
        process next = start_fast({"-r", record});
        ASSERT_TRUE(wait_for_output(next, debug_line(0)));
        if (start == 0) {
            ASSERT_EQ(q.send(1, "ends before the stop"), 0);
            ASSERT_TRUE(wait_for_output(next, debug_line(1)));
        }
        if (start == 1) {
            next.signal(SIGKILL);
            continue;
        }
        stop(next);
    }
    EXPECT_TRUE(file_exists(record + ".running"));
    EXPECT_EQ(read_file(record + ".running"), "") << "the note of a command that has ended";
    EXPECT_EQ(record_lines(record),
              (std::vector<words>{
                  {"1", "failed", "3", "fails \\x1b[2J 'a b'"},
                  {"1", "succeeded", "0", "succeeds"},
                  {"2", "ignored", "", "tab\\there \\\\ \\xe2\\x80\\xae\xc3\xa9"},
                  {"1", "refused", "unterminated single quote", "add 'open"},
                  {"3", "oversized", "over 8191 bytes", ""},
                  {"1", "signal", "9", "killed"},
                  {"1", "unknown", "its daemon ended while it ran", "outlives 'its daemon'"},
                  {"1", "succeeded", "0", "ends before the stop"},
              }));
    struct stat st {};
    ASSERT_EQ(stat(record.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

// A flood of the longest messages, each escaped at four bytes a byte, with no
// pause: the daemon rotates its record before a line would take it past its
// bound (-s), so that it never takes much more than twice that; every line
// stays whole. send --wait finds its own line in a file it never saw at the
// name: the waiter is held still while that file is made and rotated.
TEST_F(service, a_flood_of_long_messages_keeps_the_record_within_twice_its_bound) {
    ASSERT_EQ(mkdir("/quex/record", 0750), 0);
    const std::string record = "/quex/record/outcomes";
    process d = start_fast({"-r", record, "-s", "70000"});  // two such lines a file
    command_queue q;
    const std::string flood(max_text_size, '\x01');
    const auto send_floods = [&q, &flood](int count) {
        for (int i = 0; i < count; ++i) {
            ASSERT_EQ(q.send(2, flood), 0);
        }
    };
    send_floods(2);
    ASSERT_TRUE(wait_for_output(d, debug_line(2)));
    d.signal(SIGSTOP);
    const std::string mine = "mine" + flood.substr(4);
    process waited =
        run_ctl({"send", "--wait=20", "--record", record, "--type", "2", "--raw", mine});
    ASSERT_TRUE(wait_until([&q] { return q.waiting() == 1; }, 10s));
    waited.signal(SIGSTOP);
    send_floods(1);  // its line in a new file; the queue holds no more
    d.signal(SIGCONT);
    ASSERT_TRUE(wait_for_output(d, debug_line(4)));
    send_floods(1);  // and that file moved to FILE.1
    ASSERT_TRUE(wait_for_output(d, debug_line(5)));
    waited.signal(SIGCONT);
    EXPECT_EQ(waited.wait_exit(20s), exited(0)) << waited.err();
    EXPECT_NE(waited.out().find("\t2\tignored\t\tmine"), std::string::npos) << waited.out();
    send_floods(16);
    ASSERT_TRUE(wait_for_output(d, debug_line(21)));
    for (const std::string& file : {record, record + ".1"}) {
        struct stat st {};
        ASSERT_EQ(stat(file.c_str(), &st), 0) << file;
        EXPECT_LE(st.st_size, 70000) << file;
        EXPECT_GT(st.st_size, 32768) << file;
        EXPECT_FALSE(record_lines(file).empty()) << file;  // each line whole
    }
    stop(d);
}

TEST_F(service, text_of_8191_bytes_is_received_whole) {
    const std::string one_word = std::string(max_text_size - 1, 'a') + "z";
    std::string many_words;
    words expected;
    for (int i = 0; many_words.size() < max_text_size - 5; ++i) {
        char w[8];
        std::snprintf(w, sizeof w, "w%04d", i % 10000);
        expected.emplace_back(w);
        many_words += (many_words.empty() ? "" : " ") + expected.back();
    }
    many_words += std::string(max_text_size - many_words.size(), ' ');  // blanks pad to the limit
    ASSERT_EQ(one_word.size(), max_text_size);
    ASSERT_EQ(many_words.size(), max_text_size);

    command_queue q;
    ASSERT_EQ(q.send(1, one_word), 0);
    ASSERT_EQ(q.send(1, many_words), 0);
    process d = start_fast();
    ASSERT_TRUE(wait_for_output(d, debug_line(2)));
    const auto r = run_args();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0], words{one_word});
    EXPECT_EQ(r[1], expected);
    EXPECT_NE(d.out().find(echo_line(1, one_word)), std::string::npos);
    EXPECT_NE(d.out().find(echo_line(1, many_words)), std::string::npos);
    for (const auto& e : daemon_entries(d)) {
        EXPECT_NE(e.priority, error) << e;
    }
}

TEST_F(service, oversized_text_is_dropped_and_the_next_message_served) {
    // Sent before the start, so the daemon meets the oversized one first.
    // (The queue holds 16 KiB: two oversized messages do not fit at once.)
    command_queue q;
    ASSERT_EQ(q.send(1, std::string(max_text_size + 1, 'x'), true), 0);
    ASSERT_EQ(q.send(1, "next", true), 0);
    process d = start_fast();
    ASSERT_TRUE(wait_for_output(d, debug_line(2)));
    ASSERT_EQ(q.send(5, std::string(max_text_size + 1, 'y'), true), 0);
    ASSERT_EQ(q.send(1, "last", true), 0);
    ASSERT_TRUE(wait_for_output(d, debug_line(4)));
    EXPECT_EQ(run_args(), (std::vector<words>{{"next"}, {"last"}}));
    EXPECT_EQ(q.waiting(), 0u);

    std::vector<std::string> errors;
    for (const auto& e : daemon_entries(d)) {
        if (e.priority == error) {
            errors.push_back(e.message);
        }
    }
    EXPECT_EQ(errors, (std::vector<std::string>{"Dropped oversized message of type 1",
                                                "Dropped oversized message of type 5"}));
    const std::string out = d.out();
    EXPECT_EQ(out.find("xxxxxxxx"), std::string::npos) << "the dropped message is not echoed";
    EXPECT_EQ(out.find("yyyyyyyy"), std::string::npos);
    EXPECT_NE(out.find(echo_line(1, "next")), std::string::npos);
    stop(d);
    EXPECT_EQ(d.err(), "");
}

TEST_F(service, hostile_texts_reach_the_script_literally_and_nothing_else_runs) {
    const std::vector<std::pair<std::string, words>> cases{
        {"; touch /tmp/semicolon", {";", "touch", "/tmp/semicolon"}},
        {"alice; touch /tmp/semicolon2", {"alice;", "touch", "/tmp/semicolon2"}},
        {"$(touch /tmp/subst)", {"$(touch", "/tmp/subst)"}},
        {"\"$(touch /tmp/subst2)\"", {"$(touch /tmp/subst2)"}},
        {"`touch /tmp/backquote`", {"`touch", "/tmp/backquote`"}},
        {"a | touch /tmp/pipe", {"a", "|", "touch", "/tmp/pipe"}},
        {"a|touch /tmp/pipe2", {"a|touch", "/tmp/pipe2"}},
        {"a && touch /tmp/and", {"a", "&&", "touch", "/tmp/and"}},
        {"a & touch /tmp/background", {"a", "&", "touch", "/tmp/background"}},
        {"a\ntouch /tmp/newline", {"a", "touch", "/tmp/newline"}},
        {"a > /tmp/redirect", {"a", ">", "/tmp/redirect"}},
        {"(touch /tmp/subshell)", {"(touch", "/tmp/subshell)"}},
        {"x' ; touch /tmp/breakout ; '", {"x ; touch /tmp/breakout ; "}},
        {"it\\'s \\; \\$HOME", {"it's", ";", "$HOME"}},
        {"/quex/sbin/* ? [a-z]*", {"/quex/sbin/*", "?", "[a-z]*"}},
        {"~ ~root $HOME ${PATH} $$", {"~", "~root", "$HOME", "${PATH}", "$$"}},
        {"#comment a", {"#comment", "a"}},
    };
    command_queue q;
    for (const auto& [text, expected] : cases) {
        ASSERT_EQ(q.send(1, text), 0);
    }
    process d = start_fast();
    ASSERT_TRUE(wait_for_output(d, debug_line(static_cast<int>(cases.size())), 60s));

    const auto r = run_args();
    EXPECT_EQ(r.size(), cases.size());
    for (std::size_t i = 0; i < std::min(r.size(), cases.size()); ++i) {
        EXPECT_EQ(r[i], cases[i].second) << "text: " << cases[i].first;
    }
    for (const auto& file :
         {"/tmp/semicolon", "/tmp/semicolon2", "/tmp/subst", "/tmp/subst2", "/tmp/backquote",
          "/tmp/pipe", "/tmp/pipe2", "/tmp/and", "/tmp/background", "/tmp/newline", "/tmp/redirect",
          "/tmp/subshell", "/tmp/breakout"}) {
        EXPECT_FALSE(file_exists(file))
            << file << " was created: a command other than the script ran";
    }
    // sudo ran the script and nothing else, once per message.
    const auto commands = sudo_commands();
    EXPECT_EQ(commands.size(), cases.size());
    for (const auto& c : commands) {
        EXPECT_NE(c.message.find("COMMAND=/usr/bin/bash /quex/sbin/useraccount.sh"),
                  std::string::npos)
            << c;
    }
    for (const auto& e : daemon_entries(d)) {
        EXPECT_NE(e.priority, error) << e;
    }
}

TEST_F(service, unterminated_quote_runs_nothing_and_is_refused) {
    command_queue q;
    ASSERT_EQ(q.send(1, "add 'bob"), 0);
    ASSERT_EQ(q.send(1, "add \"bob"), 0);
    ASSERT_EQ(q.send(1, "after"), 0);
    process d = start_fast();
    ASSERT_TRUE(wait_for_output(d, debug_line(3)));
    EXPECT_EQ(run_args(), std::vector<words>{{"after"}});
    EXPECT_EQ(sudo_commands().size(), 1u);

    std::vector<std::string> refusals;
    for (const auto& e : daemon_entries(d)) {
        if (e.priority == error) {
            refusals.push_back(e.message);
        }
    }
    ASSERT_EQ(refusals.size(), 2u);
    for (const auto& r : refusals) {
        EXPECT_TRUE(r.starts_with("Refused account command: ") && r.size() > 25) << r;
    }
    // Echoed all the same.
    EXPECT_NE(d.out().find(echo_line(1, "add 'bob")), std::string::npos) << d.out();
}

TEST_F(service, messages_sent_before_the_start_are_served_oldest_first) {
    command_queue q;
    ASSERT_EQ(q.send(1, "first"), 0);
    ASSERT_EQ(q.send(7, "second"), 0);
    ASSERT_EQ(q.send(1, "third"), 0);
    ASSERT_EQ(q.send(2, "fourth"), 0);
    ASSERT_EQ(q.send(1, "fifth"), 0);
    process d = start_fast();
    ASSERT_TRUE(wait_for_output(d, debug_line(5)));
    EXPECT_EQ(run_args(), (std::vector<words>{{"first"}, {"third"}, {"fifth"}}));
    const std::string out = d.out();
    std::size_t at = 0;
    for (const auto& [type, text] : std::vector<std::pair<long, std::string>>{
             {1, "first"}, {7, "second"}, {1, "third"}, {2, "fourth"}, {1, "fifth"}}) {
        const std::size_t next = out.find(echo_line(type, text), at);
        ASSERT_NE(next, std::string::npos) << text << " not echoed in order:\n" << out;
        at = next;
    }
}

TEST_F(service, useraccountctl_send_words_reach_the_script_unchanged) {
    process d = start_fast();
    ASSERT_TRUE(wait_for_output(d, debug_line(0)));  // the daemon has created the queue
    const words sent{"add", "John Smith", "it's", "$(id)", "", "a\"b\\c", "tab\there"};
    std::vector<std::string> args{"send", "--"};
    args.insert(args.end(), sent.begin(), sent.end());
    process ctl = run_ctl(args);
    ASSERT_EQ(ctl.wait_exit(20s), exited(0)) << ctl.err();
    ASSERT_TRUE(wait_for_runs(1, 20s));
    EXPECT_EQ(run_args(), std::vector<words>{sent});
}

// One account command at a time; the pause after it before the next.
TEST_F(service, next_message_is_not_taken_before_the_script_ended_and_the_pause_passed) {
    set_script_sleep(1.5);
    command_queue q;
    ASSERT_EQ(q.send(1, "one"), 0);
    ASSERT_EQ(q.send(1, "two"), 0);
    process d = start_daemon({});  // no configuration: the pause is 1 s

    ASSERT_TRUE(wait_until([&] { return runs_started() >= 1; }, 20s));
    // While the first run lasts, the second message stays on the queue.
    std::size_t samples = 0;
    std::size_t taken = 0;
    while (runs().empty()) {
        if (q.waiting() != 1) {
            ++taken;
        }
        ++samples;
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_GT(samples, 0u);
    EXPECT_EQ(taken, 0u) << "of " << samples << " looks at the queue while the first run lasted, "
                         << taken << " found the second message taken";

    ASSERT_TRUE(wait_for_runs(2, 30s));
    const auto r = runs();
    EXPECT_EQ(r[0].args, words{"one"});
    EXPECT_EQ(r[1].args, words{"two"});
    EXPECT_GE(r[1].start_us - r[0].end_us, 1'000'000)
        << "the second run started before the 1 s pause passed";
    EXPECT_EQ(q.waiting(), 0u);
    d.signal(SIGKILL);
}

}  // namespace
}  // namespace blackbox
