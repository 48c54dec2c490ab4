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
  };
  return table;
}

const EngineInfo* find_engine(const std::string& name) {
  for (const EngineInfo& e : engines()) {
    if (e.name == name) return &e;
  }
  return nullptr;
}

}  // namespace peers
