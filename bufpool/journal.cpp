// The rollback journal (format and protocol in bufpool/journal.h).
#include "bufpool/journal.h"

#include <cstring>
#include <new>

#include "frame/alloc.h"
#include "frame/bytes.h"
#include "frame/platform.h"

namespace recbase {

namespace {

constexpr uint8_t kMagic[4] = {'R', 'B', 'J', '1'};
constexpr uint16_t kVersion = 1;
constexpr uint32_t kMaxRecord = 65536;

struct Covered {
  char *name = nullptr;
  int32_t handle = -1;
  int32_t unit = kJournalPage;
  uint32_t start_size = 0;
  // One bit per unit below start_size: its image is in the journal.
  uint64_t *saved = nullptr;
  uint32_t saved_words = 0;
};

}  // namespace

struct Journal {
  char *path = nullptr;
  int32_t handle = -1;
  int32_t files = 1;
  int32_t shared = 0;
  JournalLock lock;
  Covered file[kJournalMaxFiles];
  bool active = false;    // a period is open
  bool unsynced = false;  // records appended since the last sync
  uint32_t nonce = 0;
  uint32_t end = kJournalHeaderSize;  // where the next record goes
  uint8_t *scratch = nullptr;         // a record: header and image
  uint32_t scratch_size = 0;
};

namespace {

uint32_t get32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
void put32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// A 32-bit checksum over bytes, eight at a time.
uint32_t checksum(uint32_t seed, const uint8_t *p, size_t n) {
  uint64_t h = 0xCBF29CE484222325ull ^ seed;
  for (; n >= 8; n -= 8, p += 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    h = (h ^ w) * 0x100000001B3ull;
    h ^= h >> 29;
  }
  for (; n > 0; --n, ++p) h = (h ^ *p) * 0x100000001B3ull;
  return static_cast<uint32_t>(h ^ (h >> 32));
}

struct Header {
  int32_t files = 0;
  uint32_t nonce = 0;
  uint32_t size[kJournalMaxFiles] = {0, 0};
  int32_t block_size = 0;
};

// Reads the header at the start of the journal: 1 hot (out filled), 0 not
// hot (a short file, no magic, a bad checksum), -1 read failed.
int32_t read_header(int32_t handle, Header *out, uint32_t *nonce_seen) {
  uint8_t raw[kJournalHeaderSize];
  if (sys_read(handle, 0, kJournalHeaderSize, raw) != 1) {
    return g_sys_last_error == kShortTransfer ? 0 : -1;
  }
  if (nonce_seen != nullptr) *nonce_seen = get32(raw + 8);
  if (std::memcmp(raw, kMagic, 4) != 0 || get_le16s(raw + 4) != kVersion ||
      get32(raw + 28) != checksum(0, raw, 28)) {
    return 0;
  }
  out->files = get_le16s(raw + 6);
  if (out->files < 1 || out->files > kJournalMaxFiles) return 0;
  out->nonce = get32(raw + 8);
  out->size[0] = get32(raw + 12);
  out->size[1] = get32(raw + 16);
  out->block_size = static_cast<int32_t>(get32(raw + 20));
  return 1;
}

char *copy_text(const char *text) {
  const size_t n = std::strlen(text) + 1;
  auto *copy = static_cast<char *>(rb_malloc(n));
  if (copy != nullptr) std::memcpy(copy, text, n);
  return copy;
}

bool grow_scratch(Journal *j, uint32_t need) {
  if (j->scratch_size >= need) return true;
  auto *fresh = static_cast<uint8_t *>(rb_malloc(need));
  if (fresh == nullptr) return false;
  rb_free(j->scratch);
  j->scratch = fresh;
  j->scratch_size = need;
  return true;
}

// Starts a period: notes the sizes, clears the saved bits, writes the header
// and syncs it.
int32_t begin(Journal *j) {
  uint32_t last_nonce = 0;
  Header old;
  if (read_header(j->handle, &old, &last_nonce) < 0) return -1;
  if (last_nonce == 0) last_nonce = platform_clock_ms();
  for (int32_t i = 0; i < j->files; ++i) {
    Covered &c = j->file[i];
    if (sys_filesize(c.handle, &c.start_size) != 1) return -1;
    const uint32_t words = c.start_size / static_cast<uint32_t>(c.unit) / 64 + 1;
    if (c.saved_words < words) {
      auto *bits = static_cast<uint64_t *>(rb_malloc(words * sizeof(uint64_t)));
      if (bits == nullptr) return -1;
      rb_free(c.saved);
      c.saved = bits;
      c.saved_words = words;
    }
    std::memset(c.saved, 0, words * sizeof(uint64_t));
  }
  uint8_t raw[kJournalHeaderSize] = {};
  std::memcpy(raw, kMagic, 4);
  raw[4] = kVersion & 0xFF;
  raw[6] = static_cast<uint8_t>(j->files);
  j->nonce = last_nonce + 1;
  put32(raw + 8, j->nonce);
  put32(raw + 12, j->file[0].start_size);
  put32(raw + 16, j->files > 1 ? j->file[1].start_size : 0);
  put32(raw + 20, static_cast<uint32_t>(j->file[j->lock.file].unit));
  put32(raw + 28, checksum(0, raw, 28));
  if (sys_write(j->handle, 0, kJournalHeaderSize, raw) != 1 ||
      sys_flush(j->handle) != 1) {
    return -1;
  }
  j->end = kJournalHeaderSize;
  j->active = true;
  j->unsynced = false;
  return 1;
}

bool is_saved(const Covered &c, uint32_t unit) {
  return (c.saved[unit / 64] >> (unit % 64) & 1u) != 0;
}

// Appends the image of one unit.
int32_t save_unit(Journal *j, int32_t file, uint32_t unit) {
  Covered &c = j->file[file];
  const uint32_t at = unit * static_cast<uint32_t>(c.unit);
  const uint32_t left = c.start_size - at;
  const uint32_t len = left < static_cast<uint32_t>(c.unit)
                           ? left
                           : static_cast<uint32_t>(c.unit);
  if (!grow_scratch(j, kJournalRecordHeader + static_cast<uint32_t>(c.unit))) {
    return -1;
  }
  uint8_t *rec = j->scratch;
  std::memset(rec, 0, kJournalRecordHeader);
  rec[0] = static_cast<uint8_t>(file);
  put32(rec + 4, at);
  put32(rec + 8, len);
  if (sys_read(c.handle, static_cast<int32_t>(at), static_cast<int32_t>(len),
               rec + kJournalRecordHeader) != 1) {
    return -1;
  }
  uint32_t sum = checksum(j->nonce, rec, 12);
  sum = checksum(sum, rec + kJournalRecordHeader, len);
  put32(rec + 12, sum);
  const uint32_t total = kJournalRecordHeader + len;
  if (j->end > 0x7FFFFFFFu - total ||
      sys_write(j->handle, static_cast<int32_t>(j->end),
                static_cast<int32_t>(total), rec) != 1) {
    return -1;
  }
  j->end += total;
  c.saved[unit / 64] |= uint64_t{1} << (unit % 64);
  j->unsynced = true;
  return 1;
}

}  // namespace

char *journal_path(const char *name) {
  const size_t n = std::strlen(name);
  auto *path = static_cast<char *>(rb_malloc(n + 5));
  if (path == nullptr) return nullptr;
  std::memcpy(path, name, n);
  std::memcpy(path + n, ".jnl", 5);
  return path;
}

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
  if (ok) j->handle = sys_open(path, writable, shared);
  if (!ok || j->handle == -1) {
    journal_close(j);
    return nullptr;
  }
  return j;
}

