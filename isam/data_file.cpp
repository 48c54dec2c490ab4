// The data file's reads and writes and the cache of a database that is not
// shared (described in isam/data_file.h). Without memory for the cache or
// a page the calls go to the file directly: the cache only saves reads.
#include "isam/data_file.h"

#include <cstring>
#include <new>

#include "frame/alloc.h"
#include "isam/journal_db.h"

namespace recbase::isam {
namespace {

DataCache *cache_of(IsamDb *db) {
  if (db->shared != 0) return nullptr;
  if (db->data_cache == nullptr) {
    void *mem = rb_malloc(sizeof(DataCache));
    if (mem == nullptr) return nullptr;
    db->data_cache = new (mem) DataCache;
  }
  DataCache *c = db->data_cache;
  if (c->size < 0) {
    uint32_t size = 0;
    if (sys_filesize(db->data_handle, &size) != 1) return nullptr;
    c->size = size;
  }
  return c;
}

// The cached page `number`, read when it is not held; null when it cannot
// be read or has no memory.
CachePage *page(IsamDb *db, DataCache *c, int32_t number) {
  CachePage &p = c->pages[number % kCachePages];
  if (p.number == number) return &p;
  if (p.bytes == nullptr) {
    p.bytes = static_cast<uint8_t *>(rb_malloc(kPageSize));
    if (p.bytes == nullptr) return nullptr;
  }
  const int64_t start = static_cast<int64_t>(number) * kPageSize;
  const int64_t left = c->size - start;
  const int32_t want =
      static_cast<int32_t>(left < kPageSize ? left : kPageSize);
  p.number = -1;
  if (want <= 0 || sys_read(db->data_handle, static_cast<int32_t>(start), want,
                            p.bytes) != 1) {
    return nullptr;
  }
  p.number = number;
  p.valid = want;
  return &p;
}

// Brings the pages the written bytes [position, end) touch up to date.
void update_pages(DataCache *c, int64_t position, int64_t end,
                  const uint8_t *in) {
  for (int64_t n = position / kPageSize; n * kPageSize < end; ++n) {
    CachePage &p = c->pages[n % kCachePages];
    if (p.number != n) continue;
    const int64_t page_start = n * kPageSize;
    const int64_t from = position > page_start ? position : page_start;
    const int64_t to =
        end < page_start + kPageSize ? end : page_start + kPageSize;
    if (from > page_start + p.valid) {
      p.number = -1;  // the file would have a gap in the page
      continue;
    }
    std::memcpy(p.bytes + (from - page_start), in + (from - position),
                static_cast<size_t>(to - from));
    if (to - page_start > p.valid)
      p.valid = static_cast<int32_t>(to - page_start);
  }
}

}  // namespace

IsamError data_read(IsamDb *db, int32_t position, int32_t len, void *out) {
  DataCache *c = cache_of(db);
  if (c == nullptr || position < 0 || len < 0) {
    return sys_read(db->data_handle, position, len, out) == 1 ? kIsOk : kIsIo;
  }
  if (static_cast<int64_t>(position) + len > c->size) {
    g_sys_last_error = kShortTransfer;
    return kIsIo;
  }
  auto *at = static_cast<uint8_t *>(out);
  while (len > 0) {
    const int32_t offset = position % kPageSize;
    const int32_t n = len < kPageSize - offset ? len : kPageSize - offset;
    const CachePage *p = page(db, c, position / kPageSize);
    if (p == nullptr) {
      return sys_read(db->data_handle, position, len, at) == 1 ? kIsOk : kIsIo;
    }
    std::memcpy(at, p->bytes + offset, static_cast<size_t>(n));
    at += n;
    position += n;
    len -= n;
  }
  return kIsOk;
}

IsamError data_write(IsamDb *db, int32_t position, int32_t len,
                     const void *in) {
  if (db->journal != nullptr) {
    if (const IsamError e = guard_data_write(db, position, len)) return e;
  }
  const bool written = sys_write(db->data_handle, position, len, in) == 1;
  DataCache *c = db->shared == 0 ? db->data_cache : nullptr;
  if (c == nullptr) return written ? kIsOk : kIsIo;
  const int64_t end = static_cast<int64_t>(position) + len;
  if (!written) {
    // What reached the file is unknown: forget it all.
    for (int64_t n = position / kPageSize; n * kPageSize < end; ++n) {
      if (c->pages[n % kCachePages].number == n) {
        c->pages[n % kCachePages].number = -1;
      }
    }
    c->size = -1;
    return kIsIo;
  }
  if (c->size >= 0 && end > c->size) c->size = end;
  update_pages(c, position, end, static_cast<const uint8_t *>(in));
  return kIsOk;
}

IsamError data_size(IsamDb *db, uint32_t *size) {
  if (const DataCache *c = cache_of(db)) {
    *size = static_cast<uint32_t>(c->size);
    return kIsOk;
  }
  return sys_filesize(db->data_handle, size) == 1 ? kIsOk : kIsIo;
}

void free_data_cache(IsamDb *db) {
  DataCache *c = db->data_cache;
  if (c == nullptr) return;
  for (CachePage &p : c->pages) rb_free(p.bytes);
  c->~DataCache();
  rb_free(c);
  db->data_cache = nullptr;
}

}  // namespace recbase::isam
