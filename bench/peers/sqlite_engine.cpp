// SQLite: one WITHOUT ROWID table (key BLOB PRIMARY KEY, item INTEGER),
// prepared statements, page size 4096 and a 64 MiB page cache, every batch
// one transaction. Unshared: journal_mode OFF. Shared: the default rollback
// journal (DELETE) and locking, write batches taken with BEGIN IMMEDIATE so
// that two writers wait for each other instead of failing. synchronous OFF
// in both modes; close syncs the database file once.
//
// "sqlite-delete" and "sqlite-wal": unshared with its journal on
// (journal_mode DELETE or WAL) and synchronous NORMAL, so that every
// transaction (a batch) is atomic and, but for WAL's deferred syncs,
// durable.
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include "bench/peers/engine.h"

namespace peers {
namespace {

class SqliteEngine : public Engine {
 public:
  // journal: "" (none unless shared), "DELETE" or "WAL".
  explicit SqliteEngine(const char* journal) : journal_(journal) {}

  void open(const StoreOptions& o) override {
    path_ = o.dir + "/store.db";
    if (sqlite3_open(path_.c_str(), &db_) != SQLITE_OK) fail("open");
    sqlite3_busy_timeout(db_, 600000);
    exec("PRAGMA page_size=4096");
    exec("PRAGMA cache_size=" + std::to_string(-kCacheBytes / 1024));
    if (*journal_ != '\0') {
      exec(std::string("PRAGMA journal_mode=") + journal_);
      exec("PRAGMA synchronous=NORMAL");
    } else {
      exec(o.shared ? "PRAGMA journal_mode=DELETE" : "PRAGMA journal_mode=OFF");
      exec("PRAGMA synchronous=OFF");
    }
    if (o.create) {
      exec(
          "CREATE TABLE kv(k BLOB PRIMARY KEY, v INTEGER NOT NULL) "
          "WITHOUT ROWID");
    }
    insert_ = prepare("INSERT INTO kv(k, v) VALUES(?1, ?2)");
    find_ = prepare("SELECT v FROM kv WHERE k = ?1");
    erase_ = prepare("DELETE FROM kv WHERE k = ?1");
    scan_ = prepare("SELECT k, v FROM kv ORDER BY k");
    begin_read_ = prepare("BEGIN");
    begin_write_ = prepare("BEGIN IMMEDIATE");
    commit_ = prepare("COMMIT");
  }

  void insert(const uint8_t* key, uint32_t item) override {
    bind_key(insert_, key);
    sqlite3_bind_int64(insert_, 2, item);
    if (step(insert_) != SQLITE_DONE) fail("insert");
  }

  bool find(const uint8_t* key, uint32_t* item) override {
    bind_key(find_, key);
    const int r = step(find_);
    if (r == SQLITE_ROW) {
      *item = static_cast<uint32_t>(sqlite3_column_int64(find_, 0));
    } else if (r != SQLITE_DONE) {
      fail("select");
    }
    sqlite3_reset(find_);
    return r == SQLITE_ROW;
  }

  bool erase(const uint8_t* key, uint32_t /*item*/) override {
    bind_key(erase_, key);
    if (step(erase_) != SQLITE_DONE) fail("delete");
    return sqlite3_changes(db_) == 1;
  }

  void scan(const Visit& visit) override {
    int r;
    while ((r = sqlite3_step(scan_)) == SQLITE_ROW) {
      visit(static_cast<const uint8_t*>(sqlite3_column_blob(scan_, 0)),
            static_cast<size_t>(sqlite3_column_bytes(scan_, 0)),
            static_cast<uint32_t>(sqlite3_column_int64(scan_, 1)));
    }
    if (r != SQLITE_DONE) fail("scan");
    sqlite3_reset(scan_);
  }

  void begin_batch(bool write) override {
    if (step(write ? begin_write_ : begin_read_) != SQLITE_DONE) fail("begin");
  }
  void end_batch(bool /*write*/) override {
    if (step(commit_) != SQLITE_DONE) fail("commit");
  }

  void close() override {
    for (sqlite3_stmt* s :
         {insert_, find_, erase_, scan_, begin_read_, begin_write_, commit_}) {
      sqlite3_finalize(s);
    }
    if (sqlite3_close(db_) != SQLITE_OK) fail("close");
    db_ = nullptr;
    // synchronous OFF never syncs: the one sync at close is ours.
    const int fd = ::open(path_.c_str(), O_RDONLY);
    if (fd < 0 || fsync(fd) != 0) throw Error("sqlite: fsync of " + path_);
    ::close(fd);
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
  static void bind_key(sqlite3_stmt* s, const uint8_t* key) {
    sqlite3_bind_blob(s, 1, key, static_cast<int>(kKeyBytes), SQLITE_STATIC);
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
  sqlite3_stmt *insert_ = nullptr, *find_ = nullptr, *erase_ = nullptr,
               *scan_ = nullptr, *begin_read_ = nullptr,
               *begin_write_ = nullptr, *commit_ = nullptr;
};

}  // namespace

std::unique_ptr<Engine> make_sqlite() {
  return std::make_unique<SqliteEngine>("");
}
std::unique_ptr<Engine> make_sqlite_delete() {
  return std::make_unique<SqliteEngine>("DELETE");
}
std::unique_ptr<Engine> make_sqlite_wal() {
  return std::make_unique<SqliteEngine>("WAL");
}

}  // namespace peers
