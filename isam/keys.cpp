// Building descriptor and entry keys, and the key order of index files
// (both described at the top of isam/keys.h).
//
// The comparison reads only within the two keys it is given: a text that
// runs to the end of its key without a NUL ends there, and a number or
// binary field cut short by the key's end is compared bytewise. Keys from
// a damaged file therefore get some order, never a read past their end.
#include "isam/keys.h"

#include <cmath>
#include <cstring>

#include "frame/bytes.h"
#include "isam/data_format.h"

namespace recbase::isam {
namespace {

// Keeps the rarer paths of key_compare out of it, so that its common ones
// (a lone number field) do not pay for the registers and stack they need.
#if defined(__GNUC__)
#define RECBASE_OUT_OF_LINE __attribute__((noinline))
#else
#define RECBASE_OUT_OF_LINE
#endif

// How the entries of an index compare: a lone key field of a 32-bit or
// double type compares its two values in place; key fields that are all
// texts compare in one pass over both keys (compare_texts); everything else
// goes field by field.
enum class Shape : uint8_t { kFields, kInt32, kDouble, kTexts };

// The (database, index number) lookup of the last entry comparison.
struct CompareCache {
  const IsamDb *db = nullptr;
  int32_t number = -1;
  const IsamIndex *index = nullptr;
  Shape shape = Shape::kFields;
  int32_t fields = 0;   // kTexts: the key fields
  uint32_t folded = 0;  // kTexts: bit k set when field k ignores case
};
CompareCache g_cache;

CompareCache cache_of(const IsamDb *db, int32_t number, const IsamIndex *ix) {
  CompareCache c{db, number, ix, Shape::kFields, ix->key_count, 0};
  if (ix->key_count == 1) {
    switch (db->field_types[ix->key_fields[0]]) {
      case kInt32:
        c.shape = Shape::kInt32;
        return c;
      case kDouble:
        c.shape = Shape::kDouble;
        return c;
      default:
        break;
    }
  }
  if (ix->key_count < 1 || ix->key_count > 32) return c;
  for (int32_t k = 0; k < ix->key_count; ++k) {
    const auto type =
        static_cast<FieldType>(db->field_types[ix->key_fields[k]]);
    if (type != kText && type != kExactText) return c;
    if (type == kText) c.folded |= 1u << k;
  }
  c.shape = Shape::kTexts;
  return c;
}

template <typename T>
int32_t sign_of(T x, T y) {
  return x < y ? -1 : (x > y ? 1 : 0);
}

// Unsigned bytes; on a common prefix the shorter sorts first.
int32_t compare_bytes(const uint8_t *a, int32_t an, const uint8_t *b,
                      int32_t bn) {
  const int32_t n = an < bn ? an : bn;
  const int r = n > 0 ? std::memcmp(a, b, static_cast<size_t>(n)) : 0;
  if (r != 0) return r < 0 ? -1 : 1;
  return sign_of(an, bn);
}

// The first `width` bytes of each (fewer when a key is shorter).
int32_t compare_prefix(const uint8_t *a, int32_t an, const uint8_t *b,
                       int32_t bn, int32_t width) {
  return compare_bytes(a, an < width ? an : width, b, bn < width ? bn : width);
}

// Two texts, each ending at its NUL or at the end of its key. *step is the
// first text's length plus its NUL.
int32_t compare_text(const uint8_t *a, int32_t an, const uint8_t *b, int32_t bn,
                     bool folded, int32_t *step) {
  // The common prefix, where the loop below would only go on: eight bytes
  // at a time while they are equal and hold no NUL, then one at a time.
  const int32_t n = an < bn ? an : bn;
  int32_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    constexpr uint64_t kOnes = 0x0101010101010101u;
    if (x != y || ((x - kOnes) & ~x & (kOnes << 7)) != 0) break;
  }
  while (i < n && a[i] == b[i] && a[i] != 0) ++i;
  for (;; ++i) {
    uint8_t ca = i < an ? a[i] : 0;
    uint8_t cb = i < bn ? b[i] : 0;
    if (ca == cb) {
      if (ca != 0) continue;
      *step = i + 1;
      return 0;
    }
    // Bytes that differ may still be equal letters; two zeros never get
    // here, and a zero folds to itself.
    if (folded) {
      ca = fold(ca);
      cb = fold(cb);
      if (ca == cb) continue;
    }
    return ca < cb ? -1 : 1;
  }
}

// Two whole values of a number or binary field of `size` bytes.
int32_t compare_fixed(FieldType type, const uint8_t *a, const uint8_t *b,
                      int32_t size) {
  switch (type) {
    case kInt16:
      return sign_of(get_ne16s(a), get_ne16s(b));
    case kUInt16:
      return sign_of(get_ne16(a), get_ne16(b));
    case kInt32:
      return sign_of(get_ne32s(a), get_ne32s(b));
    case kFloat: {
      const float x = get_ne_f32(a), y = get_ne_f32(b);
      return (std::isnan(x) || std::isnan(y)) ? 1 : sign_of(x, y);
    }
    case kDouble: {
      const double x = get_ne_f64(a), y = get_ne_f64(b);
      return (std::isnan(x) || std::isnan(y)) ? 1 : sign_of(x, y);
    }
    default:
      return compare_bytes(a, size, b, size);
  }
}

// The set bits of v.
int32_t count_bits(uint64_t v) {
#if defined(__GNUC__)
  return __builtin_popcountll(v);
#else
  int32_t c = 0;
  for (; v != 0; v &= v - 1) ++c;
  return c;
#endif
}

// Entry keys a and b (both longer than their first byte) of an index whose
// key fields are all texts, in the order compare_fields gives them. While
// the fields compared so far are equal they end at the same offset in both
// keys, so one offset walks both; a byte past a key's end reads as 0, the
// end of a text. Eight bytes at a time while the keys agree: a word's NULs
// end that many fields (the last one ends the comparison), and only a NUL
// in a word's last byte can end a key there.
RECBASE_OUT_OF_LINE int32_t compare_texts(const uint8_t *a, int32_t alen,
                                          const uint8_t *b, int32_t blen,
                                          int32_t fields, uint32_t folded) {
  const int32_t n = alen < blen ? alen : blen;
  int32_t i = 1, field = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    if (x != y) break;
    constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Fu;
    const uint64_t zeros = ~(((x & kLow7) + kLow7) | x | kLow7);
    if (zeros == 0) continue;
    field += count_bits(zeros);
    if (field >= fields) return 0;
    if (a[i + 7] == 0 && i + 8 == n) {
      return n == alen ? (n == blen ? 0 : -1) : 1;
    }
  }
  for (;; ++i) {
    uint8_t ca = i < alen ? a[i] : 0;
    uint8_t cb = i < blen ? b[i] : 0;
    if (ca != cb) {
      if ((folded >> field) & 1u) {
        ca = fold(ca);
        cb = fold(cb);
      }
      if (ca != cb) return ca < cb ? -1 : 1;
      continue;
    }
    if (ca != 0) continue;
    // Both texts end here.
    if (++field == fields) return 0;
    if (i + 1 >= alen) return i + 1 >= blen ? 0 : -1;
    if (i + 1 >= blen) return 1;
  }
}

