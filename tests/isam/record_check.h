// Checks of a database from outside the record layer: the data file walked
// slot by slot from its bytes, and the free-space keys of its index file.
#ifndef RECBASE_TESTS_ISAM_RECORD_CHECK_H
#define RECBASE_TESTS_ISAM_RECORD_CHECK_H

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "isam/handles.h"
#include "recbase/cbt.h"
#include "tests/support/files.h"

namespace recbase::test {

// The slots of a data file: record contents by position, free areas
// (position -> size), and the first fault found (empty when sound): a slot
// past the end of the file, or two free areas side by side.
struct Slots {
  std::map<int32_t, std::vector<uint8_t>> records;
  std::map<int32_t, int32_t> free_areas;
  std::string fault;
};

inline Slots read_slots(const std::string &data_path) {
  const std::vector<uint8_t> file = read_file(data_path);
  Slots s;
  if (file.size() < 4) {
    s.fault = "no header";
    return s;
  }
  int16_t n = 0;
  std::memcpy(&n, file.data(), 2);
  size_t p = 4 + static_cast<size_t>(n);
  bool last_free = false;
  while (p < file.size() && s.fault.empty()) {
    int16_t word = 0;
    if (p + 2 > file.size()) {
      s.fault = "length word cut at " + std::to_string(p);
      break;
    }
    std::memcpy(&word, &file[p], 2);
    const size_t size = static_cast<size_t>(word < 0 ? -word : word);
    const auto at = static_cast<int32_t>(p);
    if (p + 2 + size > file.size()) {
      s.fault = "slot at " + std::to_string(p) + " runs past the end";
    } else if (word < 0 && last_free) {
      s.fault = "free areas side by side at " + std::to_string(p);
    } else if (word < 0) {
      s.free_areas[at] = static_cast<int32_t>(size);
    } else {
      s.records[at].assign(file.begin() + static_cast<long>(p) + 2,
                           file.begin() + static_cast<long>(p + 2 + size));
    }
    last_free = word < 0;
    p += 2 + size;
  }
  return s;
}

// The free-space keys of the open database: position -> size, once from
// the position keys and once from the size keys.
struct FreeKeys {
  std::map<int32_t, int32_t> by_position;
  std::map<int32_t, int32_t> by_size;
  size_t size_keys = 0;     // a size key per area: by_size.size()
  int32_t last_result = 0;  // of the walk: -3 when it reached the end
};

inline FreeKeys read_free_keys(IsamDb *db) {
  FreeKeys f;
  const uint8_t first[] = {254};
  int32_t item = 0;
  int32_t r = cbfind(db->free_tree, first, 1, &item);
  for (; r == 1 || r == 2 || r == 3; r = cbnext(db->free_tree, &item)) {
    uint8_t k[8] = {};
    if (cbkey(db->free_tree, k, sizeof k) != 1) break;
    if (k[0] == 254) {
      f.by_position[k[1] << 24 | k[2] << 16 | k[3] << 8 | k[4]] = item;
    } else {
      f.by_size[item] = k[1] << 8 | k[2];
      ++f.size_keys;
    }
  }
  f.last_result = r;
  return f;
}

}  // namespace recbase::test

#endif  // RECBASE_TESTS_ISAM_RECORD_CHECK_H
