// Allocating slots from free areas and releasing stretches of the data file
// (the format and the keys are described in isam/freespace.h).
//
// Allocation is worst fit: only the largest area is ever tried. A database
// not shared remembers that the keys held no area (IsamDb::no_free_area)
// until its next release, and puts new slots at the end of the file without
// looking again: a file filled by adds alone never reads the map. Releasing
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

#include <cstring>

#include "cbt/record_calls.h"
#include "frame/bytes.h"
#include "isam/data_file.h"
#include "isam/data_format.h"
#include "isam/error_state.h"
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

// The steps of one allocate or release, each recorded once done, so that a
// failing step puts back those before it (newest first): the length words
// and the free-space keys agree after a failed call as after a successful
// one. Only a second failure, in the putting back, can leave them apart.
class Steps {
 public:
  explicit Steps(IsamDb *db) : db_(db) {}
  Steps(const Steps &) = delete;
  Steps &operator=(const Steps &) = delete;

  // Writes word at position; undone by writing old back.
  IsamError word(int32_t position, int32_t word, int32_t old) {
    if (const IsamError e = write_word(db_, position, word)) return e;
    push(Step{Step::kWord, {}, {}, 0, 0, position, old, 0});
    return kIsOk;
  }
  // after_position: the pair belongs just after the free tree's position
  // (cbt::insert_after_position).
  IsamError insert(const uint8_t *key, uint8_t len, int32_t item, int32_t dup,
                   bool after_position = false) {
    CbTree *t = db_->free_tree;
    const int32_t r = after_position
                          ? cbt::insert_after_position(t, key, len, item, dup)
                          : cbinsert(t, key, len, item, dup);
    if (r != 1) return kIsCbt;
    push(make(Step::kInsert, key, len, item, dup));
    return kIsOk;
  }
  IsamError remove(const uint8_t *key, uint8_t len, int32_t item, int32_t dup) {
    if (cbdelete(db_->free_tree, key, len, item) != 1) return kIsCbt;
    push(make(Step::kRemove, key, len, item, dup));
    return kIsOk;
  }
  // Changes (key, item) into (new_key, new_item), duplicates allowed. A
  // change that fails after taking the old pair out puts it back.
  IsamError change(const uint8_t *key, uint8_t len, int32_t item,
                   const uint8_t *new_key, uint8_t new_len, int32_t new_item) {
    CbTree *t = db_->free_tree;
    if (cbt::modify_nearby(t, key, len, item, new_key, new_len, new_item, 1) !=
        1) {
      const CbErrors kept;
      int32_t found = item;
      if (cbfinditem(t, key, len, &found) != 2) cbinsert(t, key, len, item, 1);
      kept.restore();
      return kIsCbt;
    }
    Step s = make(Step::kChange, new_key, new_len, new_item, 1);
    std::memcpy(s.old_key, key, len);
    s.old_len = len;
    s.old_item = item;
    push(s);
    return kIsOk;
  }
  // Puts back every step done, newest first, keeping the B-tree codes of
  // the failure.
  void roll_back() {
    const CbErrors kept;
    CbTree *t = db_->free_tree;
    while (count_ > 0) {
      const Step &s = steps_[--count_];
      switch (s.kind) {
        case Step::kWord:
          write_word(db_, s.position, s.old_item);
          break;
        case Step::kInsert:
          cbdelete(t, s.key, s.len, s.item);
          break;
        case Step::kRemove:
          cbinsert(t, s.key, s.len, s.item, s.dup);
          break;
        case Step::kChange:
          cbmodify(t, s.key, s.len, s.item, s.old_key, s.old_len, s.old_item,
                   1);
          break;
      }
    }
    kept.restore();
  }

 private:
  struct Step {
    enum Kind { kWord, kInsert, kRemove, kChange } kind;
    uint8_t key[kPositionKeyLength], old_key[kPositionKeyLength];
    uint8_t len, old_len;
    int32_t position, old_item, item;
    int32_t dup = 1;
  };
  static Step make(Step::Kind kind, const uint8_t *key, uint8_t len,
                   int32_t item, int32_t dup) {
    Step s{kind, {}, {}, len, 0, 0, 0, item, dup};
    std::memcpy(s.key, key, len);
    return s;
  }
  void push(const Step &s) {
    if (count_ < kMaxSteps) steps_[count_++] = s;
  }
  static constexpr int kMaxSteps = 8;
  IsamDb *db_;
  Step steps_[kMaxSteps];
  int count_ = 0;
};

