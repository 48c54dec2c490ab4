// Building IsamIndex records from descriptors, and releasing them.
//
// A descriptor comes from the index file and is untrusted: it must end with
// a NUL (so that the name and every specification end inside it), carry an
// index number of 0..253 not yet used in the database, and name only
// fields of the header. Every finding goes through bad_descriptor(), the
// one place to break on a damaged index file.
#include "isam/descriptors.h"

#include <cstring>
#include <memory>
#include <new>

#include "cbt/journal_link.h"
#include "frame/alloc.h"
#include "frame/registry.h"
#include "isam/keys.h"

namespace recbase::isam {
namespace {

// START and LEN beyond this are read as this: far past any text.
constexpr int32_t kMaxSpecNumber = 1000000000;

IsamError bad_descriptor() { return kIsIndexCorrupt; }

struct IndexReleaser {
  void operator()(IsamIndex *ix) const { release_index(ix); }
};
using IndexPtr = std::unique_ptr<IsamIndex, IndexReleaser>;

// A record with a copy of the name, number and owner set; null when memory
// runs out.
IndexPtr new_index(IsamDb *db, const char *name, int32_t number) {
  void *mem = rb_malloc(sizeof(IsamIndex));
  if (mem == nullptr) return nullptr;
  IndexPtr ix(new (mem) IsamIndex);
  const size_t len = std::strlen(name) + 1;
  ix->name = static_cast<char *>(rb_malloc(len));
  if (ix->name == nullptr) return nullptr;
  std::memcpy(ix->name, name, len);
  ix->number = number;
  ix->owner = db;
  return ix;
}

// Pairs of ',' and 'U' or 'u' in the name.
uint8_t unique_marks(const char *name) {
  int32_t n = 0;
  for (const char *p = name; *p != '\0'; ++p) {
    if (p[0] == ',' && (p[1] == 'U' || p[1] == 'u') && n < 255) ++n;
  }
  return static_cast<uint8_t>(n);
}

// Decimal digits at *p (none: 0), capped; *p moves past them.
int32_t read_number(const char **p) {
  int32_t n = 0;
  for (; **p >= '0' && **p <= '9'; ++*p) {
    n = n * 10 + (**p - '0');
    if (n > kMaxSpecNumber) n = kMaxSpecNumber;
  }
  return n;
}

// The first field whose whole definition equals spec[0, n) without regard
// to case; -1 when none does.
int32_t find_field(const IsamDb *db, const char *spec, size_t n) {
  for (int32_t f = 0; f < db->field_count; ++f) {
    const char *def = db->field_names[f];
    if (std::strlen(def) == n && equal_folded(def, spec, n)) return f;
  }
  return -1;
}

IsamError all_fields(const IsamDb *db, IsamIndex *ix) {
  ix->key_count = db->field_count;
  ix->key_fields = static_cast<int32_t *>(
      rb_malloc(sizeof(int32_t) * static_cast<size_t>(ix->key_count)));
  if (ix->key_fields == nullptr) return kIsNoMemory;
  for (int32_t f = 0; f < ix->key_count; ++f) ix->key_fields[f] = f;
  return kIsOk;
}

// Reads the specifications in [specs, end), each NUL-terminated (the
// caller checked that end[-1] is a NUL), into ix's key fields.
IsamError read_specs(const IsamDb *db, IsamIndex *ix, const char *specs,
                     const char *end) {
  for (const char *p = specs; p < end; ++p) {
    if (*p == '\0') ++ix->key_count;
  }
  ix->key_fields = static_cast<int32_t *>(
      rb_malloc(sizeof(int32_t) * static_cast<size_t>(ix->key_count)));
  if (ix->key_fields == nullptr) return kIsNoMemory;
  const char *spec = specs;
  for (int32_t k = 0; k < ix->key_count; ++k) {
    const size_t len = std::strlen(spec);
    size_t field_len = len;
    const char *colon = static_cast<const char *>(std::memchr(spec, ':', len));
    if (colon != nullptr) {
      if (ix->partial == nullptr) {
        const size_t bytes =
            sizeof(PartialSpec) * static_cast<size_t>(ix->key_count);
        void *mem = rb_malloc(bytes);
        if (mem == nullptr) return kIsNoMemory;
        ix->partial = new (mem) PartialSpec[ix->key_count];
      }
      const char *q = colon + 1;
      PartialSpec part;
      part.length = read_number(&q);
      if (*q == ',') {
        ++q;
        part.start = part.length;
        part.length = read_number(&q);
      }
      if (part.length != 0) field_len = static_cast<size_t>(colon - spec);
      ix->partial[k] = part;
    }
    const int32_t f = find_field(db, spec, field_len);
    if (f < 0) return bad_descriptor();
    ix->key_fields[k] = f;
    spec += len + 1;
  }
  return kIsOk;
}

}  // namespace

IsamError build_index(IsamDb *db, const uint8_t *key, int32_t len,
                      int32_t number, IsamIndex **out) {
  if (len < 2 || key[0] != kDescriptorClass || key[len - 1] != 0 ||
      number < kPhysicalNumber || number > kMaxIndexNumber) {
    return bad_descriptor();
  }
  for (const IsamIndex *o = db->indexes; o != nullptr; o = o->next) {
    if (o->number == number) return bad_descriptor();
  }
  const char *name = reinterpret_cast<const char *>(key + 1);
  IndexPtr ix = new_index(db, name, number);
  if (ix == nullptr) return kIsNoMemory;
  ix->unique = unique_marks(ix->name);
  if (number == kPhysicalNumber) {
    if (const IsamError e = all_fields(db, ix.get())) return e;
  } else {
    const char *specs = name + std::strlen(name) + 1;
    const char *end = reinterpret_cast<const char *>(key + len);
    if (const IsamError e = read_specs(db, ix.get(), specs, end)) return e;
    ix->tree = cbt::open_tree_for_database(db->index_path, key_compare,
                                           db->shared, db->read_only);
    if (ix->tree == nullptr) return kIsCbt;
  }
  *out = ix.release();
  return kIsOk;
}

IsamError build_physical_index(IsamDb *db, IsamIndex **out) {
  IndexPtr ix = new_index(db, kPhysicalName, kPhysicalNumber);
  if (ix == nullptr) return kIsNoMemory;
  if (const IsamError e = all_fields(db, ix.get())) return e;
  *out = ix.release();
  return kIsOk;
}

IsamError release_index(IsamIndex *ix) {
  forget_compare_cache();
  IsamError e = kIsOk;
  if (ix->tree != nullptr && cbclose(ix->tree) != 1) e = kIsCbt;
  rb_free(ix->name);
  rb_free(ix->key_fields);
  rb_free(ix->partial);
  ix->~IsamIndex();
  retire_handle(ix);
  return e;
}

}  // namespace recbase::isam
