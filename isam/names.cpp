// Database names to file names (the rule is at the top of isam/names.h).
#include "isam/names.h"

#include <cstring>

#include "frame/platform.h"

namespace recbase::isam {

IsamError build_path(const char *name, const char *ext, char *out) {
  const int32_t len = platform_full_path(name, out, kPathBufferSize);
  if (len < 0) return kIsBadFileName;
  int32_t end = len;
  for (int32_t i = len - 1; i >= 1; --i) {
    const char c = out[i];
    if (c == '\\' || c == '/' || c == ':') break;
    if (c == '.') {
      end = i;
      break;
    }
  }
  const auto ext_len = static_cast<int32_t>(std::strlen(ext));
  if (end + ext_len >= kPathBufferSize) return kIsBadFileName;
  std::memcpy(out + end, ext, static_cast<size_t>(ext_len) + 1);
  return kIsOk;
}

IsamError build_paths(const char *name, DbPaths *out) {
  IsamError e = build_path(name, kDataExtension, out->data);
  if (e == kIsOk) e = build_path(name, kIndexExtension, out->index);
  return e != kIsOk ? e : build_path(name, kJournalExtension, out->journal);
}

IsamDb *find_open_db(const char *data_path) {
  for (auto *db = static_cast<IsamDb *>(g_open_dbs); db != nullptr;
       db = db->next) {
    if (std::strcmp(db->data_path, data_path) == 0) return db;
  }
  return nullptr;
}

}  // namespace recbase::isam
