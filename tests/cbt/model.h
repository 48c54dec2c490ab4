// An in-memory model of a B-tree's contents for randomized tests: a
// std::set of (key, item) pairs in the tree's own order (the compare
// function on the keys, then the signed item), with checks that compare a
// tree handle against it through the exported calls only.
#ifndef RECBASE_TESTS_CBT_MODEL_H
#define RECBASE_TESTS_CBT_MODEL_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <iterator>
#include <set>
#include <string>

#include "recbase/cbt.h"

namespace recbase::test {

// Plain byte order (unsigned bytes, then the shorter key first).
inline int32_t RBCALL memcmp_order(const void *a, int32_t alen, const void *b,
                                   int32_t blen) {
  const int32_t n = alen < blen ? alen : blen;
  const int c = n > 0 ? std::memcmp(a, b, static_cast<size_t>(n)) : 0;
  if (c != 0) return c < 0 ? -1 : 1;
  return alen < blen ? -1 : (alen > blen ? 1 : 0);
}

// The reverse of plain byte order.
inline int32_t RBCALL reverse_order(const void *a, int32_t alen, const void *b,
                                    int32_t blen) {
  return -memcmp_order(a, alen, b, blen);
}

struct ModelPair {
  std::string key;
  int32_t item;
};

struct ModelLess {
  CbCompare cmp;
  bool operator()(const ModelPair &a, const ModelPair &b) const {
    const int32_t c = cmp(a.key.data(), static_cast<int32_t>(a.key.size()),
                          b.key.data(), static_cast<int32_t>(b.key.size()));
    if (c != 0) return c < 0;
    return a.item < b.item;
  }
};

class TreeModel {
 public:
  using Set = std::set<ModelPair, ModelLess>;
  using Iter = Set::const_iterator;

  // exact_bytes: keys that compare equal are byte-for-byte equal, so the
  // tree must give back exactly the bytes stored in the model. Otherwise
  // (a compare function that folds case, say) the tree may give back the
  // text of a neighbour with an equal key, and only equality under the
  // compare function and the length are checked.
  TreeModel(CbCompare cmp, bool exact_bytes)
      : cmp_(cmp != nullptr ? cmp : cbkeycmp),
        exact_(exact_bytes),
        set_(ModelLess{cmp_}) {}

  const Set &pairs() const { return set_; }
  CbCompare cmp() const { return cmp_; }
  void add(const std::string &key, int32_t item) { set_.insert({key, item}); }

  bool keys_equal(const std::string &a, const std::string &b) const {
    return cmp_(a.data(), static_cast<int32_t>(a.size()), b.data(),
                static_cast<int32_t>(b.size())) == 0;
  }
  // First pair >= (key, item).
  Iter lower(const std::string &key, int32_t item) const {
    return set_.lower_bound({key, item});
  }
  bool has_key(const std::string &key) const {
    const Iter it = lower(key, INT32_MIN);
    return it != set_.end() && keys_equal(key, it->key);
  }

  // What cbinsert must answer: the result and, on -1, cberrcode.
  struct Outcome {
    int32_t result;
    int32_t err;
  };
  Outcome expect_insert(const std::string &key, int32_t item,
                        int32_t dup) const {
    if (set_.count({key, item}) != 0) return {-1, 23};
    if (dup == 0 && has_key(key)) return {-1, 22};
    return {1, 0};
  }

  // The key at the tree's position (cbkeylen and cbkey) is that of p.
  testing::AssertionResult key_at(CbTree *tree, const ModelPair &p) const {
    int32_t len = -1;
    if (cbkeylen(tree, &len) != 1) {
      return testing::AssertionFailure()
             << "cbkeylen failed, err " << cberrcode;
    }
    if (len != static_cast<int32_t>(p.key.size())) {
      return testing::AssertionFailure()
             << "key length " << len << ", model " << p.key.size() << " (item "
             << p.item << ")";
    }
    std::string got(static_cast<size_t>(len) + 1, '\x5a');
    if (cbkey(tree, got.data(), len) != 1) {
      return testing::AssertionFailure() << "cbkey failed, err " << cberrcode;
    }
    if (got[static_cast<size_t>(len)] != '\x5a') {
      return testing::AssertionFailure() << "cbkey wrote past its buffer";
    }
    got.resize(static_cast<size_t>(len));
    const bool same = exact_ ? got == p.key : keys_equal(got, p.key);
    if (!same) {
      return testing::AssertionFailure()
             << "key bytes differ from the model's (item " << p.item << ")";
    }
    return testing::AssertionSuccess();
  }

