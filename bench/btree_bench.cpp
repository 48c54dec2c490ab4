// btree_bench: times the B-tree layer's main operations on one tree file,
// through the public interface only, and checks every result on the way.
//
// Phases, run in the order --phases gives them:
//   insert   N distinct random keys in random order (item = key index,
//            duplicates refused), then one cbflush, timed as its own row
//   find     cbfind of every key the tree holds: 2 with the key's item
//   scan     cbhead/cbnext/cbkey over the tree, against the sorted keys
//   delete   cbdelete of every second key the tree holds, in random order
//   recheck  cbfind of every inserted key: a kept one gives 2 with its
//            item, a deleted one 3 on the key that follows it (or -3 when
//            none does)
//   modify   cbmodify of every fourth inserted key still held to a fresh key
//   rescan   the scan again
// The checks are part of the timed loops; they cost a compare per call.
// Any wrong result is printed and the program exits with status 1.

#include <recbase/cbt.h>
#include <stdlib.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Options {
  int64_t keys = 1000000;
  int32_t block_size = 4096;
  int32_t buffers = 16384;
  int32_t key_bytes = 16;
  uint64_t seed = 20260101;
  std::string dir;
  std::vector<std::string> phases = {"insert",  "find",   "scan",  "delete",
                                     "recheck", "modify", "rescan"};
};

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Throws a Failure naming what went wrong and the layer's error codes.
[[noreturn]] void fail(const std::string& what, size_t key, int32_t result) {
  throw Failure(what + " (key " + std::to_string(key) + ", result " +
                std::to_string(result) + "; error " +
                cberrmsg(cbget_errcode()) + ", in " +
                cbfcnmsg(cbget_fcncode()) + ", while " +
                cbconmsg(cbget_concode()) + ")");
}

// The keys of a run and which of them the tree holds. Keys below
// `inserted` go in at the insert phase; the rest are fresh keys for the
// modify phase. A key's index is the item stored with it.
class Model {
 public:
  Model(size_t inserted, size_t total, int key_bytes, uint64_t seed)
      : inserted_(inserted),
        fresh_(inserted),
        key_bytes_(key_bytes),
        bytes_(total * key_bytes),
        held_(total, 0) {
    std::mt19937_64 rng(seed);
    std::unordered_set<std::string_view> seen;
    seen.reserve(total);
    for (size_t i = 0; i < total; ++i) {
      uint8_t* k = &bytes_[i * key_bytes_];
      do {
        for (int b = 0; b < key_bytes_; ++b) {
          uint8_t c = static_cast<uint8_t>(rng());
          // The default compare folds ASCII letters, so 'A' and 'a' would
          // make equal keys; without capitals byte order is the tree's order.
          if (c >= 'A' && c <= 'Z') c = static_cast<uint8_t>(c + 32);
          k[b] = c;
        }
      } while (!seen.insert(view(i)).second);
    }
    shuffled_.resize(total);
    std::iota(shuffled_.begin(), shuffled_.end(), 0u);
    std::shuffle(shuffled_.begin(), shuffled_.end(), rng);
    sorted_ = shuffled_;
    std::sort(sorted_.begin(), sorted_.end(),
              [this](uint32_t a, uint32_t b) { return view(a) < view(b); });
    rank_.resize(total);
    for (size_t r = 0; r < total; ++r) rank_[sorted_[r]] = r;
  }

  const uint8_t* key(size_t i) const { return &bytes_[i * key_bytes_]; }
  std::string_view view(size_t i) const {
    return {reinterpret_cast<const char*>(key(i)), size_t(key_bytes_)};
  }
  int32_t key_bytes() const { return key_bytes_; }
  size_t inserted() const { return inserted_; }
  size_t total() const { return held_.size(); }
  bool held(size_t i) const { return held_[i] != 0; }
  void set_held(size_t i, bool h) { held_[i] = h; }
  size_t held_count() const {
    return size_t(std::count(held_.begin(), held_.end(), 1));
  }
  // The next fresh key not used yet, or total() when all are used.
  size_t take_fresh() { return fresh_ < total() ? fresh_++ : total(); }
  // Every key index in one random order, fixed by the seed.
  const std::vector<uint32_t>& shuffled() const { return shuffled_; }
  // Every key index in key order.
  const std::vector<uint32_t>& sorted() const { return sorted_; }
  // The first held key after key i in key order, or total() when none.
  size_t next_held(size_t i) const {
    for (size_t r = rank_[i] + 1; r < sorted_.size(); ++r)
      if (held(sorted_[r])) return sorted_[r];
    return total();
  }

 private:
  size_t inserted_;
  size_t fresh_;
  int key_bytes_;
  std::vector<uint8_t> bytes_;
  std::vector<uint8_t> held_;
  std::vector<uint32_t> shuffled_, sorted_, rank_;
};

