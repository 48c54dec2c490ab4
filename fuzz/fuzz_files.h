// Files of the fuzz targets: one temporary directory per process, and file
// images written into it in place. Test-only code.
#ifndef RECBASE_FUZZ_FUZZ_FILES_H
#define RECBASE_FUZZ_FUZZ_FILES_H

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "tests/support/files.h"

namespace recbase::fuzz {

// A directory made once per process under the system's temporary
// directory, its name starting with prefix; the process aborts when it
// cannot be made.
inline std::string make_temp_dir(const char *prefix) {
  try {
    return test::make_temp_dir(prefix);
  } catch (const std::exception &) {
    std::abort();
  }
}

// Replaces the contents of the file at path (made when missing) by the size
// bytes at data, in place: truncating a file to nothing and writing it again
// makes ext4 flush it at close, which would make every input wait for the
// disk. False when it cannot be written.
inline bool write_image(const std::string &path, const uint8_t *data,
                        size_t size) {
  std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
  if (!f.is_open()) f.open(path, std::ios::binary | std::ios::out);
  if (!f.write(reinterpret_cast<const char *>(data),
               static_cast<std::streamsize>(size))) {
    return false;
  }
  f.close();
  std::error_code e;
  if (std::filesystem::file_size(path, e) != size && !e) {
    std::filesystem::resize_file(path, size, e);
  }
  return !e;
}

}  // namespace recbase::fuzz

#endif  // RECBASE_FUZZ_FUZZ_FILES_H
