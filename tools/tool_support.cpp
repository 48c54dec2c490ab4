#include "tools/tool_support.h"

#include <cstdio>
#include <cstring>
#include <system_error>

#include "recbase/cbt.h"

namespace recbase::tool {

namespace {

int32_t RBCALL print_to_stderr(const char *text) {
  return std::fputs(text, stderr) >= 0 ? 1 : -1;
}

}  // namespace

bool Library::start(int32_t buffer_count, int32_t buffer_size) {
  if (started_) return true;
  if (cbinit(buffer_count, buffer_size) != 1) return false;
  started_ = true;
  return true;
}

bool Library::stop() {
  if (!started_) return true;
  started_ = false;
  return cbexit() == 1;
}

void clear_os_error() { cbclear_syserr(); }

bool os_error_seen() {
  const int32_t error = cbget_syserr();
  return error != 0 && error != CB_SHORT_TRANSFER;
}

void report_os_error() {
  const int32_t error = cbget_syserr();
  // The system's own text for its error number (strerror on Linux, the
  // system's message table on Windows).
  std::fprintf(stderr, "system error %d: %s\n", error,
               std::system_category().message(error).c_str());
}

void report_library_error(const std::string &file) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s:\n", file.c_str());
  // The library prints through its print routine, standard output unless
  // replaced; these words are diagnostics, so they go to standard error.
  const RbPrint previous = cbset_print(print_to_stderr);
  cbprterr();
  cbset_print(previous);
  if (os_error_seen()) report_os_error();
}

}  // namespace recbase::tool