// Runs body (which returns its operation count) and prints one table row.
template <class Body>
void timed(const char* phase, Body body) {
  auto start = std::chrono::steady_clock::now();
  size_t ops = body();
  std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  double s = took.count();
  std::printf("%-8s %10zu %10.3f %12.0f\n", phase, ops, s, s > 0 ? ops / s : 0);
  std::fflush(stdout);
}

void print_file(const char* when, const std::string& path, CbTree* tree) {
  std::printf("file size %s: %ju bytes", when, uintmax_t(fs::file_size(path)));
  if (tree) std::printf(", depth %d", cbdepth(tree));
  std::printf("\n");
}

size_t insert_phase(CbTree* tree, Model& m) {
  size_t ops = 0;
  for (uint32_t i : m.shuffled()) {
    if (i >= m.inserted()) continue;
    int32_t r = cbinsert(tree, m.key(i), m.key_bytes(), int32_t(i), 0);
    if (r != 1) fail("cbinsert failed", i, r);
    m.set_held(i, true);
    ++ops;
  }
  return ops;
}

size_t find_phase(CbTree* tree, const Model& m) {
  size_t ops = 0;
  for (uint32_t i : m.shuffled()) {
    if (!m.held(i)) continue;
    int32_t item = -1;
    int32_t r = cbfind(tree, m.key(i), m.key_bytes(), &item);
    if (r != 2) fail("cbfind of a held key did not give 2", i, r);
    if (item != int32_t(i)) fail("cbfind gave a wrong item", i, item);
    ++ops;
  }
  return ops;
}

// Walks the whole tree and compares each pair with the held keys in order.
size_t scan_phase(CbTree* tree, const Model& m) {
  std::vector<uint8_t> buf(size_t(m.key_bytes()));
  const std::vector<uint32_t>& sorted = m.sorted();
  size_t next = 0, ops = 0;
  int32_t item = -1;
  int32_t r = cbhead(tree, &item);
  for (; r == 1; r = cbnext(tree, &item)) {
    while (next < sorted.size() && !m.held(sorted[next])) ++next;
    if (next == sorted.size()) fail("scan found more pairs than held", ops, r);
    uint32_t want = sorted[next++];
    if (item != int32_t(want)) fail("scan gave a wrong item", want, item);
    int32_t k = cbkey(tree, buf.data(), m.key_bytes());
    if (k != 1) fail("cbkey failed", want, k);
    if (std::memcmp(buf.data(), m.key(want), buf.size()) != 0)
      fail("scan gave a wrong key", want, k);
    ++ops;
  }
  if (r != -3) fail("scan did not end with -3", ops, r);
  if (ops != m.held_count()) fail("scan saw too few pairs", ops, r);
  return ops;
}

size_t delete_phase(CbTree* tree, Model& m) {
  size_t ops = 0;
  bool take = false;
  for (uint32_t i : m.shuffled()) {
    if (!m.held(i)) continue;
    take = !take;
    if (!take) continue;
    int32_t r = cbdelete(tree, m.key(i), m.key_bytes(), int32_t(i));
    if (r != 1) fail("cbdelete failed", i, r);
    m.set_held(i, false);
    ++ops;
  }
  return ops;
}

size_t recheck_phase(CbTree* tree, const Model& m) {
  std::vector<uint8_t> buf(size_t(m.key_bytes()));
  size_t ops = 0;
  for (uint32_t i : m.shuffled()) {
    if (i >= m.inserted()) continue;
    int32_t item = -1;
    int32_t r = cbfind(tree, m.key(i), m.key_bytes(), &item);
    ++ops;
    if (m.held(i)) {
      if (r != 2) fail("cbfind of a kept key did not give 2", i, r);
      if (item != int32_t(i)) fail("cbfind gave a wrong item", i, item);
      continue;
    }
    size_t next = m.next_held(i);
    if (next == m.total()) {
      if (r != -3) fail("cbfind past the last key did not give -3", i, r);
      continue;
    }
    if (r != 3) fail("cbfind of a deleted key did not give 3", i, r);
    if (item != int32_t(next)) fail("cbfind gave a wrong successor", i, item);
    r = cbkey(tree, buf.data(), m.key_bytes());
    if (r != 1) fail("cbkey failed", i, r);
    if (std::memcmp(buf.data(), m.key(next), buf.size()) != 0)
      fail("cbfind stood on a wrong successor key", i, r);
  }
  return ops;
}

size_t modify_phase(CbTree* tree, Model& m) {
  size_t ops = 0, seen = 0;
  for (uint32_t i : m.shuffled()) {
    if (i >= m.inserted() || !m.held(i) || seen++ % 4 != 0) continue;
    size_t fresh = m.take_fresh();
    if (fresh == m.total()) fail("no fresh key left", i, 0);
    int32_t r = cbmodify(tree, m.key(i), m.key_bytes(), int32_t(i),
                         m.key(fresh), m.key_bytes(), int32_t(fresh), 0);
    if (r != 1) fail("cbmodify failed", i, r);
    m.set_held(i, false);
    m.set_held(fresh, true);
    ++ops;
  }
  return ops;
}

