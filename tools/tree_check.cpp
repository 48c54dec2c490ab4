// recbase tree check / stat: both run the library's tree checker (cbcheck)
// over a file. The checker reads the file itself, not through the pool; the
// tool also opens the file through the library, shared and read-only, to
// hold a reader lock while it does.
//
// Telling "cannot read" (exit 2) from "not sound" (exit 1): an error of the
// operating system (no such file, no permission, a directory, held by an
// exclusive open elsewhere, an I/O error), a lock held by a writer past the
// library's retries, or no memory, means the file could not be examined. A
// file that reads but holds no valid control record, or a tree that breaks
// an invariant, is reported by the checker in words as unsound.
//
// The index file of a database is a B-tree too, but its keys follow the
// database's own order (by each index's field types), which only an open
// database can apply: checked in the default order it would look out of
// order. Both commands refuse it and name the command that checks it.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "recbase/cbt.h"
#include "recbase/isam.h"
#include "tools/tool_support.h"
#include "tools/tree_cmd.h"

namespace recbase::tool {

namespace {

// Room for any reason the checker gives, file name included.
constexpr int32_t kMessageSize = 1024;

// True when the library's last failure says the file could not be read
// (rather than that its contents are bad): an error of the operating
// system, a lock that could not be had, no memory.
bool cannot_read() {
  const int32_t err = cbget_errcode();
  return os_error_seen() || err == CBERR_LOCK || err == CBERR_NO_MEMORY ||
         err == CBERR_NO_POOL;
}

// Closes a handle of the tree under check, releasing its reader lock.
struct CloseTree {
  void operator()(CbTree *tree) const {
    cbunlock(tree, 1);
    cbclose(tree);
  }
};
using LockedTree = std::unique_ptr<CbTree, CloseTree>;

// An index file holds one descriptor key per index (first byte 0, the
// index's name, a NUL, its key field specifications), sorted before every
// other key; the built-in index's descriptor, item 0, is there from the
// file's creation. True when one of the tree's first keys is that one.
bool is_index_file(CbTree *tree) {
  constexpr int kMostDescriptors = 254;  // index numbers 0 to 253
  std::vector<uint8_t> key(kProbeBufferSize);
  int32_t item = 0;
  int32_t r = cbhead(tree, &item);
  for (int seen = 0; r == 1 && seen < kMostDescriptors; ++seen) {
    int32_t len = 0;
    if (cbkeylen(tree, &len) != 1 || len < 2 || len > kProbeBufferSize ||
        cbkey(tree, key.data(), len) != 1 || key[0] != 0) {
      return false;
    }
    const char *name = reinterpret_cast<const char *>(key.data() + 1);
    if (item == 0 && memchr(name, 0, static_cast<size_t>(len - 1)) &&
        std::strcmp(name, iphysical) == 0) {
      return true;
    }
    r = cbnext(tree, &item);
  }
  return false;
}

void refuse_index_file(const std::string &file) {
  const std::filesystem::path p(file);
  const std::string name =
      p.extension() == ".idx"
          ? std::filesystem::path(p).replace_extension().string()
          : "NAME";
  std::fprintf(stderr,
               "%s: the index file of a database; its keys are in the "
               "database's index order, which only the database check "
               "applies: use `recbase db check %s`\n",
               file.c_str(), name.c_str());
}

// Runs the checker over file; *fault gets "" or the first violation.
// Returns kExitOk, kExitUnsound, or kExitCannotRead after reporting why.
int examine(const std::string &file, CbCheckStats *stats, std::string *fault) {
  Library library;
  if (!library.start(kProbeBufferCount, kProbeBufferSize)) {
    report_library_error(file);
    return kExitCannotRead;
  }
  // A journal that waits means a writer died: the file is not at a flush
  // point until the next open rolls it back, which this read-only check
  // leaves to others (opening the file for the lock would do it).
  if (cbjournal_hot(file.c_str()) == 1) {
    *fault =
        "a rollback journal waits (a writer died); the next open of the "
        "file rolls it back to its last flush point";
    return kExitUnsound;
  }
  // While the checker reads, a reader lock keeps writers in other processes
  // out, so that it sees one state of the file. A file whose control record
  // the library refuses cannot be opened for the lock; the checker then
  // reads it unlocked and says what is wrong with it.
  clear_os_error();
  LockedTree tree;
  if (cbblksize(file.c_str()) > 0) {
    tree.reset(cbopen_shared(file.c_str(), nullptr, 1, 1));
    if (tree != nullptr && cblock(tree.get(), 1) != 1) {
      report_library_error(file);
      cbclose(tree.release());
      return kExitCannotRead;
    }
  }
  if (tree == nullptr && cannot_read()) {
    report_library_error(file);
    return kExitCannotRead;
  }
  if (tree != nullptr && is_index_file(tree.get())) {
    refuse_index_file(file);
    return kExitUsage;
  }
  clear_os_error();
  char message[kMessageSize];
  const int32_t sound =
      cbcheck(file.c_str(), nullptr, stats, message, kMessageSize);
  *fault = message;
  if (sound == 1) return kExitOk;
  if (sound == -1) {
    std::fprintf(stderr, "%s: %s\n", file.c_str(), message);
    if (os_error_seen()) report_os_error();
    return kExitCannotRead;
  }
  return kExitUnsound;
}

void report_fault(const std::string &file, const std::string &fault) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s: %s\n", file.c_str(), fault.c_str());
}

double percent(uint64_t part, uint64_t whole) {
  return whole == 0
             ? 0.0
             : 100.0 * static_cast<double>(part) / static_cast<double>(whole);
}

void print_stats(const std::string &file, const CbCheckStats &s, bool sound) {
  std::printf("%s\n", file.c_str());
  if (!sound) {
    std::printf("  (not sound: the figures cover what the check reached)\n");
  }
  // Every block but block 0 (the control record) is a node of the tree or
  // should be on the free chain; the two counts differ only in a damaged
  // file.
  const uint32_t in_tree = s.blocks_in_tree;
  const uint32_t not_in_tree =
      s.last_block >= in_tree ? s.last_block - in_tree : 0;
  std::printf("  block size        %" PRId32 "\n", s.block_size);
  std::printf("  depth             %" PRId32 "\n", s.depth);
  std::printf("  last block        %" PRIu32 "\n", s.last_block);
  std::printf("  blocks in use     %" PRIu32 "\n", in_tree);
  std::printf("  blocks free       %" PRIu32 "\n", not_in_tree);
  std::printf("  free chain        %" PRIu32 " blocks\n", s.free_blocks);
  std::printf("  entries           %" PRIu64 "\n", s.entries);
  if (s.level_count == 0) return;
  std::printf("  level      nodes    entries   fill\n");
  for (size_t i = 0; i < static_cast<size_t>(s.level_count); ++i) {
    const CbCheckLevel &l = s.levels[i];
    const uint64_t capacity =
        static_cast<uint64_t>(l.nodes) * static_cast<uint64_t>(s.block_size);
    std::printf("  %5zu %10" PRIu32 " %10" PRIu64 " %5.1f%%\n", i, l.nodes,
                l.entries, percent(l.bytes_used, capacity));
  }
}

}  // namespace

int tree_check(const std::string &file) {
  CbCheckStats stats;
  std::string fault;
  const int code = examine(file, &stats, &fault);
  if (code == kExitOk) {
    std::printf("%s: sound (%" PRIu64 " entries, depth %" PRId32 ")\n",
                file.c_str(), stats.entries, stats.depth);
  } else if (code == kExitUnsound) {
    report_fault(file, fault);
  }
  return code;
}

int tree_stat(const std::string &file) {
  CbCheckStats stats;
  std::string fault;
  const int code = examine(file, &stats, &fault);
  if (code == kExitCannotRead || code == kExitUsage) return code;
  if (code == kExitOk || stats.block_size != 0) {
    print_stats(file, stats, code == kExitOk);
  }
  if (code == kExitUnsound) report_fault(file, fault);
  return code;
}

}  // namespace recbase::tool