// Entry keys a and b of ix, both past their first byte.
int32_t compare_fields(const IsamDb *db, const IsamIndex *ix, const uint8_t *a,
                       int32_t alen, const uint8_t *b, int32_t blen) {
  int32_t pa = 1, pb = 1;
  for (int32_t k = 0; k < ix->key_count; ++k) {
    const int32_t f = ix->key_fields[k];
    const auto type = static_cast<FieldType>(db->field_types[f]);
    int32_t step = 0;
    int32_t r;
    if (type == kText || type == kExactText) {
      r = compare_text(a + pa, alen - pa, b + pb, blen - pb, type == kText,
                       &step);
    } else {
      step = isam_field_size(type, binary_length(db, f));
      if (alen - pa < step || blen - pb < step) {
        return compare_bytes(a + pa, alen - pa, b + pb, blen - pb);
      }
      r = compare_fixed(type, a + pa, b + pb, step);
    }
    if (r != 0 || k + 1 == ix->key_count) return r;
    pa += step;
    pb += step;
    if (pa >= alen) return pb >= blen ? 0 : -1;
    if (pb >= blen) return 1;
  }
  return 0;
}

// The index with this number in the current database, or null. Misses are
// not cached, so an index made later is found.
const IsamIndex *index_of(int32_t number) {
  const IsamDb *db = g_current_db;
  if (db == nullptr) return nullptr;
  if (g_cache.db == db && g_cache.number == number) return g_cache.index;
  for (const IsamIndex *ix = db->indexes; ix != nullptr; ix = ix->next) {
    if (ix->number == number) {
      g_cache = cache_of(db, number, ix);
      return ix;
    }
  }
  return nullptr;
}

