// Allocating slots from free areas and releasing stretches of the data file
// (the format and the keys are described in isam/freespace.h).
//
// Allocation is worst fit: only the largest area is ever tried. Releasing
// looks up the position keys on both sides of the stretch and merges with
// each neighbour that touches it, as long as the merged size stays a valid
// length word:
//
//   case  neighbours touching        result
//   1     previous and next          previous grows over stretch and next
//   2     previous                   previous grows over the stretch
//   3     next                       the stretch takes the next one in
//   4     none (or too large)        the stretch is an area of its own
//
// The keys live in the index file, which may be damaged independently of
// the data file: an area is used (handed out, or grown by a merge) only
// after its first length word was read and holds minus the size its keys
// give. Otherwise the keys would have a record written over, or swallowed
// into a free area, without a word of complaint.
#include "isam/freespace.h"

#include "frame/bytes.h"
#include "isam/data_file.h"
#include "isam/keys.h"
#include "isam/record_io.h"

namespace recbase::isam {
namespace {

struct SizeKey {
  uint8_t bytes[kSizeKeyLength];
  explicit SizeKey(int32_t size) {
    bytes[0] = kSizeKeyClass;
    bytes[1] = static_cast<uint8_t>(size >> 8);
    bytes[2] = static_cast<uint8_t>(size);
  }
};

struct PositionKey {
  uint8_t bytes[kPositionKeyLength];
  explicit PositionKey(int32_t position) {
    bytes[0] = kPositionKeyClass;
    put_be32(bytes + 1, static_cast<uint32_t>(position));
  }
};

// A free area as its keys describe it.
struct Area {
  int32_t position = 0;
  int32_t size = 0;
  bool present = false;
};

IsamError write_word(IsamDb *db, int32_t position, int32_t word) {
  uint8_t bytes[2];
  put_ne16(bytes, static_cast<int16_t>(word));
  return data_write(db, position, 2, bytes);
}

IsamError change_size_key(IsamDb *db, const Area &from, int32_t size,
                          int32_t position) {
  const SizeKey old_key(from.size), new_key(size);
  return cbmodify(db->free_tree, old_key.bytes, kSizeKeyLength, from.position,
                  new_key.bytes, kSizeKeyLength, position, 1) == 1
             ? kIsOk
             : kIsCbt;
}

IsamError change_position_key(IsamDb *db, const Area &from, int32_t position,
                              int32_t size) {
  const PositionKey old_key(from.position), new_key(position);
  return cbmodify(db->free_tree, old_key.bytes, kPositionKeyLength, from.size,
                  new_key.bytes, kPositionKeyLength, size, 1) == 1
             ? kIsOk
             : kIsCbt;
}

IsamError delete_keys(IsamDb *db, const Area &a) {
  const SizeKey size_key(a.size);
  const PositionKey position_key(a.position);
  if (cbdelete(db->free_tree, size_key.bytes, kSizeKeyLength, a.position) !=
      1) {
    return kIsCbt;
  }
  return cbdelete(db->free_tree, position_key.bytes, kPositionKeyLength,
                  a.size) == 1
             ? kIsOk
             : kIsCbt;
}

// The area `a` becomes `size` bytes at `position`: its word and both keys.
IsamError reshape(IsamDb *db, const Area &a, int32_t position, int32_t size) {
  if (const IsamError e = write_word(db, position, -size)) return e;
  if (const IsamError e = change_size_key(db, a, size, position)) return e;
  return change_position_key(db, a, position, size);
}

// The free area whose position key is under the free tree's cursor, if it
// is one.
IsamError area_at_cursor(IsamDb *db, int32_t r, int32_t item, Area *out) {
  *out = Area{};
  if (r == -1) return kIsCbt;
  if (r != 1 && r != 2 && r != 3) return kIsOk;
  uint8_t key[kPositionKeyLength];
  if (cbkey(db->free_tree, key, kPositionKeyLength) != 1) return kIsCbt;
  if (key[0] != kPositionKeyClass) return kIsOk;
  out->position = static_cast<int32_t>(get_be32(key + 1));
  out->size = item;
  out->present = true;
  return kIsOk;
}

// kIsOk when the data file has the free area `a` where its keys put it;
// kIsIndexCorrupt when the word there says otherwise, kIsIo when it cannot
// be read.
IsamError confirm_area(IsamDb *db, const Area &a) {
  int32_t word = 0;
  if (const IsamError e = read_word(db, a.position, &word)) return e;
  return word == -a.size ? kIsOk : kIsIndexCorrupt;
}

bool adjacent(int32_t a_position, int32_t a_size, int32_t b_position) {
  return static_cast<int64_t>(a_position) + a_size + 2 == b_position;
}
bool valid_size(int64_t t) { return t >= 1 && t <= kMaxSlotLength; }

}  // namespace

IsamError allocate_slot(IsamDb *db, int32_t data_length, Slot *out) {
  if (db->free_tree != nullptr) {
    int32_t item = 0;
    const int32_t r = cbtail(db->free_tree, &item);
    if (r == -1) return kIsCbt;
    uint8_t key[kSizeKeyLength];
    if (r == 1 && cbkey(db->free_tree, key, kSizeKeyLength) != 1) return kIsCbt;
    if (r == 1 && key[0] == kSizeKeyClass) {
      const Area area{item, (key[1] << 8) | key[2], true};
      // Keys that point into the header or name a size no length word can
      // hold cannot come from this library.
      if (area.position < db->data_start || area.size > kMaxSlotLength) {
        return kIsIndexCorrupt;
      }
      if (data_length <= area.size) {
        if (const IsamError e = confirm_area(db, area)) return e;
        out->position = area.position;
        out->at_end = false;
        if (data_length + db->min_record_length > area.size) {
          out->length = area.size;
          return delete_keys(db, area);
        }
        out->length = data_length;
        return reshape(db, area, area.position + data_length + 2,
                       area.size - data_length - 2);
      }
    }
  }
  uint32_t size = 0;
  if (data_size(db, &size) != kIsOk) return kIsIo;
  if (size > static_cast<uint32_t>(INT32_MAX - 2 - data_length)) return kIsIo;
  out->position = static_cast<int32_t>(size);
  out->length = data_length;
  out->at_end = true;
  return kIsOk;
}

IsamError release_stretch(IsamDb *db, int32_t position, int32_t size) {
  if (db->free_tree == nullptr) return write_word(db, position, -size);
  const PositionKey key(position);
  int32_t item = 0;
  Area next, prev;
  int32_t r = cbfind(db->free_tree, key.bytes, kPositionKeyLength, &item);
  if (const IsamError e = area_at_cursor(db, r, item, &next)) return e;
  r = cbprev(db->free_tree, &item);
  if (const IsamError e = area_at_cursor(db, r, item, &prev)) return e;
  const bool merge_prev =
      prev.present && adjacent(prev.position, prev.size, position);
  const bool merge_next =
      next.present && adjacent(position, size, next.position);
  if (merge_prev) {
    if (const IsamError e = confirm_area(db, prev)) return e;
  }
  if (merge_next) {
    if (const IsamError e = confirm_area(db, next)) return e;
  }
  // Another process may be stepping through the file and land on this
  // stretch's word after reading the previous area's old size; in a shared
  // database the word says "free" even when the stretch merges backwards.
  if (db->shared != 0 && merge_prev) {
    if (const IsamError e = write_word(db, position, -size)) return e;
  }
  if (prev.size >= 0 && size >= 0 && next.size >= 0) {
    const int64_t sp = prev.size, s = size, sn = next.size;
    if (merge_prev && merge_next && sp + s > 0 && valid_size(sp + s + sn) &&
        valid_size(sp + s + sn + 4)) {
      if (const IsamError e = reshape(db, prev, prev.position,
                                      static_cast<int32_t>(sp + s + sn + 4))) {
        return e;
      }
      return delete_keys(db, next);
    }
    if (merge_prev && sp + s > 0 && valid_size(sp + s + 2)) {
      return reshape(db, prev, prev.position, static_cast<int32_t>(sp + s + 2));
    }
    if (merge_next && s + sn >= 1 && valid_size(s + sn + 2)) {
      return reshape(db, next, position, static_cast<int32_t>(s + sn + 2));
    }
  }
  if (const IsamError e = write_word(db, position, -size)) return e;
  const SizeKey size_key(size);
  if (cbinsert(db->free_tree, size_key.bytes, kSizeKeyLength, position, 1) !=
      1) {
    return kIsCbt;
  }
  if (cbinsert(db->free_tree, key.bytes, kPositionKeyLength, size, 0) != 1) {
    const CbErrors kept;
    cbdelete(db->free_tree, size_key.bytes, kSizeKeyLength, position);
    kept.restore();
    return kIsCbt;
  }
  return kIsOk;
}

}  // namespace recbase::isam
