// The rollback journal: the old images of the parts of one or two files that
// were overwritten since their last flush point, kept in a file beside them,
// so that a process that dies (or whose writes all fail from some point on)
// leaves files that the next open rolls back to that flush point.
//
// Journal file (NAME.jnl for a database NAME, TREEFILE.jnl for a tree), all
// integers little-endian:
//
//   offset  size  header (32 bytes)
//   0       4     magic "RBJ1"; zeros once the period has ended
//   4       2     format version, 1
//   6       2     number of files covered: 1 (a tree) or 2 (a database:
//                 file 0 NAME.db, file 1 NAME.idx)
//   8       4     nonce of this period (one more than the last period's)
//   12      4     size of file 0 at the start of the period
//   16      4     size of file 1 at the start of the period (0 for one file)
//   20      4     block size of the tree file (for its writer lock region)
//   24      4     reserved, 0
//   28      4     checksum of bytes 0-27
//
//   then records, one after another from offset 32:
//   0       1     file number (0 or 1)
//   1       3     zeros
//   4       4     offset of the range in that file
//   8       4     length of the range (1 to 65536)
//   12      4     checksum of the nonce, bytes 0-11 and the image
//   16      len   the range's bytes as they were at the start of the period
//
// A journal is hot when its header has the magic and a good checksum. Its
// records count up to the first one that ends past the end of the file or
// fails its checksum: a record is written before the range it saves is first
// overwritten, so a torn record saves a range that was never touched, and a
// record left from an earlier period (the file is reused, not cut short)
// fails the check because its nonce is not this period's.
//
// A period:
//  1. begins at the first write to a covered file after a flush point: the
//     files' sizes are noted, the header written and synced (before any
//     write, appends included, reaches a covered file);
//  2. before the first overwrite of a range (a tree block, a 4 KiB page of a
//     data file) that lies below the size noted at the start, the range's
//     bytes are read from the file and appended, and the journal is synced;
//     ranges past the noted size are new and need no image;
//  3. ends at the flush point, once the covered files are written and
//     synced, by zeroing the magic (4 bytes, no sync): the cheapest of the
//     three ways measured (deleting the file and creating it again, cutting
//     it to 0 bytes, or invalidating the header), and the only one that
//     needs no change to the directory.
// Rolling back writes every record's image back, gives each file its noted
// size, syncs the files and ends the journal; a rollback cut short is simply
// done again, since it only writes what the journal holds.
//
// Between processes sharing a tree or database, the journal is written only
// under the tree's writer lock (the database's write lock is that lock on
// NAME.idx), and a period ends before the lock goes; so a hot journal seen
// by a process that holds a lock is always that of a writer that died or
// failed, and is rolled back before anything is read.
#ifndef RECBASE_BUFPOOL_JOURNAL_H
#define RECBASE_BUFPOOL_JOURNAL_H

#include <cstdint>

namespace recbase {

constexpr int32_t kJournalHeaderSize = 32;
constexpr int32_t kJournalRecordHeader = 16;
constexpr int32_t kJournalMaxFiles = 2;
// The unit of a data file's images.
constexpr int32_t kJournalPage = 4096;

struct Journal;

// How a rollback keeps other processes out of a shared tree or database:
// the writer lock region of the tree file `file`, [start, block size).
struct JournalLock {
  int32_t file = 0;
  int32_t start = 36;
};

// The journal name of a file or database name: name + ".jnl", in a new
// allocation (free with rb_free); null without memory.
char *journal_path(const char *name);

// Opens (creating it when missing) the journal at path for files covered
// files named names[]; writable: this process writes the covered files.
// Null with g_sys_last_error when it cannot be opened, or without memory.
Journal *journal_open(const char *path, const char *const *names, int32_t files,
                      int32_t shared, int32_t writable, JournalLock lock);
// Closes and frees (the file stays: it marks the files as journalled).
void journal_close(Journal *j);
// Tells the journal the open handle of covered file `file` and the unit of
// its images (a tree's block size, or kJournalPage).
void journal_attach(Journal *j, int32_t file, int32_t handle, int32_t unit);

// Before writing [offset, offset + len) of covered file `file`: begins the
// period when none is open, appends the images of the units of the range not
// saved yet, and syncs the journal when it appended. 1 / -1.
int32_t journal_protect(Journal *j, int32_t file, uint32_t offset,
                        uint32_t len);
// As journal_protect without the sync: for saving many ranges before one
// journal_sync.
int32_t journal_save(Journal *j, int32_t file, uint32_t offset, uint32_t len);
int32_t journal_sync(Journal *j);
// True while a period is open (this process has written since the last
// flush point).
bool journal_active(const Journal *j);
// True when the range's units are all saved and synced, or past the size
// noted at the start: a write there needs nothing more.
bool journal_covers(const Journal *j, int32_t file, uint32_t offset,
                    uint32_t len);
// The flush point: the covered files are written and synced. 1 / -1.
int32_t journal_end(Journal *j);
// Forgets an open period without ending it: when a shared file's writer lock
// goes after a flush point failed, the journal stays hot for whoever locks
// next (this process included), and this process must not go on with it.
void journal_abandon(Journal *j);

// 1 when the journal at path is hot, 0 when not (or there is none), -1 when
// it cannot be read.
int32_t journal_hot_at(const char *path);
// 1 when this journal's file is hot and this process has no period open
// (another's, or one left by a failed flush point), 0 when not, -1 when it
// cannot be read. One read of the header.
int32_t journal_check(Journal *j);
// Rolls back the hot journal at path onto the files names[] (opened for
// writing with the given sharing; in shared mode the writer lock region is
// taken first, unless lock_held says this process holds it already, and the
// journal read again under it). 1 rolled back, 0 nothing to do, -1 failed
// (g_sys_last_error).
int32_t journal_recover(const char *path, const char *const *names,
                        int32_t files, int32_t shared, JournalLock lock,
                        bool lock_held = false);
// journal_recover for an open journal's files.
int32_t journal_recover(Journal *j, bool lock_held);

}  // namespace recbase

#endif  // RECBASE_BUFPOOL_JOURNAL_H
