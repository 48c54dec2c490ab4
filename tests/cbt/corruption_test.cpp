// Corruption sweeps: small trees of block sizes 92 and 512, one to three
// levels deep, damaged one byte at a time (every byte flipped, the bytes of
// the control record, node headers and first entries also zeroed and
// nudged) and truncated at every block boundary. Each damaged file is run
// through the script of fuzz/tree_script.h: open, walks both ways, finds,
// insert, delete, modify, checker, close. Nothing may crash or read outside
// a buffer (the sanitizer build checks that), every -1 must carry a code,
// nothing may stay pinned, and a file the checker passes must still pass
// after the script's changes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bufpool/bufpool.h"
#include "fuzz/tree_script.h"
#include "recbase/cbt.h"
#include "tests/support/temp_dir.h"

namespace recbase::test {
namespace {

constexpr int32_t kPoolBuffers = 8;
constexpr int32_t kPoolSize = 512;
// Beyond this many broken properties a sweep stops reporting.
constexpr int kMaxComplaints = 10;

struct TreeShape {
  const char *name;
  int32_t block_size;
  int pairs;
  int key_len;
  int32_t depth;
};

// Key i: "k" and a three-digit number, padded with letters to len bytes;
// every fourth key repeats the one before with another item, so that the
// trees hold duplicate keys sharing their text.
std::string key_of(int i, int len) {
  const int base = i % 4 == 3 ? i - 1 : i;
  char head[16];
  std::snprintf(head, sizeof head, "k%03d", base);
  std::string k(head);
  while (static_cast<int>(k.size()) < len) {
    k.push_back(static_cast<char>('a' + (base + k.size()) % 26));
  }
  return k;
}

// Replaces the file's contents in place. Truncating a file to nothing and
// writing it again makes some file systems flush it at close, which would
// make the sweep wait for the disk thousands of times.
void overwrite_file(const std::string &path,
                    const std::vector<uint8_t> &bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = pwrite(fd, bytes.data() + done, bytes.size() - done,
                             static_cast<off_t>(done));
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  EXPECT_EQ(done, bytes.size());
  struct stat st;
  EXPECT_EQ(fstat(fd, &st), 0);
  if (st.st_size != static_cast<off_t>(bytes.size())) {
    EXPECT_EQ(ftruncate(fd, static_cast<off_t>(bytes.size())), 0);
  }
  close(fd);
}

struct Tally {
  int images = 0;
  int opened = 0;
  int sound_before = 0;
  int failed_calls = 0;
  std::map<int32_t, int> refusals;  // cberrcode of refused opens
};

class CorruptionSweep : public ::testing::TestWithParam<TreeShape> {
 protected:
  void SetUp() override {
    ASSERT_EQ(cbinit(kPoolBuffers, kPoolSize), 1);
    cb_set_flush(1, 1);
    path_ = dir_.file("tree");
    const TreeShape &shape = GetParam();
    CbTree *t = cbcreate(path_.c_str(), nullptr, shape.block_size);
    ASSERT_NE(t, nullptr);
    for (int i = 0; i < shape.pairs; ++i) {
      const std::string k = key_of(i, shape.key_len);
      ASSERT_EQ(cbinsert(t, k.data(), static_cast<int32_t>(k.size()), i * 3, 1),
                1);
    }
    ASSERT_EQ(cbdepth(t), shape.depth);
    ASSERT_EQ(cbclose(t), 1);
    image_ = read_file(path_);
    ASSERT_EQ(cbt::check_tree_file(path_.c_str(), nullptr), "");
  }
  void TearDown() override {
    cbexit();
    cb_set_flush(1, 0);
  }

  // Writes the damaged image and runs the script on it.
  fuzz::ScriptOutcome try_image(const std::vector<uint8_t> &bytes,
                                const std::string &what, int32_t shared = 0) {
    overwrite_file(path_, bytes);
    const fuzz::ScriptOutcome out = fuzz::run_tree_script(
        path_.c_str(),
        [&](const std::string &why) {
          if (++complaints_ <= kMaxComplaints) {
            ADD_FAILURE() << GetParam().name << ", " << what << ": " << why;
          }
        },
        shared);
    ++tally_.images;
    if (out.opened) {
      ++tally_.opened;
    } else {
      ++tally_.refusals[out.open_error];
    }
    tally_.sound_before += out.sound_before ? 1 : 0;
    tally_.failed_calls += out.failed_calls;
    return out;
  }

  bool structural(size_t offset) const {
    const size_t bs = static_cast<size_t>(GetParam().block_size);
    const size_t in_block = offset % bs;
    if (offset < bs) return in_block < 36;  // the control record
    return in_block < 16 + 24;              // node header and the first entries
  }

  void report(const char *sweep, double seconds) {
    std::ostringstream line;
    line << GetParam().name << " " << sweep << ": " << tally_.images
         << " images (" << image_.size() << "-byte file) in " << seconds
         << " s; opened " << tally_.opened << ", checker-sound "
         << tally_.sound_before << ", failed calls " << tally_.failed_calls
         << "; refused opens by cberrcode:";
    for (const auto &[code, count] : tally_.refusals) {
      line << " " << code << "x" << count;
    }
    std::cout << "[corruption] " << line.str() << "\n";
    RecordProperty(sweep, line.str());
  }

