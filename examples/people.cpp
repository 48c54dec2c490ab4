// A first look at the ISAM class: a database of people kept in order by
// three indexes; records added, found by key, walked in order, changed,
// deleted and shown. The database's files are NAME.db and NAME.idx, NAME
// being the first argument (default "people").
#include <cstdio>

#include "recbase/ISAM.hpp"

namespace {

// Field numbers, in the order of the definitions given to create.
enum { kName, kAge, kCity };

void print_current(ISAM &db) {
  short age = 0;
  db.getField(kAge, age);
  std::printf("  %-8s %3d  %s\n", db.getField(kName), age, db.getField(kCity));
}

}  // namespace

int main(int argc, char **argv) {
  const char *name = argc > 1 ? argv[1] : "people";

  // Every failing member calls this handler (once): print why it failed.
  ISAM::setErrorHandler([](ISAM &db) { db.showErr(); });

  // A field is "name" (text) or "name,type" (I: 16-bit integer).
  const char *const fields[] = {"name", "age,I", "city", nullptr};
  ISAM db;
  if (db.create(name, fields, 0) != 1) return 1;

  // An index orders the records by its key fields; ",U" in its name makes
  // it unique. Records added later are kept in every index.
  const char *const by_name[] = {"name", nullptr};
  const char *const by_age[] = {"age,I", "name", nullptr};
  const char *const by_city[] = {"city", "name", nullptr};
  if (db.index("by name,U", by_name) != 1 || db.index("by age", by_age) != 1 ||
      db.index("by city", by_city) != 1) {
    return 1;
  }

  // Add: fill the field buffers, then addRec.
  const struct {
    const char *name;
    short age;
    const char *city;
  } people[] = {{"Ada", 36, "London"},      {"Alan", 41, "Wilmslow"},
                {"Grace", 85, "Arlington"}, {"Edsger", 72, "Nuenen"},
                {"Barbara", 45, "Boston"},  {"Charles", 79, "London"}};
  for (const auto &p : people) {
    db.setField(kName, p.name);
    db.setField(kAge, p.age);
    db.setField(kCity, p.city);
    if (db.addRec() != 1) return 1;
  }

  // Find: select an index, put the key in its fields' buffers, findKey
  // (2: found; 3: not found, on the next record). getRec reads the record
  // into the buffers.
  db.selectIndex("by name,U");
  db.setField(kName, "grace");  // text keys compare without regard to case
  if (db.findKey() == 2 && db.getRec(0) == 1) {
    std::printf("found:\n");
    print_current(db);
  }

  // Walk: findHead, then findNext until it is past the last record (-3).
  db.selectIndex("by age");
  std::printf("by age:\n");
  for (int r = db.findHead(); r == 1; r = db.findNext()) {
    db.getRec(0);
    print_current(db);
  }

  // Modify: find and read the record, change its buffers, modRec. Every
  // index follows.
  db.selectIndex("by name,U");
  db.setField(kName, "Alan");
  if (db.findKey() == 2 && db.getRec(0) == 1) {
    db.setField(kCity, "Manchester");
    db.modRec();
  }

  // Delete: find the record, delRec.
  db.setField(kName, "Charles");
  if (db.findKey() == 2) db.delRec();

  // Show every record in the order of the city index, one per line.
  db.selectIndex("by city");
  std::printf("by city, after the changes:\n");
  db.showFile(" | ");

  std::printf("%d indexes:", db.getIndexCount());
  for (int i = 0; i < db.getIndexCount(); ++i) {
    std::printf(" \"%s\"", db.getIndexName(i));
  }
  std::printf("\n");
  return db.close() == 1 && ISAM::exit() == 1 ? 0 : 1;
}
