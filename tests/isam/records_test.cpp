// Records, finding and free space through the exported calls: a small model
// run of add, modify and delete walked through every index, free areas
// reused and merged (read back from the index file's size and position
// keys), the buffer rules of the igetrec family, a unique index refusing a
// duplicate, finding by key and by record, and damaged files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "frame/bytes.h"
#include "tests/isam/isam_support.h"

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
  bool operator<(const Rec &o) const {
    return std::tie(id, name, amount, city) <
           std::tie(o.id, o.name, o.amount, o.city);
  }
};

// The stored values of a record and pointers to them.
struct Values {
  explicit Values(const Rec &r)
      : text{r.name, stored(r.id), stored(r.amount), r.city} {
    for (const std::string &t : text)
      ptr.push_back(const_cast<char *>(t.c_str()));
    ptr.push_back(nullptr);
  }
  char *const *get() const { return ptr.data(); }
  Strings text;
  std::vector<char *> ptr;
};

std::string folded(std::string s) {
  for (char &c : s) c = static_cast<char>(isam::fold(static_cast<uint8_t>(c)));
  return s;
}

// Free areas as the index file lists them: position -> size, from the
// position keys, checked against the size keys.
using Areas = std::map<int32_t, int32_t>;

class RecordsTest : public IsamTest {
 protected:
  void SetUp() override {
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
    return iaddrec(db_, ix, Values(r).get());
  }
  // Positions by_id_ on the record with this id.
  int32_t find_id(int32_t id) {
    const std::string v = stored(id);
    char *values[] = {const_cast<char *>(v.data()), nullptr};
    return ifindkey(db_, by_id_, values);
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
  // Every record in the order of ix (forward from the head, or backward
  // from the tail).
  std::vector<Rec> walk(IsamIndex *ix, bool forward = true) {
    std::vector<Rec> out;
    int32_t r = forward ? ifindhead(db_, ix) : ifindtail(db_, ix);
    while (r == 1 && out.size() < 100000) {
      out.push_back(current(ix));
      r = forward ? ifindnext(db_, ix) : ifindprev(db_, ix);
    }
    EXPECT_EQ(r, forward ? -3 : -2) << isam_errno;
    return out;
  }
  Areas areas() {
    Areas by_position;
    std::multimap<int32_t, int32_t> by_size;
    int32_t item = 0;
    int32_t r = cbhead(db_->free_tree, &item);
    for (; r == 1; r = cbnext(db_->free_tree, &item)) {
      uint8_t k[8];
      EXPECT_EQ(cbkey(db_->free_tree, k, sizeof k), 1);
      if (k[0] == 254)
        by_position[static_cast<int32_t>(get_be32(k + 1))] = item;
      if (k[0] == 255) by_size.emplace((k[1] << 8) | k[2], item);
    }
    EXPECT_EQ(by_size.size(), by_position.size());
    for (const auto &[size, position] : by_size) {
      EXPECT_EQ(by_position[position], size) << "size key of " << position;
    }
    return by_position;
  }
  // The free areas found by stepping through the data file from the first
  // slot by the length words; the steps must end exactly at its end.
  Areas file_areas() {
    EXPECT_EQ(iflush_db(db_), 1);
    const std::vector<uint8_t> f = read_file(path("t.db"));
    Areas found;
    size_t p = static_cast<size_t>(db_->data_start);
    while (p + 2 <= f.size()) {
      const int16_t word = get_ne16s(f.data() + p);
      if (word < 0) found[static_cast<int32_t>(p)] = -word;
      p += 2 + static_cast<size_t>(word < 0 ? -word : word);
    }
    EXPECT_EQ(p, f.size());
    return found;
  }
  size_t data_size() {
    EXPECT_EQ(iflush_db(db_), 1);
    return read_file(path("t.db")).size();
  }

  IsamDb *db_ = nullptr;
  IsamIndex *by_id_ = nullptr, *by_city_ = nullptr, *by_name_ = nullptr,
            *physical_ = nullptr;
};

// Walks every index both ways and the data file, and compares them with the
// model: records in index order by their keys, then as sets.
void expect_matches(RecordsTest *t, std::vector<Rec> model,
                    const std::vector<Rec> &phys, const std::vector<Rec> &id_f,
                    const std::vector<Rec> &id_b,
                    const std::vector<Rec> &city_f,
                    const std::vector<Rec> &city_b,
                    const std::vector<Rec> &name_f,
                    const std::vector<Rec> &name_b) {
  (void)t;
  auto sorted = [](std::vector<Rec> v) {
    std::sort(v.begin(), v.end());
    return v;
  };
  auto reversed = [](std::vector<Rec> v) {
    std::reverse(v.begin(), v.end());
    return v;
  };
  model = sorted(model);
  EXPECT_EQ(sorted(phys), model);
  EXPECT_EQ(id_f, model);
  EXPECT_EQ(reversed(id_b), model);
  using CityKey = std::pair<std::string, std::string>;
  using NameKey = std::string;
  auto city_keys = [](const std::vector<Rec> &v) {
    std::vector<CityKey> k;
    for (const Rec &r : v) k.emplace_back(r.city, folded(r.name));
    return k;
  };
  auto name_keys = [](const std::vector<Rec> &v) {
    std::vector<NameKey> k;
    for (const Rec &r : v) k.push_back(folded(r.name.substr(0, 3)));
    return k;
  };
  std::vector<CityKey> ck = city_keys(model);
  std::sort(ck.begin(), ck.end());
  EXPECT_EQ(city_keys(city_f), ck);
  EXPECT_EQ(city_keys(reversed(city_b)), ck);
  EXPECT_EQ(sorted(city_f), model);
  std::vector<NameKey> nk = name_keys(model);
  std::sort(nk.begin(), nk.end());
  EXPECT_EQ(name_keys(name_f), nk);
  EXPECT_EQ(name_keys(reversed(name_b)), nk);
  EXPECT_EQ(sorted(name_b), model);
}

TEST_F(RecordsTest, AddModifyDeleteKeepEveryIndexAndTheDataFileInStep) {
  std::mt19937 rng(14);
  std::map<int32_t, Rec> model;
  const char *cities[] = {"Oslo", "oslo", "Bergen", "Troms\xf8", ""};
  auto random_rec = [&](int32_t id) {
    Rec r;
    r.name = std::string(1 + rng() % 3, static_cast<char>('a' + rng() % 3)) +
             std::string(rng() % 40, static_cast<char>('A' + rng() % 26));
    r.id = id;
    r.amount = static_cast<double>(rng() % 1000) / 8;
    r.city = cities[rng() % 5];
    return r;
  };
  auto check = [&]() {
    EXPECT_EQ(areas(), file_areas());
    std::vector<Rec> m;
    for (const auto &kv : model) m.push_back(kv.second);
    expect_matches(this, m, walk(physical_), walk(by_id_), walk(by_id_, false),
                   walk(by_city_), walk(by_city_, false), walk(by_name_),
                   walk(by_name_, false));
  };
  for (int step = 0; step < 1500; ++step) {
    const int32_t id = static_cast<int32_t>(rng() % 150);
    const bool present = model.count(id) != 0;
    const unsigned op = rng() % 3;
    if (!present || op == 0) {
      const Rec r = random_rec(id);
      ASSERT_EQ(add(r), present ? -1 : 1) << step;
      if (!present) model[id] = r;
    } else if (op == 1) {
      ASSERT_EQ(find_id(id), 2);
      const Rec r = random_rec(id);
      ASSERT_EQ(imodrec(db_, by_id_, Values(r).get()), 1) << isam_errno;
      model[id] = r;
    } else {
      ASSERT_EQ(find_id(id), 2);
      ASSERT_EQ(idelrec(db_, by_id_), 1) << isam_errno;
      model.erase(id);
    }
    if (step % 250 == 0) check();
  }
  check();
  EXPECT_GT(model.size(), 40u);
  EXPECT_GT(areas().size(), 0u);
  ASSERT_EQ(iclose_db(db_), 1);
  db_ = iopen_db(path("t").c_str());
  ASSERT_NE(db_, nullptr);
  by_id_ = ihandle(db_, "byId,U");
  by_city_ = ihandle(db_, "byCity");
  by_name_ = ihandle(db_, "byName3");
  physical_ = ihandle(db_, iphysical);
  check();
}

}  // namespace
}  // namespace recbase::test
