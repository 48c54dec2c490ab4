// The database checker behind icheck_db: what it verifies, in the order it
// verifies it, and the state its two files share (isam/check.cpp reads the
// data file and runs the whole check; isam/check_index.cpp checks the index
// file's entries and free-space keys against what the data file holds).
//
// A sound database satisfies, checked in this order (the first violation
// found is the one reported):
//  1. The data file's header: at least 4 bytes, N and the field count not
//     negative, no more fields than bytes of definitions, the definitions
//     inside the file and each one ending with its NUL inside the N bytes.
//  2. The index file's descriptors are sound: each ends with a NUL, carries
//     a number of 0..253 used once and names only fields of the header;
//     number 0 is "Physical Index". (The key comparison finds an entry's
//     field types through its index, so they come before the tree.)
//  3. The index file is a sound B-tree under the ISAM key comparison
//     (cbcheck, with the database's own field types deciding the order of
//     every index's entries).
//  4. From the data start, record slots (length word >= 0) and free areas
//     (length word < 0) follow one another and end exactly at the end of the
//     file; each record's content holds every field. A free area is stepped
//     over by the word at its start alone: the words inside an area made by
//     merging keep what they held (isam/freespace.h, invariant 1) and are
//     never read. A word of 0 under a position key of size 0 is a free area
//     of no content (a split can leave one when the minimum record length
//     is 2), not a record.
//  5. Free-space map: every free area has exactly one position key and one
//     size key, both giving its position and size, and every free-space key
//     belongs to an area.
//  6. Every made index (numbers 1..253) holds exactly one entry per record:
//     each entry's item is the position of a record slot, no record has two,
//     none has none, and each entry's key equals (under the key comparison,
//     or byte for byte) the key the layer builds from that record's fields.
//     Every entry belongs to an index that a descriptor names. A unique
//     index has no two entries with equal keys.
//
// Without an index file (missing, or one that cannot be opened) only 1 and
// 4 can be checked: a violation there is reported as usual, else the check
// ends as one that could not be done, saying that the data file alone was
// checked; the layer would open such a database with "Physical Index" alone
// and its index definitions lost, which only a new index file mends.
//
// Memory: a few words per record slot, free area and free-space key, the
// key each record gives each index (as large as the entries it should
// have), a byte per record for the index being checked, plus cbcheck's copy
// of the index file. Time: one pass over the data file in large reads and
// one walk of the index file, with a binary search among the records per
// entry.
#ifndef RECBASE_ISAM_CHECK_H
#define RECBASE_ISAM_CHECK_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "frame/say.h"
#include "isam/error_state.h"
#include "isam/handles.h"

namespace recbase::isam {

// What the check is doing when it reports progress: stepping through the
// data file (done and total in bytes) or walking the index file's keys
// (done and total in keys).
enum class CheckPhase { kDataFile, kIndexFile };

// An optional progress callback, called after each slot of the data file
// and each key of the index file (so that done reaches total in each phase
// of a sound database). It must not close the library; it may
// use it otherwise (the check makes its own view of the database current
// again after each call).
struct CheckProgress {
  void (*step)(void *context, CheckPhase phase, int64_t done,
               int64_t total) = nullptr;
  void *context = nullptr;
};

// The outcome of check_database: verdict 1 sound, 0 not sound (message says
// where and what), -1 could not be checked (error says why, message adds
// the file and the reason).
struct CheckOutcome {
  int32_t verdict = -1;
  IsamError error = kIsOk;
  std::string message;
  CbErrors cb;  // the B-tree codes as the failure left them
};

// Checks the database name as icheck_db describes (include/recbase/isam.h).
// stats may be null; progress may be null.
CheckOutcome check_database(const char *name, IsamCheckStats *stats,
                            const CheckProgress *progress);

// ---- Shared by the checker's files -------------------------------------

struct RecordSlot {
  int32_t position = 0;
  int32_t length = 0;  // content bytes
};

struct FreeArea {
  int64_t position = 0;
  int32_t size = 0;
};

// The keys that one made index's records give, built from each record's
// fields during the pass over the data file, in file order: record i's key
// is bytes[ends[i - 1], ends[i]) (from 0 for the first). An empty key
// stands for one longer than the longest key a tree holds (every real key
// has at least its index number).
struct RecordKeys {
  const IsamIndex *ix = nullptr;
  std::vector<uint8_t> bytes;
  std::vector<size_t> ends;
};

// The state of one check: the checker's own view of the database (not in
// the list of open databases; its fields and indexes read from the files)
// and what the passes gathered.
struct CheckState {
  IsamDb *db = nullptr;
  uint32_t data_size = 0;
  std::vector<RecordSlot> records;  // in file order
  std::vector<RecordKeys> keys;     // by index number; ix null when none
  std::vector<FreeArea> areas;      // in file order
  // The free-space keys: position keys in key order (that is, by
  // position), size keys as (position = item, size) in key order.
  std::vector<FreeArea> position_keys, size_keys;
  int64_t index_entries = 0;
  int64_t index_keys_total = 0;  // pairs of the index file, from cbcheck
  int64_t keys_walked = 0;
  const CheckProgress *progress = nullptr;

  // Calls the progress callback, then makes db current again.
  void report(CheckPhase phase, int64_t done, int64_t total) const;
};

// A check that could not go on: the code for isam_errno and the words.
struct CheckFailure {
  CheckFailure() = default;
  CheckFailure(IsamError e, std::string w) : error(e), words(std::move(w)) {}
  IsamError error = kIsOk;
  std::string words;
  CbErrors cb;  // taken where the failure is made
};

// What a pass found: "" and no failure when it passed, a violation in
// words, or a failure to read.
struct PassResult {
  std::string violation;
  CheckFailure failure;
  bool ok() const { return violation.empty() && failure.error == kIsOk; }
};

// Invariant 1: the words for a header that read_header would refuse, ""
// for a sound one; failure gets a read that failed.
std::string header_fault(int32_t handle, uint32_t size, CheckFailure *failure);
// Invariant 2: builds an IsamIndex for every descriptor at the head of the
// index file (through db->desc_tree), as an open does, with words for what
// an open would only call corrupt. key_cap: the longest key.
PassResult load_descriptors(CheckState &s, int32_t key_cap);
// Invariant 4: steps through the slots and free areas from the data start,
// collecting both and the key each record gives each made index.
PassResult walk_data_file(CheckState &s);
// Reads every free-space key of the index file (through db->desc_tree)
// into position_keys and size_keys. A key of the wrong length is a
// violation.
PassResult collect_free_keys(CheckState &s);
// Invariant 5, once the data file's areas are known.
std::string check_free_space_map(const CheckState &s);
// Invariant 6: walks every entry of the index file.
PassResult check_entries(CheckState &s);

}  // namespace recbase::isam

#endif  // RECBASE_ISAM_CHECK_H
