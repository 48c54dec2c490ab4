// The rollback journal's periods: beginning, saving images through the
// write buffer, syncing and ending (format and protocol in
// bufpool/journal.h, the shared record in bufpool/journal_internal.h).
#include <cstring>
#include <new>

#include "bufpool/journal_internal.h"
#include "frame/alloc.h"
#include "frame/bytes.h"
#include "frame/platform.h"

namespace recbase {

using namespace journal_detail;

namespace journal_detail {

namespace {

constexpr uint8_t kMagic[4] = {'R', 'B', 'J', '1'};
constexpr uint16_t kVersion = 1;

}  // namespace

uint32_t checksum(uint32_t seed, const uint8_t *p, size_t n) {
  uint64_t h = 0xCBF29CE484222325ull ^ seed;
  for (; n >= 8; n -= 8, p += 8) {
    const uint64_t w = get_le32(p) | static_cast<uint64_t>(get_le32(p + 4))
                                         << 32;
    h = (h ^ w) * 0x100000001B3ull;
    h ^= h >> 29;
  }
  for (; n > 0; --n, ++p) h = (h ^ *p) * 0x100000001B3ull;
  return static_cast<uint32_t>(h ^ (h >> 32));
}

void encode_header(const Header &h, uint8_t *raw) {
  std::memset(raw, 0, kJournalHeaderSize);
  std::memcpy(raw, kMagic, 4);
  put_le16(raw + 4, kVersion);
  put_le16(raw + 6, static_cast<uint16_t>(h.files));
  put_le32(raw + 8, h.nonce);
  put_le32(raw + 12, h.size[0]);
  put_le32(raw + 16, h.files > 1 ? h.size[1] : 0);
  put_le32(raw + 20, static_cast<uint32_t>(h.block_size));
  raw[24] = static_cast<uint8_t>(h.staged);
  put_le32(raw + 28, checksum(0, raw, 28));
}

int32_t read_header(int32_t handle, Header *out, uint32_t *nonce_seen) {
  uint8_t raw[kJournalHeaderSize];
  if (sys_read(handle, 0, kJournalHeaderSize, raw) != 1) {
    return g_sys_last_error == kShortTransfer ? 0 : -1;
  }
  if (nonce_seen != nullptr) *nonce_seen = get_le32(raw + 8);
  if (std::memcmp(raw, kMagic, 4) != 0 || get_le16(raw + 4) != kVersion ||
      get_le32(raw + 28) != checksum(0, raw, 28)) {
    return 0;
  }
  out->files = get_le16s(raw + 6);
  if (out->files < 1 || out->files > kJournalMaxFiles) return 0;
  out->nonce = get_le32(raw + 8);
  out->size[0] = get_le32(raw + 12);
  out->size[1] = get_le32(raw + 16);
  out->block_size = static_cast<int32_t>(get_le32(raw + 20));
  out->staged = raw[24];
  return 1;
}

int32_t end_header(int32_t handle) {
  static const uint8_t kZeros[4] = {};
  return sys_write(handle, 0, 4, kZeros);
}

char *copy_text(const char *text) {
  const size_t n = std::strlen(text) + 1;
  auto *copy = static_cast<char *>(rb_malloc(n));
  if (copy != nullptr) std::memcpy(copy, text, n);
  return copy;
}

}  // namespace journal_detail

namespace {

char *with_suffix(const char *name, const char *suffix) {
  const size_t n = std::strlen(name);
  auto *path = static_cast<char *>(rb_malloc(n + 5));
  if (path == nullptr) return nullptr;
  std::memcpy(path, name, n);
  std::memcpy(path + n, suffix, 5);
  return path;
}

// The next period's nonce: one more than any this journal has seen, so
// that records of every earlier period fail their checksums.
uint32_t next_nonce(Journal *j) {
  uint32_t seen = 0;
  Header old;
  if (read_header(j->handle, &old, &seen) < 0) seen = 0;
  uint32_t last = seen > j->nonce ? seen : j->nonce;
  if (last == 0) last = platform_clock_ms();
  return last + 1;
}

// Starts a period: notes the sizes, clears the saved bits, and puts the
// header at the start of the buffer (written with the first records).
int32_t begin(Journal *j) {
  Header head;
  head.files = j->files;
  for (int32_t i = 0; i < j->files; ++i) {
    JournalCovered &c = j->file[i];
    c.start_size = 0;
    if (c.handle != -1 && sys_filesize(c.handle, &c.start_size) != 1) {
      return -1;
    }
    const uint32_t words =
        c.start_size / static_cast<uint32_t>(c.unit) / 64 + 1;
    if (c.words < words) {
      auto *bits =
          static_cast<uint64_t *>(rb_malloc(2 * words * sizeof(uint64_t)));
      if (bits == nullptr) return -1;
      rb_free(c.saved);
      c.saved = bits;
      c.wanted = bits + words;
      c.words = words;
    }
    std::memset(c.saved, 0, c.words * sizeof(uint64_t));
    std::memset(c.wanted, 0, c.words * sizeof(uint64_t));
    // A file not attached is not written in this period: a rollback leaves
    // its size alone.
    head.size[i] = c.handle != -1 ? c.start_size : kJournalKeepSize;
  }
  j->nonce = next_nonce(j);
  head.nonce = j->nonce;
  head.block_size = j->file[j->lock.file].unit;
  encode_header(head, j->buffer);
  j->buffer_at = 0;
  j->buffer_used = kJournalHeaderSize;
  j->active = true;
  j->unsynced = true;
  j->header_synced = false;
  return 1;
}

bool is_saved(const JournalCovered &c, uint32_t unit) {
  return (c.saved[unit / 64] >> (unit % 64) & 1u) != 0;
}
bool is_wanted(const JournalCovered &c, uint32_t unit) {
  return (c.wanted[unit / 64] >> (unit % 64) & 1u) != 0;
}

// Writes the buffer out; it then starts empty where it ended.
int32_t write_buffer(Journal *j) {
  if (j->buffer_used == 0) return 1;
  j->written = true;
  if (sys_write(j->handle, static_cast<int32_t>(j->buffer_at),
                static_cast<int32_t>(j->buffer_used), j->buffer) != 1) {
    return -1;
  }
  j->buffer_at += j->buffer_used;
  j->buffer_used = 0;
  return 1;
}

// Room for a record of len bytes of image at the end of the buffer: its
// header's address, or null when the buffer could not be written out or
// the journal would pass the largest file offset.
uint8_t *reserve(Journal *j, uint32_t len) {
  const uint32_t total = kJournalRecordHeader + len;
  if (j->buffer_used + total > kBufferSize && write_buffer(j) != 1) {
    return nullptr;
  }
  if (j->buffer_at + j->buffer_used > 0x7FFFFFFFu - total) return nullptr;
  return j->buffer + j->buffer_used;
}

// Completes the record whose image is in place after its header at rec,
// and marks units [first, first + count) saved.
void seal(Journal *j, int32_t file, uint8_t *rec, uint32_t offset, uint32_t len,
          uint32_t first, uint32_t count) {
  std::memset(rec, 0, kJournalRecordHeader);
  rec[0] = static_cast<uint8_t>(file);
  put_le32(rec + 4, offset);
  put_le32(rec + 8, len);
  uint32_t sum = checksum(j->nonce, rec, 12);
  put_le32(rec + 12, checksum(sum, rec + kJournalRecordHeader, len));
  j->buffer_used += kJournalRecordHeader + len;
  j->unsynced = true;
  JournalCovered &c = j->file[file];
  for (uint32_t u = first; u < first + count; ++u) {
    c.saved[u / 64] |= uint64_t{1} << (u % 64);
  }
}

// Saves units [first, first + count), all unsaved and below the noted size,
// read from the file in one record.
int32_t save_run(Journal *j, int32_t file, uint32_t first, uint32_t count) {
  const JournalCovered &c = j->file[file];
  const uint32_t at = first * static_cast<uint32_t>(c.unit);
  uint32_t len = count * static_cast<uint32_t>(c.unit);
  if (len > c.start_size - at) len = c.start_size - at;
  uint8_t *rec = reserve(j, len);
  if (rec == nullptr ||
      sys_read(c.handle, static_cast<int32_t>(at), static_cast<int32_t>(len),
               rec + kJournalRecordHeader) != 1) {
    return -1;
  }
  seal(j, file, rec, at, len, first, count);
  return 1;
}

}  // namespace

char *journal_path(const char *name) { return with_suffix(name, ".jnl"); }
char *staged_path(const char *name) { return with_suffix(name, ".new"); }

Journal *journal_open(const char *path, const char *const *names, int32_t files,
                      int32_t shared, int32_t writable, JournalLock lock) {
  if (writable != 0 && platform_file_exists(path) != 1) {
    const int32_t made = sys_create(path);
    if (made != -1) sys_close(made);
  }
  void *mem = rb_malloc(sizeof(Journal));
  if (mem == nullptr) return nullptr;
  auto *j = new (mem) Journal;
  j->files = files;
  j->shared = shared;
  j->lock = lock;
  j->path = copy_text(path);
  bool ok = j->path != nullptr;
  for (int32_t i = 0; ok && i < files; ++i) {
    j->file[i].name = copy_text(names[i]);
    ok = j->file[i].name != nullptr;
  }
  if (ok && writable != 0) {
    j->buffer = static_cast<uint8_t *>(rb_malloc(kBufferSize));
    ok = j->buffer != nullptr;
  }
  if (ok) j->handle = sys_open(path, writable, shared);
  if (!ok || j->handle == -1) {
    journal_close(j);
    return nullptr;
  }
  return j;
}

void journal_close(Journal *j) {
  if (j == nullptr) return;
  // A journal this process alone writes, known to be ended, is cut to
  // nothing: a period's images need no room between opens.
  if (j->handle != -1 && j->buffer != nullptr && j->shared == 0 && !j->active &&
      !j->written) {
    platform_truncate(j->handle, 0);
  }
  if (j->handle != -1) sys_close(j->handle);
  rb_free(j->path);
  for (JournalCovered &c : j->file) {
    rb_free(c.name);
    rb_free(c.saved);  // wanted shares its allocation
  }
  rb_free(j->buffer);
  j->~Journal();
  rb_free(j);
}

void journal_attach(Journal *j, int32_t file, int32_t handle, int32_t unit) {
  j->file[file].handle = handle;
  j->file[file].unit = unit;
}

int32_t journal_save(Journal *j, int32_t file, uint32_t offset, uint32_t len) {
  if (!j->active && begin(j) != 1) return -1;
  const JournalCovered &c = j->file[file];
  if (offset >= c.start_size || len == 0) return 1;
  const uint32_t stop =
      offset + len < c.start_size ? offset + len : c.start_size;
  const uint32_t unit = static_cast<uint32_t>(c.unit);
  const uint32_t last = (stop - 1) / unit;
  const uint32_t per_record = kMaxRecord / unit > 0 ? kMaxRecord / unit : 1;
  for (uint32_t u = offset / unit; u <= last;) {
    if (is_saved(c, u)) {
      ++u;
      continue;
    }
    uint32_t n = 1;
    while (u + n <= last && n < per_record && !is_saved(c, u + n)) ++n;
    if (save_run(j, file, u, n) != 1) return -1;
    u += n;
  }
  return 1;
}

int32_t journal_mark(Journal *j, int32_t file, uint32_t offset) {
  if (!j->active && begin(j) != 1) return -1;
  JournalCovered &c = j->file[file];
  const uint32_t u = offset / static_cast<uint32_t>(c.unit);
  if (offset < c.start_size) c.wanted[u / 64] |= uint64_t{1} << (u % 64);
  return 1;
}

int32_t journal_save_marked(Journal *j, int32_t file) {
  if (!j->active) return 1;
  JournalCovered &c = j->file[file];
  const uint32_t units = (c.start_size + static_cast<uint32_t>(c.unit) - 1) /
                         static_cast<uint32_t>(c.unit);
  const uint32_t per_record = kMaxRecord / static_cast<uint32_t>(c.unit) > 0
                                  ? kMaxRecord / static_cast<uint32_t>(c.unit)
                                  : 1;
  int32_t result = 1;
  for (uint32_t u = 0; u < units;) {
    if (c.wanted[u / 64] == 0) {
      u = (u / 64 + 1) * 64;
      continue;
    }
    if (!is_wanted(c, u) || is_saved(c, u)) {
      ++u;
      continue;
    }
    uint32_t n = 1;
    while (u + n < units && n < per_record && is_wanted(c, u + n) &&
           !is_saved(c, u + n)) {
      ++n;
    }
    if (result == 1 && save_run(j, file, u, n) != 1) result = -1;
    u += n;
  }
  std::memset(c.wanted, 0, c.words * sizeof(uint64_t));
  return result;
}

int32_t journal_save_image(Journal *j, int32_t file, uint32_t offset,
                           const uint8_t *image) {
  if (!j->active && begin(j) != 1) return -1;
  const JournalCovered &c = j->file[file];
  const uint32_t unit = static_cast<uint32_t>(c.unit);
  if (offset >= c.start_size || is_saved(c, offset / unit)) return 1;
  const uint32_t len =
      c.start_size - offset < unit ? c.start_size - offset : unit;
  uint8_t *rec = reserve(j, len);
  if (rec == nullptr) return -1;
  std::memcpy(rec + kJournalRecordHeader, image, len);
  seal(j, file, rec, offset, len, offset / unit, 1);
  return 1;
}

int32_t journal_sync(Journal *j) {
  if (!j->unsynced) return 1;
  if (write_buffer(j) != 1 || sys_flush(j->handle) != 1) return -1;
  j->unsynced = false;
  j->header_synced = true;
  return 1;
}

int32_t journal_protect(Journal *j, int32_t file, uint32_t offset,
                        uint32_t len) {
  if (journal_save(j, file, offset, len) != 1) return -1;
  return journal_covers(j, file, offset, len) ? 1 : journal_sync(j);
}

bool journal_active(const Journal *j) { return j->active; }

bool journal_saved(const Journal *j, int32_t file, uint32_t offset) {
  const JournalCovered &c = j->file[file];
  return j->active && (offset >= c.start_size ||
                       is_saved(c, offset / static_cast<uint32_t>(c.unit)));
}

bool journal_covers(const Journal *j, int32_t file, uint32_t offset,
                    uint32_t len) {
  if (!j->active || !j->header_synced) return false;
  const JournalCovered &c = j->file[file];
  if (offset >= c.start_size || len == 0) return true;
  if (j->unsynced) return false;
  const uint32_t stop =
      offset + len < c.start_size ? offset + len : c.start_size;
  const uint32_t unit = static_cast<uint32_t>(c.unit);
  for (uint32_t u = offset / unit; u <= (stop - 1) / unit; ++u) {
    if (!is_saved(c, u)) return false;
  }
  return true;
}

int32_t journal_end(Journal *j) {
  if (!j->active) return 1;
  // Whatever never reached the file needs no ending; the header on the
  // file, if it got there, does.
  if (end_header(j->handle) != 1) return -1;
  j->written = false;
  j->active = false;
  j->unsynced = false;
  j->buffer_used = 0;
  return 1;
}

void journal_abandon(Journal *j) {
  j->active = false;
  j->unsynced = false;
  j->buffer_used = 0;
}

}  // namespace recbase
