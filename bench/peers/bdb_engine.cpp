// Berkeley DB: one DB_BTREE file with no environment (so no transactions:
// batches are nothing), page size 4096, a 64 MiB cache. DB->close writes
// the cache back and syncs the file once.
#include <db.h>

#include <cstring>

#include "bench/peers/engine.h"

namespace peers {
namespace {

void check(int rc, const char* what) {
  if (rc != 0)
    throw Error(std::string("bdb: ") + what + ": " + db_strerror(rc));
}

DBT dbt_of(const void* data, uint32_t size) {
  DBT d{};
  d.data = const_cast<void*>(data);
  d.size = size;
  return d;
}

class BdbEngine : public Engine {
 public:
  void open(const StoreOptions& o) override {
    check(db_create(&db_, nullptr, 0), "db_create");
    check(db_->set_cachesize(db_, 0, static_cast<uint32_t>(kCacheBytes), 1),
          "set_cachesize");
    check(db_->set_pagesize(db_, 4096), "set_pagesize");
    const std::string path = o.dir + "/store.bdb";
    check(db_->open(db_, nullptr, path.c_str(), nullptr, DB_BTREE,
                    o.create ? DB_CREATE : 0, 0644),
          "open");
  }

  void insert(const uint8_t* key, uint32_t item) override {
    DBT k = dbt_of(key, kKeyBytes);
    DBT v = dbt_of(&item, sizeof item);
    check(db_->put(db_, nullptr, &k, &v, DB_NOOVERWRITE), "put");
  }

  bool find(const uint8_t* key, uint32_t* item) override {
    DBT k = dbt_of(key, kKeyBytes);
    DBT v = dbt_of(item, 0);
    v.ulen = sizeof *item;
    v.flags = DB_DBT_USERMEM;
    const int rc = db_->get(db_, nullptr, &k, &v, 0);
    if (rc == DB_NOTFOUND) return false;
    check(rc, "get");
    if (v.size != sizeof *item) throw Error("bdb: item of wrong size");
    return true;
  }

  bool erase(const uint8_t* key, uint32_t /*item*/) override {
    DBT k = dbt_of(key, kKeyBytes);
    const int rc = db_->del(db_, nullptr, &k, 0);
    if (rc == DB_NOTFOUND) return false;
    check(rc, "del");
    return true;
  }

  void scan(const Visit& visit) override {
    DBC* cursor = nullptr;
    check(db_->cursor(db_, nullptr, &cursor, 0), "cursor");
    DBT k{};
    DBT v{};
    int rc;
    while ((rc = cursor->get(cursor, &k, &v, DB_NEXT)) == 0) {
      uint32_t item = 0;
      if (v.size != sizeof item) throw Error("bdb: item of wrong size");
      std::memcpy(&item, v.data, sizeof item);
      visit(static_cast<const uint8_t*>(k.data), k.size, item);
    }
    cursor->close(cursor);
    if (rc != DB_NOTFOUND) check(rc, "cursor get");
  }

  void close() override {
    DB* db = db_;
    db_ = nullptr;
    check(db->close(db, 0), "close");
  }

 private:
  DB* db_ = nullptr;
};

}  // namespace

std::unique_ptr<Engine> make_bdb() { return std::make_unique<BdbEngine>(); }

}  // namespace peers
