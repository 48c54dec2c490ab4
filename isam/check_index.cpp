// The checker's passes over the index file (invariants 2, 5 and 6 of
// isam/check.h): the descriptors, the free-space keys against the free
// areas of the data file, and every index entry against the record it
// points at.
//
// Both compare sorted lists: the data file's slots and areas come in file
// order, position keys in key order (their numbers are written most
// significant byte first, so key order is numeric order), size keys sorted
// here by their item. An entry finds its record by binary search among the
// slots, compares its key with the one that record gave the index in the
// pass over the data file, and a byte per record tells whether the index
// has met it already. So the whole check is a walk of each list, and the
// data file is not read again.
#include <algorithm>
#include <cstring>

#include "frame/bytes.h"
#include "isam/check.h"
#include "isam/descriptors.h"
#include "isam/freespace.h"
#include "isam/keys.h"

namespace recbase::isam {
namespace {

PassResult violation(std::string words) {
  PassResult r;
  r.violation = std::move(words);
  return r;
}
PassResult failure(IsamError error, const char *words) {
  PassResult r;
  r.failure = CheckFailure{error, words};
  return r;
}

long long ll(int64_t v) { return static_cast<long long>(v); }

// One kind of free-space key against the areas: each area has exactly one
// key of the kind, with its size, and no key is left over.
std::string match_keys(const std::vector<FreeArea> &areas,
                       const std::vector<FreeArea> &keys, const char *kind) {
  size_t j = 0;
  for (const FreeArea &a : areas) {
    if (j < keys.size() && keys[j].position < a.position) break;
    if (j == keys.size() || keys[j].position != a.position) {
      return say("free area at %lld: no %s key", ll(a.position), kind);
    }
    if (keys[j].size != a.size) {
      return say(
          "free area at %lld: its length word says %d bytes, its %s key %d",
          ll(a.position), a.size, kind, keys[j].size);
    }
    ++j;
    if (j < keys.size() && keys[j].position == a.position) {
      return say("free area at %lld: two %s keys", ll(a.position), kind);
    }
  }
  if (j < keys.size()) {
    return say(
        "free-space map: a %s key (size %d) for %lld, where no free area "
        "starts",
        kind, keys[j].size, ll(keys[j].position));
  }
  return "";
}

// The walk of one index's entries, in key order.
class EntryCheck {
 public:
  explicit EntryCheck(CheckState &s)
      : s_(s),
        cap_(cbbufsize()),
        previous_(static_cast<size_t>(cap_)),
        seen_(s.records.size()) {}

  int32_t key_cap() const { return cap_; }

  // Starts the entries of index ix.
  void begin(const IsamIndex *ix) {
    ix_ = ix;
    keys_ = &s_.keys[static_cast<size_t>(ix->number)];
    std::fill(seen_.begin(), seen_.end(), 0);
    has_previous_ = false;
  }

  // The entry (key, item) of the index begun.
  PassResult entry(const uint8_t *key, int32_t len, int32_t item) {
    const char *name = ix_->name;
    const auto &records = s_.records;
    const auto at = std::lower_bound(
        records.begin(), records.end(), item,
        [](const RecordSlot &r, int32_t p) { return r.position < p; });
    if (at == records.end() || at->position != item) {
      return violation(
          say("index \"%s\": an entry points at %d, where no record starts",
              name, item));
    }
    const auto i = static_cast<size_t>(at - records.begin());
    if (seen_[i] != 0) {
      return violation(
          say("index \"%s\": record at %d has two entries", name, item));
    }
    seen_[i] = 1;
    const size_t from = i > 0 ? keys_->ends[i - 1] : 0;
    const uint8_t *expected = keys_->bytes.data() + from;
    const auto expected_len = static_cast<int32_t>(keys_->ends[i] - from);
    if (expected_len == 0) {
      return violation(
          say("index \"%s\": record at %d gives a key longer than the longest "
              "key (%d bytes)",
              name, item, cap_));
    }
    // Equal under the comparison (texts of an S field differ in case, and
    // equal keys may share the text of the first) or byte for byte (a NaN
    // compares equal to nothing).
    const bool same =
        (expected_len == len &&
         std::memcmp(expected, key, static_cast<size_t>(len)) == 0) ||
        key_compare(expected, expected_len, key, len) == 0;
    if (!same) {
      return violation(
          say("index \"%s\": the entry of record at %d holds a key that the "
              "record's fields do not give",
              name, item));
    }
    if (ix_->unique != 0 && has_previous_ &&
        key_compare(previous_.data(), previous_len_, key, len) == 0) {
      return violation(
          say("unique index \"%s\": records at %d and %d have equal keys", name,
              previous_item_, item));
    }
    std::memcpy(previous_.data(), key, static_cast<size_t>(len));
    previous_len_ = len;
    previous_item_ = item;
    has_previous_ = true;
    ++s_.index_entries;
    return PassResult{};
  }

