// Test support of the ISAM class: a fixture that works in a temporary
// directory, counts the error handler's calls and shuts the library down
// after each test; a people database with three indexes; the object's
// errno member called as the header says; and a prober, a child process
// that opens a shared database and answers whether it can lock a record.
#ifndef RECBASE_TESTS_CLASS_CLASS_SUPPORT_H
#define RECBASE_TESTS_CLASS_CLASS_SUPPORT_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "recbase/ISAM.hpp"
#include "tests/support/files.h"
#include "tests/support/spawn.h"

namespace recbase::test {

// The object's last error (the member named like the C library's macro).
inline int last_error(ISAM &o) {
#pragma push_macro("errno")
#undef errno
  return o.errno();
#pragma pop_macro("errno")
}

class ClassTest : public ::testing::Test {
 protected:
  ClassTest() {
    handler_calls = 0;
    handler_object = nullptr;
    ISAM::setErrorHandler(count_error);
  }
  ~ClassTest() override {
    ISAM::setErrorHandler(nullptr);
    ISAM::setDisplayHandler(nullptr);
    ISAM::exit();
  }

  std::string path(const std::string &name) const { return dir_.file(name); }

  // people: name (text), age (I), city (text); indexes "by name", "by age"
  // and "City,U" (unique), besides "Physical Index"; rows added in order.
  struct Person {
    const char *name;
    short age;
    const char *city;
  };
  bool make_people(ISAM &db, const std::vector<Person> &rows) {
    static const char *const fields[] = {"name", "age,I", "city", nullptr};
    static const char *const by_name[] = {"name", nullptr};
    static const char *const by_age[] = {"age,I", "name", nullptr};
    static const char *const by_city[] = {"city", nullptr};
    if (db.create(path("people").c_str(), fields, 0) != 1) return false;
    if (db.index("by name", by_name) != 1 || db.index("by age", by_age) != 1 ||
        db.index("City,U", by_city) != 1) {
      return false;
    }
    for (const Person &p : rows) {
      if (db.setField(0, p.name) != 1 || db.setField(1, p.age) != 1 ||
          db.setField(2, p.city) != 1 || db.addRec() != 1) {
        return false;
      }
    }
    return true;
  }

  static void count_error(ISAM &o) {
    ++handler_calls;
    handler_object = &o;
  }
  static inline int handler_calls = 0;
  static inline ISAM *handler_object = nullptr;

  TempDir dir_;
};

// A child process that opens the database shared on its first question
// and answers each question "can record n of the index be locked now" with
// getRec(1)'s result: 1 (it could, and released it again) or -4 (another
// process holds it, and no error was recorded); anything else is a
// failure. hold(n) locks record n and keeps it locked until the next
// question. It gives up on a held lock at once.
class Prober {
 public:
  Prober(const std::string &db_path, const char *index)
      : child_("prober", {db_path, index}) {}
  ~Prober() {
    const signed char quit = -1;
    if (child_.send(&quit, 1)) child_.wait(5000);
  }
  Prober(const Prober &) = delete;
  Prober &operator=(const Prober &) = delete;

  int can_lock(int n) { return ask(n); }
  int hold(int n) { return ask(kHold + n); }

  // The child's side: args are the database's path and the index's name.
  static int serve(const std::vector<std::string> &args) {
    ISAM::setRetry(1, 0, 0, 2);
    ISAM db;
    bool opened = false;
    for (signed char n = 0; parent_receive(&n, 1) && n >= 0;) {
      signed char answer = -98;
      if (!opened) {
        opened = db.open(args[0].c_str(), 1) == 1 &&
                 db.selectIndex(args[1].c_str()) == 1;
      }
      if (opened) {
        const bool hold = n >= kHold;
        int r = db.findHead();  // releases a lock held
        for (int i = 0; i < n % kHold && r == 1; ++i) r = db.findNext();
        r = r == 1 ? db.getRec(1) : r;
        if (r == -4 && last_error(db) != 0) r = -96;
        if (r == 1 && !hold && db.findHead() != 1) r = -97;
        answer = static_cast<signed char>(r);
      }
      if (!parent_send(&answer, 1)) break;
    }
    return 0;
  }

 private:
  static constexpr int kHold = 64;

  int ask(int n) {
    const signed char ask = static_cast<signed char>(n);
    signed char answer = -99;
    if (!child_.send(&ask, 1) || !child_.receive(&answer, 1)) return -99;
    return answer;
  }

  Child child_;
};
inline const ChildRole kProberRole("prober", Prober::serve);

}  // namespace recbase::test

#endif  // RECBASE_TESTS_CLASS_CLASS_SUPPORT_H
