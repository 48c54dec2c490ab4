// The Linux implementations of the fifteen platform slots. This file and its
// siblings for other systems are the only places that call the operating
// system for files, locks, time, sleeping and plain output; the mechanisms
// (flock share modes, open-file-description byte-range locks, fdatasync at
// flush points) are described at the top of frame/platform.h.
//
// Every slot validates its arguments before any system call: a null name or
// buffer, a negative offset or length, or a byte range that would pass the
// 2^31 - 1 byte limit of a file fails with -1 and EINVAL or EFBIG in
// g_sys_last_error (sys_lock only answers -1: it never stores an error).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>  // renameat2
#include <cstring>

#include "frame/platform.h"
#include "frame/platform_common.h"

namespace recbase {
namespace {

using platform_detail::LockTry;
using platform_detail::RangeCheck;

int32_t fail(int err) {
  g_sys_last_error = err;
  return -1;
}

// The native error of a failed range check (0 when it passed).
int errno_of(RangeCheck r) {
  return r == RangeCheck::kOk ? 0 : r == RangeCheck::kInvalid ? EINVAL : EFBIG;
}

// The access mode of every handle opened here, so that a lock needs no
// system call to learn which kind of lock the handle may take. Two bits per
// handle below kModeTableSize: known, and read-only. Handles beyond the
// table (or not opened here) ask the kernel.
constexpr int kModeTableSize = 4096;
uint8_t g_mode_known[kModeTableSize / 8];
uint8_t g_mode_read_only[kModeTableSize / 8];

void remember_mode(int fd, bool read_only) {
  if (fd < 0 || fd >= kModeTableSize) return;
  const uint8_t bit = static_cast<uint8_t>(1u << (fd & 7));
  g_mode_known[fd >> 3] |= bit;
  if (read_only) {
    g_mode_read_only[fd >> 3] |= bit;
  } else {
    g_mode_read_only[fd >> 3] &= static_cast<uint8_t>(~bit);
  }
}

void forget_mode(int fd) {
  if (fd < 0 || fd >= kModeTableSize) return;
  g_mode_known[fd >> 3] &= static_cast<uint8_t>(~(1u << (fd & 7)));
}

// 1 read-only, 0 writable, -1 unknown handle.
int read_only_mode(int fd) {
  if (fd >= 0 && fd < kModeTableSize &&
      (g_mode_known[fd >> 3] & (1u << (fd & 7))) != 0) {
    return (g_mode_read_only[fd >> 3] >> (fd & 7)) & 1;
  }
  const int mode = fcntl(fd, F_GETFL);
  if (mode < 0) return -1;
  return (mode & O_ACCMODE) == O_RDONLY ? 1 : 0;
}

// Takes the share-mode lock of a fresh descriptor; closes it on conflict.
int32_t share_or_close(int fd, int how, bool read_only) {
  remember_mode(fd, read_only);
  if (flock(fd, how | LOCK_NB) == 0) return fd;
  forget_mode(fd);
  const int err = errno;
  close(fd);
  return fail(err);
}

int32_t native_close(int32_t handle) {
  forget_mode(handle);
  if (close(handle) != 0) return fail(errno);
  return 0;
}

int32_t native_flush(int32_t handle) {
  if (g_flush_settings.skip_os_flush != 0) return 1;
  if (fdatasync(handle) != 0) return fail(errno);
  return 1;
}

int32_t native_create(const char *name) {
  if (name == nullptr) return fail(EINVAL);
  const int fd = open(name, O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666);
  if (fd < 0) return fail(errno);
  return share_or_close(fd, LOCK_EX, false);
}

int32_t native_sleep(int32_t milliseconds) {
  if (milliseconds <= 0) return 1;
  timespec left{milliseconds / 1000,
                static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
  return 1;
}

int32_t native_filesize(int32_t handle, uint32_t *size) {
  if (size == nullptr) return fail(EINVAL);
  struct stat st;
  if (fstat(handle, &st) != 0) return fail(errno);
  // off_t may be 32 bits wide (a 32-bit build without large-file offsets):
  // compared in 64 bits, a size above what uint32_t holds stays caught.
  if (static_cast<uint64_t>(st.st_size) > UINT32_MAX) return fail(EFBIG);
  *size = static_cast<uint32_t>(st.st_size);
  return 1;
}

// One non-blocking attempt. A handle opened read-only can only hold read
// locks; a writable one takes write locks, which exclude every other lock.
LockTry try_lock(int32_t handle, int32_t offset, int32_t length) {
  const int read_only = read_only_mode(handle);
  if (read_only < 0) return LockTry::kError;
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);  // l_pid must be 0 for OFD locks
  fl.l_type = read_only != 0 ? F_RDLCK : F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = offset;
  fl.l_len = length;
  if (fcntl(handle, F_OFD_SETLK, &fl) == 0) return LockTry::kLocked;
  return (errno == EAGAIN || errno == EACCES) ? LockTry::kBusy
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
  if (name == nullptr) return fail(EINVAL);
  const int fd = open(name, (writable != 0 ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  if (fd < 0) return fail(errno);
  return share_or_close(fd, shared != 0 ? LOCK_SH : LOCK_EX, writable == 0);
}

}  // namespace

// Renames without replacing: the kernel refuses an existing target
// atomically where the file system supports it; elsewhere link(2), which
// also refuses one, then unlink(2) of the old name.
int32_t native_rename(const char *from, const char *to) {
  if (from == nullptr || to == nullptr) return fail(EINVAL);
  const int fd = open(from, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(errno);
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return fail(EBUSY);
  }
  int32_t result = 1;
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) != 0) {
    if (errno != EINVAL && errno != ENOSYS) {
      result = fail(errno);
    } else if (link(from, to) != 0) {
      result = fail(errno);
    } else if (unlink(from) != 0) {
      const int err = errno;
      unlink(to);
      result = fail(err);
    }
  }
  close(fd);
  return result;
}

int32_t native_file_exists(const char *name) {
  struct stat st;
  return name != nullptr && stat(name, &st) == 0 ? 1 : 0;
}

int32_t native_truncate(int32_t handle, uint32_t size) {
  if (size > static_cast<uint32_t>(platform_detail::kMaxFileBytes)) return fail(EFBIG);
  while (ftruncate(handle, static_cast<off_t>(size)) != 0) {
    if (errno != EINTR) return fail(errno);
  }
  return 1;
}

int32_t native_reserve(int32_t handle, uint32_t offset, uint32_t length) {
  const uint64_t end = static_cast<uint64_t>(offset) + length;
  if (length == 0 ||
      end > static_cast<uint64_t>(platform_detail::kMaxFileBytes)) {
    return fail(EFBIG);
  }
  while (fallocate(handle, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                   static_cast<off_t>(length)) != 0) {
    if (errno == EOPNOTSUPP || errno == ENOSYS) return 0;
    if (errno != EINTR) return fail(errno);
  }
  return 1;
}

namespace {

int32_t native_read(int32_t handle, int32_t offset, int32_t length,
                    void *buffer) {
  if (const int err = errno_of(platform_detail::check_range(offset, length,
                                                            buffer))) {
    return fail(err);
  }
  auto *at = static_cast<uint8_t *>(buffer);
  int64_t done = 0;
  while (done < length) {
    const ssize_t n = pread(handle, at + done, length - done, offset + done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(errno);
    }
    if (n == 0) return fail(kShortTransfer);
    done += n;
  }
  return 1;
}

int32_t native_write(int32_t handle, int32_t offset, int32_t length,
                     const void *buffer) {
  if (const int err = errno_of(platform_detail::check_range(offset, length,
                                                            buffer))) {
    return fail(err);
  }
  const auto *at = static_cast<const uint8_t *>(buffer);
  int64_t done = 0;
  while (done < length) {
    const ssize_t n = pwrite(handle, at + done, length - done, offset + done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(errno);
    }
    if (n == 0) return fail(kShortTransfer);
    done += n;
  }
  return 1;
}

int32_t native_readblock(int32_t handle, uint32_t block, int32_t block_size,
                         void *buffer) {
  int32_t offset = 0;
  if (const int err = errno_of(platform_detail::check_block(
          block, block_size, buffer, &offset))) {
    return fail(err);
  }
  return native_read(handle, offset, block_size, buffer);
}

int32_t native_writeblock(int32_t handle, uint32_t block, int32_t block_size,
                          const void *buffer) {
  int32_t offset = 0;
  if (const int err = errno_of(platform_detail::check_block(
          block, block_size, buffer, &offset))) {
    return fail(err);
  }
  return native_write(handle, offset, block_size, buffer);
}

// A file that another open holds (any flock on it) is not removed: the
// other holder would go on working on a file that no longer has a name.
int32_t native_remove(const char *name) {
  if (name == nullptr) return fail(EINVAL);
  const int fd = open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno != EACCES) return fail(errno);
    // Unreadable but perhaps removable: no open can be checked for.
    return unlink(name) == 0 ? 1 : fail(errno);
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return fail(EBUSY);
  }
  const int32_t result = unlink(name) == 0 ? 1 : fail(errno);
  close(fd);
  return result;
}

