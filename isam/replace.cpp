// Replacing a database's files whole (isam/replace.h).
#include "isam/replace.h"

#include <cstring>
#include <initializer_list>

#include "bufpool/journal.h"

namespace recbase::isam {

namespace {

constexpr char kStagedSuffix[] = ".new";

IsamError staged_name(const char *name, char *out) {
  const size_t n = std::strlen(name);
  if (n + sizeof kStagedSuffix > static_cast<size_t>(kPathBufferSize)) {
    return kIsBadFileName;
  }
  std::memcpy(out, name, n);
  std::memcpy(out + n, kStagedSuffix, sizeof kStagedSuffix);
  return kIsOk;
}

}  // namespace

IsamError stage_paths(const DbPaths &paths, DbPaths *staged) {
  IsamError e = staged_name(paths.data, staged->data);
  if (e == kIsOk) e = staged_name(paths.index, staged->index);
  if (e != kIsOk) return e;
  staged->journal[0] = '\0';
  remove_staged(paths);
  return kIsOk;
}

void remove_staged(const DbPaths &paths) {
  char name[kPathBufferSize];
  for (const char *file : {paths.data, paths.index}) {
    if (file[0] != '\0' && staged_name(file, name) == kIsOk &&
        platform_file_exists(name) == 1) {
      sys_remove(name);
    }
  }
}

IsamError publish_db(const DbPaths &paths, bool data) {
  const char *names[2] = {paths.data, paths.index};
  return journal_publish(nullptr, paths.journal, names, 2, data ? 3u : 2u) == 1
             ? kIsOk
             : kIsIo;
}

}  // namespace recbase::isam
