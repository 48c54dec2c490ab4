// The fixed script that the fuzz target and the corruption tests run against
// a tree file that may be damaged: open it, walk it both ways, find a few
// keys, insert, delete and modify, check it, close it. Test-only code.
//
// Properties checked (each violation is passed to the complaint callback;
// the fuzz target aborts on it, the tests record a failure):
//  1. A call that returns -1 (or NULL) has set cberrcode. (The script never
//     passes a key longer than the pool allows, the one case without one.)
//  2. Results are within each call's documented set.
//  3. No pool buffer is pinned between calls.
//  4. A file the checker finds sound before the script is still sound after
//     the script's changes, in the pool and once written back.
// Needs a pool (cbinit) whose buffers take the file's block size; leaves it
// as it found it, with the file closed.
#ifndef RECBASE_FUZZ_TREE_SCRIPT_H
#define RECBASE_FUZZ_TREE_SCRIPT_H

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>

#include "bufpool/bufpool.h"
#include "cbt/checker.h"
#include "recbase/cbt.h"

namespace recbase::fuzz {

using Complaint = std::function<void(const std::string &)>;

struct ScriptOutcome {
  bool sound_before = false;  // the checker passed the file as given
  bool opened = false;        // cbopen gave a handle
  int32_t open_error = 0;     // cberrcode of a refused open
  int failed_calls = 0;       // calls of the script that returned -1
  bool sound_after = false;   // the checker passed the tree after the script
};

namespace script_detail {

// Walks longer than this mean a cycle the engine did not notice; the script
// stops there rather than spinning.
constexpr int kMaxSteps = 1 << 16;

class Runner {
 public:
  Runner(CbTree *tree, const Complaint &complain, ScriptOutcome &out)
      : tree_(tree), complain_(complain), out_(out) {}

  // Checks one call's result against the results it may give.
  int32_t expect(const char *what, int32_t result,
                 std::initializer_list<int32_t> allowed) {
    bool ok = false;
    for (int32_t a : allowed) ok = ok || a == result;
    if (!ok) complain(what, result, "unexpected result");
    if (result == -1) {
      ++out_.failed_calls;
      if (cberrcode == 0) complain(what, result, "-1 without cberrcode");
    }
    pins(what);
    return result;
  }

  void pins(const char *what) {
    const int32_t pinned = bufpool_stats(bufpool_current()).pinned;
    if (pinned != 0) complain(what, pinned, "blocks left pinned");
  }

  void walk(bool forward) {
    int32_t item = 0;
    int32_t r = forward ? cbhead(tree_, &item) : cbtail(tree_, &item);
    expect(forward ? "cbhead" : "cbtail", r, {1, -1, forward ? -3 : -2});
    for (int steps = 0; r == 1 && steps < kMaxSteps; ++steps) {
      r = forward ? cbnext(tree_, &item) : cbprev(tree_, &item);
      expect(forward ? "cbnext" : "cbprev", r, {1, -1, forward ? -3 : -2});
    }
  }

  void find(const void *key, int32_t len) {
    int32_t item = 0;
    expect("cbfind", cbfind(tree_, key, len, &item), {2, 3, -3, -1});
    int32_t got = 0;
    expect("cbkeylen", cbkeylen(tree_, &got), {1, -2, -3, -1});
    uint8_t buf[64];
    expect("cbkey", cbkey(tree_, buf, sizeof buf), {1, -2, -3, -1});
    item = 5;
    expect("cbfinditem", cbfinditem(tree_, key, len, &item), {2, 3, -3, -1});
  }

  // Keys of the changes come from the tree itself when it yields any, so
  // that the delete reaches a real entry.
  void run() {
    walk(true);
    walk(false);
    find("", 0);
    find("a", 1);
    find("k005", 4);
    find("zzzz", 4);

    uint8_t first_key[kMaxKey];
    int32_t first_len = 0;
    int32_t first_item = 0;
    const bool have_first = cbhead(tree_, &first_item) == 1 &&
                            cbkeylen(tree_, &first_len) == 1 &&
                            first_len >= 0 && first_len <= kMaxKey &&
                            cbkey(tree_, first_key, first_len) == 1;
    pins("cbhead");
    expect("cbmark", cbmark(tree_), {1, -1});

    expect("cbinsert", cbinsert(tree_, "new-pair", 8, 4242, 1), {1, -1});
    if (have_first) {
      expect("cbdelete", cbdelete(tree_, first_key, first_len, first_item),
             {1, -1});
    }
    int32_t item = 0;
    expect("cbfindmark", cbfindmark(tree_, &item), {1, 3, -3, -1});
    expect("cbmodify", cbmodify(tree_, "new-pair", 8, 4242, "moved", 5, 77, 1),
           {1, -1});
    expect("cbinsert", cbinsert(tree_, "a", 1, -5, 0), {1, -1});
    const int32_t depth = cbdepth(tree_);
    if (depth < -1) complain("cbdepth", depth, "unexpected result");
    if (depth == -1) expect("cbdepth", depth, {-1});
    pins("cbdepth");
    walk(true);
  }

 private:
  // The longest key the script copies out of the tree.
  static constexpr int32_t kMaxKey = 1024;

  void complain(const char *what, int32_t result, const char *why) {
    complain_(std::string(what) + " gave " + std::to_string(result) + ": " +
              why + " (cberrcode " + std::to_string(cberrcode) +
              ", cbconcode " + std::to_string(cbconcode) + ")");
  }

  CbTree *tree_;
  const Complaint &complain_;
  ScriptOutcome &out_;
};

}  // namespace script_detail

// Runs the script on the tree file at path, opened shared between
// processes (the locking and re-synchronising paths) when shared is set.
inline ScriptOutcome run_tree_script(const char *path,
                                     const Complaint &complain,
                                     int32_t shared = 0) {
  ScriptOutcome out;
  out.sound_before = cbt::check_tree_file(path, nullptr).empty();
  CbTree *tree = cbopen_shared(path, nullptr, shared, 0);
  if (tree == nullptr) {
    out.open_error = cberrcode;
    if (cberrcode == 0) complain("open gave NULL without cberrcode");
    // A sound file may still be refused for a block size larger than the
    // pool's buffers.
    if (out.sound_before && cberrcode != CBERR_BLOCK_SIZE) {
      complain("open refused a file that the checker passes (cberrcode " +
               std::to_string(cberrcode) + ")");
    }
    if (bufpool_stats(bufpool_current()).pinned != 0) {
      complain("open left blocks pinned");
    }
    return out;
  }
  out.opened = true;
  script_detail::Runner(tree, complain, out).run();
  const std::string after = cbt::check_tree(tree);
  out.sound_after = after.empty();
  if (out.sound_before && !out.sound_after) {
    complain("sound tree damaged by the script: " + after);
  }
  const int32_t r = cbclose(tree);
  if (r == -1 && cberrcode == 0) complain("cbclose gave -1 without cberrcode");
  if (r == 1 && out.sound_before) {
    const std::string reread = cbt::check_tree_file(path, nullptr);
    if (!reread.empty()) complain("written back unsound: " + reread);
  }
  return out;
}

}  // namespace recbase::fuzz

#endif  // RECBASE_FUZZ_TREE_SCRIPT_H
