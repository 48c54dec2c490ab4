// recbase's side of the record benchmark: a database of the fields name,C
// id,L amount,D city,C (texts compared byte for byte, as SQLite's default
// collation does), opened exclusive, its index file in blocks of 4096
// bytes, isaminit(16384, 4096): a pool of 64 MiB like SQLite's cache. The
// indexes "byid,U" (id), "bycity" (city, name) and "byamount" (amount) are
// made while the database is empty. A batch is nothing: changes go to the
// data file at once and to the pool for the index file, which iclose_db
// writes back before its one sync.
//
// "recbase-journal": the same with the rollback journal on (iset_journal)
// and a flush point (iflush_db, with its syncs) at the end of every write
// batch: the durability of a transaction per batch.
#include <recbase/isam.h>
#include <sys/stat.h>

#include <cstring>

#include "bench/peers/records.h"

namespace peers {
namespace {

constexpr int32_t kBlockSize = 4096;
constexpr int32_t kBuffers = static_cast<int32_t>(kCacheBytes / kBlockSize);

[[noreturn]] void fail(const char* call) {
  throw Error(std::string("recbase: ") + call + ": " + isammsg(isam_errno) +
              (isam_errno == ISERR_CBT
                   ? std::string(" (") + cberrmsg(cbget_errcode()) + ")"
                   : std::string()));
}

// The three indexes: name (",U" for unique) and key field specifications.
struct IndexDef {
  const char* name;
  std::vector<const char*> specs;
};
const IndexDef kIndexes[] = {{"byid,U", {"id,L", nullptr}},
                             {"bycity", {"city,C", "name,C", nullptr}},
                             {"byamount", {"amount,D", nullptr}}};

class RecbaseRecords : public RecordStore {
 public:
  explicit RecbaseRecords(bool journal) : journal_(journal) {}

  void create(const std::string& dir) override {
    base_ = dir + "/rows";
    if (isaminit(kBuffers, kBlockSize) != 1) fail("isaminit");
    // No OS flush before close, unless flush points are what is measured.
    cb_set_flush(1, journal_ ? 0 : 1);
    iset_journal(journal_ ? 1 : 0);
    const char* fields[] = {"name,C", "id,L", "amount,D", "city,C", nullptr};
    db_ = icreate_db(base_.c_str(), kBlockSize, fields);
    if (db_ == nullptr) fail("icreate_db");
    for (int i = 0; i < 3; ++i) {
      if (imkindex(db_, kIndexes[i].name, kIndexes[i].specs.data()) != 1) {
        fail("imkindex");
      }
      ix_[i] = ihandle(db_, kIndexes[i].name);
      if (ix_[i] == nullptr) fail("ihandle");
    }
  }

  void add(const Row& r) override {
    set(r);
    if (iaddrec(db_, nullptr, fields_) != 1) fail("iaddrec");
  }

  bool find(int32_t id, Row* out) override {
    if (!go_to(id)) return false;
    read(ix_[0], out);
    return true;
  }

  void walk(Order order, const Visit& visit) override {
    IsamIndex* ix = ix_[static_cast<int>(order)];
    Row row;
    int32_t r = ifindhead(db_, ix);
    for (; r == 1; r = ifindnext(db_, ix)) {
      read(ix, &row);
      visit(row);
    }
    if (r != -3) fail("ifindnext");
  }

  bool set_amount(int32_t id, double amount) override {
    if (!go_to(id)) return false;
    read(ix_[0], &row_);
    row_.amount = amount;
    set(row_);
    if (imodrec(db_, ix_[0], fields_) != 1) fail("imodrec");
    return true;
  }

  bool erase(int32_t id) override {
    if (!go_to(id)) return false;
    if (idelrec(db_, ix_[0]) != 1) fail("idelrec");
    return true;
  }

  void end_batch(bool write) override {
    if (journal_ && write && iflush_db(db_) != 1) fail("iflush_db");
  }

  void close() override {
    cb_set_flush(1, 0);  // the close ends with one OS flush of each file
    if (iclose_db(db_) != 1) fail("iclose_db");
    db_ = nullptr;
    if (isamexit() != 1) fail("isamexit");
  }

  std::vector<std::pair<std::string, int64_t>> files() const override {
    std::vector<std::pair<std::string, int64_t>> out;
    for (const char* ext : {".db", ".idx"}) {
      struct stat st {};
      stat((base_ + ext).c_str(), &st);
      out.emplace_back(std::string("rows") + ext, st.st_size);
    }
    return out;
  }

 private:
  bool go_to(int32_t id) {
    char* key[] = {reinterpret_cast<char*>(&id), nullptr};
    const int32_t r = ifindkey(db_, ix_[0], key);
    if (r == 3) return false;
    if (r != 2) fail("ifindkey");
    return true;
  }

  void read(IsamIndex* ix, Row* out) {
    char* f[5];
    if (igetrec(db_, ix, f, buffer_, sizeof buffer_) != 1) fail("igetrec");
    out->name.assign(f[0]);
    std::memcpy(&out->id, f[1], sizeof out->id);
    std::memcpy(&out->amount, f[2], sizeof out->amount);
    out->city.assign(f[3]);
  }

  void set(const Row& r) {
    id_ = r.id;
    amount_ = r.amount;
    fields_[0] = const_cast<char*>(r.name.c_str());
    fields_[1] = reinterpret_cast<char*>(&id_);
    fields_[2] = reinterpret_cast<char*>(&amount_);
    fields_[3] = const_cast<char*>(r.city.c_str());
    fields_[4] = nullptr;
  }

  const bool journal_;
  std::string base_;
  IsamDb* db_ = nullptr;
  IsamIndex* ix_[3] = {};
  char buffer_[512];
  char* fields_[5] = {};
  int32_t id_ = 0;
  double amount_ = 0;
  Row row_;
};

}  // namespace

std::unique_ptr<RecordStore> make_recbase_records(bool journal) {
  return std::make_unique<RecbaseRecords>(journal);
}

}  // namespace peers
