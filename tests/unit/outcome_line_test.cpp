// The outcome record's line as the daemon writes it and send --wait reads it:
// the same bytes on every architecture, where plain char is signed (amd64,
// i386) and where it is unsigned (arm64).
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <string_view>
#include <vector>

#include "outcome_line.h"
#include "text_escape.h"

namespace {

using namespace std::string_literals;

std::string line_of(long type, outcome what, std::string_view detail, std::string_view text) {
    return "2026-12-08T14:00:00.123456Z\t" + std::to_string(type) + "\t" + outcome_name(what) +
           "\t" + std::string(detail) + "\t" + escape_text(text, escape_style::field) + "\n";
}

std::vector<std::string> fields_of(std::string_view line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t tab; (tab = line.find('\t', start)) != std::string_view::npos;
         start = tab + 1) {
        fields.emplace_back(line.substr(start, tab - start));
    }
    fields.emplace_back(line.substr(start));
    return fields;
}

TEST(outcome_line, pins_its_bytes_and_reads_back_with_bytes_above_0x7f) {
    struct line_case {
        long type;
        outcome what;
        std::string detail;
        std::string text;
        std::string line;
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
        const std::string line = line_of(c.type, c.what, c.detail, c.text);
        EXPECT_EQ(line, "2026-12-08T14:00:00.123456Z" + c.line) << testing::PrintToString(c.text);
        ASSERT_EQ(line.find('\n'), line.size() - 1);
        const auto fields = fields_of(std::string_view(line).substr(0, line.size() - 1));
        ASSERT_EQ(fields.size(), outcome_line_fields) << testing::PrintToString(line);
        EXPECT_EQ(fields[1], std::to_string(c.type));
        EXPECT_EQ(outcome_named(fields[2]), c.what);
        EXPECT_EQ(fields[4], escape_text(c.text, escape_style::field));
    }
    for (const outcome what :
         {outcome::succeeded, outcome::failed, outcome::signal, outcome::error, outcome::refused,
          outcome::oversized, outcome::ignored, outcome::unknown}) {
        EXPECT_EQ(outcome_named(outcome_name(what)), what) << outcome_name(what);
    }
    for (const std::string word : {"", "Succeeded", "succeeded ", "succeeded\xff", "\xe9rror"}) {
        EXPECT_EQ(outcome_named(word), std::nullopt) << testing::PrintToString(word);
    }
}

}  // namespace
