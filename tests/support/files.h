// Files and temporary directories of the tests and fuzz tools.
#ifndef RECBASE_TESTS_SUPPORT_FILES_H
#define RECBASE_TESTS_SUPPORT_FILES_H

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/spawn.h"

namespace recbase::test {

// A new directory under the system's temporary directory, its name starting
// with prefix.
inline std::string make_temp_dir(const std::string &prefix) {
  std::random_device entropy;
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::filesystem::path dir =
        base / (prefix + "-" + std::to_string(entropy() % 100000000));
    if (std::filesystem::create_directory(dir)) return dir.string();
  }
  throw std::runtime_error("no temporary directory");
}

// A temporary directory removed with everything in it.
class TempDir {
 public:
  TempDir() : path_(make_temp_dir("recbase")) {}
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  // The name joined with the system's separator, so that the path is
  // spelled as the library's full path names spell it.
  std::string file(const std::string &name) const {
    return (std::filesystem::path(path_) / name).string();
  }

 private:
  std::string path_;
};

// Files that the library holds open without sharing are read and written
// through its handle where the system refuses another open (spawn.h).
inline void write_file(const std::string &path,
                       const std::vector<uint8_t> &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out.is_open() && write_held_file(path, 0, bytes, true)) return;
  out.write(reinterpret_cast<const char *>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}
inline std::vector<uint8_t> read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> held;
  if (!in.is_open() && read_held_file(path, &held)) return held;
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}
inline bool file_exists(const std::string &path) {
  std::error_code ignored;
  return std::filesystem::exists(path, ignored);
}
// Overwrites bytes of a file in place.
inline void patch_file(const std::string &path, size_t offset,
                       const std::vector<uint8_t> &bytes) {
  std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
  if (!f.is_open() && write_held_file(path, offset, bytes, false)) return;
  f.seekp(static_cast<std::streamoff>(offset));
  f.write(reinterpret_cast<const char *>(bytes.data()),
          static_cast<std::streamsize>(bytes.size()));
}

}  // namespace recbase::test

#endif  // RECBASE_TESTS_SUPPORT_FILES_H
