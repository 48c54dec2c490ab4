// recbase tree dump: walks a tree file through the public interface, opened
// shared and read-only, so it can run while other processes use the file.
// The pool is sized from the file's block size, which is read first with a
// small pool of the largest buffers.
#include <cinttypes>
#include <cstdio>
#include <vector>

#include "recbase/cbt.h"
#include "tools/tool_support.h"
#include "tools/tree_cmd.h"

namespace recbase::tool {

namespace {

constexpr int32_t kDumpBuffers = 64;

void append_byte_hex(std::string &out, uint8_t byte) {
  static const char kDigits[] = "0123456789abcdef";
  out += kDigits[byte >> 4];
  out += kDigits[byte & 0x0F];
}

// Printable ASCII other than '\' as itself, every other byte as \xNN, so
// that the text can be read back unambiguously.
void append_escaped(std::string &out, const uint8_t *key, int32_t length) {
  for (int32_t i = 0; i < length; ++i) {
    const uint8_t c = key[i];
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      append_byte_hex(out, c);
    }
  }
}

void append_hex(std::string &out, const uint8_t *key, int32_t length) {
  for (int32_t i = 0; i < length; ++i) append_byte_hex(out, key[i]);
}

// Starts the pool with buffers as large as the file's blocks. When the block
// size cannot be read the probing pool stays: the open that follows then
// fails and reports the precise reason.
bool start_pool(Library &library, const std::string &file) {
  if (!library.start(kProbeBufferCount, kProbeBufferSize)) return false;
  const int32_t block_size = cbblksize(file.c_str());
  if (block_size <= 0) return true;
  if (!library.stop()) return false;
  return library.start(kDumpBuffers, block_size);
}

}  // namespace

int tree_dump(const std::string &file, const DumpOptions &options) {
  Library library;
  clear_os_error();
  if (!start_pool(library, file)) {
    report_library_error(file);
    return kExitCannotRead;
  }
  CbTree *tree = cbopen_shared(file.c_str(), nullptr, 1, 1);
  if (tree == nullptr) {
    report_library_error(file);
    return kExitCannotRead;
  }

  // One reader lock for the whole walk: writers in other processes wait
  // until the dump ends, so it shows one state of the tree, and the calls
  // of the walk do not each lock and unlock the file.
  if (cblock(tree, 1) != 1) {
    report_library_error(file);
    cbclose(tree);
    return kExitCannotRead;
  }

  std::vector<uint8_t> key;
  std::string line;
  int32_t item = 0;
  int64_t printed = 0;
  bool failed = false;
  int32_t rc = cbhead(tree, &item);
  while (rc == 1 && (options.limit < 0 || printed < options.limit)) {
    int32_t length = 0;
    if (cbkeylen(tree, &length) != 1 || length < 0) {
      failed = true;
      break;
    }
    if (static_cast<size_t>(length) > key.size()) key.resize(length);
    if (length > 0 && cbkey(tree, key.data(), length) != 1) {
      failed = true;
      break;
    }
    line.clear();
    if (options.hex) {
      append_hex(line, key.data(), length);
    } else {
      append_escaped(line, key.data(), length);
    }
    line += '\t';
    line += std::to_string(item);
    line += '\n';
    std::fputs(line.c_str(), stdout);
    ++printed;
    rc = cbnext(tree, &item);
  }
  // The walk ends at -3 (past the last pair, or an empty tree) or at the
  // limit with rc still 1; -1 is a failure of the library.
  if (rc != 1 && rc != -3) failed = true;
  if (failed) report_library_error(file);
  cbunlock(tree, 1);
  if (cbclose(tree) != 1 && !failed) {
    report_library_error(file);
    return kExitCannotRead;
  }
  if (std::fflush(stdout) != 0) {
    std::perror("recbase: writing the dump");
    return kExitCannotRead;
  }
  return failed ? kExitCannotRead : kExitOk;
}

}  // namespace recbase::tool
