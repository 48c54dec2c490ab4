// The workload, run inside one child process per engine (or per process of
// a shared step), so that caches and peak memory never mix.
//
// Keys: N distinct 16-byte keys whose bytes avoid 'A'..'Z'. recbase's
// default order folds ASCII capitals to lower case; without them every
// engine orders the keys by plain unsigned bytes, so one sorted vector
// checks every scan, and keys distinct as bytes are distinct for recbase.
// Each key's item is its index. Every result is checked inside the timed
// loops (one compare per call); a wrong one ends the child with status 1.
#include "bench/peers/workload.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <random>

#include "bench/peers/engine.h"

namespace fs = std::filesystem;

namespace peers {
namespace {

struct Wrong : std::runtime_error {
  using std::runtime_error::runtime_error;
};

void expect(bool ok, const char* phase, uint32_t key, const char* what) {
  if (!ok) {
    throw Wrong(std::string(phase) + " of key #" + std::to_string(key) + ": " +
                what);
  }
}

int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A bijection of 64-bit numbers that scatters its input.
uint64_t mix(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

// Key bytes are digits in base 230 written as the bytes 0..255 less
// 'A'..'Z'. The first nine bytes of key i are the digits of mix(seed + i),
// least significant first; nine digits hold any 64-bit number, so keys of
// different indexes differ. The other seven bytes are digits of a further
// mix.
class Keys {
 public:
  Keys(int64_t n, uint64_t seed) : bytes_(static_cast<size_t>(n) * kKeyBytes) {
    for (size_t i = 0; i < size(); ++i) {
      uint8_t* k = &bytes_[i * kKeyBytes];
      uint64_t v = mix(seed + i);
      uint64_t w = mix(v);
      for (size_t b = 0; b < kKeyBytes; ++b) {
        uint64_t& from = b < 9 ? v : w;
        const unsigned d = static_cast<unsigned>(from % kBase);
        from /= kBase;
        k[b] = static_cast<uint8_t>(d < 'A' ? d : d + 26);
      }
    }
  }
  size_t size() const { return bytes_.size() / kKeyBytes; }
  const uint8_t* operator[](size_t i) const { return &bytes_[i * kKeyBytes]; }

 private:
  static constexpr unsigned kBase = 256 - 26;
  std::vector<uint8_t> bytes_;
};

// A key's 16 bytes as two numbers whose order as a pair is the bytes'
// order, and folded into one number for the scan's check.
struct KeyWords {
  uint64_t high;
  uint64_t low;
};

KeyWords key_words(const uint8_t* k) {
  uint64_t a;
  uint64_t b;
  std::memcpy(&a, k, sizeof a);
  std::memcpy(&b, k + sizeof a, sizeof b);
  return {__builtin_bswap64(a), __builtin_bswap64(b)};
}

uint64_t key_hash(const KeyWords& w) {
  return mix(w.high ^ (w.low * 0x9e3779b97f4a7c15ULL));
}

bool before(const KeyWords& x, const KeyWords& y) {
  return x.high < y.high || (x.high == y.high && x.low < y.low);
}

std::vector<uint32_t> indexes(size_t n) {
  std::vector<uint32_t> v(n);
  std::iota(v.begin(), v.end(), 0u);
  return v;
}

std::vector<uint32_t> shuffled(size_t n, uint64_t seed) {
  std::vector<uint32_t> v = indexes(n);
  std::shuffle(v.begin(), v.end(), std::mt19937_64(seed));
  return v;
}

std::vector<uint32_t> sorted(const Keys& keys) {
  std::vector<uint32_t> v = indexes(keys.size());
  std::sort(v.begin(), v.end(), [&keys](uint32_t a, uint32_t b) {
    return std::memcmp(keys[a], keys[b], kKeyBytes) < 0;
  });
  return v;
}

template <class Keep>
std::vector<uint32_t> only(const std::vector<uint32_t>& v, Keep keep) {
  std::vector<uint32_t> out;
  std::copy_if(v.begin(), v.end(), std::back_inserter(out), keep);
  return out;
}

void print_phase(const char* name, size_t ops, int64_t start, int64_t end,
                 const char* kind = "phase") {
  std::printf("%s %s %zu %.9f %lld %lld\n", kind, name, ops,
              (end - start) * 1e-9, static_cast<long long>(start),
              static_cast<long long>(end));
}

void print_value(const char* name, int64_t value) {
  std::printf("value %s %lld\n", name, static_cast<long long>(value));
}

// The process's CPU time and minor page faults, for a phase's split between
// user and system time (a busy machine stretches wall time, not these).
struct Usage {
  int64_t user_us;
  int64_t sys_us;
  int64_t minflt;
};

Usage usage_now() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  auto us = [](const timeval& t) {
    return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_usec;
  };
  return {us(u.ru_utime), us(u.ru_stime), static_cast<int64_t>(u.ru_minflt)};
}

// value lines <phase>_user_us, <phase>_sys_us, <phase>_minflt: what the
// phase took since `before`.
void print_usage(const char* name, const Usage& before) {
  const Usage now = usage_now();
  const std::string n(name);
  print_value((n + "_user_us").c_str(), now.user_us - before.user_us);
  print_value((n + "_sys_us").c_str(), now.sys_us - before.sys_us);
  print_value((n + "_minflt").c_str(), now.minflt - before.minflt);
}

int64_t peak_rss_kb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

int64_t dir_bytes(const std::string& dir) {
  int64_t total = 0;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (entry.is_regular_file()) total += entry.file_size();
  }
  return total;
}

class Workload {
 public:
  Workload(const ChildOptions& o, const EngineInfo& info)
      : o_(o), info_(info), keys_(o.n, o.seed) {}

