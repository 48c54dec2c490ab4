// Test helpers shared by the test folders: a per-test temporary directory
// that is removed with everything in it, small file helpers that work on the
// file system directly (so that the library's own I/O is what is under
// test), and child processes with a deadline.
#ifndef RECBASE_TESTS_SUPPORT_TEMP_DIR_H
#define RECBASE_TESTS_SUPPORT_TEMP_DIR_H

#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace recbase::test {

class TempDir {
 public:
  TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "recbase-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  std::string file(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void write_file(const std::string &path,
                       const std::vector<uint8_t> &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<uint8_t> read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline bool file_exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// Forks a child that runs body() and leaves with its result through _exit,
// so that it runs no test-framework or static destructors of the parent's
// state. The child dies with the test process.
template <typename Body>
pid_t spawn(Body body) {
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    _exit(body());
  }
  return pid;
}

// Exit status of a child (0..255), -1 when it did not exit normally, -2
// when it was still running at the deadline (it is then killed and reaped).
inline int wait_child(pid_t pid, int timeout_ms = 60000) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (int status = 0;; usleep(1000)) {
    const pid_t r = pid > 0 ? waitpid(pid, &status, WNOHANG) : -1;
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (r < 0) return -1;
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -2;
    }
  }
}

template <typename Body>
int run_in_child(Body body) {
  return wait_child(spawn(body));
}

}  // namespace recbase::test

#endif  // RECBASE_TESTS_SUPPORT_TEMP_DIR_H
