// The record layer against an in-memory model: a database of six field
// types with a unique index, an index over part of a text field and an index
// with duplicate keys. Seeded random adds, modifies (same size, shrunk in
// place or split, grown so that the record moves, a key changed, a unique
// key refused) and deletes, each reached through a different index; after
// every step every index is walked forward and backward and its entries
// compared with the model, key bytes and record positions included. Every
// few steps the records themselves, the data file's slots and the free-space
// keys are compared too. The run ends with close, reopen and a last compare.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "tests/isam/isam_support.h"
#include "tests/isam/record_check.h"
#include "tests/support/scale.h"

namespace recbase::test {
namespace {

using Bytes = std::vector<uint8_t>;

const Strings kFields = {"name", "code,C",  "qty,I",
                         "id,L", "price,D", "tag,B4"};
// The smallest record: two empty texts and the four fixed fields.
constexpr int32_t kFixedBytes = 2 + 4 + 8 + 4;
constexpr int32_t kMinRecord = 2 + 1 + 1 + kFixedBytes;
constexpr int kByName = 2;  // index numbers
constexpr int kByCode = 3;
constexpr int kById = 1;

struct Rec {
  std::string name, code;
  int16_t qty = 0;
  int32_t id = 0;
  double price = 0;
  std::array<char, 4> tag{};

