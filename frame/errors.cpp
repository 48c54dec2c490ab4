// The exported error variables of both layers, the message lookups generated
// from frame/error_tables.h, the two routines that print the current error
// through the print slot, and the exported view of the operating system's
// error slot (g_sys_last_error of frame/platform.h).
//
// Invariants:
//  1. All five variables are 0 when the library is loaded.
//  2. A message lookup never fails: a code outside its table yields the
//     table's fixed fallback text. Texts are constant for the process's life.
//  3. Printing changes no error variable; it reports the print routine's
//     result (1, or -1 when any piece failed).
#include "frame/errors.h"

#include <cstring>

#include "frame/alloc.h"
#include "frame/error_tables.h"
#include "frame/platform.h"

extern "C" {
RBAPI int32_t cberrcode = 0;
RBAPI int32_t cbfcncode = 0;
RBAPI int32_t cbconcode = 0;
RBAPI int32_t bufpool_err = 0;
RBAPI int32_t isam_errno = 0;
}

namespace {

#define RB_TEXT_ROW(name, code, text) text,
constexpr const char *kIsamTexts[] = {RB_ISAM_ERRORS(RB_TEXT_ROW)};
constexpr const char *kCbErrTexts[] = {RB_CBT_ERRORS(RB_TEXT_ROW)};
constexpr const char *kCbFcnTexts[] = {RB_CBT_FUNCTIONS(RB_TEXT_ROW)};
constexpr const char *kCbConTexts[] = {RB_CBT_CONTEXTS(RB_TEXT_ROW)};
#undef RB_TEXT_ROW

// The tables are indexed by code, so each row's code must be its position.
#define RB_CODE_ROW(name, code, text) code,
constexpr int32_t kIsamCodes[] = {RB_ISAM_ERRORS(RB_CODE_ROW)};
constexpr int32_t kCbErrCodes[] = {RB_CBT_ERRORS(RB_CODE_ROW)};
constexpr int32_t kCbFcnCodes[] = {RB_CBT_FUNCTIONS(RB_CODE_ROW)};
constexpr int32_t kCbConCodes[] = {RB_CBT_CONTEXTS(RB_CODE_ROW)};
#undef RB_CODE_ROW

template <std::size_t N>
constexpr bool dense(const int32_t (&codes)[N]) {
  for (std::size_t i = 0; i < N; ++i) {
    if (codes[i] != static_cast<int32_t>(i)) return false;
  }
  return true;
}
static_assert(dense(kIsamCodes), "ISAM error codes must be 0, 1, 2, ...");
static_assert(dense(kCbErrCodes), "cbt error codes must be 0, 1, 2, ...");
static_assert(dense(kCbFcnCodes), "cbt function codes must be 0, 1, 2, ...");
static_assert(dense(kCbConCodes), "cbt context codes must be 0, 1, 2, ...");

template <std::size_t N>
const char *lookup(const char *const (&table)[N], int32_t code,
                   const char *fallback) {
  if (code < 0 || static_cast<std::size_t>(code) >= N) return fallback;
  return table[code];
}

// Combines print results: -1 once any piece failed.
int32_t worse(int32_t so_far, int32_t result) {
  return (so_far == -1 || result == -1) ? -1 : 1;
}

}  // namespace

extern "C" {

RBAPI const char *RBCALL isammsg(int32_t code) {
  return lookup(kIsamTexts, code, "Unknown isam error number");
}
RBAPI const char *RBCALL cberrmsg(int32_t code) {
  return lookup(kCbErrTexts, code, "Unknown cbt error number");
}
RBAPI const char *RBCALL cbfcnmsg(int32_t code) {
  return lookup(kCbFcnTexts, code, "Unknown cbt function number");
}
RBAPI const char *RBCALL cbconmsg(int32_t code) {
  return lookup(kCbConTexts, code, "Unknown cbt context number");
}

RBAPI int32_t RBCALL cbget_errcode(void) { return cberrcode; }
RBAPI int32_t RBCALL cbget_fcncode(void) { return cbfcncode; }
RBAPI int32_t RBCALL cbget_concode(void) { return cbconcode; }

RBAPI void RBCALL cbclear_error(void) {
  cbconcode = 0;
  cbfcncode = 0;
  cberrcode = 0;
}

RBAPI int32_t RBCALL cbget_syserr(void) { return recbase::g_sys_last_error; }
RBAPI void RBCALL cbclear_syserr(void) { recbase::g_sys_last_error = 0; }

RBAPI int32_t RBCALL iget_errno(void) { return isam_errno; }
RBAPI void RBCALL iset_errno(int32_t code) { isam_errno = code; }

// Texts under 79 characters go out as one line from a stack buffer; longer
// ones as the text and then the newline.
RBAPI int32_t RBCALL iprterr(void) {
  const char *text = isammsg(isam_errno);
  const std::size_t len = std::strlen(text);
  if (len < 79) {
    char line[80];
    std::memcpy(line, text, len);
    line[len] = '\n';
    line[len + 1] = '\0';
    return recbase::sys_print(line) == -1 ? -1 : 1;
  }
  int32_t result = recbase::sys_print(text);
  return worse(result, recbase::sys_print("\n"));
}

// "context: <context>, function: <function>\n<error>\n", built in one
// allocation of the exact size and printed at once; printed piece by piece
// when that allocation fails.
RBAPI int32_t RBCALL cbprterr(void) {
  const char *pieces[7] = {"context: ",
                           cbconmsg(cbconcode),
                           ", function: ",
                           cbfcnmsg(cbfcncode),
                           "\n",
                           cberrmsg(cberrcode),
                           "\n"};
  std::size_t total = 1;  // terminator
  for (const char *p : pieces) total += std::strlen(p);

  char *line = static_cast<char *>(recbase::rb_malloc(total));
  if (line == nullptr) {
    int32_t result = 1;
    for (const char *p : pieces) result = worse(result, recbase::sys_print(p));
    return result;
  }
  char *at = line;
  for (const char *p : pieces) {
    const std::size_t len = std::strlen(p);
    std::memcpy(at, p, len);
    at += len;
  }
  *at = '\0';
  const int32_t result = recbase::sys_print(line);
  recbase::rb_free(line);
  return result == -1 ? -1 : 1;
}

}  // extern "C"
