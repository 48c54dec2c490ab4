// Files of the fuzz targets: one temporary directory per process, and file
// images written into it in place. Test-only code.
#ifndef RECBASE_FUZZ_FUZZ_FILES_H
#define RECBASE_FUZZ_FUZZ_FILES_H

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace recbase::fuzz {

// A directory made once per process under TMPDIR (or /tmp), its name
// starting with prefix; the process aborts when it cannot be made.
inline std::string make_temp_dir(const char *prefix) {
  const char *base = getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr ? base : "/tmp") + "/" + prefix + "-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  return pattern;
}

// Replaces the contents of the file at path (made when missing) by the size
// bytes at data, in place: truncating a file to nothing and writing it again
// makes ext4 flush it at close, which would make every input wait for the
// disk. False when it cannot be written.
inline bool write_image(const std::string &path, const uint8_t *data,
                        size_t size) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0600);
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

}  // namespace recbase::fuzz

#endif  // RECBASE_FUZZ_FUZZ_FILES_H
