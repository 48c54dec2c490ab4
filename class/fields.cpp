// Field access of the ISAM class: typed reads and writes of the field
// buffers, with the conversions between the caller's types and the
// field's, and the clearing of every buffer.
//
// Buffers hold values in their stored form, in the machine's byte order:
//
//   type  code  buffer
//   S, C  0, 1  text and its terminator; grows as needed, 10 bytes at first
//   I     2     int16_t             U  3  uint16_t
//   L     4     int32_t             F  5  float
//   D     6     double              B  7  n bytes
//
// Values are moved with memcpy: the buffers are byte arrays, not typed
// objects.
#include <cstring>

#include "class/class_state.h"
#include "frame/alloc.h"

using recbase::rb_free;
using recbase::rb_malloc;

namespace {

constexpr double kFloatMax = 3.4028234663852886e38;

template <typename T>
T load(char const *buffer) {
  T v;
  std::memcpy(&v, buffer, sizeof v);
  return v;
}
template <typename T>
void store(char *buffer, T v) {
  std::memcpy(buffer, &v, sizeof v);
}

}  // namespace

char const *ISAM::getField(int f) {
  return checkField(f) ? values_[f] : nullptr;
}

int ISAM::getField(int f, short &v) {
  if (!checkType(f, ISFIELD_INT16)) return -1;
  v = load<int16_t>(values_[f]);
  return 1;
}

int ISAM::getField(int f, int &v) {
  if (!checkType(f, ISFIELD_INT16)) return -1;
  v = load<int16_t>(values_[f]);
  return 1;
}

int ISAM::getField(int f, unsigned short &v) {
  if (!checkType(f, ISFIELD_UINT16)) return -1;
  v = load<uint16_t>(values_[f]);
  return 1;
}

int ISAM::getField(int f, unsigned int &v) {
  if (!checkType(f, ISFIELD_UINT16)) return -1;
  v = load<uint16_t>(values_[f]);
  return 1;
}

int ISAM::getField(int f, long &v) {
  if (!checkType(f, ISFIELD_INT32)) return -1;
  v = load<int32_t>(values_[f]);
  return 1;
}

int ISAM::getField(int f, float &v) {
  if (!checkType(f, ISFIELD_FLOAT)) return -1;
  v = load<float>(values_[f]);
  return 1;
}

int ISAM::getField(int f, double &v) {
  if (!checkType(f, ISFIELD_DOUBLE)) return -1;
  v = load<double>(values_[f]);
  return 1;
}

int ISAM::getField(int f, signed char &v) {
  if (!checkType(f, ISFIELD_BINARY)) return -1;
  if (capacities_[f] != 1) return record(ISERR_TYPE_MISMATCH);
  v = load<signed char>(values_[f]);
  return 1;
}

int ISAM::getField(int f, void *buf, int size) {
  if (!checkType(f, ISFIELD_TEXT)) return -1;
  if (buf == nullptr) return record(ISERR_NULL_ARG);
  const size_t n = types_[f] == ISFIELD_BINARY
                       ? static_cast<size_t>(capacities_[f])
                       : std::strlen(values_[f]) + 1;
  if (size < 0 || n > static_cast<size_t>(size)) {
    return record(ISERR_BUFFER_SMALL);
  }
  std::memcpy(buf, values_[f], n);
  return 1;
}

int ISAM::storeInt(int f, int32_t x) {
  char *buffer = values_[f];
  switch (types_[f]) {
    case ISFIELD_INT16:
      if (x < -32768 || x > 32767) return record(ISERR_RANGE);
      store(buffer, static_cast<int16_t>(x));
      return 1;
    case ISFIELD_UINT16:
      if (x < 0 || x > 65535) return record(ISERR_RANGE);
      store(buffer, static_cast<uint16_t>(x));
      return 1;
    case ISFIELD_INT32:
      store(buffer, x);
      return 1;
    case ISFIELD_FLOAT:
      store(buffer, static_cast<float>(x));
      return 1;
    case ISFIELD_DOUBLE:
      store(buffer, static_cast<double>(x));
      return 1;
    case ISFIELD_BINARY:
      // The low bytes of the number, as a narrower integer of the machine
      // would hold them.
      if (capacities_[f] == 1) {
        store(buffer, static_cast<uint8_t>(x));
      } else if (capacities_[f] == 2) {
        store(buffer, static_cast<uint16_t>(x));
      } else if (capacities_[f] == 4) {
        store(buffer, x);
      } else {
        return record(ISERR_TYPE_MISMATCH);
      }
      return 1;
    default:
      return record(ISERR_TYPE_MISMATCH);
  }
}

