// Fault loops over the ISAM layer's calls: one table of scenarios, one
// runner (as tests/cbt/fault_test.cpp for the B-tree layer). For each
// scenario and N = 1, 2, 3, ... until the call no longer reaches N, the
// small database is laid down and positioned, platform call (or allocation)
// N fails, and the call runs. A failure must be -1 (or NULL) with the error
// of the failing step (data file 7, 10, 26, 27; index file 9 with the B-tree
// codes; memory 5 or 9), no pool block pinned and, after isamexit, no
// descriptor open. Then, after a fresh isaminit, icheck_db either finds the
// database sound, with the contents before or after the call (records read
// through every index, compared with a model), or reports the damage; a
// sound database with other contents fails the test. Modes: io-once (call N
// fails, later ones work, so the shutdown writes back what the call left),
// io-crash (call N and every later one fail, the shutdown too),
// io-crash+journal (the same with the rollback journal on: the reopened
// database must hold the before or the after state), alloc.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <sstream>

#include "bufpool/bufpool.h"
#include "tests/isam/isam_support.h"
#include "tests/support/fault_loop.h"
#include "tests/support/scale.h"
#include "tests/support/spawn.h"

namespace recbase::test {
namespace {

// A small pool and small blocks: the calls replace buffers (writing dirty
// ones back) and split blocks in the middle of their work.
constexpr int32_t kPoolBuffers = 6;
constexpr int32_t kPoolSize = 512;
constexpr int32_t kBlockSize = 128;
constexpr int64_t kMaxPoints = 600;
constexpr int kRecords = 30;

// Records: name (text), id (32-bit, unique index), note (text whose length
// makes slots of two sizes). Values in their stored form.
const Strings kFields = {"name", "id,L", "note"};
Strings rec(int id, size_t note_len = 0) {
  if (note_len == 0) note_len = id % 2 == 1 ? 30 : 6;
  return {std::string("n") + static_cast<char>('a' + id * 5 % 11),
          stored<int32_t>(id),
          std::string(note_len, static_cast<char>('a' + id % 26))};
}

// What a database holds, as read through the exported calls.
struct Contents {
  bool absent = false;                     // no files at all
  std::map<std::string, Strings> indexes;  // name -> key specifications
  std::multiset<Strings> records;
  bool operator==(const Contents &o) const {
    return absent == o.absent && indexes == o.indexes && records == o.records;
  }
};

struct Ctx {
  std::string name;  // the database's path without extension
  IsamDb *db = nullptr;
  IsamIndex *ix = nullptr;
};

struct Scenario {
  explicit Scenario(std::string n, std::vector<int> d = {})
      : name(std::move(n)), deleted(std::move(d)) {}
  std::string name;
  std::vector<int> deleted;   // records of the image deleted: free areas
  bool no_image = false;      // no database before the call
  bool opens = false;         // an unusable index file is its failure (12)
  bool partial = false;       // may leave part of the after state: damaged
  std::string checked = "t";  // the database checked afterwards
  // Opens and positions before the call (null: open "t", index byId,U).
  std::function<void(Ctx &)> prepare;
  std::function<int32_t(Ctx &)> op;        // 1 success, else -1
  std::function<void(Contents &)> change;  // before -> after
  int32_t clean_result = 1, clean_code = 0;
  // Damaged databases expected after io-once and after alloc faults (none
  // with the journal, in crash mode).
  int damaged_once = 0, damaged_alloc = 0;
};
void PrintTo(const Scenario &s, std::ostream *os) { *os << s.name; }

Contents model(const Scenario &s) {
  Contents c;
  c.absent = s.no_image;
  if (c.absent) return c;
  c.indexes = {{"byName", {"name"}}, {"byId,U", {"id,L"}}};
  for (int i = 0; i < kRecords; ++i) {
    if (std::count(s.deleted.begin(), s.deleted.end(), i) == 0) {
      c.records.insert(rec(i));
    }
  }
  return c;
}

// The records of an index's walk; false when a step fails.
bool walk_records(IsamDb *db, IsamIndex *ix, std::multiset<Strings> *out) {
  char buf[512];
  char *f[4];
  int32_t r = ifindhead(db, ix);
  for (; r == 1 && out->size() <= kRecords * 2; r = ifindnext(db, ix)) {
    if (igetrec(db, ix, f, buf, sizeof buf) != 1) return false;
    out->insert({f[0], std::string(f[1], 4), f[2]});
  }
  return r == -3;
}

struct Tally {
  int points = 0, failed = 0, absorbed = 0, sound = 0, damaged = 0;
  std::map<std::string, int> codes;  // "isam_errno@slot:file"
  // The damage in words: how often, and the first fault point "N=.. slot".
  std::map<std::string, std::pair<int, std::string>> reasons;
};

// The errors a failure may give when the fault hit slot on file.
bool fits(const Scenario &s, FaultMode mode, const std::string &slot,
          const std::string &file, int32_t code) {
  const bool cbt = code == ISERR_CBT && cberrcode != 0 && cbconcode != 0;
  const bool opening = s.opens && code == ISERR_INDEX_CORRUPT;
  // After a crash every later step fails too, and the first to report wins.
  if (crashes(mode)) {
    return cbt || opening || code == ISERR_IO || code == ISERR_NOT_FOUND ||
           code == ISERR_LOCK_REC || code == ISERR_UNLOCK_REC;
  }
  if (mode == FaultMode::kAlloc)
    return code == ISERR_NO_MEMORY || cbt || opening;
  if (file.find(".idx") != std::string::npos) {
    return cbt || opening || (slot == "lock" && code == ISERR_LOCK_REC);
  }
  if (slot == "open") return code == ISERR_NOT_FOUND;
  if (slot == "lock") return code == ISERR_LOCK_REC;
  if (slot == "unlock") return code == ISERR_UNLOCK_REC;
  return code == ISERR_IO;
}

class FaultLoop : public ::testing::TestWithParam<Scenario> {
 protected:
  void TearDown() override {
    shut_down();
    iset_journal(0);
  }
  static void start() {
    ASSERT_EQ(isaminit(kPoolBuffers, kPoolSize), 1);
    cb_set_flush(1, 1);
    ilock_timeout(3, 1, 20);
    cblock_timeout(3, 1, 20);
  }
  // Ends the library even while closes keep failing.
  static void shut_down() {
    for (int i = 0; i < 16 && (cbbufsize() != 0 || isam::g_open_dbs); ++i) {
      isamexit();
    }
    ASSERT_EQ(isam::g_open_dbs, nullptr);
    ASSERT_EQ(cbbufsize(), 0);
  }
  std::string file(const std::string &n) const { return dir_.file(n); }