  // One step's result and item against the model's pair (or end).
  testing::AssertionResult step_is(CbTree *tree, const char *what,
                                   int32_t result, int32_t item, Iter want,
                                   int32_t end_result) const {
    if (want == set_.end()) {
      if (result == end_result) return testing::AssertionSuccess();
      return testing::AssertionFailure()
             << what << " gave " << result << ", expected " << end_result;
    }
    if (result != 1 || item != want->item) {
      return testing::AssertionFailure()
             << what << " gave " << result << " item " << item
             << ", expected item " << want->item << " (pair "
             << std::distance(set_.begin(), want) << " of " << set_.size()
             << ")";
    }
    return key_at(tree, *want);
  }

  // cbhead then cbnext to the end: every pair in order, then -3.
  testing::AssertionResult walk_forward(CbTree *tree) const {
    int32_t item = 0;
    int32_t r = cbhead(tree, &item);
    const char *what = "cbhead";
    for (Iter it = set_.begin();; ++it) {
      auto ok = step_is(tree, what, r, item, it, -3);
      if (!ok || it == set_.end()) return ok;
      r = cbnext(tree, &item);
      what = "cbnext";
    }
  }

  // cbtail then cbprev to the start: every pair in reverse, then -2.
  testing::AssertionResult walk_backward(CbTree *tree) const {
    int32_t item = 0;
    int32_t r = cbtail(tree, &item);
    const char *what = "cbtail";
    for (auto it = set_.rbegin();; ++it) {
      const Iter want = it == set_.rend() ? set_.end() : std::prev(it.base());
      auto ok = step_is(tree, what, r, item, want, -2);
      if (!ok || it == set_.rend()) return ok;
      r = cbprev(tree, &item);
      what = "cbprev";
    }
  }

  // cbfind lands on the first pair with the key whose item is >= 0, or
  // else on the next pair: 2 when that pair has the key, 3 when not, -3
  // when no pair follows. Returns where it must be.
  Iter expect_find(CbTree *tree, const std::string &key,
                   testing::AssertionResult *ok) const {
    int32_t item = 0;
    const int32_t r =
        cbfind(tree, key.data(), static_cast<int32_t>(key.size()), &item);
    return check_search(tree, "cbfind", key, lower(key, 0), r, item, false, 0,
                        ok);
  }
  // cbfinditem lands on (key, item) or the next pair.
  Iter expect_finditem(CbTree *tree, const std::string &key, int32_t item,
                       testing::AssertionResult *ok) const {
    int32_t io = item;
    const int32_t r =
        cbfinditem(tree, key.data(), static_cast<int32_t>(key.size()), &io);
    return check_search(tree, "cbfinditem", key, lower(key, item), r, io, true,
                        item, ok);
  }

 private:
  // want: where the search must land; sought: the item searched for with
  // cbfinditem (exact_item), whose 2 needs that very pair.
  Iter check_search(CbTree *tree, const char *what, const std::string &key,
                    Iter want, int32_t r, int32_t item, bool exact_item,
                    int32_t sought, testing::AssertionResult *ok) const {
    int32_t expect = -3;
    if (want != set_.end()) {
      const bool hit =
          keys_equal(key, want->key) && (!exact_item || want->item == sought);
      expect = hit ? 2 : 3;
    }
    if (r != expect) {
      *ok = testing::AssertionFailure()
            << what << " gave " << r << ", expected " << expect;
    } else if (want != set_.end() && item != want->item) {
      *ok = testing::AssertionFailure()
            << what << " gave item " << item << ", expected " << want->item;
    } else if (want != set_.end()) {
      *ok = key_at(tree, *want);
    } else {
      *ok = testing::AssertionSuccess();
    }
    return want;
  }

  CbCompare cmp_;
  bool exact_;
  Set set_;
};

}  // namespace recbase::test

#endif  // RECBASE_TESTS_CBT_MODEL_H
