// LMDB: one environment directory opened with MDB_NOSYNC, the unnamed
// database, a map of 4 GiB (room for 10^7 keys several times over; LMDB
// has no cache setting: the OS page cache holds its map). A write batch is
// one write transaction, a read batch one read-only transaction. close
// syncs once with mdb_env_sync.
#include <lmdb.h>

#include <cstring>

#include "bench/peers/engine.h"

namespace peers {
namespace {

constexpr size_t kMapBytes = size_t{4} << 30;

void check(int rc, const char* what) {
  if (rc != MDB_SUCCESS) {
    throw Error(std::string("lmdb: ") + what + ": " + mdb_strerror(rc));
  }
}

MDB_val value_of(const void* data, size_t size) {
  return MDB_val{size, const_cast<void*>(data)};
}

class LmdbEngine : public Engine {
 public:
  void open(const StoreOptions& o) override {
    check(mdb_env_create(&env_), "mdb_env_create");
    check(mdb_env_set_mapsize(env_, kMapBytes), "mdb_env_set_mapsize");
    check(mdb_env_open(env_, o.dir.c_str(), MDB_NOSYNC, 0644), "mdb_env_open");
    begin_batch(true);
    check(mdb_dbi_open(txn_, nullptr, 0, &dbi_), "mdb_dbi_open");
    end_batch(true);
  }

  void insert(const uint8_t* key, uint32_t item) override {
    MDB_val k = value_of(key, kKeyBytes);
    MDB_val v = value_of(&item, sizeof item);
    check(mdb_put(txn_, dbi_, &k, &v, MDB_NOOVERWRITE), "mdb_put");
  }

  bool find(const uint8_t* key, uint32_t* item) override {
    MDB_val k = value_of(key, kKeyBytes);
    MDB_val v;
    const int rc = mdb_get(txn_, dbi_, &k, &v);
    if (rc == MDB_NOTFOUND) return false;
    check(rc, "mdb_get");
    if (v.mv_size != sizeof *item) throw Error("lmdb: item of wrong size");
    std::memcpy(item, v.mv_data, sizeof *item);
    return true;
  }

  bool erase(const uint8_t* key, uint32_t /*item*/) override {
    MDB_val k = value_of(key, kKeyBytes);
    const int rc = mdb_del(txn_, dbi_, &k, nullptr);
    if (rc == MDB_NOTFOUND) return false;
    check(rc, "mdb_del");
    return true;
  }

  void scan(const Visit& visit) override {
    MDB_cursor* cursor = nullptr;
    check(mdb_cursor_open(txn_, dbi_, &cursor), "mdb_cursor_open");
    MDB_val k;
    MDB_val v;
    int rc = mdb_cursor_get(cursor, &k, &v, MDB_FIRST);
    for (; rc == MDB_SUCCESS; rc = mdb_cursor_get(cursor, &k, &v, MDB_NEXT)) {
      uint32_t item = 0;
      if (v.mv_size != sizeof item) throw Error("lmdb: item of wrong size");
      std::memcpy(&item, v.mv_data, sizeof item);
      visit(static_cast<const uint8_t*>(k.mv_data), k.mv_size, item);
    }
    mdb_cursor_close(cursor);
    if (rc != MDB_NOTFOUND) check(rc, "mdb_cursor_get");
  }

  void begin_batch(bool write) override {
    check(mdb_txn_begin(env_, nullptr, write ? 0 : MDB_RDONLY, &txn_),
          "mdb_txn_begin");
  }

  void end_batch(bool write) override {
    MDB_txn* txn = txn_;
    txn_ = nullptr;
    if (write) {
      check(mdb_txn_commit(txn), "mdb_txn_commit");
    } else {
      mdb_txn_abort(txn);
    }
  }

  void close() override {
    check(mdb_env_sync(env_, 1), "mdb_env_sync");
    mdb_dbi_close(env_, dbi_);
    mdb_env_close(env_);
    env_ = nullptr;
  }

 private:
  MDB_env* env_ = nullptr;
  MDB_txn* txn_ = nullptr;
  MDB_dbi dbi_ = 0;
};

}  // namespace

std::unique_ptr<Engine> make_lmdb() { return std::make_unique<LmdbEngine>(); }

}  // namespace peers
