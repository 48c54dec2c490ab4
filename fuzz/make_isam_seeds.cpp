// Writes the seed corpus of isam_fuzz: small databases made through the
// library, a field of every type, 0, 1 or 3 indexes (one unique, one on part
// of a text), free areas left by deleted and shrunk records, index file
// block sizes 512 and 1024, each pair framed as fuzz/isam_script.h
// describes. IsamFuzzInputs.ReplayWithoutFindings checks that each opens
// with all its indexes.
//   make_isam_seeds OUTPUT_DIR
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz/isam_script.h"
#include "recbase/isam.h"
#include "tests/support/files.h"

namespace {

struct Seed {
  const char *name;
  int32_t block_size;
  int indexes;  // the first 0, 1 or 3 of kIndexes
  int records;
  int flags;  // the framing's flags byte
};

constexpr Seed kSeeds[] = {
    {"bs512-noindex", 512, 0, 12, 0},
    {"bs512-unique", 512, 1, 24, 16},
    {"bs1024-three", 1024, 3, 30, 2},
    {"bs512-three-shared", 512, 3, 20, 1 | 4},
    {"bs1024-three-empty", 1024, 3, 0, 0},
};

const char *const kFields[] = {"name",     "code,C", "small,I",
                               "count,U",  "id,L",   "ratio,F",
                               "amount,D", "tag,B4", nullptr};

struct IndexDef {
  const char *name;
  std::vector<const char *> specs;
};
const IndexDef kIndexes[] = {
    {"by name,U", {"name", nullptr}},
    {"by small", {"small,I", "amount,D", nullptr}},
    {"by code part", {"code,C:1,3", "id,L", nullptr}},
};

// Adds record i, then deletes every fourth record and shrinks every fifth,
// so that the data file has free areas.
bool fill(IsamDb *db, int records) {
  for (int i = 0; i < records; ++i) {
    std::string name = "rec-" + std::to_string(i * 37 % 101);
    name.append(static_cast<size_t>(i % 7), 'x');
    std::string code = "C" + std::to_string(i % 5) + "z";
    int16_t small = static_cast<int16_t>(i % 9 - 4);
    uint16_t count = static_cast<uint16_t>(i * 1000);
    int32_t id = i * 100003;
    float ratio = static_cast<float>(i) / 3;
    double amount = i * 12.5;
    char tag[4] = {'t', static_cast<char>(i), 0, 1};
    auto raw = [](auto &v) { return reinterpret_cast<char *>(&v); };
    char *fields[] = {name.data(), code.data(), raw(small), raw(count), raw(id),
                      raw(ratio),  raw(amount), tag,        nullptr};
    if (iaddrec(db, nullptr, fields) != 1) return false;
  }
  // Deleting or modifying leaves "Physical Index" on the record after.
  IsamIndex *physical = ihandle(db, iphysical);
  uint16_t length = 0;
  int i = 0;
  for (int r = ifindhead(db, physical); r == 1; ++i) {
    if (i % 4 == 1) {
      if (idelrec(db, physical) != 1) return false;
    } else if (i % 5 == 2) {
      std::vector<char> buffer(1024);
      std::vector<char *> fields(9);
      if (igetrec(db, physical, fields.data(), buffer.data(), 1024) != 1) {
        return false;
      }
      std::string shorter = "r" + std::to_string(i);
      fields[0] = shorter.data();
      if (imodrec(db, physical, fields.data()) != 1) return false;
    } else {
      r = ifindnext(db, physical);
      continue;
    }
    r = igetreclen(db, physical, &length);
  }
  return true;
}

bool make(const std::string &dir, const Seed &s) {
  const std::string name = dir + "/" + s.name;
  IsamDb *db = icreate_db(name.c_str(), s.block_size, kFields);
  if (db == nullptr) return false;
  bool ok = true;
  for (int k = 0; k < s.indexes && ok; ++k) {
    ok = imkindex(db, kIndexes[k].name, kIndexes[k].specs.data()) == 1;
  }
  ok = ok && fill(db, s.records);
  if (iclose_db(db) != 1 || !ok) return false;
  using recbase::test::read_file;
  const std::vector<uint8_t> seed = recbase::fuzz::join_images(
      s.flags, read_file(name + ".db"), read_file(name + ".idx"));
  std::remove((name + ".db").c_str());
  std::remove((name + ".idx").c_str());
  recbase::test::write_file(name, seed);
  return seed.size() < 16384;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_isam_seeds OUTPUT_DIR\n");
    return 2;
  }
  if (isaminit(16, 1024) != 1) return 1;
  int failed = 0;
  for (const Seed &s : kSeeds) {
    if (!make(argv[1], s)) {
      std::fprintf(stderr, "%s: not made (isam_errno %d, cberrcode %d)\n",
                   s.name, isam_errno, cberrcode);
      ++failed;
    }
  }
  isamexit();
  return failed == 0 ? 0 : 1;
}
