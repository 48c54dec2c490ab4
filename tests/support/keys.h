// Test support without the test framework (the fuzz tools use it too): key
// and pair generators, the pair order, little-endian readers of tree files
// decoded by their byte offsets independently of the engine, and files and
// temporary directories.
#ifndef RECBASE_TESTS_SUPPORT_KEYS_H
#define RECBASE_TESTS_SUPPORT_KEYS_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "recbase/cbt.h"
#include "tests/support/spawn.h"

namespace recbase::test {

// ---------------------------------------------------------------------------
// Keys and pairs

// A key of len bytes that sorts by n (0..9999) under every byte order: four
// digits, then 'x' filler.
inline std::string numbered_key(int n, size_t len) {
  std::string k = std::to_string(10000 + n).substr(1);
  k.resize(len, 'x');
  return k;
}
// 20-byte keys: 28 bytes per leaf entry, 17 pairs fill a 512-byte leaf.
inline std::string key(int n) { return numbered_key(n, 20); }

// Key i of a run with duplicates: every `every`-th key repeats the one
// before it (with another item, so that equal keys share text), padded with
// letters to len bytes.
inline std::string run_key(int i, int len, int every) {
  const int base = i % every == every - 1 ? i - 1 : i;
  std::string k = numbered_key(base, 4);
  while (static_cast<int>(k.size()) < len) {
    k.push_back(static_cast<char>('a' + (base + k.size()) % 26));
  }
  return k;
}

// Plain byte order (unsigned bytes, the shorter key first) and its reverse.
inline int32_t RBCALL memcmp_order(const void *a, int32_t alen, const void *b,
                                   int32_t blen) {
  const int32_t n = std::min(alen, blen);
  const int c = n > 0 ? std::memcmp(a, b, static_cast<size_t>(n)) : 0;
  if (c != 0) return c < 0 ? -1 : 1;
  return alen < blen ? -1 : (alen > blen ? 1 : 0);
}
inline int32_t RBCALL reverse_order(const void *a, int32_t alen, const void *b,
                                    int32_t blen) {
  return -memcmp_order(a, alen, b, blen);
}

using Pair = std::pair<std::string, int32_t>;
using PairList = std::vector<Pair>;

// The tree's pair order: the compare function on the keys, then the item
// as a signed number.
struct PairLess {
  CbCompare cmp = cbkeycmp;
  bool operator()(const Pair &a, const Pair &b) const {
    const int32_t c = cmp(a.first.data(), static_cast<int32_t>(a.first.size()),
                          b.first.data(), static_cast<int32_t>(b.first.size()));
    return c != 0 ? c < 0 : a.second < b.second;
  }
};

enum class Alphabet {
  kFoldFree,   // bytes cbkeycmp does not fold: equal keys are identical
  kMixedCase,  // letters of both cases, which cbkeycmp equates
  kAnyByte,    // every byte value, few distinct leading bytes
};

// Random keys and items biased towards collisions: a vocabulary of keys
// used again and again (runs of equal keys span leaves), lengths from 0 to
// the limit, items mostly in a small range around 0.
class RandomPairs {
 public:
  RandomPairs(uint32_t seed, int32_t limit, Alphabet alphabet,
              size_t vocabulary = 160)
      : rng_(seed), limit_(limit), alphabet_(alphabet) {
    for (size_t i = 0; i < vocabulary; ++i) vocab_.push_back(fresh_key());
  }

  uint32_t below(uint32_t n) { return rng_() % n; }
  bool chance(uint32_t percent) { return below(100) < percent; }
  std::mt19937 &rng() { return rng_; }

