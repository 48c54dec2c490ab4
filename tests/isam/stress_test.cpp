// Several processes on one shared database. Each writer adds, modifies and
// deletes records of its own (the owner field), every change of an existing
// record made under a record lock, and logs what it did; a walker goes
// through every index meanwhile, checking the order of what it reads and
// that no record is torn. Afterwards every surviving record must be exactly
// what the logs say, every index must match the data file, and the free
// space must match its keys.
//
// RECBASE_STRESS_PROCS (writers, default 4) and RECBASE_STRESS_OPS
// (operations per writer, default 300) make a long run, for example 8 and
// 100000.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/isam/isam_support.h"
#include "tests/isam/record_check.h"
#include "tests/support/spawn.h"

namespace recbase::test {
namespace {

const Strings kFields = {"owner,I", "seq,L", "ver,L", "payload"};
enum { kByOwner = 0, kByPayload = 1, kByVer = 2 };
const char *const kIndexNames[] = {"byowner,U", "bypayload", "byver"};

int env_or(const char *name, int fallback) {
  const char *v = std::getenv(name);
  return v != nullptr && std::atoi(v) > 0 ? std::atoi(v) : fallback;
}

// A record's payload follows from its owner, number and version, so that a
// reader can tell a torn or mixed-up record.
std::string payload(int owner, int32_t seq, int32_t ver) {
  const size_t len = 1 + static_cast<size_t>((seq * 13 + ver * 5) % 70);
  std::string s(len, 'a');
  for (size_t i = 0; i < len; ++i) {
    s[i] = static_cast<char>(
        'a' + (owner * 31 + seq * 7 + ver * 3 + static_cast<int>(i)) % 26);
  }
  return s;
}

struct Rec {
  int16_t owner = 0;
  int32_t seq = 0, ver = 0;
  std::string payload;
  bool sound() const { return payload == test::payload(owner, seq, ver); }
};

Rec parse(const char *p) {
  Rec r;
  std::memcpy(&r.owner, p, 2);
  std::memcpy(&r.seq, p + 2, 4);
  std::memcpy(&r.ver, p + 6, 4);
  r.payload = p + 10;
  return r;
}

// The record's values and its key in the owner index.
Record values(const Rec &r) {
  return {stored(r.owner), stored(r.seq), stored(r.ver), r.payload};
}
Record owner_key(const Rec &r) { return {stored(r.owner), stored(r.seq)}; }

// The first six characters of the payload, as the payload index holds them.
std::string payload_key(const Rec &r) { return r.payload.substr(0, 6); }

// One process's handle on the database and its indexes.
struct Session {
  IsamDb *db = nullptr;
  IsamIndex *ix[3] = {};

