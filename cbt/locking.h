// Shared access between processes: reader and writer locks in the lock
// region of block 0, synchronisation through the control record's change
// counter, and the commit that writes a change through before its lock goes.
//
// Lock flags of a CbFile (bits):
//   2  the reader byte (reader_slot) is locked     1  ... taken by cblock(1)
//   32 the writer ranges are locked                16 ... taken by cblock(2)
// A lock without its explicit bit is implicit: it belongs to the running
// call and goes at its end (release).
//
//   0 --sync--> 2 --release--> 0          0 --cblock 1--> 3 --cbunlock 1--> 0
//   0 --writer lock--> 32 --commit/release--> 0
//   0 --cblock 2--> 48 --cbunlock 2 (write-back)--> 0
//   3 --cblock 2--> 51 (writer ranges around the held reader byte)
//
// A reader holds one byte of [36, block_size); a writer holds all of it (as
// the two ranges around its own reader byte when it holds one). So readers
// exclude only writers, a writer excludes everyone. The OS locks are
// released exactly as they were taken (CbFile::reader_byte_locked,
// writer_around): a reader lock taken or dropped while the writer ranges
// are held changes only the flags, and the reader byte's own lock follows
// the flags when the writer ranges go.
//
// On a file opened without sharing the same steps run, set and clear the
// flags, and take no OS lock and re-read nothing.
#ifndef RECBASE_CBT_LOCKING_H
#define RECBASE_CBT_LOCKING_H

#include <cstdint>

#include "cbt/tree.h"

namespace recbase::cbt {

// Reads the 36-byte control record from disk into *out after checking its
// parity: -1 with kErrGetBlock/ctx (read) or kErrParity/ctx (parity).
int32_t read_control(Op &op, ControlRecord *out, int32_t ctx);
// Writes the in-memory control record (parity recomputed): -1 with
// kErrPutBlock/kCtxWriteControl,
// and the record is then pending (CbFile::control_pending).
int32_t write_control(Op &op);
// Writes a pending control record when the file still holds the record this
// process last saw there (else another process has committed since, and
// the pending one is dropped). Needs the writer lock. 1, or -1 with
// kErrGetBlock or kErrPutBlock and kCtxWriteControl.
int32_t write_pending_control(Op &op);

int32_t reader_lock(Op &op);
int32_t writer_lock(Op &op);
// Brings the in-memory control record up to date with the disk; a change by
// another process purges the file's buffered blocks. Takes an implicit
// reader lock when no lock is held.
int32_t synchronise(Op &op);
// Ends a change: count_change adds 1 to change_counter; on a shared file
// everything is written through and the implicit lock released, unless
// may_defer and an explicit writer lock with deferred flush allow waiting.
int32_t commit(Op &op, bool count_change, bool may_defer);
// Releases the implicit locks of the running call.
int32_t release(Op &op);
// Releases every lock held on the file (last close).
int32_t release_all(Op &op);

}  // namespace recbase::cbt

#endif  // RECBASE_CBT_LOCKING_H
