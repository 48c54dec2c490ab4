// Reads and writes of a database's data file after its header: every slot,
// length word and free area goes through these calls.
//
// A database that is not shared is changed by this process alone, so it
// keeps a cache of its data file in memory: pages of kPageSize bytes in a
// direct-mapped table of at most kCachePages entries (a page number picks
// its entry), filled on reads, and the file's size. A shared database reads
// and writes the file directly, since other processes change it.
//
// Writes take one of two ways:
//  - through (no rollback journal): to the file first, then copied into the
//    pages they touch, so the file always holds everything and the cache is
//    never the only copy; a failed write is the failure of the call that
//    made it.
//  - back (with the journal): into the page alone, which is then changed
//    (dirty) until the next flush point (data_write_back) or until its
//    entry is needed for another page. The first change of a page in a
//    journal period hands its bytes, still the file's, to the journal as
//    the page's image, so no image is ever read back from the file, and a
//    page reaches the file only after the journal is synced. A write that
//    fails there is reported by the flush point (iflush_db, iclose_db) or
//    by the call whose read or write needed the entry; either way the
//    journal is left hot, and the next open rolls the database back to its
//    last flush point.
//
// Invariants of the cache:
//  1. A cached page holds the file's bytes [number * kPageSize, + valid),
//     or, when dirty, the bytes the file will hold there once written;
//     valid is kPageSize except in the page holding the end of the file;
//     bytes past valid are zero.
//  2. size is the file's size once known (-1 before), updated by every
//     write that extends the file; with pages dirty, the size it will have.
//  3. A failed write through drops the pages it touches and forgets the
//     size, so nothing cached can differ from the file.
//  4. A dirty page leaves its entry only once written; dirty counts them.
//
// Page states (writes back):
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
// Writes len bytes at position. kIsIo.
IsamError data_write(IsamDb *db, int32_t position, int32_t len, const void *in);
// The size of the data file. kIsIo.
IsamError data_size(IsamDb *db, uint32_t *size);
// Writes every dirty page to the file (after one sync of the journal), not
// syncing the file. kIsIo when a write fails (its page stays dirty; the
// others are still written).
IsamError data_write_back(IsamDb *db);
// Frees db's cache (closing).
void free_data_cache(IsamDb *db);

}  // namespace recbase::isam

#endif  // RECBASE_ISAM_DATA_FILE_H
