// Tree files read by their byte offsets, independently of the engine:
// little-endian readers, the control record, node blocks, and a control
// record field written with its parity made right.
#ifndef RECBASE_TESTS_SUPPORT_TREE_FILE_H
#define RECBASE_TESTS_SUPPORT_TREE_FILE_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/files.h"

namespace recbase::test {

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

#endif  // RECBASE_TESTS_SUPPORT_TREE_FILE_H