// Appends key field k's value to out[0, *len).
IsamError append_value(const IsamDb *db, const IsamIndex *ix, int32_t k,
                       const char *value, uint8_t *out, int32_t cap,
                       int32_t *len) {
  const int32_t f = ix->key_fields[k];
  const auto type = static_cast<FieldType>(db->field_types[f]);
  if (type != kText && type != kExactText) {
    const int32_t size = isam_field_size(type, binary_length(db, f));
    if (cap - *len < size) return kIsKeyTooLong;
    std::memcpy(out + *len, value, static_cast<size_t>(size));
    *len += size;
    return kIsOk;
  }
  size_t n = std::strlen(value);
  const PartialSpec *part = ix->partial != nullptr ? &ix->partial[k] : nullptr;
  if (part != nullptr && part->length != 0) {
    const auto start = static_cast<size_t>(part->start);
    const auto most = static_cast<size_t>(part->length);
    value = n <= start ? "" : value + start;
    n = n <= start ? 0 : (n - start < most ? n - start : most);
  }
  if (static_cast<size_t>(cap - *len) < n + 1) return kIsKeyTooLong;
  std::memcpy(out + *len, value, n);
  out[*len + static_cast<int32_t>(n)] = 0;
  *len += static_cast<int32_t>(n) + 1;
  return kIsOk;
}

// Lays out ix's key from value_of(k) for each key field up to the first
// null value.
template <typename ValueOf>
IsamError build_key(const IsamDb *db, const IsamIndex *ix, ValueOf value_of,
                    uint8_t *out, int32_t cap, int32_t *len) {
  if (cap < 1) return kIsKeyTooLong;
  out[0] = static_cast<uint8_t>(ix->number);
  *len = 1;
  for (int32_t k = 0; k < ix->key_count; ++k) {
    const char *value = value_of(k);
    if (value == nullptr) break;
    if (const IsamError e = append_value(db, ix, k, value, out, cap, len)) {
      return e;
    }
  }
  return kIsOk;
}

// Every key that key_compare does not take the short way.
RECBASE_OUT_OF_LINE int32_t compare_keys(const uint8_t *a, int32_t alen,
                                         const uint8_t *b, int32_t blen) {
  if (alen <= 0 || blen <= 0) return sign_of(alen > 0, blen > 0);
  if (a[0] != b[0]) return a[0] < b[0] ? -1 : 1;
  if (alen == 1) return blen == 1 ? 0 : -1;
  if (blen == 1) return 1;
  switch (a[0]) {
    case kDescriptorClass: {
      int32_t step = 0;
      return compare_text(a + 1, alen - 1, b + 1, blen - 1, true, &step);
    }
    case kPositionKeyClass:
      if (alen >= 5 && blen >= 5) {
        return sign_of(get_be32(a + 1), get_be32(b + 1));
      }
      return compare_prefix(a + 1, alen - 1, b + 1, blen - 1, 4);
    case kSizeKeyClass:
      if (alen >= 3 && blen >= 3) {
        return sign_of((a[1] << 8) | a[2], (b[1] << 8) | b[2]);
      }
      return compare_prefix(a + 1, alen - 1, b + 1, blen - 1, 2);
    default:
      break;
  }
  const IsamIndex *ix = index_of(a[0]);
  if (ix == nullptr) return compare_bytes(a + 1, alen - 1, b + 1, blen - 1);
  return compare_fields(g_current_db, ix, a, alen, b, blen);
}

}  // namespace

