// Black box: the configuration file, through -t and through the
// running daemon's system-log entries and its pause after each message.
//
// The pause is observed on standard output: the loop flushes it with each
// "Debug: N" line, so the echo of a message shows once the pause after it
// has passed and the next iteration begins.
#include <signal.h>
#include <unistd.h>

#include "command_queue.h"
#include "frame_support.h"

namespace blackbox {
namespace {

using config = frame_test;

const std::string conf_entry =
    std::string("Configuration of useraccountd read from file ") + conf_path;
const std::string reload_entry =
    std::string("Reloaded configuration file ") + conf_path + " of useraccountd";

TEST_F(config, test_option_reads_the_first_integer_as_scanf_would_and_rejects_out_of_range) {
    struct row {
        std::string content;
        bool good;
    };
    const std::vector<row> rows{
        {"42", true},
        {"   \t\n  42 seconds, and other words\n", true},
        {"-7\n", true},
        {"+3", true},
        {"0", true},
        {"12abc", true},
        {"2147483647", true},
        {"-2147483648", true},
        {"0000000000000000000000000005", true},
        {"abc 12", false},
        {"", false},
        {" \n\t \n", false},
        {"- 5", false},
        {"+", false},
        {"2147483648", false},
        {"-2147483649", false},
        {"4294967296", false},
        {"99999999999999999999", false},
    };
    const std::string path = "/quex/t.conf";
    for (const auto& [content, good] : rows) {
        write_file(path, content);
        process p = start_daemon({"-t", path});
        EXPECT_EQ(p.wait_exit(20s), exited(good ? 0 : 1)) << testing::PrintToString(content);
        EXPECT_EQ(p.err(), good ? "" : "Wrong config file " + path + "\n")
            << testing::PrintToString(content);
        EXPECT_EQ(p.out(), "") << testing::PrintToString(content);
    }

    process missing = start_daemon({"--test_conf=/quex/none.conf"});
    EXPECT_EQ(missing.wait_exit(20s), exited(1));
    EXPECT_EQ(missing.err(), "Can't read config file /quex/none.conf\n");
    EXPECT_EQ(missing.out(), "");

    EXPECT_TRUE(system_log().entries().empty()) << "a test logs nothing";
    EXPECT_FALSE(command_queue::exists()) << "a test opens no queue";
}

TEST_F(config, test_option_ends_the_run_before_later_options_are_read) {
    write_file("/quex/good.conf", "3\n");
    write_file("/quex/bad.conf", "three\n");

    process good_then_help = start_daemon({"-t", "/quex/good.conf", "-h"});
    EXPECT_EQ(good_then_help.wait_exit(20s), exited(0));
    EXPECT_EQ(good_then_help.out(), "") << "no help after a test";
    EXPECT_EQ(good_then_help.err(), "");

    process bad_then_help = start_daemon({"-t", "/quex/bad.conf", "--help"});
    EXPECT_EQ(bad_then_help.wait_exit(20s), exited(1));
    EXPECT_EQ(bad_then_help.out(), "");
    EXPECT_EQ(bad_then_help.err(), "Wrong config file /quex/bad.conf\n");

    // A bad option after the test is never met.
    process then_bogus = start_daemon({"-t", "/quex/good.conf", "--bogus", "-x"});
    EXPECT_EQ(then_bogus.wait_exit(20s), exited(0));
    EXPECT_EQ(then_bogus.err(), "");
    EXPECT_EQ(then_bogus.out(), "");

    // A configuration file given with -c is not what -t tests.
    process conf_then_test = start_daemon({"-c", "/quex/bad.conf", "-t", "/quex/good.conf"});
    EXPECT_EQ(conf_then_test.wait_exit(20s), exited(0));

    EXPECT_TRUE(system_log().entries().empty());
}

TEST_F(config, value_after_blanks_and_before_words_is_read_at_start_logged_and_paces_the_loop) {
    write_conf("   \t 42 seconds between accounts\nsecond line 7\n");
    process d = start_daemon({"-c", conf_path});
    ASSERT_TRUE(wait_for_output(d, debug_line(0)));
    EXPECT_EQ(entries_of(d.pid()),
              (entry_list{{info, "Started useraccountd"}, {info, conf_entry}}));

    // The message is taken at once; the next iteration waits out the 42 s.
    command_queue q;
    ASSERT_EQ(q.send(2, "paced"), 0);
    ASSERT_TRUE(wait_until([&] { return q.waiting() == 0; }, 20s));
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(d.out().find(debug_line(1)), std::string::npos)
        << "a pause of 42 s would show no new iteration after 2.5 s:\n"
        << d.out();

    stop(d, 5s);
    EXPECT_EQ(entries_of(d.pid()), (entry_list{{info, "Started useraccountd"},
                                               {info, conf_entry},
                                               {info, "Stopped useraccountd"}}));
}

TEST_F(config, zero_and_negative_values_are_taken_and_mean_no_pause) {
    for (const std::string value : {"0", "-1", "-2147483648"}) {
        SCOPED_TRACE("value " + value);
        write_conf(value + "\n");
        process d = start_daemon({"-c", conf_path});
        ASSERT_TRUE(wait_for_output(d, debug_line(0)));
        command_queue q;
        EXPECT_TRUE(serves_without_pause(d, q));
        stop(d);
        EXPECT_EQ(entries_of(d.pid()), (entry_list{{info, "Started useraccountd"},
                                                   {info, conf_entry},
                                                   {info, "Stopped useraccountd"}}));
    }
}

TEST_F(config, file_without_an_integer_in_range_is_ignored_and_the_pause_stays_1_s) {
    const std::vector<std::optional<std::string>> contents{
        "abc 5\n",
        "",
        " \n\t\n",
        "2147483648\n",
        "-2147483649\n",
        "4294967297\n",
        "99999999999999999999\n",
        std::nullopt,  // no file at all
    };
    for (const auto& content : contents) {
        SCOPED_TRACE(content ? "content " + testing::PrintToString(*content)
                             : std::string("missing file"));
        if (content) {
            write_conf(*content);
        } else {
            ::unlink(conf_path);
        }
        process d = start_daemon({"-c", conf_path});
        ASSERT_TRUE(wait_for_output(d, debug_line(0)));
        command_queue q;
        const auto took = time_one_message(d, q, 10s);
        ASSERT_TRUE(took) << "a pause of more than 10 s:\n" << d.out();
        EXPECT_GE(*took, 1000ms);
        EXPECT_LT(*took, 2500ms);
        stop(d);

        entry_list expected{{info, "Started useraccountd"}};
        if (!content) {
            expected.emplace_back(error, "Can not open config file: " + std::string(conf_path) +
                                             ", error: No such file or directory");
        }
        expected.emplace_back(info, "Stopped useraccountd");
        EXPECT_EQ(entries_of(d.pid()), expected);
    }
}

TEST_F(config, second_conf_option_replaces_the_first_at_start_and_on_reload) {
    write_file("/quex/first.conf", "30\n");
    write_file("/quex/second.conf", "0\n");
    process d = start_daemon({"-c", "/quex/first.conf", "--conf_file=/quex/second.conf"});
    ASSERT_TRUE(wait_for_output(d, debug_line(0)));
    command_queue q;
    EXPECT_TRUE(serves_without_pause(d, q));

    d.signal(SIGHUP);
    ASSERT_TRUE(wait_for_entry_of(d.pid(), info,
                                  "Reloaded configuration file /quex/second.conf of useraccountd"));
    stop(d);
    EXPECT_EQ(entries_of(d.pid()),
              (entry_list{{info, "Started useraccountd"},
                          {info, "Configuration of useraccountd read from file /quex/second.conf"},
                          {info, "Reloaded configuration file /quex/second.conf of useraccountd"},
                          {info, "Stopped useraccountd"}}));
}

// Each reload below is checked by its effect on the pause and by the entries
// it leaves: only a file that yields an integer changes anything.
TEST_F(config, reload_keeps_the_last_value_unless_the_file_yields_an_integer) {
    write_conf("0\n");
    process d = start_daemon({"-c", conf_path});
    ASSERT_TRUE(wait_for_output(d, debug_line(0)));
    command_queue q;
    std::size_t reloads = 0;
    const auto reload = [&] {
        d.signal(SIGHUP);
        ++reloads;
        return wait_until([&] { return count_of(d.out(), reloading) == reloads; }, 20s);
    };

    write_conf("letters first 9\n");
    ASSERT_TRUE(reload());
    EXPECT_TRUE(serves_without_pause(d, q, 5, 3s)) << "after a file with letters first";

    write_conf("2147483648\n");
    ASSERT_TRUE(reload());
    EXPECT_TRUE(serves_without_pause(d, q, 5, 3s)) << "after a file out of range";

    ASSERT_EQ(::unlink(conf_path), 0);
    ASSERT_TRUE(reload());
    EXPECT_TRUE(serves_without_pause(d, q, 5, 3s)) << "after the file was removed";

    // A FIFO that nobody writes to would hang a reading daemon.
    ASSERT_EQ(::mkfifo(conf_path, 0644), 0);
    ASSERT_TRUE(reload());
    EXPECT_TRUE(serves_without_pause(d, q, 5, 3s)) << "after the file became a FIFO";
    process fifo_test = start_daemon({"-t", conf_path});
    EXPECT_EQ(fifo_test.wait_exit(5s), exited(1));
    EXPECT_EQ(fifo_test.err(), "Can't read config file " + std::string(conf_path) + "\n");
    ASSERT_EQ(::unlink(conf_path), 0);

    write_conf("2\n");
    ASSERT_TRUE(reload());
    const auto took = time_one_message(d, q, 10s);
    ASSERT_TRUE(took);
    EXPECT_GE(*took, 2000ms);
    EXPECT_LT(*took, 4000ms);

    stop(d);
    EXPECT_EQ(entries_of(d.pid()),
              (entry_list{{info, "Started useraccountd"},
                          {info, conf_entry},
                          {error, "Can not open config file: " + std::string(conf_path) +
                                      ", error: No such file or directory"},
                          {error, "Can not open config file: " + std::string(conf_path) +
                                      ", error: Invalid argument"},
                          {info, reload_entry},
                          {info, "Stopped useraccountd"}}));
    EXPECT_EQ(count_of(d.out(), reloading), 5u);
}

}  // namespace
}  // namespace blackbox
