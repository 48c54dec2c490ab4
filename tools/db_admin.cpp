// recbase db copy, reindex, rename and destroy: each one of the ISAM
// layer's whole-database calls, with its errors worded by the library.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "recbase/codes.h"
#include "recbase/isam.h"
#include "tools/db_cmd.h"
#include "tools/db_support.h"
#include "tools/progress_bar.h"
#include "tools/tool_support.h"

namespace recbase::tool {

namespace {

// Errors that mean a file could not be found, opened or read.
int exit_code_of(int32_t code) {
  switch (code) {
    case ISERR_NOT_FOUND:
    case ISERR_IO:
    case ISERR_LOCK_REC:
    case ISERR_BAD_FILE_NAME:
      return kExitCannotRead;
    default:
      return kExitUnsound;
  }
}

int failed(const std::string &what) {
  const int code = exit_code_of(isam_errno);
  report_isam_error(what);
  return code;
}

// Looks at the source of a copy, opened shared and read-only: the name
// of the index to copy in (as the library knows it: the user may leave out
// ",U"), and its records for the progress bar's total when the bar is
// drawn (0 when they cannot be counted: the bar then shows the count
// alone). A source that cannot be opened is left to the copy to report.
// False with the error printed when the index is not found.
bool look_at_source(const std::string &name, const ProgressBar &bar,
                    std::string *index, int64_t *records) {
  IsamDb *db = iopen_db_shared(name.c_str(), 1, 1);
  if (db == nullptr) return true;
  IsamIndex *ix = index->empty() ? nullptr : find_index(db, *index);
  if (!index->empty() && ix == nullptr) {
    failed(name + ": index \"" + *index + "\"");
    iclose_db(db);
    return false;
  }
  if (ix != nullptr) *index = iindexname(db, ix);
  *records = bar.shown() ? std::max<int64_t>(count_records(db), 0) : 0;
  iclose_db(db);
  return true;
}

// Whether two database names name the same files.
bool same_database(const std::string &a, const std::string &b) {
  std::error_code ea, eb;
  const auto file_a = std::filesystem::weakly_canonical(data_file_of(a), ea);
  const auto file_b = std::filesystem::weakly_canonical(data_file_of(b), eb);
  return !ea && !eb && file_a == file_b;
}

// irebuild_index_file's progress: each index made again counts its records
// from 1, and the bar then takes that index's name.
struct RebuildBar {
  ProgressBar *bar = nullptr;
  std::vector<std::string> order;  // the indexes in the order made again
  size_t next = 0;
  int64_t records = 0;
};
RebuildBar *g_rebuild = nullptr;

void RBCALL rebuild_progress(int32_t count) {
  RebuildBar &r = *g_rebuild;
  if (count == 1 && r.next < r.order.size()) {
    r.bar->restart("index \"" + r.order[r.next++] + "\"", r.records);
  }
  r.bar->update(count);
}

// The index a failed rebuild stopped at: the first of order that db does
// not have again; "" when the new index file itself failed (db then has no
// index file, which ihandle tells by 12).
std::string stopped_at(IsamDb *db, const std::vector<std::string> &order) {
  for (const std::string &index : order) {
    if (ihandle(db, index.c_str()) != nullptr) continue;
    return isam_errno == ISERR_UNKNOWN_INDEX ? index : "";
  }
  return "";
}

}  // namespace

int db_copy(const std::string &source, const std::string &target,
            const std::string &index, int32_t block_size, bool quiet) {
  if (same_database(source, target)) {
    std::fprintf(stderr, "%s: cannot copy a database onto itself\n",
                 source.c_str());
    return kExitUnsound;
  }
  if (database_exists(target)) {
    std::fprintf(stderr,
                 "%s: a database of that name exists (destroy it first)\n",
                 target.c_str());
    return kExitUnsound;
  }
  IsamLibrary library;
  if (!library.start(source)) return kExitCannotRead;
  // The writing commands keep a rollback journal: a copy cut short by a
  // crash leaves its last flush point, not a damaged database.
  iset_journal(1);
  ProgressBar bar("copy " + source, 0, !quiet);
  std::string order = index;
  int64_t records = 0;
  if (!look_at_source(source, bar, &order, &records)) return kExitUnsound;
  bar.restart("copy " + source, records);
  ProgressBar::Routine routine(bar);
  clear_os_error();
  const int32_t copied =
      icopy_db(source.c_str(), target.c_str(),
               order.empty() ? nullptr : order.c_str(), block_size);
  bar.finish();
  if (copied != 1) return failed(source + " -> " + target);
  return kExitOk;
}

int db_reindex(const std::string &name, int32_t block_size, bool quiet) {
  IsamLibrary library;
  if (!library.start(name)) return kExitCannotRead;
  iset_journal(1);
  IsamDb *db = iopen_db_shared(name.c_str(), 0, 0);
  if (db == nullptr) return failed(name);
  const bool definitions_lost = isam_errno != ISERR_OK;
  if (definitions_lost) {
    // The index file could not be read: its index definitions are lost
    // with it, and only "Physical Index" can be made again.
    std::fprintf(stderr,
                 "%s: the index file cannot be used (%s); only \"%s\" is "
                 "made again\n",
                 name.c_str(), isammsg(isam_errno), iphysical);
  }
  // The rebuild makes the indexes again in the reverse of the list's order.
  ProgressBar bar("reindex " + name, 0, !quiet);
  RebuildBar rebuild;
  rebuild.bar = &bar;
  for (char **n = igetindexnames(db); n != nullptr && *n != nullptr; ++n) {
    if (std::string(*n) != iphysical)
      rebuild.order.emplace(rebuild.order.begin(), *n);
  }
  rebuild.records = bar.shown() ? std::max<int64_t>(count_records(db), 0) : 0;
  // Each call's failure is reported with the system error of that call
  // alone (an open may have met a missing index file before).
  clear_os_error();
  g_rebuild = &rebuild;
  iprogress(rebuild_progress);
  const int32_t rebuilt = irebuild_index_file(db, block_size);
  iprogress(nullptr);
  bar.finish();
  int code = kExitOk;
  if (rebuilt != 1) {
    const int32_t error = isam_errno;
    const std::string index = stopped_at(db, rebuild.order);
    iset_errno(error);
    code = failed(index.empty() ? name : name + ": index \"" + index + "\"");
  }
  clear_os_error();
  if (iclose_db(db) != 1 && code == kExitOk) code = failed(name);
  if (code == kExitOk && definitions_lost) code = kExitUnsound;
  if (code == kExitOk) {
    std::printf("%s: index file made again with %zu indexes\n", name.c_str(),
                rebuild.order.size());
  }
  return code;
}

int db_rename(const std::string &from, const std::string &to) {
  IsamLibrary library;
  if (!library.start(from)) return kExitCannotRead;
  if (irename_db(from.c_str(), to.c_str()) != 1) {
    return failed(from + " -> " + to);
  }
  return kExitOk;
}

int db_destroy(const std::string &name) {
  IsamLibrary library;
  if (!library.start(name)) return kExitCannotRead;
  if (idestroy_db(name.c_str()) != 1) return failed(name);
  return kExitOk;
}

}  // namespace recbase::tool
