// Word splitting, quoting and the account command line, checked against the
// shells that really read them: bash for the splitting, and /bin/sh (what
// system() runs) for the command line. Every shell runs in a fresh directory
// under /tmp, so a command that escaped its quotes would leave a file there.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "account_command.h"

extern char** environ;

namespace {

using words = std::vector<std::string>;

constexpr std::uint32_t seed = 20261208;

struct run_result {
    int status = -1;
    std::string output;
};

// Runs argv (no shell of ours in between) in dir and collects its output.
run_result run_in(const std::string& dir, const std::vector<std::string>& argv) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) == -1) {
        ADD_FAILURE() << "pipe2: " << strerror(errno);
        return {};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::vector<char*> args(argv.size() + 1, nullptr);
    std::transform(argv.begin(), argv.end(), args.begin(),
                   [](const std::string& arg) { return const_cast<char*>(arg.c_str()); });
    pid_t pid = 0;
    const int error = posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    run_result result;
    if (error != 0) {
        ADD_FAILURE() << "posix_spawn " << argv[0] << ": " << strerror(error);
        close(out[0]);
        return result;
    }
    char buffer[4096];
    ssize_t n = 0;
    while ((n = read(out[0], buffer, sizeof buffer)) > 0 || (n == -1 && errno == EINTR)) {
        if (n > 0) {
            result.output.append(buffer, static_cast<std::size_t>(n));
        }
    }
    close(out[0]);
    while (waitpid(pid, &result.status, 0) == -1 && errno == EINTR) {
    }
    return result;
}

words split_nul_separated(const std::string& output) {
    words result;
    std::size_t start = 0;
    for (std::size_t end = output.find('\0'); end != std::string::npos;
         end = output.find('\0', start)) {
        result.push_back(output.substr(start, end - start));
        start = end + 1;
    }
    EXPECT_EQ(start, output.size()) << "output does not end with a NUL";
    return result;
}

// The words a shell finds in `script`, which must begin "printf '%s\0' x ":
// the leading x tells "no words" apart from "one empty word".
words shell_words(const std::string& shell, const std::string& dir, const std::string& script) {
    const run_result run = run_in(dir, {shell, "-c", script});
    EXPECT_EQ(run.status, 0) << shell << " -c " << testing::PrintToString(script);
    words found = split_nul_separated(run.output);
    if (found.empty() || found.front() != "x") {
        ADD_FAILURE() << "no leading x from " << shell;
        return found;
    }
    found.erase(found.begin());
    return found;
}

class scratch_dir : public testing::Test {
  protected:
    void SetUp() override {
        char name[] = "/tmp/account_command_test.XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr) << "mkdtemp: " << strerror(errno);
        dir = name;
        // An unquoted glob would turn into this name.
        std::ofstream(dir + "/glob_target").put('\n');
    }
    void TearDown() override {
        if (!dir.empty()) {
            std::filesystem::remove_all(dir);
        }
    }

    // Anything but the file SetUp made means some command ran.
    void expect_nothing_ran() const {
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            EXPECT_EQ(entry.path().filename(), "glob_target") << "a shell command ran";
        }
    }

    std::string dir;
};

struct split_case {
    const char* text;
    words expected;
};

TEST(split_words, splits_and_groups_as_the_shell_does) {
    const split_case cases[] = {
        {"", {}},
        {" \t\n  ", {}},
        {"add alice", {"add", "alice"}},
        {" \tadd\n\nalice  ", {"add", "alice"}},
        {"''", {""}},
        {"\"\"", {""}},
        {"a '' b \"\"", {"a", "", "b", ""}},
        {"add \"John Smith\"", {"add", "John Smith"}},
        {"a'b c'd", {"ab cd"}},
        {"'a\\b'", {"a\\b"}},
        {"a\\ b", {"a b"}},
        {"\\'", {"'"}},
        {"\\\"x", {"\"x"}},
        {"\"\\\\ \\\" \\$ \\` \\a\"", {"\\ \" $ ` \\a"}},
        {"a\\\nb", {"ab"}},
        {"\"a\\\nb\"", {"ab"}},
        {"\\\n", {}},
        {"a \\\n b", {"a", "b"}},
        {"a\\", {"a\\"}},
        {"\"it's\"", {"it's"}},
        {"'say \"hi\"'", {"say \"hi\""}},
        {"'multi\nline'", {"multi\nline"}},
    };
    for (const split_case& c : cases) {
        const split_result result = split_words(c.text);
        EXPECT_EQ(result.error, nullptr) << testing::PrintToString(std::string(c.text));
        EXPECT_EQ(result.words, c.expected) << testing::PrintToString(std::string(c.text));
    }
}

