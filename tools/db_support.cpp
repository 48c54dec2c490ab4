#include "tools/db_support.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "recbase/codes.h"
#include "tools/tool_support.h"

namespace recbase::tool {

namespace {

int32_t RBCALL print_to_stderr(const char *text) {
  return std::fputs(text, stderr) >= 0 ? 1 : -1;
}

std::string with_extension(const std::string &name, const char *extension) {
  std::filesystem::path file(name);
  file.replace_extension(extension);
  return file.string();
}

}  // namespace

IsamLibrary::~IsamLibrary() {
  if (started_) isamexit();
}

bool IsamLibrary::start(const std::string &what) {
  clear_os_error();
  if (isaminit(kProbeBufferCount * 3, kProbeBufferSize) != 1) {
    report_isam_error(what);
    return false;
  }
  started_ = true;
  return true;
}

void report_isam_error(const std::string &what) {
  const int32_t code = isam_errno;
  std::fflush(stdout);
  std::fprintf(stderr, "%s: %s\n", what.c_str(), isammsg(code));
  if (code == ISERR_CBT) {
    const RbPrint previous = cbset_print(print_to_stderr);
    cbprterr();
    cbset_print(previous);
  }
  if (os_error_seen()) report_os_error();
}

int64_t count_records(IsamDb *db) {
  IsamIndex *physical = ihandle(db, iphysical);
  if (physical == nullptr) return -1;
  int64_t records = 0;
  return walk(db, physical, [&records] { return ++records, true; }) == 1
             ? records
             : -1;
}

char field_type_letter(int32_t type) {
  static const char kLetters[] = "SCIULFDB";
  return type >= 0 && type < 8 ? kLetters[type] : '?';
}

int32_t number_size(int32_t type) {
  switch (type) {
    case 2:
    case 3:
      return 2;
    case 4:
    case 5:
      return 4;
    case 6:
      return 8;
    default:
      return 0;
  }
}

std::string data_file_of(const std::string &name) {
  return with_extension(name, ".db");
}

std::string index_file_of(const std::string &name) {
  return with_extension(name, ".idx");
}

bool database_exists(const std::string &name) {
  std::error_code ignored;
  return std::filesystem::exists(data_file_of(name), ignored) ||
         std::filesystem::exists(index_file_of(name), ignored);
}

}  // namespace recbase::tool