  // Runs op on every index of order, kBatchOps to a batch, and prints the
  // phase's line; the count done. A limited phase stops at the first batch
  // end past the time limit and prints what it did as "stopped".
  template <class Op>
  size_t run_phase(Engine& e, const char* name, bool write, bool limited,
                   const std::vector<uint32_t>& order, Op op) {
    const Usage used = usage_now();
    const int64_t start = now_ns();
    const int64_t deadline = limited && o_.time_limit > 0
                                 ? start + int64_t(o_.time_limit * 1e9)
                                 : INT64_MAX;
    size_t done = 0;
    while (done < order.size()) {
      const size_t end = std::min(order.size(), done + kBatchOps);
      e.begin_batch(write);
      for (; done < end; ++done) op(order[done]);
      e.end_batch(write);
      if (done < order.size() && now_ns() > deadline) break;
    }
    print_phase(name, done, start, now_ns(),
                done < order.size() ? "stopped" : "phase");
    print_usage(name, used);
    return done;
  }

  size_t insert(Engine& e, const char* name, bool limited,
                const std::vector<uint32_t>& order) {
    return run_phase(e, name, true, limited, order,
                     [&](uint32_t i) { e.insert(keys_[i], i); });
  }

  void find(Engine& e, const char* name, bool limited,
            const std::vector<uint32_t>& order, bool odd_deleted) {
    run_phase(e, name, false, limited, order, [&](uint32_t i) {
      uint32_t item = ~i;
      const bool found = e.find(keys_[i], &item);
      if (odd_deleted && i % 2 == 1) {
        expect(!found, name, i, "a deleted key was found");
      } else {
        expect(found, name, i, "not found");
        expect(item == i, name, i, "wrong item");
      }
    });
  }

  // The scan reads the pairs in key order, so its check reads only what lies
  // in that order: each item against in_order, each key against the one
  // before it (strictly greater), and the keys as a whole against the
  // inserted ones by a sum of their hashes, worked out before the clock
  // starts. Looking each key up in the key array instead would cost every
  // engine a cache miss per pair at 10^6 keys (about 43 ns, three times
  // the fastest walk here), and the phase would time the check rather than
  // the stores.
  void scan(Engine& e, const std::vector<uint32_t>& in_order) {
    uint64_t want_sum = 0;
    for (uint32_t i : in_order) want_sum += key_hash(key_words(keys_[i]));
    uint64_t sum = 0;
    KeyWords prev{};
    const int64_t start = now_ns();
    size_t pos = 0;
    e.begin_batch(false);
    e.scan([&](const uint8_t* key, size_t len, uint32_t item) {
      expect(pos < in_order.size(), "scan", item, "more pairs than inserted");
      const uint32_t want = in_order[pos];
      expect(item == want, "scan", want, "wrong item");
      expect(len == kKeyBytes, "scan", want, "a key of another length");
      const KeyWords w = key_words(key);
      expect(pos == 0 || before(prev, w), "scan", want, "a key out of order");
      prev = w;
      sum += key_hash(w);
      ++pos;
    });
    e.end_batch(false);
    expect(pos == in_order.size(), "scan", static_cast<uint32_t>(pos),
           "fewer pairs than inserted");
    expect(sum == want_sum, "scan", static_cast<uint32_t>(pos),
           "keys other than those inserted");
    print_phase("scan", pos, start, now_ns());
  }

