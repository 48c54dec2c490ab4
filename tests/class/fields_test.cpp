// Field access through the class: every store into every field type with
// its conversion, range check and error; every typed read accepting its one
// type; text copies and their buffer sizes; names found without regard to
// case; clearing.
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>

#include "tests/class/class_support.h"

namespace recbase::test {
namespace {

// Field numbers of the database below.
enum : int { kS, kC, kI, kU, kL, kF, kD, kB1, kB2, kB4, kB8, kB3, kCount };
const char *const kFields[] = {"s",     "c,C",   "i,I",   "u,U",    "l,L",
                               "f,F",   "d,D",   "b1,B1", "b2,B:2", "b4,B4",
                               "b8,B8", "b3,B3", nullptr};
// Bytes of each field's buffer after clearing (texts: their terminator).
const int kSizes[] = {1, 1, 2, 2, 4, 4, 8, 1, 2, 4, 8, 3};

template <typename T>
std::string bytes(T v) {
  return std::string(reinterpret_cast<const char *>(&v), sizeof v);
}

class FieldsTest : public ClassTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(db_.create(path("fields").c_str(), kFields, 0), 1);
  }
  ISAM db_;
};

TEST_F(FieldsTest, StoresConvertCheckRangesAndRefuseOtherTypes) {
  using Set = std::function<int(ISAM &, int)>;
  // setField(f, v) with v of the type given.
  auto set = [](auto v) -> Set {
    return [v](ISAM &o, int f) { return o.setField(f, v); };
  };
  using ushort = unsigned short;
  using schar = signed char;
  using uchar = unsigned char;
  const bool wide_long = sizeof(long) > 4;
  const double inf = std::numeric_limits<double>::infinity();
  const void *no_text = nullptr;
  const struct {
    const char *what;
    Set set;
    int field;
    int code;  // 0: stored
    std::string stored;
  } cases[] = {
      {"int 32768", set(32768), kI, 38, ""},
      {"int 32768", set(32768), kU, 0, bytes<uint16_t>(32768)},
      {"int 32768", set(32768), kL, 0, bytes<int32_t>(32768)},
      {"int -32768", set(-32768), kI, 0, bytes<int16_t>(-32768)},
      {"int -1", set(-1), kU, 38, ""},
      {"int 65536", set(65536), kU, 38, ""},
      {"int 7", set(7), kF, 0, bytes(7.0f)},
      {"int 7", set(7), kD, 0, bytes(7.0)},
      {"int 0x1234567", set(0x1234567), kB1, 0, bytes<uint8_t>(0x67)},
      {"int 0x1234567", set(0x1234567), kB2, 0, bytes<uint16_t>(0x4567)},
      {"int 0x1234567", set(0x1234567), kB4, 0, bytes<int32_t>(0x1234567)},
      {"int 7", set(7), kB3, 36, ""},
      {"int 7", set(7), kS, 36, ""},
      {"int 7", set(7), kC, 36, ""},
      {"unsigned 2^31", set(0x80000000u), kL, 0, bytes<int32_t>(INT32_MIN)},
      {"unsigned 2^31", set(0x80000000u), kU, 38, ""},
      {"short -5", set(short{-5}), kI, 0, bytes<int16_t>(-5)},
      {"short -5", set(short{-5}), kL, 0, bytes<int32_t>(-5)},
      {"short -5", set(short{-5}), kU, 38, ""},
      {"unsigned short 65535", set(ushort{65535}), kU, 0,
       bytes<uint16_t>(65535)},
      {"unsigned short 65535", set(ushort{65535}), kI, 38, ""},
      {"signed char -1", set(schar{-1}), kI, 0, bytes<int16_t>(-1)},
      {"unsigned char 255", set(uchar{255}), kI, 0, bytes<int16_t>(255)},
      {"long -7", set(-7L), kL, 0, bytes<int32_t>(-7)},
      {"long 70000", set(70000L), kI, 38, ""},
      {"long past 32 bits", set(long{INT32_MAX} + wide_long), kL,
       wide_long ? 38 : 0, wide_long ? "" : bytes<int32_t>(INT32_MAX)},
      {"float 2.5", set(2.5f), kI, 36, ""},
      {"float 2.5", set(2.5f), kF, 0, bytes(2.5f)},
      {"float 2.5", set(2.5f), kD, 0, bytes(2.5)},
      {"float 2.5", set(2.5f), kB4, 0, bytes(2.5f)},
      {"float 2.5", set(2.5f), kB8, 36, ""},
      {"double 1e39", set(1.0e39), kF, 38, ""},
      {"double 1e39", set(1.0e39), kD, 0, bytes(1.0e39)},
      {"double -inf", set(-inf), kF, 38, ""},
      {"double NaN", set(std::nan("")), kF, 38, ""},
      {"largest float", set(3.4028234663852886e38), kF, 0,
       bytes(3.4028234663852886e38f)},
      {"double 2.5", set(2.5), kB8, 0, bytes(2.5)},
      {"double 2.5", set(2.5), kB4, 36, ""},
      {"double 2.5", set(2.5), kL, 36, ""},
      {"text abc", set("abc"), kC, 0, std::string("abc", 4)},
      {"text xyz", set("xyz"), kB3, 0, "xyz"},
      {"text abc", set("abc"), kI, 36, ""},
      {"null text", set(no_text), kS, 35, ""},
      {"past the fields", [](ISAM &o, int) { return o.setField(kCount, 1); },
       kS, 24, ""},
      {"before the fields", [](ISAM &o, int) { return o.setField(-1, "a"); },
       kS, 24, ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.what << " into field " << c.field);
    ASSERT_EQ(db_.setFieldClear(10), 1);
    handler_calls = 0;
    EXPECT_EQ(c.set(db_, c.field), c.code == 0 ? 1 : -1);
    EXPECT_EQ(last_error(db_), c.code);
    EXPECT_EQ(handler_calls, c.code == 0 ? 0 : 1);
    // A refused value leaves the buffer as it was: zero.
    const std::string want =
        c.code == 0 ? c.stored : std::string(kSizes[c.field], '\0');
    EXPECT_EQ(std::string(db_.getField(c.field), want.size()), want);
    db_.errClear();
  }
}

