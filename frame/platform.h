// The platform services table: the one door from the library to the
// operating system for files, byte-range locks, sleeping and printing.
//
// Invariants:
//  1. Nothing outside frame/platform_*.cpp calls the operating system for
//     these services; everything goes through g_platform, reached from the
//     engine through the inline wrappers below (the one place where calls can
//     be counted and faults injected: tests replace slots of the table).
//  2. Before platform_fill() has run (cbinit runs it) only sys_print and
//     sys_idle hold implementations; the other slots are null.
//     platform_fill() stores all fifteen slots, sys_print included.
//  3. A file handle is a 32-bit value; -1 is never a valid handle and is the
//     failure result of sys_open and sys_create.
//  4. Offsets and lengths are 32-bit: a file is at most 2^31 - 1 bytes.
//  5. A failed slot stores the native error in g_sys_last_error (30 for a
//     read or write that moved fewer bytes than asked); nothing in the
//     library clears it, only a caller through cbclear_syserr.
//
// Linux implementation (frame/platform_linux.cpp):
//  - Files are opened with open(2) without O_SYNC/O_DSYNC; data reaches the
//    disk at sys_flush (fdatasync), which the B-tree layer calls at its
//    flush points. Reads and writes are pread/pwrite, looping over partial
//    transfers and EINTR.
//  - Share modes: every open takes an advisory whole-file lock with flock(2)
//    on its own open file description, LOCK_SH for a shared open and LOCK_EX
//    for an exclusive open or a create, without waiting. So an exclusive open
//    fails while any other open of the file exists, in this process or
//    another, and a shared open fails while an exclusive one exists. sys_open
//    and sys_create fail with EWOULDBLOCK in g_sys_last_error then.
//    sys_remove refuses (EBUSY) to unlink a file that another open holds.
//    flock locks are independent of the byte-range locks below on local file
//    systems; on NFS, where Linux emulates flock with byte-range locks, share
//    modes are not supported.
//  - Byte-range locks are open-file-description locks (F_OFD_SETLK): they
//    belong to the open file description, so two handles conflict even
//    inside one process, a failed try returns at once, and closing one
//    descriptor of a file does not drop the locks of another. A handle
//    opened for writing takes exclusive (write) locks; a handle opened
//    read-only can only take shared (read) locks, which still exclude every
//    lock of a writable handle but not each other.
//  - The millisecond clock is CLOCK_MONOTONIC; sleeping is nanosleep.
//  - The default print routine writes to standard output, which it makes
//    unbuffered on its first call.
//  - Renaming never replaces a file: renameat2 with RENAME_NOREPLACE, or
//    link and unlink on file systems without it. Like removing, it refuses
//    (EBUSY) a file that another open holds.
//  - Full path names (platform_full_path) are made from the current
//    directory and the name by text alone: "." and ".." and repeated
//    separators are resolved as written, symbolic links are not followed,
//    and the named file need not exist.
#ifndef RECBASE_FRAME_PLATFORM_H
#define RECBASE_FRAME_PLATFORM_H

#include <cstddef>
#include <cstdint>

#include "recbase/defs.h"

