// Records and keys for the ISAM calls: each value in its stored form (text
// and its NUL, numbers as the machine holds them, binary as its n bytes),
// and the null-terminated array of pointers to them that the calls take, by
// field number or by key field.
#ifndef RECBASE_TESTS_SUPPORT_RECORD_H
#define RECBASE_TESTS_SUPPORT_RECORD_H

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace recbase::test {

using Strings = std::vector<std::string>;

// A number's stored bytes, as the machine holds them.
template <typename T>
std::string stored(T v) {
  return std::string(reinterpret_cast<const char *>(&v), sizeof v);
}

class Record {
 public:
  Record() = default;
  // Values in their stored form (stored() for numbers).
  Record(Strings values) : values_(std::move(values)) {}  // NOLINT: implicit
  Record(std::initializer_list<std::string> values) : values_(values) {}

  // The pointer array: one per value, then a null. Valid while the record
  // lives and is not changed.
  char *const *get() const {
    ptr_.clear();
    for (const std::string &v : values_) {
      ptr_.push_back(const_cast<char *>(v.c_str()));
    }
    ptr_.push_back(nullptr);
    return ptr_.data();
  }
  const Strings &values() const { return values_; }
  std::string &operator[](size_t i) { return values_.at(i); }

 private:
  Strings values_;
  mutable std::vector<char *> ptr_;
};

}  // namespace recbase::test

#endif  // RECBASE_TESTS_SUPPORT_RECORD_H
