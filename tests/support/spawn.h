// Child processes for the tests that need more than one process, and the
// few other facts of the operating system that tests look at. This header
// and spawn.cpp are the only test code that knows which system it runs on.
//
// A child is this test program started again with the arguments
//   --child ROLE ARG...
// The program's main (test_main.cpp) then runs the function registered under
// ROLE with the ARGs instead of the tests, and its result is the child's
// exit code. The child's standard input and output are pipes from and to
// the parent (Child::send / Child::receive there, parent_receive /
// parent_send in the child); what the child prints to standard output goes
// to standard error instead, so that the library's print routine cannot
// disturb the channel. Nothing of the parent's state reaches the child: it
// sets the library up on its own.
#ifndef RECBASE_TESTS_SUPPORT_SPAWN_H
#define RECBASE_TESTS_SUPPORT_SPAWN_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace recbase::test {

using ChildMain = int (*)(const std::vector<std::string> &args);

// Registers a role, at static initialisation: ChildRole r("name", main);
struct ChildRole {
  ChildRole(const char *name, ChildMain main);
};

// A running child; the destructor closes its input, waits up to 2 s for it
// to end, and kills it after that.
class Child {
 public:
  Child(const std::string &role, const std::vector<std::string> &args);
  ~Child();
  Child(const Child &) = delete;
  Child &operator=(const Child &) = delete;

  bool started() const { return process_ != 0; }
  // All n bytes to the child's input; false when it is gone.
  bool send(const void *data, size_t n);
  // Exactly n bytes from the child's output; false at its end.
  bool receive(void *data, size_t n);
  // True when the child's output has bytes (or has ended) within ms.
  bool readable_within(int ms);
  // The child reads the end of its input.
  void close_input();
  // The exit code (0..255); -1 when it did not end normally, -2 when it
  // was still running at the deadline (it is then killed).
  int wait(int timeout_ms = 60000);
  void kill();

 private:
  intptr_t process_ = 0;  // pid, or the process handle
  intptr_t to_ = -1, from_ = -1;
};

// In main: runs the role that the arguments name and gives its exit code,
// or -1 when they name none (the program is to run its tests).
int run_role(int argc, char **argv);

// Starts a child and waits for its exit code (as Child::wait).
int run_child(const std::string &role, const std::vector<std::string> &args);

// In a child: the channel to the parent. parent_receive is false at the
// end of the input; parent_input_waiting is true when the parent has sent
// something or closed its end.
bool parent_receive(void *data, size_t n);
bool parent_send(const void *data, size_t n);
bool parent_input_waiting();

// Runs program with args, its standard output and error written to the two
// files; the exit code, or -1 when it did not run or end normally.
int run_program(const std::string &program,
                const std::vector<std::string> &args,
                const std::string &out_path, const std::string &err_path);

// The native error numbers that the platform slots store.
struct NativeErrors {
  int32_t exists;      // creating a file that exists
  int32_t invalid;     // a null name or buffer, a negative offset
  int32_t too_big;     // a range past 2^31 - 1 bytes
  int32_t bad_handle;  // a handle that is not open
  int32_t shared;      // an open refused by another open's share mode
  int32_t held;        // removing a file that an open holds
};
extern const NativeErrors kNativeErrors;

// Byte-range locks of read-only handles are shared (Linux: read locks) or
// exclusive like every other (Windows).
extern const bool kReadOnlyLocksShared;

// 1 when a handle of its own meets a byte-range lock of another handle on
// [offset, offset + length) of the file, 0 when not, -1 when the file
// cannot be opened to look (Windows: another open shares nothing).
int probe_lock(const std::string &path, int32_t offset, int32_t length);
// A file that a handle of this process holds without sharing cannot be
// opened again on Windows, not even by this process: the tests' readers and
// writers of files then go through that handle. read_held_file gives the
// bytes (false when no handle of this process holds path: always on
// Linux); write_held_file writes bytes at offset, and with truncate ends
// the file after them.
bool read_held_file(const std::string &path, std::vector<uint8_t> *bytes);
bool write_held_file(const std::string &path, size_t offset,
                     const std::vector<uint8_t> &bytes, bool truncate);
// The file a handle of the platform slots has open ("" when unknown).
std::string file_of_handle(int32_t handle);
// The number of handles (descriptors) the process has open.
long open_handle_count();
// Sets an environment variable, or removes it (value null).
void set_environment(const char *name, const char *value);

}  // namespace recbase::test

#endif  // RECBASE_TESTS_SUPPORT_SPAWN_H
