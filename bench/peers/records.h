// The record benchmark: recbase's ISAM layer against an SQLite table on
// N records of (name text, id 32-bit integer, amount double, city text)
// with a unique index on id and two more orders, (city, name) and amount.
//
// Conventions:
//  1. A store holds rows and three indexes; every call is checked by the
//     workload, which knows every row, so a store returns what it read.
//  2. Changes and reads run in batches of kBatchOps between begin_batch and
//     end_batch (SQLite: one transaction each; recbase: nothing).
//  3. No call syncs to disk except close, which writes everything back and
//     syncs the store's files once.
//  4. A failure of the store itself throws Error with its message.
#ifndef RECBASE_BENCH_PEERS_RECORDS_H
#define RECBASE_BENCH_PEERS_RECORDS_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench/peers/engine.h"

namespace peers {

struct Row {
  std::string name;
  int32_t id = 0;
  double amount = 0;
  std::string city;
};

enum class Order { kId, kCityName, kAmount };

class RecordStore {
 public:
  using Visit = std::function<void(const Row&)>;
  virtual ~RecordStore() = default;
  // Creates an empty store with its indexes in dir.
  virtual void create(const std::string& dir) = 0;
  // Adds the row; a duplicate id is a failure.
  virtual void add(const Row& row) = 0;
  // The row with id into *out; false when there is none.
  virtual bool find(int32_t id, Row* out) = 0;
  // Every row in the order.
  virtual void walk(Order order, const Visit& visit) = 0;
  // Sets the amount of the row id; false when there is none.
  virtual bool set_amount(int32_t id, double amount) = 0;
  // Deletes the row id; false when there is none.
  virtual bool erase(int32_t id) = 0;
  virtual void begin_batch(bool /*write*/) {}
  virtual void end_batch(bool /*write*/) {}
  virtual void close() = 0;
  // Bytes of the store's files after close, by file name.
  virtual std::vector<std::pair<std::string, int64_t>> files() const = 0;
};

// journal: recbase with its journal and a flush point per write batch.
std::unique_ptr<RecordStore> make_recbase_records(bool journal);
// journal: SQLite's journal_mode, "OFF" (synchronous OFF), "DELETE" or
// "WAL" (synchronous NORMAL).
std::unique_ptr<RecordStore> make_sqlite_records(const char* journal);
// The stores by name: recbase, sqlite, recbase-journal, sqlite-delete,
// sqlite-wal; null for another name.
std::unique_ptr<RecordStore> make_records_store(const std::string& name);

// The phases, in the order they run.
inline const std::vector<std::string> kRecordPhases = {
    "add",         "find",   "walk_id", "walk_city_name",
    "walk_amount", "modify", "delete",  "close"};

// A child: the whole record workload on one store; prints its phases and
// the values file_bytes, file_bytes.NAME and peak_rss_kb.
int run_records_child(const std::string& store, int64_t n, uint64_t seed,
                      const std::string& dir);

struct RecordsOptions {
  // The stores compared; the first is set against each of the others.
  std::vector<std::string> stores = {"recbase", "sqlite"};
  int64_t n = 200000;
  int runs = 3;
  uint64_t seed = 20260614;
  std::string recbase_version = "unknown";
  std::string work_dir = "records-work";
  std::string markdown = "records.md";
  std::string csv = "records.csv";
  std::string plot_dir = ".";
};

// Runs both stores runs times, alternating, and writes the report.
int run_records_driver(const RecordsOptions& options);

}  // namespace peers

#endif  // RECBASE_BENCH_PEERS_RECORDS_H
