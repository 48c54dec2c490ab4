// The recbase tool's tree subcommands, run as a child process on files
// built here: a sound tree with a free chain, copies damaged in a leaf's key
// text and in the control record's parity, keys with bytes that need
// escaping, and files that cannot be read at all.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "cbt/checker.h"
#include "recbase/cbt.h"
#include "tests/support/temp_dir.h"

extern char **environ;

namespace recbase::test {
namespace {

struct ToolRun {
  int code = -1;
  std::string out;
  std::string err;
};

std::string slurp(const std::string &path) {
  const std::vector<uint8_t> bytes = read_file(path);
  return std::string(bytes.begin(), bytes.end());
}

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A pair as the tree orders it: key under cbkeycmp, then signed item.
using Pair = std::pair<std::string, int32_t>;
struct PairLess {
  bool operator()(const Pair &a, const Pair &b) const {
    const int32_t c =
        cbkeycmp(a.first.data(), static_cast<int32_t>(a.first.size()),
                 b.first.data(), static_cast<int32_t>(b.first.size()));
    return c != 0 ? c < 0 : a.second < b.second;
  }
};
using PairSet = std::set<Pair, PairLess>;

uint32_t le32_at(const std::vector<uint8_t> &f, size_t off) {
  return f[off] | f[off + 1] << 8 | f[off + 2] << 16 |
         static_cast<uint32_t>(f[off + 3]) << 24;
}
uint32_t le16_at(const std::vector<uint8_t> &f, size_t off) {
  return f[off] | f[off + 1] << 8;
}

class TreeCmdTest : public ::testing::Test {
 protected:
  static constexpr int32_t kBlock = 512;

  void SetUp() override { ASSERT_EQ(cbinit(32, 4096), 1); }
  void TearDown() override { EXPECT_EQ(cbexit(), 1); }

  // Runs the tool with args; stdout and stderr go to files of the test's
  // directory and are returned with the exit code.
  ToolRun tool(const std::vector<std::string> &args) {
    std::vector<std::string> argv_text{RECBASE_TOOL_PATH};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string out = dir_.file("stdout"), err = dir_.file("stderr");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    ToolRun run;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) ==
        0) {
      int status = 0;
      if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
        run.code = WEXITSTATUS(status);
      }
    }
    posix_spawn_file_actions_destroy(&actions);
    run.out = slurp(out);
    run.err = slurp(err);
    return run;
  }

  // Writes pairs into a new tree file, deletes the pairs in gone, closes
  // it, and returns the pairs it holds.
  PairSet build(const std::string &path, const std::vector<Pair> &pairs,
                const std::vector<Pair> &gone = {},
                int32_t block_size = kBlock) {
    PairSet held;
    CbTree *t = cbcreate(path.c_str(), nullptr, block_size);
    EXPECT_NE(t, nullptr);
    if (t == nullptr) return held;
    for (const Pair &p : pairs) {
      EXPECT_EQ(cbinsert(t, p.first.data(),
                         static_cast<int32_t>(p.first.size()), p.second, 1),
                1);
      held.insert(p);
    }
    for (const Pair &p : gone) {
      EXPECT_EQ(cbdelete(t, p.first.data(),
                         static_cast<int32_t>(p.first.size()), p.second),
                1);
      held.erase(p);
    }
    EXPECT_EQ(cbclose(t), 1);
    return held;
  }

  // 3,000 keys "k00000".. inserted in a scrambled order, items alternating
  // in sign; then the middle 2,000 are deleted, which empties whole leaves
  // and puts their blocks on the free chain.
  PairSet build_with_free_chain(const std::string &path,
                                int32_t block_size = kBlock) {
    std::vector<Pair> pairs, gone;
    for (int32_t i = 0; i < 3000; ++i) {
      const int32_t n = (i * 7919) % 3000;
      char key[16];
      std::snprintf(key, sizeof key, "k%05d", n);
      pairs.emplace_back(key, n % 2 != 0 ? -n : n);
      if (n >= 500 && n < 2500) gone.push_back(pairs.back());
    }
    return build(path, pairs, gone, block_size);
  }

  cbt::TreeStats stats_of(const std::string &path) {
    cbt::TreeStats stats;
    EXPECT_EQ(cbt::check_tree_file(path.c_str(), nullptr, &stats), "");
    return stats;
  }

  TempDir dir_;
};

