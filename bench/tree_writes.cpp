// tree_writes: the three write loads of the peer benchmark on recbase alone,
// small enough to run under callgrind (--toggle-collect=cbinsert or
// cbdelete counts the calls alone) or under a timer.
//   sorted  N keys inserted in key order into a fresh tree
//   random  N keys inserted in a random order, then every key of odd index
//           deleted in another random order
//   scan    N keys inserted in a random order, then one walk of the tree
//           (cbhead, cbnext, cbkeylen, cbkey per pair, as the peer
//           benchmark's scan) checked against the sorted keys, then every
//           key looked up (cbfind) in another random order
// Keys are 16 bytes without 'A'..'Z' (the default order is then byte
// order), block 4096, a pool of 16,384 buffers unless --pool sets another
// count; the tree is closed at the end (timed on its own). Every result is
// checked; a wrong one ends the run with status 1.
#include <recbase/cbt.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kKeyBytes = 16;

std::vector<uint8_t> make_keys(size_t n, uint64_t seed) {
  std::vector<uint8_t> bytes(n * kKeyBytes);
  std::mt19937_64 rng(seed);
  for (uint8_t &b : bytes) {
    const unsigned d = static_cast<unsigned>(rng() % (256 - 26));
    b = static_cast<uint8_t>(d < 'A' ? d : d + 26);
  }
  return bytes;
}

double seconds_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t)
      .count();
}

// The scan load after its inserts: the walk, checked pair by pair against
// the keys in key order, then a lookup of every key. False on a wrong result.
bool walk_and_find(CbTree *tree, const std::vector<uint8_t> &keys,
                   std::vector<uint32_t> &order) {
  auto key = [&keys](size_t i) { return &keys[i * kKeyBytes]; };
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
    return std::memcmp(key(a), key(b), kKeyBytes) < 0;
  });
  auto t = std::chrono::steady_clock::now();
  uint8_t got[kKeyBytes + 1];
  int32_t item = 0, len = 0;
  size_t seen = 0;
  int32_t r = cbhead(tree, &item);
  for (; r == 1; r = cbnext(tree, &item), ++seen) {
    if (seen == order.size() || cbkeylen(tree, &len) != 1 ||
        cbkey(tree, got, sizeof got) != 1 || len != kKeyBytes ||
        item != static_cast<int32_t>(order[seen]) ||
        std::memcmp(got, key(order[seen]), kKeyBytes) != 0) {
      std::fprintf(stderr, "scan: wrong pair at %zu\n", seen);
      return false;
    }
  }
  if (r != -3 || seen != order.size()) {
    std::fprintf(stderr, "scan: ended with %d after %zu pairs\n", r, seen);
    return false;
  }
  std::printf("scan: %.0f k/s\n", seen / seconds_since(t) / 1e3);
  std::shuffle(order.begin(), order.end(), std::mt19937_64(3));
  t = std::chrono::steady_clock::now();
  for (uint32_t i : order) {
    if (cbfind(tree, key(i), kKeyBytes, &item) != 2 ||
        item != static_cast<int32_t>(i)) {
      std::fprintf(stderr, "cbfind of key %u failed\n", i);
      return false;
    }
  }
  std::printf("find: %.0f k/s\n", order.size() / seconds_since(t) / 1e3);
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App app("recbase tree write loads");
  std::string load = "sorted";
  size_t n = 200000;
  std::string dir = "/tmp";
  int32_t pool = 16384;
  app.add_option("load", load, "sorted, random or scan")->required();
  app.add_option("--keys", n, "Number of keys");
  app.add_option("--dir", dir, "Directory of the tree file");
  app.add_option("--pool", pool, "Buffers in the pool (4096 bytes each)")
      ->check(CLI::Range(6, 1 << 30));
  CLI11_PARSE(app, argc, argv);

  const std::vector<uint8_t> keys = make_keys(n, 20261207);
  auto key = [&keys](size_t i) { return &keys[i * kKeyBytes]; };
  std::vector<uint32_t> order(n);
  std::iota(order.begin(), order.end(), 0u);
  if (load == "sorted") {
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
      return std::memcmp(key(a), key(b), kKeyBytes) < 0;
    });
  } else {
    std::shuffle(order.begin(), order.end(), std::mt19937_64(1));
  }
  const std::string path = dir + "/tree_writes.cbt";
  std::filesystem::remove(path);
  if (cbinit(pool, 4096) != 1) return 1;
  CbTree *tree = cbcreate(path.c_str(), nullptr, 4096);
  if (tree == nullptr) return 1;
  auto t = std::chrono::steady_clock::now();
  for (uint32_t i : order) {
    if (cbinsert(tree, key(i), kKeyBytes, static_cast<int32_t>(i), 0) != 1) {
      std::fprintf(stderr, "cbinsert of key %u failed\n", i);
      return 1;
    }
  }
  std::printf("%s insert: %.0f k/s\n", load.c_str(),
              n / seconds_since(t) / 1e3);
  if (load == "scan") {
    if (!walk_and_find(tree, keys, order)) return 1;
  } else if (load != "sorted") {
    std::shuffle(order.begin(), order.end(), std::mt19937_64(2));
    t = std::chrono::steady_clock::now();
    size_t deleted = 0;
    for (uint32_t i : order) {
      if (i % 2 == 0) continue;
      if (cbdelete(tree, key(i), kKeyBytes, static_cast<int32_t>(i)) != 1) {
        std::fprintf(stderr, "cbdelete of key %u failed\n", i);
        return 1;
      }
      ++deleted;
    }
    std::printf("delete: %.0f k/s\n", deleted / seconds_since(t) / 1e3);
  }
  t = std::chrono::steady_clock::now();
  if (cbclose(tree) != 1 || cbexit() != 1) return 1;
  std::printf("close: %.0f ms\n", seconds_since(t) * 1e3);
  return 0;
}