int32_t native_unlock(int32_t handle, int32_t offset, int32_t length) {
  if (!platform_detail::lockable_range(offset, length)) return fail(EINVAL);
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = F_UNLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = offset;
  fl.l_len = length;
  if (fcntl(handle, F_OFD_SETLK, &fl) != 0) return fail(errno);
  return 1;
}

const PlatformServices kNative = {
    native_close,      native_flush,     native_create, native_sleep,
    native_filesize,   native_lock,      native_open,   native_print,
    native_read,       native_readblock, native_remove, native_write,
    native_writeblock, native_unlock,    native_idle,
};

}  // namespace

const PlatformServices &platform_native() { return kNative; }

namespace {

// Appends the components of text to the absolute path out[0, *len), which
// has no trailing separator unless it is the root: "." is dropped, ".."
// removes the last component (never the root). False when out_size would
// be reached.
bool append_components(const char *text, char *out, int32_t out_size,
                       int32_t *len) {
  for (const char *p = text; *p != '\0';) {
    while (*p == '/') ++p;
    const char *end = p;
    while (*end != '\0' && *end != '/') ++end;
    const int64_t n = end - p;
    if (n == 0 || (n == 1 && p[0] == '.')) {
      // nothing to add
    } else if (n == 2 && p[0] == '.' && p[1] == '.') {
      while (*len > 1 && out[*len - 1] != '/') --*len;
      if (*len > 1) --*len;
    } else {
      const int32_t sep = *len > 1 ? 1 : 0;
      if (*len + sep + n >= out_size) return false;
      if (sep != 0) out[(*len)++] = '/';
      std::memcpy(out + *len, p, static_cast<size_t>(n));
      *len += static_cast<int32_t>(n);
    }
    p = end;
  }
  return true;
}

}  // namespace

