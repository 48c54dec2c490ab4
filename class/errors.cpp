// Errors of the ISAM class: recording a failure on an object (and calling
// the error handler once), the checks that open most members, and the
// error functions of an object and of the library.
#include "class/class_state.h"

using namespace recbase::binding;

int ISAM::record(int code) {
  iset_errno(code);
  lastError_ = code;
  if (code == ISERR_CBT) {
    cbtContext_ = cbconcode;
    cbtError_ = cberrcode;
    cbtFunction_ = cbfcncode;
  }
  if (g_class.error_handler != nullptr && !g_class.handler_active) {
    g_class.handler_active = true;
    g_class.error_handler(*this);
    g_class.handler_active = false;
  }
  return -1;
}

int ISAM::recordLibrary() { return record(iget_errno()); }

int ISAM::report(int code) {
  ISAM temporary;
  return temporary.record(code);
}

bool ISAM::checkOpen() {
  if (database_ != nullptr) return true;
  record(ISERR_BAD_DB);
  return false;
}

bool ISAM::checkField(int f) {
  if (!checkOpen()) return false;
  if (f >= 0 && f < fieldCount_) return true;
  record(ISERR_FIELD_NUMBER);
  return false;
}

bool ISAM::checkType(int f, int t) {
  if (!checkField(f)) return false;
  const int type = types_[f];
  if (type == t || (t == ISFIELD_TEXT &&
                    (type == ISFIELD_EXACT_TEXT || type == ISFIELD_BINARY))) {
    return true;
  }
  record(ISERR_TYPE_MISMATCH);
  return false;
}

#pragma push_macro("errno")
#undef errno
int ISAM::errno() { return lastError_; }
#pragma pop_macro("errno")

int ISAM::errnoCBT(int which) {
  if (which == -1) return cbtError_;
  return which == 0 ? cbtContext_ : cbtFunction_;
}

char const *ISAM::errmsg() { return isammsg(lastError_); }

char const *ISAM::errmsgCBT(int which) {
  if (which == -1) return cberrmsg(cbtError_);
  return which == 0 ? cbconmsg(cbtContext_) : cbfcnmsg(cbtFunction_);
}

void ISAM::errClear() {
  lastError_ = 0;
  cbtContext_ = 0;
  cbtError_ = 0;
  cbtFunction_ = 0;
}

int ISAM::_errno() { return iget_errno(); }

int ISAM::_errnoCBT(int which) {
  if (which == -1) return cberrcode;
  return which == 0 ? cbconcode : cbfcncode;
}

char const *ISAM::_errmsg() { return isammsg(iget_errno()); }

char const *ISAM::_errmsgCBT(int which) {
  if (which == -1) return cberrmsg(cberrcode);
  return which == 0 ? cbconmsg(cbconcode) : cbfcnmsg(cbfcncode);
}

void ISAM::_errClear() {
  iset_errno(0);
  cbclear_error();
}