  bool open(const std::string &name, int shared) {
    db = iopen_db_shared(name.c_str(), shared, 0);
    if (db == nullptr || isam_errno != 0) return false;
    for (int i = 0; i < 3; ++i) {
      ix[i] = ihandle(db, kIndexNames[i]);
      if (ix[i] == nullptr) return false;
    }
    return true;
  }
  // The current record of index, or the state (-2, -3) or -1.
  int32_t read(IsamIndex *index, Rec *out) const {
    char buf[256];
    char *f[5] = {};
    const int32_t r = igetrec(db, index, f, buf, sizeof buf);
    if (r == 1) *out = parse(f[0]);
    return r;
  }
};

// Long retries: the other processes hold the database's write lock often.
// Durability is not under test: no flushes to the disk.
void patient_locks() {
  cb_set_flush(1, 1);
  cblock_timeout(1000000, 1, 600000);
  ilock_timeout(1000000, 1, 600000);
}

[[noreturn]] void die(const std::string &what) {
  std::fprintf(stderr, "%s: isam_errno %d cberrcode %d\n", what.c_str(),
               isam_errno, cberrcode);
  std::fflush(stderr);
  std::_Exit(1);
}

void pause_1ms() { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }

// A writer: ops random changes to records of its own, logged as lines
//   a SEQ VER | m SEQ VER | d SEQ
// args: the database's name, the log's path, the owner, ops.
int writer(const std::vector<std::string> &args) {
  const std::string &name = args[0], &log_path = args[1];
  const int owner = std::stoi(args[2]), ops = std::stoi(args[3]);
  patient_locks();
  Session s;
  if (!s.open(name, 1)) die("open");
  FILE *log = std::fopen(log_path.c_str(), "w");
  if (log == nullptr) die("log");
  std::mt19937 rng(static_cast<uint32_t>(1000 + owner));
  std::map<int32_t, int32_t> live;  // seq -> ver
  int32_t next_seq = 0;
  for (int op = 0; op < ops; ++op) {
    const unsigned dice = rng() % 100;
    Rec r;
    r.owner = static_cast<int16_t>(owner);
    if (live.empty() || dice < (live.size() < 100 ? 45u : 25u)) {
      r.seq = next_seq++;
      r.ver = 0;
      r.payload = payload(owner, r.seq, r.ver);
      if (iaddrec(s.db, s.ix[rng() % 3], values(r).get()) != 1) die("add");
      live[r.seq] = 0;
      std::fprintf(log, "a %d 0\n", r.seq);
      continue;
    }
    auto it = live.begin();
    std::advance(it, rng() % live.size());
    r.seq = it->first;
    if (ifindkey(s.db, s.ix[kByOwner], owner_key(r).get()) != 2) die("find");
    int32_t lock = 0, got = 0;
    while ((got = ilock_rec(s.db, s.ix[kByOwner], &lock)) == -4) {
    }
    if (got != 1) die("lock");
    Rec now;
    if (s.read(s.ix[kByOwner], &now) != 1) die("read");
    if (now.owner != owner || now.seq != r.seq || now.ver != it->second ||
        !now.sound()) {
      die("record " + std::to_string(r.seq) + " is not as this writer left it");
    }
    if (dice < 75) {
      r.ver = it->second + 1 + static_cast<int32_t>(rng() % 3);
      r.payload = payload(owner, r.seq, r.ver);
      if (imodrec(s.db, s.ix[kByOwner], values(r).get()) != 1) die("modify");
      it->second = r.ver;
      std::fprintf(log, "m %d %d\n", r.seq, r.ver);
    } else {
      if (idelrec(s.db, s.ix[kByOwner]) != 1) die("delete");
      live.erase(it);
      std::fprintf(log, "d %d\n", r.seq);
    }
    if (iunlock_rec(s.db, lock) != 1) die("unlock");
  }
  if (std::fclose(log) != 0 || iclose_db(s.db) != 1) die("close");
  isamexit();
  return 0;
}
const ChildRole kWriter("writer", writer);

// The walker: walks every index and the Physical Index of the database
// args[0] until the parent closes its input (at least twice), checking
// order and soundness; sends the number of walks and of reads that gave way
// to a writer.
struct WalkCount {
  int32_t walks = 0, lock_waits = 0;
};
int walker(const std::vector<std::string> &args) {
  const std::string &name = args[0];
  cb_set_flush(1, 1);
  cblock_timeout(1000000, 1, 600000);
  ilock_timeout(5, 2, 100);
  Session s;
  if (!s.open(name, 1)) die("walker open");
  int32_t walks = 0, lock_waits = 0;
  for (;;) {
    if (walks >= 2 && parent_input_waiting()) break;
    for (int i = 0; i < 3; ++i) {
      Rec prev, now;
      bool first = true;
      for (int32_t r = ifindhead(s.db, s.ix[i]); r == 1;
           r = ifindnext(s.db, s.ix[i])) {
        int32_t got;
        // A writer may hold the record locked while it waits for the write
        // lock that this read's own database read lock keeps from it: the
        // read gives up (isam_errno 26) and tries again.
        while ((got = s.read(s.ix[i], &now)) == -1 && isam_errno == 26) {
          ++lock_waits;
          pause_1ms();
        }
        if (got == -3) break;  // the entries after the cursor went away
        if (got != 1) die("walker read");
        if (!now.sound()) die("walker: torn record");
        // A record that moves while the walk stands on it is met again at
        // its new place when that place sorts after the old one (the index
        // orders equal keys by position), so even the unique index only
        // never goes back.
        const bool in_order =
            first || (i == kByOwner ? std::tie(prev.owner, prev.seq) <=
                                          std::tie(now.owner, now.seq)
                      : i == kByVer ? prev.ver <= now.ver
                                    : payload_key(prev) <= payload_key(now));
        if (!in_order) die("walker: index " + std::to_string(i) + " order");
        prev = now;
        first = false;
      }
      if (isam_errno != 0) die("walker walk");
    }
    IsamIndex *phys = ihandle(s.db, iphysical);
    int32_t last = 0;
    Rec now;
    // The scan locks each slot it passes; when a writer holds one (for the
    // reason above) the step gives up with isam_errno 26 and is tried again
    // from where the walk stands.
    auto step = [&](int32_t r) {
      while (r == -1 && isam_errno == 26) {
        ++lock_waits;
        pause_1ms();
        r = ifindnext(s.db, phys);
      }
      return r;
    };
    int32_t r = step(ifindhead(s.db, phys));
    for (; r == 1; r = step(ifindnext(s.db, phys))) {
      if (s.db->physical_position <= last) die("walker: file order");
      last = s.db->physical_position;
      const int32_t got = s.read(phys, &now);
      if (got != 1 || !now.sound()) {
        die("walker: physical read " + std::to_string(got) + " at " +
            std::to_string(last) + ": owner " + std::to_string(now.owner) +
            " seq " + std::to_string(now.seq) + " ver " +
            std::to_string(now.ver) + " payload '" + now.payload + "'");
      }
    }
    if (r != -3) die("walker: physical walk ended with " + std::to_string(r));
    ++walks;
  }
  const WalkCount count{walks, lock_waits};
  if (!parent_send(&count, sizeof count)) die("walker send");
  iclose_db(s.db);
  isamexit();
  return 0;
}
const ChildRole kWalker("walker", walker);

class StressTest : public IsamTest {};

TEST_F(StressTest, WritersAndAWalkerLeaveExactlyWhatTheLogsSay) {
  const int procs = env_or("RECBASE_STRESS_PROCS", 4);
  const int ops = env_or("RECBASE_STRESS_OPS", 300);
  cb_set_flush(1, 1);
  IsamDb *db = create("s", kFields);
  ASSERT_NE(db, nullptr);
  ASSERT_EQ(iclose_db(db), 1);
  ASSERT_TRUE(
      add_descriptor("s", kIndexNames[kByOwner], {"owner,I", "seq,L"}, 1));
  ASSERT_TRUE(add_descriptor("s", kIndexNames[kByPayload], {"payload:6"}, 2));
  ASSERT_TRUE(add_descriptor("s", kIndexNames[kByVer], {"ver,L"}, 3));
  ASSERT_EQ(isamexit(), 1);
  const std::string name = path("s");
  const auto start = std::chrono::steady_clock::now();

  Child walker("walker", {name});
  std::vector<std::unique_ptr<Child>> writers;
  for (int w = 1; w <= procs; ++w) {
    writers.push_back(std::make_unique<Child>(
        "writer", std::vector<std::string>{name, path("log" + std::to_string(w)),
                                           std::to_string(w),
                                           std::to_string(ops)}));
  }
  for (auto &w : writers) EXPECT_EQ(w->wait(600000), 0);
  walker.close_input();
  // A walker that failed has said why on standard error; the survivors are
  // checked all the same.
  WalkCount walks;
  EXPECT_TRUE(walker.receive(&walks, sizeof walks)) << "the walker failed";
  EXPECT_EQ(walker.wait(), 0);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
          .count();

  // What the logs say survives: (owner, seq) -> ver.
  std::map<std::pair<int, int32_t>, int32_t> want;
  long changes = 0;
  for (int w = 1; w <= procs; ++w) {
    std::ifstream log(path("log" + std::to_string(w)));
    char op;
    int32_t seq, ver = 0;
    while (log >> op >> seq) {
      if (op != 'd') log >> ver;
      if (op == 'd') {
        ASSERT_EQ(want.erase({w, seq}), 1u);
      } else {
        want[{w, seq}] = ver;
      }
      ++changes;
    }
  }
  EXPECT_EQ(changes, static_cast<long>(procs) * ops);

  cb_set_flush(1, 1);
  Session s;
  ASSERT_TRUE(s.open(name, 0));
  // Every index entry names a record slot holding that key, each index
  // holds every record once, in order, and the unique index matches the
  // logs exactly.
  const Slots slots = read_slots(name + ".db");
  ASSERT_EQ(slots.fault, "");
  ASSERT_EQ(slots.records.size(), want.size());
  for (int i = 0; i < 3; ++i) {
    std::map<int32_t, int> seen;
    Rec prev, now;
    int32_t r = ifindhead(s.db, s.ix[i]);
    for (; r == 1; r = ifindnext(s.db, s.ix[i])) {
      ASSERT_EQ(s.read(s.ix[i], &now), 1);
      int32_t pos = 0;
      ASSERT_EQ(cbcurr(s.ix[i]->tree, &pos), 1);
      ASSERT_EQ(slots.records.count(pos), 1u) << "index " << i;
      const Rec on_disk =
          parse(reinterpret_cast<const char *>(slots.records.at(pos).data()));
      ASSERT_TRUE(on_disk.sound());
      ASSERT_EQ(std::tie(on_disk.owner, on_disk.seq, on_disk.ver),
                std::tie(now.owner, now.seq, now.ver));
      if (!seen.empty()) {
        ASSERT_TRUE(i == kByOwner ? std::tie(prev.owner, prev.seq) <
                                        std::tie(now.owner, now.seq)
                    : i == kByVer ? prev.ver <= now.ver
                                  : payload_key(prev) <= payload_key(now));
      }
      ASSERT_EQ(seen[pos]++, 0) << "index " << i << " holds a record twice";
      if (i == kByOwner) {
        ASSERT_EQ(want.count({now.owner, now.seq}), 1u);
        ASSERT_EQ(want.at({now.owner, now.seq}), now.ver);
      }
      prev = now;
    }
    ASSERT_EQ(r, -3);
    ASSERT_EQ(seen.size(), want.size()) << "index " << i;
  }
  const FreeKeys keys = read_free_keys(s.db);
  ASSERT_EQ(keys.last_result, -3);
  EXPECT_EQ(keys.by_position, slots.free_areas);
  EXPECT_EQ(keys.by_size, slots.free_areas);
  ASSERT_EQ(iclose_db(s.db), 1);
  cb_set_flush(1, 0);
  std::printf(
      "stress: %d writers x %d operations and a walker (walks, reads that "
      "gave way: %d %d) in %.1f s; %zu records survive, data file %zu bytes, "
      "%zu free areas\n",
      procs, ops, static_cast<int>(walks.walks),
      static_cast<int>(walks.lock_waits), seconds,
      want.size(), read_file(name + ".db").size(), slots.free_areas.size());
}

}  // namespace
}  // namespace recbase::test

