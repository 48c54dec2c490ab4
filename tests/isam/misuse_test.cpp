// Every exported ISAM call that takes a handle, given a null, closed or
// stale database handle, or an index handle that is null, removed or of
// another database, fails with isam_errno 1 or 2 and changes nothing; calls
// given null arguments, value arrays shorter than the database's fields or
// buffers without room fail with their documented code. None of them may
// crash: the sanitizer build runs this program too.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
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

template <typename T>
intptr_t ptr(T *p) {
  return reinterpret_cast<intptr_t>(p);
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
    const char *note[] = {"note", nullptr};
    if (db == nullptr || imkindex(db, "by name", by_name) != 1 ||
        imkindex(db, "by note", note) != 1) {
      return nullptr;
    }
    return iaddrec(db, nullptr, arr(record_)) == 1 ? db : nullptr;
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

  // Every call that takes a database handle, and an index handle when it
  // has one.
  std::vector<Row> handle_rows() {
    const Values *rec = &record_;
    const Values *key = &key_values_;
    return {
        {"iclose_db",
         [](IsamDb *d, IsamIndex *) { return intptr_t{iclose_db(d)}; }, -1,
         false},
        {"iflush_db",
         [](IsamDb *d, IsamIndex *) { return intptr_t{iflush_db(d)}; }, -1,
         false},
        {"igetfilename",
         [](IsamDb *d, IsamIndex *) { return ptr(igetfilename(d)); }, 0, false},
        {"igetfldcount",
         [](IsamDb *d, IsamIndex *) { return intptr_t{igetfldcount(d)}; }, -1,
         false},
        {"igetfldtype",
         [](IsamDb *d, IsamIndex *) { return intptr_t{igetfldtype(d, 0)}; }, -1,
         false},
        {"igetfldlen",
         [](IsamDb *d, IsamIndex *) { return intptr_t{igetfldlen(d, 0)}; }, -1,
         false},
        {"igetfldnames",
         [](IsamDb *d, IsamIndex *) { return ptr(igetfldnames(d)); }, 0, false},
        {"ihandle",
         [](IsamDb *d, IsamIndex *) { return ptr(ihandle(d, iphysical)); }, 0,
         false},
        {"iindexname",
         [](IsamDb *d, IsamIndex *x) { return ptr(iindexname(d, x)); }, 0},
        {"igetdesc",
         [](IsamDb *d, IsamIndex *x) { return ptr(igetdesc(d, x)); }, 0, true,
         false, ISERR_OK},
        {"igetdesc_count",
         [](IsamDb *d, IsamIndex *x) {
           return intptr_t{igetdesc_count(d, x)};
         }},
        {"igetdesc_fldnbr",
         [](IsamDb *d, IsamIndex *x) {
           return intptr_t{igetdesc_fldnbr(d, x, 0)};
         }},
        {"igetdesc_fldstart",
         [](IsamDb *d, IsamIndex *x) {
           return intptr_t{igetdesc_fldstart(d, x, 0)};
         }},
        {"igetdesc_fldlen",
         [](IsamDb *d, IsamIndex *x) {
           return intptr_t{igetdesc_fldlen(d, x, 0)};
         }},
        {"iaddrec",
         [rec](IsamDb *d, IsamIndex *x) {
           return intptr_t{iaddrec(d, x, arr(*rec))};
         },
         -1, true, true},
        {"igetrec",
         [](IsamDb *d, IsamIndex *x) {
           char buffer[128];
           char *f[4];
           return intptr_t{igetrec(d, x, f, buffer, sizeof buffer)};
         }},
        {"igetrec2",
         [](IsamDb *d, IsamIndex *x) {
           char b0[32], b1[32], b2[32];
           char *f[] = {b0, b1, b2, nullptr};
           return intptr_t{igetrec2(d, x, f, nullptr)};
         }},
        {"igetrec3",
         [](IsamDb *d, IsamIndex *x) {
           char *f[] = {nullptr, nullptr, nullptr, nullptr};
           int32_t lengths[] = {0, 0, 0};
           const intptr_t r = igetrec3(d, x, f, lengths);
           for (char *p : f) std::free(p);
           return r;
         }},
        {"igetreclen",
         [](IsamDb *d, IsamIndex *x) {
           uint16_t length = 0;
           return intptr_t{igetreclen(d, x, &length)};
         }},
        {"imodrec",
         [rec](IsamDb *d, IsamIndex *x) {
           return intptr_t{imodrec(d, x, arr(*rec))};
         }},
        {"idelrec",
         [](IsamDb *d, IsamIndex *x) { return intptr_t{idelrec(d, x)}; }},
        {"ifindhead",
         [](IsamDb *d, IsamIndex *x) { return intptr_t{ifindhead(d, x)}; }},
        {"ifindtail",
         [](IsamDb *d, IsamIndex *x) { return intptr_t{ifindtail(d, x)}; }},
        {"ifindnext",
         [](IsamDb *d, IsamIndex *x) { return intptr_t{ifindnext(d, x)}; }},
        {"ifindprev",
         [](IsamDb *d, IsamIndex *x) { return intptr_t{ifindprev(d, x)}; }},
        {"ifindkey",
         [key](IsamDb *d, IsamIndex *x) {
           return intptr_t{ifindkey(d, x, arr(*key))};
         }},
        {"ifindrec",
         [rec](IsamDb *d, IsamIndex *x) {
           return intptr_t{ifindrec(d, x, arr(*rec))};
         }},
        {"imarkrec",
         [](IsamDb *d, IsamIndex *x) { return intptr_t{imarkrec(d, x)}; }},
        {"ifindmark",
         [](IsamDb *d, IsamIndex *x) { return intptr_t{ifindmark(d, x)}; }},
        {"imatchkey",
         [key](IsamDb *d, IsamIndex *x) {
           return intptr_t{imatchkey(d, x, arr(*key))};
         }},
        {"ipartialmatch",
         [key](IsamDb *d, IsamIndex *x) {
           return intptr_t{ipartialmatch(d, x, arr(*key))};
         }},
        {"imkindex",
         [](IsamDb *d, IsamIndex *) {
           const char *spec[] = {"note", nullptr};
           return intptr_t{imkindex(d, "new", spec)};
         },
         -1, false},
        {"irmindex",
         [](IsamDb *d, IsamIndex *) {
           return intptr_t{irmindex(d, "by name")};
         },
         -1, false},
        {"inew_index_file",
         [](IsamDb *d, IsamIndex *) {
           return intptr_t{inew_index_file(d, 0, 1)};
         },
         -1, false},
        {"igetindexnames",
         [](IsamDb *d, IsamIndex *) { return ptr(igetindexnames(d)); }, 0,
         false, false, ISERR_OK},
        {"ilock_rec",
         [](IsamDb *d, IsamIndex *x) {
           int32_t id = 0;
           return intptr_t{ilock_rec(d, x, &id)};
         }},
        {"iunlock_rec",
         [](IsamDb *d, IsamIndex *) { return intptr_t{iunlock_rec(d, 1)}; }, -1,
         false},
        {"ilock_all",
         [](IsamDb *d, IsamIndex *) { return intptr_t{ilock_all(d, 1)}; }, -1,
         false},
        {"iunlock_all",
         [](IsamDb *d, IsamIndex *) { return intptr_t{iunlock_all(d, 1)}; }, -1,
         false},
        {"showdb",
         [](IsamDb *d, IsamIndex *x) { return intptr_t{showdb(d, x, "|")}; },
         -1, true, true},
        {"show_key",
         [](IsamDb *d, IsamIndex *x) {
           const char key[16] = {1, 'a', 0};
           return intptr_t{show_key(d, x, key, "|")};
         }},
        {"showdesc",
         [](IsamDb *d, IsamIndex *x) { return intptr_t{showdesc(d, x, "|")}; },
         -1, true, true},
        {"showfldnames",
         [](IsamDb *d, IsamIndex *) { return intptr_t{showfldnames(d, "|")}; },
         -1, false},
        {"showindexnames",
         [](IsamDb *d, IsamIndex *) {
           return intptr_t{showindexnames(d, "|")};
         },
         -1, false},
    };
  }

  void expect_refused(const Row &row, IsamDb *db, IsamIndex *ix, int32_t code,
                      const char *kind) {
    isam_errno = -99;
    EXPECT_EQ(row.call(db, ix), row.failure) << row.name << ": " << kind;
    EXPECT_EQ(isam_errno, code) << row.name << ": " << kind;
  }

  Values record_ = {"alpha", "\x07\x00", "a note", nullptr};
  Values key_values_ = {"alpha", nullptr};
  IsamDb *db_ = nullptr;
  IsamIndex *ix_ = nullptr;
  RbPrint old_print_ = nullptr;
};

