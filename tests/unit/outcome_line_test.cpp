// The outcome record's line as the daemon writes it and as send --wait and
// the example senders read it (the rules in outcome_line.h): the same bytes
// on every architecture, where plain char is signed (amd64, i386) and where
// it is unsigned (arm64); and the bounded numbers that its type and every
// number of the tool are read with.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <string_view>

#include "bounded_number.h"
#include "outcome_line.h"

namespace {

using namespace std::string_literals;

std::string encoded(long type, outcome what, std::string_view detail, std::string_view text) {
    std::string line(outcome_line_room(text.size()), '\0');
    line.resize(
        encode_outcome_line(line.data(), "2026-12-08T14:00:00.123456Z", type, what, detail, text));
    return line;
}

TEST(outcome_line, is_written_as_five_fields_that_read_back) {
    const timespec when{1796738400, 123456789};  // 2026-12-08 14:00:00 UTC
    char time[outcome_time_room];
    EXPECT_EQ(std::string(time, format_outcome_time(when, time)), "2026-12-08T14:00:00.123456Z");

    const std::string line = encoded(LONG_MAX, outcome::failed, "3", "add 'a\tb'\n\\\x01\xff");
    EXPECT_EQ(line, "2026-12-08T14:00:00.123456Z\t" + std::to_string(LONG_MAX) +
                        "\tfailed\t3\tadd 'a\\tb'\\n\\\\\\x01\\xff\n");
    const auto fields = decode_outcome_line(std::string_view(line).substr(0, line.size() - 1));
    ASSERT_TRUE(fields);
    EXPECT_EQ(fields->time, "2026-12-08T14:00:00.123456Z");
    EXPECT_EQ(fields->type, LONG_MAX);
    EXPECT_EQ(fields->outcome_word, "failed");
    EXPECT_EQ(fields->detail, "3");
    EXPECT_EQ(fields->text, "add 'a\\tb'\\n\\\\\\x01\\xff");

    struct line_case {
        long type;
        outcome what;
        std::string detail;
        std::string text;
        std::string rest;  // the line after its time
    };
    const line_case cases[] = {
        {1, outcome::succeeded, "0", "add alice", "\t1\tsucceeded\t0\tadd alice\n"},
        // UTF-8 text kept; a tab, a newline and a backslash of the text do
        // not split or end the line.
        {1, outcome::failed, "2", "add J\xc3\xbcrgen\t\\x\n\xe4\xb8\xad",
         "\t1\tfailed\t2\tadd J\xc3\xbcrgen\\t\\\\x\\n\xe4\xb8\xad\n"},
        // Bytes that a signed char holds as negative: broken UTF-8, a C1
        // control, a bidirectional control, 0xff, and DEL just below them.
        {LONG_MAX, outcome::ignored, "", "\x80\xc2\x9b\xe2\x80\xae\xff\x7f"s,
         "\t" + std::to_string(LONG_MAX) +
             "\tignored\t\t\\x80\\xc2\\x9b\\xe2\\x80\\xae\\xff\\x7f\n"},
        {1, outcome::unknown, "its daemon ended while it ran", "nul\0\xc3"s,
         "\t1\tunknown\tits daemon ended while it ran\tnul\\x00\\xc3\n"},
    };
    for (const line_case& c : cases) {
        const std::string written = encoded(c.type, c.what, c.detail, c.text);
        EXPECT_EQ(written, "2026-12-08T14:00:00.123456Z" + c.rest)
            << testing::PrintToString(c.text);
        const auto read =
            decode_outcome_line(std::string_view(written).substr(0, written.size() - 1));
        ASSERT_TRUE(read) << testing::PrintToString(written);
        EXPECT_EQ(read->type, c.type);
        EXPECT_EQ(outcome_named(read->outcome_word), c.what);
        EXPECT_EQ(read->detail, c.detail);
        EXPECT_EQ(read->text, escape_text(c.text, escape_style::field));
    }

    // A detail is the daemon's own: one with a tab or a newline, which only
    // a bug could make, still leaves five fields, and a long one is cut.
    EXPECT_EQ(encoded(1, outcome::error, "a\tb\nc", ""),
              "2026-12-08T14:00:00.123456Z\t1\terror\ta b c\t\n");
    const auto cut = decode_outcome_line(encoded(1, outcome::error, std::string(300, 'd'), "x"));
    EXPECT_FALSE(cut) << "the newline is the reader's to strip";
    const std::string long_detail = encoded(1, outcome::error, std::string(300, 'd'), "x");
    EXPECT_EQ(decode_outcome_line(long_detail.substr(0, long_detail.size() - 1))->detail,
              std::string(outcome_detail_max, 'd'));
}

TEST(outcome_line, reader_takes_only_lines_of_five_fields_with_a_positive_type) {
    const std::string_view none[] = {
        "",
        "t\t1\tsucceeded\t0",                // four fields
        "t\t1\tsucceeded\t0\tadd x\textra",  // six
        "t\t0\tsucceeded\t0\tx",
        "t\t-1\tsucceeded\t0\tx",
        "t\t+1\tsucceeded\t0\tx",
        "t\t1x\tsucceeded\t0\tx",
        "t\t99999999999999999999999\tsucceeded\t0\tx",
        "\t1\tsucceeded\t0\tx",  // no time
        "t\t1\t\t0\tx",          // no outcome
        "t\t1\tsucceeded\t0\tx\ny",
    };
    for (const std::string_view line : none) {
        EXPECT_FALSE(decode_outcome_line(line)) << testing::PrintToString(std::string(line));
    }
    // A word this version does not know is a newer daemon's outcome.
    const auto newer = decode_outcome_line("t\t2\texploded\t\t");
    ASSERT_TRUE(newer);
    EXPECT_EQ(newer->outcome_word, "exploded");
    EXPECT_FALSE(outcome_named(newer->outcome_word));
    EXPECT_EQ(newer->detail, "");
    EXPECT_EQ(newer->text, "");
    for (const outcome what :
         {outcome::succeeded, outcome::failed, outcome::signal, outcome::error, outcome::refused,
          outcome::oversized, outcome::ignored, outcome::unknown}) {
        EXPECT_EQ(outcome_named(outcome_name(what)), what);
    }
    for (const std::string word : {"Succeeded", "succeeded ", "succeeded\xff", "\xe9rror"}) {
        EXPECT_EQ(outcome_named(word), std::nullopt) << testing::PrintToString(word);
    }
}

TEST(bounded_number, takes_digits_alone_within_bounds) {
    EXPECT_EQ(parse_number("0620", 0U, 0777U, 8), 0620U);
    EXPECT_EQ(parse_number("18446744073709551615", 0ULL, ULLONG_MAX), ULLONG_MAX);
    EXPECT_EQ(parse_number("65536", 65536ULL, 1ULL << 40), 65536ULL);
    EXPECT_EQ(parse_number("000", 0, 5), 0);
    const char* const refused[] = {"", "+1", "-1", " 1", "1 ", "1x", "0x10", "1e3", "1.0"};
    for (const char* text : refused) {
        EXPECT_FALSE(parse_number(text, 0L, LONG_MAX)) << text;
    }
    EXPECT_FALSE(parse_number("18446744073709551616", 0ULL, ULLONG_MAX)) << "overflow";
    EXPECT_FALSE(parse_number("1000", 0U, 0777U, 8));
    EXPECT_FALSE(parse_number("8", 0U, 0777U, 8));
    EXPECT_FALSE(parse_number("0", 1L, LONG_MAX));
    EXPECT_FALSE(parse_number("65535", 65536ULL, 1ULL << 40));
    EXPECT_FALSE(parse_number("2147483648", 0, INT_MAX));
}

}  // namespace
