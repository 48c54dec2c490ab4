// Every exported ISAM call that takes a handle, given a null, closed or
// stale database handle, or an index handle that is null, removed or of
// another database, fails with isam_errno 1 or 2 and changes nothing; calls
// given null arguments, value arrays shorter than the database's fields or
// buffers without room fail with their documented code. None of them may
// crash: the sanitizer build runs this program too.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include "recbase/codes.h"
#include "tests/isam/isam_support.h"

namespace recbase::test {
namespace {

int32_t RBCALL silent(const char *) { return 1; }

using Values = std::vector<const char *>;
char *const *arr(const Values &v) {
  return const_cast<char *const *>(v.data());
}
using Ptrs = std::array<char *, 4>;
using Lens = std::array<int32_t, 3>;

// A call's result as one integer: a pointer's address or the code.
template <typename T>
intptr_t as_int(T v) {
  if constexpr (std::is_pointer_v<T>) {
    return reinterpret_cast<intptr_t>(v);
  } else {
    return intptr_t{v};
  }
}

// A row's call: an expression over the database d and the index x.
#define CALL(expr)                                                 \
  [&]([[maybe_unused]] IsamDb *d, [[maybe_unused]] IsamIndex *x) { \
    return as_int(expr);                                           \
  }

const Values kRecord = {"alpha", "\x07\x00", "a note", nullptr};
const Values kKey = {"alpha", nullptr};
const char *kNoteSpec[] = {"note", nullptr};
const char kShowKey[16] = {1, 'a', 0};
// Where the calls read into.
char g_buffer[128], g_b0[32], g_b1[32], g_b2[32];
char *g_fields[4];
uint16_t g_length = 0;
int32_t g_id = 0;
IsamFreeSpace g_free;

// igetrec3 into fields (it allocates those that are NULL), freed after.
intptr_t getrec3(IsamDb *d, IsamIndex *x, Ptrs f, int32_t *lengths) {
  const intptr_t r = igetrec3(d, x, f.data(), lengths);
  for (char *p : f) std::free(p);
  return r;
}

// One exported call, made with the database and index given and every
// other argument valid. failure is the call's failing result (-1, or 0 for
// a NULL pointer).
struct Row {
  const char *name;
  std::function<intptr_t(IsamDb *, IsamIndex *)> call;
  intptr_t failure = -1;
  bool uses_index = true;
  bool null_index_ok = false;  // NULL names "Physical Index" or no index
  int32_t null_db_code = ISERR_BAD_DB;  // igetdesc(NULL) frees its list
};

// Every call that takes a database handle, and an index handle when it has
// one.
const std::vector<Row> &handle_rows() {
  static const std::vector<Row> rows = {
      {"iclose_db", CALL(iclose_db(d)), -1, false},
      {"iflush_db", CALL(iflush_db(d)), -1, false},
      {"igetfilename", CALL(igetfilename(d)), 0, false},
      {"igetfldcount", CALL(igetfldcount(d)), -1, false},
      {"igetfldtype", CALL(igetfldtype(d, 0)), -1, false},
      {"igetfldlen", CALL(igetfldlen(d, 0)), -1, false},
      {"igetfldnames", CALL(igetfldnames(d)), 0, false},
      {"ihandle", CALL(ihandle(d, iphysical)), 0, false},
      {"iindexname", CALL(iindexname(d, x)), 0},
      {"igetdesc", CALL(igetdesc(d, x)), 0, true, false, ISERR_OK},
      {"igetdesc_count", CALL(igetdesc_count(d, x))},
      {"igetdesc_fldnbr", CALL(igetdesc_fldnbr(d, x, 0))},
      {"igetdesc_fldstart", CALL(igetdesc_fldstart(d, x, 0))},
      {"igetdesc_fldlen", CALL(igetdesc_fldlen(d, x, 0))},
      {"iaddrec", CALL(iaddrec(d, x, arr(kRecord))), -1, true, true},
      {"igetrec", CALL(igetrec(d, x, g_fields, g_buffer, sizeof g_buffer))},
      {"igetrec2",
       CALL(igetrec2(d, x, Ptrs{g_b0, g_b1, g_b2}.data(), nullptr))},
      {"igetrec3", CALL(getrec3(d, x, Ptrs{}, Lens{}.data()))},
      {"igetreclen", CALL(igetreclen(d, x, &g_length))},
      {"imodrec", CALL(imodrec(d, x, arr(kRecord)))},
      {"idelrec", CALL(idelrec(d, x))},
      {"ifindhead", CALL(ifindhead(d, x))},
      {"ifindtail", CALL(ifindtail(d, x))},
      {"ifindnext", CALL(ifindnext(d, x))},
      {"ifindprev", CALL(ifindprev(d, x))},
      {"ifindkey", CALL(ifindkey(d, x, arr(kKey)))},
      {"ifindrec", CALL(ifindrec(d, x, arr(kRecord)))},
      {"imarkrec", CALL(imarkrec(d, x))},
      {"ifindmark", CALL(ifindmark(d, x))},
      {"imatchkey", CALL(imatchkey(d, x, arr(kKey)))},
      {"ipartialmatch", CALL(ipartialmatch(d, x, arr(kKey)))},
      {"imkindex", CALL(imkindex(d, "new", kNoteSpec)), -1, false},
      {"irmindex", CALL(irmindex(d, "by name")), -1, false},
      {"inew_index_file", CALL(inew_index_file(d, 0, 1)), -1, false},
      {"irebuild_index_file", CALL(irebuild_index_file(d, 0)), -1, false},
      {"ifreespace", CALL(ifreespace(d, &g_free)), -1, false},
      {"igetindexnames", CALL(igetindexnames(d)), 0, false, false, ISERR_OK},
      {"ilock_rec", CALL(ilock_rec(d, x, &g_id))},
      {"iunlock_rec", CALL(iunlock_rec(d, 1)), -1, false},
      {"ilock_all", CALL(ilock_all(d, 1)), -1, false},
      {"iunlock_all", CALL(iunlock_all(d, 1)), -1, false},
      {"showdb", CALL(showdb(d, x, "|")), -1, true, true},
      {"show_key", CALL(show_key(d, x, kShowKey, "|"))},
      {"showdesc", CALL(showdesc(d, x, "|")), -1, true, true},
      {"showfldnames", CALL(showfldnames(d, "|")), -1, false},
      {"showindexnames", CALL(showindexnames(d, "|")), -1, false},
  };
  return rows;
}

// A call with valid handles and one bad argument, made with the index on
// the database's one record.
struct ArgRow {
  const char *name;
  std::function<intptr_t(IsamDb *, IsamIndex *)> call;
  intptr_t result;
  int32_t code;
};

class MisuseTest : public IsamTest {
 protected:
  void SetUp() override {
    old_print_ = cbset_print(silent);
    db_ = open_with_record("a");
    ASSERT_NE(db_, nullptr);
    ix_ = ihandle(db_, "by name");
    ASSERT_NE(ix_, nullptr);
  }
  void TearDown() override { cbset_print(old_print_); }

