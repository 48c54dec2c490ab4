// libFuzzer target: takes a data file image and an index file image (framed
// as fuzz/isam_script.h describes), writes them as NAME.db and NAME.idx in a
// temporary directory and runs the script of fuzz/isam_script.h on the
// database. The library must answer every damaged pair with an ISAM error
// code: a crash, a sanitizer report, a leak, or any property of the script
// broken (which aborts here) is a finding.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_files.h"
#include "fuzz/isam_script.h"

namespace {

const std::string &db_name() {
  static const std::string name =
      recbase::fuzz::make_temp_dir("isam_fuzz") + "/fuzz";
  return name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  using namespace recbase::fuzz;
  if (size < kFramingSize) return 0;
  const ImagePair images = split_images(data, size);
  if (!write_image(db_name() + ".db", images.data, images.data_size) ||
      !write_image(db_name() + ".idx", images.index, images.index_size)) {
    return 0;
  }
  // A fresh library per input, so that no state carries from one to the next.
  if (!begin_isam_input()) std::abort();
  run_isam_script(db_name().c_str(), images.flags, [](const std::string &what) {
    std::fprintf(stderr, "isam_fuzz: %s\n", what.c_str());
    std::abort();
  });
  if (isamexit() != 1) std::abort();
  return 0;
}
