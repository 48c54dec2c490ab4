// SQLite's side of the record benchmark: one rowid table rows(name, id,
// amount, city) with a unique index on id and the indexes (city, name) and
// (amount), made before the rows are added; prepared statements; page size
// 4096, a 64 MiB page cache, journal_mode OFF, synchronous OFF; every batch
// one transaction; close syncs the file once.
//
// "sqlite-delete" and "sqlite-wal": with its journal on (journal_mode DELETE
// or WAL) and synchronous NORMAL, so that every transaction (a batch) is
// atomic and, but for WAL's deferred syncs, durable.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include "bench/peers/records.h"

namespace peers {
namespace {

class SqliteRecords : public RecordStore {
 public:
  // journal: "OFF", "DELETE" or "WAL".
  explicit SqliteRecords(const char* journal) : journal_(journal) {}

  void create(const std::string& dir) override {
    path_ = dir + "/rows.db";
    if (sqlite3_open(path_.c_str(), &db_) != SQLITE_OK) fail("open");
    exec("PRAGMA page_size=4096");
    exec("PRAGMA cache_size=" + std::to_string(-kCacheBytes / 1024));
    exec(std::string("PRAGMA journal_mode=") + journal_);
    exec(std::string("PRAGMA synchronous=") +
         (std::string(journal_) == "OFF" ? "OFF" : "NORMAL"));
    exec(
        "CREATE TABLE rows(name TEXT NOT NULL, id INTEGER NOT NULL, "
        "amount REAL NOT NULL, city TEXT NOT NULL)");
    exec("CREATE UNIQUE INDEX rows_id ON rows(id)");
    exec("CREATE INDEX rows_city_name ON rows(city, name)");
    exec("CREATE INDEX rows_amount ON rows(amount)");
    add_ = prepare(
        "INSERT INTO rows(name, id, amount, city) VALUES(?1, ?2, ?3, ?4)");
    find_ = prepare("SELECT name, id, amount, city FROM rows WHERE id = ?1");
    walk_[0] = prepare("SELECT name, id, amount, city FROM rows ORDER BY id");
    walk_[1] =
        prepare("SELECT name, id, amount, city FROM rows ORDER BY city, name");
    walk_[2] =
        prepare("SELECT name, id, amount, city FROM rows ORDER BY amount");
    modify_ = prepare("UPDATE rows SET amount = ?2 WHERE id = ?1");
    erase_ = prepare("DELETE FROM rows WHERE id = ?1");
    begin_ = prepare("BEGIN");
    commit_ = prepare("COMMIT");
  }

  void add(const Row& r) override {
    bind_text(add_, 1, r.name);
    sqlite3_bind_int(add_, 2, r.id);
    sqlite3_bind_double(add_, 3, r.amount);
    bind_text(add_, 4, r.city);
    if (step(add_) != SQLITE_DONE) fail("insert");
  }

  bool find(int32_t id, Row* out) override {
    sqlite3_bind_int(find_, 1, id);
    const int r = sqlite3_step(find_);
    if (r == SQLITE_ROW) {
      read(find_, out);
    } else if (r != SQLITE_DONE) {
      fail("select");
    }
    sqlite3_reset(find_);
    return r == SQLITE_ROW;
  }

  void walk(Order order, const Visit& visit) override {
    sqlite3_stmt* s = walk_[static_cast<int>(order)];
    Row row;
    int r;
    while ((r = sqlite3_step(s)) == SQLITE_ROW) {
      read(s, &row);
      visit(row);
    }
    if (r != SQLITE_DONE) fail("walk");
    sqlite3_reset(s);
  }

  bool set_amount(int32_t id, double amount) override {
    sqlite3_bind_int(modify_, 1, id);
    sqlite3_bind_double(modify_, 2, amount);
    if (step(modify_) != SQLITE_DONE) fail("update");
    return sqlite3_changes(db_) == 1;
  }

  bool erase(int32_t id) override {
    sqlite3_bind_int(erase_, 1, id);
    if (step(erase_) != SQLITE_DONE) fail("delete");
    return sqlite3_changes(db_) == 1;
  }

  void begin_batch(bool /*write*/) override {
    if (step(begin_) != SQLITE_DONE) fail("begin");
  }
  void end_batch(bool /*write*/) override {
    if (step(commit_) != SQLITE_DONE) fail("commit");
  }

  void close() override {
    for (sqlite3_stmt* s : {add_, find_, walk_[0], walk_[1], walk_[2], modify_,
                            erase_, begin_, commit_}) {
      sqlite3_finalize(s);
    }
    if (sqlite3_close(db_) != SQLITE_OK) fail("close");
    db_ = nullptr;
    const int fd = ::open(path_.c_str(), O_RDONLY);
    if (fd < 0 || fsync(fd) != 0) throw Error("sqlite: fsync of " + path_);
    ::close(fd);
  }

  std::vector<std::pair<std::string, int64_t>> files() const override {
    struct stat st {};
    stat(path_.c_str(), &st);
    return {{"rows.db", st.st_size}};
  }

 private:
  [[noreturn]] void fail(const char* what) {
    throw Error(std::string("sqlite: ") + what + ": " + sqlite3_errmsg(db_));
  }
  void exec(const std::string& sql) {
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) !=
        SQLITE_OK) {
      fail(sql.c_str());
    }
  }
  sqlite3_stmt* prepare(const char* sql) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &s, nullptr) != SQLITE_OK) fail(sql);
    return s;
  }
  static void bind_text(sqlite3_stmt* s, int n, const std::string& v) {
    sqlite3_bind_text(s, n, v.data(), static_cast<int>(v.size()),
                      SQLITE_STATIC);
  }
  static void read(sqlite3_stmt* s, Row* out) {
    out->name.assign(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)),
                     static_cast<size_t>(sqlite3_column_bytes(s, 0)));
    out->id = sqlite3_column_int(s, 1);
    out->amount = sqlite3_column_double(s, 2);
    out->city.assign(reinterpret_cast<const char*>(sqlite3_column_text(s, 3)),
                     static_cast<size_t>(sqlite3_column_bytes(s, 3)));
  }
  // Steps a statement that gives no row to keep, and resets it.
  static int step(sqlite3_stmt* s) {
    const int r = sqlite3_step(s);
    if (r != SQLITE_ROW) sqlite3_reset(s);
    return r;
  }

  const char* journal_;
  std::string path_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt *add_ = nullptr, *find_ = nullptr, *walk_[3] = {},
               *modify_ = nullptr, *erase_ = nullptr, *begin_ = nullptr,
               *commit_ = nullptr;
};

}  // namespace

std::unique_ptr<RecordStore> make_sqlite_records(const char* journal) {
  return std::make_unique<SqliteRecords>(journal);
}

}  // namespace peers
