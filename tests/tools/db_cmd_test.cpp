// The recbase tool's db subcommands, run as a child process: a CSV loaded
// and dumped back byte for byte, info, show and dump in an index's order, bad
// rows reported by line (skipped, or stopping a strict load with nothing
// left), check finding each kind of damage, the whole-database commands, and
// command lines it must refuse.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "recbase/isam.h"
#include "tests/isam/isam_support.h"
#include "tests/support/fixture.h"
#include "tests/tools/tool_run.h"

namespace recbase::test {
namespace {

// Every field type, values that need quoting (comma, quote, line feed),
// the ends of the integer ranges, floats whose shortest form is short.
const char kHeader[] =
    "name,\"port,L\",\"small,I\",\"count,U\",\"ratio,F\",\"exact,D\","
    "\"tag,B4\",\"code,C\"\n";
const char *const kRows[] = {
    "alpha,80,-32768,0,0.1,3.141592653589793,00ff10ab,A\n",
    "\"beta, the second\",-2147483648,32767,65535,-1.5e+30,1e-300,00000000,b\n",
    "\"say \"\"hi\"\"\",2147483647,0,7,0,-0,ffffffff,\"two\nlines\"\n",
    ",443,1,1,inf,2.5,01020304,\n",
};
// The rows in the order of index "byport,U".
std::string by_port() {
  return std::string(kHeader) + kRows[1] + kRows[0] + kRows[3] + kRows[2];
}
std::string sample() {
  std::string csv = kHeader;
  for (const char *row : kRows) csv += row;
  return csv;
}

class DbCmdTest : public LibTest {
 protected:
  ToolRun tool(std::vector<std::string> args) {
    return run_tool(std::move(args), path("std1"), path("std2"));
  }
  void write_text(const std::string &name, const std::string &text) {
    write_file(path(name), std::vector<uint8_t>(text.begin(), text.end()));
  }
  bool exists(const std::string &name) {
    return access(path(name).c_str(), F_OK) == 0;
  }
  // Loads sample() into name with two indexes, key fields named by their
  // plain names (port for port,L); expects success.
  void load_sample(const std::string &name) {
    write_text("in.csv", sample());
    const ToolRun r = tool({"db", "load", path(name), path("in.csv"), "--index",
                            "byport,U=port", "--index", "bytag=tag;name:2"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, path(name) +
                         ": 4 records added, 0 rows skipped, "
                         "2 indexes made\n");
  }
};

TEST_F(DbCmdTest, LoadThenDumpReproducesTheCsvAndInfoDescribesIt) {
  load_sample("d");
  ToolRun r = tool({"db", "dump", path("d")});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, sample());
  EXPECT_EQ(tool({"db", "dump", "--csv", path("d")}).out, sample());
  r = tool({"db", "dump", path("d"), "--index", "byport"});  // ",U" left out
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, by_port());

