// The one interface through which the peer benchmark drives every store.
//
// Conventions:
//  1. A store holds pairs of a 16-byte key and a 32-bit item, ordered by the
//     key's bytes compared unsigned (every engine's default order for the
//     keys the workload makes).
//  2. Every operation runs between begin_batch and end_batch; the driver
//     groups kBatchOps operations per batch. An engine makes a batch one
//     transaction or one lock held across calls where it has them, or
//     ignores the calls (each adapter says which).
//  3. No call syncs to disk except close, which writes everything back and
//     syncs the store's files once.
//  4. A failure of the engine itself throws Error with the engine's message.
//     Results the workload checks (found or not, item, order) are returned.
#ifndef RECBASE_BENCH_PEERS_ENGINE_H
#define RECBASE_BENCH_PEERS_ENGINE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace peers {

inline constexpr size_t kKeyBytes = 16;
inline constexpr size_t kBatchOps = 10000;
// Cache given to every engine that has the setting.
inline constexpr int64_t kCacheBytes = int64_t{64} << 20;

struct Error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct StoreOptions {
  std::string dir;             // the store's own directory; it exists
  bool create = true;          // a new empty store, else the existing one
  bool shared = false;         // other processes may open it at the same time
  bool lock_per_call = false;  // shared: no lock held across a batch
  // recbase's pool (the other engines always get kCacheBytes).
  int64_t pool_bytes = kCacheBytes;
};

class Engine {
 public:
  // Receives each pair of an ordered scan.
  using Visit =
      std::function<void(const uint8_t* key, size_t key_len, uint32_t item)>;

  virtual ~Engine() = default;
  virtual void open(const StoreOptions& options) = 0;
  // Adds a pair whose key is absent; a present key is a failure.
  virtual void insert(const uint8_t* key, uint32_t item) = 0;
  // True with *item set when the key is present.
  virtual bool find(const uint8_t* key, uint32_t* item) = 0;
  // Removes the key (whose item the caller knows); false when absent.
  virtual bool erase(const uint8_t* key, uint32_t item) = 0;
  // Calls visit for every pair in key order.
  virtual void scan(const Visit& visit) = 0;
  virtual void begin_batch(bool /*write*/) {}
  virtual void end_batch(bool /*write*/) {}
  virtual void close() = 0;
};

// The engines by name, and the Debian package whose version the report
// gives (empty for recbase itself).
struct EngineInfo {
  std::string name;
  std::string package;
  std::unique_ptr<Engine> (*make)();
};
const std::vector<EngineInfo>& engines();
const EngineInfo* find_engine(const std::string& name);

std::unique_ptr<Engine> make_recbase();
std::unique_ptr<Engine> make_recbase_journal();
std::unique_ptr<Engine> make_sqlite();
std::unique_ptr<Engine> make_sqlite_delete();
std::unique_ptr<Engine> make_sqlite_wal();
// Engines with a journal (their names have a dash): compared with each
// other in a table of their own, not with the others.
bool journalled(const std::string& engine);
std::unique_ptr<Engine> make_lmdb();
std::unique_ptr<Engine> make_bdb();
std::unique_ptr<Engine> make_kyoto();

}  // namespace peers

#endif  // RECBASE_BENCH_PEERS_ENGINE_H
