// Fault injection for tests: makes the N-th platform call or the N-th
// allocation of the library fail, so that a test can walk every failure
// point of an operation (N = 1, 2, 3, ... until the operation no longer
// reaches call N) and check what each one leaves behind.
//
//  - A FaultInjector wraps the slots of g_platform that are filled when it
//    is made (make it after cbinit) and the rename, truncate and reserve of
//    g_platform_files, and installs an allocation hook; its destructor puts
//    back the table and the hook as they were.
//  - Every call of a wrapped slot counts 1; the call whose count reaches N
//    fails instead of running (once, or from then on when the fault is
//    persistent) with the slot's failure result -1, storing the chosen
//    errno in g_sys_last_error (sys_lock never stores it).
//  - A failing sys_close still closes the descriptor, as close(2) does when
//    it reports EIO, so that fault loops do not leak descriptors.
//  - Allocations count separately.
//  - The file of the first injected failure is kept: the name given, or
//    for a handle the path the system gives it, so that a test can tell
//    which file's step failed.
//  - The slots are plain function pointers without a context, so the state
//    is process-wide: one FaultInjector at a time.
#ifndef RECBASE_TESTS_SUPPORT_FAULT_INJECTION_H
#define RECBASE_TESTS_SUPPORT_FAULT_INJECTION_H

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include "frame/alloc.h"
#include "frame/platform.h"
#include "tests/support/spawn.h"

namespace recbase::test {

namespace fault_detail {

struct Countdown {
  bool armed = false, persistent = false;
  int64_t fail_at = 0;  // 1-based call number that fails first
  int64_t calls = 0, fired = 0;
};
struct State {
  bool active = false;
  PlatformServices below{};  // the slots that were there before wrapping
  PlatformFiles files_below{};
  AllocHook hook_below = nullptr;
  int32_t error = EIO;
  const char *only = nullptr;  // count this slot's calls only (null: all)
  Countdown io, alloc;
  const char *fired_slot = nullptr;  // slot of the first injected failure
  std::string fired_file;            // and its file
};
inline State &state() {
  static State s;
  return s;
}
inline bool tick(Countdown &c) {
  if (!c.armed) return false;
  ++c.calls;
  const bool fail =
      c.calls == c.fail_at || (c.persistent && c.calls > c.fail_at);
  c.fired += fail;
  return fail;
}
inline std::string file_of(const char *name) { return name; }
inline std::string file_of(int32_t handle) { return file_of_handle(handle); }
template <typename Target>
inline bool fails(const char *slot, Target target, bool stores_error = true) {
  State &s = state();
  if (s.only != nullptr && std::strcmp(s.only, slot) != 0) return false;
  if (!tick(s.io)) return false;
  if (s.fired_slot == nullptr) {
    s.fired_slot = slot;
    s.fired_file = file_of(target);
  }
  if (stores_error) g_sys_last_error = s.error;
  return true;
}
inline const PlatformServices &below() { return state().below; }

inline int32_t w_close(int32_t h) {
  const bool fail = fails("close", h);
  const int32_t r = below().sys_close(h);
  return fail ? -1 : r;
}
inline int32_t w_lock(int32_t h, int32_t offset, int32_t length, int32_t tries,
                      int32_t delay_ms, int32_t timeout_ms) {
  if (fails("lock", h, false)) return -1;
  return below().sys_lock(h, offset, length, tries, delay_ms, timeout_ms);
}
// The other slots: fail, or pass the call on. target: the first argument,
// the handle or name of the file.
#define RB_FAULT_SLOT(slot, params, args, target)               \
  inline int32_t w_##slot params {                              \
    return fails(#slot, target) ? -1 : below().sys_##slot args; \
  }
RB_FAULT_SLOT(flush, (int32_t h), (h), h)
RB_FAULT_SLOT(create, (const char *name), (name), name)
RB_FAULT_SLOT(open, (const char *name, int32_t w, int32_t s), (name, w, s),
              name)
RB_FAULT_SLOT(read, (int32_t h, int32_t o, int32_t n, void *b), (h, o, n, b), h)
RB_FAULT_SLOT(readblock, (int32_t h, uint32_t k, int32_t n, void *b),
              (h, k, n, b), h)
RB_FAULT_SLOT(remove, (const char *name), (name), name)
RB_FAULT_SLOT(write, (int32_t h, int32_t o, int32_t n, const void *b),
              (h, o, n, b), h)
RB_FAULT_SLOT(writeblock, (int32_t h, uint32_t k, int32_t n, const void *b),
              (h, k, n, b), h)
RB_FAULT_SLOT(unlock, (int32_t h, int32_t o, int32_t n), (h, o, n), h)
#undef RB_FAULT_SLOT
inline int32_t w_rename(const char *from, const char *to) {
  return fails("rename", from) ? -1 : state().files_below.rename(from, to);
}
inline int32_t w_truncate(int32_t h, uint32_t size) {
  return fails("truncate", h) ? -1 : state().files_below.truncate(h, size);
}
inline int32_t w_reserve(int32_t h, uint32_t offset, uint32_t length) {
  return fails("reserve", h) ? -1
                             : state().files_below.reserve(h, offset, length);
}
inline bool alloc_hook(std::size_t size) {
  if (tick(state().alloc)) return false;
  return state().hook_below == nullptr || state().hook_below(size);
}

}  // namespace fault_detail

class FaultInjector {
 public:
  FaultInjector() {
    fault_detail::State &s = fault_detail::state();
    if (s.active) throw std::logic_error("one FaultInjector at a time");
    s = fault_detail::State{};
    s.active = true;
    s.below = g_platform;
    s.files_below = g_platform_files;
    s.hook_below = g_alloc_hook;
    // Only filled slots are wrapped: code that calls an empty slot before
    // cbinit behaves as without the injector.
    namespace d = fault_detail;
    const PlatformServices &b = s.below;
    if (b.sys_close) g_platform.sys_close = d::w_close;
    if (b.sys_flush) g_platform.sys_flush = d::w_flush;
    if (b.sys_create) g_platform.sys_create = d::w_create;
    if (b.sys_lock) g_platform.sys_lock = d::w_lock;
    if (b.sys_open) g_platform.sys_open = d::w_open;
    if (b.sys_read) g_platform.sys_read = d::w_read;
    if (b.sys_readblock) g_platform.sys_readblock = d::w_readblock;
    if (b.sys_remove) g_platform.sys_remove = d::w_remove;
    if (b.sys_write) g_platform.sys_write = d::w_write;
    if (b.sys_writeblock) g_platform.sys_writeblock = d::w_writeblock;
    if (b.sys_unlock) g_platform.sys_unlock = d::w_unlock;
    g_platform_files.rename = d::w_rename;
    g_platform_files.truncate = d::w_truncate;
    g_platform_files.reserve = d::w_reserve;
    g_alloc_hook = d::alloc_hook;
  }
  ~FaultInjector() {
    fault_detail::State &s = fault_detail::state();
    g_platform = s.below;
    g_platform_files = s.files_below;
    g_alloc_hook = s.hook_below;
    s = fault_detail::State{};
  }
  FaultInjector(const FaultInjector &) = delete;
  FaultInjector &operator=(const FaultInjector &) = delete;