  // Lays down the scenario's database once; each run restores its bytes.
  void make_image(const Scenario &s) {
    before_ = model(s);
    if (s.no_image) return;
    ASSERT_NO_FATAL_FAILURE(start());
    IsamDb *db =
        icreate_db(file("t").c_str(), kBlockSize, Record(kFields).get());
    ASSERT_NE(db, nullptr);
    for (const auto &[name, specs] : before_.indexes) {
      ASSERT_EQ(imkindex(db, name.c_str(), Record(specs).get()), 1);
    }
    for (int i = 0; i < kRecords; ++i) {
      ASSERT_EQ(iaddrec(db, nullptr, Record(rec(i)).get()), 1);
    }
    IsamIndex *by_id = ihandle(db, "byId,U");
    for (int i : s.deleted) {
      ASSERT_EQ(ifindkey(db, by_id, Record({stored<int32_t>(i)}).get()), 2);
      ASSERT_EQ(idelrec(db, by_id), 1);
    }
    ASSERT_EQ(iclose_db(db), 1);
    shut_down();
    data_ = read_file(file("t.db"));
    index_ = read_file(file("t.idx"));
  }
  void restore(const Scenario &s) {
    for (const char *n :
         {"t.db", "t.idx", "t.jnl", "copy.db", "copy.idx", "copy.jnl"}) {
      std::filesystem::remove(file(n));
    }
    if (s.no_image) return;
    write_file(file("t.db"), data_);
    write_file(file("t.idx"), index_);
  }

