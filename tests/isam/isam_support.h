// Test support of the ISAM layer: a fixture that works in a temporary
// directory and ends the library after each test, databases made from
// definition lists, indexes written into an index file as descriptors, and
// values in their stored form.
#ifndef RECBASE_TESTS_ISAM_ISAM_SUPPORT_H
#define RECBASE_TESTS_ISAM_ISAM_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "isam/buffers.h"
#include "isam/handles.h"
#include "isam/keys.h"
#include "isam/locks.h"
#include "isam/window_link.h"
#include "recbase/isam.h"
#include "tests/support/files.h"
#include "tests/support/record.h"

namespace recbase::test {

// An index written into the index file: name, specifications, number.
struct IndexDef {
  std::string name;
  Strings specs;
  int32_t number;
};

inline std::vector<uint8_t> bytes_of(const std::string &s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

class IsamTest : public ::testing::Test {
 protected:
  ~IsamTest() override { isamexit(); }

  std::string path(const std::string &name) const { return dir_.file(name); }

  IsamDb *create(const std::string &name, const Strings &fields,
                 int32_t block_size = 0) {
    return icreate_db(path(name).c_str(), block_size, Record(fields).get());
  }

  // Creates the database, writes the indexes' descriptors into its index
  // file and opens it again.
  IsamDb *create_with(const std::string &name, const Strings &fields,
                      const std::vector<IndexDef> &indexes) {
    IsamDb *db = create(name, fields);
    if (db == nullptr || iclose_db(db) != 1) return nullptr;
    for (const IndexDef &ix : indexes) {
      if (!add_descriptor(name, ix.name, ix.specs, ix.number)) return nullptr;
    }
    return iopen_db(path(name).c_str());
  }

  // Inserts a descriptor key into the index file of the closed database.
  bool add_descriptor(const std::string &db_name, const std::string &index,
                      const Strings &specs, int32_t number) {
    std::string key(1, '\0');
    key += index + '\0';
    for (const std::string &s : specs) key += s + '\0';
    return add_key(db_name, key, number);
  }
  bool add_key(const std::string &db_name, const std::string &key,
               int32_t item) {
    CbTree *t = cbopen((path(db_name) + ".idx").c_str(), isam::key_compare);
    if (t == nullptr) return false;
    const bool added =
        cbinsert(t, key.data(), static_cast<int32_t>(key.size()), item, 0) == 1;
    return cbclose(t) == 1 && added;
  }

  // The entry key of ix for values by key field (fewer values: a partial
  // key).
  static std::vector<uint8_t> key_of(IsamDb *db, IsamIndex *ix,
                                     const Strings &values) {
    uint8_t out[512];
    int32_t len = 0;
    EXPECT_EQ(isam::build_key_by_position(db, ix, Record(values).get(), out,
                                          sizeof out, &len),
              kIsOk);
    return std::vector<uint8_t>(out, out + len);
  }

  TempDir dir_;
};

}  // namespace recbase::test

#endif  // RECBASE_TESTS_ISAM_ISAM_SUPPORT_H
