// What the two halves of the rollback journal share: the open journal's
// record, and the encoding of the header and the checksum (the format is
// the table at the top of bufpool/journal.h). journal.cpp writes periods;
// journal_recover.cpp reads them back, rolls back and publishes staged files.
//
// Invariants of an open Journal:
//  1. While active, buffer[0..buffer_used) is the journal's bytes at offset
//     buffer_at: the header when buffer_at is 0, then whole records; end is
//     buffer_at + buffer_used, where the next record goes.
//  2. unsynced is set whenever anything was appended (the header included)
//     and cleared once it is written out and synced; an overwrite of a
//     covered file below the noted size waits for it to be clear, an append
//     past it only for header_synced (the size it is cut back to must be
//     on the disk first).
//  3. A unit's saved bit is set once its record is in the buffer or the
//     file, and only for units below the size noted at the start.
#ifndef RECBASE_BUFPOOL_JOURNAL_INTERNAL_H
#define RECBASE_BUFPOOL_JOURNAL_INTERNAL_H

#include <cstddef>
#include <cstdint>

#include "bufpool/journal.h"

namespace recbase {

struct JournalCovered {
  char *name = nullptr;
  int32_t handle = -1;
  int32_t unit = kJournalPage;
  uint32_t start_size = 0;
  // One bit per unit below start_size: its image is in the journal; and
  // its image is wanted by journal_save_marked.
  uint64_t *saved = nullptr;
  uint64_t *wanted = nullptr;
  uint32_t words = 0;  // of each
};

struct Journal {
  char *path = nullptr;
  int32_t handle = -1;
  int32_t files = 1;
  int32_t shared = 0;
  JournalLock lock;
  JournalCovered file[kJournalMaxFiles];
  bool active = false;         // a period is open
  bool unsynced = false;       // appended since the last sync
  bool header_synced = false;  // this period's header is on the disk
  // Something this process wrote may have left the file hot: it is not
  // known to be ended (a period written out, a staged header).
  bool written = false;
  uint32_t nonce = 0;  // of the open period, or of the last one
  uint8_t *buffer = nullptr;
  uint32_t buffer_at = 0;
  uint32_t buffer_used = 0;
};

namespace journal_detail {

constexpr uint32_t kMaxRecord = 65536;
// The write buffer: records reach the file in writes of up to this size.
constexpr uint32_t kBufferSize = 256 * 1024;

struct Header {
  int32_t files = 0;
  uint32_t nonce = 0;
  uint32_t size[kJournalMaxFiles] = {0, 0};
  int32_t block_size = 0;
  uint32_t staged = 0;
};

// A 32-bit checksum over bytes, eight at a time, seeded.
uint32_t checksum(uint32_t seed, const uint8_t *p, size_t n);
void encode_header(const Header &h, uint8_t *raw);
// Reads the header at the start of the journal: 1 hot (out filled), 0 not
// hot (a short file, no magic, a bad checksum), -1 read failed. The nonce
// the header holds, hot or not, goes to *nonce_seen when given.
int32_t read_header(int32_t handle, Header *out, uint32_t *nonce_seen);
// Zeroes the magic: the period is over. 1 / -1.
int32_t end_header(int32_t handle);
char *copy_text(const char *text);

}  // namespace journal_detail
}  // namespace recbase

#endif  // RECBASE_BUFPOOL_JOURNAL_INTERNAL_H
