// Corruption sweeps: small trees of block sizes 92 and 512, one to three
// levels deep, damaged one byte at a time (every byte flipped; the bytes of
// the control record, node headers and first entries also zeroed and
// nudged; the small trees flipped again under a shared open). Each damaged
// file runs the script of fuzz/tree_script.h: open, walks both ways, finds,
// insert, delete, modify, checker, close. Nothing may crash or read outside a
// buffer (the sanitizer build checks that), every -1 must carry a code, nothing
// may stay pinned, and a file the checker passes must still pass after the
// script's changes.
#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_files.h"
#include "fuzz/tree_script.h"
#include "tests/support/fixture.h"
#include "tests/support/scale.h"

namespace recbase::test {
namespace {

// Beyond this many broken properties a sweep stops reporting.
constexpr int kMaxComplaints = 10;

struct TreeShape {
  const char *name;
  int32_t block_size;
  int pairs, key_len;
  int32_t depth;
};
void PrintTo(const TreeShape &s, std::ostream *os) { *os << s.name; }

// Replaces the file's contents in place, as the fuzz targets do.
void overwrite_file(const std::string &path,
                    const std::vector<uint8_t> &bytes) {
  ASSERT_TRUE(fuzz::write_image(path, bytes.data(), bytes.size()));
}

class CorruptionSweep : public LibTest,
                        public ::testing::WithParamInterface<TreeShape> {
 protected:
  CorruptionSweep() { pool_count_ = 8; }
  void SetUp() override {
    LibTest::SetUp();
    const TreeShape &shape = GetParam();
    CbTree *t = create("tree", shape.block_size);
    ASSERT_NE(t, nullptr);
    for (int i = 0; i < shape.pairs; ++i) {
      ASSERT_EQ(put(t, run_key(i, shape.key_len, 4), i * 3), 1);
    }
    ASSERT_EQ(cbdepth(t), shape.depth);
    ASSERT_EQ(cbclose(t), 1);
    image_ = read_file(path("tree"));
  }

  // Writes the damaged image and runs the script on it.
  fuzz::ScriptOutcome try_image(const std::vector<uint8_t> &bytes,
                                const std::string &what, int32_t shared = 0) {
    overwrite_file(path("tree"), bytes);
    const fuzz::ScriptOutcome out = fuzz::run_tree_script(
        path("tree").c_str(),
        [&](const std::string &why) {
          if (++complaints_ <= kMaxComplaints) {
            ADD_FAILURE() << GetParam().name << ", " << what << ": " << why;
          }
        },
        shared);
    ++images_;
    opened_ += out.opened;
    if (!out.opened) ++refusals_[out.open_error];
    return out;
  }
  void report(const char *sweep) {
    std::ostringstream line;
    line << GetParam().name << " " << sweep << ": " << images_ << " images ("
         << image_.size() << "-byte file); opened " << opened_
         << "; refused opens by cberrcode:";
    for (const auto &[code, count] : refusals_)
      line << " " << code << "x" << count;
    std::cout << "[corruption] " << line.str() << "\n";
  }

  std::vector<uint8_t> image_;
  int images_ = 0, opened_ = 0, complaints_ = 0;
  std::map<int32_t, int> refusals_;
};

TEST_P(CorruptionSweep, EveryByteDamaged) {
  const size_t bs = static_cast<size_t>(GetParam().block_size);
  // The control record, node headers and first entries.
  const auto structural = [bs](size_t off) {
    return off < bs ? off < 36 : off % bs < 16 + 24;
  };
  for (int32_t shared : {0, 1}) {
    if (shared == 1 && bs != 92) break;  // the small trees only, for time
    for (size_t off = 0; off < image_.size() && complaints_ <= kMaxComplaints;
         ++off) {
      // RECBASE_TEST_SCALE=k: every k-th byte (a residue that moves by one
      // with each block, so that every offset within a block is met
      // somewhere), and the other structural bytes with all bits flipped.
      const size_t k = static_cast<size_t>(test_scale());
      const bool sampled = (off + off / bs) % k == 0;
      if (!sampled && (shared == 1 || !structural(off))) continue;
      std::vector<uint8_t> patterns = {
          static_cast<uint8_t>(image_[off] ^ 0xFF)};
      if (structural(off) && shared == 0 && sampled) {
        patterns.push_back(0);
        patterns.push_back(image_[off] ^ 0x01);
        patterns.push_back(image_[off] ^ 0x80);
      }
      for (uint8_t value : patterns) {
        if (value == image_[off]) continue;
        std::vector<uint8_t> bytes = image_;
        bytes[off] = value;
        const std::string what = "byte " + std::to_string(off) + " set to " +
                                 std::to_string(value) +
                                 (shared ? ", shared" : "");
        const fuzz::ScriptOutcome out = try_image(bytes, what, shared);
        // The parity word catches any change after block_size.
        if (off >= 2 && off < 26) {
          EXPECT_FALSE(out.opened) << what;
          EXPECT_EQ(out.open_error, CBERR_PARITY) << what;
        }
        // Every bit of a node header flipped at once is visible to the
        // checker (a single bit may not be: an entry_count one lower just
        // drops a leaf's last pair).
        if (off >= bs && off % bs < 16 && value == (image_[off] ^ 0xFF)) {
          EXPECT_FALSE(out.sound_before) << what;
        }
      }
    }
  }
  report("bytes");
  EXPECT_GT(opened_, 0);
  EXPECT_GT(refusals_.size(), 0u);
}

// Sibling links that go round in a circle (the last leaf's right link to
// the first leaf, the first leaf's left link to the last) pass every check
// made when a node is read; a walk must still end, with a damage code.
TEST_P(CorruptionSweep, SiblingLinksInACircleEndTheWalk) {
  if (GetParam().depth < 2) GTEST_SKIP() << "one leaf has no siblings";
  const size_t bs = static_cast<size_t>(GetParam().block_size);
  const uint32_t first = le32_at(image_, 10), last = le32_at(image_, 14);
  std::vector<uint8_t> bytes = image_;
  for (int i = 0; i < 4; ++i) {
    bytes[last * bs + 8 + i] = static_cast<uint8_t>(first >> (8 * i));
    bytes[first * bs + 4 + i] = static_cast<uint8_t>(last >> (8 * i));
  }
  overwrite_file(path("tree"), bytes);
  CbTree *t = open("tree");
  ASSERT_NE(t, nullptr);
  const int limit = GetParam().pairs * 4;
  for (const bool forward : {true, false}) {
    int32_t item = 0, r = forward ? cbhead(t, &item) : cbtail(t, &item);
    int steps = 0;
    for (; r == 1 && steps < limit; ++steps) {
      r = forward ? cbnext(t, &item) : cbprev(t, &item);
    }
    EXPECT_EQ(r, -1) << (forward ? "forward" : "backward") << " after " << steps
                     << " steps";
    EXPECT_EQ(cberrcode, CBERR_CORRUPT) << (forward ? "forward" : "backward");
  }
  EXPECT_EQ(cbclose(t), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Trees, CorruptionSweep,
    ::testing::Values(TreeShape{"bs92_depth1", 92, 5, 5, 1},
                      TreeShape{"bs92_depth2", 92, 14, 5, 2},
                      TreeShape{"bs92_depth3", 92, 40, 6, 3},
                      TreeShape{"bs512_depth1", 512, 12, 8, 1},
                      TreeShape{"bs512_depth2", 512, 20, 40, 2},
                      TreeShape{"bs512_depth3", 512, 40, 100, 3}),
    [](const ::testing::TestParamInfo<TreeShape> &info) {
      return std::string(info.param.name);
    });

// The fuzz target's seeds and every input of fuzz/regressions/ (one that
// once broke a property), replayed as the fuzz target runs them: a pool of
// 8 buffers of 1024 bytes, a shared open when byte 26's low bit is set.
TEST(FuzzInputs, ReplayWithoutFindings) {
  namespace fs = std::filesystem;
  const fs::path fuzz_dir = fs::path(__FILE__).parent_path() / "../../fuzz";
  TempDir dir;
  int inputs = 0;
  for (const char *sub : {"corpus", "regressions"}) {
    if (!fs::is_directory(fuzz_dir / sub)) continue;
    for (const auto &e : fs::directory_iterator(fuzz_dir / sub)) {
      const std::vector<uint8_t> bytes = read_file(e.path().string());
      overwrite_file(dir.file("tree"), bytes);
      ASSERT_EQ(cbinit(8, 1024), 1);
      fuzz::run_tree_script(
          dir.file("tree").c_str(),
          [&](const std::string &why) { ADD_FAILURE() << e.path() << why; },
          bytes.size() > 26 && (bytes[26] & 1) ? 1 : 0);
      EXPECT_EQ(cbexit(), 1);
      ++inputs;
    }
  }
  EXPECT_GE(inputs, 9);  // the committed seeds at least
}

}  // namespace
}  // namespace recbase::test
