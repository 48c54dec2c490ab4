// libFuzzer target: takes the bytes of a B-tree file, writes them to a
// temporary file and runs the script of fuzz/tree_script.h against it
// (opened shared when the low bit of byte 26 is set). The
// library must answer every damaged image with an error code: a crash, a
// sanitizer report, a leak, or any property of the script broken (which
// aborts here) is a finding.
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz/fuzz_files.h"
#include "fuzz/tree_script.h"
#include "recbase/cbt.h"

namespace {

// Few buffers, so that replacement and write-back happen inside the script;
// 1024-byte buffers take every seed's block size.
constexpr int32_t kBuffers = 8;
constexpr int32_t kBufferSize = 1024;

const std::string &temp_file() {
  static const std::string path =
      recbase::fuzz::make_temp_dir("tree_fuzz") + "/tree";
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (!recbase::fuzz::write_image(temp_file(), data, size)) return 0;
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
