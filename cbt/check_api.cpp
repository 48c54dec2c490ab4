// cbcheck: the file form of the tree checker (cbt/checker.h) as an exported
// C call, for programs that link only the public library.
//
// The checker answers in words; this call adds the verdict. It tells "could
// not be checked" (-1) from "read, and not sound" (0) by the operating
// system's error slot: the checker stops at the first file operation that
// fails, and every failure of the operating system leaves its code there. A
// read that comes up short (the file ended early) is a fact about the file
// and gives 0, as does a file too short for a control record.
//
// The slot is zeroed while the check runs and given its old value back when
// the check met no failure, so that cbget_syserr() keeps reporting the last
// failure the caller could have seen.
#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "bufpool/bufpool.h"
#include "cbt/checker.h"
#include "cbt/node_format.h"
#include "frame/errors.h"
#include "frame/platform.h"
#include "recbase/cbt.h"

namespace recbase::cbt {
namespace {

static_assert(CB_SHORT_TRANSFER == kShortTransfer,
              "the public short-transfer value is the platform's");
static_assert(CBCHECK_MAX_LEVELS == kMaxDepth,
              "CbCheckStats holds a level for each level a tree can have");

void copy_message(const char *text, char *message, int32_t message_size) {
  if (message == nullptr || message_size <= 0) return;
  const size_t n =
      std::min(std::strlen(text), static_cast<size_t>(message_size) - 1);
  std::memcpy(message, text, n);
  message[n] = '\0';
}

void copy_stats(const TreeStats &from, CbCheckStats *to) {
  if (to == nullptr) return;
  to->block_size = from.block_size;
  to->depth = from.depth;
  to->last_block = from.last_block;
  to->blocks_in_tree = from.blocks_in_tree;
  to->free_blocks = from.free_blocks;
  to->entries = from.entries;
  const size_t levels =
      std::min(from.levels.size(), static_cast<size_t>(CBCHECK_MAX_LEVELS));
  to->level_count = static_cast<int32_t>(levels);
  for (size_t i = 0; i < levels; ++i) {
    to->levels[i].nodes = from.levels[i].nodes;
    to->levels[i].entries = from.levels[i].entries;
    to->levels[i].bytes_used = from.levels[i].bytes_used;
  }
}

// Every failure of cbcheck is in the reading of the file, control record
// first; hence one context.
int32_t fail(CbError error, const char *text, char *message,
             int32_t message_size) {
  cberrcode = error;
  cbconcode = kCtxReadControl;
  copy_message(text, message, message_size);
  return -1;
}

}  // namespace
}  // namespace recbase::cbt

using recbase::cbt::check_tree_file;
using recbase::cbt::copy_message;
using recbase::cbt::copy_stats;
using recbase::cbt::fail;
using recbase::cbt::kCheckNoMemory;
using recbase::cbt::TreeStats;

extern "C" RBAPI int32_t RBCALL cbcheck(const char *name, CbCompare compare,
                                        CbCheckStats *stats, char *message,
                                        int32_t message_size) {
  cbfcncode = recbase::kFnNone;
  if (stats != nullptr) *stats = CbCheckStats{};
  if (recbase::bufpool_current() == nullptr) {
    return fail(recbase::kErrNoPool, "no buffer pool", message, message_size);
  }
  if (name == nullptr) {
    return fail(recbase::kErrOpen, "no file name", message, message_size);
  }
  const int32_t earlier = recbase::g_sys_last_error;
  recbase::g_sys_last_error = 0;
  TreeStats found;
  std::string fault;
  bool no_memory = false;
  try {
    fault = check_tree_file(name, compare, &found);
  } catch (const std::bad_alloc &) {
    no_memory = true;
  }
  const int32_t os_error = recbase::g_sys_last_error;
  if (os_error == 0) recbase::g_sys_last_error = earlier;
  copy_stats(found, stats);
  if (no_memory || fault == kCheckNoMemory) {
    return fail(recbase::kErrNoMemory, kCheckNoMemory, message, message_size);
  }
  if (fault.empty()) {
    copy_message("", message, message_size);
    return 1;
  }
  if (os_error != 0 && os_error != recbase::kShortTransfer) {
    return fail(recbase::kErrOpen, fault.c_str(), message, message_size);
  }
  copy_message(fault.c_str(), message, message_size);
  return 0;
}
