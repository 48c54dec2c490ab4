// Output of the ISAM class: the error report, texts through the print
// routine, the output window and its message box, the windowed set-up,
// and the printing of a database and of the field buffers.
#include <cstring>

#include "class/class_state.h"

using namespace recbase::binding;

namespace {

constexpr char kErrorLabel[] = "\n===> ISAM error: ";
constexpr char kFileLabel[] = "\n      data file: ";
constexpr char kCbtLabel[] = "\n      CBT error: ";
constexpr char kFunctionLabel[] = "\n       function: ";
constexpr char kContextLabel[] = "\n        context: ";
// The report is built in a buffer of this size and must leave it a byte.
constexpr size_t kReportSize = 500;

}  // namespace

int ISAM::showErr() {
  char const *message = errmsg();
  char const *cbt = errmsgCBT(-1);
  char const *function = errmsgCBT(1);
  char const *context = errmsgCBT(0);
  // The length is reckoned with both the error and the file labels and a
  // spare byte, whether or not there is a file name.
  size_t length = std::strlen(message) + std::strlen(kErrorLabel) +
                  std::strlen(kFileLabel) + 2;
  if (fileName_ != nullptr) length += std::strlen(fileName_);
  if (lastError_ == ISERR_CBT) {
    length += std::strlen(cbt) + std::strlen(function) + std::strlen(context) +
              std::strlen(kCbtLabel) + std::strlen(kFunctionLabel) +
              std::strlen(kContextLabel);
  }
  if (length >= kReportSize - 1) return -1;
  char text[kReportSize];
  text[0] = '\0';
  std::strcat(text, kErrorLabel);
  std::strcat(text, message);
  if (fileName_ != nullptr) {
    std::strcat(text, kFileLabel);
    std::strcat(text, fileName_);
  }
  if (lastError_ == ISERR_CBT) {
    std::strcat(text, kCbtLabel);
    std::strcat(text, cbt);
    std::strcat(text, kFunctionLabel);
    std::strcat(text, function);
    std::strcat(text, kContextLabel);
    std::strcat(text, context);
  }
  std::strcat(text, "\n");
  return iputs(text) == -1 ? -1 : 1;
}

int ISAM::_showErr() {
  ISAM temporary;
  temporary.lastError_ = iget_errno();
  temporary.cbtContext_ = cbconcode;
  temporary.cbtError_ = cberrcode;
  temporary.cbtFunction_ = cbfcncode;
  return temporary.showErr();
}

int ISAM::puts(char const *text) {
  if (text == nullptr) return report(ISERR_NULL_ARG);
  if (iputs(text) != -1) return 1;
  // The print routine sets no error of its own: a failed write is a
  // failure to write a file (standard output).
  const int code = iget_errno();
  return report(code != ISERR_OK ? code : ISERR_IO);
}

int ISAM::putsWin(char const *text) {
  if (iputs_win(text) == -1) return report(iget_errno());
  return 1;
}

int ISAM::putsWinBox(char const *text) {
  iputs_winbox(text);
  return 1;
}

int ISAM::initWin(int buffers, int bufferSize,
                  int(RBCALL *display)(char const *), void *instance) {
  int code = ISERR_OK;
  if (display == putsWin && instance == nullptr) {
    code = ISERR_NO_WIN_INSTANCE;
    display = putsWinBox;
  }
  if (isaminit_mswin(buffers, bufferSize, display, instance) != 1) {
    code = iget_errno();
  }
  return code != ISERR_OK ? report(code) : 1;
}

int ISAM::showFile(char const *arg) {
  if (!checkOpen()) return -1;
  return showdb(database_, selected_, arg) == -1 ? recordLibrary() : 1;
}

int ISAM::showFields(char const *arg) {
  if (!checkOpen()) return -1;
  return showrec(values_, arg) == -1 ? recordLibrary() : 1;
}
