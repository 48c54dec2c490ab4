// Reads and writes of a database's data file after its header: every slot,
// length word and free area goes through these calls.
//
// A database that is not shared is changed by this process alone, so it
// keeps a cache of its data file in memory: pages of kPageSize bytes in a
// direct-mapped table of at most kCachePages entries (a page number picks
// its entry), filled on reads, and the file's size. A shared database reads
// and writes the file directly, since other processes change it.
//
// Writes go back: into the page alone, which is then changed (dirty) until
// the next flush point (data_write_back: iflush_db, iclose_db, isamexit) or
// until its entry is needed for another page, so that a record change makes
// no system call and a page changed by many records is written once. They
// go through (to the file, then copied into the pages they touch) only when
// the cache itself cannot be had (no memory for the table, or the file's
// size cannot be read). A write that fails at the flush point, or when an
// entry is reused, is reported there (iflush_db, iclose_db: kIsIo) or by the
// call whose read or write needed the entry, not by the calls whose changes
// the page carries; the page stays dirty, the next flush point writes it
// again, and the close tries once more before the cache goes.
//  - With the rollback journal, the first change of a page in a journal
//    period hands its bytes, still the file's, to the journal as the page's
//    image, so no image is ever read back from the file, and a page reaches
//    the file only after the journal is synced. A failed write leaves the
//    journal hot: the next open rolls the database back to its last flush
//    point, and the close drops what it could not write.
//  - Without it, a page that never reaches the file takes the changes made
//    to it since the last flush point with it, while the index file may
//    hold their entries (as when the process dies between flush points).
//
// Invariants of the cache:
//  1. A cached page holds the file's bytes [number * kPageSize, + valid),
//     or, when dirty, the bytes the file will hold there once written;
//     valid is kPageSize except in the page holding the end of the file;
//     bytes past valid are zero.
//  2. size is the file's size once known (-1 before), updated by every
//     write that extends the file; with pages dirty, the size it will have.
//  3. A failed write through drops the pages it touches and forgets the
//     size, so nothing cached can differ from the file (it happens only
//     without the cache, so no page is dirty then).
//  4. A dirty page leaves its entry only once written; dirty counts them.
//
// Page states:
//   absent --read or write--> clean --write--> dirty
//     ^                         |  ^              |
//     +------ entry reused -----+  +-- written ---+
#ifndef RECBASE_ISAM_DATA_FILE_H
#define RECBASE_ISAM_DATA_FILE_H

#include <cstdint>

#include "isam/handles.h"

namespace recbase::isam {

constexpr int32_t kPageSize = 4096;
constexpr int32_t kCachePages = 4096;

struct CachePage {
  int32_t number = -1;  // the page held, -1 none
  int32_t valid = 0;    // bytes of the file from the page's start
  bool dirty = false;   // changed since written (writes back only)
  uint8_t *bytes = nullptr;
};

struct DataCache {
  int64_t size = -1;
  int32_t dirty = 0;  // dirty pages
  CachePage pages[kCachePages];
};

// Reads len bytes at position. kIsIo when the file ends before them or the
// read fails.
IsamError data_read(IsamDb *db, int32_t position, int32_t len, void *out);
// The slot at position where the cache holds it in place: its length word
// and content lie in one page the cache holds, and the reads of a slot
// read (a probe of `probe` bytes from position where the file reaches that
// far, then the rest of the slot) would each be served from pages the cache
// holds now, so that reading it loads, writes and fails nothing. Returns
// the slot's first byte (its length word, which is not negative), good until
// the next read or write of the data file; null when the slot must be read.
const uint8_t *held_slot(const IsamDb *db, int32_t position, int32_t probe);
// Writes len bytes at position. kIsIo; kIsNoMemory when the cache writes
// back and has no memory for a page it needs.
IsamError data_write(IsamDb *db, int32_t position, int32_t len, const void *in);
// The size of the data file. kIsIo.
IsamError data_size(IsamDb *db, uint32_t *size);
// Writes every dirty page to the file (after one sync of the journal), not
// syncing the file. kIsIo when a write fails (its page stays dirty; the
// others are still written).
IsamError data_write_back(IsamDb *db);
// As data_write_back, then syncs the file, when pages are dirty (closing).
IsamError write_back_left(IsamDb *db);
// Frees db's cache (closing).
void free_data_cache(IsamDb *db);

}  // namespace recbase::isam

#endif  // RECBASE_ISAM_DATA_FILE_H