  IsamDb *open_with_record(const std::string &name) {
    IsamDb *db = create(name, {"name", "n,I", "note"});
    const char *by_name[] = {"name", nullptr};
    if (db == nullptr || imkindex(db, "by name", by_name) != 1 ||
        imkindex(db, "by note", kNoteSpec) != 1) {
      return nullptr;
    }
    return iaddrec(db, nullptr, arr(kRecord)) == 1 ? db : nullptr;
  }

  // The database still holds its one record, and the index finds it.
  void expect_unchanged(IsamDb *db) {
    IsamIndex *ix = ihandle(db, "by name");
    ASSERT_NE(ix, nullptr);
    EXPECT_EQ(ifindhead(db, ix), 1);
    char buffer[128];
    char *f[4];
    ASSERT_EQ(igetrec(db, ix, f, buffer, sizeof buffer), 1);
    EXPECT_STREQ(f[0], "alpha");
    EXPECT_EQ(ifindnext(db, ix), -3);
  }

  void expect_refused(const Row &row, IsamDb *db, IsamIndex *ix, int32_t code,
                      const char *kind) {
    isam_errno = -99;
    EXPECT_EQ(row.call(db, ix), row.failure) << row.name << ": " << kind;
    EXPECT_EQ(isam_errno, code) << row.name << ": " << kind;
  }

  // Each row on the database's one record, which it must leave as it was.
  void expect_rows(const std::vector<ArgRow> &rows) {
    for (const ArgRow &row : rows) {
      ASSERT_EQ(ifindhead(db_, ix_), 1);
      isam_errno = -99;
      EXPECT_EQ(row.call(db_, ix_), row.result) << row.name;
      EXPECT_EQ(isam_errno, row.code) << row.name;
    }
    expect_unchanged(db_);
  }

