// The Win32 implementations of the fifteen platform slots, with the full
// path names, renaming and file existence beside the table. Like its
// sibling for Linux, this file is the only place that calls the operating
// system for files, locks, time and sleeping.
//
//  - Files are opened with CreateFileA, write-through and random access,
//    sharing nothing (create, exclusive open) or reading and writing
//    (shared open); the system's share modes then keep an exclusive open
//    and every other open of the file apart, in this process or another.
//  - A handle is the HANDLE's value as a 32-bit number: Windows keeps
//    kernel handles within 32 bits on 64-bit systems too, so the value
//    converts back by sign extension (INVALID_HANDLE_VALUE is -1).
//  - Positioning is SetFilePointer from the file's beginning with no high
//    part; a read or write that moves fewer bytes than asked fails with 30.
//  - Byte-range locks are LockFile/UnlockFile: exclusive, per handle, and
//    released only by the exact range that was locked. A range that another
//    handle holds cannot be read or written through this one meanwhile.
//  - The millisecond clock is timeGetTime; sleeping is Sleep.
//  - Files are cut short with SetFilePointer and SetEndOfFile.
//  - DeleteFileA and MoveFileA refuse a file that an open holds (no open
//    shares delete access), and MoveFileA never replaces a file.
//
// The arguments are checked as on Linux before any system call: a null name
// or buffer, a negative offset or length fail with ERROR_INVALID_PARAMETER,
// a range past 2^31 - 1 bytes with ERROR_FILE_TOO_LARGE.
#include <windows.h>
#include <mmsystem.h>

#include <cstdint>

#include "frame/platform.h"
#include "frame/platform_common.h"

namespace recbase {
namespace {

using platform_detail::LockTry;
using platform_detail::RangeCheck;

constexpr DWORD kShareNone = 0;
constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kFileFlags = FILE_FLAG_WRITE_THROUGH | FILE_FLAG_RANDOM_ACCESS;

HANDLE to_native(int32_t handle) {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle));
}
int32_t from_native(HANDLE handle) {
  return static_cast<int32_t>(reinterpret_cast<intptr_t>(handle));
}

int32_t fail(DWORD err) {
  g_sys_last_error = static_cast<int32_t>(err);
  return -1;
}
int32_t fail_last() { return fail(GetLastError()); }

// The native error of a failed range check (0 when it passed).
DWORD error_of(RangeCheck r) {
  return r == RangeCheck::kOk        ? 0
         : r == RangeCheck::kInvalid ? ERROR_INVALID_PARAMETER
                                     : ERROR_FILE_TOO_LARGE;
}

int32_t open_file(const char *name, DWORD access, DWORD share,
                  DWORD disposition) {
  if (name == nullptr) return fail(ERROR_INVALID_PARAMETER);
  const HANDLE h = CreateFileA(name, access, share, nullptr, disposition,
                               kFileFlags, nullptr);
  return h == INVALID_HANDLE_VALUE ? fail_last() : from_native(h);
}

int32_t native_close(int32_t handle) {
  return CloseHandle(to_native(handle)) == 1 ? 0 : fail_last();
}

// A handle opened for reading only cannot be flushed (ERROR_ACCESS_DENIED),
// and has written nothing that a flush would have to write: 1.
int32_t native_flush(int32_t handle) {
  if (g_flush_settings.skip_os_flush != 0) return 1;
  if (FlushFileBuffers(to_native(handle))) return 1;
  return GetLastError() == ERROR_ACCESS_DENIED ? 1 : fail_last();
}

int32_t native_create(const char *name) {
  return open_file(name, GENERIC_READ | GENERIC_WRITE, kShareNone,
                   CREATE_NEW);
}

int32_t native_sleep(int32_t milliseconds) {
  if (milliseconds > 0) Sleep(static_cast<DWORD>(milliseconds));
  return 1;
}

