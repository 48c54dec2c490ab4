// recbase db check: the ISAM layer's database checker (icheck_db), its
// verdict and figures worded for the shell.
#include <cinttypes>
#include <cstdio>
#include <string>

#include "recbase/isam.h"
#include "tools/db_cmd.h"
#include "tools/db_support.h"
#include "tools/progress_bar.h"
#include "tools/tool_support.h"

namespace recbase::tool {

int db_check(const std::string &name, bool quiet) {
  IsamLibrary library;
  if (!library.start(name)) return kExitCannotRead;
  // A journal that waits means a writer died: the files are not at a flush
  // point until the next open rolls them back. The check only reads, so it
  // says so and leaves both alone.
  if (ijournal_hot(name.c_str()) == 1) {
    std::fprintf(stderr,
                 "%s: a rollback journal waits (a writer died); the next "
                 "open of the database rolls it back to its last flush "
                 "point\n",
                 name.c_str());
    return kExitUnsound;
  }
  IsamCheckStats stats;
  char message[512];
  // The checker counts every slot and every key of the index file; their
  // number is not known before it ends, so the bar shows the count.
  ProgressBar bar("check " + name, 0, !quiet);
  int32_t verdict = 0;
  {
    ProgressBar::Routine routine(bar);
    verdict = icheck_db(name.c_str(), &stats, message, sizeof message);
  }
  bar.finish();
  if (verdict == 1) {
    if (quiet) return kExitOk;
    std::printf("%s: sound\n", name.c_str());
    std::printf("records     %" PRId64 ", %" PRId64 " bytes\n", stats.records,
                stats.record_bytes);
    std::printf("indexes     %" PRId32 ", %" PRId64 " entries\n",
                stats.index_count, stats.index_entries);
    std::printf("free space  %" PRId64 " areas, %" PRId64
                " bytes, largest %" PRId32 "\n",
                stats.free_areas, stats.free_bytes, stats.largest_free);
    return std::fflush(stdout) == 0 ? kExitOk : kExitCannotRead;
  }
  std::fflush(stdout);
  std::fprintf(stderr, "%s: %s\n", name.c_str(), message);
  if (verdict == 0) return kExitUnsound;
  report_isam_error(name, true);  // the checker opens the database shared
  return kExitCannotRead;
}

}  // namespace recbase::tool
