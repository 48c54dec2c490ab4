// The B-tree layer's side of the rollback journal (bufpool/journal.h): a
// tree file's own journal (TREEFILE.jnl, kept when cb_set_journal(1) is in
// force at the file's first open, or when a journal file is already there),
// and the hooks through which a database's journal covers its index file.
//
// Where the tree layer meets the journal:
//  - first open of a file: a hot journal beside it is rolled back before
//    anything is read (exclusive, shared or read-only alike);
//  - every write of the file: blocks through the pool (bufpool/bufpool.h),
//    the control record through write_control;
//  - a flush point (the flush step, and in shared mode the commit that ends
//    a change or an explicit write lock): once the blocks and the control
//    record are written and synced, the file's own journal ends, before the
//    writer lock goes;
//  - shared mode: whoever takes a lock first checks the journal (one read of
//    its header) and rolls back what a writer that died left, before reading.
// A database's journal is ended by the database layer, which also syncs its
// data file first.
#ifndef RECBASE_CBT_JOURNAL_LINK_H
#define RECBASE_CBT_JOURNAL_LINK_H

#include <cstdint>

#include "cbt/tree.h"

namespace recbase::cbt {

// cb_set_journal's setting.
extern int32_t g_tree_journal;

// Before the pool opens a tree file: rolls back a hot journal beside it;
// *present tells whether a journal file is there. 1, or -1 with kErrOpen /
// kCtxOpen staged.
int32_t recover_at_open(Op &op, const char *name, int32_t shared,
                        bool *present);
// After the pool opened the file (op bound to it): opens the file's own
// journal and attaches it. 1, or -1 with kErrOpen / kCtxOpen staged.
int32_t attach_own_journal(Op &op, const char *name, int32_t shared,
                           int32_t read_only);
// Before the control record is written. 1 / -1 (nothing staged).
int32_t guard_control(Op &op);
// Before a flush point writes the control record and the dirty blocks:
// saves the images of all of them and syncs the journal once, so that the
// writes that follow need nothing more.
void save_before_flush(Op &op);
// A flush point of the file: ends its own journal. 1, or -1 with
// kErrFlushBlocks and ctx staged.
int32_t end_own_journal(Op &op, int32_t ctx);
// Shared mode, with a lock just taken: rolls back the journal of a writer
// that died. 1, or -1 with kErrGetBlock / kCtxSync staged.
int32_t roll_back_dead_writer(Op &op);
// Closes the file's journal at its last close.
void close_journal(CbFile *f);

// For the database layer: opens a tree without a journal of its own (its
// database's journal covers it instead), and attaches that journal.
CbTree *open_tree_for_database(const char *name, CbCompare compare,
                               int32_t shared, int32_t read_only);
void attach_database_journal(CbTree *tree, Journal *journal, int32_t file);
// Appends to the journal covering the tree's file the images of its control
// record and dirty blocks not saved yet, without syncing. 1 / -1.
int32_t save_tree_images(CbTree *tree);
// The system handle of a tree's file.
int32_t tree_file_handle(CbTree *tree);

}  // namespace recbase::cbt

#endif  // RECBASE_CBT_JOURNAL_LINK_H