int32_t native_filesize(int32_t handle, uint32_t *size) {
  if (size == nullptr) return fail(ERROR_INVALID_PARAMETER);
  SetLastError(NO_ERROR);
  const DWORD n = GetFileSize(to_native(handle), nullptr);
  if (n == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return fail_last();
  *size = n;
  return 1;
}

LockTry try_lock(int32_t handle, int32_t offset, int32_t length) {
  if (LockFile(to_native(handle), static_cast<DWORD>(offset), 0,
               static_cast<DWORD>(length), 0) == 1) {
    return LockTry::kLocked;
  }
  return GetLastError() == ERROR_LOCK_VIOLATION ? LockTry::kBusy
                                                : LockTry::kError;
}

int32_t native_lock(int32_t handle, int32_t offset, int32_t length,
                    int32_t tries, int32_t delay_ms, int32_t timeout_ms) {
  if (!platform_detail::lockable_range(offset, length)) return -1;
  return platform_detail::lock_with_retries(
      [&] { return try_lock(handle, offset, length); }, tries, delay_ms,
      timeout_ms, native_sleep);
}

int32_t native_open(const char *name, int32_t writable, int32_t shared) {
  return open_file(
      name, writable != 0 ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ,
      shared != 0 ? kShareReadWrite : kShareNone, OPEN_EXISTING);
}

// Positions the file at offset; false (error stored) when it does not land
// there.
bool seek(HANDLE h, int32_t offset) {
  const DWORD at = SetFilePointer(h, offset, nullptr, FILE_BEGIN);
  if (at == static_cast<DWORD>(offset)) return true;
  fail_last();
  return false;
}

int32_t native_read(int32_t handle, int32_t offset, int32_t length,
                    void *buffer) {
  if (const DWORD err =
          error_of(platform_detail::check_range(offset, length, buffer))) {
    return fail(err);
  }
  const HANDLE h = to_native(handle);
  if (!seek(h, offset)) return -1;
  DWORD done = 0;
  if (!ReadFile(h, buffer, static_cast<DWORD>(length), &done, nullptr)) {
    return fail_last();
  }
  return done == static_cast<DWORD>(length) ? 1 : fail(kShortTransfer);
}

int32_t native_write(int32_t handle, int32_t offset, int32_t length,
                     const void *buffer) {
  if (const DWORD err =
          error_of(platform_detail::check_range(offset, length, buffer))) {
    return fail(err);
  }
  const HANDLE h = to_native(handle);
  if (!seek(h, offset)) return -1;
  DWORD done = 0;
  if (!WriteFile(h, buffer, static_cast<DWORD>(length), &done, nullptr)) {
    return fail_last();
  }
  return done == static_cast<DWORD>(length) ? 1 : fail(kShortTransfer);
}

int32_t native_readblock(int32_t handle, uint32_t block, int32_t block_size,
                         void *buffer) {
  int32_t offset = 0;
  if (const DWORD err = error_of(platform_detail::check_block(
          block, block_size, buffer, &offset))) {
    return fail(err);
  }
  return native_read(handle, offset, block_size, buffer);
}

int32_t native_writeblock(int32_t handle, uint32_t block, int32_t block_size,
                          const void *buffer) {
  int32_t offset = 0;
  if (const DWORD err = error_of(platform_detail::check_block(
          block, block_size, buffer, &offset))) {
    return fail(err);
  }
  return native_write(handle, offset, block_size, buffer);
}

int32_t native_remove(const char *name) {
  if (name == nullptr) return fail(ERROR_INVALID_PARAMETER);
  return DeleteFileA(name) ? 1 : fail_last();
}

int32_t native_unlock(int32_t handle, int32_t offset, int32_t length) {
  if (!platform_detail::lockable_range(offset, length)) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  return UnlockFile(to_native(handle), static_cast<DWORD>(offset), 0,
                    static_cast<DWORD>(length), 0)
             ? 1
             : fail_last();
}

const PlatformServices kNative = {
    native_close,      native_flush,     native_create, native_sleep,
    native_filesize,   native_lock,      native_open,   native_print,
    native_read,       native_readblock, native_remove, native_write,
    native_writeblock, native_unlock,    native_idle,
};

}  // namespace

const PlatformServices &platform_native() { return kNative; }

int32_t native_rename(const char *from, const char *to) {
  if (from == nullptr || to == nullptr) return fail(ERROR_INVALID_PARAMETER);
  return MoveFileA(from, to) ? 1 : fail_last();
}

int32_t native_file_exists(const char *name) {
  return name != nullptr && GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES
             ? 1
             : 0;
}

// SetEndOfFile cuts (or extends) the file at the file pointer; the other
// calls position the handle before every transfer, so moving it here
// disturbs nothing.
int32_t native_truncate(int32_t handle, uint32_t size) {
  if (size > static_cast<uint32_t>(platform_detail::kMaxFileBytes)) {
    return fail(ERROR_FILE_TOO_LARGE);
  }
  const HANDLE h = to_native(handle);
  if (!seek(h, static_cast<int32_t>(size))) return -1;
  return SetEndOfFile(h) ? 1 : fail_last();
}

// Space is not held ahead on Windows: the pool writes each new block at
// once, as the file grows.
int32_t native_reserve(int32_t, uint32_t, uint32_t) { return 0; }

int32_t platform_full_path(const char *name, char *out, int32_t out_size) {
  if (name == nullptr || name[0] == '\0' || out == nullptr || out_size < 2) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  const DWORD n =
      GetFullPathNameA(name, static_cast<DWORD>(out_size), out, nullptr);
  if (n == 0) return fail_last();
  // A result of out_size or more is the size the path would need.
  if (n >= static_cast<DWORD>(out_size)) {
    return fail(ERROR_FILENAME_EXCED_RANGE);
  }
  return static_cast<int32_t>(n);
}

uint32_t platform_clock_ms() { return timeGetTime(); }

void platform_back_memory(void *, std::size_t) {}

}  // namespace recbase
