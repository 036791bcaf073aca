// The tool's codecs: the saved-commands file, which a crash or another hand
// may have cut or changed, and a row of the kernel's table of queues.
#include <gtest/gtest.h>

#include <string>

#include "queue_row.h"
#include "saved_file.h"

namespace {

using namespace std::string_literals;

saved_commands sample(custody_state state) {
    saved_commands saved;
    saved.boot_id = "0a1b2c3d-0000-4000-8000-000000000000";
    saved.saved_at = "1796738400.000000001";
    saved.state = state;
    saved.queue = state == custody_state::saved ? -1 : 32768;
    saved.from_queue = state == custody_state::replacing ? 2 : 0;
    saved.byte_limit = state == custody_state::saved ? 0 : 12288;
    saved.messages = {{1, "add alice"},
                      {7, "\0\nend\nmessage 1 3\n"s},
                      {3, std::string(8192, 'x')},
                      {LONG_MAX, ""}};
    return saved;
}

TEST(saved_file, reads_back_what_it_wrote_in_each_state_and_what_1_2_0_wrote) {
    for (const custody_state state :
         {custody_state::saved, custody_state::replacing, custody_state::restoring}) {
        const saved_commands saved = sample(state);
        std::string problem;
        EXPECT_EQ(decode_saved(encode_saved(saved), &problem), saved) << problem;
    }
    EXPECT_TRUE(encode_saved(sample(custody_state::replacing))
                    .starts_with("useraccountd saved commands 2\n"
                                 "boot 0a1b2c3d-0000-4000-8000-000000000000\n"
                                 "saved 1796738400.000000001\nstate replacing 32768 2 12288\n"
                                 "count 4\nmessage 1 9\nadd alice\nmessage 7 18\n"));

    std::string problem;
    const auto old = decode_saved(
        "useraccountd saved commands 1\nboot b\nsaved 1.2\ncount 2\nmessage 1 9\nadd alice\n"
        "message 5 0\n\nend\n",
        &problem);
    ASSERT_TRUE(old) << problem;
    EXPECT_EQ(old->state, custody_state::saved);
    EXPECT_EQ(old->boot_id, "b");
    EXPECT_EQ(old->messages, (std::vector<queue_entry>{{1, "add alice"}, {5, ""}}));
}

TEST(saved_file, refuses_a_file_cut_short_or_changed) {
    const std::string whole = encode_saved(sample(custody_state::replacing));
    for (std::size_t length = 0; length < whole.size(); length += 97) {
        std::string problem;
        EXPECT_FALSE(decode_saved(whole.substr(0, length), &problem)) << length;
        EXPECT_FALSE(problem.empty());
    }
    const std::string heading = "useraccountd saved commands 2\nboot b\nsaved 1\n";
    const std::string changed[] = {
        "useraccountd saved commands 3\nboot b\nsaved 1\ncount 0\nend\n",
        heading + "count 0\nend\n",  // no state
        heading + "state held 1 0\ncount 0\nend\n",
        heading + "state saved 1\ncount 0\nend\n",
        heading + "state restoring 1\ncount 0\nend\n",
        heading + "state replacing 1 2 0\ncount 1\nmessage 1 1\nx\nend\n",  // 2 of 1
        heading + "state saved\ncount 1\nmessage 0 1\nx\nend\n",
        heading + "state saved\ncount 1\nmessage 1 2\nx\nend\n",
        heading + "state saved\ncount 1\nmessage 1 1\nxx\nend\n",
        heading + "state saved\ncount 0\nend\nmore\n",
        "useraccountd saved commands 2\nboot a b\nsaved 1\nstate saved\ncount 0\nend\n",
    };
    for (const std::string& data : changed) {
        std::string problem;
        EXPECT_FALSE(decode_saved(data, &problem)) << testing::PrintToString(data);
    }
}

TEST(queue_row, reads_id_mode_owner_and_creator) {
    const auto row = decode_queue_row(
        "1191182343      32768   620        8191          1  4242     0   423  4242     0  4242 "
        "1796837653          0 1796837653\n");
    ASSERT_TRUE(row);
    EXPECT_EQ(row->id, 32768);
    EXPECT_EQ(row->mode, 0620U);
    EXPECT_EQ(row->owner, 423U);
    EXPECT_EQ(row->creator, 0U);
    EXPECT_TRUE(decode_queue_row("-70696 1 666 0 0 0 0 4294967295 0 65534 0 0 0 0"));
    const char* const none[] = {
        "       key      msqid perms      cbytes       qnum lspid lrpid   uid   gid  cuid  cgid",
        "1 2 620 0 0 0 0 0 0",       // cut short
        "1 2 689 0 0 0 0 0 0 0 0",   // not octal
        "1 -2 620 0 0 0 0 0 0 0 0",  // no id
        "1 2 620 0 0 0 0 4294967296 0 0 0",
    };
    for (const char* line : none) {
        EXPECT_FALSE(decode_queue_row(line)) << line;
    }
}

}  // namespace
