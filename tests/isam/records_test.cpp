// Records, finding and free space through the exported calls (the model
// test runs random adds, modifies and deletes through every index): free
// areas reused and merged (read back from the index file's size and position
// keys, and not used where the data file contradicts them), the buffer
// rules of the igetrec family, a unique index refusing a duplicate, finding
// by key and by record, and damaged files.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "frame/bytes.h"
#include "tests/isam/isam_support.h"
#include "tests/isam/record_check.h"

namespace recbase::test {
namespace {

// A record of the test database: name (S), id (L), amount (D), city (C).
struct Rec {
  std::string name;
  int32_t id = 0;
  double amount = 0;
  std::string city;
  bool operator==(const Rec &o) const {
    return name == o.name && id == o.id && amount == o.amount && city == o.city;
  }
};

// The stored values of a record.
Record values(const Rec &r) {
  return {r.name, stored(r.id), stored(r.amount), r.city};
}

using Areas = std::map<int32_t, int32_t>;

class RecordsTest : public IsamTest {
 protected:
  ~RecordsTest() override { cb_set_flush(1, 0); }
  void SetUp() override {
    // Durability is not under test: the shared half skips the OS flushes.
    cb_set_flush(1, 1);
    db_ = create_with("t", {"name", "id,L", "amount,D", "city,C"},
                      {{"byId,U", {"id,L"}, 1},
                       {"byCity", {"city,C", "name"}, 2},
                       {"byName3", {"name:3"}, 3}});
    ASSERT_NE(db_, nullptr);
    ASSERT_EQ(isam_errno, 0);
    by_id_ = ihandle(db_, "byId,U");
    by_city_ = ihandle(db_, "byCity");
    by_name_ = ihandle(db_, "byName3");
    physical_ = ihandle(db_, iphysical);
    ASSERT_TRUE(by_id_ && by_city_ && by_name_ && physical_);
  }

  int32_t add(const Rec &r, IsamIndex *ix = nullptr) {
    return iaddrec(db_, ix, values(r).get());
  }
  // Positions by_id_ on the record with this id.
  int32_t find_id(int32_t id) {
    return ifindkey(db_, by_id_, Record({stored(id)}).get());
  }
  Rec current(IsamIndex *ix) {
    char buffer[2048];
    char *f[5];
    EXPECT_EQ(igetrec(db_, ix, f, buffer, sizeof buffer), 1) << isam_errno;
    Rec r;
    r.name = f[0];
    std::memcpy(&r.id, f[1], 4);
    std::memcpy(&r.amount, f[2], 8);
    r.city = f[3];
    return r;
  }
  // Every record in the order of ix.
  std::vector<Rec> walk(IsamIndex *ix) {
    std::vector<Rec> out;
    int32_t r = ifindhead(db_, ix);
    for (; r == 1 && out.size() < 100; r = ifindnext(db_, ix)) {
      out.push_back(current(ix));
    }
    EXPECT_EQ(r, -3) << isam_errno;
    return out;
  }
  // Free areas as the index file lists them (position -> size): its size
  // keys must agree with its position keys, and both with the data file's
  // slots, which must tile the file.
  Areas areas() {
    const FreeKeys keys = read_free_keys(db_);
    EXPECT_EQ(keys.last_result, -3);
    EXPECT_EQ(keys.by_size, keys.by_position);
    EXPECT_EQ(keys.size_keys, keys.by_size.size());
    EXPECT_EQ(iflush_db(db_), 1);
    const Slots slots = read_slots(path("t.db"));
    EXPECT_EQ(slots.fault, "");
    EXPECT_EQ(slots.free_areas, keys.by_position);
    return keys.by_position;
  }
  size_t data_size() {
    EXPECT_EQ(iflush_db(db_), 1);
    return read_file(path("t.db")).size();
  }