  r = tool({"db", "info", path("d")});
  EXPECT_EQ(r.code, 0) << r.err;
  for (const char *line :
       {"fields      8\n", "  1  port,L  L\n", "  6  tag,B4  B 4\n",
        "  7  code,C  C\n", "indexes     3\n", "  byport,U: port,L\n",
        "  bytag: tag,B4; name:2\n", "records     4\n", ".idx, "}) {
    EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;
  }
  r = tool({"db", "show", path("d"), "--index", "byport,U", "--limit", "2"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out,
            "beta, the second\t-2147483648\t32767\t65535\t-1.5E+30\t1E-300\t"
            "\\x00\\x00\\x00\\x00\tb\n"
            "alpha\t80\t-32768\t0\t0.1\t3.14159\t\\x00\\xFF\\x10\\xAB\tA\n");
  r = tool({"db", "dump", "--display", path("d")});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("alpha\t80\t-32768\t0\t0.1\t3.14159\t"
                       "\\x00\\xFF\\x10\\xAB\tA\n"),
            std::string::npos)
      << r.out;
}

// Each bad row is named by its line and skipped; the good rows stay. With
// --strict the first one stops the load and no file is left.
TEST_F(DbCmdTest, BadRowsAreReportedByLineAndSkippedOrStopAStrictLoad) {
  const std::string good = "a,2,3.5,01,9\n";
  const struct {
    std::string row;
    const char *says;
  } cases[] = {
      {"a,2,9\n", ":3: 3 columns, not 5\n"},
      {"a,2,3,01,x,9\n", ":3: 6 columns, not 5\n"},
      {"a,40000,1,01,9\n", ":3: n,I: number out of range\n"},
      {"a,x1,1,01,9\n", ":3: n,I: not a number\n"},
      {"a,1,1e39,01,9\n", ":3: f,F: number out of range\n"},
      {"a,1,1,0102,9\n",
       ":3: b,B1: binary value longer than the field's 1 "
       "bytes\n"},
      {"a,1,1,01,-1\n", ":3: u,U: number out of range\n"},
      {"a,1,1,01,-\n", ":3: u,U: not a number\n"},
      {"a,1,1,zz,9\n", ":3: b,B1: binary value not in hex digits\n"},
      {"a\"b,1,1,01\n", ":3: a quote inside an unquoted field\n"},
      {"\"a\"b,1,1,01\n", ":3: text after a closing quote\n"},
      {std::string(40000, 'x') + ",1,1,01,9\n",
       ":3: Data is larger than buffer\n"},
  };
  const std::string header = "t,\"n,I\",\"f,F\",\"b,B1\",\"u,U\"\n";
  for (const auto &c : cases) {
    write_text("in.csv", header + good + c.row + good);
    ToolRun r = tool({"db", "load", path("d"), path("in.csv")});
    EXPECT_EQ(r.code, 1) << c.says;
    EXPECT_EQ(r.err, path("in.csv") + c.says);
    EXPECT_EQ(tool({"db", "dump", path("d")}).out, header + good + good);
    ASSERT_EQ(tool({"db", "destroy", path("d")}).code, 0);

    r = tool({"db", "load", "--strict", path("d"), path("in.csv")});
    EXPECT_EQ(r.code, 1) << c.says;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_FALSE(exists("d.db") || exists("d.idx")) << c.says;
  }
  // A row that a unique index refuses is one more bad row; an index that
  // cannot be made stops the load. Neither is worded with a system error.
  write_text("in.csv", header + good + good);
  ToolRun r =
      tool({"db", "load", path("d"), path("in.csv"), "--index", "u,U=n"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err,
            path("in.csv") + ":3: duplicate key in unique index \"u,U\"\n");
  EXPECT_EQ(tool({"db", "dump", path("d")}).out, header + good);
  EXPECT_EQ(tool({"db", "destroy", path("d")}).code, 0);
  r = tool({"db", "load", "--strict", path("d"), path("in.csv"), "--index",
            "u,U=n"});
  EXPECT_EQ(r.code, 1);
  EXPECT_FALSE(exists("d.db") || exists("d.idx"));
  r = tool({"db", "load", path("d"), path("in.csv"), "--index", "x=nosuch"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, path("d") +
                       ": index \"x\": " + isammsg(ISERR_BAD_FIELD_NAME) +
                       "\n" + path("d") + ": load stopped; nothing is kept\n");
  EXPECT_FALSE(exists("d.db") || exists("d.idx"));
}

// copy compacts into a new database with the same indexes; reindex makes
// the index file again; rename and destroy move and remove both files.
TEST_F(DbCmdTest, CopyReindexRenameAndDestroy) {
  load_sample("d");
  ToolRun r = tool({"db", "copy", path("d"), path("c"), "--index", "byport,U",
                    "--block", "1024"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(tool({"db", "dump", path("c")}).out, by_port());
  EXPECT_EQ(tool({"db", "dump", path("c"), "--index", "bytag"}).out,
            tool({"db", "dump", path("d"), "--index", "bytag"}).out);
  EXPECT_EQ(tool({"db", "copy", path("d"), path("c")}).code, 1);
  r = tool({"db", "copy", path("d"), path("d")});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, path("d") + ": cannot copy a database onto itself\n");

  r = tool({"db", "reindex", path("c")});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, path("c") + ": index file made again with 2 indexes\n");
  EXPECT_EQ(tool({"db", "dump", path("c"), "--index", "byport,U"}).out,
            by_port());
  // An entry of "byport,U" taken out of the index file (its keys are the
  // index number and the 4-byte port) hides a record from the index's walk
  // until reindex makes the index again.
  {
    CbTree *t = open("d.idx");
    ASSERT_NE(t, nullptr);
    std::map<int, PairList> by_number;
    for (const Pair &p : walk(t)) {
      if (p.first.size() == 5) by_number[uint8_t(p.first[0])].push_back(p);
    }
    ASSERT_EQ(by_number.size(), 1u);
    const Pair &gone = by_number.begin()->second.front();
    ASSERT_EQ(del(t, gone.first, gone.second), 1);
    ASSERT_EQ(cbclose(t), 1);
  }
  EXPECT_EQ(tool({"db", "dump", path("d"), "--index", "byport,U"}).out,
            std::string(kHeader) + kRows[0] + kRows[3] + kRows[2]);
  r = tool({"db", "reindex", path("d")});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(tool({"db", "dump", path("d"), "--index", "byport,U"}).out,
            by_port());
  // An index file that cannot be read takes its definitions with it: the
  // data are kept, "Physical Index" alone is made again, and that fails.
  write_file(path("d.idx"), std::vector<uint8_t>(512, 0x5A));
  EXPECT_EQ(tool({"db", "dump", path("d"), "--index", "byport,U"}).code, 2);
  EXPECT_NE(tool({"db", "info", path("d")})
                .out.find(".idx, 512 bytes "
                          "(cannot be used)\n"),
            std::string::npos);
  r = tool({"db", "reindex", path("d")});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find(isammsg(ISERR_INDEX_CORRUPT)), std::string::npos)
      << r.err;
  EXPECT_EQ(tool({"db", "dump", path("d")}).out, sample());
  EXPECT_NE(tool({"db", "info", path("d")}).out.find("indexes     1\n"),
            std::string::npos);

  ASSERT_EQ(tool({"db", "rename", path("c"), path("e")}).code, 0);
  EXPECT_EQ(tool({"db", "dump", path("c")}).code, 2);
  EXPECT_EQ(tool({"db", "dump", path("e"), "--index", "byport,U"}).out,
            by_port());
  EXPECT_EQ(tool({"db", "rename", path("e"), path("d")}).code, 1);
  ASSERT_EQ(tool({"db", "destroy", path("e")}).code, 0);
  EXPECT_FALSE(exists("e.db") || exists("e.idx"));
  r = tool({"db", "destroy", path("e")});
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find(isammsg(ISERR_NOT_FOUND)), std::string::npos) << r.err;
}

// A sound database passes check with its figures; each kind of damage, made
// to a copy of it, is found and worded with its place; reindex repairs an
// index file that check found damaged.
int32_t g_counted = 0;
void RBCALL count_progress(int32_t count) { g_counted = count; }

TEST_F(DbCmdTest, CheckFindsEachKindOfDamageAndReindexRepairsTheIndexFile) {
  using namespace std::string_literals;
  // Records at 13 ann, 23 bob, 33 cy, (42 dan), 52 eve; deleting dan leaves
  // a free area of 8 bytes at 42. "byname,U" is index 1, "byn" index 2.
  write_text("in.csv", "name,\"n,L\"\nann,1\nbob,2\ncy,2\ndan,3\neve,4\n");
  ASSERT_EQ(tool({"db", "load", path("s"), path("in.csv"), "--index",
                  "byname,U=name", "--index", "byn=n,L"})
                .code,
            0);
  IsamDb *db = iopen_db(path("s").c_str());
  ASSERT_NE(db, nullptr);
  char *dan[] = {const_cast<char *>("dan"), nullptr};
  IsamIndex *by_name = ihandle(db, "byname,U");
  ASSERT_EQ(ifindkey(db, by_name, dan), 2);
  ASSERT_EQ(idelrec(db, by_name), 1);
  ASSERT_EQ(iclose_db(db), 1);
  ToolRun r = tool({"db", "check", path("s")});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, path("s") +
                       ": sound\nrecords     4, 31 bytes\n"
                       "indexes     3, 8 entries\n"
                       "free space  1 areas, 8 bytes, largest 8\n");
  EXPECT_NE(tool({"db", "info", path("s")})
                .out.find("free space  1 areas, 8 bytes, largest 8\n"),
            std::string::npos);
  // The progress routine counts every slot (4 records, 1 free area) and
  // every key of the index file (3 descriptors, 8 entries, 2 free-space
  // keys).
  iprogress(count_progress);
  EXPECT_EQ(icheck_db(path("s").c_str(), nullptr, nullptr, 0), 1);
  iprogress(nullptr);
  EXPECT_EQ(g_counted, 18);