void run(const Options& opt, const std::string& path) {
  size_t n = size_t(opt.keys);
  Model m(n, n + n / 4 + 1, opt.key_bytes, opt.seed);
  std::printf("keys %zu, key bytes %d, block size %d, buffers %d, seed %ju\n",
              n, opt.key_bytes, opt.block_size, opt.buffers,
              uintmax_t(opt.seed));
  std::printf("file %s\n\n", path.c_str());
  std::printf("%-8s %10s %10s %12s\n", "phase", "ops", "seconds", "ops/s");

  if (cbinit(opt.buffers, opt.block_size) != 1) fail("cbinit failed", 0, -1);
  CbTree* tree = cbcreate(path.c_str(), nullptr, opt.block_size);
  if (!tree) fail("cbcreate failed", 0, -1);
  for (const std::string& phase : opt.phases) {
    if (phase == "insert") {
      timed("insert", [&] { return insert_phase(tree, m); });
      timed("flush", [&] {
        int32_t r = cbflush(tree);
        if (r != 1) fail("cbflush failed", 0, r);
        return size_t(1);
      });
      print_file("after insert", path, tree);
    } else if (phase == "find") {
      timed("find", [&] { return find_phase(tree, m); });
    } else if (phase == "scan" || phase == "rescan") {
      timed(phase.c_str(), [&] { return scan_phase(tree, m); });
    } else if (phase == "delete") {
      timed("delete", [&] { return delete_phase(tree, m); });
    } else if (phase == "recheck") {
      timed("recheck", [&] { return recheck_phase(tree, m); });
    } else if (phase == "modify") {
      timed("modify", [&] { return modify_phase(tree, m); });
    }
  }
  int32_t depth = cbdepth(tree);
  timed("close", [&] {
    int32_t r = cbclose(tree);
    if (r != 1) fail("cbclose failed", 0, r);
    return size_t(1);
  });
  std::printf("file size at the end: %ju bytes, depth %d, %zu pairs\n",
              uintmax_t(fs::file_size(path)), depth, m.held_count());
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  CLI::App app{"Times insert, find, scan, delete and modify on one B-tree"};
  app.add_option("--keys", opt.keys, "Number of keys to insert")
      ->check(CLI::Range(int64_t(1), int64_t(1) << 30))
      ->capture_default_str();
  app.add_option("--block-size", opt.block_size, "Block size of the tree")
      ->check(CLI::Range(92, 32767))
      ->capture_default_str();
  app.add_option("--buffers", opt.buffers, "Buffers in the pool")
      ->check(CLI::Range(6, 1 << 24))
      ->capture_default_str();
  app.add_option("--key-bytes", opt.key_bytes, "Length of every key")
      ->check(CLI::Range(1, 32767 - 28))
      ->capture_default_str();
  app.add_option("--seed", opt.seed, "Seed of the key and order generator")
      ->capture_default_str();
  app.add_option("--dir", opt.dir,
                 "Directory for the tree file, which is kept (default: a "
                 "temporary directory under /tmp, removed at the end)")
      ->check(CLI::ExistingDirectory);
  app.add_option("--phases", opt.phases, "Phases to run, in order")
      ->delimiter(',')
      ->check(CLI::IsMember(
          {"insert", "find", "scan", "delete", "recheck", "modify", "rescan"}))
      ->capture_default_str();
  CLI11_PARSE(app, argc, argv);

  if (opt.key_bytes > opt.block_size - 28) {
    std::fprintf(stderr, "--key-bytes must be at most block size - 28\n");
    return 2;
  }
  // Short keys leave too few distinct values (capitals are not used).
  double values = std::pow(230.0, std::min(opt.key_bytes, 8));
  if (values < 2.0 * double(opt.keys + opt.keys / 4 + 1)) {
    std::fprintf(stderr, "--key-bytes too small for --keys\n");
    return 2;
  }

  std::string dir = opt.dir;
  bool temporary = dir.empty();
  if (temporary) {
    char name[] = "/tmp/btree_bench.XXXXXX";
    if (!mkdtemp(name)) {
      std::perror("mkdtemp");
      return 2;
    }
    dir = name;
  }
  std::string path = (fs::path(dir) / "btree_bench.cbt").string();

  int status = 0;
  try {
    run(opt, path);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "btree_bench: %s\n", e.what());
    status = 1;
  }
  if (cbbufsize() != 0 && cbexit() != 1) {
    std::fprintf(stderr, "btree_bench: cbexit failed\n");
    status = 1;
  }
  if (temporary) fs::remove_all(dir);
  return status;
}
