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
//   12      4     size of file 0 at the start of the period; 0xFFFFFFFF:
//                 leave its size
//   16      4     size of file 1 likewise (0 for one file)
//   20      4     block size of the tree file (for its writer lock region;
//                 0: no lock)
//   24      1     staged files: bit i set when file i is to be replaced
//                 whole by the file of its name with ".new" added
//   25      3     reserved, 0
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
//   +--------+--------------+-------+--------------+-------+-- - - - - - -
//   | header | rec header 0 | image | rec header 1 | image | stale records
//   +--------+--------------+-------+--------------+-------+-- - - - - - -
//   0        32
//
// A journal is hot when its header has the magic and a good checksum. Its
// records count up to the first one that ends past the end of the file or
// fails its checksum: a record reaches the file before the range it saves is
// first overwritten, so a torn record saves a range that was never touched,
// and a record left from an earlier period (the file is reused, not cut
// short) fails the check because its nonce is not this period's.
//
// A period:
//  1. begins at the first change after a flush point that will reach a
//     covered file (a block written, a data-file page changed in memory):
//     the files' sizes are noted and the header is built in the journal's
//     write buffer;
//  2. the image of each range (a tree block, a 4 KiB page of a data file)
//     that lies below the size noted at the start is appended to the buffer
//     before the range is first overwritten: read from the file, or given
//     by the caller from a copy it holds unchanged; ranges past the noted
//     size are new and need no image;
//  3. before a covered file is overwritten below its noted size, the
//     buffer is written out and the journal synced, if anything was appended
//     since the last sync: so one sync covers every image saved together,
//     and the files are never written ahead of their images; before it is
//     written past that size (the file grows), only the header needs to be
//     on the disk, since a rollback cuts the file back to the size it notes;
//  4. ends at the flush point, once the covered files are written and
//     synced, by zeroing the magic (4 bytes, no sync): the cheapest of the
//     three ways measured (deleting the file and creating it again, cutting
//     it to 0 bytes, or invalidating the header), and the only one that
//     needs no change to the directory.
// Rolling back writes every record's image back, gives each file its noted
// size, syncs the files and ends the journal; a rollback cut short is simply
// done again, since it only writes what the journal holds.
//
// Replacing files whole (a new database, a copy, a new index file): the new
// files are written and synced under their names with ".new" added; then a
// header with a fresh nonce (so that no record counts) and the staged bits
// set is written and synced, which is the moment the replacement happens;
// then each staged file is renamed over its file and the journal ends. A
// hot journal with staged bits is rolled forward: every staged file still
// there is renamed into place. Staged files without such a journal are
// leftovers of a replacement that never happened, removed by the next one.
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
// A noted size that means "leave the file's size as it is".
constexpr uint32_t kJournalKeepSize = 0xFFFFFFFFu;

struct Journal;

// How a rollback keeps other processes out of a shared tree or database:
// the writer lock region of the tree file `file`, [start, block size).
struct JournalLock {
  int32_t file = 0;
  int32_t start = 36;
};

// name + suffix (".jnl" for a journal, ".new" for a staged file), in a new
// allocation (free with rb_free); null without memory.
char *journal_path(const char *name);
char *staged_path(const char *name);

// Opens (creating it when missing) the journal at path for files covered
// files named names[]; writable: this process writes the covered files.
// Null with g_sys_last_error when it cannot be opened, or without memory.
Journal *journal_open(const char *path, const char *const *names, int32_t files,
                      int32_t shared, int32_t writable, JournalLock lock);
// Closes and frees (the file stays: it marks the files as journalled).
void journal_close(Journal *j);
// Tells the journal the open handle of covered file `file` (-1: none, its
// writes are not covered) and the unit of its images (a tree's block size,
// or kJournalPage).
void journal_attach(Journal *j, int32_t file, int32_t handle, int32_t unit);

// Before a change of [offset, offset + len) of covered file `file`: begins
// the period when none is open and appends the images, read from the file,
// of the units of the range not saved yet. Nothing is synced. 1 / -1.
int32_t journal_save(Journal *j, int32_t file, uint32_t offset, uint32_t len);
// Marks the unit holding offset as wanted (begins the period when none is
// open); journal_save_marked then saves every marked unit not saved yet,
// reading runs of neighbouring units in one read each. 1 / -1 (the marks
// are cleared either way).
int32_t journal_mark(Journal *j, int32_t file, uint32_t offset);
int32_t journal_save_marked(Journal *j, int32_t file);
// The same as journal_save for one unit whose bytes as of the period's start
// the caller holds: image[0..unit) (only the part below the noted size is
// kept).
int32_t journal_save_image(Journal *j, int32_t file, uint32_t offset,
                           const uint8_t *image);
// Writes what the buffer holds and syncs the journal, when anything was
// appended since the last sync. 1 / -1.
int32_t journal_sync(Journal *j);
// journal_save, then journal_sync unless journal_covers says the write of
// the range needs no sync: what a write of the range needs first.
int32_t journal_protect(Journal *j, int32_t file, uint32_t offset,
                        uint32_t len);
// True while a period is open (this process has changed a covered file, in
// memory or on disk, since the last flush point).
bool journal_active(const Journal *j);
// True when the unit holding offset has its image saved this period, or
// lies past the size noted at the start: its changes need no image.
bool journal_saved(const Journal *j, int32_t file, uint32_t offset);
// True when a write of the range needs nothing more: a period is open, its
// header is on the disk, and every unit of the range below the noted size
// is saved and synced.
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
// Rolls back (or, for staged files, forward) the hot journal at path onto
// the files names[] (opened for writing with the given sharing; in shared
// mode the writer lock region is taken first, unless lock_held says this
// process holds it already, and the journal read again under it). 1 done,
// 0 nothing to do, -1 failed (g_sys_last_error).
int32_t journal_recover(const char *path, const char *const *names,
                        int32_t files, int32_t shared, JournalLock lock,
                        bool lock_held = false);
// journal_recover for an open journal's files.
int32_t journal_recover(Journal *j, bool lock_held);
// Rolls this process's open period back onto the journal's own handles of
// the files (the journal written out first) and ends it: the files are as
// at the last flush point, and whatever this process holds of them in
// memory is stale. 1, or -1 (the journal is then left hot).
int32_t journal_undo(Journal *j);
// Puts the staged files (bit i of staged: names[i] + ".new", written and
// synced) in place of names[i] through the journal at path, as described
// above. j: the journal already open on that file (its open period, whose
// other files must be synced by now, ends with it), or null. 1 / -1; a
// failure before the staged header is synced leaves the old files, one
// after it leaves a journal that the next open rolls forward.
int32_t journal_publish(Journal *j, const char *path, const char *const *names,
                        int32_t files, uint32_t staged);

}  // namespace recbase

#endif  // RECBASE_BUFPOOL_JOURNAL_H
