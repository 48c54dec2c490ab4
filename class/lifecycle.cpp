// The ISAM class's objects from construction to close, and the library's
// set-up, shut-down and handlers as the class offers them.
//
// An object is closed (database_ null, every buffer and list null) after
// construction, close, and a failed open or create; it is open from a
// successful open or create to the next close. Only the last error and the
// saved B-tree codes survive close.
#include <cstring>
#include <iostream>

#include "class/class_state.h"
#include "frame/alloc.h"

using recbase::rb_free;
using recbase::rb_malloc;
using namespace recbase::binding;

namespace recbase::binding {

ClassState g_class;

int32_t RBCALL stdout_display(char const *text) {
  if (text == nullptr) return -1;
  std::cout << text;
  return std::cout.fail() || std::cout.bad() ? -1 : 1;
}

int32_t clamp32(long v) {
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

}  // namespace recbase::binding

namespace {

// Buffer size of a field of each type code when a database is opened: a
// number's or binary value's stored size, ten bytes for a text.
int32_t initial_capacity(int32_t type, int32_t binary_length) {
  return type == ISFIELD_TEXT || type == ISFIELD_EXACT_TEXT
             ? 10
             : isam_field_size(type, binary_length);
}

// The library's progress routine takes a 32-bit count and the class's a
// long: this passes one to the other.
void RBCALL progress_adapter(int32_t count) {
  if (g_class.progress != nullptr) g_class.progress(count);
}

}  // namespace

ISAM::ISAM()
    : database_(nullptr),
      values_(nullptr),
      fieldCount_(0),
      descriptions_(nullptr),
      capacities_(nullptr),
      fieldNames_(nullptr),
      sortedNames_(nullptr),
      sortedToField_(nullptr),
      types_(nullptr),
      fileName_(nullptr),
      selected_(nullptr),
      indexCount_(0),
      indexNames_(nullptr),
      selectedNumber_(-1),
      keyParts_(nullptr),
      keyCount_(0),
      cbtContext_(0),
      cbtError_(0),
      cbtFunction_(0),
      lastError_(0),
      heldLock_(0) {}

ISAM::ISAM(char const *name, int mode) : ISAM() { this->open(name, mode); }

ISAM::~ISAM() { this->close(); }

int ISAM::open(char const *name, int mode) {
  if (cbbufsize() == 0 && init(ISAM_AUTO_BUFFERS, ISAM_AUTO_BUFFER_SIZE) != 1)
    return -1;
  if (this->close() != 1) return -1;
  errClear();
  database_ = iopen_db_shared(name, mode & 1, (mode & 2) >> 1);
  if (database_ == nullptr) return recordLibrary();
  return setUp();
}

int ISAM::create(char const *name, char const *const *fields, int blockSize) {
  if (cbbufsize() == 0 && init(ISAM_AUTO_BUFFERS, ISAM_AUTO_BUFFER_SIZE) != 1)
    return -1;
  if (this->close() != 1) return -1;
  errClear();
  if (name == nullptr || fields == nullptr) return record(ISERR_NULL_ARG);
  database_ = icreate_db(name, blockSize, fields);
  if (database_ == nullptr) return recordLibrary();
  return setUp();
}

int ISAM::setUp() {
  int code = ISERR_OK;
  fieldCount_ = igetfldcount(database_);
  fileName_ = igetfilename(database_);
  descriptions_ = igetfldnames(database_);
  const size_t n = static_cast<size_t>(fieldCount_ < 0 ? 0 : fieldCount_);
  values_ = static_cast<char **>(rb_malloc((n + 1) * sizeof(char *)));
  capacities_ = static_cast<int32_t *>(rb_malloc(n * sizeof(int32_t)));
  types_ = static_cast<unsigned char *>(rb_malloc(n));
  if (fieldCount_ < 0 || fileName_ == nullptr || descriptions_ == nullptr) {
    code = iget_errno();
  } else if (values_ == nullptr || capacities_ == nullptr ||
             types_ == nullptr) {
    code = ISERR_NO_MEMORY;
  } else {
    // Every slot null first, so that a failure part way frees what exists.
    for (size_t f = 0; f <= n; ++f) values_[f] = nullptr;
    code = loadIndexNames();
  }
  for (int32_t f = 0; code == ISERR_OK && f < fieldCount_; ++f) {
    const int32_t type = igetfldtype(database_, f);
    types_[f] = static_cast<unsigned char>(type);
    capacities_[f] = initial_capacity(type, igetfldlen(database_, f));
    values_[f] =
        static_cast<char *>(rb_malloc(static_cast<size_t>(capacities_[f])));
    if (values_[f] == nullptr) {
      code = ISERR_NO_MEMORY;
    } else {
      std::memset(values_[f], 0, static_cast<size_t>(capacities_[f]));
    }
  }
  if (code == ISERR_OK) code = selectFirst();
  if (code != ISERR_OK) {
    // The close must not change what the failure's B-tree codes say.
    const int32_t err = cberrcode, fcn = cbfcncode, con = cbconcode;
    iclose_db(database_);
    reset();
    cberrcode = err;
    cbfcncode = fcn;
    cbconcode = con;
    return record(code);
  }
  ++g_class.open_objects;
  return 1;
}

int ISAM::close() {
  if (database_ == nullptr) return 1;
  const int32_t r = iclose_db(database_);
  const int32_t code = iget_errno();
  if (g_class.open_objects > 0) --g_class.open_objects;
  reset();
  return r == -1 ? record(code) : r;
}

void ISAM::reset() {
  for (int32_t f = 0; values_ != nullptr && f < fieldCount_; ++f) {
    rb_free(values_[f]);
  }
  rb_free(values_);
  rb_free(capacities_);
  rb_free(types_);
  rb_free(const_cast<char const **>(indexNames_));
  rb_free(keyParts_);
  rb_free(fieldNames_);  // one block with sortedNames_ and the texts
  rb_free(sortedToField_);
  database_ = nullptr;
  values_ = nullptr;
  fieldCount_ = 0;
  descriptions_ = nullptr;
  capacities_ = nullptr;
  fieldNames_ = nullptr;
  sortedNames_ = nullptr;
  sortedToField_ = nullptr;
  types_ = nullptr;
  fileName_ = nullptr;
  selected_ = nullptr;
  indexCount_ = 0;
  indexNames_ = nullptr;
  selectedNumber_ = -1;
  keyParts_ = nullptr;
  keyCount_ = 0;
  heldLock_ = 0;
}

int ISAM::init(int buffers, int bufferSize) {
  if (isaminit(buffers, bufferSize) != 1) return report(iget_errno());
  cbset_print(stdout_display);
  return 1;
}

int ISAM::exit() {
  if (g_class.open_objects >= 1) return report(ISERR_DB_OPEN);
  if (isamexit() != 1) return report(iget_errno());
  return 1;
}

void ISAM::setErrorHandler(void (*handler)(ISAM &)) {
  g_class.error_handler = handler;
}

void ISAM::setDisplayHandler(int(RBCALL *display)(char const *)) {
  cbset_print(display != nullptr ? display : stdout_display);
}

void ISAM::setProgressHandler(void (*progress)(long)) {
  g_class.progress = progress;
  iprogress(progress != nullptr ? progress_adapter : nullptr);
}