void journal_close(Journal *j) {
  if (j == nullptr) return;
  if (j->handle != -1) sys_close(j->handle);
  rb_free(j->path);
  for (Covered &c : j->file) {
    rb_free(c.name);
    rb_free(c.saved);
  }
  rb_free(j->scratch);
  j->~Journal();
  rb_free(j);
}

void journal_attach(Journal *j, int32_t file, int32_t handle, int32_t unit) {
  j->file[file].handle = handle;
  j->file[file].unit = unit;
}

int32_t journal_save(Journal *j, int32_t file, uint32_t offset, uint32_t len) {
  if (!j->active && begin(j) != 1) return -1;
  const Covered &c = j->file[file];
  if (offset >= c.start_size || len == 0) return 1;
  const uint32_t stop = offset + len < c.start_size ? offset + len
                                                     : c.start_size;
  const uint32_t unit = static_cast<uint32_t>(c.unit);
  for (uint32_t u = offset / unit; u <= (stop - 1) / unit; ++u) {
    if (!is_saved(c, u) && save_unit(j, file, u) != 1) return -1;
  }
  return 1;
}

int32_t journal_sync(Journal *j) {
  if (!j->unsynced) return 1;
  if (sys_flush(j->handle) != 1) return -1;
  j->unsynced = false;
  return 1;
}

int32_t journal_protect(Journal *j, int32_t file, uint32_t offset,
                        uint32_t len) {
  if (journal_save(j, file, offset, len) != 1) return -1;
  return journal_sync(j);
}

bool journal_active(const Journal *j) { return j->active; }

bool journal_covers(const Journal *j, int32_t file, uint32_t offset,
                    uint32_t len) {
  if (!j->active || j->unsynced) return false;
  const Covered &c = j->file[file];
  if (offset >= c.start_size || len == 0) return true;
  const uint32_t stop = offset + len < c.start_size ? offset + len
                                                     : c.start_size;
  const uint32_t unit = static_cast<uint32_t>(c.unit);
  for (uint32_t u = offset / unit; u <= (stop - 1) / unit; ++u) {
    if (!is_saved(c, u)) return false;
  }
  return true;
}