  std::string fresh_key() {
    const uint32_t r = below(100);
    int32_t len = static_cast<int32_t>(below(3));
    if (r >= 90) {
      len = limit_ - static_cast<int32_t>(below(3));
    } else if (r >= 65) {
      len = 13 + static_cast<int32_t>(below(std::max(1, limit_ / 3)));
    } else if (r >= 5) {
      len = 3 + static_cast<int32_t>(below(10));
    }
    std::string k(static_cast<size_t>(std::clamp(len, 0, limit_)), '\0');
    for (char &c : k) c = static_cast<char>(byte());
    return k;
  }
  // A vocabulary key (for mixed case, perhaps a case variant), now and then
  // a new one.
  std::string key() {
    if (chance(12)) return fresh_key();
    std::string k = vocab_[below(static_cast<uint32_t>(vocab_.size()))];
    if (alphabet_ == Alphabet::kMixedCase && chance(30)) {
      for (char &c : k) {
        if (chance(50) && c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
      }
    }
    return k;
  }
  int32_t item() {
    if (chance(70)) return static_cast<int32_t>(below(15)) - 7;
    return static_cast<int32_t>(rng_());
  }

 private:
  uint8_t byte() {
    static const char kFoldFree[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    static const char kMixed[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJ";
    switch (alphabet_) {
      case Alphabet::kFoldFree:  // bytes above 0x7F sort after ASCII
        if (chance(8)) return static_cast<uint8_t>(0x80 + below(128));
        return static_cast<uint8_t>(kFoldFree[below(sizeof kFoldFree - 1)]);
      case Alphabet::kMixedCase:
        return static_cast<uint8_t>(kMixed[below(sizeof kMixed - 1)]);
      case Alphabet::kAnyByte:
        break;
    }
    return static_cast<uint8_t>(chance(50) ? below(4) : below(256));
  }

  std::mt19937 rng_;
  int32_t limit_;
  Alphabet alphabet_;
  std::vector<std::string> vocab_;
};

// ---------------------------------------------------------------------------
// Tree files by byte offsets

inline uint32_t le16_at(const std::vector<uint8_t> &b, size_t off) {
  return b.at(off) | static_cast<uint32_t>(b.at(off + 1)) << 8;
}
inline int32_t le16s_at(const std::vector<uint8_t> &b, size_t off) {
  return static_cast<int16_t>(le16_at(b, off));
}
inline uint32_t le32_at(const std::vector<uint8_t> &b, size_t off) {
  return le16_at(b, off) | le16_at(b, off + 2) << 16;
}
inline std::vector<uint8_t> le_bytes(uint32_t v, int width) {
  std::vector<uint8_t> out;
  for (int i = 0; i < width; ++i) out.push_back((v >> (8 * i)) & 0xFF);
  return out;
}

// The control record of a tree file.
struct DiskControl {
  explicit DiskControl(const std::vector<uint8_t> &f)
      : block_size(le16s_at(f, 0)),
        root(le32_at(f, 2)),
        last_block(le32_at(f, 6)),
        first_leaf(le32_at(f, 10)),
        last_leaf(le32_at(f, 14)),
        free_head(le32_at(f, 18)),
        depth(le16s_at(f, 22)),
        change_counter(le32_at(f, 28)),
        key_count(le32_at(f, 32)) {}
  int32_t block_size;
  uint32_t root, last_block, first_leaf, last_leaf, free_head;
  int32_t depth;
  uint32_t change_counter, key_count;
};

// One node block of a tree file.
class DiskNode {
 public:
  DiskNode(const std::vector<uint8_t> &file, int32_t block_size, uint32_t n)
      : b_(file.begin() + static_cast<long>(n) * block_size,
           file.begin() + static_cast<long>(n + 1) * block_size) {}
  uint32_t low_path() const { return le32_at(b_, 0); }
  uint32_t left() const { return le32_at(b_, 4); }
  uint32_t right() const { return le32_at(b_, 8); }
  int32_t count() const { return le16s_at(b_, 12); }
  int32_t key_start() const { return le16s_at(b_, 14); }
  bool leaf() const { return low_path() == 0xFFFFFFFFu; }
  size_t entry(int32_t i) const { return 16 + i * (leaf() ? 8 : 12); }
  int32_t key_off(int32_t i) const { return le16s_at(b_, entry(i)); }
  int32_t key_len(int32_t i) const { return le16s_at(b_, entry(i) + 2); }
  int32_t item(int32_t i) const {
    return static_cast<int32_t>(le32_at(b_, entry(i) + 4));
  }
  uint32_t child(int32_t i) const { return le32_at(b_, entry(i) + 8); }
  std::string key(int32_t i) const {
    return std::string(b_.begin() + key_off(i),
                       b_.begin() + key_off(i) + key_len(i));
  }
  std::vector<int32_t> items() const {
    std::vector<int32_t> out;
    for (int32_t i = 0; i < count(); ++i) out.push_back(item(i));
    return out;
  }
  std::vector<int32_t> key_offs() const {
    std::vector<int32_t> out;
    for (int32_t i = 0; i < count(); ++i) out.push_back(key_off(i));
    return out;
  }
  // Every byte after the 16-byte header is zero (a freed block).
  bool zero_body() const {
    return std::all_of(b_.begin() + 16, b_.end(), [](uint8_t x) { return !x; });
  }
  const std::vector<uint8_t> &bytes() const { return b_; }

 private:
  std::vector<uint8_t> b_;
};

// ---------------------------------------------------------------------------
// Files and directories

// A new directory under the system's temporary directory, its name starting
// with prefix.
inline std::string make_temp_dir(const std::string &prefix) {
  std::random_device entropy;
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::filesystem::path dir =
        base / (prefix + "-" + std::to_string(entropy() % 100000000));
    if (std::filesystem::create_directory(dir)) return dir.string();
  }
  throw std::runtime_error("no temporary directory");
}

// A temporary directory removed with everything in it.
class TempDir {
 public:
  TempDir() : path_(make_temp_dir("recbase")) {}
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  // The name joined with the system's separator, so that the path is
  // spelled as the library's full path names spell it.
  std::string file(const std::string &name) const {
    return (std::filesystem::path(path_) / name).string();
  }

 private:
  std::string path_;
};

// Files that the library holds open without sharing are read and written
// through its handle where the system refuses another open (spawn.h).
inline void write_file(const std::string &path,
                       const std::vector<uint8_t> &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out.is_open() && write_held_file(path, 0, bytes, true)) return;
  out.write(reinterpret_cast<const char *>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}
inline std::vector<uint8_t> read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> held;
  if (!in.is_open() && read_held_file(path, &held)) return held;
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}
inline bool file_exists(const std::string &path) {
  std::error_code ignored;
  return std::filesystem::exists(path, ignored);
}
// Overwrites bytes of a file in place.
inline void patch_file(const std::string &path, size_t offset,
                       const std::vector<uint8_t> &bytes) {
  std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
  if (!f.is_open() && write_held_file(path, offset, bytes, false)) return;
  f.seekp(static_cast<std::streamoff>(offset));
  f.write(reinterpret_cast<const char *>(bytes.data()),
          static_cast<std::streamsize>(bytes.size()));
}
// Writes a control record field and makes the parity right again, so that
// only the field itself is wrong.
inline void set_control_field(const std::string &path, size_t off, int width,
                              uint32_t value) {
  patch_file(path, off, le_bytes(value, width));
  const std::vector<uint8_t> f = read_file(path);
  uint32_t parity = 0;
  for (size_t w = 0; w < 24; w += 2) parity ^= le16_at(f, w);
  patch_file(path, 24, le_bytes(parity, 2));
}

}  // namespace recbase::test

#endif  // RECBASE_TESTS_SUPPORT_KEYS_H
