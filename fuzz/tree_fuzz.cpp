// libFuzzer target: takes the bytes of a B-tree file, writes them to a
// temporary file and runs the script of fuzz/tree_script.h against it
// (opened shared when the low bit of byte 26 is set). The
// library must answer every damaged image with an error code: a crash, a
// sanitizer report, a leak, or any property of the script broken (which
// aborts here) is a finding.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz/tree_script.h"
#include "recbase/cbt.h"

namespace {

// Few buffers, so that replacement and write-back happen inside the script;
// 1024-byte buffers take every seed's block size.
constexpr int32_t kBuffers = 8;
constexpr int32_t kBufferSize = 1024;

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

// Replaces the file's contents in place: truncating a file to nothing and
// writing it again makes ext4 flush it at close, which would make every
// input wait for the disk.
bool write_image(const uint8_t *data, size_t size) {
  const int fd = open(temp_file().c_str(), O_WRONLY | O_CREAT, 0600);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < size) {
    const ssize_t n =
        pwrite(fd, data + done, size - done, static_cast<off_t>(done));
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  struct stat st;
  bool ok = done == size && fstat(fd, &st) == 0;
  if (ok && st.st_size != static_cast<off_t>(size)) {
    ok = ftruncate(fd, static_cast<off_t>(size)) == 0;
  }
  close(fd);
  return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (!write_image(data, size)) return 0;
  // A fresh pool per input, so that no state carries from one to the next.
  if (cbinit(kBuffers, kBufferSize) != 1) std::abort();
  cb_set_flush(1, 1);  // no fdatasync: the fuzzer is after logic, not disks
  // The low bit of byte 26 (the stamp, which the engine never reads) picks
  // a shared open, so that mutations reach the locking paths too.
  const int32_t shared = size > 26 && (data[26] & 1) != 0 ? 1 : 0;
  recbase::fuzz::run_tree_script(
      temp_file().c_str(),
      [](const std::string &what) {
        std::fprintf(stderr, "tree_fuzz: %s\n", what.c_str());
        std::abort();
      },
      shared);
  if (cbexit() != 1) std::abort();
  return 0;
}