  IsamDb *db_ = nullptr;
  IsamIndex *ix_ = nullptr;
  RbPrint old_print_ = nullptr;
};

TEST_F(MisuseTest, BadDatabaseHandlesAreRefused) {
  IsamDb *closed = open_with_record("closed");
  ASSERT_NE(closed, nullptr);
  IsamIndex *closed_ix = ihandle(closed, "by name");
  ASSERT_EQ(iclose_db(closed), 1);
  // Databases opened and closed after it, and one open now: the old handles
  // stay stale.
  std::vector<IsamDb *> stale{closed};
  for (int i = 0; i < 8; ++i) {
    stale.push_back(iopen_db(path("closed").c_str()));
    ASSERT_EQ(iclose_db(stale.back()), 1);
  }
  ASSERT_NE(iopen_db(path("closed").c_str()), nullptr);

  for (const Row &row : handle_rows()) {
    expect_refused(row, nullptr, ix_, row.null_db_code, "null database");
    for (IsamDb *old : stale) {
      expect_refused(row, old, closed_ix, ISERR_BAD_DB, "closed database");
    }
  }
  expect_unchanged(db_);

  // After isamexit every handle of before is stale, whether the library
  // stays down or is set up again.
  ASSERT_EQ(isamexit(), 1);
  for (const Row &row : handle_rows()) {
    expect_refused(row, db_, ix_, ISERR_BAD_DB, "after isamexit");
  }
  ASSERT_EQ(isaminit(0, 0), 1);
  for (const Row &row : handle_rows()) {
    expect_refused(row, db_, ix_, ISERR_BAD_DB, "after isamexit and isaminit");
  }
}

TEST_F(MisuseTest, BadIndexHandlesAreRefused) {
  IsamDb *other = open_with_record("other");
  ASSERT_NE(other, nullptr);
  IsamIndex *foreign = ihandle(other, "by name");
  IsamDb *closed = open_with_record("closed");
  ASSERT_NE(closed, nullptr);
  IsamIndex *closed_ix = ihandle(closed, "by name");
  ASSERT_EQ(iclose_db(closed), 1);
  ASSERT_EQ(imkindex(db_, "removed", kNoteSpec), 1);
  IsamIndex *removed = ihandle(db_, "removed");
  // A later index takes the head of the list, so this call finds "removed"
  // by a walk of the list, which remembers it, before it goes.
  ASSERT_EQ(imkindex(db_, "later", kNoteSpec), 1);
  EXPECT_EQ(ifindhead(db_, removed), 1);
  ASSERT_EQ(irmindex(db_, "removed"), 1);

  for (const Row &row : handle_rows()) {
    if (!row.uses_index) continue;
    if (!row.null_index_ok) {
      expect_refused(row, db_, nullptr, ISERR_BAD_INDEX, "null index");
    }
    expect_refused(row, db_, foreign, ISERR_BAD_INDEX, "foreign index");
    expect_refused(row, db_, ihandle(other, iphysical), ISERR_BAD_INDEX,
                   "foreign physical index");
    expect_refused(row, db_, closed_ix, ISERR_BAD_INDEX, "closed db's index");
    expect_refused(row, db_, removed, ISERR_BAD_INDEX, "removed index");
  }
  expect_unchanged(db_);
  expect_unchanged(other);
}

TEST_F(MisuseTest, NullArgumentsAreRefused) {
  const Values hole = {"alpha", nullptr, "a note", nullptr};
  const std::string dir_path = path("x");
  const char *dir = dir_path.c_str();
  const char *a_field[] = {"a", nullptr};
  const int32_t kNull = ISERR_NULL_ARG;
  expect_rows({
      {"icreate_db name", CALL(icreate_db(nullptr, 0, a_field)), 0, kNull},
      {"icreate_db fields", CALL(icreate_db(dir, 0, nullptr)), 0, kNull},
      {"iopen_db", CALL(iopen_db(nullptr)), 0, kNull},
      {"iopen_db_shared", CALL(iopen_db_shared(nullptr, 1, 1)), 0, kNull},
      {"idbhandle", CALL(idbhandle(nullptr)), 0, kNull},
      {"ihandle", CALL(ihandle(d, nullptr)), 0, kNull},
      {"iaddrec fields", CALL(iaddrec(d, x, nullptr)), -1, kNull},
      {"iaddrec value", CALL(iaddrec(d, x, arr(hole))), -1, kNull},
      {"igetrec fields", CALL(igetrec(d, x, nullptr, g_buffer, 64)), -1, kNull},
      {"igetrec buffer", CALL(igetrec(d, x, g_fields, nullptr, 64)), -1, kNull},
      {"igetrec2 fields", CALL(igetrec2(d, x, nullptr, nullptr)), -1, kNull},
      {"igetrec2 buffer",
       CALL(igetrec2(d, x, Ptrs{g_b0, nullptr, g_b2}.data(), nullptr)), -1,
       kNull},
      {"igetrec3 fields", CALL(igetrec3(d, x, nullptr, Lens{}.data())), -1,
       kNull},
      {"igetrec3 lengths", CALL(getrec3(d, x, Ptrs{}, nullptr)), -1, kNull},
      {"imodrec fields", CALL(imodrec(d, x, nullptr)), -1, kNull},
      {"imodrec value", CALL(imodrec(d, x, arr(hole))), -1, kNull},
      {"ifindkey", CALL(ifindkey(d, x, nullptr)), -1, kNull},
      {"ifindrec", CALL(ifindrec(d, x, nullptr)), -1, kNull},
      {"imatchkey", CALL(imatchkey(d, x, nullptr)), -1, kNull},
      {"ipartialmatch", CALL(ipartialmatch(d, x, nullptr)), -1, kNull},
      {"imkindex name", CALL(imkindex(d, nullptr, kNoteSpec)), -1, kNull},
      {"imkindex specs", CALL(imkindex(d, "n", nullptr)), -1, kNull},
      {"irmindex", CALL(irmindex(d, nullptr)), -1, kNull},
      {"ilock_rec", CALL(ilock_rec(d, x, nullptr)), -1, kNull},
      {"icopy_db from", CALL(icopy_db(nullptr, dir, nullptr, 0)), -1, kNull},
      {"icopy_db to", CALL(icopy_db(dir, nullptr, nullptr, 0)), -1, kNull},
      {"icopy_db_shared", CALL(icopy_db_shared(dir, nullptr, nullptr, 0)), -1,
       kNull},
      {"irename_db from", CALL(irename_db(nullptr, dir)), -1, kNull},
      {"irename_db to", CALL(irename_db(dir, nullptr)), -1, kNull},
      {"idestroy_db", CALL(idestroy_db(nullptr)), -1, kNull},
      {"show_key", CALL(show_key(d, x, nullptr, "|")), -1, kNull},
  });
}

// Value arrays are NULL-terminated: one that ends before the database's
// last field is refused, as are buffers and keys without room.
TEST_F(MisuseTest, ShortArraysAndBuffersAreRefused) {
  const Values short_rec = {"beta", nullptr};
  const std::string huge(40000, 'x');
  const std::string long_name(600, 'x');
  const Values huge_rec = {"beta", "\x01\x00", huge.c_str(), nullptr};
  const Values long_key_rec = {long_name.c_str(), "\x01\x00", "", nullptr};
  const Values long_key = {long_name.c_str(), nullptr};
  const int32_t kNull = ISERR_NULL_ARG;
  char small[3];
  expect_rows({
      {"iaddrec short", CALL(iaddrec(d, x, arr(short_rec))), -1, kNull},
      {"imodrec short", CALL(imodrec(d, x, arr(short_rec))), -1, kNull},
      {"ifindrec short", CALL(ifindrec(d, x, arr(short_rec))), -1, kNull},
      // The key of "by note" is taken from the field past the array's end.
      {"ifindrec short, key field past its end",
       CALL(ifindrec(d, ihandle(d, "by note"), arr(short_rec))), -1, kNull},
      {"igetrec2 short", CALL(igetrec2(d, x, Ptrs{g_b0}.data(), nullptr)), -1,
       kNull},
      {"iaddrec too large", CALL(iaddrec(d, x, arr(huge_rec))), -1,
       ISERR_DATA_TOO_LARGE},
      {"imodrec too large", CALL(imodrec(d, x, arr(huge_rec))), -1,
       ISERR_DATA_TOO_LARGE},
      {"iaddrec key too long", CALL(iaddrec(d, x, arr(long_key_rec))), -1,
       ISERR_KEY_TOO_LONG},
      {"ifindkey key too long", CALL(ifindkey(d, x, arr(long_key))), -1,
       ISERR_KEY_TOO_LONG},
      {"igetrec small buffer", CALL(igetrec(d, x, g_fields, g_buffer, 4)), -1,
       ISERR_BUFFER_SMALL},
      {"igetrec2 text without room",
       CALL(igetrec2(d, x, Ptrs{g_b0, g_b1, small}.data(),
                     Lens{32, 32, 3}.data())),
       -1, ISERR_FIELD_TOO_LONG},
      {"igetrec3 number without room",
       CALL(getrec3(d, x, Ptrs{nullptr, static_cast<char *>(std::malloc(1))},
                    Lens{0, 1, 0}.data())),
       -1, ISERR_FIELD_TOO_LONG},
  });
}

#undef CALL

}  // namespace
}  // namespace recbase::test
