// Escaping of queue texts: what the echo line lets through to a terminal and
// the journal, and that list's exact form and the outcome record's field form
// read back to the same bytes.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>

#include "text_escape.h"

namespace {

using namespace std::string_literals;

struct echo_case {
    std::string text;
    std::string echoed;
};

TEST(escape_text, echo_keeps_utf8_text_and_escapes_controls_and_broken_bytes) {
    const echo_case cases[] = {
        {"add alice", "add alice"},
        {"tab\there \\ back", "tab\there \\ back"},
        {"nl\ncr\resc\x1b[2Jdel\x7f", "nl\\ncr\\resc\\x1b[2Jdel\\x7f"},
        {"nul\0end"s, "nul\\x00end"},
        // é, ü, 中, U+00A0 (the first code point after C1), U+FFFD, U+10FFFF
        {"\xc3\xa9 \xc3\xbc \xe4\xb8\xad \xc2\xa0 \xef\xbf\xbd \xf4\x8f\xbf\xbf",
         "\xc3\xa9 \xc3\xbc \xe4\xb8\xad \xc2\xa0 \xef\xbf\xbd \xf4\x8f\xbf\xbf"},
        // C1 controls: U+0080, NEL, CSI, U+009F
        {"\xc2\x80|\xc2\x85|\xc2\x9b|\xc2\x9f", "\\xc2\\x80|\\xc2\\x85|\\xc2\\x9b|\\xc2\\x9f"},
        // Bytes that begin no sequence: a lone continuation, CSI as a raw
        // byte, the overlong leads, bytes above F4.
        {"\x80|\x9b|\xbf|\xc0\xaf|\xc1\xbf|\xf5\x80\x80\x80|\xff",
         "\\x80|\\x9b|\\xbf|\\xc0\\xaf|\\xc1\\xbf|\\xf5\\x80\\x80\\x80|\\xff"},
        // Overlong three and four byte forms, a surrogate, above U+10FFFF.
        {"\xe0\x80\xaf|\xf0\x8f\xbf\xbf|\xed\xa0\x80|\xf4\x90\x80\x80",
         "\\xe0\\x80\\xaf|\\xf0\\x8f\\xbf\\xbf|\\xed\\xa0\\x80|\\xf4\\x90\\x80\\x80"},
        // Cut short by the end, by ASCII, by a new lead; a valid sequence
        // right after a broken one is kept.
        {"\xe4\xb8", "\\xe4\\xb8"},
        {"\xf0\x9f\x98 x", "\\xf0\\x9f\\x98 x"},
        {"\xe4\xc3\xa9", "\\xe4\xc3\xa9"},
        {"\xc2\xc2\x85\xc2\xa0", "\\xc2\\xc2\\x85\xc2\xa0"},
        // Bidirectional controls: U+200E, U+200F, U+202A, U+202E, U+2066,
        // U+2069; their neighbours U+200D, U+202F, U+2065, U+206A are text.
        {"\xe2\x80\x8e\xe2\x80\x8f\xe2\x80\xaa\xe2\x80\xae\xe2\x81\xa6\xe2\x81\xa9",
         "\\xe2\\x80\\x8e\\xe2\\x80\\x8f\\xe2\\x80\\xaa\\xe2\\x80\\xae\\xe2\\x81\\xa6\\xe2\\x81\\xa"
         "9"},
        {"\xe2\x80\x8d|\xe2\x80\xaf|\xe2\x81\xa5|\xe2\x81\xaa",
         "\xe2\x80\x8d|\xe2\x80\xaf|\xe2\x81\xa5|\xe2\x81\xaa"},
    };
    for (const echo_case& c : cases) {
        EXPECT_EQ(escape_text(c.text, escape_style::echo), c.echoed)
            << testing::PrintToString(c.text);
    }
    EXPECT_EQ(escape_text("a\tb\\c \xc3\xa9\xe2\x80\xae\n", escape_style::field),
              "a\\tb\\\\c \xc3\xa9\\xe2\\x80\\xae\\n");
}

// The inverse of the exact style: \\, \n, \r, \t, \xNN.
std::string unescape(std::string_view escaped) {
    std::string text;
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] != '\\') {
            text += escaped[i];
            continue;
        }
        const char kind = escaped.at(++i);
        if (kind == 'x') {
            text +=
                static_cast<char>(std::stoi(std::string(escaped.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            text += kind == 'n' ? '\n' : kind == 'r' ? '\r' : kind == 't' ? '\t' : kind;
        }
    }
    return text;
}

TEST(escape_text, exact_and_field_forms_read_back_to_the_same_bytes) {
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<std::size_t> size(0, 64);
    std::vector<std::string> texts{"a\\x41b", "\\\\", "\xc3\xa9\xc2\x9b\t\\n", "\xe4\xb8\xad\\xe4"};
    for (int round = 0; round < 2000; ++round) {
        std::string text(size(random), '\0');
        for (char& c : text) {
            c = static_cast<char>(byte(random));
        }
        texts.push_back(text);
    }
    for (const std::string& text : texts) {
        const std::string escaped = escape_text(text, escape_style::exact);
        for (const char c : escaped) {
            ASSERT_TRUE(c >= 0x20 && c < 0x7f) << testing::PrintToString(escaped);
        }
        ASSERT_LE(escaped.size(), escaped_size_max(text.size()));
        ASSERT_EQ(unescape(escaped), text) << testing::PrintToString(escaped);
        // The field form keeps UTF-8 text, but no byte that ends or splits
        // a tab-separated line.
        const std::string field = escape_text(text, escape_style::field);
        for (const char c : field) {
            ASSERT_TRUE(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f)
                << testing::PrintToString(field);
        }
        ASSERT_EQ(unescape(field), text) << testing::PrintToString(field);
    }
}

}  // namespace
