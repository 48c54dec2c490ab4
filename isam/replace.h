// Replacing a database's files whole, with the rollback journal on: a new
// database (icreate_db), a copy (icopy_db) and a new index file
// (inew_index_file, irebuild_index_file: isam/index_mgmt.cpp) are written
// under staged names (the file names with
// ".new" added), synced, and then put in place of the old files through
// the database's journal (journal_publish in bufpool/journal.h), so that a
// crash leaves the old files or the new ones, never a mixture: before the
// staged header is synced the old files stand, and staged files are
// leftovers that the next replacement removes; after it the next open
// finishes the renames.
#ifndef RECBASE_ISAM_REPLACE_H
#define RECBASE_ISAM_REPLACE_H

#include <cstdint>

#include "isam/handles.h"
#include "isam/names.h"

namespace recbase::isam {

// The staged names of paths' files (journal: none), with any leftover
// staged files removed. kIsBadFileName when a name would be too long.
IsamError stage_paths(const DbPaths &paths, DbPaths *staged);
// Removes the staged files of paths.
void remove_staged(const DbPaths &paths);
// Puts the staged data file (when data) and index file in place of paths'
// files. kIsOk, or kIsIo (after the staged header was synced, the next open
// of the database finishes the job).
IsamError publish_db(const DbPaths &paths, bool data);

}  // namespace recbase::isam

#endif  // RECBASE_ISAM_REPLACE_H
