// Indexes of an ISAM object: the sorted list of index names, the selected
// index with its key parts, the making, removing and rebuilding of
// indexes, and the whole-database utilities.
//
// Invariants:
//  1. indexNames_ holds the database's index names sorted without regard to
//     case; the texts belong to the indexes. selectedNumber_ is the position
//     of selected_'s name in it, or -1 when nothing is selected.
//  2. keyParts_[k] is the field buffer (values_[f]) of key part k of the
//     selected index, whatever buffer field f has at the moment.
//  3. selected_ is never an index that the layer below has freed: after a
//     reload of the names, an index whose name is no longer in the list is
//     forgotten, and after a new index file every index is.
#include <cstring>
#include <string>

#include "class/class_state.h"
#include "frame/alloc.h"

using recbase::rb_free;
using recbase::rb_malloc;
using namespace recbase::binding;

int ISAM::loadIndexNames() {
  char **names = igetindexnames(database_);
  if (names == nullptr) return iget_errno();
  int32_t count = 0;
  while (names[count] != nullptr) ++count;
  auto *sorted = static_cast<char const **>(
      rb_malloc((static_cast<size_t>(count) + 1) * sizeof(char *)));
  if (sorted == nullptr) return ISERR_NO_MEMORY;
  std::memcpy(sorted, names, (static_cast<size_t>(count) + 1) * sizeof(char *));
  sort_folded(sorted, count);
  // The selected index keeps its name text while it lives: finding that
  // text (the pointer itself) in the new list finds it again. Only a new
  // index file frees names and makes new ones in one call, and reindex
  // forgets the selection before it gets here.
  int32_t number = -1;
  for (int32_t i = 0; selected_ != nullptr && i < count; ++i) {
    if (sorted[i] == indexNames_[selectedNumber_]) number = i;
  }
  if (number < 0) selected_ = nullptr;
  selectedNumber_ = number;
  rb_free(const_cast<char const **>(indexNames_));
  indexNames_ = sorted;
  indexCount_ = count;
  return ISERR_OK;
}

int ISAM::selectFirst() {
  const bool skip =
      indexCount_ >= 2 && compare_folded(indexNames_[0], iphysical) == 0;
  return selectPosition(skip ? 1 : 0);
}

int ISAM::selectPosition(int i) {
  if (i < 0 || i >= indexCount_) return ISERR_UNKNOWN_INDEX;
  if (selected_ != nullptr && i == selectedNumber_) return ISERR_OK;
  IsamIndex *handle = ihandle(database_, indexNames_[i]);
  if (handle == nullptr) return iget_errno();
  const int32_t parts = igetdesc_count(database_, handle);
  if (parts < 0) return iget_errno();
  auto *keyParts = static_cast<char **>(
      rb_malloc(static_cast<size_t>(parts) * sizeof(char *)));
  if (keyParts == nullptr) return ISERR_NO_MEMORY;
  for (int32_t k = 0; k < parts; ++k) {
    const int32_t f = igetdesc_fldnbr(database_, handle, k);
    if (f < 0 || f >= fieldCount_) {
      rb_free(keyParts);
      return ISERR_INDEX_CORRUPT;
    }
    keyParts[k] = values_[f];
  }
  rb_free(keyParts_);
  selected_ = handle;
  selectedNumber_ = i;
  keyParts_ = keyParts;
  keyCount_ = parts;
  return ISERR_OK;
}

int ISAM::selectIndex(char const *name) {
  if (!checkOpen()) return -1;
  if (name == nullptr) return record(ISERR_NULL_ARG);
  const int32_t i = find_folded(indexNames_, indexCount_, name);
  if (i < 0) return record(ISERR_UNKNOWN_INDEX);
  const int code = selectPosition(i);
  return code != ISERR_OK ? record(code) : 1;
}

int ISAM::index(char const *name, char const *const *fields) {
  if (!checkOpen()) return -1;
  if (imkindex(database_, name, fields) == -1) return recordLibrary();
  if (const int code = loadIndexNames()) return record(code);
  return selectIndex(name);
}

int ISAM::reindex(int blockSize, int overwrite) {
  if (!checkOpen()) return -1;
  if (inew_index_file(database_, blockSize, overwrite) == -1) {
    return recordLibrary();
  }
  // Every index handle is gone with the old file, "Physical Index"'s too
  // (a new one may even stand at the same address).
  selected_ = nullptr;
  selectedNumber_ = -1;
  if (const int code = loadIndexNames()) return record(code);
  return selectIndex(iphysical);
}

int ISAM::rebuildIndexFile(int blockSize) {
  if (!checkOpen()) return -1;
  // The handles go with the old file: the selection is kept by its name.
  const std::string selected =
      selected_ != nullptr ? indexNames_[selectedNumber_] : iphysical;
  selected_ = nullptr;
  selectedNumber_ = -1;
  const int32_t r = irebuild_index_file(database_, blockSize);
  const int32_t code = iget_errno();
  if (const int reload = loadIndexNames()) return record(reload);
  if (r == -1) {
    selectPosition(find_folded(indexNames_, indexCount_, iphysical));
    return record(code);
  }
  return selectIndex(selected.c_str());
}

int ISAM::removeIndex(char const *name) {
  if (!checkOpen()) return -1;
  if (irmindex(database_, name) == -1) return recordLibrary();
  if (const int code = loadIndexNames()) return record(code);
  // Another index was removed: the selected one stays, at its new place in
  // the list. The selected one was removed (its name given in any
  // capitals): the first one left other than "Physical Index" is selected.
  if (selected_ != nullptr) return 1;
  const int code = selectFirst();
  return code != ISERR_OK ? record(code) : 1;
}

int ISAM::copy(char const *from, char const *to, char const *indexName,
               int shared, int blockSize) {
  const int32_t r = shared == 1
                        ? icopy_db_shared(from, to, indexName, blockSize)
                        : icopy_db(from, to, indexName, blockSize);
  return r == -1 ? report(iget_errno()) : r;
}

int ISAM::rename(char const *from, char const *to) {
  return irename_db(from, to) == -1 ? report(iget_errno()) : 1;
}

int ISAM::destroy(char const *name) {
  const int32_t r = idestroy_db(name);
  return r == -1 ? report(iget_errno()) : r;
}
