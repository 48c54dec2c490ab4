// The rollback journal read back: finding a hot journal, rolling its files
// back (or its staged files forward), and publishing staged files (format
// and protocol in bufpool/journal.h).
#include "bufpool/journal_internal.h"
#include "frame/alloc.h"
#include "frame/bytes.h"
#include "frame/platform.h"

namespace recbase {

using namespace journal_detail;

namespace {

// Puts every staged file that is still there in place of its file. 1 / -1.
int32_t roll_forward(const char *const *names, int32_t files, uint32_t staged) {
  for (int32_t i = 0; i < files; ++i) {
    if ((staged >> i & 1u) == 0) continue;
    char *from = staged_path(names[i]);
    if (from == nullptr) return -1;
    int32_t r = 1;
    if (platform_file_exists(from) == 1) {
      if (platform_file_exists(names[i]) == 1 && sys_remove(names[i]) != 1) {
        r = -1;
      }
      if (r == 1 && platform_rename(from, names[i]) != 1) r = -1;
    }
    rb_free(from);
    if (r != 1) return -1;
  }
  return 1;
}

// Writes back the records that belong to the period, up to the first that
// does not. 1 / -1.
int32_t write_records(int32_t jh, const Header &head, const int32_t *targets) {
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
    const uint32_t offset = get_le32(rec + 4);
    const uint32_t len = get_le32(rec + 8);
    if (file >= head.files || len == 0 || len > kMaxRecord ||
        at > 0x7FFFFFFFu - kJournalRecordHeader - len) {
      break;
    }
    if (sys_read(jh, static_cast<int32_t>(at + kJournalRecordHeader),
                 static_cast<int32_t>(len), rec + kJournalRecordHeader) != 1) {
      if (g_sys_last_error != kShortTransfer) result = -1;
      break;
    }
    const uint32_t sum = checksum(head.nonce, rec, 12);
    if (checksum(sum, rec + kJournalRecordHeader, len) != get_le32(rec + 12)) {
      break;
    }
    if (targets[file] != -1 &&
        sys_write(targets[file], static_cast<int32_t>(offset),
                  static_cast<int32_t>(len), rec + kJournalRecordHeader) != 1) {
      result = -1;
      break;
    }
    at += kJournalRecordHeader + len;
  }
  rb_free(rec);
  return result;
}

// The rollback proper, on open handles, under the lock when shared: writes
// back every good record, gives the files their sizes, syncs them and ends
// the journal.
int32_t roll_back(int32_t jh, const Header &head, const int32_t *targets) {
  if (write_records(jh, head, targets) != 1) return -1;
  for (int32_t i = 0; i < head.files; ++i) {
    if (targets[i] == -1) continue;
    if (head.size[i] != kJournalKeepSize &&
        platform_truncate(targets[i], head.size[i]) != 1) {
      return -1;
    }
    if (sys_flush(targets[i]) != 1) return -1;
  }
  return end_header(jh) == 1 ? 1 : -1;
}

// Opens the files a rollback writes (-1 for one that is not there).
int32_t open_targets(const char *const *names, int32_t files,
                     const Header &head, int32_t shared, int32_t *targets) {
  for (int32_t i = 0; i < files && i < head.files; ++i) {
    if (platform_file_exists(names[i]) != 1) continue;
    targets[i] = sys_open(names[i], 1, shared);
    if (targets[i] == -1) return -1;
  }
  return 1;
}

}  // namespace

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

int32_t journal_recover(const char *path, const char *const *names,
                        int32_t files, int32_t shared, JournalLock lock,
                        bool lock_held) {
  if (platform_file_exists(path) != 1) return 0;
  const int32_t jh = sys_open(path, 1, shared);
  if (jh == -1) return -1;
  Header head;
  int32_t r = read_header(jh, &head, nullptr);
  // Staged files are put in place before anything is opened: the files
  // they replace are done with.
  if (r == 1 && head.staged != 0 &&
      roll_forward(names, files, head.staged) != 1) {
    r = -1;
  }
  int32_t targets[kJournalMaxFiles] = {-1, -1};
  if (r == 1 && open_targets(names, files, head, shared, targets) != 1) {
    r = -1;
  }
  bool locked = false;
  const int32_t lock_len = head.block_size - lock.start;
  if (r == 1 && shared != 0 && !lock_held && targets[lock.file] != -1 &&
      lock_len > 0) {
    const LockSettings &ls = g_lock_settings;
    locked =
        sys_lock(targets[lock.file], lock.start, lock_len,
                 ls.tries < 1 ? 1 : ls.tries, ls.delay_ms, ls.timeout_ms) == 1;
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

int32_t journal_undo(Journal *j) {
  if (!j->active) return 1;
  if (journal_sync(j) != 1) return -1;
  Header head;
  head.files = j->files;
  head.nonce = j->nonce;
  int32_t targets[kJournalMaxFiles] = {-1, -1};
  for (int32_t i = 0; i < j->files; ++i) {
    head.size[i] = j->file[i].start_size;
    targets[i] = j->file[i].handle;
  }
  if (roll_back(j->handle, head, targets) != 1) return -1;
  journal_abandon(j);
  j->written = false;
  return 1;
}

int32_t journal_publish(Journal *j, const char *path, const char *const *names,
                        int32_t files, uint32_t staged) {
  int32_t jh = j != nullptr ? j->handle : -1;
  if (jh == -1) {
    if (platform_file_exists(path) != 1) {
      jh = sys_create(path);
    } else {
      jh = sys_open(path, 1, 0);
    }
    if (jh == -1) return -1;
  }
  Header head;
  uint32_t seen = 0;
  int32_t r = read_header(jh, &head, &seen) < 0 ? -1 : 1;
  head = Header{};
  head.files = files;
  head.nonce = (j != nullptr && j->nonce > seen ? j->nonce : seen) + 1;
  if (j != nullptr) j->nonce = head.nonce;
  head.size[0] = head.size[1] = kJournalKeepSize;
  head.staged = staged;
  uint8_t raw[kJournalHeaderSize];
  encode_header(head, raw);
  if (r == 1 &&
      (sys_write(jh, 0, kJournalHeaderSize, raw) != 1 || sys_flush(jh) != 1)) {
    r = -1;
  }
  // From here the replacement has happened: a failure leaves it to the
  // next open to finish.
  if (r == 1 && roll_forward(names, files, staged) != 1) r = -1;
  if (r == 1 && end_header(jh) != 1) r = -1;
  if (j != nullptr) {
    journal_abandon(j);
    j->written = r != 1;
  } else {
    sys_close(jh);
  }
  return r;
}

}  // namespace recbase