TEST_F(TreeCmdTest, CheckAndStatDescribeASoundTree) {
  const std::string path = dir_.file("t.cbt");
  const PairSet held = build_with_free_chain(path);
  const cbt::TreeStats stats = stats_of(path);
  ASSERT_GT(stats.free_blocks, 0u);

  ToolRun r = tool({"tree", "check", path});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, path + ": sound (" + std::to_string(held.size()) +
                       " entries, depth " + std::to_string(stats.depth) +
                       ")\n");
  EXPECT_EQ(r.err, "");

  r = tool({"tree", "stat", path});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::vector<std::string> lines = lines_of(r.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], path);
  // "  name   value" lines, then a level table.
  std::map<std::string, std::string> field;
  std::vector<std::vector<double>> levels;
  for (size_t i = 1; i < lines.size(); ++i) {
    std::istringstream in(lines[i]);
    if (!levels.empty() || lines[i].find("level") != std::string::npos) {
      double lv, nodes, entries, fill;
      if (in >> lv >> nodes >> entries >> fill) {
        levels.push_back({lv, nodes, entries, fill});
      } else {
        ASSERT_TRUE(levels.empty()) << lines[i];
        levels.push_back({});  // the table's heading
      }
      continue;
    }
    const size_t cut = lines[i].find_first_of("0123456789");
    ASSERT_NE(cut, std::string::npos) << lines[i];
    std::string name = lines[i].substr(0, cut);
    name.erase(0, name.find_first_not_of(' '));
    name.erase(name.find_last_not_of(' ') + 1);
    field[name] = lines[i].substr(cut);
  }
  EXPECT_EQ(field["block size"], "512");
  EXPECT_EQ(field["depth"], std::to_string(stats.depth));
  EXPECT_EQ(field["last block"], std::to_string(stats.last_block));
  EXPECT_EQ(field["blocks in use"], std::to_string(stats.blocks_in_tree));
  EXPECT_EQ(field["blocks free"], std::to_string(stats.free_blocks));
  EXPECT_EQ(field["free chain"], std::to_string(stats.free_blocks) + " blocks");
  EXPECT_EQ(field["entries"], std::to_string(held.size()));

  ASSERT_EQ(levels.size(), static_cast<size_t>(stats.depth) + 1);
  EXPECT_EQ(levels[1][1], 1);  // one root node
  EXPECT_EQ(levels.back()[2], static_cast<double>(held.size()));
  double nodes = 0;
  for (size_t i = 1; i < levels.size(); ++i) {
    const cbt::LevelStats &want = stats.levels[i - 1];
    EXPECT_EQ(levels[i][0], static_cast<double>(i - 1));
    EXPECT_EQ(levels[i][1], want.nodes);
    EXPECT_EQ(levels[i][2], static_cast<double>(want.entries));
    const double fill = 100.0 * static_cast<double>(want.bytes_used) /
                        (static_cast<double>(want.nodes) * kBlock);
    EXPECT_NEAR(levels[i][3], fill, 0.051);
    nodes += levels[i][1];
  }
  EXPECT_EQ(nodes, stats.blocks_in_tree);
}

