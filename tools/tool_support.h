// Pieces shared by the subcommands of the recbase tool: its exit codes, a
// scoped start and shutdown of the library, and the printing of the
// library's error state to standard error.
#ifndef RECBASE_TOOLS_TOOL_SUPPORT_H
#define RECBASE_TOOLS_TOOL_SUPPORT_H

#include <cstdint>
#include <string>

namespace recbase::tool {

// Exit codes of every subcommand.
constexpr int kExitOk = 0;
constexpr int kExitUnsound = 1;     // the file was read and is not a sound tree
constexpr int kExitCannotRead = 2;  // the file could not be opened or read
constexpr int kExitUsage = 64;      // the command line was not understood

// Buffers of the pool the tool starts before it knows a file's block size:
// as large as any block, because cbblksize opens the file through the pool
// and fails on a file whose blocks are larger than the pool's buffers.
constexpr int32_t kProbeBufferSize = 32767;
constexpr int32_t kProbeBufferCount = 6;

// The library's pool, from start() until stop() or the end of the scope.
class Library {
 public:
  Library() = default;
  ~Library() { stop(); }
  Library(const Library &) = delete;
  Library &operator=(const Library &) = delete;

  // cbinit(buffer_count, buffer_size). False on failure, with the library's
  // error variables set.
  bool start(int32_t buffer_count, int32_t buffer_size);
  // cbexit, when started. False when shutting down failed.
  bool stop();

 private:
  bool started_ = false;
};

// Clears the operating system error slot, so that os_error_seen() tells
// whether the calls that follow met an error of the operating system.
void clear_os_error();
// True when a file operation since clear_os_error() failed with an error of
// the operating system (a short read of a file that ends early is not one).
bool os_error_seen();
// Prints "system error <n>: <reason>" for that error to standard error.
void report_os_error();

// Prints "<file>:" and then the library's error state as cbprterr words it
// (context, function, error), plus the operating system's reason when
// os_error_seen(), all to standard error.
void report_library_error(const std::string &file);

}  // namespace recbase::tool

#endif  // RECBASE_TOOLS_TOOL_SUPPORT_H
