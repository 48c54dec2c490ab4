// Writes the seed corpus of tree_fuzz: small, sound B-tree files of block
// sizes 92 and 512, one to three levels deep, one with a free chain, one
// marked for a shared open, made through the library itself and verified
// with the checker.
//   make_seeds OUTPUT_DIR
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

#include "cbt/checker.h"
#include "recbase/cbt.h"
#include "tests/support/keys.h"

namespace {

struct Seed {
  const char *name;
  int32_t block_size;
  int count;         // pairs inserted
  int key_len;       // bytes of each key (at least 4)
  int delete_every;  // 0: none; n: afterwards delete every n-th pair
  int32_t depth;     // expected depth
  bool shared_open;  // mark the seed for a shared open
};

constexpr Seed kSeeds[] = {
    // name, block size, pairs, key length, delete every, depth, shared
    {"bs92-empty", 92, 0, 4, 0, 0, false},
    {"bs92-depth1", 92, 4, 4, 0, 1, false},
    {"bs92-depth2", 92, 20, 5, 0, 2, false},
    {"bs92-depth3", 92, 90, 6, 0, 3, false},
    {"bs92-freechain", 92, 90, 6, 2, 0, false},
    {"bs92-depth3-shared", 92, 90, 6, 0, 3, true},
    {"bs512-depth1", 512, 12, 8, 0, 1, false},
    {"bs512-depth2", 512, 30, 40, 0, 2, false},
    {"bs512-depth3", 512, 70, 60, 0, 3, false},
};

// Keys with a decimal prefix that orders them, padded with letters; every
// third repeats the one before (with another item), so that the seeds hold
// duplicate keys and shared key text.
std::string key_of(int i, int len) { return recbase::test::run_key(i, len, 3); }

bool make(const std::string &dir, const Seed &s) {
  const std::string path = dir + "/" + s.name;
  CbTree *t = cbcreate(path.c_str(), nullptr, s.block_size);
  if (t == nullptr) return false;
  for (int i = 0; i < s.count; ++i) {
    const std::string k = key_of(i, s.key_len);
    if (cbinsert(t, k.data(), static_cast<int32_t>(k.size()), i * 7, 1) != 1) {
      return false;
    }
  }
  for (int i = 0; s.delete_every > 0 && i < s.count; i += s.delete_every) {
    const std::string k = key_of(i, s.key_len);
    if (cbdelete(t, k.data(), static_cast<int32_t>(k.size()), i * 7) != 1) {
      return false;
    }
  }
  const int32_t depth = cbdepth(t);
  if (cbclose(t) != 1) return false;
  if (s.shared_open) {
    // tree_fuzz opens the image shared when the stamp's low bit is set; the
    // stamp is outside the parity, so the file stays sound.
    std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(26);
    f.put(static_cast<char>((300 & 0xFF) | 1));
    if (!f) return false;
  }
  const std::string fault =
      recbase::cbt::check_tree_file(path.c_str(), nullptr);
  if (!fault.empty()) {
    std::fprintf(stderr, "%s: %s\n", s.name, fault.c_str());
    return false;
  }
  if (s.depth != 0 && depth != s.depth) {
    std::fprintf(stderr, "%s: depth %d, wanted %d\n", s.name, depth, s.depth);
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds OUTPUT_DIR\n");
    return 2;
  }
  if (cbinit(16, 1024) != 1) return 1;
  int failed = 0;
  for (const Seed &s : kSeeds) {
    if (!make(argv[1], s)) {
      std::fprintf(stderr, "%s: not made (cberrcode %d, cbconcode %d)\n",
                   s.name, cberrcode, cbconcode);
      ++failed;
    }
  }
  cbexit();
  return failed == 0 ? 0 : 1;
}
