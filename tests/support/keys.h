// Keys and pairs for the B-tree's tests and fuzz tools: numbered and run
// keys, random pairs biased towards collisions, and the pair order.
#ifndef RECBASE_TESTS_SUPPORT_KEYS_H
#define RECBASE_TESTS_SUPPORT_KEYS_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "recbase/cbt.h"

namespace recbase::test {

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

}  // namespace recbase::test

#endif  // RECBASE_TESTS_SUPPORT_KEYS_H
