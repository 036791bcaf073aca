// libFuzzer target over word splitting and quoting (account_command.h).
//
// Each input is used twice:
//   - as a message text (the bytes up to the first zero, as the daemon cuts
//     them): the command line built from it must be the fixed prefix followed
//     by single-quoted words and nothing else, and those words, as the system
//     shell reads them, must be exactly what split_words() gives;
//   - as a word list (the bytes split at each zero byte, as argv would hold
//     them): what join_words() builds must split back into the same words.
// A broken property aborts, which libFuzzer reports as a crash.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "account_command.h"

namespace {

void require(bool holds, const char* property) {
    if (!holds) {
        fprintf(stderr, "property broken: %s\n", property);
        abort();
    }
}

// Reads the words back from a command line the way the system shell would,
// accepting only the one shape that leaves the shell nothing to interpret:
// the prefix, then words of the form '...' (a quote inside written '\''),
// separated by single blanks. Anything else, such as a byte outside the
// quotes, yields nothing.
std::optional<std::vector<std::string>> read_quoted_words(std::string_view line) {
    const std::string_view prefix = account_command_prefix;
    if (line.substr(0, prefix.size()) != prefix) {
        return std::nullopt;
    }
    std::vector<std::string> words;
    std::size_t pos = prefix.size();
    if (pos == line.size()) {
        return words;
    }
    for (;;) {
        if (line[pos] != '\'') {
            return std::nullopt;
        }
        ++pos;
        std::string word;
        for (;;) {
            const std::size_t close = line.find('\'', pos);
            if (close == std::string_view::npos) {
                return std::nullopt;
            }
            word.append(line.substr(pos, close - pos));
            pos = close + 1;
            if (line.substr(pos, 3) != "\\''") {
                break;
            }
            word.push_back('\'');
            pos += 3;
        }
        words.push_back(std::move(word));
        if (pos == line.size()) {
            return words;
        }
        if (line[pos] != ' ' || pos + 1 == line.size()) {
            return std::nullopt;
        }
        ++pos;
    }
}

void check_text(std::string_view text) {
    const split_result split = split_words(text);
    const char* error = nullptr;
    const std::string line = build_command_line(text, &error);
    if (split.error != nullptr) {
        require(error != nullptr && line.empty(),
                "a text that cannot be split builds no command line");
        require(split.words.empty(), "a refused text yields no words");
        return;
    }
    require(error == nullptr, "a text that splits builds a command line");
    require(line.find('\0') == std::string::npos,
            "the command line holds no zero byte, so system() sees all of it");
    const auto words = read_quoted_words(line);
    require(words.has_value(),
            "the command line is the prefix and single-quoted words, nothing else");
    require(*words == split.words, "the shell reads exactly the words that split_words() gives");

    // The other way round: quoting the words for a sender gives them back.
    const split_result again = split_words(join_words(split.words));
    require(again.error == nullptr && again.words == split.words,
            "join_words(split_words(text)) splits back");
}

void check_words(std::string_view data) {
    std::vector<std::string> words;
    if (!data.empty()) {
        std::size_t start = 0;
        for (;;) {
            const std::size_t zero = data.find('\0', start);
            words.emplace_back(data.substr(start, zero - start));
            if (zero == std::string_view::npos) {
                break;
            }
            start = zero + 1;
        }
    }
    const std::string text = join_words(words);
    const split_result split = split_words(text);
    require(split.error == nullptr, "what join_words() builds always splits");
    require(split.words == words, "split_words(join_words(words)) == words");

    const char* error = nullptr;
    const auto read_back = read_quoted_words(build_command_line(text, &error));
    require(error == nullptr && read_back.has_value() && *read_back == words,
            "a sender's words reach the script unchanged");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    check_text(bytes.substr(0, bytes.find('\0')));
    check_words(bytes);
    return 0;
}