  // After the last entry of the index begun (or of an index without any):
  // the first record it has no entry for.
  PassResult end() const {
    for (size_t i = 0; i < seen_.size(); ++i) {
      if (seen_[i] == 0) {
        return violation(say("index \"%s\": record at %d has no entry",
                             ix_->name, s_.records[i].position));
      }
    }
    return PassResult{};
  }

 private:
  CheckState &s_;
  int32_t cap_;
  const IsamIndex *ix_ = nullptr;
  const RecordKeys *keys_ = nullptr;
  std::vector<uint8_t> previous_;
  std::vector<uint8_t> seen_;
  int32_t previous_len_ = 0;
  int32_t previous_item_ = 0;
  bool has_previous_ = false;
};

}  // namespace

// Builds an IsamIndex for every descriptor at the head of the index file,
// as an open does, with words for what an open would only call corrupt.
PassResult load_descriptors(CheckState &s, int32_t key_cap) {
  PassResult r;
  IsamDb *db = s.db;
  std::vector<uint8_t> key(static_cast<size_t>(key_cap));
  bool physical = false;
  int32_t number = 0;
  for (int32_t rc = cbhead(db->desc_tree, &number); rc != kAfterLast;
       rc = cbnext(db->desc_tree, &number)) {
    int32_t len = 0;
    if (rc != 1 || cbkeylen(db->desc_tree, &len) != 1) {
      r.failure = CheckFailure{kIsCbt, "index file: cannot be walked"};
      return r;
    }
    if (len < 1 || len > key_cap) break;  // no descriptor; entries are next
    if (cbkey(db->desc_tree, key.data(), len) != 1) {
      r.failure = CheckFailure{kIsCbt, "index file: cannot be walked"};
      return r;
    }
    if (key[0] != kDescriptorClass) break;
    const auto *text = reinterpret_cast<const char *>(key.data()) + 1;
    const std::string name(text, std::find(text, text + len - 1, '\0'));
    if (len < 2 || key[static_cast<size_t>(len) - 1] != 0) {
      r.violation =
          say("index file: the descriptor of \"%s\" does not end with a NUL",
              name.c_str());
      return r;
    }
    if (number < kPhysicalNumber || number > kMaxIndexNumber) {
      r.violation = say("index file: index \"%s\" has number %d, outside 0..%d",
                        name.c_str(), number, kMaxIndexNumber);
      return r;
    }
    for (const IsamIndex *o = db->indexes; o != nullptr; o = o->next) {
      if (o->number == number) {
        r.violation =
            say("index file: indexes \"%s\" and \"%s\" both have number %d",
                o->name, name.c_str(), number);
        return r;
      }
    }
    if (number == kPhysicalNumber && name != kPhysicalName) {
      r.violation =
          say("index file: index \"%s\" has number 0, which belongs to \"%s\"",
              name.c_str(), kPhysicalName);
      return r;
    }
    IsamIndex *ix = nullptr;
    const IsamError e = build_index(db, key.data(), len, number, &ix);
    if (e == kIsIndexCorrupt) {
      r.violation =
          say("index file: index \"%s\" names a field the data file does not "
              "define",
              name.c_str());
      return r;
    }
    if (e != kIsOk) {
      r.failure = CheckFailure{e, "index file: cannot be read"};
      return r;
    }
    add_member(reinterpret_cast<void **>(&db->indexes), ix);
    ++db->index_count;
    physical = physical || number == kPhysicalNumber;
  }
  if (!physical) {
    r.violation = say("index file: no descriptor of \"%s\"", kPhysicalName);
  }
  return r;
}

PassResult collect_free_keys(CheckState &s) {
  CbTree *tree = s.db->desc_tree;
  uint8_t key[kPositionKeyLength];
  const uint8_t first = kPositionKeyClass;
  int32_t item = 0;
  int32_t rc = cbfind(tree, &first, 1, &item);
  // The search gives 2 or 3, each step 1; -3 ends the keys.
  for (; rc == 1 || rc == 2 || rc == 3; rc = cbnext(tree, &item)) {
    int32_t len = 0;
    if (cbkeylen(tree, &len) != 1) break;
    // The search lands on the first key of the class or after it; an empty
    // key sorts before every other.
    if (len < 1) continue;
    if (cbkey(tree, key, kPositionKeyLength) != 1) break;
    if (key[0] < kPositionKeyClass) continue;
    const bool position = key[0] == kPositionKeyClass;
    const int32_t right = position ? kPositionKeyLength : kSizeKeyLength;
    if (len != right) {
      return violation(
          say("free-space map: a %s key of %d bytes, not %d (item %d)",
              position ? "position" : "size", len, right, item));
    }
    if (position) {
      s.position_keys.push_back(FreeArea{get_be32(key + 1), item});
    } else {
      s.size_keys.push_back(FreeArea{item, (key[1] << 8) | key[2]});
    }
    s.report(CheckPhase::kIndexFile, ++s.keys_walked, s.index_keys_total);
  }
  if (rc != kAfterLast) return failure(kIsCbt, "index file: cannot be walked");
  std::sort(s.size_keys.begin(), s.size_keys.end(),
            [](const FreeArea &a, const FreeArea &b) {
              return a.position != b.position ? a.position < b.position
                                              : a.size < b.size;
            });
  return PassResult{};
}

std::string check_free_space_map(const CheckState &s) {
  std::string fault = match_keys(s.areas, s.position_keys, "position");
  return fault.empty() ? match_keys(s.areas, s.size_keys, "size") : fault;
}

PassResult check_entries(CheckState &s) {
  IsamDb *db = s.db;
  CbTree *tree = db->desc_tree;
  EntryCheck check(s);
  const int32_t cap = check.key_cap();
  std::vector<uint8_t> key(static_cast<size_t>(cap));
  std::vector<uint8_t> met(kMaxIndexNumber + 1, 0);
  int32_t current = -1;
  int32_t item = 0;
  int32_t rc = cbhead(tree, &item);
  bool entries_done = false;  // the free-space keys follow every entry
  for (; rc == 1; rc = cbnext(tree, &item)) {
    int32_t len = 0;
    if (cbkeylen(tree, &len) != 1) break;
    if (len < 1 || len > cap) {
      return violation(
          say("index file: a key of %d bytes (item %d)", len, item));
    }
    if (cbkey(tree, key.data(), len) != 1) break;
    const int32_t number = key[0];
    if (number == kDescriptorClass) {
      s.report(CheckPhase::kIndexFile, ++s.keys_walked, s.index_keys_total);
      continue;
    }
    if (number >= kPositionKeyClass) {
      entries_done = true;  // counted when they were collected
      break;
    }
    s.report(CheckPhase::kIndexFile, ++s.keys_walked, s.index_keys_total);
    if (number != current) {
      if (current >= 0) {
        const PassResult r = check.end();
        if (!r.ok()) return r;
      }
      const IsamIndex *ix = index_numbered(db, number);
      if (ix == nullptr) {
        return violation(
            say("index file: entries of index number %d, which no descriptor "
                "names (the first points at %d)",
                number, item));
      }
      check.begin(ix);
      met[static_cast<size_t>(number)] = 1;
      current = number;
    }
    const PassResult r = check.entry(key.data(), len, item);
    if (!r.ok()) return r;
  }
  if (!entries_done && rc != kAfterLast) {
    return failure(kIsCbt, "index file: cannot be walked");
  }
  if (current >= 0) {
    const PassResult r = check.end();
    if (!r.ok()) return r;
  }
  // Indexes without a single entry: every record lacks one.
  for (int32_t n = 1; n <= kMaxIndexNumber; ++n) {
    const IsamIndex *ix = index_numbered(db, n);
    if (ix == nullptr || met[static_cast<size_t>(n)] != 0) continue;
    check.begin(ix);
    const PassResult r = check.end();
    if (!r.ok()) return r;
  }
  return PassResult{};
}

}  // namespace recbase::isam
