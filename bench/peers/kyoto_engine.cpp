// Kyoto Cabinet: one TreeDB file with a 64 MiB page cache and its default
// page size, no transactions. Even begun with hard = false, a TreeDB
// transaction writes its whole page cache and an undo log back at each end;
// SQLite here runs without its journal, so batches are nothing for Kyoto.
// close syncs once with synchronize(true).
#include <kchashdb.h>

#include <cstring>

#include "bench/peers/engine.h"

namespace peers {
namespace {

namespace kc = kyotocabinet;

// Passes each record of an iteration to the scan's visitor, unchanged.
class ScanVisitor : public kc::DB::Visitor {
 public:
  explicit ScanVisitor(const Engine::Visit& visit) : visit_(visit) {}
  const char* visit_full(const char* kbuf, size_t ksiz, const char* vbuf,
                         size_t vsiz, size_t* /*sp*/) override {
    uint32_t item = 0;
    if (vsiz != sizeof item) throw Error("kyoto: item of wrong size");
    std::memcpy(&item, vbuf, sizeof item);
    visit_(reinterpret_cast<const uint8_t*>(kbuf), ksiz, item);
    return NOP;
  }

 private:
  const Engine::Visit& visit_;
};

class KyotoEngine : public Engine {
 public:
  void open(const StoreOptions& o) override {
    check(db_.tune_page_cache(kCacheBytes), "tune_page_cache");
    const uint32_t mode = kc::TreeDB::OWRITER | kc::TreeDB::OCREATE |
                          (o.create ? kc::TreeDB::OTRUNCATE : 0);
    check(db_.open(o.dir + "/store.kct", mode), "open");
  }

  void insert(const uint8_t* key, uint32_t item) override {
    check(db_.add(as_chars(key), kKeyBytes, as_chars(&item), sizeof item),
          "add");
  }

  bool find(const uint8_t* key, uint32_t* item) override {
    const int32_t n = db_.get(as_chars(key), kKeyBytes,
                              reinterpret_cast<char*>(item), sizeof *item);
    if (n < 0 && db_.error().code() == kc::BasicDB::Error::NOREC) return false;
    check(n == sizeof *item, "get");
    return true;
  }

  bool erase(const uint8_t* key, uint32_t /*item*/) override {
    if (db_.remove(as_chars(key), kKeyBytes)) return true;
    check(db_.error().code() == kc::BasicDB::Error::NOREC, "remove");
    return false;
  }

  void scan(const Visit& visit) override {
    ScanVisitor visitor(visit);
    check(db_.iterate(&visitor, false), "iterate");
  }

  void close() override {
    check(db_.synchronize(true), "synchronize");
    check(db_.close(), "close");
  }

 private:
  static const char* as_chars(const void* p) {
    return static_cast<const char*>(p);
  }
  void check(bool ok, const char* what) {
    if (!ok) {
      throw Error(std::string("kyoto: ") + what + ": " + db_.error().name() +
                  " " + db_.error().message());
    }
  }

  kc::TreeDB db_;
};

}  // namespace

std::unique_ptr<Engine> make_kyoto() { return std::make_unique<KyotoEngine>(); }

}  // namespace peers
