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

void report_isam_error(const std::string &what, bool shared_open) {
  const int32_t code = isam_errno;
  std::fflush(stdout);
  // flock refuses an open that another process's open keeps out with
  // EWOULDBLOCK; a rename or removal of a file held open gives EBUSY; on
  // Windows both are a sharing violation, which the system category maps
  // to EBUSY's condition.
  const int32_t os = os_error_seen() ? cbget_syserr() : 0;
  const std::error_condition why =
      std::system_category().default_error_condition(os);
  if (os != 0 && (why == std::errc::operation_would_block ||
                  why == std::errc::resource_unavailable_try_again ||
                  why == std::errc::device_or_resource_busy)) {
    std::fprintf(stderr, "%s: in use by another process%s\n", what.c_str(),
                 shared_open ? " (opened exclusively)" : "");
    return;
  }
  std::fprintf(stderr, "%s: %s\n", what.c_str(), isammsg(code));
  if (code == ISERR_CBT) {
    const RbPrint previous = cbset_print(print_to_stderr);
    cbprterr();
    cbset_print(previous);
  }
  if (os_error_seen()) report_os_error();
}

int64_t count_records(IsamDb *db) {
  IsamIndex *ix = nullptr;
  for (char **n = igetindexnames(db); ix == nullptr && n != nullptr && *n;
       ++n) {
    if (!same_name(*n, iphysical)) ix = ihandle(db, *n);
  }
  // Under the read lock the index's tree steps without a lock of its own
  // per step. Without the lock (another process writing) the walk still
  // counts, slowly.
  const bool locked = ix != nullptr && ilock_all(db, 1) == 1;
  if (ix == nullptr) ix = ihandle(db, iphysical);
  if (ix == nullptr) return -1;
  int64_t records = 0;
  const int32_t rc = walk(db, ix, [&records] { return ++records, true; });
  if (locked && iunlock_all(db, 1) != 1) return -1;
  return rc == 1 ? records : -1;
}

bool same_name(const std::string &a, const std::string &b) {
  auto lower = [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
  };
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

IsamIndex *find_index(IsamDb *db, const std::string &name) {
  if (IsamIndex *ix = ihandle(db, name.c_str())) return ix;
  if (isam_errno != ISERR_UNKNOWN_INDEX) return nullptr;
  std::string found;
  int matches = 0;
  for (char **n = igetindexnames(db); n != nullptr && *n != nullptr; ++n) {
    std::string plain;
    for (const char *c = *n; *c != '\0'; ++c) {
      if (c[0] == ',' && (c[1] == 'U' || c[1] == 'u')) {
        ++c;
      } else {
        plain += *c;
      }
    }
    if (same_name(plain, name)) found = *n, ++matches;
  }
  if (matches == 1) return ihandle(db, found.c_str());
  iset_errno(ISERR_UNKNOWN_INDEX);
  return nullptr;
}

char field_type_letter(int32_t type) {
  static const char kLetters[] = "SCIULFDB";
  return type >= ISFIELD_TEXT && type <= ISFIELD_BINARY ? kLetters[type] : '?';
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