  // Reopens the checked database: true when sound with one of the states;
  // the reason of the damage goes into *reason.
  bool verify(const Scenario &s, const std::vector<Contents> &states,
              const std::string &where, std::string *reason) {
    start();
    const std::string name = file(s.checked);
    // An open rolls back what a journal holds (or finishes putting staged
    // files in place); the checker only reads.
    if (ijournal_hot(name.c_str()) == 1) {
      EXPECT_EQ(iclose_db(iopen_db(name.c_str())), 1) << where;
    }
    Contents got;
    got.absent = !file_exists(name + ".db") && !file_exists(name + ".idx");
    char message[256] = "";
    const int32_t checked =
        got.absent ? 1 : icheck_db(name.c_str(), nullptr, message, 256);
    if (checked != 1) {
      *reason =
          checked == 0 ? "" : "check " + std::to_string(isam_errno) + ": ";
      *reason += message;
    }
    IsamDb *db = got.absent || checked != 1 ? nullptr : iopen_db(name.c_str());
    if (db != nullptr && isam_errno != 0) {
      *reason = "open: isam_errno " + std::to_string(isam_errno);
    } else if (db != nullptr) {
      for (char **n = igetindexnames(db); n != nullptr && *n != nullptr; ++n) {
        if (std::strcmp(*n, iphysical) == 0) continue;
        Strings &specs = got.indexes[*n];
        for (char **d = igetdesc(db, ihandle(db, *n)); d && *d; ++d) {
          specs.push_back(*d);
        }
      }
      // Every index walks to the records of the data file.
      std::multiset<Strings> walked;
      walk_records(db, ihandle(db, iphysical), &got.records);
      for (const auto &[index, specs] : got.indexes) {
        walked.clear();
        if (!walk_records(db, ihandle(db, index.c_str()), &walked) ||
            walked != got.records) {
          *reason = "walk of " + index + " fails or differs";
        }
      }
    }
    bool sound = false;
    if (reason->empty()) {
      for (const Contents &c : states) sound = sound || c == got;
      const Contents &all = states.back();
      if (!sound && s.partial &&
          std::includes(all.records.begin(), all.records.end(),
                        got.records.begin(), got.records.end()) &&
          std::includes(all.indexes.begin(), all.indexes.end(),
                        got.indexes.begin(), got.indexes.end())) {
        *reason = "a part of the after state";
      } else {
        EXPECT_TRUE(sound) << where << ": sound database with "
                           << got.records.size() << " records and "
                           << got.indexes.size()
                           << " indexes, not a state the call may leave";
      }
    }
    shut_down();
    return sound;
  }

  Tally run(const Scenario &s, FaultMode mode,
            const std::vector<Contents> &states) {
    Tally tally;
    iset_journal(mode == FaultMode::kIoCrashJournal ? 1 : 0);
    Ctx ctx{file("t")};
    long fds = 0;
    int32_t code = 0;
    FaultSteps steps;
    steps.set_up = [&](const std::string &where) {
      shut_down();
      restore(s);
      fds = open_handle_count();
      start();
      ctx = Ctx{file("t")};
      if (s.prepare) {
        s.prepare(ctx);
      } else {
        ctx.db = iopen_db(ctx.name.c_str());
        ctx.ix = ihandle(ctx.db, "byId,U");
        EXPECT_NE(ctx.ix, nullptr) << where;
      }
    };
    steps.op = [&] {
      const int32_t r = s.op(ctx);
      code = isam_errno;
      return r;
    };
    steps.judge = [&](const FaultRun &run) {
      const std::string slot = run.slot ? run.slot : "alloc";
      if (run.fired && run.result == s.clean_result && code == s.clean_code) {
        ++tally.points, ++tally.absorbed;
      } else if (run.fired) {
        ++tally.points, ++tally.failed;
        ++tally.codes[std::to_string(code) + "@" + slot + ":" + run.file];
        EXPECT_EQ(run.result, -1) << run.where;
        EXPECT_TRUE(fits(s, mode, slot, run.file, code))
            << run.where << ": isam_errno " << code << " cberrcode "
            << cberrcode << " after a failed " << slot << " of " << run.file;
      }
    };
    steps.shut_down = [] { shut_down(); };
    steps.after = [&](const FaultRun &run) {
      EXPECT_EQ(open_handle_count(), fds)
          << run.where << ": descriptors left open";
      std::string reason;
      if (!run.fired) {
        EXPECT_EQ(run.result, s.clean_result)
            << run.where << ": isam_errno " << code;
        EXPECT_EQ(code, s.clean_code) << run.where;
        EXPECT_TRUE(verify(s, {states.back()}, run.where, &reason))
            << run.where << ": clean run left " << reason;
        return;
      }
      if (s.checked != "t") {
        EXPECT_TRUE(read_file(file("t.db")) == data_ &&
                    read_file(file("t.idx")) == index_)
            << run.where << ": the source changed";
      }
      if (verify(s, states, run.where, &reason)) {
        ++tally.sound;
      } else {
        ++tally.damaged;
        auto &[count, first] = tally.reasons[reason];
        if (count++ == 0) {
          first = "N=" + std::to_string(run.n) + " " +
                  (run.slot ? run.slot : "alloc") + ":" + run.file;
        }
      }
    };
    run_fault_loop(s.name, mode, kMaxPoints, steps);
    return tally;
  }