  int32_t length() const {
    return static_cast<int32_t>(name.size() + code.size() + 2) + kFixedBytes;
  }
  // The values in their stored form, by field number.
  Record fields() const {
    return {name,       code,          stored(qty),
            stored(id), stored(price), std::string(tag.data(), tag.size())};
  }
  bool operator==(const Rec &o) const {
    return name == o.name && code == o.code && qty == o.qty && id == o.id &&
           price == o.price && tag == o.tag;
  }
};

Rec parse(const char *p) {
  Rec r;
  r.name = p;
  p += r.name.size() + 1;
  r.code = p;
  p += r.code.size() + 1;
  std::memcpy(&r.qty, p, 2);
  std::memcpy(&r.id, p + 2, 4);
  std::memcpy(&r.price, p + 6, 8);
  std::memcpy(r.tag.data(), p + 14, 4);
  return r;
}

std::string fold(std::string s) {
  for (char &c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

// The name index holds characters 1 to 4 of the name, then qty.
std::string name_part(const std::string &name) {
  return name.size() <= 1 ? std::string() : name.substr(1, 4);
}

template <typename T>
void append(Bytes &b, T v) {
  const auto *p = reinterpret_cast<const uint8_t *>(&v);
  b.insert(b.end(), p, p + sizeof v);
}

// An index entry: its key bytes and the record position.
//
// The name index compares its text without regard to case, and a modify
// whose new key differs from the old one only in case leaves the entry as
// it was (the B-tree stores no key equal to the old one), so that text is
// compared folded.
struct Entry {
  Bytes key;
  int32_t pos;
  bool operator==(const Entry &o) const {
    if (pos != o.pos || key.size() != o.key.size()) return false;
    for (size_t i = 0; i < key.size(); ++i) {
      const bool text = key[0] == kByName && i > 0 && i + 2 < key.size();
      const auto low = [](uint8_t c) {
        return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
      };
      if (text ? low(key[i]) != low(o.key[i]) : key[i] != o.key[i]) {
        return false;
      }
    }
    return true;
  }
};

std::string show(const std::vector<Entry> &entries) {
  std::string out;
  for (const Entry &e : entries) {
    out += "[";
    for (uint8_t c : e.key) {
      out += c >= 'A' && c <= 'z' ? std::string(1, static_cast<char>(c))
                                  : "\\" + std::to_string(c);
    }
    out += " @" + std::to_string(e.pos) + "] ";
  }
  return out;
}

Bytes key_bytes(int index, const Rec &r) {
  Bytes b{static_cast<uint8_t>(index)};
  const std::string text = index == kByName ? name_part(r.name) : r.code;
  if (index != kById) {
    b.insert(b.end(), text.begin(), text.end());
    b.push_back(0);
  }
  if (index == kById) append(b, r.id);
  if (index == kByName) append(b, r.qty);
  if (index == kByCode) append(b, r.price);
  return b;
}

// The order of the index: its keys as the key comparison sees them, then
// the position.
bool before(int index, const Rec &a, int32_t pa, const Rec &b, int32_t pb) {
  if (index == kById) return std::tie(a.id, pa) < std::tie(b.id, pb);
  if (index == kByName) {
    const std::string fa = fold(name_part(a.name)),
                      fb = fold(name_part(b.name));
    return std::tie(fa, a.qty, pa) < std::tie(fb, b.qty, pb);
  }
  return std::tie(a.code, a.price, pa) < std::tie(b.code, b.price, pb);
}

struct Config {
  const char *label;
  int32_t block_size;
  int32_t pool_count;
  int32_t pool_size;
  bool shared;
  int ops;
  int population;  // the record count the run drifts around
  uint32_t seed;
};

const Config kConfigs[] = {
    {"exclusive_blocks_512", 512, 16, 512, false, 20000, 25, 14},
    {"exclusive_blocks_128_small_pool", 128, 6, 256, false, 1500, 50, 15},
    {"shared_blocks_256", 256, 32, 512, true, 300, 12, 16},
};

void PrintTo(const Config &c, std::ostream *out) { *out << c.label; }

class ModelTest : public IsamTest,
                  public ::testing::WithParamInterface<Config> {
 protected:
  void SetUp() override {
    cb_set_flush(1, 1);
    ASSERT_EQ(isaminit(cfg_.pool_count, cfg_.pool_size), 1);
    IsamDb *db = create("m", kFields, cfg_.block_size);
    ASSERT_NE(db, nullptr);
    ASSERT_EQ(iclose_db(db), 1);
    ASSERT_TRUE(add_descriptor("m", "byid,U", {"id,L"}, kById));
    ASSERT_TRUE(add_descriptor("m", "byname", {"NAME:1,4", "qty,I"}, kByName));
    ASSERT_TRUE(add_descriptor("m", "bycode", {"code,C", "price,D"}, kByCode));
    open();
  }
  void TearDown() override { cb_set_flush(1, 0); }

  void open() {
    db_ = iopen_db_shared(path("m").c_str(), cfg_.shared, 0);
    ASSERT_NE(db_, nullptr);
    ASSERT_EQ(isam_errno, 0);
    ix_[kById] = ihandle(db_, "BYID,u");
    ix_[kByName] = ihandle(db_, "byname");
    ix_[kByCode] = ihandle(db_, "bycode");
    ix_[0] = ihandle(db_, iphysical);
    for (IsamIndex *ix : ix_) ASSERT_NE(ix, nullptr);
  }

  // The entry under an ordinary index's cursor.
  static Entry at_cursor(IsamIndex *ix) {
    int32_t len = 0, item = 0;
    EXPECT_EQ(cbkeylen(ix->tree, &len), 1);
    Bytes key(static_cast<size_t>(len));
    EXPECT_EQ(cbkey(ix->tree, key.data(), len), 1);
    EXPECT_EQ(cbcurr(ix->tree, &item), 1);
    return {key, item};
  }

  // Every entry of the index through ifindhead/ifindnext, and again through
  // ifindtail/ifindprev, which must give the same entries reversed.
  std::vector<Entry> walk(int index) {
    IsamIndex *ix = ix_[index];
    std::vector<Entry> fwd, back;
    int32_t r = ifindhead(db_, ix);
    for (; r == 1 && fwd.size() <= model_.size(); r = ifindnext(db_, ix)) {
      fwd.push_back(at_cursor(ix));
    }
    EXPECT_EQ(r, -3) << "index " << index << " isam_errno " << isam_errno;
    EXPECT_EQ(ifindnext(db_, ix), -3);
    r = ifindtail(db_, ix);
    for (; r == 1 && back.size() <= model_.size(); r = ifindprev(db_, ix)) {
      back.push_back(at_cursor(ix));
    }
    EXPECT_EQ(r, -2) << "index " << index << " isam_errno " << isam_errno;
    EXPECT_EQ(ifindprev(db_, ix), -2);
    std::reverse(back.begin(), back.end());
    EXPECT_TRUE(fwd == back) << "index " << index << " differs backward";
    return fwd;
  }

  // The entries the model says the index holds, in order.
  std::vector<Entry> expected(int index) const {
    std::vector<std::pair<const Rec *, int32_t>> recs;
    for (const auto &[id, rec] : model_) recs.emplace_back(&rec, pos_.at(id));
    std::sort(recs.begin(), recs.end(), [index](const auto &a, const auto &b) {
      return before(index, *a.first, a.second, *b.first, b.second);
    });
    std::vector<Entry> out;
    for (const auto &[rec, pos] : recs)
      out.push_back({key_bytes(index, *rec), pos});
    return out;
  }

  // Compares every index with the model. The unique index tells each
  // record's position; the others must hold the same positions.
  void check_indexes(bool physical = true) {
    const std::vector<Entry> ids = walk(kById);
    ASSERT_EQ(ids.size(), model_.size());
    pos_.clear();
    auto m = model_.begin();
    for (const Entry &e : ids) {
      ASSERT_EQ(e.key, key_bytes(kById, m->second));
      pos_[m->first] = e.pos;
      ++m;
    }
    for (int index : {kByName, kByCode}) {
      const std::vector<Entry> got = walk(index), want = expected(index);
      ASSERT_TRUE(got == want) << "index " << index << "\n got: " << show(got)
                               << "\nwant: " << show(want);
    }
    // The Physical Index: every record once, in file order. Its walk reads
    // every slot and free area, so the run takes it every few steps only.
    if (!physical) return;
    std::vector<int32_t> file_order, want;
    int32_t r = ifindhead(db_, ix_[0]);
    for (; r == 1 && file_order.size() <= model_.size();
         r = ifindnext(db_, ix_[0])) {
      file_order.push_back(db_->physical_position);
    }
    ASSERT_EQ(r, -3);
    EXPECT_EQ(db_->physical_position, 0);
    for (const auto &[id, pos] : pos_) want.push_back(pos);
    std::sort(want.begin(), want.end());
    ASSERT_EQ(file_order, want);
  }

  // The current record of ix, read with igetrec.
  bool current(IsamIndex *ix, Rec *out) {
    char buf[256];
    std::vector<char *> f(kFields.size() + 1, nullptr);
    const int32_t r = igetrec(db_, ix, f.data(), buf, sizeof buf);
    if (r != 1) return false;
    *out = parse(f[0]);
    EXPECT_EQ(f[kFields.size()], nullptr);
    return true;
  }

  // Every record read through the unique index; the data file walked slot
  // by slot; every free area against its two free-space keys.
  void check_records_and_space() {
    Rec got;
    int32_t r = ifindhead(db_, ix_[kById]);
    for (const auto &[id, rec] : model_) {
      ASSERT_EQ(r, 1);
      ASSERT_TRUE(current(ix_[kById], &got));
      ASSERT_TRUE(got == rec) << "record " << id;
      r = ifindnext(db_, ix_[kById]);
    }
    ASSERT_EQ(r, -3);

    ASSERT_EQ(iflush_db(db_), 1);
    const Slots slots = read_slots(path("m.db"));
    ASSERT_EQ(slots.fault, "");
    ASSERT_EQ(slots.records.size(), model_.size());
    for (const auto &[id, pos] : pos_) {
      ASSERT_EQ(slots.records.count(pos), 1u);
      const Bytes &content = slots.records.at(pos);
      ASSERT_GE(static_cast<int32_t>(content.size()), model_[id].length());
      ASSERT_TRUE(parse(reinterpret_cast<const char *>(content.data())) ==
                  model_[id]);
    }
    const FreeKeys keys = read_free_keys(db_);
    ASSERT_EQ(keys.last_result, -3);
    EXPECT_EQ(keys.by_position, slots.free_areas);
    EXPECT_EQ(keys.by_size, slots.free_areas);
  }

  // Puts ix on the record id, each kind of index its own way.
  void go_to(int index, int32_t id) {
    Rec rec = model_.at(id), got;
    IsamIndex *ix = ix_[index];
    if (index == kById) {
      char *key[] = {reinterpret_cast<char *>(&rec.id), nullptr};
      ASSERT_EQ(ifindkey(db_, ix, key), 2);
    } else if (index == kByCode) {
      ASSERT_EQ(ifindrec(db_, ix, rec.fields().get()), 2);
    } else if (index == kByName) {
      // The whole key finds the first of its equals; walk on to the record.
      char *key[] = {rec.name.data(), reinterpret_cast<char *>(&rec.qty),
                     nullptr};
      ASSERT_EQ(ifindkey(db_, ix, key), 2);
      while (current(ix, &got) && got.id != id)
        ASSERT_EQ(ifindnext(db_, ix), 1);
    } else {
      ASSERT_EQ(ifindhead(db_, ix), 1);
      while (db_->physical_position != pos_.at(id)) {
        ASSERT_EQ(ifindnext(db_, ix), 1);
      }
    }
    ASSERT_TRUE(current(ix, &got));
    ASSERT_TRUE(got == rec);
  }

  std::string text(size_t len) {
    static const char kLetters[] = "aAbBcC";
    std::string s;
    for (size_t i = 0; i < len; ++i) s += kLetters[rng_() % 6];
    return s;
  }
  int32_t pick_id() {
    auto it = model_.begin();
    std::advance(it, rng_() % model_.size());
    return it->first;
  }
  int32_t fresh_id() {
    int32_t id;
    do {
      id = static_cast<int32_t>(rng_() % 2000001) - 1000000;
    } while (model_.count(id) != 0);
    return id;
  }
  void randomize(Rec &r, size_t name_len, size_t code_len) {
    static const double kPrices[] = {-1.5, 0, 2.25, 1e6};
    r.name = text(name_len);
    r.code = std::string(code_len, "xyZ"[rng_() % 3]);
    r.qty = static_cast<int16_t>(static_cast<int>(rng_() % 7) - 3);
    r.price = kPrices[rng_() % 4];
    for (char &c : r.tag) c = static_cast<char>(rng_());
  }

  void add(int index) {
    Rec rec;
    randomize(rec, rng_() % 41, 1 + rng_() % 3);
    const bool dup = !model_.empty() && rng_() % 20 == 0;
    rec.id = dup ? pick_id() : fresh_id();
    const int32_t r =
        iaddrec(db_, index < 0 ? nullptr : ix_[index], rec.fields().get());
    if (dup) {
      // The unique index refuses it and nothing of it stays (the slot
      // check and the walks prove it).
      ASSERT_EQ(r, -1);
      ASSERT_EQ(isam_errno, ISERR_CBT);
      ++seen_["refused add"];
      return;
    }
    ASSERT_EQ(r, 1) << "isam_errno " << isam_errno;
    model_[rec.id] = rec;
    if (index >= 0) {
      Rec got;
      ASSERT_TRUE(current(ix_[index], &got));
      ASSERT_TRUE(got == rec);
    }
    ++seen_["add"];
  }

  void modify(int index) {
    const int32_t id = pick_id();
    go_to(index, id);
    Rec rec = model_[id];
    const int32_t old_pos = pos_[id];
    uint16_t old_slot = 0;
    ASSERT_EQ(igetreclen(db_, ix_[index], &old_slot), 1);
    const int kind = static_cast<int>(rng_() % 5);
    const char *what = "same size";
    if (kind == 0) {
      randomize(rec, rec.name.size(), rec.code.size());
    } else if (kind == 1) {
      randomize(rec, rng_() % (rec.name.size() + 1), 1);
      what = "smaller";
    } else if (kind == 2) {
      randomize(rec, rec.name.size() + 1 + rng_() % 30, rec.code.size());
      what = "larger";
    } else {
      const bool dup = kind == 4 && model_.size() > 1;
      rec.id = dup ? pick_id() : fresh_id();
      what = rec.id == id ? "same size" : dup ? "refused modify" : "new id";
    }
    const int32_t r = imodrec(db_, ix_[index], rec.fields().get());
    if (std::string(what) == "refused modify") {
      ASSERT_EQ(r, -1);
      ASSERT_EQ(isam_errno, ISERR_CBT);
      ++seen_[what];
      return;
    }
    ASSERT_EQ(r, 1) << "isam_errno " << isam_errno;
    model_.erase(id);
    model_[rec.id] = rec;
    go_to(kById, rec.id);
    uint16_t slot = 0;
    ASSERT_EQ(igetreclen(db_, ix_[kById], &slot), 1);
    const int32_t pos = at_cursor(ix_[kById]).pos;
    const int32_t len = rec.length();
    if (len > old_slot) {
      // It moved into a new slot of at least its length.
      ASSERT_NE(pos, old_pos);
      ASSERT_GE(slot, len);
      ++seen_["moved"];
    } else {
      // It stayed, split off the rest unless that would be too small.
      ASSERT_EQ(pos, old_pos);
      const bool split = len + std::max(kMinRecord - 2, 2) < old_slot;
      ASSERT_EQ(slot, split ? len : old_slot);
      ++seen_[split ? "split" : what];
    }
    pos_.erase(id);
    pos_[rec.id] = pos;
  }

  void remove(int index) {
    const int32_t id = pick_id();
    go_to(index, id);
    // The entry that follows the deleted one, where the index is left.
    std::vector<Entry> order;
    if (index != 0) {
      order = expected(index);
    } else {
      for (const auto &[i, pos] : pos_) order.push_back({{}, pos});
      std::sort(order.begin(), order.end(),
                [](const Entry &a, const Entry &b) { return a.pos < b.pos; });
    }
    const Bytes key = index == 0 ? Bytes{} : key_bytes(index, model_[id]);
    const auto gone =
        std::find(order.begin(), order.end(), Entry{key, pos_[id]});
    ASSERT_NE(gone, order.end());
    ASSERT_EQ(idelrec(db_, ix_[index]), 1) << "isam_errno " << isam_errno;
    model_.erase(id);
    pos_.erase(id);
    if (gone + 1 == order.end()) {
      Rec got;
      EXPECT_FALSE(current(ix_[index], &got));
      EXPECT_EQ(ix_[index]->state, -3);
    } else if (index == 0) {
      EXPECT_EQ(db_->physical_position, gone[1].pos);
    } else {
      EXPECT_TRUE(at_cursor(ix_[index]) == gone[1]);
    }
    ++seen_["delete"];
  }

  // A partial key of the name index finds the first entry at or after it.
  void find_partial() {
    Rec probe;
    randomize(probe, rng_() % 6, 1);
    char *key[] = {probe.name.data(), nullptr, nullptr};
    const int32_t r = ifindkey(db_, ix_[kByName], key);
    ASSERT_EQ(r, 3);
    const std::vector<Entry> order = expected(kByName);
    const std::string want = fold(name_part(probe.name));
    const auto first =
        std::find_if(order.begin(), order.end(), [&](const Entry &e) {
          const char *t = reinterpret_cast<const char *>(&e.key[1]);
          return fold(t) >= want;
        });
    if (first == order.end()) {
      EXPECT_EQ(ix_[kByName]->state, -3);
    } else {
      EXPECT_TRUE(at_cursor(ix_[kByName]) == *first);
    }
    ++seen_["partial find"];
  }

  Config cfg_ = GetParam();
  IsamDb *db_ = nullptr;
  IsamIndex *ix_[4] = {};
  std::map<int32_t, Rec> model_;
  std::map<int32_t, int32_t> pos_;  // id -> record position
  std::map<std::string, int> seen_;
  std::mt19937 rng_{cfg_.seed};
};

TEST_P(ModelTest, RandomOperationsKeepEveryIndexEqualToTheModel) {
  check_indexes();
  // RECBASE_TEST_SCALE=k: a k-th of the steps, but past the first climb of
  // the population and into its drain.
  const int ops = scaled(cfg_.ops, 1200);
  for (int step = 0; step < ops; ++step) {
    // The population climbs to twice the target, then drains towards empty.
    const int target = (step / 1000) % 2 == 0 ? 2 * cfg_.population : 0;
    const int size = static_cast<int>(model_.size());
    const int index = static_cast<int>(rng_() % 4);
    const unsigned dice = rng_() % 100;
    if (size == 0 || dice < (size < target ? 40u : 10u)) {
      ASSERT_NO_FATAL_FAILURE(add(dice % 5 == 0 ? -1 : index));
    } else if (dice < 70) {
      ASSERT_NO_FATAL_FAILURE(modify(index));
    } else if (dice < 95) {
      ASSERT_NO_FATAL_FAILURE(remove(index));
    } else {
      ASSERT_NO_FATAL_FAILURE(find_partial());
    }
    ASSERT_NO_FATAL_FAILURE(check_indexes(index == 0 || step % 8 == 0))
        << "step " << step;
    if (step % 97 == 0) {
      ASSERT_NO_FATAL_FAILURE(check_records_and_space()) << "step " << step;
    }
  }
  for (const char *kind :
       {"add", "refused add", "same size", "smaller", "split", "moved",
        "new id", "refused modify", "delete", "partial find"}) {
    EXPECT_GT(seen_[kind], 0) << kind;
  }
  ASSERT_EQ(iclose_db(db_), 1);
  open();
  check_indexes();
  check_records_and_space();
}

INSTANTIATE_TEST_SUITE_P(Configs, ModelTest, ::testing::ValuesIn(kConfigs),
                         [](const auto &info) { return info.param.label; });

}  // namespace
}  // namespace recbase::test
