// The process-wide platform services table and the settings that its slots
// and their callers read, with the three exported calls that only store
// settings (print routine, lock retries, flush policy), and the two slots
// that are the same on every system (printing to standard output, idling).
//
// Invariants:
//  1. Until platform_fill() runs, only sys_print and sys_idle are set; they
//     are constant-initialised, so printing works even before any library
//     initialisation and during other files' static initialisation.
//  2. platform_fill() stores every slot, sys_print included: a print routine
//     installed with cbset_print before cbinit is replaced by the default.
#include <cstdio>
#include <cstring>

#include "frame/platform.h"
#include "frame/platform_common.h"

namespace recbase {

namespace {
bool g_print_unbuffered_done = false;
}  // namespace

// Standard output, made unbuffered on the first call so that the library's
// text and the caller's own output keep their order.
int32_t RBCALL native_print(const char *text) {
  if (text == nullptr) return -1;
  if (!g_print_unbuffered_done) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    g_print_unbuffered_done = true;
  }
  const std::size_t len = std::strlen(text);
  return std::fwrite(text, 1, len, stdout) == len ? 1 : -1;
}

int32_t native_idle() { return 1; }

// Defined by the platform file of the system being built for.
int32_t native_rename(const char *from, const char *to);
int32_t native_file_exists(const char *name);
int32_t native_truncate(int32_t handle, uint32_t size);
int32_t native_reserve(int32_t handle, uint32_t offset, uint32_t length);

PlatformServices g_platform = {
    nullptr, nullptr, nullptr,      nullptr, nullptr,
    nullptr, nullptr, native_print, nullptr, nullptr,
    nullptr, nullptr, nullptr,      nullptr, native_idle,
};
int32_t g_sys_last_error = 0;
PlatformFiles g_platform_files = {native_rename, native_file_exists,
                                  native_truncate, native_reserve};
LockSettings g_lock_settings;
FlushSettings g_flush_settings;

void platform_fill() { g_platform = platform_native(); }

const PlatformFiles &platform_files_native() {
  static const PlatformFiles native = {native_rename, native_file_exists,
                                       native_truncate, native_reserve};
  return native;
}

}  // namespace recbase

extern "C" {

RBAPI RbPrint RBCALL cbset_print(RbPrint print_function) {
  const RbPrint previous = recbase::g_platform.sys_print;
  recbase::g_platform.sys_print = print_function;
  return previous;
}

RBAPI void RBCALL cblock_timeout(int32_t tries, int32_t delay_ms,
                                 int32_t timeout_ms) {
  recbase::g_lock_settings.tries = tries == 0 ? 1 : tries;
  recbase::g_lock_settings.delay_ms = delay_ms;
  recbase::g_lock_settings.timeout_ms = timeout_ms;
}

RBAPI void RBCALL cb_set_flush(int32_t deferred, int32_t skip) {
  recbase::g_flush_settings.deferred_flush = deferred;
  recbase::g_flush_settings.skip_os_flush = skip;
}

}  // extern "C"
