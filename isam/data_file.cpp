// The data file's reads and writes and the cache of a database that is not
// shared (described in isam/data_file.h). Without memory for the cache or
// a page the calls go to the file directly: the cache only saves reads.
#include "isam/data_file.h"

#include <cstring>
#include <new>

#include "bufpool/journal.h"
#include "frame/alloc.h"
#include "frame/bytes.h"
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

// Writes go back through the cache whenever this process alone changes the
// file (a database not shared); with a journal the pages' images go to it
// at their first change, without one every step below skips it.
bool writes_back(const IsamDb *db) { return db->shared == 0; }

int64_t start_of(int64_t number) { return number * kPageSize; }

// Writes a dirty page to the file, once the journal holds its image synced.
IsamError write_page(IsamDb *db, DataCache *c, CachePage &p) {
  const auto at = static_cast<uint32_t>(start_of(p.number));
  if ((db->journal != nullptr &&
       journal_protect(db->journal, 0, at, static_cast<uint32_t>(p.valid)) !=
           1) ||
      sys_write(db->data_handle, static_cast<int32_t>(at), p.valid, p.bytes) !=
          1) {
    return kIsIo;
  }
  p.dirty = false;
  --c->dirty;
  return kIsOk;
}

// The cache entry that page n maps to (it holds n when its number is n).
inline CachePage &entry_of(DataCache *c, int64_t n) {
  return c->pages[n % kCachePages];
}
inline const CachePage &entry_of(const DataCache *c, int64_t n) {
  return c->pages[n % kCachePages];
}

// The cached page `number`, made to hold it when it does not: a dirty page
// in its entry is written first, and the page is read from the file, its
// part past the file's end zero. A page wholly past the end is made only
// for a write. Null when the entry's page cannot be written or the page
// cannot be read (*why kIsIo), or there is no memory (kIsNoMemory).
CachePage *page(IsamDb *db, DataCache *c, int64_t number, bool for_write,
                IsamError *why) {
  CachePage &p = entry_of(c, number);
  if (p.number == number) return &p;
  *why = kIsIo;
  if (p.dirty && write_page(db, c, p) != kIsOk) return nullptr;
  if (p.bytes == nullptr) {
    p.bytes = static_cast<uint8_t *>(rb_malloc(kPageSize));
    if (p.bytes == nullptr) {
      *why = kIsNoMemory;
      return nullptr;
    }
  }
  const int64_t left = c->size - start_of(number);
  const int32_t want = static_cast<int32_t>(
      left < 0 ? 0 : (left < kPageSize ? left : kPageSize));
  p.number = -1;
  if (want == 0 && !for_write) return nullptr;
  if (want > 0 &&
      sys_read(db->data_handle, static_cast<int32_t>(start_of(number)), want,
               p.bytes) != 1) {
    return nullptr;
  }
  std::memset(p.bytes + want, 0, static_cast<size_t>(kPageSize - want));
  p.number = static_cast<int32_t>(number);
  p.valid = want;
  return &p;
}

// Copies the written bytes [position, end) into page p, the part that
// falls in it.
void copy_in(CachePage &p, int64_t position, int64_t end, const uint8_t *in) {
  const int64_t page_start = start_of(p.number);
  const int64_t from = position > page_start ? position : page_start;
  const int64_t to =
      end < page_start + kPageSize ? end : page_start + kPageSize;
  std::memcpy(p.bytes + (from - page_start), in + (from - position),
              static_cast<size_t>(to - from));
  if (to - page_start > p.valid)
    p.valid = static_cast<int32_t>(to - page_start);
}

// Brings the pages the written bytes [position, end) touch up to date.
void update_pages(DataCache *c, int64_t position, int64_t end,
                  const uint8_t *in) {
  for (int64_t n = position / kPageSize; start_of(n) < end; ++n) {
    CachePage &p = entry_of(c, n);
    if (p.number != n) continue;
    if ((position > start_of(n) ? position : start_of(n)) >
        start_of(n) + p.valid) {
      p.number = -1;  // the file would have a gap in the page
      continue;
    }
    copy_in(p, position, end, in);
  }
}