  TempDir dir_;
  std::string path_;
  std::vector<uint8_t> image_;
  Tally tally_;
  int complaints_ = 0;
};

using Clock = std::chrono::steady_clock;

double since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST_P(CorruptionSweep, EveryByteDamaged) {
  const auto start = Clock::now();
  const size_t bs = static_cast<size_t>(GetParam().block_size);
  for (size_t off = 0; off < image_.size(); ++off) {
    std::vector<uint8_t> patterns = {static_cast<uint8_t>(image_[off] ^ 0xFF)};
    if (structural(off)) {
      patterns.push_back(0);
      patterns.push_back(static_cast<uint8_t>(image_[off] ^ 0x01));
      patterns.push_back(static_cast<uint8_t>(image_[off] ^ 0x80));
    }
    for (uint8_t value : patterns) {
      if (value == image_[off]) continue;
      std::vector<uint8_t> bytes = image_;
      bytes[off] = value;
      const fuzz::ScriptOutcome out =
          try_image(bytes, "byte " + std::to_string(off) + " set to " +
                               std::to_string(value));
      // Any change to the parity-covered fields after block_size is caught
      // by the parity word at the open.
      if (off >= 2 && off < 26) {
        EXPECT_FALSE(out.opened) << "byte " << off;
        EXPECT_EQ(out.open_error, 16) << "byte " << off;
      }
      // Every bit of a node header flipped at once is always visible to
      // the checker (a single bit may not be: an entry_count one lower
      // just drops the last pair of a leaf).
      if (off >= bs && off % bs < 16 && value == (image_[off] ^ 0xFF)) {
        EXPECT_FALSE(out.sound_before) << "byte " << off;
      }
    }
    if (complaints_ > kMaxComplaints) break;
  }
  report("bytes", since(start));
  EXPECT_GT(tally_.opened, 0);
  EXPECT_GT(tally_.refusals.size(), 0u);
}

// The same damage seen through a shared open: the reader and writer locks,
// the re-synchronisation with the control record on disk and the write
// through at the end of every change. The small trees only, for time.
TEST_P(CorruptionSweep, EveryByteDamagedShared) {
  if (GetParam().block_size != 92) GTEST_SKIP() << "block size 92 only";
  const auto start = Clock::now();
  for (size_t off = 0; off < image_.size(); ++off) {
    std::vector<uint8_t> bytes = image_;
    bytes[off] ^= 0xFF;
    const fuzz::ScriptOutcome out =
        try_image(bytes, "shared, byte " + std::to_string(off) + " flipped", 1);
    if (off >= 2 && off < 26) {
      EXPECT_EQ(out.open_error, 16) << "byte " << off;
    }
    if (complaints_ > kMaxComplaints) break;
  }
  report("shared bytes", since(start));
  EXPECT_GT(tally_.opened, 0);
}

TEST_P(CorruptionSweep, TruncatedAndExtended) {
  const auto start = Clock::now();
  const size_t bs = static_cast<size_t>(GetParam().block_size);
  const size_t blocks = image_.size() / bs;
  for (size_t k = 0; k < blocks; ++k) {
    for (size_t size : {k * bs, k * bs + 20, k * bs + bs / 2}) {
      const std::vector<uint8_t> bytes(image_.begin(), image_.begin() + size);
      const fuzz::ScriptOutcome out =
          try_image(bytes, "truncated to " + std::to_string(size));
      EXPECT_FALSE(out.opened) << "truncated to " << size;
      // A whole control record that describes blocks beyond the end of the
      // file.
      if (size >= 36) {
        EXPECT_EQ(out.open_error, 25) << "truncated to " << size;
      }
    }
  }
  // A partial block of garbage after the last block.
  std::vector<uint8_t> longer = image_;
  longer.insert(longer.end(), bs / 2, 0xA5);
  try_image(longer, "extended by half a block");
  // A whole block of garbage after the last block, beyond last_block.
  longer.insert(longer.end(), bs - bs / 2, 0x5A);
  const fuzz::ScriptOutcome out = try_image(longer, "extended by a block");
  EXPECT_FALSE(out.sound_before);
  report("truncation", since(start));
}

// The trees: block size, pair count and key length chosen for the depth,
// and kept small so that the sweep takes seconds.
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

// The fuzz target's committed inputs, replayed as the fuzz target runs
// them: the seeds in fuzz/corpus/ and, in fuzz/regressions/, every input
// that once broke a property (none so far).
TEST(FuzzInputs, ReplayWithoutFindings) {
  namespace fs = std::filesystem;
  const fs::path fuzz_dir = fs::path(__FILE__).parent_path() / "../../fuzz";
  if (!fs::is_directory(fuzz_dir / "corpus")) {
    GTEST_SKIP() << "no fuzz/corpus next to the sources";
  }
  TempDir dir;
  const std::string path = dir.file("tree");
  int inputs = 0;
  for (const char *sub : {"corpus", "regressions"}) {
    if (!fs::is_directory(fuzz_dir / sub)) continue;
    for (const fs::directory_entry &e :
         fs::directory_iterator(fuzz_dir / sub)) {
      const std::vector<uint8_t> bytes = read_file(e.path().string());
      overwrite_file(path, bytes);
      // As tree_fuzz: a pool of 8 buffers of 1024 bytes, a shared open when
      // the low bit of byte 26 is set.
      ASSERT_EQ(cbinit(8, 1024), 1);
      cb_set_flush(1, 1);
      const int32_t shared = bytes.size() > 26 && (bytes[26] & 1) ? 1 : 0;
      fuzz::run_tree_script(
          path.c_str(),
          [&](const std::string &why) {
            ADD_FAILURE() << e.path().filename() << ": " << why;
          },
          shared);
      EXPECT_EQ(cbexit(), 1);
      ++inputs;
    }
  }
  cb_set_flush(1, 0);
  EXPECT_GE(inputs, 9);  // the committed seeds at least
}

}  // namespace
}  // namespace recbase::test