IsamError change_size_key(Steps &steps, const Area &from, int32_t size,
                          int32_t position) {
  const SizeKey old_key(from.size), new_key(size);
  return steps.change(old_key.bytes, kSizeKeyLength, from.position,
                      new_key.bytes, kSizeKeyLength, position);
}

IsamError change_position_key(Steps &steps, const Area &from, int32_t position,
                              int32_t size) {
  const PositionKey old_key(from.position), new_key(position);
  return steps.change(old_key.bytes, kPositionKeyLength, from.size,
                      new_key.bytes, kPositionKeyLength, size);
}

IsamError delete_keys(Steps &steps, const Area &a) {
  const SizeKey size_key(a.size);
  const PositionKey position_key(a.position);
  if (const IsamError e =
          steps.remove(size_key.bytes, kSizeKeyLength, a.position, 1)) {
    return e;
  }
  return steps.remove(position_key.bytes, kPositionKeyLength, a.size, 0);
}

// The area `a` becomes `size` bytes at `position`: both keys, then its word
// (whose old value old_word a failure puts back).
IsamError reshape(Steps &steps, const Area &a, int32_t position, int32_t size,
                  int32_t old_word) {
  if (const IsamError e = change_size_key(steps, a, size, position)) return e;
  if (const IsamError e = change_position_key(steps, a, position, size)) {
    return e;
  }
  return steps.word(position, -size, old_word);
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
  if (db->free_tree != nullptr && !db->no_free_area) {
    int32_t item = 0;
    const int32_t r = cbtail(db->free_tree, &item);
    if (r == -1) return kIsCbt;
    uint8_t key[kSizeKeyLength];
    if (r == 1 && cbkey(db->free_tree, key, kSizeKeyLength) != 1) return kIsCbt;
    db->no_free_area = db->shared == 0 && (r != 1 || key[0] != kSizeKeyClass);
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
        Steps steps(db);
        IsamError e;
        if (data_length + db->min_record_length > area.size) {
          out->length = area.size;
          e = delete_keys(steps, area);
        } else {
          // The rest's word lies inside the area: a failure leaves it
          // there as unused content.
          out->length = data_length;
          e = reshape(steps, area, area.position + data_length + 2,
                      area.size - data_length - 2, 0);
        }
        if (e != kIsOk) steps.roll_back();
        return e;
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

namespace {

// The steps of a release (below). A failure puts back the words as they
// were: the stretch's own (a record's length word, or a free area's when
// the areas are registered with a new index file) and the neighbours'.
IsamError release_steps(IsamDb *db, Steps &steps, int32_t position,
                        int32_t size) {
  uint8_t bytes[2];
  if (data_read(db, position, 2, bytes) != kIsOk) return kIsIo;
  const int32_t old_word = get_ne16s(bytes);
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
    if (const IsamError e = steps.word(position, -size, old_word)) return e;
  }
  if (prev.size >= 0 && size >= 0 && next.size >= 0) {
    const int64_t sp = prev.size, s = size, sn = next.size;
    if (merge_prev && merge_next && sp + s > 0 && valid_size(sp + s + sn) &&
        valid_size(sp + s + sn + 4)) {
      if (const IsamError e =
              reshape(steps, prev, prev.position,
                      static_cast<int32_t>(sp + s + sn + 4), -prev.size)) {
        return e;
      }
      return delete_keys(steps, next);
    }
    if (merge_prev && sp + s > 0 && valid_size(sp + s + 2)) {
      return reshape(steps, prev, prev.position,
                     static_cast<int32_t>(sp + s + 2), -prev.size);
    }
    if (merge_next && s + sn >= 1 && valid_size(s + sn + 2)) {
      return reshape(steps, next, position, static_cast<int32_t>(s + sn + 2),
                     old_word);
    }
  }
  if (const IsamError e = steps.word(position, -size, old_word)) return e;
  const SizeKey size_key(size);
  if (const IsamError e =
          steps.insert(size_key.bytes, kSizeKeyLength, position, 1)) {
    return e;
  }
  // The free tree's position is still on the area before the stretch (or
  // before the first area): the position key goes just after it.
  return steps.insert(key.bytes, kPositionKeyLength, size, 0, true);
}

}  // namespace

IsamError release_stretch(IsamDb *db, int32_t position, int32_t size) {
  if (db->free_tree == nullptr) return write_word(db, position, -size);
  db->no_free_area = false;
  Steps steps(db);
  const IsamError e = release_steps(db, steps, position, size);
  if (e != kIsOk) steps.roll_back();
  return e;
}

}  // namespace recbase::isam
