// The steps of a database's life that several calls share: making and
// opening its index file, closing its index structures, and releasing the
// handle. The exported calls in isam/database.cpp string them together;
// making a new index file and the utilities reuse them.
#ifndef RECBASE_ISAM_DATABASE_H
#define RECBASE_ISAM_DATABASE_H

#include <cstdint>

#include "isam/handles.h"
#include "isam/names.h"

namespace recbase::isam {

// Makes the index file path (replacing any file of that name that is not
// open here) holding only the descriptor of "Physical Index"; a failure
// removes it again. kIsBlockTooBig for a block size larger than the pool's
// buffers, kIsCbt for any other B-tree failure (its codes kept).
IsamError create_index_file(const char *path, int32_t block_size);

// Opens db's index file (path as given) with the database's flags: the
// descriptor tree, the free-space tree, and an IsamIndex per descriptor,
// newest at the front. On failure everything it opened is closed again
// (the B-tree codes of the failure kept) and the result says why:
// kIsIndexCorrupt (a tree handle cannot be opened, or a descriptor is not
// sound), kIsCbt (a descriptor cannot be read), kIsNoMemory, or kIsLockRec
// when the B-tree layer could not lock the file.
IsamError open_index_file(IsamDb *db, const char *path);

// Closes the index file's handles and releases every IsamIndex. Goes on
// past failures; kIsCbt when a close failed.
IsamError close_index_structures(IsamDb *db);

// Writes everything back and syncs both files: a flush point (iflush_db).
// kIsCbt when the index file cannot be written back, kIsIo for the data file.
IsamError flush_db(IsamDb *db);

// Makes the data file (the header of fields, synced when sync says so)
// and the index file (create_index_file) at paths; a failure removes the
// data file again. The codes of write_data_file and create_index_file.
IsamError create_db_files(const DbPaths &paths, int32_t block_size,
                          const char *const *fields, bool sync);

// iopen_db_shared for the files at paths: the journal at paths.journal is
// rolled back first and kept (when there is one, or the switch is on);
// paths.journal empty: no journal (a copy made under staged names). Sets
// isam_errno as the open does; null on failure.
IsamDb *open_db_at(const DbPaths &paths, int32_t shared, int32_t read_only);

// Releases the record locks the database still holds, closes the data file
// and frees the handle, which leaves the list of open databases. Goes on
// past failures; kIsUnlockRec or kIsIo.
IsamError release_db(IsamDb *db);

}  // namespace recbase::isam

#endif  // RECBASE_ISAM_DATABASE_H