int ISAM::setField(int f, signed char v) {
  return checkField(f) ? storeInt(f, v) : -1;
}

int ISAM::setField(int f, unsigned char v) {
  return checkField(f) ? storeInt(f, v) : -1;
}

int ISAM::setField(int f, short v) {
  if (!checkField(f)) return -1;
  if (types_[f] != ISFIELD_INT16) return storeInt(f, v);
  store(values_[f], static_cast<int16_t>(v));
  return 1;
}

int ISAM::setField(int f, unsigned short v) {
  if (!checkField(f)) return -1;
  if (types_[f] != ISFIELD_UINT16) return storeInt(f, v);
  store(values_[f], static_cast<uint16_t>(v));
  return 1;
}

int ISAM::setField(int f, int v) {
  return checkField(f) ? storeInt(f, static_cast<int32_t>(v)) : -1;
}

int ISAM::setField(int f, unsigned int v) {
  return checkField(f) ? storeInt(f, static_cast<int32_t>(v)) : -1;
}

int ISAM::setField(int f, long v) {
  if (!checkField(f)) return -1;
  if (v < INT32_MIN || v > INT32_MAX) return record(ISERR_RANGE);
  return storeInt(f, static_cast<int32_t>(v));
}

int ISAM::setField(int f, float v) {
  if (!checkField(f)) return -1;
  const int type = types_[f];
  if (type == ISFIELD_FLOAT ||
      (type == ISFIELD_BINARY && capacities_[f] == 4)) {
    store(values_[f], v);
  } else if (type == ISFIELD_DOUBLE) {
    store(values_[f], static_cast<double>(v));
  } else {
    return record(ISERR_TYPE_MISMATCH);
  }
  return 1;
}

int ISAM::setField(int f, double v) {
  if (!checkField(f)) return -1;
  const int type = types_[f];
  if (type == ISFIELD_DOUBLE ||
      (type == ISFIELD_BINARY && capacities_[f] == 8)) {
    store(values_[f], v);
  } else if (type == ISFIELD_FLOAT) {
    // Written so that infinities and NaN fail too.
    if (!(v >= -kFloatMax && v <= kFloatMax)) return record(ISERR_RANGE);
    store(values_[f], static_cast<float>(v));
  } else {
    return record(ISERR_TYPE_MISMATCH);
  }
  return 1;
}

int ISAM::setField(int f, void const *v) {
  if (!checkType(f, ISFIELD_TEXT)) return -1;
  if (v == nullptr) return record(ISERR_NULL_ARG);
  if (types_[f] == ISFIELD_BINARY) {
    std::memmove(values_[f], v, static_cast<size_t>(capacities_[f]));
    return 1;
  }
  const size_t n = std::strlen(static_cast<char const *>(v)) + 1;
  if (n > static_cast<size_t>(INT32_MAX)) return record(ISERR_RANGE);
  if (n > static_cast<size_t>(capacities_[f])) {
    if (const int code = resizeText(f, static_cast<int>(n))) {
      return record(code);
    }
  }
  std::memmove(values_[f], v, n);
  return 1;
}

int ISAM::setFieldClear(int size) {
  if (!checkOpen()) return -1;
  if (size < 1) return record(ISERR_RANGE);
  for (int32_t f = 0; f < fieldCount_; ++f) {
    if (types_[f] != ISFIELD_TEXT && types_[f] != ISFIELD_EXACT_TEXT) continue;
    if (const int code = resizeText(f, size)) return record(code);
  }
  for (int32_t f = 0; f < fieldCount_; ++f) {
    std::memset(values_[f], 0, static_cast<size_t>(capacities_[f]));
  }
  return 1;
}

int ISAM::resizeText(int f, int size) {
  char *bigger = static_cast<char *>(rb_malloc(static_cast<size_t>(size)));
  if (bigger == nullptr) return ISERR_NO_MEMORY;
  followBuffer(values_[f], bigger);
  rb_free(values_[f]);
  values_[f] = bigger;
  capacities_[f] = size;
  return ISERR_OK;
}

void ISAM::followBuffer(char const *from, char *to) {
  for (int32_t k = 0; k < keyCount_; ++k) {
    if (keyParts_[k] == from) keyParts_[k] = to;
  }
}
