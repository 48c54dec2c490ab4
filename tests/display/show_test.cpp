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

// A record of the test database, with the pieces showrec prints for each
// field (a binary field prints one piece per byte) and the pieces show_key
// prints for its entry of the index "all".
struct Row {
  std::string name, code;
  int16_t i;
  uint16_t u;
  int32_t l;
  float f;
  double d;
  std::string bin;  // 3 bytes
  std::vector<Strings> shown;
  Strings key;
};

const std::vector<Row> kRows = {
    {"bravo",
     "Xy",
     -5,
     65535,
     -70000,
     1.5f,
     2.25,
     std::string("\x0A\xFF\x00", 3),
     {{"bravo"},
      {"Xy"},
      {"-5"},
      {"65535"},
      {"-70000"},
      {"1.5"},
      {"2.25"},
      {"\\x0A", "\\xFF", "\\x00"}},
     {"ra", "Xy", "-5", "65535", "-70000", "1.50", "2.25", "BINARY:3"}},
    {"alpha",
     "ab",
     7,
     0,
     123456,
     -0.25f,
     1e20,
     "\x01\x02\x03",
     {{"alpha"},
      {"ab"},
      {"7"},
      {"0"},
      {"123456"},
      {"-0.25"},
      {"1E+20"},
      {"\\x01", "\\x02", "\\x03"}},
     {"lp", "ab", "7", "0", "123456", "-0.25", "100000000000000000000.00",
      "BINARY:3"}},
    {"c",
     "",
     -32768,
     1,
     0,
     0.0f,
     0.1,
     std::string(3, '\0'),
     {{"c"},
      {""},
      {"-32768"},
      {"1"},
      {"0"},
      {"0"},
      {"0.1"},
      {"\\x00", "\\x00", "\\x00"}},
     {"", "", "-32768", "1", "0", "0.00", "0.10", "BINARY:3"}},
};
const Strings kFields = {"name", "code,C", "i,I", "u,U",
                         "l,L",  "f,F",    "d,D", "bin,B3"};
// Every type, and a text key field cut to characters 1 and 2.
const Strings kAllSpecs = {"name:1,2", "code,C", "i,I", "u,U",
                           "l,L",      "f,F",    "d,D", "bin,B3"};

// The pieces showrec prints for a row.
Strings record_pieces(const Row &row, const std::string &sep) {
  Strings out;
  for (const Strings &field : row.shown) {
    out.insert(out.end(), field.begin(), field.end());
    out.push_back(sep);
  }
  out.push_back("\n");
  return out;
}
std::string line(const Row &row, const std::string &sep) {
  return joined(record_pieces(row, sep));
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
      const Strings v = {r.name,      r.code,      stored(r.i), stored(r.u),
                         stored(r.l), stored(r.f), stored(r.d), r.bin};
      ASSERT_EQ(iaddrec(db_, nullptr, const_cast<char **>(pointers(v).data())),
                1);
    }
    const char *by_name[] = {"name", nullptr};
    ASSERT_EQ(imkindex(db_, "byName", by_name), 1);
    ASSERT_EQ(imkindex(db_, "all", pointers(kAllSpecs).data()), 1);
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

