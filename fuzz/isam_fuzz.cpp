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

#include "fuzz/isam_script.h"

namespace {

const std::string &db_name() {
  static const std::string name =
      recbase::fuzz::make_temp_dir("isam_fuzz") + "/fuzz";
  return name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // The library is set up afresh per input, so no state carries over.
  recbase::fuzz::run_isam_input(
      db_name(), data, size, [](const std::string &what) {
        std::fprintf(stderr, "isam_fuzz: %s\n", what.c_str());
        std::abort();
      });
  return 0;
}