  // Fails platform call n (n >= 1) counted from now; with persistent, every
  // later call too. only_slot ("lock", "unlock", ...) counts and fails that
  // slot's calls alone.
  void fail_io_at(int64_t n, int32_t error = EIO, bool persistent = false,
                  const char *only_slot = nullptr) {
    fault_detail::state().error = error;
    fault_detail::state().only = only_slot;
    fault_detail::state().io = fault_detail::Countdown{true, persistent, n};
  }
  // Fails allocation n (n >= 1) counted from now.
  void fail_alloc_at(int64_t n) {
    fault_detail::state().alloc = fault_detail::Countdown{true, false, n};
  }
  // Stops failing, and counting.
  void disarm() {
    fault_detail::state().io.armed = false;
    fault_detail::state().alloc.armed = false;
  }
  bool io_fired() const { return fault_detail::state().io.fired > 0; }
  // Platform calls counted since the fault was armed.
  int64_t io_calls() const { return fault_detail::state().io.calls; }
  bool alloc_fired() const { return fault_detail::state().alloc.fired > 0; }
  // The slot whose call failed first ("write", ...), null when none did.
  const char *fired_slot() const { return fault_detail::state().fired_slot; }
  // Its file (empty when none failed or the handle named no file).
  const std::string &fired_file() const {
    return fault_detail::state().fired_file;
  }
};

}  // namespace recbase::test

#endif  // RECBASE_TESTS_SUPPORT_FAULT_INJECTION_H