int32_t journal_end(Journal *j) {
  if (!j->active) return 1;
  static const uint8_t kZeros[4] = {};
  if (sys_write(j->handle, 0, 4, kZeros) != 1) return -1;
  j->active = false;
  j->unsynced = false;
  return 1;
}

void journal_abandon(Journal *j) {
  j->active = false;
  j->unsynced = false;
}

int32_t journal_hot_at(const char *path) {
  if (platform_file_exists(path) != 1) return 0;
  const int32_t h = sys_open(path, 0, 1);
  if (h == -1) return -1;
  Header head;
  const int32_t r = read_header(h, &head, nullptr);
  sys_close(h);
  return r;
}

int32_t journal_check(Journal *j) {
  if (j->active) return 0;
  Header head;
  return read_header(j->handle, &head, nullptr);
}

namespace {

// The rollback proper, on open handles, under the lock when shared: writes
// back every good record, gives the files their sizes, syncs them and ends
// the journal.
int32_t roll_back(int32_t jh, const Header &head, const int32_t *targets) {
  const uint32_t room = kJournalRecordHeader + kMaxRecord;
  auto *rec = static_cast<uint8_t *>(rb_malloc(room));
  if (rec == nullptr) return -1;
  int32_t result = 1;
  uint32_t at = kJournalHeaderSize;
  for (;;) {
    if (sys_read(jh, static_cast<int32_t>(at), kJournalRecordHeader, rec) !=
        1) {
      if (g_sys_last_error != kShortTransfer) result = -1;
      break;
    }
    const int32_t file = rec[0];
    const uint32_t offset = get32(rec + 4);
    const uint32_t len = get32(rec + 8);
    if (file >= head.files || len == 0 || len > kMaxRecord ||
        at > 0x7FFFFFFFu - kJournalRecordHeader - len ||
        sys_read(jh, static_cast<int32_t>(at + kJournalRecordHeader),
                 static_cast<int32_t>(len), rec + kJournalRecordHeader) != 1) {
      if (file < head.files && len <= kMaxRecord &&
          g_sys_last_error != kShortTransfer) {
        result = -1;
      }
      break;
    }
    uint32_t sum = checksum(head.nonce, rec, 12);
    sum = checksum(sum, rec + kJournalRecordHeader, len);
    if (sum != get32(rec + 12)) break;
    if (targets[file] != -1 &&
        sys_write(targets[file], static_cast<int32_t>(offset),
                  static_cast<int32_t>(len), rec + kJournalRecordHeader) != 1) {
      result = -1;
      break;
    }
    at += kJournalRecordHeader + len;
  }
  rb_free(rec);
  for (int32_t i = 0; result == 1 && i < head.files; ++i) {
    if (targets[i] == -1) continue;
    if (platform_truncate(targets[i], head.size[i]) != 1 ||
        sys_flush(targets[i]) != 1) {
      result = -1;
    }
  }
  static const uint8_t kZeros[4] = {};
  if (result == 1 && sys_write(jh, 0, 4, kZeros) != 1) result = -1;
  return result;
}

}  // namespace

int32_t journal_recover(const char *path, const char *const *names,
                        int32_t files, int32_t shared, JournalLock lock,
                        bool lock_held) {
  if (platform_file_exists(path) != 1) return 0;
  const int32_t jh = sys_open(path, 1, shared);
  if (jh == -1) return -1;
  Header head;
  int32_t r = read_header(jh, &head, nullptr);
  int32_t targets[kJournalMaxFiles] = {-1, -1};
  bool locked = false;
  const int32_t lock_len = head.block_size - lock.start;
  if (r == 1) {
    for (int32_t i = 0; i < files && i < head.files; ++i) {
      if (platform_file_exists(names[i]) != 1) continue;
      targets[i] = sys_open(names[i], 1, shared);
      if (targets[i] == -1) r = -1;
    }
  }
  if (r == 1 && shared != 0 && !lock_held && targets[lock.file] != -1 &&
      lock_len > 0) {
    const LockSettings &ls = g_lock_settings;
    locked = sys_lock(targets[lock.file], lock.start, lock_len,
                      ls.tries < 1 ? 1 : ls.tries, ls.delay_ms,
                      ls.timeout_ms) == 1;
    // Another process may have rolled back while this one waited.
    r = locked ? read_header(jh, &head, nullptr) : -1;
  }
  if (r == 1) r = roll_back(jh, head, targets) == 1 ? 1 : -1;
  if (locked) sys_unlock(targets[lock.file], lock.start, lock_len);
  for (int32_t t : targets) {
    if (t != -1) sys_close(t);
  }
  sys_close(jh);
  return r;
}

int32_t journal_recover(Journal *j, bool lock_held) {
  const char *names[kJournalMaxFiles] = {j->file[0].name, j->file[1].name};
  return journal_recover(j->path, names, j->files, j->shared, j->lock,
                         lock_held);
}

}  // namespace recbase
