// Writing and reading the data file's header (layout in isam/data_format.h).
//
// The header is untrusted input: N and the count are checked against each
// other and the file's size before anything is allocated, and each
// definition must end inside the N bytes read. Every such finding is
// reported by bad_header(), the one place to break on a bad data file.
#include "isam/data_format.h"

#include <cstring>

#include "frame/alloc.h"
#include "frame/bytes.h"
#include "frame/platform.h"
#include "isam/locks.h"

namespace recbase::isam {
namespace {

IsamError bad_header() { return kIsIo; }

uint8_t upper(char c) {
  const auto u = static_cast<uint8_t>(c);
  return (u >= 'a' && u <= 'z') ? static_cast<uint8_t>(u - 0x20) : u;
}

// Digits after B (and an optional ':'), capped so that they cannot overflow.
int32_t binary_digits(const char *p) {
  if (*p == ':') ++p;
  int32_t n = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    n = n * 10 + (*p - '0');
    if (n > kMaxBinaryLength) n = kMaxBinaryLength + 1;
  }
  if (n == 0) return 1;
  return n > kMaxBinaryLength ? kMaxBinaryLength : n;
}

// Reads N, the count and the N bytes of definitions into db. Called with
// the header lock held in a shared database.
IsamError load_definitions(IsamDb *db) {
  const int32_t h = db->data_handle;
  uint8_t head[kHeaderSize];
  uint32_t file_size = 0;
  if (sys_read(h, 0, kHeaderSize, head) != 1 ||
      sys_filesize(h, &file_size) != 1) {
    return kIsIo;
  }
  const int32_t n = get_ne16s(head + kDefsLenOffset);
  const int32_t count = get_ne16s(head + kFieldCountOffset);
  // Each definition takes at least its NUL, so there are at most N of them.
  if (n < 0 || count < 0 || count > n ||
      static_cast<uint32_t>(kHeaderSize + n) > file_size) {
    return bad_header();
  }
  db->field_names = static_cast<char **>(
      rb_malloc(sizeof(char *) * (static_cast<size_t>(count) + 1)));
  db->definitions = static_cast<char *>(rb_malloc(static_cast<size_t>(n)));
  db->field_types = static_cast<uint8_t *>(rb_malloc(count));
  if (db->field_names == nullptr || db->definitions == nullptr ||
      db->field_types == nullptr) {
    return kIsNoMemory;
  }
  if (n > 0 && sys_read(h, kHeaderSize, n, db->definitions) != 1) {
    return kIsIo;
  }
  db->field_count = count;
  db->data_start = kHeaderSize + n;
  return kIsOk;
}

// Splits the definitions into names and types, and works out the binary
// lengths (kept only once a binary field appears; 1 for the others) and the
// minimum record length.
IsamError parse_definitions(IsamDb *db) {
  const int32_t n = db->data_start - kHeaderSize;
  const char *const end = db->definitions + n;
  char *text = db->definitions;
  int64_t counted = 2;
  for (int32_t f = 0; f < db->field_count; ++f) {
    auto *nul = static_cast<char *>(
        std::memchr(text, '\0', static_cast<size_t>(end - text)));
    if (nul == nullptr) return bad_header();
    db->field_names[f] = text;
    const FieldDef def = parse_field_definition(text);
    db->field_types[f] = def.type;
    counted += def.counted;
    if (def.type == kBinary && db->binary_lengths == nullptr) {
      db->binary_lengths = static_cast<int16_t *>(
          rb_malloc(sizeof(int16_t) * static_cast<size_t>(db->field_count)));
      if (db->binary_lengths == nullptr) return kIsNoMemory;
      for (int32_t g = 0; g < f; ++g) db->binary_lengths[g] = 1;
    }
    if (db->binary_lengths != nullptr) {
      db->binary_lengths[f] =
          static_cast<int16_t>(def.type == kBinary ? def.binary_length : 1);
    }
    text = nul + 1;
  }
  db->field_names[db->field_count] = nullptr;
  db->min_record_length = counted > kMaxMinRecordLength
                              ? kMaxMinRecordLength
                              : static_cast<int32_t>(counted);
  return kIsOk;
}

}  // namespace

FieldDef parse_field_definition(const char *text) {
  const char *comma = std::strchr(text, ',');
  if (comma == nullptr) return FieldDef{kText, 1, 1};
  switch (upper(comma[1])) {
    case 'S':
      return FieldDef{kText, 1, 1};
    case 'C':
      return FieldDef{kExactText, 1, 1};
    case 'I':
      return FieldDef{kInt16, 1, 2};
    case 'U':
      return FieldDef{kUInt16, 1, 2};
    case 'L':
      return FieldDef{kInt32, 1, 4};
    case 'F':
      return FieldDef{kFloat, 1, 4};
    case 'D':
      return FieldDef{kDouble, 1, 8};
    case 'B': {
      const int32_t len = binary_digits(comma + 2);
      return FieldDef{kBinary, len, len};
    }
    default:
      return FieldDef{kText, 1, 0};
  }
}

IsamError encode_header(const char *const *fields, uint8_t **out,
                        int32_t *size) {
  int64_t bytes = 0;
  int32_t count = 0;
  for (; fields[count] != nullptr; ++count) {
    bytes += static_cast<int64_t>(std::strlen(fields[count])) + 1;
    if (bytes > kMaxDefinitionBytes) return kIsRange;
  }
  const int32_t total = kHeaderSize + static_cast<int32_t>(bytes);
  auto *header = static_cast<uint8_t *>(rb_malloc(static_cast<size_t>(total)));
  if (header == nullptr) return kIsNoMemory;
  put_ne16(header + kDefsLenOffset, static_cast<int16_t>(bytes));
  put_ne16(header + kFieldCountOffset, static_cast<int16_t>(count));
  uint8_t *at = header + kHeaderSize;
  for (int32_t f = 0; f < count; ++f) {
    const size_t len = std::strlen(fields[f]) + 1;
    std::memcpy(at, fields[f], len);
    at += len;
  }
  *out = header;
  *size = total;
  return kIsOk;
}

IsamError read_header(IsamDb *db) {
  const int32_t h = db->data_handle;
  if (db->shared != 0) {
    const LockSettings &s = g_record_lock_settings;
    if (sys_lock(h, 0, kHeaderSize, s.tries, s.delay_ms, s.timeout_ms) != 1) {
      return kIsLockRec;
    }
  }
  IsamError e = load_definitions(db);
  if (db->shared != 0 && sys_unlock(h, 0, kHeaderSize) != 1 && e == kIsOk) {
    e = kIsUnlockRec;
  }
  return e == kIsOk ? parse_definitions(db) : e;
}

}  // namespace recbase::isam
