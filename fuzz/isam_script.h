// The fixed script that isam_fuzz and the replay test run against a
// database whose two files may be damaged: open it, walk every index both
// ways reading each record, find by key and by record, match the key found,
// add, modify (moved and back), delete, make a new index file (when the
// input says so), make an index and remove one, close. Test-only code.
//
// Input framing (one fuzz input holds both files):
//
//   off     width  meaning
//   0       1      flags: bit 0 opens the database shared; bits 1..3 pick
//                  the index (in igetindexnames order) that the changes use;
//                  bit 4 makes a new index file before making an index
//   1       4      L, the data image's length, little-endian; clamped to
//                  the bytes that follow
//   5       L      NAME.db
//   5 + L   rest   NAME.idx
//
// Properties checked (each violation goes to the complaint callback; the
// fuzz target aborts on it, the replay test records a failure):
//  1. A call that returns -1 or NULL has set isam_errno.
//  2. Results are within each call's documented set.
//  3. No pool buffer is pinned between calls.
//  4. Walks end: no index yields more records than kMaxSteps.
//  5. A record that iaddrec added reads back as it was given.
//  6. A database that icheck_db finds sound opens whole and is still sound
//     after the script.
#ifndef RECBASE_FUZZ_ISAM_SCRIPT_H
#define RECBASE_FUZZ_ISAM_SCRIPT_H

#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "bufpool/bufpool.h"
#include "fuzz/fuzz_files.h"
#include "recbase/isam.h"

namespace recbase::fuzz {

using IsamComplaint = std::function<void(const std::string &)>;

constexpr size_t kFramingSize = 5;

// The two file images of an input, pointing into it.
struct ImagePair {
  int flags = 0;
  const uint8_t *data = nullptr;
  size_t data_size = 0;
  const uint8_t *index = nullptr;
  size_t index_size = 0;
};

inline ImagePair split_images(const uint8_t *in, size_t size) {
  ImagePair p;
  if (size < kFramingSize) return p;
  p.flags = in[0];
  size_t len = 0;
  for (int i = 4; i >= 1; --i) len = len << 8 | in[i];
  p.data = in + kFramingSize;
  p.data_size = len < size - kFramingSize ? len : size - kFramingSize;
  p.index = p.data + p.data_size;
  p.index_size = size - kFramingSize - p.data_size;
  return p;
}

inline std::vector<uint8_t> join_images(int flags,
                                        const std::vector<uint8_t> &data,
                                        const std::vector<uint8_t> &index) {
  std::vector<uint8_t> out{static_cast<uint8_t>(flags)};
  for (int i = 0; i < 4; ++i) out.push_back((data.size() >> (8 * i)) & 0xFF);
  out.insert(out.end(), data.begin(), data.end());
  out.insert(out.end(), index.begin(), index.end());
  return out;
}

namespace isam_detail {

constexpr int kMaxSteps = 1 << 15;
// A slot holds at most 32767 content bytes.
constexpr size_t kRecordBuffer = 1 << 16;

class Runner {
 public:
  Runner(IsamDb *db, const IsamComplaint &complain)
      : db_(db), complain_(complain), zeros_(kRecordBuffer, 0) {
    const int32_t n = igetfldcount(db);
    fields_ = n > 0 ? n : 0;
    rec_.assign(fields_ + 1, nullptr);
    buf_.assign(kRecordBuffer, 0);
  }

  int32_t expect(const char *what, int32_t r, std::initializer_list<int> ok) {
    bool in = false;
    for (int a : ok) in = in || a == r;
    if (!in) complain(what, r, "unexpected result");
    if (r == -1 && isam_errno == 0) complain(what, r, "-1 without isam_errno");
    const int32_t pinned = bufpool_stats(bufpool_current()).pinned;
    if (pinned != 0) complain(what, pinned, "blocks left pinned");
    return r;
  }

  // Values by field number: saved_ from the first whole record read, else
  // texts and zeros (numbers 0, binary bytes 0).
  std::vector<char *> values(const char *text, bool from_record) {
    if (from_record && !saved_.empty()) return saved_ptrs_;
    std::vector<char *> v(fields_ + 1, nullptr);
    for (int32_t f = 0; f < fields_; ++f) {
      const bool is_text = igetfldtype(db_, f) <= 1;
      v[f] = is_text ? const_cast<char *>(text) : zeros_.data();
    }
    return v;
  }

