// The table of engines the benchmark knows.
#include "bench/peers/engine.h"

namespace peers {

const std::vector<EngineInfo>& engines() {
  static const std::vector<EngineInfo> table = {
      {"recbase", "", make_recbase},
      {"sqlite", "libsqlite3-dev", make_sqlite},
      {"lmdb", "liblmdb-dev", make_lmdb},
      {"bdb", "libdb5.3-dev", make_bdb},
      {"kyoto", "libkyotocabinet-dev", make_kyoto},
      {"recbase-journal", "", make_recbase_journal},
      {"sqlite-delete", "libsqlite3-dev", make_sqlite_delete},
      {"sqlite-wal", "libsqlite3-dev", make_sqlite_wal},
  };
  return table;
}

bool journalled(const std::string& engine) {
  return engine.find('-') != std::string::npos;
}

const EngineInfo* find_engine(const std::string& name) {
  for (const EngineInfo& e : engines()) {
    if (e.name == name) return &e;
  }
  return nullptr;
}

}  // namespace peers
