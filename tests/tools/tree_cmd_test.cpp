// The recbase tool's tree subcommands, run as a child process on files
// built here: a sound tree with a free chain, damaged copies, keys with
// bytes that need escaping, files held by a writer or not readable at all,
// and a command line it must refuse.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/fixture.h"
#include "tests/tools/tool_run.h"

namespace recbase::test {
namespace {

class TreeCmdTest : public LibTest {
 protected:
  TreeCmdTest() { pool_count_ = 32, pool_size_ = 4096; }

  // Runs the tool; stdout and stderr are caught in files.
  ToolRun tool(std::vector<std::string> args) {
    return run_tool(std::move(args), path("std1"), path("std2"));
  }
  // 3,000 keys inserted in a scrambled order, items alternating in sign;
  // the middle 2,000 deleted, which puts whole leaves on the free chain.
  PairList build(const std::string &name, int32_t block_size = 512) {
    CbTree *t = create(name, block_size);
    EXPECT_NE(t, nullptr);
    std::set<Pair, PairLess> held;
    for (int32_t i = 0; i < 3000; ++i) {
      const int32_t n = (i * 7919) % 3000;
      const Pair p{numbered_key(n, 6), n % 2 != 0 ? -n : n};
      EXPECT_EQ(put(t, p.first, p.second), 1);
      if (n < 500 || n >= 2500) held.insert(p);
    }
    for (int32_t n = 500; n < 2500; ++n) {
      EXPECT_EQ(del(t, numbered_key(n, 6), n % 2 != 0 ? -n : n), 1);
    }
    EXPECT_EQ(cbclose(t), 1);
    return PairList(held.begin(), held.end());
  }
};

// Check and stat describe a sound tree; on a damaged copy check names the
// first violation and fails, stat prints what it has and fails too.
TEST_F(TreeCmdTest, CheckAndStatDescribeSoundAndDamagedTrees) {
  const PairList held = build("t");
  cbt::TreeStats stats;
  ASSERT_EQ(cbt::check_tree_file(path("t").c_str(), nullptr, &stats), "");
  ToolRun r = tool({"tree", "check", path("t")});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, path("t") + ": sound (" + std::to_string(held.size()) +
                       " entries, depth " + std::to_string(stats.depth) +
                       ")\n");
  r = tool({"tree", "stat", path("t")});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("free chain        " +
                       std::to_string(stats.free_blocks) + " blocks"),
            std::string::npos)
      << r.out;
  const std::vector<uint8_t> sound = read_file(path("t"));
  const uint32_t leaf = le32_at(sound, 10), free_head = le32_at(sound, 18);
  const size_t key1 = size_t{leaf} * 512 + le16_at(sound, leaf * 512 + 24);
  const struct {
    size_t at;
    uint8_t value;
    const char *cmd, *says;
  } cases[] = {
      {key1, 0x01, "check", ": entries 0 and 1 out of order\n"},
      {2, static_cast<uint8_t>(sound[2] ^ 1), "check",
       ": control record: parity error\n"},
      {size_t{free_head} * 512 + 100, 0xAB, "stat",
       ": unused block with byte 100 not zero\n"},
  };
  for (const auto &c : cases) {
    std::vector<uint8_t> f = sound;
    f[c.at] = c.value;
    write_file(path("bad"), f);
    r = tool({"tree", c.cmd, path("bad")});
    EXPECT_EQ(r.code, 1) << c.says;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
  }
  // A journal left by a writer that died: check says so and leaves it for
  // the next open to roll back.
  write_file(path("bad"), sound);
  ASSERT_EQ(leave_hot_journal(path("bad.jnl"), {path("bad")}, 512), 1);
  r = tool({"tree", "check", path("bad")});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find(": a rollback journal waits"), std::string::npos)
      << r.err;
  EXPECT_EQ(cbjournal_hot(path("bad").c_str()), 1);
}

TEST_F(TreeCmdTest, DumpPrintsEveryPairInOrderAsEscapedTextOrHex) {
  CbTree *t = create("t");
  ASSERT_NE(t, nullptr);
  for (const auto &[k, item] : PairList{{"plain", 7},
                                        {"tab\there", 1},
                                        {"back\\slash", 2},
                                        {std::string("\0\x01z", 3), 3},
                                        {"", INT32_MIN},
                                        {"\x7f\xff", INT32_MAX}}) {
    ASSERT_EQ(put(t, k, item), 1);
  }
  ASSERT_EQ(cbclose(t), 1);
  ToolRun r = tool({"tree", "dump", path("t")});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out,
            "\t-2147483648\n\\x00\\x01z\t3\nback\\x5cslash\t2\nplain\t7\n"
            "tab\\x09here\t1\n\\x7f\\xff\t2147483647\n");
  r = tool({"tree", "dump", "--hex", path("t"), "--limit", "3"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "\t-2147483648\n00017a\t3\n6261636b5c736c617368\t2\n");
}

// Blocks larger than the tool's default buffers are read all the same; a
// writer holding its lock in another process keeps the tool out until it
// lets go; unreadable files exit with 2.
TEST_F(TreeCmdTest, LockedMissingAndUnreadableFilesExitWithTwo) {
  const PairList held = build("big", 4096);
  CbTree *writer = cbopen_shared(path("big").c_str(), nullptr, 1, 0);
  ASSERT_NE(writer, nullptr);
  ASSERT_EQ(cblock(writer, 2), 1);
  for (const char *cmd : {"check", "dump"}) {
    const ToolRun r = tool({"tree", cmd, path("big")});
    EXPECT_EQ(r.code, 2) << cmd;
    EXPECT_NE(r.err.find(cberrmsg(CBERR_LOCK)), std::string::npos) << r.err;
  }
  ASSERT_EQ(cbunlock(writer, 2), 1);
  const ToolRun r = tool({"tree", "dump", path("big")});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'),
            static_cast<long>(held.size()));
  for (const std::string &file : {path("missing"), path("")}) {
    for (const char *cmd : {"check", "stat", "dump"}) {
      const ToolRun m = tool({"tree", cmd, file});
      EXPECT_EQ(m.code, 2) << cmd;
      EXPECT_EQ(m.out, "") << cmd;
      EXPECT_NE(m.err.find(cberrmsg(CBERR_OPEN)), std::string::npos) << m.err;
    }
  }
  EXPECT_EQ(tool({"tree", "check"}).code, 64);  // no FILE
}

}  // namespace
}  // namespace recbase::test