  TempDir dir_;
  std::vector<uint8_t> data_, index_;
  Contents before_;
};

TEST_P(FaultLoop, EveryFaultPointFailsCleanlyOrLeavesAKnownState) {
  const Scenario &s = GetParam();
  ASSERT_NO_FATAL_FAILURE(make_image(s));
  // The checked database before and after the call.
  std::vector<Contents> states{s.checked == "t" ? before_ : Contents{}};
  states[0].absent = states[0].absent || s.checked != "t";
  states.push_back(before_);
  if (s.change) s.change(states[1]);
  for (FaultMode mode : kFaultModes) {
    const char *name = mode_name(mode);
    const Tally t = run(s, mode, states);
    std::ostringstream line;
    line << s.name << " " << name << ": " << t.points << " points, " << t.failed
         << " failed, " << t.absorbed << " absorbed; sound " << t.sound
         << ", damaged " << t.damaged << "; codes";
    for (const auto &[code, n] : t.codes) line << " " << code << "x" << n;
    for (const auto &[why, seen] : t.reasons) {
      line << "\n    damaged x" << seen.first << " (first " << seen.second
           << "): " << why;
    }
    std::cout << "[fault] " << line.str() << "\n";
    EXPECT_TRUE(mode == FaultMode::kAlloc || t.points > 0) << s.name;
    if (mode == FaultMode::kIoCrashJournal) {
      EXPECT_EQ(t.damaged, 0) << s.name << " " << name;
    } else if (mode != FaultMode::kIoCrash) {
      // Every k-th point alone (RECBASE_TEST_SCALE) meets some of them.
      const int expected =
          mode == FaultMode::kIoOnce ? s.damaged_once : s.damaged_alloc;
      if (test_scale() == 1) {
        EXPECT_EQ(t.damaged, expected) << s.name << " " << name;
      } else {
        EXPECT_LE(t.damaged, expected) << s.name << " " << name;
      }
    }
    if (HasFailure()) return;
  }
}

// Opens "t" exclusive with byId,U on record id.
void on_record(Ctx &c, int id) {
  c.db = iopen_db(c.name.c_str());
  c.ix = ihandle(c.db, "byId,U");
  ASSERT_EQ(ifindkey(c.db, c.ix, Record({stored<int32_t>(id)}).get()), 2);
}

Scenario add(std::string name, Strings r, std::vector<int> deleted = {}) {
  Scenario s(std::move(name), std::move(deleted));
  s.op = [r](Ctx &c) { return iaddrec(c.db, c.ix, Record(r).get()); };
  s.change = [r](Contents &c) { c.records.insert(r); };
  return s;
}
Scenario modify(std::string name, int id, size_t note_len,
                std::vector<int> deleted) {
  Scenario s(std::move(name), std::move(deleted));
  Strings r = rec(id, note_len);
  r[0] = "zz";
  s.prepare = [id](Ctx &c) { on_record(c, id); };
  s.op = [r](Ctx &c) { return imodrec(c.db, c.ix, Record(r).get()); };
  s.change = [id, r](Contents &c) {
    c.records.erase(c.records.find(rec(id)));
    c.records.insert(r);
  };
  return s;
}
Scenario opening(std::string name, int32_t shared) {
  Scenario s(std::move(name), {2});
  s.opens = true;
  s.prepare = [](Ctx &) {};
  s.op = [shared](Ctx &c) {
    c.db = iopen_db_shared(c.name.c_str(), shared, 0);
    return c.db != nullptr && isam_errno == 0 ? 1 : -1;
  };
  return s;
}

std::vector<Scenario> scenarios() {
  std::vector<Scenario> v;
  Scenario s("icreate_db");
  s.no_image = s.opens = true;
  s.prepare = [](Ctx &) {};
  s.op = [](Ctx &c) {
    c.db = icreate_db(c.name.c_str(), kBlockSize, Record(kFields).get());
    return c.db != nullptr && isam_errno == 0 ? 1 : -1;
  };
  s.change = [](Contents &c) { c = Contents{}; };
  v.push_back(s);
  v.push_back(opening("iopen_db_shared(excl)", 0));
  v.push_back(opening("iopen_db_shared(shared)", 1));

  v.push_back(add("iaddrec(plain)", rec(100)));
  s = add("iaddrec(unique refuses)", rec(1, 3), {5});
  s.change = nullptr;
  s.clean_result = -1, s.clean_code = ISERR_CBT;
  v.push_back(s);
  // Record 5's slot (30 bytes of note) is the largest free area: a record
  // with a 3-byte note takes its front.
  v.push_back(add("iaddrec(free area split)", rec(101, 3), {5}));

  v.push_back(modify("imodrec(in place)", 3, 30, {}));
  // A tail of 24 bytes is released and merges with record 4's free area.
  v.push_back(modify("imodrec(shrunk)", 3, 6, {4}));
  // Record 2 grows past every free area: it moves to the end of the file,
  // its old slot merging with record 1's free area.
  v.push_back(modify("imodrec(moved)", 2, 40, {1}));

  // Record 3's slot merges with the free areas on both sides.
  s = Scenario("idelrec(merging free areas)", {2, 4});
  s.prepare = [](Ctx &c) { on_record(c, 3); };
  s.op = [](Ctx &c) { return idelrec(c.db, c.ix); };
  s.change = [](Contents &c) { c.records.erase(rec(3)); };
  // After an index fails a delete goes on: it keeps an entry for a free area.
  // (The entry of the index the record was found through goes from the leaf
  // the pool holds, without reading its root again.)
  s.damaged_once = 1;
  v.push_back(s);

  s = Scenario("imkindex(existing records)", {2});
  s.op = [](Ctx &c) {
    return imkindex(c.db, "byNote", Record({"note:4", "name"}).get());
  };
  s.change = [](Contents &c) { c.indexes["byNote"] = {"note:4", "name"}; };
  v.push_back(s);
  s = Scenario("irmindex", {2});
  s.op = [](Ctx &c) { return irmindex(c.db, "byName"); };
  s.change = [](Contents &c) { c.indexes.erase("byName"); };
  // A failure leaves the index with part of its entries (5); a failed write
  // of the control record is not repeated by the B-tree layer (1).
  s.damaged_once = 6;
  v.push_back(s);
  s = Scenario("inew_index_file", {2, 6});
  s.opens = true;
  s.op = [](Ctx &c) { return inew_index_file(c.db, kBlockSize, 1); };
  s.change = [](Contents &c) { c.indexes.clear(); };
  // The old index file is replaced before the new one is complete and
  // there is no journal: a failure from its create on leaves no usable
  // index file (the open reports 12) or one missing free areas.
  s.damaged_once = 14, s.damaged_alloc = 15;
  v.push_back(s);
  // The same, then every index made again in it: the contents stay. Without
  // the journal a failure leaves the indexes made so far (a part).
  s = Scenario("irebuild_index_file", {2, 6});
  s.opens = s.partial = true;
  s.op = [](Ctx &c) { return irebuild_index_file(c.db, kBlockSize); };
  s.change = nullptr;
  s.damaged_once = 19, s.damaged_alloc = 29;
  v.push_back(s);

  s = Scenario("icopy_db", {2});
  s.checked = "copy";
  // A failure keeps what was copied; a source whose index file cannot be read
  // is copied without indexes; one control record write is lost. With the
  // journal the copy is made under staged names and put in place whole: the
  // target is absent (before) or the copy (after).
  s.partial = s.opens = true;
  s.damaged_once = 54, s.damaged_alloc = 45;
  s.prepare = [](Ctx &) {};
  s.op = [](Ctx &c) {
    const std::string to = c.name.substr(0, c.name.size() - 1) + "copy";
    return icopy_db(c.name.c_str(), to.c_str(), "byName", kBlockSize);
  };
  v.push_back(s);

  // Changes left in the pool and the data file's cache that only a flush
  // point writes back; what a failed flush point left, the close writes.
  for (const bool close : {false, true}) {
    s = Scenario(close ? "iclose_db" : "iflush_db", {2});
    s.prepare = [](Ctx &c) {
      on_record(c, 3);
      ASSERT_EQ(idelrec(c.db, c.ix), 1);
      ASSERT_EQ(iaddrec(c.db, nullptr, Record(rec(100)).get()), 1);
    };
    s.op = [close](Ctx &c) {
      return close ? iclose_db(c.db) : iflush_db(c.db);
    };
    s.change = [](Contents &c) {
      c.records.erase(rec(3));
      c.records.insert(rec(100));
    };
    v.push_back(s);
  }
  return v;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, FaultLoop, ::testing::ValuesIn(scenarios()),
                         [](const auto &info) {
                           std::string n = info.param.name;
                           for (char &c : n)
                             c = std::isalnum(c & 0xFF) ? c : '_';
                           return n;
                         });

}  // namespace
}  // namespace recbase::test