// Check names the first violation and fails; stat prints what it has, every
// level when the tree itself checks out, and fails too.
TEST_F(TreeCmdTest, CheckAndStatNameTheFirstViolationOfADamagedTree) {
  const std::string path = dir_.file("t.cbt");
  build_with_free_chain(path);
  const std::vector<uint8_t> sound = read_file(path);
  const auto damaged = [&](const std::string &name, size_t at, uint8_t to) {
    std::vector<uint8_t> f = sound;
    f[at] = to;
    write_file(dir_.file(name), f);
    return dir_.file(name);
  };

  // Entry 1 of the first leaf gets a key that sorts before entry 0's.
  const uint32_t leaf = le32_at(sound, 10);
  const size_t node = static_cast<size_t>(leaf) * kBlock;
  const std::string bad_key =
      damaged("bad_key.cbt", node + le16_at(sound, node + 16 + 8), 0x01);
  ToolRun r = tool({"tree", "check", bad_key});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, bad_key + ": block " + std::to_string(leaf) +
                       ": entries 0 and 1 out of order\n");

  // A changed root field no longer matches the control record's parity.
  const std::string bad_parity = damaged("bad_parity.cbt", 2, sound[2] ^ 1);
  r = tool({"tree", "check", bad_parity});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, bad_parity + ": control record: parity error\n");

  // A file too short to hold a control record reads, but is no tree.
  const std::string empty = dir_.file("empty.cbt");
  write_file(empty, {});
  r = tool({"tree", "check", empty});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("no control record"), std::string::npos) << r.err;

  // A stray non-zero byte in the free chain's head block.
  const uint32_t free_head = le32_at(sound, 18);
  ASSERT_NE(free_head, 0u);
  const std::string bad_free =
      damaged("bad_free.cbt", size_t{free_head} * kBlock + 100, 0xAB);
  r = tool({"tree", "stat", bad_free});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("not sound"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("block size        512"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("level"), std::string::npos) << r.out;
  EXPECT_EQ(r.err, bad_free + ": block " + std::to_string(free_head) +
                       ": unused block with byte 100 not zero\n");
}

TEST_F(TreeCmdTest, DumpPrintsEveryPairInOrderAsTextOrHex) {
  const std::string path = dir_.file("t.cbt");
  const std::vector<Pair> pairs = {
      {"plain", 7},
      {"plain", -7},
      {"tab\there", 1},
      {"back\\slash", 2},
      {std::string("\0\x01z", 3), 3},
      {"", -2147483647 - 1},
      {"\x7f\xff", 2147483647},
      {"plain", -8},
  };
  const PairSet held = build(path, pairs);

  std::string text, hex;
  for (const Pair &p : held) {
    for (unsigned char c : p.first) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02x", c);
      text += c >= 0x20 && c < 0x7f && c != '\\' ? std::string(1, c)
                                                 : std::string(esc);
      std::snprintf(esc, sizeof esc, "%02x", c);
      hex += esc;
    }
    text += "\t" + std::to_string(p.second) + "\n";
    hex += "\t" + std::to_string(p.second) + "\n";
  }
  // A few lines spelled out, so that the expectation above cannot drift
  // with the code it checks.
  EXPECT_NE(text.find("back\\x5cslash\t2\n"), std::string::npos);
  EXPECT_NE(text.find("tab\\x09here\t1\n"), std::string::npos);
  EXPECT_EQ(text.substr(0, 13), "\t-2147483648\n");
  EXPECT_NE(hex.find("7fff\t2147483647\n"), std::string::npos);

  ToolRun r = tool({"tree", "dump", path});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, text);
  EXPECT_EQ(r.err, "");

  r = tool({"tree", "dump", "--hex", path});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, hex);

  r = tool({"tree", "dump", path, "--limit", "3"});
  EXPECT_EQ(r.code, 0) << r.err;
  const std::vector<std::string> all = lines_of(text);
  EXPECT_EQ(lines_of(r.out),
            std::vector<std::string>(all.begin(), all.begin() + 3));

  r = tool({"tree", "dump", path, "--limit", "0"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "");
}

