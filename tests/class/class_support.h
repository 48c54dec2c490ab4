// Test support of the ISAM class: a fixture that works in a temporary
// directory, counts the error handler's calls and shuts the library down
// after each test; a people database with three indexes; the object's
// errno member called as the header says; and a prober, a forked process
// that opens a shared database and answers whether it can lock a record.
#ifndef RECBASE_TESTS_CLASS_CLASS_SUPPORT_H
#define RECBASE_TESTS_CLASS_CLASS_SUPPORT_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "recbase/ISAM.hpp"
#include "tests/support/files.h"
#include "tests/support/process.h"

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

// A forked process, started before the test process sets the library up,
// that opens the database shared on its first question and answers each
// question "can record n of the index be locked now" with getRec(1)'s
// result: 1 (it could, and released it again) or -4 (another process holds
// it, and no error was recorded); anything else is a failure. hold(n)
// locks record n and keeps it locked until the next question. It gives up
// on a held lock at once.
class Prober {
 public:
  Prober(const std::string &db_path, const char *index) {
    int down[2], up[2];
    if (pipe(down) != 0 || pipe(up) != 0) return;
    pid_ = spawn([&] {
      ::close(down[1]);
      ::close(up[0]);
      return serve(down[0], up[1], db_path, index);
    });
    ::close(down[0]);
    ::close(up[1]);
    out_ = down[1];
    in_ = up[0];
  }
  ~Prober() {
    const signed char quit = -1;
    if (::write(out_, &quit, 1) == 1) wait_child(pid_, 5000);
    ::close(out_);
    ::close(in_);
  }
  Prober(const Prober &) = delete;
  Prober &operator=(const Prober &) = delete;

  int can_lock(int n) { return ask(n); }
  int hold(int n) { return ask(kHold + n); }

 private:
  static constexpr int kHold = 64;

  int ask(int n) {
    const signed char ask = static_cast<signed char>(n);
    signed char answer = -99;
    if (::write(out_, &ask, 1) != 1 || ::read(in_, &answer, 1) != 1) {
      return -99;
    }
    return answer;
  }

  static int serve(int in, int out, const std::string &db_path,
                   const char *index) {
    ISAM::setRetry(1, 0, 0, 2);
    ISAM db;
    bool opened = false;
    for (signed char n = 0; ::read(in, &n, 1) == 1 && n >= 0;) {
      signed char answer = -98;
      if (!opened) {
        opened = db.open(db_path.c_str(), 1) == 1 && db.selectIndex(index) == 1;
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
      if (::write(out, &answer, 1) != 1) break;
    }
    return 0;
  }

  pid_t pid_ = -1;
  int out_ = -1, in_ = -1;
};

}  // namespace recbase::test

#endif  // RECBASE_TESTS_CLASS_CLASS_SUPPORT_H