// Each routine's pieces, result and isam_errno (set to 99 before the call:
// all but iputs and showrec clear it), over good and bad handles.
TEST_F(ShowTest, EachRoutinePrintsItsPiecesAndChecksItsHandles) {
  make_database();
  IsamIndex *all = index("all");
  IsamIndex *by_name = index("byName");
  ASSERT_NE(all, nullptr);
  ASSERT_NE(by_name, nullptr);
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
  auto *stale = reinterpret_cast<IsamDb *>(&keys);  // no database
  capture_output();
  auto key_pieces = [](const Row &row, const std::string &sep) {
    Strings out;
    for (const std::string &k : row.key) out.insert(out.end(), {k, sep});
    out.push_back("\n");
    return out;
  };
  Strings defs_nl, defs_comma;
  for (const std::string &f : kFields) {
    defs_nl.insert(defs_nl.end(), {f, "\n"});
    defs_comma.insert(defs_comma.end(), {f, ", "});
  }
  defs_nl.push_back("\n");
  defs_comma.push_back("\n");
  Strings all_desc;
  for (const char *d :
       {"name:1,2", "code,C", "i,I", "u,U", "l,L", "f,F", "d,D", "bin,B3"}) {
    all_desc.insert(all_desc.end(), {d, "|"});
  }
  all_desc.push_back("\n");
  const Row &row0 = kRows[0];
  const Strings v0 = {row0.name,      row0.code,      stored(row0.i),
                      stored(row0.u), stored(row0.l), stored(row0.f),
                      stored(row0.d), row0.bin};
  const std::vector<const char *> p0 = pointers(v0);
  char *const *rec0 = const_cast<char *const *>(p0.data());
  const std::vector<const char *> texts = {"a", "b,L", nullptr};

  struct Case {
    const char *what;
    std::function<int32_t()> call;
    Strings printed;
    int32_t result;
    int32_t err;
  };
  const std::vector<Case> cases = {
      {"iputs hands its text on and returns the routine's result",
       [] {
         g_print_result = 7;
         return iputs("abc");
       },
       {"abc"},
       7,
       99},
      {"iputs passes NULL on",
       [] { return iputs(nullptr); },
       {"(null)"},
       1,
       99},
      {"field definitions, NULL separator",
       [&] { return showfldnames(db_, nullptr); }, defs_nl, 1, 0},
      {"field definitions, given separator",
       [&] { return showfldnames(db_, ", "); }, defs_comma, 1, 0},
      {"index names, newest first",
       [&] { return showindexnames(db_, "/"); },
       {"all", "/", "byName", "/", "Physical Index", "/", "\n"},
       1,
       0},
      {"key fields with a cut text field",
       [&] { return showdesc(db_, all, "|"); }, all_desc, 1, 0},
      {"NULL is \"Physical Index\": every field",
       [&] { return showdesc(db_, nullptr, nullptr); }, defs_nl, 1, 0},
      {"a key: cut text, each number format, binary length",
       [&] { return show_key(db_, all, keys[2].data(), "|"); },
       key_pieces(kRows[0], "|"), 1, 0},
      {"a large double and a negative float in a key",
       [&] { return show_key(db_, all, keys[1].data(), nullptr); },
       key_pieces(kRows[1], "\n"), 1, 0},
      {"an empty cut text and the smallest I",
       [&] { return show_key(db_, all, keys[0].data(), "|"); },
       key_pieces(kRows[2], "|"), 1, 0},
      {"a record of the current database", [&] { return showrec(rec0, "|"); },
       record_pieces(kRows[0], "|"), 1, 99},
      {"a record, NULL separator", [&] { return showrec(rec0, nullptr); },
       record_pieces(kRows[0], "\n"), 1, 99},
      {"a key of another index",
       [&] { return show_key(db_, by_name, keys[0].data(), "|"); },
       {},
       -1,
       2},
      {"show_key without an index",
       [&] { return show_key(db_, nullptr, keys[0].data(), "|"); },
       {},
       -1,
       2},
      {"show_key without a key",
       [&] { return show_key(db_, all, nullptr, "|"); },
       {},
       -1,
       35},
      {"an index of another database",
       [&] { return show_key(db_, foreign, keys[0].data(), "|"); },
       {},
       -1,
       2},
      {"showdesc, index of another database",
       [&] { return showdesc(db_, foreign, "|"); },
       {},
       -1,
       2},
      {"showdb, index of another database",
       [&] { return showdb(db_, foreign, "|"); },
       {},
       -1,
       2},
      {"showfldnames, no database",
       [&] { return showfldnames(stale, "|"); },
       {},
       -1,
       1},
      {"showindexnames, no database",
       [&] { return showindexnames(stale, "|"); },
       {},
       -1,
       1},
      {"showdesc, no database",
       [&] { return showdesc(stale, nullptr, "|"); },
       {},
       -1,
       1},
      {"show_key, no database",
       [&] { return show_key(stale, all, keys[0].data(), "|"); },
       {},
       -1,
       1},
      {"showdb, no database",
       [&] { return showdb(stale, all, "|"); },
       {},
       -1,
       1},
      // After this the test has no current database: values print as text.
      {"showfldnames, closed database",
       [&] {
         EXPECT_EQ(iclose_db(other), 1);
         EXPECT_EQ(iclose_db(db_), 1);
         return showfldnames(db_, "|");
       },
       {},
       -1,
       1},
      {"a record without a current database",
       [&] {
         return showrec(const_cast<char *const *>(texts.data()), nullptr);
       },
       {"a", "\n", "b,L", "\n", "\n"},
       1,
       99},
      {"an empty record", [] { return showrec(nullptr, "|"); }, {"\n"}, 1, 99},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    g_printed.clear();
    g_print_result = 1;
    isam_errno = 99;
    EXPECT_EQ(c.call(), c.result);
    EXPECT_EQ(isam_errno, c.err);
    EXPECT_EQ(g_printed, c.printed);
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
  make_database();
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
  EXPECT_EQ(joined(g_printed),
            line(kRows[0], "|") + line(kRows[1], "|") + line(kRows[2], "|"));
  go_to(by_name, "bravo");
  isam_errno = 99;
  g_printed.clear();
  EXPECT_EQ(showdb(db_, by_name, nullptr), 1);
  EXPECT_EQ(isam_errno, 0);
  EXPECT_EQ(joined(g_printed),
            line(kRows[1], "\n") + line(kRows[0], "\n") + line(kRows[2], "\n"));
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
  EXPECT_EQ(joined(g_printed), line(kRows[1], "|") + line(kRows[0], "|") +
                                   "error reading record\n");
}

// A shared database, with every platform call of showdb failing in turn:
// the walk prints whole records and then at most one message, a user index
// that the walk could put back is on its record again, and no temporary
// lock stays behind. The three messages all occur.
TEST_F(ShowTest, ShowdbStopsWithAMessageWhenTheWalkFails) {
  make_database();
  ASSERT_EQ(iclose_db(db_), 1);
  db_ = iopen_db_shared(path("t").c_str(), 1, 0);
  ASSERT_NE(db_, nullptr);
  // A refused lock is final.
  cblock_timeout(1, 0, 0);
  ilock_timeout(1, 0, 0);
  const Strings messages = {"can't lock index\n", "can't get current record\n",
                            "error reading record\n"};
  std::set<std::string> seen;
  IsamIndex *by_name = index("byName");
  ASSERT_NE(by_name, nullptr);
  // A reader lock tries other bytes when one is refused: locks fail from
  // call n on, every other call alone.
  for (const bool locks : {false, true})
    for (IsamIndex *ix : {by_name, static_cast<IsamIndex *>(nullptr)}) {
      const std::vector<int> order =
          ix != nullptr ? std::vector<int>{1, 0, 2} : std::vector<int>{0, 1, 2};
      for (int64_t n = 1;; ++n) {
        SCOPED_TRACE(std::to_string(locks) + " " + std::to_string(n));
        if (ix != nullptr) go_to(ix, "bravo");
        g_printed.clear();
        int32_t r = 0, err = 0;
        bool fired = false;
        {
          FaultInjector faults;
          faults.fail_io_at(n, EIO, locks, locks ? "lock" : nullptr);
          r = showdb(db_, ix, "|");
          err = isam_errno;
          fired = faults.io_fired();
        }
        const std::string out = joined(g_printed);
        std::string whole;
        bool legal = false;
        for (int k = 0; k <= 3 && !legal; ++k) {
          if (out == whole) legal = true;
          for (const std::string &m : messages) {
            if (out == whole + m) {
              legal = true;
              seen.insert(m);
            }
          }
          if (k < 3)
            whole += line(
                kRows[static_cast<size_t>(order[static_cast<size_t>(k)])], "|");
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
  EXPECT_EQ(seen, std::set<std::string>(messages.begin(), messages.end()));
}

}  // namespace
}  // namespace recbase::test
