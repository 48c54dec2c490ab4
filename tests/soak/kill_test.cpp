// Kill -9 soak: a writer process runs batches of changes with a small pool
// (so blocks are written mid-batch) and a flush point after each, telling
// the parent through a pipe which batch it has flushed; the parent kills it
// (SIGKILL; TerminateProcess on Windows) after a random time, reopens the file with the journal
// switch off (a journal left beside it is used all the same), checks it and
// compares its contents with the model of the last batch flushed (or the
// one after: the kill may fall between the flush and the report). The next
// writer goes on from there.
//
// RECBASE_SOAK_KILLS sets the kills per run (default 20, as in CI; 1000 by
// hand); RECBASE_SOAK_CONTRAST=1 also runs the soak with the journal off and
// prints its count of damaged files.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cbt/checker.h"
#include "tests/isam/isam_support.h"
#include "tests/support/fixture.h"
#include "tests/support/spawn.h"

namespace recbase::test {
namespace {

constexpr int kPerBatch = 60;
constexpr int kFirstReportMs = 20000;

int env_int(const char *name, int fallback) {
  const char *v = std::getenv(name);
  return v != nullptr ? std::atoi(v) : fallback;
}

// Batch b adds keys b*kPerBatch.., and deletes the odd keys of batch b-3.
std::set<int> model_keys(int batches) {
  std::set<int> keys;
  for (int b = 1; b <= batches; ++b) {
    for (int i = 0; i < kPerBatch; ++i) keys.insert(b * kPerBatch + i);
    for (int i = 1; b > 3 && i < kPerBatch; i += 2) {
      keys.erase((b - 3) * kPerBatch + i);
    }
  }
  return keys;
}
// Tree key of number k: seven digits, so that no two numbers a long soak
// reaches share a key (the writer refuses duplicates).
std::string tree_key(int k) { return std::to_string(10000000 + k).substr(1); }
// Record of key k after batch b: name changes when batch k/kPerBatch + 2
// has run.
std::string name_of(int k, int batches) {
  return (batches >= k / kPerBatch + 2 ? "m" : "n") + std::to_string(k % 97);
}

struct Kind {
  bool db;
  std::string path;
};

Strings record(int k, int batches) {
  return {name_of(k, batches), stored<int32_t>(k),
          "city" + std::to_string(k % 7)};
}

// The child (args: db or tree, path, journal 0/1, first batch): batch b
// adds kPerBatch records (keys), renames the records of batch b-2, deletes
// the odd ones of batch b-3, then flushes and reports b. It runs until it
// is killed. Before it opens the file it reports first - 1, so that the
// kill can fall in the open (and a rollback) too.
int writer(const std::vector<std::string> &args) {
  const Kind kind{args[0] == "db", args[1]};
  const bool journal = args[2] == "1";
  const int first = std::stoi(args[3]);
  const int ready = first - 1;
  if (!parent_send(&ready, sizeof ready)) return 4;
  if (kind.db) {
    isaminit(8, 1024);
    iset_journal(journal ? 1 : 0);
    IsamDb *db = iopen_db(kind.path.c_str());
    IsamIndex *by_id = ihandle(db, "byId,U");
    for (int b = first;; ++b) {
      for (int i = 0; i < kPerBatch; ++i) {
        iaddrec(db, by_id, Record(record(b * kPerBatch + i, b - 1)).get());
      }
      for (int i = 0; b > 2 && i < kPerBatch; ++i) {
        const int k = (b - 2) * kPerBatch + i;
        if (ifindkey(db, by_id, Record({stored<int32_t>(k)}).get()) == 2) {
          imodrec(db, by_id, Record(record(k, b)).get());
        }
      }
      for (int i = 1; b > 3 && i < kPerBatch; i += 2) {
        const int k = (b - 3) * kPerBatch + i;
        if (ifindkey(db, by_id, Record({stored<int32_t>(k)}).get()) == 2) {
          idelrec(db, by_id);
        }
      }
      if (iflush_db(db) != 1) return 3;
      if (!parent_send(&b, sizeof b)) return 4;
    }
  }
  cbinit(6, 512);
  cb_set_journal(journal ? 1 : 0);
  CbTree *t = cbopen(kind.path.c_str(), nullptr);
  for (int b = first;; ++b) {
    for (int i = 0; i < kPerBatch; ++i) {
      put(t, tree_key(b * kPerBatch + i), b * kPerBatch + i, 0);
    }
    for (int i = 1; b > 3 && i < kPerBatch; i += 2) {
      const int k = (b - 3) * kPerBatch + i;
      del(t, tree_key(k), k);
    }
    if (cbflush(t) != 1) return 3;
    if (!parent_send(&b, sizeof b)) return 4;
  }
}
const ChildRole kWriter("soak-writer", writer);

// Whether the file, checked, holds the contents after `batches` batches.
bool holds(const Kind &kind, int batches, std::string *why) {
  const std::set<int> keys = model_keys(batches);
  std::set<int> got;
  bool names = true;
  if (kind.db) {
    isaminit(8, 1024);
    IsamDb *db = iopen_db(kind.path.c_str());
    IsamIndex *by_id = db != nullptr ? ihandle(db, "byId,U") : nullptr;
    char buf[256];
    char *f[4];
    for (int32_t r = ifindhead(db, by_id); r == 1; r = ifindnext(db, by_id)) {
      if (igetrec(db, by_id, f, buf, sizeof buf) != 1) break;
      int32_t k = 0;
      std::memcpy(&k, f[1], 4);
      got.insert(k);
      names = names && record(k, batches)[0] == f[0];
    }
    iclose_db(db);
    char msg[256] = "";
    if (icheck_db(kind.path.c_str(), nullptr, msg, sizeof msg) != 1) *why = msg;
    isamexit();
  } else {
    cbinit(6, 512);
    CbTree *t = cbopen(kind.path.c_str(), nullptr);
    *why = t != nullptr ? cbt::check_tree(t) : "cannot open";
    int32_t item = 0;
    for (int32_t r = cbhead(t, &item); r == 1; r = cbnext(t, &item)) {
      got.insert(item);
    }
    cbexit();
  }
  return why->empty() && names && got == keys;
}

// Kills writers until `kills` kills or the first damaged file; returns the
// kills made, and *damaged is set when a file was found damaged.
int soak(const Kind &kind, int kills, bool journal, unsigned seed,
         bool *damaged) {
  std::mt19937 rng(seed);
  int last = 0;
  *damaged = false;
  for (int k = 0; k < kills; ++k) {
    {
      Child child("soak-writer", {kind.db ? "db" : "tree", kind.path,
                                  journal ? "1" : "0",
                                  std::to_string(last + 1)});
      if (!child.started()) return k;
      // A child starts slowly on Windows: the random time runs from its
      // first report.
      int b = 0;
      if (child.readable_within(kFirstReportMs) && child.receive(&b, sizeof b)) {
        last = b;
      }
      std::this_thread::sleep_for(
          std::chrono::microseconds(1000 + rng() % 40000));
      child.kill();
      while (child.receive(&b, sizeof b)) last = b;
    }
    // The kill may fall between a flush point and its report.
    std::string why, why_next;
    if (holds(kind, last + 1, &why_next)) {
      ++last;
    } else if (!holds(kind, last, &why)) {
      if (journal)
        ADD_FAILURE() << "kill " << k << ", batch " << last << ": " << why;
      *damaged = true;
      return k + 1;
    }
  }
  return kills;
}

class KillSoak : public ::testing::Test {
 protected:
  void make(Kind *kind, bool db) {
    kind->db = db;
    kind->path = dir_.file(db ? "soak" : "soak.tree");
    std::remove((kind->path + ".jnl").c_str());
    if (db) {
      isaminit(8, 1024);
      IsamDb *d = icreate_db(kind->path.c_str(), 512,
                             Record({"name", "id,L", "city"}).get());
      ASSERT_NE(d, nullptr);
      for (auto [n, spec] : {std::pair{"byId,U", "id,L"},
                             {"byName", "name"},
                             {"byCity", "city"}}) {
        ASSERT_EQ(imkindex(d, n, Record({spec}).get()), 1);
      }
      ASSERT_EQ(iclose_db(d), 1);
      isamexit();
    } else {
      cbinit(6, 512);
      ASSERT_EQ(cbclose(cbcreate(kind->path.c_str(), nullptr, 512)), 1);
      cbexit();
    }
  }
  // Kills in all, with the journal on or off; a damaged file is counted and
  // made anew. Returns the damaged count.
  int count(bool db, bool journal, int kills) {
    Kind kind;
    int done = 0, damaged = 0;
    for (unsigned seed = 1; done < kills; ++seed) {
      make(&kind, db);
      bool hit = false;
      done += soak(kind, kills - done, journal, seed, &hit);
      damaged += hit;
    }
    std::cout << "[soak] " << (db ? "database, 3 indexes" : "tree")
              << ", journal " << (journal ? "on" : "off") << ": " << kills
              << " kills, " << damaged << " damaged\n";
    return damaged;
  }
  void run(bool db) {
    const int kills = env_int("RECBASE_SOAK_KILLS", 20);
    EXPECT_EQ(count(db, true, kills), 0);
    if (env_int("RECBASE_SOAK_CONTRAST", 0) != 0) count(db, false, kills);
  }
  TempDir dir_;
};

TEST_F(KillSoak, TreeHoldsTheLastFlushPoint) { run(false); }
TEST_F(KillSoak, DatabaseWithThreeIndexesHoldsTheLastFlushPoint) { run(true); }

// The writer that dies holding the writer lock (args: db or tree, path):
// waits for the parent's word, takes the lock, writes batches 2 to 5, says
// so and waits to be killed.
int dying_writer(const std::vector<std::string> &args) {
  const bool db = args[0] == "db";
  char c = 0;
  if (!parent_receive(&c, 1)) return 2;
  cbinit(6, 512);
  cb_set_journal(1);
  iset_journal(1);
  IsamDb *d = db ? iopen_db_shared(args[1].c_str(), 1, 0) : nullptr;
  CbTree *t = db ? nullptr : cbopen_shared(args[1].c_str(), nullptr, 1, 0);
  if (db ? ilock_all(d, 2) != 1 : cblock(t, 2) != 1) return 3;
  for (int k = 2 * kPerBatch; k < 6 * kPerBatch; ++k) {
    if (db) iaddrec(d, nullptr, Record(record(k, 0)).get());
    if (!db) put(t, tree_key(k), k, 0);
  }
  if (!parent_send(&c, 1)) return 4;
  parent_receive(&c, 1);
  return 5;
}
const ChildRole kDyingWriter("dying-writer", dying_writer);

// Shared files: a writer that dies holding the writer lock, with blocks and
// records of batches 2 to 5 already written, leaves a journal that a reader
// which had the file open all along rolls back at its next lock, before it
// reads: it finds batch 1, and a sound file.
TEST_F(KillSoak, AReaderRollsBackAWriterThatDiedHoldingTheLock) {
  for (bool db : {false, true}) {
    Kind kind;
    make(&kind, db);
    Child child("dying-writer", {db ? "db" : "tree", kind.path});
    ASSERT_TRUE(child.started());
    isaminit(6, 512);
    cb_set_journal(1);
    iset_journal(1);
    IsamDb *d = db ? iopen_db_shared(kind.path.c_str(), 1, 0) : nullptr;
    IsamIndex *by_id = db ? ihandle(d, "byId,U") : nullptr;
    CbTree *t = db ? nullptr : cbopen_shared(kind.path.c_str(), nullptr, 1, 0);
    for (int k = kPerBatch; k < 2 * kPerBatch; ++k) {
      EXPECT_EQ(db ? iaddrec(d, nullptr, Record(record(k, 0)).get())
                   : put(t, tree_key(k), k, 0),
                1);
    }
    char c = 'x';
    ASSERT_TRUE(child.send(&c, 1));
    ASSERT_TRUE(child.receive(&c, 1));
    child.kill();
    std::set<int> got;
    char buf[256];
    char *f[4];
    int32_t item = 0;
    for (int32_t r = db ? ifindhead(d, by_id) : cbhead(t, &item); r == 1;
         r = db ? ifindnext(d, by_id) : cbnext(t, &item)) {
      if (db && igetrec(d, by_id, f, buf, sizeof buf) == 1) {
        std::memcpy(&item, f[1], 4);
      }
      got.insert(item);
    }
    EXPECT_EQ(got, model_keys(1)) << (db ? "database" : "tree");
    char msg[256] = "";
    EXPECT_EQ(db ? icheck_db(kind.path.c_str(), nullptr, msg, sizeof msg)
                 : (cbt::check_tree(t).empty() ? 1 : 0),
              1)
        << msg;
    isamexit();
  }
}

}  // namespace
}  // namespace recbase::test
