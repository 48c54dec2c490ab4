// An object's life through the class: closed objects refuse every member
// with error 1, opens and creates that fail, open modes, exit refused while
// an object is open, and the error handler called once per error and never
// from within itself.
#include <functional>

#include "tests/class/class_support.h"

namespace recbase::test {
namespace {

using LifecycleTest = ClassTest;

TEST_F(LifecycleTest, AClosedObjectRefusesEveryMemberWithError1) {
  ISAM o;
  EXPECT_EQ(last_error(o), 0);
  EXPECT_EQ(o.close(), 1);
  const char *const specs[] = {"a", nullptr};
  char buf[8];
  int id = 0;
  short s = 0;
  const std::function<bool(ISAM &)> members[] = {
      [&](ISAM &x) { return x.getField(0) == nullptr; },
      [&](ISAM &x) { return x.getField(0, s) == -1; },
      [&](ISAM &x) { return x.getField(0, buf, 8) == -1; },
      [&](ISAM &x) { return x.setField(0, 1) == -1; },
      [&](ISAM &x) { return x.setField(0, "a") == -1; },
      [&](ISAM &x) { return x.setFieldClear(10) == -1; },
      [&](ISAM &x) { return x.getFieldCount() == -1; },
      [&](ISAM &x) { return x.getFieldType(0) == -1; },
      [&](ISAM &x) { return x.getFieldLength(0) == -1; },
      [&](ISAM &x) { return x.getFieldNumber("a") == -1; },
      [&](ISAM &x) { return x.getFileName() == nullptr; },
      [&](ISAM &x) { return x.getKeyCount() == -1; },
      [&](ISAM &x) { return x.getKeyLength(0) == -1; },
      [&](ISAM &x) { return x.getKeyStart(0) == -1; },
      [&](ISAM &x) { return x.getIndexCount() == -1; },
      [&](ISAM &x) { return x.getIndexName(0) == nullptr; },
      [&](ISAM &x) { return x.getIndexName(0, buf, 8) == -1; },
      [&](ISAM &x) { return x.getIndexNameList() == nullptr; },
      [&](ISAM &x) { return x.getRec(1) == -1; },
      [&](ISAM &x) { return x.getRecLen() == -1; },
      [&](ISAM &x) { return x.addRec() == -1; },
      [&](ISAM &x) { return x.modRec() == -1; },
      [&](ISAM &x) { return x.delRec() == -1; },
      [&](ISAM &x) { return x.findKey() == -1; },
      [&](ISAM &x) { return x.findRec() == -1; },
      [&](ISAM &x) { return x.findHead() == -1; },
      [&](ISAM &x) { return x.findTail() == -1; },
      [&](ISAM &x) { return x.findNext() == -1; },
      [&](ISAM &x) { return x.findPrev() == -1; },
      [&](ISAM &x) { return x.findMark() == -1; },
      [&](ISAM &x) { return x.markRec() == -1; },
      [&](ISAM &x) { return x.matchKey() == -1; },
      [&](ISAM &x) { return x.flush() == -1; },
      [&](ISAM &x) { return x.lockRec(id) == -1; },
      [&](ISAM &x) { return x.unlockRec(1) == -1; },
      [&](ISAM &x) { return x.lockFile(1) == -1; },
      [&](ISAM &x) { return x.unlockFile(1) == -1; },
      [&](ISAM &x) { return x.selectIndex("a") == -1; },
      [&](ISAM &x) { return x.index("a", specs) == -1; },
      [&](ISAM &x) { return x.reindex(0, 1) == -1; },
      [&](ISAM &x) { return x.removeIndex("a") == -1; },
  };
  int n = 0;
  for (const auto &member : members) {
    SCOPED_TRACE(n++);
    handler_calls = 0;
    handler_object = nullptr;
    EXPECT_TRUE(member(o));
    EXPECT_EQ(last_error(o), 1);
    EXPECT_EQ(ISAM::_errno(), 1);
    EXPECT_EQ(handler_calls, 1);
    EXPECT_EQ(handler_object, &o);
    o.errClear();
  }
}

TEST_F(LifecycleTest, FailedOpensAndCreatesLeaveAClosedObjectAndSayWhy) {
  const char *const fields[] = {"a", "b,L", nullptr};
  const struct {
    const char *what;
    std::function<int(ISAM &)> call;
    int code;
  } cases[] = {
      {"open of a missing database",
       [&](ISAM &o) { return o.open(path("missing").c_str(), 0); }, 10},
      {"create without a name",
       [&](ISAM &o) { return o.create(nullptr, fields, 0); }, 35},
      {"create without fields",
       [&](ISAM &o) { return o.create(path("x").c_str(), nullptr, 0); }, 35},
      {"create with a block larger than the pool's",
       [&](ISAM &o) { return o.create(path("x").c_str(), fields, 4096); }, 20},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    ISAM o;
    handler_calls = 0;
    EXPECT_EQ(c.call(o), -1);
    EXPECT_EQ(last_error(o), c.code);
    EXPECT_EQ(handler_calls, 1);
    EXPECT_EQ(handler_object, &o);
    EXPECT_EQ(o.getFileName(), nullptr);  // closed: error 1 now
  }
  handler_calls = 0;
  ISAM constructed(path("missing").c_str(), 0);
  EXPECT_EQ(last_error(constructed), 10);
  EXPECT_EQ(handler_calls, 1);
}

TEST_F(LifecycleTest, ModesOpenSharedAndReadOnly) {
  const char *const fields[] = {"a", nullptr};
  {
    ISAM made;
    ASSERT_EQ(made.create(path("m").c_str(), fields, 0), 1);
    ASSERT_EQ(made.setField(0, "x"), 1);
    ASSERT_EQ(made.addRec(), 1);
  }
  // Bit 1 of the mode opens read-only (bit 0, shared, shows between
  // processes: see the record lock tests).
  const struct {
    int mode;
    int add_code;  // of addRec
  } cases[] = {{0, 0}, {1, 0}, {2, 31}, {3, 31}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.mode);
    ISAM o(path("m").c_str(), c.mode);
    ASSERT_EQ(last_error(o), 0);
    EXPECT_EQ(o.addRec(), c.add_code == 0 ? 1 : -1);
    EXPECT_EQ(last_error(o), c.add_code);
  }
}

TEST_F(LifecycleTest, ExitWaitsForEveryObjectToClose) {
  const char *const fields[] = {"a", nullptr};
  ISAM o;
  ASSERT_EQ(o.create(path("e").c_str(), fields, 0), 1);
  handler_calls = 0;
  EXPECT_EQ(ISAM::exit(), -1);
  EXPECT_EQ(ISAM::_errno(), 37);
  EXPECT_EQ(handler_calls, 1);
  EXPECT_NE(handler_object, &o);  // a temporary object reports it
  EXPECT_NE(cbbufsize(), 0);
  EXPECT_EQ(o.findHead(), -3);  // still working
  EXPECT_EQ(o.close(), 1);
  EXPECT_EQ(ISAM::exit(), 1);
  EXPECT_EQ(cbbufsize(), 0);
  // Set up again (by hand, and a second time refused) and shut down.
  EXPECT_EQ(ISAM::init(8, 1024), 1);
  EXPECT_EQ(ISAM::init(8, 1024), -1);
  EXPECT_EQ(ISAM::_errno(), 22);
  EXPECT_EQ(cbbufsize(), 1024);
}

// A handler that itself fails a member: the object then holds the inner
// error, and the handler ran once for the outer one.
TEST_F(LifecycleTest, TheErrorHandlerRunsOncePerErrorAndIsNotReEntered) {
  static int calls;
  calls = 0;
  ISAM::setErrorHandler([](ISAM &o) {
    ++calls;
    EXPECT_EQ(o.selectIndex("no such index"), -1);
  });
  const char *const fields[] = {"a", nullptr};
  ISAM o;
  ASSERT_EQ(o.create(path("h").c_str(), fields, 0), 1);
  EXPECT_EQ(o.getField(5), nullptr);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(last_error(o), 8);
  EXPECT_EQ(o.setField(0, 1.5), -1);
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(o.findHead(), -3);  // not a failure: no call
  EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace recbase::test
