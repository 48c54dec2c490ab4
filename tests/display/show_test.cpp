// The display routines, through a print routine of the test's own that
// keeps every piece: the texts and number formats of each field type, the
// separators, the handle checks, and showdb's walk over the file and over
// an index, its messages when the walk fails, and the index put back on
// its record afterwards.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "tests/isam/isam_support.h"
#include "tests/support/fault_injection.h"

namespace recbase::test {
namespace {

Strings g_printed;
int32_t g_print_result = 1;

int32_t RBCALL capture(const char *text) {
  g_printed.emplace_back(text != nullptr ? text : "(null)");
  return g_print_result;
}

std::string joined(const Strings &pieces) {
  std::string all;
  for (const std::string &p : pieces) all += p;
  return all;
}

// A record's values in their stored form.
Strings record(const std::string &name, const std::string &code, int16_t i,
               uint16_t u, int32_t l, float f, double d,
               const std::string &bin) {
  return {name,      code,      stored(i), stored(u),
          stored(l), stored(f), stored(d), bin};
}

// A record of the test database; the line showrec prints for it with the
// separator "|"; the pieces show_key prints for its entry of "all".
struct Row {
  Strings values;
  std::string shown;
  Strings key;
};
const std::vector<Row> kRows = {
    {record("bravo", "Xy", -5, 65535, -70000, 1.5f, 2.25,
            std::string("\x0A\xFF\x00", 3)),
     "bravo|Xy|-5|65535|-70000|1.5|2.25|\\x0A\\xFF\\x00|\n",
     {"ra", "Xy", "-5", "65535", "-70000", "1.50", "2.25", "BINARY:3"}},
    {record("alpha", "ab", 7, 0, 123456, -0.25f, 1e20, "\x01\x02\x03"),
     "alpha|ab|7|0|123456|-0.25|1E+20|\\x01\\x02\\x03|\n",
     {"lp", "ab", "7", "0", "123456", "-0.25", "100000000000000000000.00",
      "BINARY:3"}},
    {record("c", "", -32768, 1, 0, 0.0f, 0.1, std::string(3, '\0')),
     "c||-32768|1|0|0|0.1|\\x00\\x00\\x00|\n",
     {"", "", "-32768", "1", "0", "0.00", "0.10", "BINARY:3"}},
};
const Strings kFields = {"name", "code,C", "i,I", "u,U",
                         "l,L",  "f,F",    "d,D", "bin,B3"};
// Every type, and a text key field cut to characters 1 and 2.
const Strings kAllSpecs = {"name:1,2", "code,C", "i,I", "u,U",
                           "l,L",      "f,F",    "d,D", "bin,B3"};

// The line of row k with the separator sep.
std::string line(size_t k, const std::string &sep) {
  std::string out;
  for (const char c : kRows[k].shown) out += c == '|' ? sep : std::string(1, c);
  return out;
}

class ShowTest : public IsamTest {
 protected:
  ~ShowTest() override {
    cbset_print(previous_);
    g_lock_settings = LockSettings{};
    isam::g_record_lock_settings = LockSettings{};
  }

  // The database t with kRows in this order and the indexes "byName" and
  // "all"; the print routine captures from here on.
  void make_database() {
    db_ = create("t", kFields);
    ASSERT_NE(db_, nullptr);
    for (const Row &r : kRows) {
      ASSERT_EQ(iaddrec(db_, nullptr, Record(r.values).get()), 1);
    }
    const char *by_name[] = {"name", nullptr};
    ASSERT_EQ(imkindex(db_, "byName", by_name), 1);
    ASSERT_EQ(imkindex(db_, "all", Record(kAllSpecs).get()), 1);
    capture_output();
  }
  void capture_output() {
    previous_ = cbset_print(capture);
    g_printed.clear();
    g_print_result = 1;
  }
  IsamIndex *index(const char *name) { return ihandle(db_, name); }
  // Puts ix on the record named name.
  void go_to(IsamIndex *ix, const std::string &name) {
    char *values[] = {const_cast<char *>(name.c_str()), nullptr};
    ASSERT_EQ(ifindkey(db_, ix, values), 2);
  }
  // The name of ix's current record, or "" when it is on none.
  std::string current_name(IsamIndex *ix) {
    char *fields[16];
    char buffer[256];
    return igetrec(db_, ix, fields, buffer, sizeof buffer) == 1 ? fields[0]
                                                                : "";
  }

