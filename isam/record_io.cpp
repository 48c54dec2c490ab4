// Writing and reading record slots (format in isam/data_format.h).
//
// A slot is read with one read where it can: the word and up to the first
// kProbeBytes of the slot together. Near the end of the file that read
// comes up short, and the word and content are then read one after the
// other, as a slot of any length is when its content goes past the probe.
#include "isam/record_io.h"

#include <cstring>

#include "frame/alloc.h"
#include "frame/bytes.h"
#include "isam/buffers.h"
#include "isam/data_file.h"
#include "isam/data_format.h"

namespace recbase::isam {

RecordArea g_replaced;
RecordArea g_read_area;

namespace {

constexpr int32_t kWriteBufferSize = 512;
constexpr int32_t kProbeBytes = 512;
uint8_t g_write_buffer[kWriteBufferSize];
uint8_t *g_spare_key = nullptr;
int32_t g_spare_key_size = 0;

// Grows area->bytes to hold need bytes, keeping the first keep.
IsamError reserve_bytes(RecordArea *area, int32_t need, int32_t keep) {
  if (need <= area->capacity) return kIsOk;
  auto *bigger = static_cast<uint8_t *>(rb_malloc(static_cast<size_t>(need)));
  if (bigger == nullptr) return kIsNoMemory;
  if (keep > 0) std::memcpy(bigger, area->bytes, static_cast<size_t>(keep));
  rb_free(area->bytes);
  area->bytes = bigger;
  area->capacity = need;
  return kIsOk;
}

IsamError reserve_fields(RecordArea *area, int32_t need) {
  if (need <= area->field_capacity) return kIsOk;
  auto *bigger = static_cast<char **>(
      rb_malloc(sizeof(char *) * static_cast<size_t>(need)));
  if (bigger == nullptr) return kIsNoMemory;
  rb_free(area->fields);
  area->fields = bigger;
  area->field_capacity = need;
  return kIsOk;
}

void free_area(RecordArea *area) {
  rb_free(area->bytes);
  rb_free(area->fields);
  *area = RecordArea{};
}

}  // namespace

OwnArea::~OwnArea() { free_area(this); }

void free_record_areas() {
  free_area(&g_replaced);
  free_area(&g_read_area);
  rb_free(g_spare_key);
  g_spare_key = nullptr;
  g_spare_key_size = 0;
}

uint8_t *spare_key_buffer() {
  if (g_spare_key_size != g_key_buffer_size) {
    rb_free(g_spare_key);
    g_spare_key = static_cast<uint8_t *>(
        rb_malloc(static_cast<size_t>(g_key_buffer_size)));
    g_spare_key_size = g_spare_key != nullptr ? g_key_buffer_size : 0;
  }
  return g_spare_key;
}

int32_t value_size(const IsamDb *db, int32_t f, const char *p) {
  const auto type = static_cast<FieldType>(db->field_types[f]);
  if (type == kText || type == kExactText) {
    return static_cast<int32_t>(std::strlen(p)) + 1;
  }
  return isam_field_size(type, binary_length(db, f));
}

IsamError data_length(const IsamDb *db, const char *const *fields,
                      int32_t *length) {
  int64_t total = 0;
  for (int32_t f = 0; f < db->field_count; ++f) {
    if (fields[f] == nullptr) return kIsNullArg;
    total += value_size(db, f, fields[f]);
    if (total > kMaxSlotLength) return kIsDataTooLarge;
  }
  *length = static_cast<int32_t>(total);
  return kIsOk;
}

IsamError write_slot(IsamDb *db, int32_t position, int32_t slot_length,
                     const char *const *fields) {
  uint8_t *buf = g_write_buffer;
  put_ne16(buf, static_cast<int16_t>(slot_length));
  int32_t used = 2;
  int32_t at = position;
  for (int32_t f = 0; f < db->field_count; ++f) {
    const int32_t z = value_size(db, f, fields[f]);
    if (z > kWriteBufferSize - used && used > 0) {
      if (const IsamError e = data_write(db, at, used, buf)) return e;
      at += used;
      used = 0;
    }
    if (z >= kWriteBufferSize) {
      if (const IsamError e = data_write(db, at, z, fields[f])) return e;
      at += z;
    } else {
      std::memcpy(buf + used, fields[f], static_cast<size_t>(z));
      used += z;
    }
  }
  return used > 0 ? data_write(db, at, used, buf) : kIsOk;
}

IsamError read_word(IsamDb *db, int32_t position, int32_t *word) {
  uint8_t bytes[2];
  if (data_read(db, position, 2, bytes) != kIsOk) return kIsIo;
  *word = get_ne16s(bytes);
  return kIsOk;
}

IsamError read_slot(IsamDb *db, int32_t position, RecordArea *area) {
  if (position < db->data_start) return kIsIndexCorrupt;
  if (const IsamError e = reserve_bytes(area, kProbeBytes, 0)) return e;
  int32_t got = kProbeBytes;
  // A probe that comes up short is no error of the file: the slot just ends
  // closer to the end of the file than the probe reaches.
  const int32_t last_error = g_sys_last_error;
  if (data_read(db, position, kProbeBytes, area->bytes) != kIsOk) {
    g_sys_last_error = last_error;
    if (data_read(db, position, 2, area->bytes) != kIsOk) return kIsIo;
    got = 2;
  }
  const int32_t word = get_ne16s(area->bytes);
  if (word < 0) return kIsIndexCorrupt;
  const int32_t total = 2 + word;
  if (total > got) {
    if (const IsamError e = reserve_bytes(area, total, got)) return e;
    if (data_read(db, position + got, total - got, area->bytes + got) !=
        kIsOk) {
      return kIsIo;
    }
  }
  area->slot_length = word;
  return kIsOk;
}

IsamError view_slot(IsamDb *db, int32_t position, RecordArea *area,
                    SlotView *view) {
  // An area that holds a probe already: read_slot would allocate nothing.
  if (position >= db->data_start && area->capacity >= kProbeBytes) {
    if (const uint8_t *slot = held_slot(db, position, kProbeBytes)) {
      view->content = slot + 2;
      view->length = get_ne16s(slot);
      return kIsOk;
    }
  }
  if (const IsamError e = read_slot(db, position, area)) return e;
  view->content = area->content();
  view->length = area->slot_length;
  return kIsOk;
}

IsamError read_record(IsamDb *db, int32_t position, RecordArea *area) {
  if (const IsamError e = read_slot(db, position, area)) return e;
  if (const IsamError e = reserve_fields(area, db->field_count + 1)) return e;
  const int32_t set =
      split_fields(db, area->content(), area->slot_length, area->fields);
  return set == db->field_count ? kIsOk : kIsIo;
}

int32_t split_fields(const IsamDb *db, const uint8_t *content, int32_t n,
                     char **fields) {
  int32_t at = 0;
  int32_t f = 0;
  for (; f < db->field_count; ++f) {
    const auto type = static_cast<FieldType>(db->field_types[f]);
    int32_t z;
    if (type == kText || type == kExactText) {
      const void *nul =
          n > at ? std::memchr(content + at, 0, static_cast<size_t>(n - at))
                 : nullptr;
      if (nul == nullptr) break;
      z = static_cast<int32_t>(static_cast<const uint8_t *>(nul) -
                               (content + at)) +
          1;
    } else {
      z = isam_field_size(type, binary_length(db, f));
      if (z > n - at) break;
    }
    fields[f] = reinterpret_cast<char *>(const_cast<uint8_t *>(content + at));
    at += z;
  }
  const int32_t set = f;
  // A whole record leaves one entry to clear: no call to clear it.
  if (set == db->field_count) {
    fields[set] = nullptr;
    return set;
  }
  for (; f <= db->field_count; ++f) fields[f] = nullptr;
  return set;
}

}  // namespace recbase::isam
