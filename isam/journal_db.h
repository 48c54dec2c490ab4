// A database's rollback journal: one journal, NAME.jnl, covers both of its
// files (file 0 NAME.db in 4 KiB pages, file 1 NAME.idx in blocks), in the
// format of bufpool/journal.h. It is kept when iset_journal(1) is in force
// at the open, or when a journal file is already there.
//
// Flush points of a database: iflush_db, iclose_db, isamexit, and in a
// shared database the end of every change (when its write lock goes, after
// the data file is synced and the index file written back). The index
// file's writer lock is the database's write lock, so the tree layer's
// shared-mode check (cbt/journal_link.h) also rolls back the journal of a
// database writer that died.
#ifndef RECBASE_ISAM_JOURNAL_DB_H
#define RECBASE_ISAM_JOURNAL_DB_H

#include <cstdint>

#include "isam/handles.h"
#include "isam/names.h"

namespace recbase::isam {

// iset_journal's setting.
extern int32_t g_db_journal;

// Before the files are opened: rolls back a hot journal; *present tells
// whether a journal file is there. kIsOk, or kIsIo when it cannot be rolled
// back.
IsamError recover_db_journal(const DbPaths &paths, int32_t shared,
                             bool *present);
// Once both files are open: opens the journal and hooks it to both.
IsamError attach_db_journal(IsamDb *db, const DbPaths &paths);
// The index file opened at index_path (again) is covered by db's journal;
// or, while it is closed, none is.
void attach_db_index(IsamDb *db, const char *index_path);
void detach_db_index(IsamDb *db);
// Before a write of the data file. kIsOk / kIsIo.
IsamError guard_data_write(IsamDb *db, int32_t position, int32_t len);
// Before a flush point writes: saves the images of the index file's control
// record and dirty blocks and syncs the journal once (the data pages saved
// theirs when first changed). Best effort: the writes' guards report.
void save_db_images(IsamDb *db);
// A flush point: the data file is synced, the index file written back and
// synced. kIsOk / kIsIo.
IsamError end_db_journal(IsamDb *db);
// A shared database's write lock is about to go: syncs the data file,
// writes the index file back and ends the journal. kIsOk, kIsIo or kIsCbt.
IsamError commit_db_journal(IsamDb *db);
void close_db_journal(IsamDb *db);

}  // namespace recbase::isam

#endif  // RECBASE_ISAM_JOURNAL_DB_H