namespace recbase::test {
namespace {

// What the stepping process saw, sent back to the parent.
struct Seen {
  int32_t result = 0, position = 0, n = 0, error = 0;
};

int32_t g_pause_at = 0;
decltype(PlatformServices::sys_lock) g_lock_below = nullptr;

// The stepping process's sys_lock: before the first lock of g_pause_at it
// lets the other process act and waits until it has.
int32_t pausing_lock(int32_t h, int32_t offset, int32_t length, int32_t tries,
                     int32_t delay, int32_t timeout) {
  if (offset == g_pause_at) {
    g_pause_at = 0;
    char c = 'g';
    if (!parent_send(&c, 1) || !parent_receive(&c, 1)) std::_Exit(3);
  }
  return g_lock_below(h, offset, length, tries, delay, timeout);
}

// The stepping process: a walk of the Physical Index of the database
// args[0] that pauses before its first lock of position args[1]; it reports
// the first step, then (once told) the next with one try allowed.
int physical_steps(const std::vector<std::string> &args) {
  cb_set_flush(1, 1);
  IsamDb *d = iopen_db_shared(args[0].c_str(), 1, 0);
  if (d == nullptr) return 2;
  IsamIndex *phys = ihandle(d, iphysical);
  g_lock_below = g_platform.sys_lock;
  g_platform.sys_lock = pausing_lock;
  g_pause_at = std::stoi(args[1]);
  auto report = [&](int32_t r) {
    Seen seen{r, d->physical_position, 0, isam_errno};
    char buf[64];
    char *f[3] = {};
    if (r == 1 && igetrec(d, phys, f, buf, sizeof buf) == 1) {
      std::memcpy(&seen.n, f[0], 4);
    }
    if (!parent_send(&seen, sizeof seen)) std::_Exit(3);
  };
  report(ifindhead(d, phys));
  char c;
  if (!parent_receive(&c, 1)) return 3;  // the next one is locked
  ilock_timeout(1, 1, 1);
  report(ifindnext(d, phys));
  iclose_db(d);
  isamexit();
  return 0;
}
const ChildRole kPhysicalSteps("physical-steps", physical_steps);

// The Physical Index of a shared database against a second process, step
// by step, on records 1, 2, 3, 4 side by side with 1 deleted. (1) The scan
// has read the free area of 1 and is about to lock the slot of 2 when the
// other process tries to delete 2: either the delete waits for the scan and
// gives up (isam_errno 26) and the scan lands on 2, or it is done (2's slot
// merges into the free area) and the scan must land on 3, never on the old
// slot of 2 inside a free area. (2) With the next record locked by the
// other process and one try allowed, the step fails with isam_errno 26.
TEST_F(StressTest, PhysicalStepsAgainstAnotherProcess) {
  cb_set_flush(1, 1);
  IsamDb *db = create("p", {"n,L", "pad"});
  ASSERT_NE(db, nullptr);
  ASSERT_EQ(iclose_db(db), 1);
  ASSERT_TRUE(add_descriptor("p", "byn,U", {"n,L"}, 1));
  db = iopen_db(path("p").c_str());
  ASSERT_NE(db, nullptr);
  IsamIndex *byn = ihandle(db, "byn,U");
  std::string pad = "0123456789";
  for (int32_t n = 1; n <= 4; ++n) {
    ASSERT_EQ(iaddrec(db, byn, Record({stored(n), pad}).get()), 1);
  }
  ASSERT_EQ(iflush_db(db), 1);  // the slots reach the file here
  std::vector<int32_t> pos;
  for (const auto &[p, content] : read_slots(path("p.db")).records) {
    pos.push_back(p);
  }
  ASSERT_EQ(pos.size(), 4u);
  auto find = [](IsamDb *d, IsamIndex *ix, int32_t n) {
    return ifindkey(d, ix, Record({stored(n)}).get());
  };
  ASSERT_EQ(find(db, byn, 1), 2);
  ASSERT_EQ(idelrec(db, byn), 1);
  ASSERT_EQ(isamexit(), 1);

  Child child("physical-steps", {path("p"), std::to_string(pos[1])});
  db = iopen_db_shared(path("p").c_str(), 1, 0);
  ASSERT_NE(db, nullptr);
  byn = ihandle(db, "byn,U");
  cblock_timeout(2, 5, 50);
  ilock_timeout(2, 5, 50);
  char c = 0;
  ASSERT_TRUE(child.receive(&c, 1));  // the scan is about to lock 2
  ASSERT_EQ(find(db, byn, 2), 2);
  const int32_t deleted = idelrec(db, byn);
  const int32_t delete_errno = isam_errno;
  ASSERT_TRUE(child.send(&c, 1));
  Seen first, blocked;
  ASSERT_TRUE(child.receive(&first, sizeof first));
  EXPECT_EQ(first.result, 1);
  if (deleted == 1) {
    EXPECT_EQ(first.position, pos[2]) << "the scan stopped inside a free area";
    EXPECT_EQ(first.n, 3);
  } else {
    EXPECT_EQ(delete_errno, ISERR_LOCK_REC);
    EXPECT_EQ(first.position, pos[1]);
    EXPECT_EQ(first.n, 2);
  }
  ASSERT_EQ(find(db, byn, first.n + 1), 2);
  int32_t lock = 0;
  ASSERT_EQ(ilock_rec(db, byn, &lock), 1);
  ASSERT_TRUE(child.send(&c, 1));
  ASSERT_TRUE(child.receive(&blocked, sizeof blocked));
  EXPECT_EQ(blocked.result, -1);
  EXPECT_EQ(blocked.error, ISERR_LOCK_REC);
  ASSERT_EQ(iunlock_rec(db, lock), 1);
  ASSERT_EQ(iclose_db(db), 1);
  EXPECT_EQ(child.wait(), 0);
  cblock_timeout(25, 50, 10000);
  ilock_timeout(25, 50, 10000);
  cb_set_flush(1, 0);
}

}  // namespace
}  // namespace recbase::test
