// The checker's pass over the data file (invariants 1 and 4 of
// isam/check.h): the header in words, then every slot and free area from the
// first slot to the end, read in large pieces, with the key each record
// gives each made index.
#include <cstring>

#include "frame/bytes.h"
#include "isam/check.h"
#include "isam/data_format.h"
#include "isam/freespace.h"
#include "isam/keys.h"
#include "isam/record_io.h"

namespace recbase::isam {
namespace {

// The data file is read in pieces of this size; a slot is at most 2 + 32767
// bytes, so a window this large always holds a whole one.
constexpr int32_t kReadWindow = 1 << 20;

// A window on the data file for the pass from the first slot to the end.
class DataReader {
 public:
  DataReader(int32_t handle, uint32_t size)
      : handle_(handle), size_(size), bytes_(kReadWindow) {}
  // The n bytes at position (position + n <= the file's size); null when
  // they cannot be read.
  const uint8_t *at(int64_t position, int32_t n) {
    if (position < start_ || position + n > start_ + valid_) {
      const int64_t left = static_cast<int64_t>(size_) - position;
      valid_ = static_cast<int32_t>(left < kReadWindow ? left : kReadWindow);
      start_ = position;
      if (sys_read(handle_, static_cast<int32_t>(position), valid_,
                   bytes_.data()) != 1) {
        valid_ = 0;
        return nullptr;
      }
    }
    return bytes_.data() + (position - start_);
  }

 private:
  int32_t handle_;
  uint32_t size_;
  std::vector<uint8_t> bytes_;
  int64_t start_ = 0;
  int32_t valid_ = 0;
};

// True when a position key says that a free area of size 0 starts at p.
bool empty_area_at(const CheckState &s, int64_t p) {
  const auto &keys = s.position_keys;
  size_t lo = 0, hi = keys.size();
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    if (keys[mid].position < p) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo < keys.size() && keys[lo].position == p && keys[lo].size == 0;
}

// Appends the key that the record whose values are fields gives each made
// index (the layer's own key builder, so the same bytes an add enters).
void add_record_keys(CheckState &s, const char *const *fields,
                     std::vector<uint8_t> &scratch) {
  const auto cap = static_cast<int32_t>(scratch.size());
  for (RecordKeys &k : s.keys) {
    if (k.ix == nullptr) continue;
    int32_t len = 0;
    if (build_key_by_field(s.db, k.ix, fields, scratch.data(), cap, &len) !=
        kIsOk) {
      len = 0;
    }
    k.bytes.insert(k.bytes.end(), scratch.begin(), scratch.begin() + len);
    k.ends.push_back(k.bytes.size());
  }
}

}  // namespace

// The words for a header that read_header would refuse, "" for a sound
// one. Mirrors its checks (isam/data_format.cpp) to say which one failed.
std::string header_fault(int32_t handle, uint32_t size, CheckFailure *failure) {
  if (size < static_cast<uint32_t>(kHeaderSize)) {
    return say("data file: %u bytes, too short for its %d-byte header", size,
               kHeaderSize);
  }
  uint8_t head[kHeaderSize];
  if (sys_read(handle, 0, kHeaderSize, head) != 1) {
    *failure = CheckFailure{kIsIo, "data file header: cannot be read"};
    return "";
  }
  const int32_t n = get_ne16s(head + kDefsLenOffset);
  const int32_t count = get_ne16s(head + kFieldCountOffset);
  if (n < 0 || count < 0) {
    return say("data file header: definitions length %d, field count %d", n,
               count);
  }
  if (count > n) {
    return say(
        "data file header: %d fields cannot fit in %d bytes of definitions",
        count, n);
  }
  if (static_cast<int64_t>(kHeaderSize) + n > size) {
    return say(
        "data file header: %d bytes of definitions run past the end of the "
        "file (%u bytes)",
        n, size);
  }
  std::vector<char> defs(static_cast<size_t>(n));
  if (n > 0 && sys_read(handle, kHeaderSize, n, defs.data()) != 1) {
    *failure = CheckFailure{kIsIo, "data file header: cannot be read"};
    return "";
  }
  size_t at = 0;
  for (int32_t f = 0; f < count; ++f) {
    const void *nul = std::memchr(defs.data() + at, 0, defs.size() - at);
    if (nul == nullptr) {
      return say(
          "data file header: definition %d of %d does not end inside the %d "
          "bytes of definitions",
          f + 1, count, n);
    }
    at = static_cast<size_t>(static_cast<const char *>(nul) - defs.data()) + 1;
  }
  return "";
}

// Invariant 4: steps through the slots and free areas from the data start,
// collecting both and the keys of the records.
PassResult walk_data_file(CheckState &s) {
  PassResult r;
  IsamDb *db = s.db;
  s.keys.assign(static_cast<size_t>(kMaxIndexNumber) + 1, RecordKeys{});
  for (const IsamIndex *ix = db->indexes; ix != nullptr; ix = ix->next) {
    if (ix->number != kPhysicalNumber) s.keys[ix->number].ix = ix;
  }
  std::vector<uint8_t> scratch(static_cast<size_t>(cbbufsize()));
  DataReader reader(db->data_handle, s.data_size);
  std::vector<char *> fields(static_cast<size_t>(db->field_count) + 1);
  const int64_t end = s.data_size;
  int64_t p = db->data_start;
  while (p < end) {
    if (end - p < kSlotWordSize) {
      r.violation =
          say("slot at %lld: the file (%lld bytes) ends inside its length word",
              static_cast<long long>(p), static_cast<long long>(end));
      return r;
    }
    const uint8_t *word_bytes = reader.at(p, kSlotWordSize);
    if (word_bytes == nullptr) {
      r.failure = CheckFailure{kIsIo, "data file: cannot be read"};
      return r;
    }
    const int32_t word = get_ne16s(word_bytes);
    const int32_t length = word < 0 ? -word : word;
    const bool is_free = word < 0 || (word == 0 && empty_area_at(s, p));
    const char *what = is_free ? "free area" : "record";
    if (length > kMaxSlotLength) {
      r.violation = say(
          "free area at %lld: length word %d is no size a free area can have",
          static_cast<long long>(p), word);
      return r;
    }
    if (p + kSlotWordSize + length > end) {
      r.violation = say(
          "%s at %lld: length word %d runs past the end of the file (%lld "
          "bytes)",
          what, static_cast<long long>(p), word, static_cast<long long>(end));
      return r;
    }
    if (is_free) {
      s.areas.push_back(FreeArea{p, length});
    } else {
      const uint8_t *content = reader.at(p + kSlotWordSize, length);
      if (content == nullptr) {
        r.failure = CheckFailure{kIsIo, "data file: cannot be read"};
        return r;
      }
      const int32_t set = split_fields(db, content, length, fields.data());
      if (set < db->field_count) {
        r.violation = say(
            "record at %lld: its %d bytes end inside field %d (\"%s\")",
            static_cast<long long>(p), length, set + 1, db->field_names[set]);
        return r;
      }
      s.records.push_back(RecordSlot{static_cast<int32_t>(p), length});
      add_record_keys(s, fields.data(), scratch);
    }
    p += kSlotWordSize + length;
    s.report(CheckPhase::kDataFile, p, end);
  }
  return r;
}

}  // namespace recbase::isam
