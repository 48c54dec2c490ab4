// The record workload, run inside one child process per store and run.
//
// Rows: row i has the id f(i) for a bijection f of 32-bit numbers (so ids
// are distinct and come in scattered order, and a row is found from its id
// by the inverse), a name of 6 to 16 letters, one of 400 cities and an
// amount of whole cents below 10^6. Adds go in row order; finds, modifies
// and deletes in one random order (modify the first quarter of it, delete
// the second). Every result is checked inside the timed loops: a find
// compares all four values, a walk its order, each row's values and that it
// sees every row once; a wrong one ends the child with status 1.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <numeric>
#include <random>
#include <stdexcept>

#include "bench/peers/records.h"

namespace fs = std::filesystem;

namespace peers {
namespace {

struct Wrong : std::runtime_error {
  using std::runtime_error::runtime_error;
};

int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

uint64_t mix(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

// f(i) = g(i * A) with g(y) = y ^ (y >> 16), which is its own inverse.
constexpr uint32_t kA = 0x9E3779B1u;
constexpr uint32_t inverse_of(uint32_t a) {
  uint32_t x = a;  // Newton's iteration doubles the correct low bits
  for (int i = 0; i < 5; ++i) x *= 2 - a * x;
  return x;
}
constexpr uint32_t kAInverse = inverse_of(kA);
static_assert(kA * kAInverse == 1u, "inverse");

int32_t id_of(uint32_t i) {
  uint32_t y = i * kA;
  return static_cast<int32_t>(y ^ (y >> 16));
}
uint32_t index_of(int32_t id) {
  uint32_t y = static_cast<uint32_t>(id);
  return (y ^ (y >> 16)) * kAInverse;
}

std::string letters(uint64_t bits, size_t len) {
  std::string s(len, 'a');
  for (size_t k = 0; k < len; ++k, bits = mix(bits)) {
    s[k] = static_cast<char>('a' + bits % 26);
  }
  s[0] = static_cast<char>(s[0] - 'a' + 'A');
  return s;
}

void print_phase(const char* name, size_t ops, int64_t start, int64_t end) {
  std::printf("phase %s %zu %.9f %lld %lld\n", name, ops, (end - start) * 1e-9,
              static_cast<long long>(start), static_cast<long long>(end));
}
void print_value(const std::string& name, int64_t value) {
  std::printf("value %s %lld\n", name.c_str(), static_cast<long long>(value));
}

class Workload {
 public:
  Workload(int64_t n, uint64_t seed) : rows_(static_cast<size_t>(n)) {
    std::vector<std::string> cities(400);
    for (size_t c = 0; c < cities.size(); ++c) {
      const uint64_t b = mix(seed ^ (c + 1) * 0x51ed27f1ULL);
      cities[c] = letters(b, 4 + b % 9);
    }
    for (size_t i = 0; i < rows_.size(); ++i) {
      const uint64_t b = mix(seed + i);
      Row& r = rows_[i];
      r.id = id_of(static_cast<uint32_t>(i));
      r.name = letters(mix(b), 6 + b % 11);
      r.city = cities[(b >> 8) % cities.size()];
      r.amount = static_cast<double>((b >> 24) % 100000000) / 100;
    }
    order_.resize(rows_.size());
    std::iota(order_.begin(), order_.end(), 0u);
    std::shuffle(order_.begin(), order_.end(), std::mt19937_64(seed));
  }

  void run(RecordStore& s, const std::string& dir) {
    s.create(dir);
    const size_t n = rows_.size();
    std::vector<uint32_t> all(n);
    std::iota(all.begin(), all.end(), 0u);
    phase(s, "add", true, all, [&](uint32_t i) { s.add(rows_[i]); });
    Row got;
    phase(s, "find", false, order_, [&](uint32_t i) {
      expect(s.find(rows_[i].id, &got), "find", i, "not found");
      expect(same(got, rows_[i]), "find", i, "other values");
    });
    walk(s, Order::kId, "walk_id");
    walk(s, Order::kCityName, "walk_city_name");
    walk(s, Order::kAmount, "walk_amount");
    const std::vector<uint32_t> quarter(order_.begin(), order_.begin() + n / 4);
    phase(s, "modify", true, quarter, [&](uint32_t i) {
      // The amount moves by a random stretch, so its index entry moves.
      Row& r = rows_[i];
      r.amount = static_cast<double>(mix(i + 7) % 100000000) / 100;
      expect(s.set_amount(r.id, r.amount), "modify", i, "not found");
    });
    const std::vector<uint32_t> second(order_.begin() + n / 4,
                                       order_.begin() + n / 2);
    phase(s, "delete", true, second, [&](uint32_t i) {
      expect(s.erase(rows_[i].id), "delete", i, "not found");
    });
    const int64_t start = now_ns();
    s.close();
    print_phase("close", 1, start, now_ns());
    int64_t total = 0;
    for (const auto& [file, bytes] : s.files()) {
      print_value("file_bytes." + file, bytes);
      total += bytes;
    }
    print_value("file_bytes", total);
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    print_value("peak_rss_kb", u.ru_maxrss);
  }

 private:
  static void expect(bool ok, const char* phase, uint32_t i, const char* what) {
    if (!ok) {
      throw Wrong(std::string(phase) + " of row #" + std::to_string(i) + ": " +
                  what);
    }
  }
  static bool same(const Row& a, const Row& b) {
    return a.id == b.id && a.amount == b.amount && a.name == b.name &&
           a.city == b.city;
  }

  template <class Op>
  void phase(RecordStore& s, const char* name, bool write,
             const std::vector<uint32_t>& order, Op op) {
    const int64_t start = now_ns();
    for (size_t done = 0; done < order.size();) {
      const size_t end = std::min(order.size(), done + kBatchOps);
      s.begin_batch(write);
      for (; done < end; ++done) op(order[done]);
      s.end_batch(write);
    }
    print_phase(name, order.size(), start, now_ns());
  }

  // A walk must give every row once, in the order, with its values.
  void walk(RecordStore& s, Order order, const char* name) {
    std::vector<uint8_t> seen(rows_.size(), 0);
    size_t count = 0;
    const Row* prev = nullptr;
    const int64_t start = now_ns();
    s.begin_batch(false);
    s.walk(order, [&](const Row& r) {
      const uint32_t i = index_of(r.id);
      expect(i < rows_.size() && seen[i] == 0, name, i, "unknown or twice");
      expect(same(r, rows_[i]), name, i, "other values");
      seen[i] = 1;
      const Row& p = prev == nullptr ? r : *prev;
      const bool in_order = order == Order::kId       ? p.id <= r.id
                            : order == Order::kAmount ? p.amount <= r.amount
                            : p.city != r.city        ? p.city < r.city
                                                      : p.name <= r.name;
      expect(in_order, name, i, "out of order");
      prev = &rows_[i];
      ++count;
    });
    s.end_batch(false);
    expect(count == rows_.size(), name, 0, "rows missing");
    print_phase(name, count, start, now_ns());
  }

  std::vector<Row> rows_;
  std::vector<uint32_t> order_;
};

}  // namespace

std::unique_ptr<RecordStore> make_records_store(const std::string& name) {
  if (name == "recbase") return make_recbase_records(false);
  if (name == "recbase-journal") return make_recbase_records(true);
  if (name == "sqlite") return make_sqlite_records("OFF");
  if (name == "sqlite-delete") return make_sqlite_records("DELETE");
  if (name == "sqlite-wal") return make_sqlite_records("WAL");
  return nullptr;
}

int run_records_child(const std::string& store, int64_t n, uint64_t seed,
                      const std::string& dir) {
  try {
    std::unique_ptr<RecordStore> s = make_records_store(store);
    if (s == nullptr) throw std::runtime_error("no store " + store);
    Workload(n, seed).run(*s, dir);
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "records: %s, N = %lld: %s\n", store.c_str(),
                 static_cast<long long>(n), e.what());
    return 1;
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace peers
