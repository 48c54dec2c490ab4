// Reads and writes of a database's data file after its header: every slot,
// length word and free area goes through these calls.
//
// A database that is not shared is changed by this process alone, so it
// keeps a cache of its data file in memory: pages of kPageSize bytes in a
// direct-mapped table of at most kCachePages entries (a page number picks
// its entry), filled on reads, and the file's size. Writes go to the file
// first and are then copied into the pages they touch, so the file always
// holds everything and the cache is never the only copy. A shared database
// reads and writes the file directly, since other processes change it.
//
// Invariants of the cache:
//  1. A cached page holds the file's bytes [number * kPageSize, + valid);
//     valid is kPageSize except in the page holding the end of the file.
//  2. size is the file's size once known (-1 before), updated by every
//     write that extends the file.
//  3. A failed write drops the pages it touches and forgets the size, so
//     nothing cached can differ from the file.
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
  uint8_t *bytes = nullptr;
};

struct DataCache {
  int64_t size = -1;
  CachePage pages[kCachePages];
};

// Reads len bytes at position. kIsIo when the file ends before them or the
// read fails.
IsamError data_read(IsamDb *db, int32_t position, int32_t len, void *out);
// Writes len bytes at position. kIsIo.
IsamError data_write(IsamDb *db, int32_t position, int32_t len, const void *in);
// The size of the data file. kIsIo.
IsamError data_size(IsamDb *db, uint32_t *size);
// Frees db's cache (closing).
void free_data_cache(IsamDb *db);

}  // namespace recbase::isam

#endif  // RECBASE_ISAM_DATA_FILE_H
