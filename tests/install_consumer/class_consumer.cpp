// Links the C++ class of an installed recbase: creates a database in the
// current directory, adds a record, finds it by key and shuts down.
#include <cstdio>
#include <cstring>

#include "recbase/ISAM.hpp"

int main() {
  const char *const fields[] = {"name", "n,L", nullptr};
  const char *const by_name[] = {"name", nullptr};
  ISAM db;
  if (db.create("consumer", fields, 0) != 1 ||
      db.index("names", by_name) != 1 || db.setField(0, "one") != 1 ||
      db.setField(1, 1L) != 1 || db.addRec() != 1 || db.setField(1, 0L) != 1) {
    return 1;
  }
  long n = 0;
  if (db.findKey() != 2 || db.getRec(0) != 1 || db.getField(1, n) != 1 ||
      n != 1) {
    return 1;
  }
  db.selectIndex("no such index");
#pragma push_macro("errno")
#undef errno
  const int code = db.errno();
#pragma pop_macro("errno")
  if (code != 8 || std::strcmp(db.errmsg(), "Unknown index name") != 0) {
    return 1;
  }
  std::printf("installed recbase: the ISAM class works\n");
  return db.close() == 1 && ISAM::exit() == 1 ? 0 : 1;
}