  IsamDb *db_ = nullptr;
  RbPrint previous_ = nullptr;
};

// Each routine's pieces and result, and isam_errno (99 before the call:
// all but iputs and showrec clear it); then bad handles and keys, which
// print nothing.
TEST_F(ShowTest, EachRoutinePrintsItsPiecesAndChecksItsHandles) {
  ASSERT_NO_FATAL_FAILURE(make_database());
  IsamIndex *all = index("all");
  IsamIndex *by_name = index("byName");
  IsamDb *other = create("other", {"x"});
  ASSERT_NE(other, nullptr);
  IsamIndex *foreign = ihandle(other, "Physical Index");
  // The stored keys of "all", in key order: rows 2, 1, 0 (by "", "lp", "ra").
  std::vector<std::vector<uint8_t>> keys;
  for (int32_t r = ifindhead(db_, all); r == 1; r = ifindnext(db_, all)) {
    keys.emplace_back(512);
    ASSERT_EQ(cbkey(all->tree, keys.back().data(), 512), 1);
  }
  ASSERT_EQ(keys.size(), 3u);  // and t is the current database
  capture_output();
  // Each text of list followed by sep, then "\n".
  auto list = [](const Strings &texts, const std::string &sep) {
    Strings out;
    for (const std::string &t : texts) out.insert(out.end(), {t, sep});
    out.push_back("\n");
    return out;
  };
  const Record p0(kRows[0].values);
  char *const *rec0 = p0.get();
  const std::vector<const char *> texts = {"a", "b,L", nullptr};
  char *const *rec_texts = const_cast<char *const *>(texts.data());

  struct Case {
    const char *what;
    std::function<int32_t()> call;
    Strings printed;
    int32_t result, err;
  };
  const Strings binary = {
      "bravo", "|", "Xy",   "|", "-5",    "|",     "65535", "|", "-70000", "|",
      "1.5",   "|", "2.25", "|", "\\x0A", "\\xFF", "\\x00", "|", "\n"};
  // show_key of the stored key k of "all".
  const auto key_of = [&](size_t k, const char *sep) {
    return [&, k, sep] { return show_key(db_, all, keys[k].data(), sep); };
  };
  const std::vector<Case> cases = {
      // clang-format off
      {"iputs: the routine's result", [] { return iputs("abc"); }, {"abc"}, 7,
       99},
      {"iputs: NULL passed on", [] { return iputs(nullptr); }, {"(null)"}, 7,
       99},
      {"definitions", [&] { return showfldnames(db_, nullptr); },
       list(kFields, "\n"), 1, 0},
      {"definitions, sep", [&] { return showfldnames(db_, ", "); },
       list(kFields, ", "), 1, 0},
      {"index names, newest first", [&] { return showindexnames(db_, "/"); },
       list({"all", "byName", "Physical Index"}, "/"), 1, 0},
      {"key fields, a cut text", [&] { return showdesc(db_, all, "|"); },
       list(kAllSpecs, "|"), 1, 0},
      {"Physical Index", [&] { return showdesc(db_, nullptr, nullptr); },
       list(kFields, "\n"), 1, 0},
      {"a key of each type", key_of(2, "|"), list(kRows[0].key, "|"), 1, 0},
      {"a large double", key_of(1, nullptr), list(kRows[1].key, "\n"), 1, 0},
      {"an empty cut text", key_of(0, "|"), list(kRows[2].key, "|"), 1, 0},
      {"a record: a piece per byte of binary",
       [&] { return showrec(rec0, "|"); }, binary, 1, 99},
      {"no record", [] { return showrec(nullptr, "|"); }, {"\n"}, 1, 99},
      // clang-format on
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    g_printed.clear();
    g_print_result = 7;
    isam_errno = 99;
    EXPECT_EQ(c.call(), c.result);
    EXPECT_EQ(isam_errno, c.err);
    EXPECT_EQ(g_printed, c.printed);
  }

  auto *stale = reinterpret_cast<IsamDb *>(&keys);  // no database
  const uint8_t *key = keys[0].data();
  const std::vector<std::pair<std::function<int32_t()>, int32_t>> bad = {
      {[&] { return show_key(db_, by_name, key, "|"); }, 2},  // another's key
      {[&] { return show_key(db_, nullptr, key, "|"); }, 2},
      {[&] { return show_key(db_, foreign, key, "|"); }, 2},
      {[&] { return show_key(db_, all, nullptr, "|"); }, 35},
      {[&] { return showdesc(db_, foreign, "|"); }, 2},
      {[&] { return showdb(db_, foreign, "|"); }, 2},
      {[&] { return showfldnames(stale, "|"); }, 1},
      {[&] { return showindexnames(stale, "|"); }, 1},
      {[&] { return showdesc(stale, nullptr, "|"); }, 1},
      {[&] { return show_key(stale, all, key, "|"); }, 1},
      {[&] { return showdb(stale, nullptr, "|"); }, 1},
  };
  for (size_t i = 0; i < bad.size(); ++i) {
    SCOPED_TRACE(i);
    g_printed.clear();
    EXPECT_EQ(bad[i].first(), -1);
    EXPECT_EQ(isam_errno, bad[i].second);
    EXPECT_EQ(g_printed, Strings{});
  }
  // Values beyond the current database's fields (other has one), and all
  // values once there is no current database, print as text.
  EXPECT_EQ(ifindhead(other, foreign), -3);
  for (const bool closed : {false, true}) {
    if (closed) {
      ASSERT_EQ(iclose_db(other), 1);
      ASSERT_EQ(iclose_db(db_), 1);
      EXPECT_EQ(showdb(db_, nullptr, "|"), -1);
      EXPECT_EQ(isam_errno, 1);
    }
    g_printed.clear();
    EXPECT_EQ(showrec(rec_texts, nullptr), 1);
    EXPECT_EQ(g_printed, list({"a", "b,L"}, "\n"));
  }
}

// The walk over the file and over an index; an empty database; an index
// on a record is put back on it; a damaged index entry stops the walk with
// its message.
TEST_F(ShowTest, ShowdbWalksTheIndexAndPutsItBack) {
  IsamDb *empty = create("empty", {"x"});
  ASSERT_NE(empty, nullptr);
  const char *x[] = {"x", nullptr};
  ASSERT_EQ(imkindex(empty, "byX", x), 1);
  ASSERT_NO_FATAL_FAILURE(make_database());
  IsamIndex *by_name = index("byName");
  ASSERT_NE(by_name, nullptr);
  for (IsamIndex *ix :
       {ihandle(empty, "byX"), static_cast<IsamIndex *>(nullptr)}) {
    g_printed.clear();
    EXPECT_EQ(showdb(empty, ix, "|"), 1);
    EXPECT_EQ(g_printed, Strings{});
  }
  g_printed.clear();
  EXPECT_EQ(showdb(db_, nullptr, "|"), 1);
  EXPECT_EQ(joined(g_printed), line(0, "|") + line(1, "|") + line(2, "|"));
  go_to(by_name, "bravo");
  isam_errno = 99;
  g_printed.clear();
  EXPECT_EQ(showdb(db_, by_name, nullptr), 1);
  EXPECT_EQ(isam_errno, 0);
  EXPECT_EQ(joined(g_printed), line(1, "\n") + line(0, "\n") + line(2, "\n"));
  EXPECT_EQ(current_name(by_name), "bravo");
  EXPECT_EQ(ifindnext(db_, by_name), 1);
  EXPECT_EQ(current_name(by_name), "c");

  // An entry of byName ("bz", between bravo and c) whose record position
  // lies past the end of the data file.
  const auto number = static_cast<char>(by_name->number);
  ASSERT_EQ(iclose_db(db_), 1);
  ASSERT_TRUE(add_key("t", std::string(1, number) + "bz" + '\0', 1 << 20));
  db_ = iopen_db(path("t").c_str());
  ASSERT_NE(db_, nullptr);
  g_printed.clear();
  EXPECT_EQ(showdb(db_, index("byName"), "|"), 1);
  EXPECT_EQ(joined(g_printed),
            line(1, "|") + line(0, "|") + "error reading record\n");
}

// A shared database, with each platform call and allocation of showdb
// failing in turn: the walk prints whole records and then at most one
// message, a user index that the walk could put back is on its record
// again, and no temporary lock stays behind. The three messages all occur.
TEST_F(ShowTest, ShowdbStopsWithAMessageWhenTheWalkFails) {
  ASSERT_NO_FATAL_FAILURE(make_database());
  ASSERT_EQ(iclose_db(db_), 1);
  db_ = iopen_db_shared(path("t").c_str(), 1, 0);
  ASSERT_NE(db_, nullptr);
  // A refused lock is final.
  cblock_timeout(1, 0, 0);
  ilock_timeout(1, 0, 0);
  const Strings endings = {"", "can't lock index\n",
                           "can't get current record\n",
                           "error reading record\n"};
  std::set<std::string> seen;
  IsamIndex *by_name = index("byName");
  ASSERT_NE(by_name, nullptr);
  // Platform call n fails, or allocation n; a reader lock tries other bytes
  // when one is refused, so locks fail from call n on.
  enum Mode { kCall, kLocks, kAlloc };
  for (const Mode mode : {kCall, kLocks, kAlloc}) {
    for (IsamIndex *ix : {by_name, static_cast<IsamIndex *>(nullptr)}) {
      const std::vector<size_t> order = ix != nullptr
                                            ? std::vector<size_t>{1, 0, 2}
                                            : std::vector<size_t>{0, 1, 2};
      for (int64_t n = 1;; ++n) {
        SCOPED_TRACE(std::to_string(mode) + " " + std::to_string(n));
        if (ix != nullptr) go_to(ix, "bravo");
        g_printed.clear();
        int32_t r = 0, err = 0;
        bool fired = false;
        {
          FaultInjector faults;
          if (mode == kAlloc) {
            faults.fail_alloc_at(n);
          } else {
            faults.fail_io_at(n, EIO, mode == kLocks,
                              mode == kLocks ? "lock" : nullptr);
          }
          r = showdb(db_, ix, "|");
          err = isam_errno;
          fired = faults.io_fired() || faults.alloc_fired();
        }
        const std::string out = joined(g_printed);
        std::string whole;
        bool legal = false;
        for (size_t k = 0; k <= 3; ++k) {
          for (const std::string &end : endings) {
            if (out != whole + end) continue;
            legal = true;
            if (!end.empty()) seen.insert(end);
          }
          if (k < 3) whole += line(order[k], "|");
        }
        EXPECT_TRUE(legal) << out;
        EXPECT_TRUE(r == 1 ? err == 0 : r == -1 && err != 0) << r << " " << err;
        EXPECT_EQ(db_->lock_state, 0u);
        if (ix != nullptr && r == 1) {
          EXPECT_EQ(current_name(ix), "bravo");
        }
        if (!fired) {
          EXPECT_EQ(out, whole);
          break;
        }
      }
    }
  }
  EXPECT_EQ(seen, std::set<std::string>(endings.begin() + 1, endings.end()));
}

}  // namespace
}  // namespace recbase::test