// A write that goes back: into the pages alone, each handing its image to
// the journal at its first change in the period.
IsamError write_into_pages(IsamDb *db, DataCache *c, int32_t position,
                           int32_t len, const uint8_t *in) {
  const int64_t end = static_cast<int64_t>(position) + len;
  for (int64_t n = position / kPageSize; start_of(n) < end; ++n) {
    IsamError why = kIsOk;
    CachePage *p = page(db, c, n, true, &why);
    if (p == nullptr) return why;
    if (!p->dirty) {
      if (db->journal != nullptr &&
          journal_save_image(db->journal, 0, static_cast<uint32_t>(start_of(n)),
                             p->bytes) != 1) {
        return kIsIo;
      }
      p->dirty = true;
      ++c->dirty;
    }
    copy_in(*p, position, end, in);
  }
  if (end > c->size) c->size = end;
  return kIsOk;
}

// A write that goes through: to the file, then into the pages it touches.
IsamError write_through(IsamDb *db, int32_t position, int32_t len,
                        const void *in) {
  if (db->journal != nullptr) {
    if (const IsamError e = guard_data_write(db, position, len)) return e;
  }
  const bool written = sys_write(db->data_handle, position, len, in) == 1;
  // A cache here has no dirty page (its size was never known), and a
  // write the file refuses for its position or length touches no page.
  DataCache *c = db->shared == 0 ? db->data_cache : nullptr;
  if (c == nullptr || position < 0 || len < 0) return written ? kIsOk : kIsIo;
  const int64_t end = static_cast<int64_t>(position) + len;
  if (!written) {
    // What reached the file is unknown: forget it all.
    for (int64_t n = position / kPageSize; start_of(n) < end; ++n) {
      CachePage &p = entry_of(c, n);
      if (p.number == n) p.number = -1;
    }
    c->size = -1;
    return kIsIo;
  }
  if (c->size >= 0 && end > c->size) c->size = end;
  update_pages(c, position, end, static_cast<const uint8_t *>(in));
  return kIsOk;
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
    IsamError ignored = kIsOk;
    const CachePage *p = page(db, c, position / kPageSize, false, &ignored);
    if (p != nullptr) {
      std::memcpy(at, p->bytes + offset, static_cast<size_t>(n));
    } else if (sys_read(db->data_handle, position, n, at) != 1) {
      // The page is in no entry, so the file holds its bytes.
      return kIsIo;
    }
    at += n;
    position += n;
    len -= n;
  }
  return kIsOk;
}

const uint8_t *held_slot(const IsamDb *db, int32_t position, int32_t probe) {
  const DataCache *c = db->shared == 0 ? db->data_cache : nullptr;
  if (c == nullptr || position < 0 || probe > kPageSize) return nullptr;
  const int64_t start = position;
  const int64_t number = start / kPageSize;
  const int32_t offset = position % kPageSize;
  const CachePage &p = entry_of(c, number);
  if (p.number != number || offset > kPageSize - 2 || start + 2 > c->size) {
    return nullptr;
  }
  const uint8_t *slot = p.bytes + offset;
  const int32_t word = get_ne16s(slot);
  int64_t end = start + 2 + word;
  if (word < 0 || offset + 2 + word > kPageSize || end > c->size) {
    return nullptr;
  }
  // The probe reads past the slot, into the next page perhaps, when the
  // file reaches that far; else the slot is read by its word and content.
  if (start + probe <= c->size && start + probe > end) end = start + probe;
  const int64_t last = (end - 1) / kPageSize;
  if (last != number && entry_of(c, last).number != last) {
    return nullptr;
  }
  return slot;
}

IsamError data_write(IsamDb *db, int32_t position, int32_t len,
                     const void *in) {
  if (writes_back(db) && position >= 0 && len >= 0) {
    if (DataCache *c = cache_of(db)) {
      return write_into_pages(db, c, position, len,
                              static_cast<const uint8_t *>(in));
    }
  }
  return write_through(db, position, len, in);
}

IsamError data_size(IsamDb *db, uint32_t *size) {
  if (const DataCache *c = cache_of(db)) {
    *size = static_cast<uint32_t>(c->size);
    return kIsOk;
  }
  return sys_filesize(db->data_handle, size) == 1 ? kIsOk : kIsIo;
}

IsamError data_write_back(IsamDb *db) {
  DataCache *c = db->data_cache;
  if (c == nullptr || c->dirty == 0) return kIsOk;
  IsamError first = kIsOk;
  for (CachePage &p : c->pages) {
    if (!p.dirty) continue;
    const IsamError e = write_page(db, c, p);
    if (first == kIsOk) first = e;
  }
  return first;
}

IsamError write_back_left(IsamDb *db) {
  const DataCache *c = db->data_cache;
  if (c == nullptr || c->dirty == 0) return kIsOk;
  if (const IsamError e = data_write_back(db)) return e;
  return sys_flush(db->data_handle) == 1 ? kIsOk : kIsIo;
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