TEST(split_words, expands_nothing_and_knows_no_operators) {
    const split_result result = split_words(
        "$(id) `id` ${HOME} $HOME *.txt ? [a-z] ~ ~root a;b c|d e&&f <g >h (i) "
        "#j {a,b} !x");
    EXPECT_EQ(result.error, nullptr);
    EXPECT_EQ(result.words,
              (words{"$(id)", "`id`", "${HOME}", "$HOME", "*.txt", "?", "[a-z]", "~", "~root",
                     "a;b", "c|d", "e&&f", "<g", ">h", "(i)", "#j", "{a,b}", "!x"}));
}

TEST(split_words, refuses_unterminated_quotes_with_a_reason) {
    const struct {
        const char* text;
        const char* reason;
    } cases[] = {
        {"'", "single"},         {"add 'alice", "single"}, {"\"", "double"},
        {"a \"b", "double"},     {"\"a\\\"", "double"},    {"'a'\"b'", "double"},
        {"\"a\"'b\"", "single"},
    };
    for (const auto& c : cases) {
        const split_result result = split_words(c.text);
        ASSERT_NE(result.error, nullptr) << testing::PrintToString(std::string(c.text));
        EXPECT_NE(std::strstr(result.error, c.reason), nullptr) << result.error;
        EXPECT_TRUE(result.words.empty());
    }
}

// Texts on which bash, asked only to split words, must agree with us: any
// quoting and escaping, but nothing bash would expand or act on unquoted.
std::string bash_comparable_text(std::mt19937& random) {
    static const std::string plain = "abcXYZ019-._,=@%+:/^]";
    static const std::string in_double_quotes = "ab 09\t\n'#*?;|&<>(){}~!";
    static const char* const double_quote_escapes[] = {"\\\\", "\\\"", "\\$", "\\`", "\\\n", "\\a"};
    auto pick = [&random](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
    };
    std::string text;
    const std::size_t tokens = pick(10);
    for (std::size_t t = 0; t < tokens; ++t) {
        switch (pick(6)) {
            case 0:
                text += pick(2) == 0 ? ' ' : '\t';
                break;
            case 1:
                for (std::size_t i = pick(4) + 1; i > 0; --i) {
                    text += plain[pick(plain.size())];
                }
                break;
            case 2:  // in single quotes every byte but the quote stands for itself
                text += '\'';
                for (std::size_t i = pick(6); i > 0; --i) {
                    const auto c = static_cast<char>(pick(255) + 1);
                    text += c == '\'' ? 'q' : c;
                }
                text += '\'';
                break;
            case 3:
                text += '"';
                for (std::size_t i = pick(6); i > 0; --i) {
                    if (pick(3) == 0) {
                        text += double_quote_escapes[pick(std::size(double_quote_escapes))];
                    } else {
                        text += in_double_quotes[pick(in_double_quotes.size())];
                    }
                }
                text += '"';
                break;
            default:  // a backslash before any ASCII character, newline included
                text += '\\';
                text += static_cast<char>(pick(127) + 1);
                break;
        }
    }
    return text;
}

TEST_F(scratch_dir, split_words_agrees_with_bash) {
    std::mt19937 random(seed);
    for (int i = 0; i < 300; ++i) {
        const std::string text = bash_comparable_text(random);
        SCOPED_TRACE(testing::Message() << "seed " << seed << ", case " << i << ", text "
                                        << testing::PrintToString(text));
        const split_result result = split_words(text);
        ASSERT_EQ(result.error, nullptr);
        EXPECT_EQ(result.words, shell_words("/bin/bash", dir, "printf '%s\\0' x " + text));
    }
    expect_nothing_ran();
}

TEST_F(scratch_dir, split_words_agrees_with_bash_on_a_trailing_backslash) {
    for (const std::string text : {"a\\", "'a'\\", "\\"}) {
        EXPECT_EQ(split_words(text).words,
                  shell_words("/bin/bash", dir, "printf '%s\\0' x " + text))
            << testing::PrintToString(text);
    }
}

