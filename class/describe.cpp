// Descriptions of the fields, the selected index's key and the indexes of
// an ISAM object, and the case-insensitive sorted lists that find fields
// and indexes by name.
//
// The plain field names are built on first use in one block:
//
//   [field order: count + 1 pointers][sorted: count + 1 pointers][texts]
//
// each text a copy of a field definition cut at its last ',' (so "age,I"
// becomes "age", and a definition without a type is its name as it is).
#include <algorithm>
#include <cstring>

#include "class/class_state.h"
#include "frame/alloc.h"

using recbase::rb_free;
using recbase::rb_malloc;

namespace recbase::binding {

int compare_folded(char const *a, char const *b) {
  for (;; ++a, ++b) {
    int ca = static_cast<unsigned char>(*a);
    int cb = static_cast<unsigned char>(*b);
    if (ca >= 'A' && ca <= 'Z') ca += 'a' - 'A';
    if (cb >= 'A' && cb <= 'Z') cb += 'a' - 'A';
    if (ca != cb || ca == 0) return ca - cb;
  }
}

void sort_folded(char const **names, int32_t n) {
  std::sort(names, names + n, [](char const *a, char const *b) {
    return compare_folded(a, b) < 0;
  });
}

int32_t find_folded(char const *const *sorted, int32_t n, char const *name) {
  char const *const *end = sorted + n;
  char const *const *at = std::lower_bound(
      sorted, end, name,
      [](char const *a, char const *b) { return compare_folded(a, b) < 0; });
  if (at == end || compare_folded(*at, name) != 0) return -1;
  return static_cast<int32_t>(at - sorted);
}

}  // namespace recbase::binding

using namespace recbase::binding;

int ISAM::getFieldCount() { return checkOpen() ? fieldCount_ : -1; }

int ISAM::getFieldType(int f) { return checkField(f) ? types_[f] : -1; }

int ISAM::getFieldLength(int f) {
  if (!checkField(f)) return -1;
  if (types_[f] == ISFIELD_TEXT || types_[f] == ISFIELD_EXACT_TEXT) {
    return static_cast<int>(std::strlen(values_[f])) + 1;
  }
  return capacities_[f];
}

int ISAM::getFieldNumber(char const *name) {
  if (!checkOpen()) return -1;
  if (name == nullptr) return record(ISERR_NULL_ARG);
  if (const int code = buildFieldNames()) return record(code);
  const int32_t at = find_folded(sortedNames_, fieldCount_, name);
  return at < 0 ? record(ISERR_BAD_FIELD_NAME) : sortedToField_[at];
}

char const *ISAM::getFileName() { return checkOpen() ? fileName_ : nullptr; }

int ISAM::buildFieldNames() {
  if (fieldNames_ != nullptr) return ISERR_OK;
  const size_t n = static_cast<size_t>(fieldCount_);
  size_t texts = 0;
  for (size_t f = 0; f < n; ++f) texts += std::strlen(descriptions_[f]) + 1;
  char **block =
      static_cast<char **>(rb_malloc(2 * (n + 1) * sizeof(char *) + texts));
  int32_t *map = static_cast<int32_t *>(rb_malloc(n * sizeof(int32_t)));
  if (block == nullptr || map == nullptr) {
    rb_free(block);
    rb_free(map);
    return ISERR_NO_MEMORY;
  }
  char **sorted = block + n + 1;
  char *text = reinterpret_cast<char *>(sorted + n + 1);
  for (size_t f = 0; f < n; ++f) {
    const size_t length = std::strlen(descriptions_[f]);
    std::memcpy(text, descriptions_[f], length + 1);
    if (char *comma = std::strrchr(text, ',')) *comma = '\0';
    block[f] = sorted[f] = text;
    text += length + 1;
  }
  block[n] = sorted[n] = nullptr;
  sort_folded(const_cast<char const **>(sorted), fieldCount_);
  for (size_t s = 0; s < n; ++s) {
    map[s] =
        static_cast<int32_t>(std::find(block, block + n, sorted[s]) - block);
  }
  fieldNames_ = block;
  sortedNames_ = sorted;
  sortedToField_ = map;
  return ISERR_OK;
}

int ISAM::getKeyCount() { return checkOpen() ? keyCount_ : -1; }

int ISAM::getKeyLength(int k) {
  if (!checkOpen()) return -1;
  const int32_t r = igetdesc_fldlen(database_, selected_, k);
  return r == -1 ? recordLibrary() : r;
}

int ISAM::getKeyStart(int k) {
  if (!checkOpen()) return -1;
  const int32_t r = igetdesc_fldstart(database_, selected_, k);
  return r == -1 ? recordLibrary() : r;
}

int ISAM::getIndexCount() { return checkOpen() ? indexCount_ : -1; }

char const *ISAM::getIndexName(int i) {
  if (!checkOpen()) return nullptr;
  if (i < 0 || i >= indexCount_) {
    record(ISERR_INDEX_NUMBER);
    return nullptr;
  }
  return indexNames_[i];
}

int ISAM::getIndexName(int i, char *buf, int size) {
  char const *name = getIndexName(i);
  if (name == nullptr) return -1;
  if (buf == nullptr) return record(ISERR_NULL_ARG);
  const size_t n = std::strlen(name) + 1;
  if (size < 0 || n > static_cast<size_t>(size)) {
    return record(ISERR_BUFFER_SMALL);
  }
  std::memcpy(buf, name, n);
  return 1;
}

char const *const *ISAM::getIndexNameList() {
  return checkOpen() ? indexNames_ : nullptr;
}