  IsamDb *db_ = nullptr;
  IsamIndex *by_id_ = nullptr, *by_city_ = nullptr, *by_name_ = nullptr,
            *physical_ = nullptr;
};

// A database of one record shape whose data length is chosen: t (text),
// n (L), x (text); minimum record length 2 + 1 + 4 + 1 = 8.
class FreeSpaceTest : public IsamTest {
 protected:
  void SetUp() override {
    db_ = create("f", {"t", "n,L", "x"});
    ASSERT_NE(db_, nullptr);
    physical_ = ihandle(db_, iphysical);
  }
  // A record of data length len (at least 6).
  static Record record(int32_t len) {
    return {std::string(static_cast<size_t>(len - 6), 'a'), stored(len), ""};
  }
  // Adds a record of data length len; returns its position.
  int32_t add(int32_t len) {
    EXPECT_EQ(iaddrec(db_, physical_, record(len).get()), 1) << isam_errno;
    return db_->physical_position;
  }
  // Puts "Physical Index" on the record at position, walking the file.
  void go_to(int32_t position) {
    for (int32_t r = ifindhead(db_, physical_); r == 1;
         r = ifindnext(db_, physical_)) {
      if (db_->physical_position == position) return;
    }
    ADD_FAILURE() << "no record at " << position;
  }
  void remove(int32_t position) {
    go_to(position);
    EXPECT_EQ(idelrec(db_, physical_), 1) << isam_errno;
  }
  uint16_t slot_length() {
    uint16_t len = 0;
    EXPECT_EQ(igetreclen(db_, physical_, &len), 1);
    return len;
  }
  Areas areas() { return read_free_keys(db_).by_position; }
  size_t file_size() {
    EXPECT_EQ(iflush_db(db_), 1);
    return read_file(path("f.db")).size();
  }
  IsamDb *db_ = nullptr;
  IsamIndex *physical_ = nullptr;
};

TEST_F(FreeSpaceTest, LargestAreaIsSplitOrTakenWholeAndNeighboursMerge) {
  // Kept records between the ones deleted, so that no two areas touch.
  std::vector<int32_t> p;
  for (int32_t len : {10, 10, 10, 40, 10, 40, 10}) p.push_back(add(len));
  EXPECT_EQ(p[0], db_->data_start);
  remove(p[1]);
  remove(p[3]);
  remove(p[5]);
  EXPECT_EQ(areas(), (Areas{{p[1], 10}, {p[3], 40}, {p[5], 40}}));
  const size_t size = file_size();
  // Of equal sizes the area further into the file is split, never the 10.
  EXPECT_EQ(add(6), p[5]);
  EXPECT_EQ(slot_length(), 6);
  EXPECT_EQ(areas(), (Areas{{p[1], 10}, {p[3], 40}, {p[5] + 8, 32}}));
  // 33 + 8 > 40: the whole area, its length word keeping 40.
  EXPECT_EQ(add(33), p[3]);
  EXPECT_EQ(slot_length(), 40);
  EXPECT_EQ(areas(), (Areas{{p[1], 10}, {p[5] + 8, 32}}));
  // 24 + 8 = 32: still split, leaving 6 bytes free.
  EXPECT_EQ(add(24), p[5] + 8);
  EXPECT_EQ(areas(), (Areas{{p[1], 10}, {p[5] + 34, 6}}));
  EXPECT_EQ(file_size(), size);
  // No area fits: the end of the file.
  EXPECT_EQ(add(12), static_cast<int32_t>(size));

  // Three neighbours released first, third, second become one area.
  std::vector<int32_t> q;
  for (int i = 0; i < 4; ++i) q.push_back(add(20));
  remove(q[0]);
  remove(q[2]);
  EXPECT_EQ(areas().count(q[0]) + areas().count(q[2]), 2u);
  remove(q[1]);
  Areas expected{{p[1], 10}, {p[5] + 34, 6}, {q[0], 3 * 20 + 4}};
  EXPECT_EQ(areas(), expected);
  // A released tail merges with the area that follows it.
  remove(q[3]);
  expected[q[0]] = 4 * 20 + 6;
  EXPECT_EQ(areas(), expected);
  // The physical walk skips every area and reads what is left.
  int32_t records = 0;
  for (int32_t r = ifindhead(db_, physical_); r == 1;
       r = ifindnext(db_, physical_)) {
    ++records;
  }
  EXPECT_EQ(records, 8);
  EXPECT_EQ(db_->physical_position, 0);
}

// Free-space keys that the data file contradicts (a damaged index file): an
// area they place on a live record is neither handed out nor merged with,
// and the data file stays as it was.
TEST_F(FreeSpaceTest, AreasThatTheDataFileContradictsAreNotUsed) {
  struct Lie {
    const char *what;
    uint8_t size;  // of a false area at the first record
    bool add;      // true: add a record; false: delete the second
  };
  const Lie lies[] = {{"handed out", 40, true}, {"merged with", 10, false}};
  for (const Lie &l : lies) {
    SCOPED_TRACE(l.what);
    ASSERT_EQ(iclose_db(db_), 1);
    db_ = create(l.what, {"t", "n,L", "x"});
    ASSERT_NE(db_, nullptr);
    physical_ = ihandle(db_, iphysical);
    std::vector<int32_t> p;
    for (int i = 0; i < 3; ++i) p.push_back(add(10));
    // The false keys go into the index file of the closed database.
    ASSERT_EQ(iclose_db(db_), 1);
    const std::string size_key = {'\xFF', '\0', static_cast<char>(l.size)};
    std::string position_key(5, '\xFE');
    put_be32(reinterpret_cast<uint8_t *>(&position_key[1]),
             static_cast<uint32_t>(p[0]));
    ASSERT_TRUE(add_key(l.what, size_key, p[0]));
    ASSERT_TRUE(add_key(l.what, position_key, l.size));
    const std::string data = path(l.what) + ".db";
    const std::vector<uint8_t> before = read_file(data);
    db_ = iopen_db(path(l.what).c_str());
    ASSERT_NE(db_, nullptr);
    physical_ = ihandle(db_, iphysical);
    if (l.add) {
      EXPECT_EQ(iaddrec(db_, nullptr, record(10).get()), -1);
    } else {
      go_to(p[1]);
      EXPECT_EQ(idelrec(db_, physical_), -1);
    }
    EXPECT_EQ(isam_errno, ISERR_INDEX_CORRUPT);
    ASSERT_EQ(iflush_db(db_), 1);
    EXPECT_EQ(read_file(data), before);
  }
}

TEST_F(RecordsTest, BuffersOfTheGetrecFamily) {
  const Rec r{"abcdefgh", 7, 2.5, "Oslo"};  // content 9 + 4 + 8 + 5 = 26
  char buffer[64];
  char *f[5];
  EXPECT_EQ(igetrec(db_, by_id_, f, buffer, sizeof buffer), -2);
  EXPECT_EQ(isam_errno, 0);
  ASSERT_EQ(add(r, by_id_), 1);
  uint16_t len = 0;
  ASSERT_EQ(igetreclen(db_, by_id_, &len), 1);
  EXPECT_EQ(len, 26);
  ASSERT_EQ(igetrec(db_, by_id_, f, buffer, 26), 1);
  EXPECT_STREQ(f[3], "Oslo");
  EXPECT_EQ(f[4], nullptr);
  // One byte short: the first 25 bytes hold the three first values only.
  EXPECT_EQ(igetrec(db_, by_id_, f, buffer, 25), -1);
  EXPECT_EQ(isam_errno, ISERR_BUFFER_SMALL);
  EXPECT_STREQ(f[0], "abcdefgh");
  EXPECT_NE(f[2], nullptr);
  EXPECT_EQ(f[3], nullptr);

  char name[16], id[4], amount[8], city[8];
  char *own[] = {name, id, amount, city};
  ASSERT_EQ(igetrec2(db_, by_id_, own, nullptr), 1);
  EXPECT_STREQ(city, "Oslo");
  std::memset(city, 0, sizeof city);
  int32_t lengths[] = {16, 4, 8, 4};
  EXPECT_EQ(igetrec2(db_, by_id_, own, lengths), -1);
  EXPECT_EQ(isam_errno, ISERR_FIELD_TOO_LONG);
  EXPECT_EQ(std::memcmp(amount, stored(2.5).data(), 8), 0);
  EXPECT_STREQ(city, "");
  EXPECT_EQ(igetrec2(db_, by_id_, nullptr, nullptr), -1);
  EXPECT_EQ(isam_errno, ISERR_NULL_ARG);

  // igetrec3 enlarges the text buffers and says how large they are now.
  char *grown[] = {static_cast<char *>(std::malloc(1)), id, amount,
                   static_cast<char *>(std::malloc(1))};
  int32_t sizes[] = {1, 4, 8, 1};
  ASSERT_EQ(igetrec3(db_, by_id_, grown, sizes), 1);
  EXPECT_STREQ(grown[0], "abcdefgh");
  EXPECT_STREQ(grown[3], "Oslo");
  EXPECT_EQ(sizes[0], 9);
  EXPECT_EQ(sizes[3], 5);
  // Numbers keep their fixed size: a short one is refused, never grown.
  sizes[1] = 2;
  EXPECT_EQ(igetrec3(db_, by_id_, grown, sizes), -1);
  EXPECT_EQ(isam_errno, ISERR_FIELD_TOO_LONG);
  EXPECT_EQ(igetrec3(db_, by_id_, grown, nullptr), -1);
  EXPECT_EQ(isam_errno, ISERR_NULL_ARG);
  std::free(grown[0]);
  std::free(grown[3]);
}

TEST_F(RecordsTest, UniqueIndexRefusesADuplicateAndTheAddLeavesNoTrace) {
  ASSERT_EQ(add({"first", 5, 1.0, "Oslo"}), 1);
  EXPECT_EQ(add({"second", 5, 2.0, "Bergen"}, by_city_), -1);
  EXPECT_EQ(isam_errno, ISERR_CBT);
  EXPECT_EQ(cberrcode, CBERR_DUP_KEY);
  const std::vector<Rec> one{{"first", 5, 1.0, "Oslo"}};
  EXPECT_EQ(walk(by_city_), one);
  EXPECT_EQ(walk(by_name_), one);
  EXPECT_EQ(walk(physical_), one);
  // Its slot is free space that the next record of its size takes.
  EXPECT_EQ(areas().size(), 1u);
  const size_t size = data_size();
  ASSERT_EQ(add({"second", 6, 2.0, "Bergen"}), 1);
  EXPECT_EQ(areas().size(), 0u);
  EXPECT_EQ(data_size(), size);
}

TEST_F(RecordsTest, FindByKeyByRecordAndMatches) {
  const std::vector<Rec> recs{{"Ann", 1, 1.0, "Oslo"},
                              {"ann", 2, 2.0, "Oslo"},
                              {"ann", 3, 3.0, "Oslo"},
                              {"Bob", 4, 4.0, "Oslo"},
                              {"Al", 5, 5.0, "Bergen"}};
  for (const Rec &r : recs) ASSERT_EQ(add(r), 1);
  // A partial key: the first record of the city.
  char *oslo[] = {const_cast<char *>("Oslo"), nullptr};
  EXPECT_EQ(ifindkey(db_, by_city_, oslo), 3);
  EXPECT_EQ(current(by_city_).city, "Oslo");
  char *ann[] = {const_cast<char *>("Oslo"), const_cast<char *>("ANN"),
                 nullptr};
  EXPECT_EQ(ifindkey(db_, by_city_, ann), 2);
  EXPECT_EQ(imatchkey(db_, by_city_, oslo), 1);
  char *bergen[] = {const_cast<char *>("Bergen"), nullptr};
  EXPECT_EQ(imatchkey(db_, by_city_, bergen), 0);
  char *any[] = {const_cast<char *>(""), const_cast<char *>("a")};
  EXPECT_EQ(ipartialmatch(db_, by_city_, any), 1);
  char *b[] = {const_cast<char *>(""), const_cast<char *>("b")};
  EXPECT_EQ(ipartialmatch(db_, by_city_, b), 0);
  char *past[] = {const_cast<char *>("Zurich"), nullptr};
  EXPECT_EQ(ifindkey(db_, by_city_, past), 3);
  EXPECT_EQ(by_city_->state, -3);
  EXPECT_EQ(imatchkey(db_, by_city_, oslo), -1);
  EXPECT_EQ(isam_errno, ISERR_NO_CURRENT);

  // ifindrec walks the equal keys (Ann, ann, ann) to the very record.
  EXPECT_EQ(ifindrec(db_, by_city_, values(recs[2]).get()), 2);
  EXPECT_EQ(current(by_city_), recs[2]);
  Rec missing = recs[2];
  missing.amount = 9;
  EXPECT_EQ(ifindrec(db_, by_city_, values(missing).get()), 3);
  EXPECT_EQ(current(by_city_), recs[3]);

  // Marks (none yet: the B-tree's code says so); the physical index refuses
  // everything but head and next.
  EXPECT_EQ(ifindmark(db_, by_city_), -1);
  EXPECT_EQ(std::make_pair(isam_errno, cberrcode),
            std::make_pair(int32_t{ISERR_CBT}, int32_t{CBERR_NO_MARK}));
  ASSERT_EQ(ifindkey(db_, by_city_, ann), 2);
  ASSERT_EQ(imarkrec(db_, by_city_), 1);
  ASSERT_EQ(ifindhead(db_, by_city_), 1);
  EXPECT_EQ(ifindmark(db_, by_city_), 1);
  EXPECT_EQ(current(by_city_).id, 1);
  char *none[] = {nullptr};
  const std::vector<int32_t> refused{
      ifindtail(db_, physical_),      ifindprev(db_, physical_),
      ifindkey(db_, physical_, none), ifindrec(db_, physical_, none),
      imarkrec(db_, physical_),       ifindmark(db_, physical_)};
  EXPECT_EQ(refused, std::vector<int32_t>(6, -1));
  EXPECT_EQ(isam_errno, ISERR_NOT_FOR_INDEX);
}

TEST_F(RecordsTest, OversizedRecordsAndDamagedFilesGiveErrorsAndWriteNothing) {
  const std::string big(33000, 'x');
  EXPECT_EQ(add({big, 1, 1.0, "Oslo"}), -1);
  EXPECT_EQ(isam_errno, ISERR_DATA_TOO_LARGE);
  EXPECT_EQ(data_size(), static_cast<size_t>(db_->data_start));
  EXPECT_EQ(iaddrec(db_, nullptr, nullptr), -1);
  EXPECT_EQ(isam_errno, ISERR_NULL_ARG);
  ASSERT_EQ(add({"one", 1, 1.0, "Oslo"}), 1);
  ASSERT_EQ(add({"two", 2, 2.0, "Oslo"}), 1);
  const int32_t second = db_->data_start + 2 + 21;  // "one": 4 + 4 + 8 + 5
  // Index entries of byId pointing into the header, into the middle of a
  // slot's content, and past the end (entered while the database is the
  // current one, so that they sort as ids).
  for (const int32_t at : {1, second + 6, second + 400}) {
    const std::string key = std::string(1, '\1') + stored(at + 100);
    ASSERT_EQ(cbinsert(by_id_->tree, key.data(), 5, at, 0), 1);
  }
  ASSERT_EQ(iclose_db(db_), 1);
  const size_t full = read_file(path("t.db")).size();
  struct Damage {
    const char *what;
    int32_t id;
    size_t truncate_to;   // 0: keep the length
    int16_t second_word;  // 0: keep it
  };
  const Damage cases[] = {
      {"entry into the header", 101, 0, 0},
      {"entry into a slot", second + 106, 0, 0},
      {"entry past the end", second + 500, 0, 0},
      {"file ends inside the slot", 2, full - 5, 0},
      {"word runs past the end", 2, 0, 3000},
  };
  const std::vector<uint8_t> pristine = read_file(path("t.db"));
  for (const Damage &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> bytes = pristine;
    if (c.truncate_to != 0) bytes.resize(c.truncate_to);
    if (c.second_word != 0) {
      put_ne16(bytes.data() + second, c.second_word);
    }
    write_file(path("t.db"), bytes);
    db_ = iopen_db(path("t").c_str());
    ASSERT_NE(db_, nullptr);
    by_id_ = ihandle(db_, "byId,U");
    const std::vector<uint8_t> idx = read_file(path("t.idx"));
    ASSERT_EQ(find_id(c.id), 2);
    char buffer[64];
    char *f[5];
    EXPECT_EQ(igetrec(db_, by_id_, f, buffer, sizeof buffer), -1);
    const int32_t read_error = isam_errno;
    EXPECT_TRUE(read_error == ISERR_IO || read_error == ISERR_INDEX_CORRUPT)
        << read_error;
    EXPECT_EQ(imodrec(db_, by_id_, values({"new", 9, 9.0, "X"}).get()), -1);
    EXPECT_EQ(isam_errno, read_error);
    EXPECT_EQ(idelrec(db_, by_id_), -1);
    EXPECT_EQ(isam_errno, read_error);
    ASSERT_EQ(iclose_db(db_), 1);
    EXPECT_EQ(read_file(path("t.db")), bytes);
    EXPECT_EQ(read_file(path("t.idx")), idx);
  }
}
}  // namespace
}  // namespace recbase::test