bool equal_folded(const char *a, const char *b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (fold(static_cast<uint8_t>(a[i])) != fold(static_cast<uint8_t>(b[i]))) {
      return false;
    }
  }
  return true;
}

IsamError build_key_by_field(const IsamDb *db, const IsamIndex *ix,
                             const char *const *fields, uint8_t *out,
                             int32_t cap, int32_t *len) {
  return build_key(
      db, ix, [&](int32_t k) { return fields[ix->key_fields[k]]; }, out, cap,
      len);
}

IsamError build_key_by_position(const IsamDb *db, const IsamIndex *ix,
                                const char *const *values, uint8_t *out,
                                int32_t cap, int32_t *len) {
  return build_key(
      db, ix, [&](int32_t k) { return values[k]; }, out, cap, len);
}

IsamError build_descriptor(const char *name, const char *const *specs,
                           uint8_t *out, int32_t cap, int32_t *len) {
  size_t need = 1 + std::strlen(name) + 1;
  for (int32_t i = 0; specs != nullptr && specs[i] != nullptr; ++i) {
    need += std::strlen(specs[i]) + 1;
  }
  if (cap < 0 || need > static_cast<size_t>(cap)) return kIsKeyTooLong;
  out[0] = kDescriptorClass;
  size_t at = 1;
  auto put = [&](const char *text) {
    const size_t n = std::strlen(text) + 1;
    std::memcpy(out + at, text, n);
    at += n;
  };
  put(name);
  for (int32_t i = 0; specs != nullptr && specs[i] != nullptr; ++i) {
    put(specs[i]);
  }
  *len = static_cast<int32_t>(at);
  return kIsOk;
}

int32_t RBCALL key_compare(const void *ka, int32_t alen, const void *kb,
                           int32_t blen) {
  const auto *a = static_cast<const uint8_t *>(ka);
  const auto *b = static_cast<const uint8_t *>(kb);
  // Keys of two classes by their first byte. Entries of the index compared
  // last (the cache holds index numbers only) without looking the index
  // up: the whole values of a lone number field in place, texts in one
  // pass, other entries field by field. Free-space keys by their numbers.
  if (alen > 1 && blen > 1) {
    const uint8_t c = a[0];
    if (c != b[0]) return c < b[0] ? -1 : 1;
    if (c == g_cache.number && g_cache.db == g_current_db) {
      switch (g_cache.shape) {
        case Shape::kInt32:
          if (alen >= 5 && blen >= 5) {
            return sign_of(get_ne32s(a + 1), get_ne32s(b + 1));
          }
          break;
        case Shape::kDouble:
          if (alen >= 9 && blen >= 9) {
            const double x = get_ne_f64(a + 1), y = get_ne_f64(b + 1);
            return (std::isnan(x) || std::isnan(y)) ? 1 : sign_of(x, y);
          }
          break;
        case Shape::kTexts:
          return compare_texts(a, alen, b, blen, g_cache.fields,
                               g_cache.folded);
        default:
          break;
      }
      return compare_fields(g_current_db, g_cache.index, a, alen, b, blen);
    }
    if (c == kPositionKeyClass && alen >= 5 && blen >= 5) {
      return sign_of(get_be32(a + 1), get_be32(b + 1));
    }
    if (c == kSizeKeyClass && alen >= 3 && blen >= 3) {
      return sign_of((a[1] << 8) | a[2], (b[1] << 8) | b[2]);
    }
  }
  return compare_keys(a, alen, b, blen);
}

void forget_compare_cache() { g_cache = CompareCache{}; }

}  // namespace recbase::isam
