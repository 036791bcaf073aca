// memory: resident memory after start and after batches of messages of
// mixed types and sizes up to the text limit.
#include <sys/syscall.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "account_command.h"
#include "command_queue.h"
#include "harness.h"

namespace bench {
namespace {

// Mixed types and sizes up to the text limit; one in a hundred is an account
// command (through the real sudo), the rest are only received and echoed.
std::vector<std::pair<long, std::string>> mixed_messages(int count, std::mt19937& random) {
    static const char alphabet[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 \t\n'\"\\$`;|&<>()*?~#";
    std::uniform_int_distribution<std::size_t> size_of(0, max_text_size);
    std::uniform_int_distribution<std::size_t> letter(0, sizeof alphabet - 2);
    std::uniform_int_distribution<long> other_type(2, 9);
    std::vector<std::pair<long, std::string>> messages;
    for (int i = 0; i < count; ++i) {
        const std::size_t size = i % 97 == 0 ? max_text_size : size_of(random);
        if (i % 100 == 0) {
            std::vector<std::string> words;
            std::string text;
            for (;;) {
                std::string word(1 + letter(random) % 40, ' ');
                for (char& c : word) {
                    c = alphabet[letter(random)];
                }
                words.push_back(word);
                std::string longer = join_words(words);
                if (longer.size() > size) {
                    break;
                }
                text = std::move(longer);
            }
            messages.emplace_back(1, text);
        } else {
            std::string text(size, ' ');
            for (char& c : text) {
                c = alphabet[letter(random)];
            }
            messages.emplace_back(other_type(random), text);
        }
    }
    return messages;
}

struct memory_run {
    memory_figures start;
    std::vector<memory_figures> after_batch;
};

memory_run memory_once(server_kind kind, const std::vector<std::pair<long, std::string>>& messages,
                       int batches) {
    clear_queue();
    server s(kind, 0);
    memory_run run;
    sleep_for(0.2);
    run.start = s.memory();
    for (int batch = 0; batch < batches; ++batch) {
        std::atomic<bool> all_sent{false};
        std::thread sender([&] {
            for (const auto& [type, text] : messages) {
                send(type, text);
            }
            send(2, "end");
            all_sent = true;
        });
        while (!(all_sent.load() && waiting_messages() == 0)) {
            sleep_for(1e-3);
        }
        sender.join();
        s.wait_in_call(SYS_msgrcv, 10.0);
        sleep_for(0.2);
        run.after_batch.push_back(s.memory());
    }
    s.stop();
    return run;
}

}  // namespace

void bench_memory() {
    std::mt19937 random(config.seed);
    const auto messages = mixed_messages(config.memory_messages, random);
    const int batches = 2;
    const memory_run f = memory_once(server_kind::floor, messages, batches);
    progress("  memory floor done\n");
    const memory_run d = memory_once(server_kind::daemon, messages, batches);
    progress("  memory useraccountd done\n");
    const std::string what = "memory, " + std::to_string(batches) + " batches of " +
                             std::to_string(config.memory_messages) + " mixed messages";
    const double limit_kib = 2.5 * 1024;
    const auto row = [&](const std::string& figure, long floor_kib, long daemon_kib, bool goal) {
        table.push_back({what, figure + " (KiB)", std::to_string(floor_kib),
                         std::to_string(daemon_kib),
                         ratio_of(static_cast<double>(daemon_kib), static_cast<double>(floor_kib)),
                         goal ? "<= 2560" : "",
                         goal ? verdict(static_cast<double>(daemon_kib) <= limit_kib) : ""});
    };
    row("VmRSS after start", f.start.rss_kib, d.start.rss_kib, true);
    row("  of which RssAnon", f.start.anon_kib, d.start.anon_kib, false);
    row("  of which RssFile", f.start.file_kib, d.start.file_kib, false);
    row("  Pss after start", f.start.pss_kib, d.start.pss_kib, false);
    for (int batch = 0; batch < batches; ++batch) {
        const std::string after = "after " + std::to_string((batch + 1) * config.memory_messages);
        row("VmRSS " + after, f.after_batch[static_cast<std::size_t>(batch)].rss_kib,
            d.after_batch[static_cast<std::size_t>(batch)].rss_kib, true);
        row("VmHWM " + after, f.after_batch[static_cast<std::size_t>(batch)].hwm_kib,
            d.after_batch[static_cast<std::size_t>(batch)].hwm_kib, true);
    }
    row("  RssAnon at the end", f.after_batch.back().anon_kib, d.after_batch.back().anon_kib,
        false);
    row("  RssFile at the end", f.after_batch.back().file_kib, d.after_batch.back().file_kib,
        false);
    row("  Pss at the end", f.after_batch.back().pss_kib, d.after_batch.back().pss_kib, false);
    const auto growth_rows = [&](const char* figure, long memory_figures::*value) {
        const auto first = [&](const memory_run& run) {
            return run.after_batch.front().*value - run.start.*value;
        };
        const auto later = [&](const memory_run& run) {
            return run.after_batch.back().*value - run.after_batch.front().*value;
        };
        table.push_back({what, std::string(figure) + " growth, start to after batch 1 (KiB)",
                         std::to_string(first(f)), std::to_string(first(d)), "", "0",
                         verdict(first(d) <= 0)});
        table.push_back({what, std::string(figure) + " growth, batch 1 to after the last (KiB)",
                         std::to_string(later(f)), std::to_string(later(d)), "", "0",
                         verdict(later(d) <= 0)});
    };
    growth_rows("VmRSS", &memory_figures::rss_kib);
    growth_rows("RssAnon", &memory_figures::anon_kib);
}

}  // namespace bench