TEST_F(FieldsTest, EachTypedReadTakesItsOwnFieldTypeOnly) {
  ASSERT_EQ(db_.setField(kI, -5), 1);
  ASSERT_EQ(db_.setField(kU, 65535), 1);
  ASSERT_EQ(db_.setField(kL, -70000), 1);
  ASSERT_EQ(db_.setField(kF, 1.5f), 1);
  ASSERT_EQ(db_.setField(kD, 2.25), 1);
  ASSERT_EQ(db_.setField(kB1, -3), 1);
  using Get = std::function<int(ISAM &, int, double &)>;
  auto as = [](auto v) {
    return [v](ISAM &o, int f, double &out) mutable {
      const int r = o.getField(f, v);
      out = static_cast<double>(v);
      return r;
    };
  };
  const struct {
    const char *type;
    Get get;
    int field;  // the one field it reads
    double value;
  } getters[] = {
      {"short", as(short{0}), kI, -5},
      {"int", as(int{0}), kI, -5},
      {"unsigned short", as(static_cast<unsigned short>(0)), kU, 65535},
      {"unsigned int", as(0u), kU, 65535},
      {"long", as(0L), kL, -70000},
      {"float", as(0.0f), kF, 1.5},
      {"double", as(0.0), kD, 2.25},
      {"signed char", as(static_cast<signed char>(0)), kB1, -3},
  };
  for (const auto &g : getters) {
    for (int f = 0; f < kCount; ++f) {
      SCOPED_TRACE(testing::Message() << g.type << " from field " << f);
      double v = 0;
      EXPECT_EQ(g.get(db_, f, v), f == g.field ? 1 : -1);
      EXPECT_EQ(last_error(db_), f == g.field ? 0 : 36);
      if (f == g.field) {
        EXPECT_EQ(v, g.value);
      }
      db_.errClear();
    }
    double v = 0;
    EXPECT_EQ(g.get(db_, kCount, v), -1);
    EXPECT_EQ(last_error(db_), 24);
  }
}

TEST_F(FieldsTest, TextsAndBytesCopyOutAndTextBuffersGrow) {
  ASSERT_EQ(db_.setField(kS, "hello"), 1);
  ASSERT_EQ(db_.setField(kB3, "xyz"), 1);
  char buf[32];
  const struct {
    int field;
    void *buf;
    int size;
    int code;
    std::string copied;
  } cases[] = {
      {kS, buf, 4, 34, ""},     {kS, buf, 6, 0, std::string("hello", 6)},
      {kB3, buf, 2, 34, ""},    {kB3, buf, 3, 0, "xyz"},
      {kS, nullptr, 6, 35, ""}, {kD, buf, 8, 36, ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.field << " into " << c.size);
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(db_.getField(c.field, c.buf, c.size), c.code == 0 ? 1 : -1);
    EXPECT_EQ(last_error(db_), c.code);
    EXPECT_EQ(std::string(buf, c.copied.size()), c.copied);
    db_.errClear();
  }
  EXPECT_EQ(db_.getFieldLength(kS), 6);
  EXPECT_EQ(db_.getFieldLength(kB3), 3);
  EXPECT_EQ(db_.getFieldLength(kD), 8);
  // A 20-character text grows the 10-byte buffer (AddressSanitizer checks
  // every byte written and read).
  const std::string twenty(20, 't');
  ASSERT_EQ(db_.setField(kS, twenty.c_str()), 1);
  EXPECT_EQ(db_.getFieldLength(kS), 21);
  EXPECT_STREQ(db_.getField(kS), twenty.c_str());
}

TEST_F(FieldsTest, ClearingSizesTextBuffersAndZeroesEveryField) {
  ASSERT_EQ(db_.setField(kS, std::string(30, 's').c_str()), 1);
  ASSERT_EQ(db_.setField(kD, 9.5), 1);
  ASSERT_EQ(db_.setField(kB3, "xyz"), 1);
  ASSERT_EQ(db_.setFieldClear(64), 1);
  for (int f = 0; f < kCount; ++f) {
    const int size = f == kS || f == kC ? 64 : kSizes[f];
    const char *b = db_.getField(f);
    EXPECT_EQ(std::string(b, size), std::string(size, '\0')) << f;
  }
  EXPECT_EQ(db_.setFieldClear(0), -1);
  EXPECT_EQ(last_error(db_), 38);
}

TEST_F(FieldsTest, FieldsAreFoundByNameWithoutRegardToCase) {
  const struct {
    const char *name;
    int number;  // -1: error 18
  } cases[] = {{"S", kS},   {"b4", kB4}, {"B4", kB4},   {"C", kC},
               {"b2", kB2}, {"b", -1},   {"b4,B4", -1}, {"", -1}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(db_.getFieldNumber(c.name), c.number);
    EXPECT_EQ(last_error(db_), c.number < 0 ? 18 : 0);
    db_.errClear();
  }
  EXPECT_EQ(db_.getFieldNumber(nullptr), -1);
  EXPECT_EQ(last_error(db_), 35);
  EXPECT_EQ(db_.getFieldCount(), kCount);
  EXPECT_EQ(db_.getFieldType(kB3), 7);
  EXPECT_EQ(db_.getFieldType(kCount), -1);
  EXPECT_EQ(last_error(db_), 24);
}

}  // namespace
}  // namespace recbase::test