// Words that stress quoting: every byte but NUL, with the shell's special
// characters and empty words far more likely than chance would make them.
words generated_words(std::mt19937& random) {
    static const std::string special = " \t\n'\"\\$`*?;|&#~()<>";
    auto pick = [&random](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
    };
    words result(pick(8));
    for (std::string& word : result) {
        if (pick(6) == 0) {
            continue;
        }
        for (std::size_t i = pick(16) + 1; i > 0; --i) {
            word += pick(2) == 0 ? special[pick(special.size())] : static_cast<char>(pick(255) + 1);
        }
    }
    return result;
}

TEST(join_words, splits_back_into_the_same_words) {
    std::mt19937 random(seed);
    for (int i = 0; i < 500; ++i) {
        const words original = generated_words(random);
        const std::string text = join_words(original);
        SCOPED_TRACE(testing::Message() << "seed " << seed << ", case " << i << ", text "
                                        << testing::PrintToString(text));
        const split_result result = split_words(text);
        ASSERT_EQ(result.error, nullptr);
        EXPECT_EQ(result.words, original);
    }
}

TEST(join_words, quotes_only_the_words_that_need_it) {
    EXPECT_EQ(join_words({}), "");
    EXPECT_EQ(join_words({"add", "alice", "$HOME;*"}), "add alice $HOME;*");
    EXPECT_EQ(join_words({"add", "John Smith", ""}), "add 'John Smith' ''");
    EXPECT_EQ(join_words({"it's"}), "'it'\\''s'");
}

TEST(build_command_line, refuses_what_cannot_be_split) {
    const char* error = nullptr;
    EXPECT_EQ(build_command_line("add 'alice", &error), "");
    ASSERT_NE(error, nullptr);
    EXPECT_NE(std::strstr(error, "single"), nullptr) << error;
}

// A text a hostile sender might put on the queue: shell syntax of every kind,
// unquoted, mixed with quoting and random bytes.
std::string hostile_text(std::mt19937& random) {
    static const char* const fragments[] = {
        "; touch canary1",
        "$(touch canary2)",
        "`touch canary3`",
        "| touch canary4",
        "&& touch canary5",
        "\ntouch canary6",
        "> canary7",
        "< /etc/passwd",
        "* ? [a-z]*",
        "~ ~root",
        "# comment",
        "${IFS}x$IFS",
        "'; touch canary8 '",
        "\"$(touch canary9)\"",
        "\\'",
        "\\\n",
        "'\n'",
        "add alice",
        "\"x\"'y'z",
        "!! {a,b}",
        "&",
        "(touch canary10)",
        "\"",
        "'",
    };
    auto pick = [&random](std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
    };
    std::string text;
    for (std::size_t i = pick(8); i > 0; --i) {
        if (pick(4) == 0) {
            text += join_words(generated_words(random));
        } else {
            text += fragments[pick(std::size(fragments))];
        }
        text += pick(3) == 0 ? "" : " ";
    }
    return text;
}

TEST_F(scratch_dir, command_line_hands_the_shell_exactly_the_words) {
    const std::string prefix = account_command_prefix;
    std::mt19937 random(seed);
    int built = 0;
    for (int i = 0; i < 300; ++i) {
        const std::string text = hostile_text(random);
        SCOPED_TRACE(testing::Message() << "seed " << seed << ", case " << i << ", text "
                                        << testing::PrintToString(text));
        const split_result split = split_words(text);
        const char* error = nullptr;
        const std::string line = build_command_line(text, &error);
        if (split.error != nullptr) {
            EXPECT_EQ(line, "");
            EXPECT_EQ(error, split.error);
            continue;
        }
        ++built;
        ASSERT_EQ(line.compare(0, prefix.size(), prefix), 0) << line;
        // The same arguments, printed instead of handed to sudo.
        const std::string script = "printf '%s\\0' x " + line.substr(prefix.size());
        EXPECT_EQ(shell_words("/bin/sh", dir, script), split.words);
        EXPECT_EQ(shell_words("/bin/bash", dir, script), split.words);
    }
    // Unterminated quotes must not have crowded out the real cases.
    EXPECT_GT(built, 150);
    expect_nothing_ran();
}

}  // namespace
