// How the ISAM layer's failures reach the caller.
//
// Internal functions return an IsamError and never write isam_errno; the
// exported calls publish through set_error (fail, fail_null), the one place
// where a failure reaches isam_errno. A B-tree failure is kIsCbt with the
// B-tree layer's own three codes telling its cause; clean-up calls that
// would reset those codes keep them with CbErrors.
#ifndef RECBASE_ISAM_ERROR_STATE_H
#define RECBASE_ISAM_ERROR_STATE_H

#include <cstdint>

#include "frame/errors.h"
#include "recbase/isam.h"

namespace recbase::isam {

inline void set_error(IsamError code) { isam_errno = code; }
inline int32_t fail(IsamError code) {
  set_error(code);
  return -1;
}
template <typename T>
T *fail_null(IsamError code) {
  set_error(code);
  return nullptr;
}

// The B-tree layer's three error variables, kept across clean-up calls that
// would reset them, so that an ISAM error 9 still tells its B-tree cause.
struct CbErrors {
  int32_t err = cberrcode;
  int32_t fcn = cbfcncode;
  int32_t con = cbconcode;
  void restore() const {
    cberrcode = err;
    cbfcncode = fcn;
    cbconcode = con;
  }
};

// The first failure of a sequence of steps that goes on past failures, with
// the B-tree codes as that failure left them.
class FirstFailure {
 public:
  void note(IsamError e) {
    if (e == kIsOk || code_ != kIsOk) return;
    code_ = e;
    cb_ = CbErrors{};
  }
  // The first failure's code (kIsOk if none), its B-tree codes put back.
  IsamError finish() const {
    if (code_ != kIsOk) cb_.restore();
    return code_;
  }

 private:
  IsamError code_ = kIsOk;
  CbErrors cb_;
};

}  // namespace recbase::isam

#endif  // RECBASE_ISAM_ERROR_STATE_H