// Blocks larger than the library's default buffers: the tool learns the
// block size before it sizes its pool. It reads under a reader lock, so a
// writer holding its lock in another process keeps it out until it lets go.
TEST_F(TreeCmdTest, DumpWalksALargeTreeUnlessLockedOrDamaged) {
  const std::string path = dir_.file("t4096.cbt");
  const PairSet held = build_with_free_chain(path, 4096);
  ToolRun r = tool({"tree", "dump", path});
  ASSERT_EQ(r.code, 0) << r.err;
  const std::vector<std::string> lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), held.size());
  auto line = lines.begin();
  for (const Pair &p : held) {
    EXPECT_EQ(*line++, p.first + "\t" + std::to_string(p.second));
  }

  CbTree *writer = cbopen_shared(path.c_str(), nullptr, 1, 0);
  ASSERT_NE(writer, nullptr);
  ASSERT_EQ(cblock(writer, 2), 1);
  for (const char *cmd : {"check", "dump"}) {
    r = tool({"tree", cmd, path});
    EXPECT_EQ(r.code, 2) << cmd;
    EXPECT_EQ(r.out, "") << cmd;
    EXPECT_NE(r.err.find(cberrmsg(29)), std::string::npos) << r.err;
  }
  ASSERT_EQ(cbunlock(writer, 2), 1);
  r = tool({"tree", "check", path});
  EXPECT_EQ(r.code, 0) << r.err;
  r = tool({"tree", "dump", path, "--limit", "1"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "k00000\t0\n");
  EXPECT_EQ(cbclose(writer), 1);

  std::vector<uint8_t> f = read_file(path);
  f[2] ^= 0x01;
  write_file(path, f);
  r = tool({"tree", "dump", path});
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find(cberrmsg(16)), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("cbopen_shared"), std::string::npos) << r.err;
}

TEST_F(TreeCmdTest, FilesThatCannotBeReadExitWithTwo) {
  const std::string missing = dir_.file("missing.cbt");
  for (const char *cmd : {"check", "stat", "dump"}) {
    const ToolRun r = tool({"tree", cmd, missing});
    EXPECT_EQ(r.code, 2) << cmd;
    EXPECT_EQ(r.out, "") << cmd;
    EXPECT_NE(r.err.find(missing + ":\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(cberrmsg(2)), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("No such file or directory"), std::string::npos)
        << r.err;
  }
  const std::string dir = dir_.file("");
  const ToolRun r = tool({"tree", "check", dir});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find(cberrmsg(2)), std::string::npos) << r.err;
}

// Help goes to standard output with exit code 0; a bad command line gives
// 64 and says what is wrong.
TEST_F(TreeCmdTest, HelpAndCommandLineErrors) {
  const struct {
    std::vector<std::string> args;
    int code;
    const char *says;
  } cases[] = {
      {{"--help"}, 0, "Usage:"},
      {{"tree", "--help"}, 0, "Usage:"},
      {{"tree", "check", "--help"}, 0, "Usage:"},
      {{"tree", "stat", "--help"}, 0, "Usage:"},
      {{"tree", "dump", "--help"}, 0, "--hex"},
      {{"tree", "dump", "--help"}, 0, "--limit"},
      {{}, 64, "subcommand is required"},
      {{"tree"}, 64, "subcommand is required"},
      {{"tree", "check"}, 64, "FILE is required"},
      {{"tree", "fsck", "x"}, 64, "unknown command \"fsck\""},
      {{"frob"}, 64, "unknown command \"frob\""},
      {{"tree", "dump", "x", "--limit", "-1"}, 64, "must be 0 or more"},
      {{"tree", "dump", "x", "--limit", "many"}, 64, "many"},
      {{"tree", "stat", "x", "y"}, 64, "y"},
  };
  for (const auto &c : cases) {
    const ToolRun r = tool(c.args);
    EXPECT_EQ(r.code, c.code) << c.says;
    const std::string &text = c.code == 0 ? r.out : r.err;
    EXPECT_NE(text.find(c.says), std::string::npos) << text;
    if (c.code == 0) {
      EXPECT_NE(r.out.find("Usage:"), std::string::npos) << r.out;
      EXPECT_NE(r.out.find("Exit codes"), std::string::npos) << r.out;
    }
  }
}

}  // namespace
}  // namespace recbase::test