  // Changes the copy's index file through a tree handle, the database open
  // so that the comparison orders entries by their fields.
  auto in_index = [this](std::function<void(CbTree *)> change) {
    return [this, change] {
      IsamDb *copy = iopen_db(path("c").c_str());
      ASSERT_NE(copy, nullptr);
      CbTree *t = cbopen(path("c.idx").c_str(), isam::key_compare);
      ASSERT_NE(t, nullptr);
      change(t);
      EXPECT_EQ(cbclose(t), 1);
      EXPECT_EQ(iclose_db(copy), 1);
    };
  };
  auto word_at = [this](size_t at, int16_t word) {
    return [this, at, word] {
      patch_file(path("c.db"), at, bytes_of(stored(word)));
    };
  };
  const std::string area_size = "\xFF\0\x08"s, area_at = "\xFE\0\0\0\x2A"s;
  const struct {
    std::function<void()> damage;
    std::string says;
  } cases[] = {
      {word_at(13, 30000),
       "record at 13: length word 30000 runs past the end of the file (62 "
       "bytes)"},
      {word_at(33, 5),
       "record at 33: its 5 bytes end inside field 2 (\"n,L\")"},
      {in_index([](CbTree *t) { EXPECT_EQ(del(t, "\1ann\0"s, 13), 1); }),
       "index \"byname,U\": record at 13 has no entry"},
      {in_index([](CbTree *t) {
         EXPECT_EQ(put(t, "\x02" + stored(int32_t{1}), 14), 1);
       }),
       "index \"byn\": an entry points at 14, where no record starts"},
      {in_index([](CbTree *t) { EXPECT_EQ(put(t, "\1bob\0"s, 52), 1); }),
       "index \"byname,U\": the entry of record at 52 holds a key that the "
       "record's fields do not give"},
      {in_index([](CbTree *t) {
         EXPECT_EQ(del(t, "\0byn\0n,L\0"s, 2), 1);
         EXPECT_EQ(put(t, "\0byn,U\0n,L\0"s, 2, 0), 1);
       }),
       "unique index \"byn,U\": records at 23 and 33 have equal keys"},
      {in_index([](CbTree *t) { EXPECT_EQ(put(t, "\7x"s, 13), 1); }),
       "entries of index number 7, which no descriptor names"},
      // The area swallows eve's slot: the slots still tile the file.
      {word_at(42, -18),
       "free area at 42: its length word says 18 bytes, its position key 8"},
      {in_index([&](CbTree *t) { EXPECT_EQ(del(t, area_at, 8), 1); }),
       "free area at 42: no position key"},
      {in_index([&](CbTree *t) {
         EXPECT_EQ(modify(t, area_size, 42, "\xFF\0\x09"s, 42), 1);
       }),
       "free area at 42: its length word says 8 bytes, its size key 9"},
      {in_index([](CbTree *t) { EXPECT_EQ(put(t, "\xFE\0\0\0\x0D"s, 8), 1); }),
       "a position key (size 8) for 13, where no free area starts"},
      // Last: the reindex below rolls the journal back.
      {[this] {
         EXPECT_EQ(leave_hot_journal(path("c.jnl"),
                                     {path("c.db"), path("c.idx")}, 4096),
                   1);
       },
       ": a rollback journal waits (a writer died)"},
  };
  for (const auto &c : cases) {
    for (const char *ext : {".db", ".idx"}) {
      write_file(path("c") + ext, read_file(path("s") + ext));
    }
    c.damage();
    r = tool({"db", "check", path("c")});
    EXPECT_EQ(r.code, 1) << c.says;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
  // The last copy's index file made again passes.
  ASSERT_EQ(tool({"db", "reindex", path("c")}).code, 0);
  r = tool({"db", "check", "--quiet", path("c")});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "");
}