TEST_F(MisuseTest, BadDatabaseHandlesAreRefused) {
  IsamDb *closed = open_with_record("closed");
  ASSERT_NE(closed, nullptr);
  IsamIndex *closed_ix = ihandle(closed, "by name");
  ASSERT_EQ(iclose_db(closed), 1);

  const std::vector<Row> rows = handle_rows();
  for (const Row &row : rows) {
    expect_refused(row, nullptr, ix_, row.null_db_code, "null database");
    expect_refused(row, closed, closed_ix, ISERR_BAD_DB, "closed database");
  }
  expect_unchanged(db_);

  // After isamexit every handle of before is stale, whether the library
  // stays down or is set up again.
  ASSERT_EQ(isamexit(), 1);
  for (const Row &row : rows) {
    expect_refused(row, db_, ix_, ISERR_BAD_DB, "after isamexit");
  }
  ASSERT_EQ(isaminit(0, 0), 1);
  for (const Row &row : rows) {
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
  const char *spec[] = {"note", nullptr};
  ASSERT_EQ(imkindex(db_, "removed", spec), 1);
  IsamIndex *removed = ihandle(db_, "removed");
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

// A call with valid handles and one bad argument, made with the index on
// the database's one record.
struct ArgRow {
  const char *name;
  std::function<intptr_t(IsamDb *, IsamIndex *)> call;
  intptr_t result;
  int32_t code;
};

TEST_F(MisuseTest, NullArgumentsAreRefused) {
  const Values rec_hole = {"alpha", nullptr, "a note", nullptr};
  const std::string dir = path("x");
  const char *d = dir.c_str();
  const std::vector<ArgRow> rows = {
      {"icreate_db name",
       [](IsamDb *, IsamIndex *) {
         const char *f[] = {"a", nullptr};
         return ptr(icreate_db(nullptr, 0, f));
       },
       0, ISERR_NULL_ARG},
      {"icreate_db fields",
       [d](IsamDb *, IsamIndex *) { return ptr(icreate_db(d, 0, nullptr)); }, 0,
       ISERR_NULL_ARG},
      {"iopen_db", [](IsamDb *, IsamIndex *) { return ptr(iopen_db(nullptr)); },
       0, ISERR_NULL_ARG},
      {"iopen_db_shared",
       [](IsamDb *, IsamIndex *) {
         return ptr(iopen_db_shared(nullptr, 1, 1));
       },
       0, ISERR_NULL_ARG},
      {"idbhandle",
       [](IsamDb *, IsamIndex *) { return ptr(idbhandle(nullptr)); }, 0,
       ISERR_NULL_ARG},
      {"ihandle",
       [](IsamDb *db, IsamIndex *) { return ptr(ihandle(db, nullptr)); }, 0,
       ISERR_NULL_ARG},
      {"iaddrec fields",
       [](IsamDb *db, IsamIndex *x) {
         return intptr_t{iaddrec(db, x, nullptr)};
       },
       -1, ISERR_NULL_ARG},
      {"iaddrec value",
       [&rec_hole](IsamDb *db, IsamIndex *x) {
         return intptr_t{iaddrec(db, x, arr(rec_hole))};
       },
       -1, ISERR_NULL_ARG},
      {"igetrec fields",
       [](IsamDb *db, IsamIndex *x) {
         char buffer[64];
         return intptr_t{igetrec(db, x, nullptr, buffer, sizeof buffer)};
       },
       -1, ISERR_NULL_ARG},
      {"igetrec buffer",
       [](IsamDb *db, IsamIndex *x) {
         char *f[4];
         return intptr_t{igetrec(db, x, f, nullptr, 64)};
       },
       -1, ISERR_NULL_ARG},
      {"igetrec2 fields",
       [](IsamDb *db, IsamIndex *x) {
         return intptr_t{igetrec2(db, x, nullptr, nullptr)};
       },
       -1, ISERR_NULL_ARG},
      {"igetrec2 buffer",
       [](IsamDb *db, IsamIndex *x) {
         char b0[32], b2[32];
         char *f[] = {b0, nullptr, b2, nullptr};
         return intptr_t{igetrec2(db, x, f, nullptr)};
       },
       -1, ISERR_NULL_ARG},
      {"igetrec3 fields",
       [](IsamDb *db, IsamIndex *x) {
         int32_t lengths[3] = {};
         return intptr_t{igetrec3(db, x, nullptr, lengths)};
       },
       -1, ISERR_NULL_ARG},
      {"igetrec3 lengths",
       [](IsamDb *db, IsamIndex *x) {
         char *f[] = {nullptr, nullptr, nullptr, nullptr};
         return intptr_t{igetrec3(db, x, f, nullptr)};
       },
       -1, ISERR_NULL_ARG},
      {"imodrec fields",
       [](IsamDb *db, IsamIndex *x) {
         return intptr_t{imodrec(db, x, nullptr)};
       },
       -1, ISERR_NULL_ARG},
      {"imodrec value",
       [&rec_hole](IsamDb *db, IsamIndex *x) {
         return intptr_t{imodrec(db, x, arr(rec_hole))};
       },
       -1, ISERR_NULL_ARG},
      {"ifindkey",
       [](IsamDb *db, IsamIndex *x) {
         return intptr_t{ifindkey(db, x, nullptr)};
       },
       -1, ISERR_NULL_ARG},
      {"ifindrec",
       [](IsamDb *db, IsamIndex *x) {
         return intptr_t{ifindrec(db, x, nullptr)};
       },
       -1, ISERR_NULL_ARG},
      {"imatchkey",
       [](IsamDb *db, IsamIndex *x) {
         return intptr_t{imatchkey(db, x, nullptr)};
       },
       -1, ISERR_NULL_ARG},
      {"ipartialmatch",
       [](IsamDb *db, IsamIndex *x) {
         return intptr_t{ipartialmatch(db, x, nullptr)};
       },
       -1, ISERR_NULL_ARG},
      {"imkindex name",
       [](IsamDb *db, IsamIndex *) {
         const char *spec[] = {"note", nullptr};
         return intptr_t{imkindex(db, nullptr, spec)};
       },
       -1, ISERR_NULL_ARG},
      {"imkindex specs",
       [](IsamDb *db, IsamIndex *) {
         return intptr_t{imkindex(db, "n", nullptr)};
       },
       -1, ISERR_NULL_ARG},
      {"irmindex",
       [](IsamDb *db, IsamIndex *) { return intptr_t{irmindex(db, nullptr)}; },
       -1, ISERR_NULL_ARG},
      {"ilock_rec",
       [](IsamDb *db, IsamIndex *x) {
         return intptr_t{ilock_rec(db, x, nullptr)};
       },
       -1, ISERR_NULL_ARG},
      {"icopy_db from",
       [d](IsamDb *, IsamIndex *) {
         return intptr_t{icopy_db(nullptr, d, nullptr, 0)};
       },
       -1, ISERR_NULL_ARG},
      {"icopy_db to",
       [d](IsamDb *, IsamIndex *) {
         return intptr_t{icopy_db(d, nullptr, nullptr, 0)};
       },
       -1, ISERR_NULL_ARG},
      {"icopy_db_shared",
       [d](IsamDb *, IsamIndex *) {
         return intptr_t{icopy_db_shared(d, nullptr, nullptr, 0)};
       },
       -1, ISERR_NULL_ARG},
      {"irename_db from",
       [d](IsamDb *, IsamIndex *) { return intptr_t{irename_db(nullptr, d)}; },
       -1, ISERR_NULL_ARG},
      {"irename_db to",
       [d](IsamDb *, IsamIndex *) { return intptr_t{irename_db(d, nullptr)}; },
       -1, ISERR_NULL_ARG},
      {"idestroy_db",
       [](IsamDb *, IsamIndex *) { return intptr_t{idestroy_db(nullptr)}; }, -1,
       ISERR_NULL_ARG},
      {"show_key",
       [](IsamDb *db, IsamIndex *x) {
         return intptr_t{show_key(db, x, nullptr, "|")};
       },
       -1, ISERR_NULL_ARG},
  };
  for (const ArgRow &row : rows) {
    ASSERT_EQ(ifindhead(db_, ix_), 1);
    isam_errno = -99;
    EXPECT_EQ(row.call(db_, ix_), row.result) << row.name;
    EXPECT_EQ(isam_errno, row.code) << row.name;
  }
  expect_unchanged(db_);
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
  const std::vector<ArgRow> rows = {
      {"iaddrec short",
       [&](IsamDb *db, IsamIndex *x) {
         return intptr_t{iaddrec(db, x, arr(short_rec))};
       },
       -1, ISERR_NULL_ARG},
      {"imodrec short",
       [&](IsamDb *db, IsamIndex *x) {
         return intptr_t{imodrec(db, x, arr(short_rec))};
       },
       -1, ISERR_NULL_ARG},
      {"ifindrec short",
       [&](IsamDb *db, IsamIndex *x) {
         return intptr_t{ifindrec(db, x, arr(short_rec))};
       },
       -1, ISERR_NULL_ARG},
      // The key of "by note" is taken from the field past the array's end.
      {"ifindrec short, key field past its end",
       [&](IsamDb *db, IsamIndex *) {
         return intptr_t{ifindrec(db, ihandle(db, "by note"), arr(short_rec))};
       },
       -1, ISERR_NULL_ARG},
      {"igetrec2 short",
       [](IsamDb *db, IsamIndex *x) {
         char b0[32];
         char *f[] = {b0, nullptr};
         return intptr_t{igetrec2(db, x, f, nullptr)};
       },
       -1, ISERR_NULL_ARG},
      {"iaddrec too large",
       [&](IsamDb *db, IsamIndex *x) {
         return intptr_t{iaddrec(db, x, arr(huge_rec))};
       },
       -1, ISERR_DATA_TOO_LARGE},
      {"imodrec too large",
       [&](IsamDb *db, IsamIndex *x) {
         return intptr_t{imodrec(db, x, arr(huge_rec))};
       },
       -1, ISERR_DATA_TOO_LARGE},
      {"iaddrec key too long",
       [&](IsamDb *db, IsamIndex *x) {
         return intptr_t{iaddrec(db, x, arr(long_key_rec))};
       },
       -1, ISERR_KEY_TOO_LONG},
      {"ifindkey key too long",
       [&](IsamDb *db, IsamIndex *x) {
         return intptr_t{ifindkey(db, x, arr(long_key))};
       },
       -1, ISERR_KEY_TOO_LONG},
      {"igetrec small buffer",
       [](IsamDb *db, IsamIndex *x) {
         char buffer[4];
         char *f[4];
         return intptr_t{igetrec(db, x, f, buffer, sizeof buffer)};
       },
       -1, ISERR_BUFFER_SMALL},
      {"igetrec2 text without room",
       [](IsamDb *db, IsamIndex *x) {
         char b0[32], b1[32], b2[3];
         char *f[] = {b0, b1, b2, nullptr};
         int32_t lengths[] = {32, 32, 3};
         return intptr_t{igetrec2(db, x, f, lengths)};
       },
       -1, ISERR_FIELD_TOO_LONG},
      {"igetrec3 number without room",
       [](IsamDb *db, IsamIndex *x) {
         char *f[] = {nullptr, static_cast<char *>(std::malloc(1)), nullptr,
                      nullptr};
         int32_t lengths[] = {0, 1, 0};
         const intptr_t r = igetrec3(db, x, f, lengths);
         for (char *p : f) std::free(p);
         return r;
       },
       -1, ISERR_FIELD_TOO_LONG},
  };
  for (const ArgRow &row : rows) {
    ASSERT_EQ(ifindhead(db_, ix_), 1);
    isam_errno = -99;
    EXPECT_EQ(row.call(db_, ix_), row.result) << row.name;
    EXPECT_EQ(isam_errno, row.code) << row.name;
  }
  expect_unchanged(db_);
}

}  // namespace
}  // namespace recbase::test
