// recbase's B-tree layer: one tree file, block size 4096, a pool of 4096-byte
// buffers (16,384 of them, 64 MiB, unless the run sets another size), the
// default key order (cbkeycmp).
//
// "recbase-journal": the same with the rollback journal on and a flush point
// (cbflush, with its syncs) at the end of every write batch: the durability
// of a transaction per batch.
//
// Unshared, a batch is nothing: changes stay in the pool until cbclose,
// which writes them back and syncs once. Shared, a batch is an explicit
// lock (writer for changes, reader for lookups) and the OS flush is skipped
// until close, so the deferred write-back at each cbunlock reaches the file
// without a sync. With lock_per_call every call takes and releases its own
// lock and writes its change back before returning.
#include <recbase/cbt.h>

#include <cstdint>

#include "bench/peers/engine.h"

namespace peers {
namespace {

constexpr int32_t kBlockSize = 4096;
constexpr int32_t kKeyLen = static_cast<int32_t>(kKeyBytes);

[[noreturn]] void fail(const char* call) {
  throw Error(std::string("recbase: ") + call + ": " +
              cberrmsg(cbget_errcode()) + " (while " +
              cbconmsg(cbget_concode()) + ")");
}

class RecbaseEngine : public Engine {
 public:
  explicit RecbaseEngine(bool journal) : journal_(journal) {}

  void open(const StoreOptions& o) override {
    explicit_locks_ = o.shared && !o.lock_per_call;
    const int64_t buffers = o.pool_bytes / kBlockSize;
    if (buffers > INT32_MAX) throw Error("recbase: pool too large");
    if (cbinit(static_cast<int32_t>(buffers), kBlockSize) != 1) fail("cbinit");
    cb_set_journal(journal_ ? 1 : 0);
    if (o.shared) {
      cblock_timeout(1000000, 1, 600000);  // the other process holds a batch
      cb_set_flush(1, 1);
    }
    const std::string path = o.dir + "/tree.cbt";
    tree_ = o.create ? cbscreate(path.c_str(), nullptr, kBlockSize, o.shared)
                     : cbopen_shared(path.c_str(), nullptr, o.shared, 0);
    if (tree_ == nullptr) fail(o.create ? "cbscreate" : "cbopen_shared");
  }

  void insert(const uint8_t* key, uint32_t item) override {
    if (cbinsert(tree_, key, kKeyLen, static_cast<int32_t>(item), 0) != 1) {
      fail("cbinsert");
    }
  }

  bool find(const uint8_t* key, uint32_t* item) override {
    int32_t found = 0;
    const int32_t r = cbfind(tree_, key, kKeyLen, &found);
    if (r == 3 || r == -3) return false;
    if (r != 2) fail("cbfind");
    *item = static_cast<uint32_t>(found);
    return true;
  }

  bool erase(const uint8_t* key, uint32_t item) override {
    if (cbdelete(tree_, key, kKeyLen, static_cast<int32_t>(item)) == 1) {
      return true;
    }
    const int32_t e = cbget_errcode();
    if (e == CBERR_NOT_FOUND || e == CBERR_EMPTY_TREE) return false;
    fail("cbdelete");
  }

  void scan(const Visit& visit) override {
    uint8_t key[kKeyBytes + 1];
    int32_t item = 0;
    int32_t len = 0;
    int32_t r = cbhead(tree_, &item);
    for (; r == 1; r = cbnext(tree_, &item)) {
      if (cbkeylen(tree_, &len) != 1) fail("cbkeylen");
      if (cbkey(tree_, key, sizeof key) != 1) fail("cbkey");
      visit(key, static_cast<size_t>(len), static_cast<uint32_t>(item));
    }
    if (r != -3) fail("cbnext");
  }

  void begin_batch(bool write) override {
    if (explicit_locks_ && cblock(tree_, write ? 2 : 1) != 1) fail("cblock");
  }

  void end_batch(bool write) override {
    if (explicit_locks_ && cbunlock(tree_, write ? 2 : 1) != 1) {
      fail("cbunlock");
    }
    if (journal_ && write && cbflush(tree_) != 1) fail("cbflush");
  }

  void close() override {
    cb_set_flush(1, 0);  // the write-back at close ends with one OS flush
    CbTree* tree = tree_;
    tree_ = nullptr;
    if (cbclose(tree) != 1) fail("cbclose");
    if (cbexit() != 1) fail("cbexit");
  }

 private:
  const bool journal_;
  CbTree* tree_ = nullptr;
  bool explicit_locks_ = false;
};

}  // namespace

std::unique_ptr<Engine> make_recbase() {
  return std::make_unique<RecbaseEngine>(false);
}
std::unique_ptr<Engine> make_recbase_journal() {
  return std::make_unique<RecbaseEngine>(true);
}

}  // namespace peers