  // Values by key field of ix, taken from values by field number.
  std::vector<char *> key_values(IsamIndex *ix, const std::vector<char *> &by) {
    const int32_t n = igetdesc_count(db_, ix);
    std::vector<char *> v;
    for (int32_t k = 0; k < n; ++k) {
      const int32_t f = igetdesc_fldnbr(db_, ix, k);
      v.push_back(f >= 0 && f < fields_ ? by[f] : zeros_.data());
    }
    v.push_back(nullptr);
    return v;
  }

  void read(IsamIndex *ix) {
    const int32_t r = expect(
        "igetrec", igetrec(db_, ix, rec_.data(), buf_.data(), kRecordBuffer),
        {1, -1, -2, -3});
    if (r != 1 || !saved_.empty()) return;
    for (int32_t f = 0; f < fields_; ++f) {
      if (rec_[f] == nullptr) return;
    }
    saved_ = buf_;
    saved_ptrs_.assign(fields_ + 1, nullptr);
    for (int32_t f = 0; f < fields_; ++f) {
      saved_ptrs_[f] = saved_.data() + (rec_[f] - buf_.data());
    }
  }

  // The record under ix holds values (by field number) exactly.
  void reads_back(IsamIndex *ix, const std::vector<char *> &values) {
    static const size_t kSizes[] = {0, 0, 2, 2, 4, 4, 8};
    if (expect("igetrec",
               igetrec(db_, ix, rec_.data(), buf_.data(), kRecordBuffer),
               {1, -1}) != 1) {
      return;
    }
    for (int32_t f = 0; f < fields_; ++f) {
      const int32_t t = igetfldtype(db_, f);
      const size_t n = t <= 1   ? std::strlen(values[f]) + 1
                       : t == 7 ? static_cast<size_t>(igetfldlen(db_, f))
                                : kSizes[t];
      if (rec_[f] == nullptr || std::memcmp(rec_[f], values[f], n) != 0) {
        complain("igetrec", f, "field of the added record reads otherwise");
      }
    }
  }

  void walk(IsamIndex *ix, bool forward) {
    int32_t r = forward ? ifindhead(db_, ix) : ifindtail(db_, ix);
    const int end = forward ? -3 : -2;
    expect(forward ? "ifindhead" : "ifindtail", r, {1, -1, end});
    int steps = 0;
    for (; r == 1 && steps < kMaxSteps; ++steps) {
      read(ix);
      r = forward ? ifindnext(db_, ix) : ifindprev(db_, ix);
      expect(forward ? "ifindnext" : "ifindprev", r, {1, -1, end});
    }
    if (steps == kMaxSteps) complain("walk", steps, "does not end");
  }

  void finds(IsamIndex *ix) {
    for (bool from_record : {true, false}) {
      std::vector<char *> rec = values("k5", from_record);
      std::vector<char *> key = key_values(ix, rec);
      expect("ifindkey", ifindkey(db_, ix, key.data()), {2, 3, -1});
      expect("imatchkey", imatchkey(db_, ix, key.data()), {1, 0, -1});
      expect("ipartialmatch", ipartialmatch(db_, ix, key.data()), {1, 0, -1});
      expect("ifindrec", ifindrec(db_, ix, rec.data()), {2, 3, -1});
      read(ix);
    }
  }

