// The seeds of isam_fuzz and every input of fuzz/isam_regressions/ (one that
// once broke a property or crashed), replayed through the fuzz target's own
// script and set-up, in the normal and the sanitizer builds. See
// fuzz/README.md for how an input joins them.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/isam_script.h"
#include "tests/support/files.h"

namespace recbase::test {
namespace {

TEST(IsamFuzzInputs, ReplayWithoutFindings) {
  namespace fs = std::filesystem;
  const fs::path fuzz_dir = fs::path(__FILE__).parent_path() / "../../fuzz";
  TempDir dir;
  const std::string name = dir.file("fuzz");
  int inputs = 0;
  for (const char *sub : {"isam_corpus", "isam_regressions"}) {
    if (!fs::is_directory(fuzz_dir / sub)) continue;
    for (const auto &e : fs::directory_iterator(fuzz_dir / sub)) {
      const std::vector<uint8_t> bytes = read_file(e.path().string());
      const int32_t opened = fuzz::run_isam_input(
          name, bytes.data(), bytes.size(), [&](const std::string &why) {
            ADD_FAILURE() << e.path() << ": " << why;
          });
      // The seeds are real databases: they open with every index.
      if (sub == std::string("isam_corpus")) {
        EXPECT_EQ(opened, 0) << e.path();
      }
      ++inputs;
    }
  }
  EXPECT_GE(inputs, 5);  // the committed seeds at least
}

}  // namespace
}  // namespace recbase::test