namespace recbase {

// The fifteen slots, in their fixed order. Results are 1 / -1 unless noted.
struct PlatformServices {
  // 0 on success, -1 on failure.
  int32_t (*sys_close)(int32_t handle);
  // 1 at once while skip_os_flush is set; else fdatasync.
  int32_t (*sys_flush)(int32_t handle);
  // Creates a new file, read-write and exclusive; -1 when it exists.
  int32_t (*sys_create)(const char *name);
  // Always 1.
  int32_t (*sys_sleep)(int32_t milliseconds);
  // File size through *size.
  int32_t (*sys_filesize)(int32_t handle, uint32_t *size);
  // Locks [offset, offset + length): one try, then up to tries - 1 more,
  // sleeping delay_ms (through sys_sleep) before each, giving up once more
  // than timeout_ms have passed since the first failure. Does not store
  // g_sys_last_error.
  int32_t (*sys_lock)(int32_t handle, int32_t offset, int32_t length,
                      int32_t tries, int32_t delay_ms, int32_t timeout_ms);
  // Opens an existing file; handle or -1.
  int32_t (*sys_open)(const char *name, int32_t writable, int32_t shared);
  // Prints a zero-terminated text; replaceable with cbset_print.
  RbPrint sys_print;
  int32_t (*sys_read)(int32_t handle, int32_t offset, int32_t length,
                      void *buffer);
  // sys_read of block_size bytes at block * block_size.
  int32_t (*sys_readblock)(int32_t handle, uint32_t block, int32_t block_size,
                           void *buffer);
  int32_t (*sys_remove)(const char *name);
  int32_t (*sys_write)(int32_t handle, int32_t offset, int32_t length,
                       const void *buffer);
  int32_t (*sys_writeblock)(int32_t handle, uint32_t block, int32_t block_size,
                            const void *buffer);
  int32_t (*sys_unlock)(int32_t handle, int32_t offset, int32_t length);
  // Always 1; no operating-system call.
  int32_t (*sys_idle)();
};

// The process-wide table.
extern PlatformServices g_platform;
// The native error of the most recent failed file operation.
extern int32_t g_sys_last_error;
// Value stored in g_sys_last_error for a short read or write.
constexpr int32_t kShortTransfer = 30;

// Lock retry settings (cblock_timeout) and flush settings (cb_set_flush).
struct LockSettings {
  int32_t tries = 25;
  int32_t delay_ms = 50;
  int32_t timeout_ms = 10000;
};
struct FlushSettings {
  int32_t deferred_flush = 1;
  int32_t skip_os_flush = 0;
};
extern LockSettings g_lock_settings;
extern FlushSettings g_flush_settings;

// Stores all fifteen native implementations in g_platform.
void platform_fill();
// The native implementations, for tests that wrap a slot and call through.
const PlatformServices &platform_native();
// Milliseconds from an arbitrary origin (wraps; compare differences signed).
uint32_t platform_clock_ms();
// Gives the whole pages of [at, at + length), memory this process allocated
// and may write, their memory now, in one call, instead of one page fault at
// each page's first touch. Only a hint: the contents stay as they are, and
// when the system cannot (an older kernel, no memory to spare) nothing
// changes and the pages are given memory when first touched. Linux: madvise
// with MADV_POPULATE_WRITE. Windows: nothing (committed pages are given
// memory at first touch, and no one call does it sooner).
void platform_back_memory(void *at, std::size_t length);
// The full path of a file name, relative names taken from the current
// directory, written with its terminator into out (out_size bytes). The file
// need not exist; a trailing separator of the name is kept. Returns the
// path's length, or -1 (native error in g_sys_last_error) for a null or empty
// name, an unreadable current directory, or a path of out_size bytes or more.
int32_t platform_full_path(const char *name, char *out, int32_t out_size);

// Four file operations beside the table: renaming and the existence test
// for the ISAM layer's whole-database calls, cutting a file short for the
// rollback journal (which gives a file back the size it had at the last
// flush point), and holding disk space for blocks not yet written (the pool
// lets a new block wait for write-back once its space is held).
// Constant-initialised with the native implementations, so they work
// before cbinit; tests may replace them as they replace slots of the table.
struct PlatformFiles {
  // Renames the file from to the name to. Fails (-1) when to exists, when
  // from does not, or when another open holds from.
  int32_t (*rename)(const char *from, const char *to);
  // 1 when a file (or directory) of that name exists, else 0.
  int32_t (*file_exists)(const char *name);
  // Sets the size of a file opened for writing to size bytes (ftruncate;
  // SetFilePointer and SetEndOfFile on Windows). 1 / -1 (stores
  // g_sys_last_error).
  int32_t (*truncate)(int32_t handle, uint32_t size);
  // Holds disk space for [offset, offset + length) of a file opened for
  // writing without changing its size, so that writing there later cannot
  // fail for want of space: 1 held; 0 when the file system cannot hold
  // space without writing (nothing done); -1 on failure, such as a full
  // disk (stores g_sys_last_error). Linux: fallocate with
  // FALLOC_FL_KEEP_SIZE; cutting the file to its own size gives back what
  // lies beyond its end. Windows: always 0.
  int32_t (*reserve)(int32_t handle, uint32_t offset, uint32_t length);
};
extern PlatformFiles g_platform_files;
// The native implementations, for tests that wrap one and call through.
const PlatformFiles &platform_files_native();

// Wrappers through which the library reaches the table.
inline int32_t sys_close(int32_t h) { return g_platform.sys_close(h); }
inline int32_t sys_flush(int32_t h) { return g_platform.sys_flush(h); }
inline int32_t sys_create(const char *name) {
  return g_platform.sys_create(name);
}
inline int32_t sys_sleep(int32_t ms) { return g_platform.sys_sleep(ms); }
inline int32_t sys_filesize(int32_t h, uint32_t *size) {
  return g_platform.sys_filesize(h, size);
}
inline int32_t sys_lock(int32_t h, int32_t offset, int32_t length,
                        int32_t tries, int32_t delay_ms, int32_t timeout_ms) {
  return g_platform.sys_lock(h, offset, length, tries, delay_ms, timeout_ms);
}
inline int32_t sys_open(const char *name, int32_t writable, int32_t shared) {
  return g_platform.sys_open(name, writable, shared);
}
// A caller may install a null print routine (cbset_print does not check);
// printing then fails with -1 instead of calling through null.
inline int32_t sys_print(const char *text) {
  return g_platform.sys_print != nullptr ? g_platform.sys_print(text) : -1;
}
inline int32_t sys_read(int32_t h, int32_t offset, int32_t length,
                        void *buffer) {
  return g_platform.sys_read(h, offset, length, buffer);
}
inline int32_t sys_readblock(int32_t h, uint32_t block, int32_t block_size,
                             void *buffer) {
  return g_platform.sys_readblock(h, block, block_size, buffer);
}
inline int32_t sys_remove(const char *name) {
  return g_platform.sys_remove(name);
}
inline int32_t sys_write(int32_t h, int32_t offset, int32_t length,
                         const void *buffer) {
  return g_platform.sys_write(h, offset, length, buffer);
}
inline int32_t sys_writeblock(int32_t h, uint32_t block, int32_t block_size,
                              const void *buffer) {
  return g_platform.sys_writeblock(h, block, block_size, buffer);
}
inline int32_t sys_unlock(int32_t h, int32_t offset, int32_t length) {
  return g_platform.sys_unlock(h, offset, length);
}
inline int32_t platform_rename(const char *from, const char *to) {
  return g_platform_files.rename(from, to);
}
inline int32_t platform_reserve(int32_t handle, uint32_t offset,
                                uint32_t length) {
  return g_platform_files.reserve(handle, offset, length);
}
inline int32_t platform_file_exists(const char *name) {
  return g_platform_files.file_exists(name);
}
inline int32_t platform_truncate(int32_t handle, uint32_t size) {
  return g_platform_files.truncate(handle, size);
}

}  // namespace recbase

// The exported calls that store the settings above and the print routine
// (frame/platform_table.cpp). recbase/cbt.h declares them with their
// contracts; they are declared again here, with the same C linkage and
// visibility, for the layers below it. cbt/decl_check.cpp compiles both
// declarations together, so the compiler rejects any difference.
extern "C" {
RBAPI RbPrint RBCALL cbset_print(RbPrint print_function);
RBAPI void RBCALL cblock_timeout(int32_t tries, int32_t delay_ms,
                                 int32_t timeout_ms);
RBAPI void RBCALL cb_set_flush(int32_t deferred, int32_t skip);
}  // extern "C"

#endif  // RECBASE_FRAME_PLATFORM_H