  void run(int flags) {
    std::vector<std::string> names;
    char **list = igetindexnames(db_);
    if (list == nullptr) expect("igetindexnames", -1, {-1});
    for (int i = 0; list != nullptr && list[i] != nullptr; ++i) {
      names.emplace_back(list[i]);
    }
    IsamIndex *chosen = nullptr;
    for (size_t i = 0; i < names.size(); ++i) {
      IsamIndex *ix = ihandle(db_, names[i].c_str());
      if (ix == nullptr) expect("ihandle", -1, {-1});
      if (ix == nullptr) continue;
      if (i == static_cast<size_t>((flags >> 1) & 7) % names.size()) {
        chosen = ix;
      }
      walk(ix, true);
      walk(ix, false);
      finds(ix);
    }
    IsamIndex *physical = ihandle(db_, iphysical);
    std::vector<char *> added = values("fuzz-added", false);
    if (expect("iaddrec", iaddrec(db_, chosen, added.data()), {1, -1}) == 1 &&
        chosen != nullptr) {
      reads_back(chosen, added);
    }
    const std::vector<char *> moved =
        values("a longer text that moves the record to a new slot", false);
    expect("imodrec", imodrec(db_, chosen, moved.data()), {1, -1, -2, -3});
    std::vector<char *> saved = values("", true);
    expect("imodrec", imodrec(db_, chosen, saved.data()), {1, -1, -2, -3});
    expect("idelrec", idelrec(db_, chosen), {1, -1});
    for (IsamIndex *ix : {physical, chosen}) {
      if (ix == nullptr) continue;
      expect("ifindhead", ifindhead(db_, ix), {1, -1, -3});
      expect("idelrec", idelrec(db_, ix), {1, -1});
    }
    if (flags & 16) {
      expect("inew_index_file", inew_index_file(db_, 0, 1), {1, -1});
    }
    char **defs = igetfldnames(db_);
    const char *specs[] = {fields_ > 0 && defs != nullptr ? defs[0] : nullptr,
                           nullptr};
    expect("imkindex", imkindex(db_, "fuzz made,U", specs), {1, -1});
    const std::string gone = names.size() > 1 ? names.back() : "fuzz made,U";
    expect("irmindex", irmindex(db_, gone.c_str()), {1, -1});
  }

 private:
  void complain(const char *what, int32_t result, const char *why) {
    complain_(std::string(what) + " gave " + std::to_string(result) + ": " +
              why + " (isam_errno " + std::to_string(isam_errno) +
              ", cberrcode " + std::to_string(cberrcode) + ")");
  }

  IsamDb *db_;
  const IsamComplaint &complain_;
  int32_t fields_ = 0;
  std::vector<char> zeros_;
  std::vector<char *> rec_;
  std::vector<char> buf_;
  std::vector<char> saved_;
  std::vector<char *> saved_ptrs_;
};

}  // namespace isam_detail

// icheck_db's verdict on the database name: 1 sound, 0 not, -1 not
// checked; a -1 without isam_errno is a complaint. The violation goes to
// *why.
inline int32_t check_db(const char *name, const IsamComplaint &complain,
                        std::string *why) {
  char message[256];
  const int32_t r = icheck_db(name, nullptr, message, sizeof message);
  if (r < -1 || r > 1 || (r == -1 && isam_errno == 0)) {
    complain("icheck_db gave " + std::to_string(r) + " with isam_errno " +
             std::to_string(isam_errno));
  }
  *why = message;
  return r;
}

// Writes the input's files as name.db and name.idx, sets the library up (8
// buffers of 1024 bytes, which every seed's block size fits; no OS flush;
// one try per lock), runs the script and ends the library. A database that
// icheck_db finds sound must open whole, and be sound still after the
// script. Returns isam_errno as the open left it (0: opened whole), or -1
// when the open failed.
inline int32_t run_isam_input(const std::string &name, const uint8_t *in,
                              size_t size, const IsamComplaint &complain) {
  const ImagePair files = split_images(in, size);
  cb_set_flush(1, 1);
  ilock_timeout(1, 0, 0);
  cblock_timeout(1, 0, 0);
  if (!write_image(name + ".db", files.data, files.data_size) ||
      !write_image(name + ".idx", files.index, files.index_size) ||
      isaminit(8, 1024) != 1) {
    complain("the files cannot be written or the library set up");
    return -1;
  }
  std::string why;
  const bool sound = check_db(name.c_str(), complain, &why) == 1;
  IsamDb *db = iopen_db_shared(name.c_str(), files.flags & 1, 0);
  const int32_t opened = db != nullptr ? isam_errno : -1;
  if (db == nullptr && isam_errno == 0) {
    complain("open gave NULL without isam_errno");
  }
  if (sound && opened != 0) {
    complain("a sound database opened with isam_errno " +
             std::to_string(isam_errno));
  }
  if (db != nullptr) {
    isam_detail::Runner(db, complain).run(files.flags);
    const int32_t r = iclose_db(db);
    if (r != 1 && (r != -1 || isam_errno == 0)) {
      complain("iclose_db gave " + std::to_string(r) + " with isam_errno " +
               std::to_string(isam_errno));
    }
    if (sound && check_db(name.c_str(), complain, &why) != 1) {
      complain("a sound database was left unsound: " + why);
    }
  }
  if (isamexit() != 1) complain("isamexit failed");
  return opened;
}

}  // namespace recbase::fuzz

#endif  // RECBASE_FUZZ_ISAM_SCRIPT_H