int32_t platform_full_path(const char *name, char *out, int32_t out_size) {
  if (name == nullptr || name[0] == '\0' || out == nullptr || out_size < 2) {
    return fail(EINVAL);
  }
  int32_t len = 0;
  out[len++] = '/';
  if (name[0] != '/') {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) return fail(errno);
    if (!append_components(cwd, out, out_size, &len)) {
      return fail(ENAMETOOLONG);
    }
  }
  if (!append_components(name, out, out_size, &len)) {
    return fail(ENAMETOOLONG);
  }
  if (name[std::strlen(name) - 1] == '/' && len > 1) {
    if (len + 1 >= out_size) return fail(ENAMETOOLONG);
    out[len++] = '/';
  }
  out[len] = '\0';
  return len;
}

uint32_t platform_clock_ms() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000u +
                               static_cast<uint64_t>(now.tv_nsec) / 1000000u);
}

void platform_back_memory(void *at, std::size_t length) {
#ifdef MADV_POPULATE_WRITE
  const long page_size = sysconf(_SC_PAGESIZE);
  if (page_size <= 0 || length == 0) return;
  const auto page = static_cast<std::uintptr_t>(page_size);
  const auto begin = reinterpret_cast<std::uintptr_t>(at);
  // Only pages wholly inside the range: a page shared with memory around it
  // is left to its first touch.
  const std::uintptr_t from = (begin + page - 1) & ~(page - 1);
  const std::uintptr_t to = (begin + length) & ~(page - 1);
  if (to <= from) return;
  // A failure (EINVAL before Linux 5.14, ENOMEM, EINTR) leaves the pages to
  // be given memory at their first touch, as without the call.
  (void)madvise(reinterpret_cast<void *>(from), to - from,
                MADV_POPULATE_WRITE);
#else
  (void)at;
  (void)length;
#endif
}

}  // namespace recbase
