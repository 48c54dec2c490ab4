// libFuzzer target: takes the bytes of a B-tree file, writes them to a
// temporary file, opens it and runs a short fixed script of calls against
// it. The library must answer every damaged image with an error code, never
// with a crash, a read outside a buffer, a leak or a block left pinned.
//
// Properties checked on every input (a violation aborts, which libFuzzer
// reports as a crash):
//  1. A call that returns -1 (or NULL) has set cberrcode (the script never
//     passes a key longer than the pool allows, the one case without one).
//  2. Results are within each call's documented set.
//  3. No pool buffer is pinned between calls.
//  4. A file the checker finds sound before the script is still sound after
//     the insert, delete and modify of the script: every change of a sound
//     tree keeps it sound.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "bufpool/bufpool.h"
#include "cbt/checker.h"
#include "recbase/cbt.h"

namespace {

// Pool of few buffers so that replacement and write-back happen inside the
// script; 1024-byte buffers take every seed's block size.
constexpr int32_t kBuffers = 8;
constexpr int32_t kBufferSize = 1024;
// Walks longer than this mean a cycle the engine did not notice; the script
// stops there rather than spinning.
constexpr int kMaxSteps = 1 << 16;

[[noreturn]] void fail(const char *what, int32_t result) {
  std::fprintf(stderr, "tree_fuzz: %s gave %d (cberrcode %d cbconcode %d)\n",
               what, result, cberrcode, cbconcode);
  std::abort();
}

void check_pins(const char *what) {
  const int32_t pinned =
      recbase::bufpool_stats(recbase::bufpool_current()).pinned;
  if (pinned != 0) fail(what, pinned);
}

// Checks the result of a call against the results it may give.
void expect(const char *what, int32_t result,
            std::initializer_list<int32_t> allowed) {
  bool ok = false;
  for (int32_t a : allowed) ok = ok || a == result;
  if (!ok) fail(what, result);
  if (result == -1 && cberrcode == 0) fail(what, result);
  check_pins(what);
}

const std::string &temp_file() {
  static const std::string path = [] {
    const char *base = getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr ? base : "/tmp") + "/tree_fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    return pattern + "/tree";
  }();
  return path;
}

bool write_image(const uint8_t *data, size_t size) {
  const int fd = open(temp_file().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  return done == size;
}

// Walks the whole tree in one direction.
void walk(CbTree *tree, bool forward) {
  int32_t item = 0;
  int32_t r = forward ? cbhead(tree, &item) : cbtail(tree, &item);
  expect(forward ? "cbhead" : "cbtail", r, {1, -1, forward ? -3 : -2});
  for (int steps = 0; r == 1 && steps < kMaxSteps; ++steps) {
    r = forward ? cbnext(tree, &item) : cbprev(tree, &item);
    expect(forward ? "cbnext" : "cbprev", r, {1, -1, forward ? -3 : -2});
  }
}

void find(CbTree *tree, const void *key, int32_t len) {
  int32_t item = 0;
  expect("cbfind", cbfind(tree, key, len, &item), {2, 3, -3, -1});
  int32_t got = 0;
  expect("cbkeylen", cbkeylen(tree, &got), {1, -2, -3, -1});
  uint8_t buf[64];
  expect("cbkey", cbkey(tree, buf, sizeof buf), {1, -2, -3, -1});
  item = 5;
  expect("cbfinditem", cbfinditem(tree, key, len, &item), {2, 3, -3, -1});
}

// The script. Keys of the changes come from the tree itself when it yields
// any, so that the delete and modify reach real entries.
void run_script(CbTree *tree) {
  walk(tree, true);
  walk(tree, false);
  find(tree, "", 0);
  find(tree, "a", 1);
  find(tree, "m", 1);
  find(tree, "zzzz", 4);

  uint8_t first_key[kBufferSize];
  int32_t first_len = 0;
  int32_t first_item = 0;
  bool have_first = false;
  if (cbhead(tree, &first_item) == 1 && cbkeylen(tree, &first_len) == 1 &&
      first_len >= 0 && first_len <= kBufferSize - 28 &&
      cbkey(tree, first_key, first_len) == 1) {
    have_first = true;
  }
  check_pins("cbhead");
  expect("cbmark", cbmark(tree), {1, -1});

  const char kNew[] = "fuzz-new";
  expect("cbinsert", cbinsert(tree, kNew, 8, 4242, 1), {1, -1});
  if (have_first) {
    expect("cbdelete", cbdelete(tree, first_key, first_len, first_item),
           {1, -1});
  }
  int32_t item = 0;
  expect("cbfindmark", cbfindmark(tree, &item), {1, 3, -3, -1});
  expect("cbmodify", cbmodify(tree, kNew, 8, 4242, "m-moved", 7, 77, 1),
         {1, -1});
  expect("cbinsert", cbinsert(tree, "a", 1, -5, 0), {1, -1});
  const int32_t depth = cbdepth(tree);
  if (depth < -1 || (depth == -1 && cberrcode == 0)) fail("cbdepth", depth);
  check_pins("cbdepth");
  walk(tree, true);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (!write_image(data, size)) return 0;
  if (cbinit(kBuffers, kBufferSize) != 1) std::abort();
  cb_set_flush(1, 1);  // no fdatasync: the fuzzer is after logic, not disks

  const std::string before =
      recbase::cbt::check_tree_file(temp_file().c_str(), nullptr);
  CbTree *tree = cbopen(temp_file().c_str(), nullptr);
  if (tree == nullptr) {
    if (cberrcode == 0) fail("cbopen", 0);
    check_pins("cbopen");
  } else {
    run_script(tree);
    const std::string after = recbase::cbt::check_tree(tree);
    if (before.empty() && !after.empty()) {
      std::fprintf(stderr, "tree_fuzz: sound tree damaged by the script: %s\n",
                   after.c_str());
      std::abort();
    }
    const int32_t r = cbclose(tree);
    if (r == -1 && cberrcode == 0) fail("cbclose", r);
    if (r == 1 && before.empty()) {
      const std::string reread =
          recbase::cbt::check_tree_file(temp_file().c_str(), nullptr);
      if (!reread.empty()) {
        std::fprintf(stderr, "tree_fuzz: written back unsound: %s\n",
                     reread.c_str());
        std::abort();
      }
    }
  }
  if (cbexit() != 1) std::abort();
  return 0;
}