  // The whole workload, on a store in dir/random, then the sorted insert
  // into a fresh store in dir/sorted. The time limit applies to the random
  // insert and lookup; when it stops the insert, the later phases work on
  // the keys inserted by then, as a run of that size would.
  void all() {
    auto has = [this](const char* p) {
      return std::find(o_.phases.begin(), o_.phases.end(), p) !=
             o_.phases.end();
    };
    std::vector<uint32_t> order = shuffled(keys_.size(), o_.seed);
    std::vector<uint32_t> in_order;
    if (has("scan") || has("sorted")) in_order = sorted(keys_);
    print_value("base_rss_kb", peak_rss_kb());
    const std::string dir = o_.dir + "/random";
    fs::create_directories(dir);
    std::unique_ptr<Engine> e = info_.make();
    e->open(store(dir, true, false, false));
    size_t held = keys_.size();
    if (has("insert")) held = insert(*e, "insert", true, indexes(held));
    if (held < keys_.size()) {
      auto inserted = [held](uint32_t i) { return i < held; };
      order = only(order, inserted);
      in_order = only(in_order, inserted);
    }
    print_value("keys", static_cast<int64_t>(held));
    if (has("find")) find(*e, "find", true, order, false);
    if (has("scan")) scan(*e, in_order);
    if (has("delete")) {
      run_phase(*e, "delete", true, false,
                only(order, [](uint32_t i) { return i % 2 == 1; }),
                [&](uint32_t i) {
                  expect(e->erase(keys_[i], i), "delete", i, "not found");
                });
    }
    if (has("recheck")) find(*e, "recheck", false, order, has("delete"));
    const int64_t start = now_ns();
    e->close();
    print_phase("close", 1, start, now_ns());
    print_value("file_bytes", dir_bytes(dir));
    if (has("sorted")) {
      const std::string fresh = o_.dir + "/sorted";
      fs::create_directories(fresh);
      std::unique_ptr<Engine> s = info_.make();
      s->open(store(fresh, true, false, false));
      insert(*s, "sorted", false, in_order);
      s->close();
    }
    print_value("peak_rss_kb", peak_rss_kb());
  }

  // One step of the shared table, on this process's part of the keys. The
  // store is opened before the gate; closing it is not timed.
  void step() {
    std::unique_ptr<Engine> e = info_.make();
    const bool create = o_.step == "create";
    e->open(store(o_.dir, create, o_.shared, o_.lock_per_call));
    if (create) {
      e->close();
      return;
    }
    const bool inserting = o_.step == "insert";
    const std::vector<uint32_t> part = only(
        inserting ? indexes(keys_.size()) : shuffled(keys_.size(), o_.seed),
        [this](uint32_t i) { return i % o_.parts == uint32_t(o_.part); });
    wait_for_gate();
    if (inserting) {
      insert(*e, "insert", false, part);
    } else {
      find(*e, "find", false, part, false);
    }
    e->close();
    print_value("peak_rss_kb", peak_rss_kb());
  }

 private:
  StoreOptions store(const std::string& dir, bool create, bool shared,
                     bool lock_per_call) const {
    return {dir, create, shared, lock_per_call, o_.recbase_pool_mib << 20};
  }

  void wait_for_gate() {
    if (o_.ready_fd >= 0) {
      const char c = 1;
      if (write(o_.ready_fd, &c, 1) != 1) throw Wrong("ready pipe closed");
      close(o_.ready_fd);
    }
    char c;
    while (o_.gate_fd >= 0 && read(o_.gate_fd, &c, 1) > 0) {
    }
  }

  const ChildOptions& o_;
  const EngineInfo& info_;
  Keys keys_;
};

}  // namespace

int run_child(const ChildOptions& o) {
  const EngineInfo* info = find_engine(o.engine);
  if (info == nullptr) {
    std::fprintf(stderr, "peers: no engine %s\n", o.engine.c_str());
    return 1;
  }
  try {
    Workload w(o, *info);
    if (o.step.empty()) {
      w.all();
    } else {
      w.step();
    }
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "peers: %s, N = %lld: %s\n", o.engine.c_str(),
                 static_cast<long long>(o.n), e.what());
    return 1;
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace peers