TEST_F(DbCmdTest, BadCommandLinesAndMissingFiles) {
  load_sample("d");
  const std::vector<std::vector<std::string>> usage = {
      {"db"},
      {"db", "info"},
      {"db", "frobnicate", path("d")},
      {"db", "dump", path("d"), "--csv", "--display"},
      {"db", "show", path("d"), "--limit", "-1"},
      {"db", "load", path("x")},
      {"db", "load", path("x"), path("in.csv"), "--block", "-1"},
      {"db", "load", path("x"), path("in.csv"), "--index", "noequals"},
      {"db", "copy", path("d")},
      {"db", "check", path("d"), "--index", "x"},
      // The index file's keys are in the database's order, not the tree's.
      {"tree", "check", path("d.idx")},
      {"tree", "stat", path("d.idx")},
  };
  for (const auto &args : usage) {
    const ToolRun r = tool(args);
    EXPECT_EQ(r.code, 64) << args.back() << r.err;
    if (args[0] == "tree") {
      EXPECT_NE(r.err.find("use `recbase db check " + path("d") + "`"),
                std::string::npos)
          << r.err;
    }
  }
  EXPECT_FALSE(exists("x.db"));
  const ToolRun r = tool({"db", "dump", path("d"), "--index", "nosuch"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find(isammsg(ISERR_UNKNOWN_INDEX)), std::string::npos);
  for (const char *cmd : {"info", "check", "show", "dump", "reindex"}) {
    EXPECT_EQ(tool({"db", cmd, path("missing")}).code, 2) << cmd;
  }
  EXPECT_EQ(tool({"db", "load", path("x"), path("missing.csv")}).code, 2);
  EXPECT_EQ(tool({"db", "load", path("d"), path("in.csv")}).code, 1);

  // Held open exclusively by this process, the database is in use for
  // the tool. Shared, with a record locked here, info still counts it
  // (the count locks no record).
  IsamDb *held = iopen_db(path("d").c_str());
  ASSERT_NE(held, nullptr);
  for (const char *cmd : {"info", "show", "check"}) {
    const ToolRun in_use = tool({"db", cmd, path("d")});
    EXPECT_EQ(in_use.code, 2) << cmd;
    EXPECT_NE(in_use.err.find(path("d") + ": in use by another process "
                                          "(opened exclusively)\n"),
              std::string::npos)
        << in_use.err;
    EXPECT_EQ(in_use.err.find(isammsg(ISERR_NOT_FOUND)), std::string::npos);
  }
  ASSERT_EQ(iclose_db(held), 1);
  held = iopen_db_shared(path("d").c_str(), 1, 0);
  int32_t id = 0;
  ASSERT_EQ(ifindhead(held, ihandle(held, iphysical)), 1);
  ASSERT_EQ(ilock_rec(held, ihandle(held, iphysical), &id), 1);
  const ToolRun info = tool({"db", "info", path("d")});
  EXPECT_EQ(info.code, 0) << info.err;
  EXPECT_NE(info.out.find("records     4\n"), std::string::npos) << info.out;
  EXPECT_EQ(iclose_db(held), 1);
}

}  // namespace
}  // namespace recbase::test
