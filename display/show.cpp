// Printing a database's definitions, keys and records as text: iputs,
// showfldnames, showindexnames, showdesc, show_key and showrec. The walk
// over a whole database, showdb, is in display/show_db.cpp.
//
// Every piece goes to the print routine (the sys_print slot) on its own:
// a text value, a number formatted whole, one byte of a binary value, a
// separator, the closing line feed. A list prints each item followed by the
// separator (NULL: "\n") and then one more "\n". What the print routine
// returns is not looked at; the routines print all their pieces whatever
// it says.
//
// Numbers by field type:
//
//   type (letter)   in a key (show_key)     in a record (showrec)
//   S, C            the text                the text
//   I               %hd                     %hd
//   U               %hu                     %hu
//   L               %ld                     %ld
//   F               %.2f of it as a double  %G of it as a double
//   D               %.2f                    %G
//   B               BINARY:n (its length)   \xHH per byte, upper-case hex
#include <cstdio>
#include <cstring>

#include "isam/data_format.h"
#include "isam/error_state.h"

using namespace recbase;
using namespace recbase::isam;

namespace {

const char *separator(const char *sep) { return sep != nullptr ? sep : "\n"; }

template <typename T>
T read_value(const char *p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Room for any number below: "%.2f" of the largest double is 309 digits, a
// sign, a point and two decimals.
constexpr size_t kNumberText = 320;

void format_float(double v, bool in_key, char (&out)[kNumberText]) {
  if (in_key) {
    std::snprintf(out, sizeof out, "%.2f", v);
  } else {
    std::snprintf(out, sizeof out, "%G", v);
  }
}

// Formats the value at p of a number field of type `type` (I, U, L, F, D)
// into out; in_key chooses the key's float format.
void format_number(FieldType type, const char *p, bool in_key,
                   char (&out)[kNumberText]) {
  switch (type) {
    case kInt16:
      std::snprintf(out, sizeof out, "%hd", read_value<short>(p));
      break;
    case kUInt16:
      std::snprintf(out, sizeof out, "%hu", read_value<unsigned short>(p));
      break;
    case kInt32:
      std::snprintf(out, sizeof out, "%ld",
                    static_cast<long>(read_value<int32_t>(p)));
      break;
    case kFloat:
      format_float(static_cast<double>(read_value<float>(p)), in_key, out);
      break;
    default:
      format_float(read_value<double>(p), in_key, out);
      break;
  }
}

bool is_text(FieldType type) { return type == kText || type == kExactText; }

// Prints field f's value at p as a key holds it; returns its size there.
int32_t print_key_value(const IsamDb *db, int32_t f, const char *p) {
  const auto type = static_cast<FieldType>(db->field_types[f]);
  char text[kNumberText];
  if (is_text(type)) {
    sys_print(p);
    return static_cast<int32_t>(std::strlen(p)) + 1;
  }
  if (type == kBinary) {
    const int32_t n = binary_length(db, f);
    std::snprintf(text, sizeof text, "BINARY:%d", static_cast<int>(n));
    sys_print(text);
    return n;
  }
  format_number(type, p, true, text);
  sys_print(text);
  return isam_field_size(type, 0);
}

// Prints field f's value at p as showrec does: by the current database's
// types, as text when there is none or f is not one of its fields.
void print_record_value(const IsamDb *db, int32_t f, const char *p) {
  if (db == nullptr || f >= db->field_count) {
    sys_print(p);
    return;
  }
  const auto type = static_cast<FieldType>(db->field_types[f]);
  char text[kNumberText];
  if (is_text(type)) {
    sys_print(p);
  } else if (type == kBinary) {
    const int32_t n = binary_length(db, f);
    for (int32_t i = 0; i < n; ++i) {
      std::snprintf(text, sizeof text, "\\x%02X",
                    static_cast<unsigned>(static_cast<uint8_t>(p[i])));
      sys_print(text);
    }
  } else {
    format_number(type, p, false, text);
    sys_print(text);
  }
}

// Prints each text of the NULL-terminated list, each followed by the
// separator, then "\n".
void print_list(const char *const *list, const char *sep) {
  for (; *list != nullptr; ++list) {
    sys_print(*list);
    sys_print(separator(sep));
  }
  sys_print("\n");
}

}  // namespace

extern "C" {

RBAPI int32_t RBCALL iputs(const char *text) { return sys_print(text); }

RBAPI int32_t RBCALL showfldnames(IsamDb *db, const char *sep) {
  set_error(kIsOk);
  if (!db_valid(db)) return fail(kIsBadDb);
  print_list(db->field_names, sep);
  return 1;
}

RBAPI int32_t RBCALL showindexnames(IsamDb *db, const char *sep) {
  set_error(kIsOk);
  if (!db_valid(db)) return fail(kIsBadDb);
  for (IsamIndex *ix = db->indexes; ix != nullptr; ix = ix->next) {
    sys_print(ix->name);
    sys_print(separator(sep));
  }
  sys_print("\n");
  return 1;
}

RBAPI int32_t RBCALL showdesc(IsamDb *db, IsamIndex *ix, const char *sep) {
  set_error(kIsOk);
  if (!db_valid(db)) return fail(kIsBadDb);
  char **desc = igetdesc(db, ix != nullptr ? ix : physical_index(db));
  if (desc == nullptr) return -1;
  print_list(desc, sep);
  return 1;
}

RBAPI int32_t RBCALL show_key(IsamDb *db, IsamIndex *ix, const void *key,
                              const char *sep) {
  set_error(kIsOk);
  if (const IsamError e = check_handles(db, ix)) return fail(e);
  if (key == nullptr) return fail(kIsNullArg);
  const char *p = static_cast<const char *>(key);
  // A key of another index would be read with the wrong fields.
  if (static_cast<uint8_t>(*p) != ix->number) return fail(kIsBadIndex);
  ++p;
  for (int32_t k = 0; k < ix->key_count; ++k) {
    p += print_key_value(db, ix->key_fields[k], p);
    sys_print(separator(sep));
  }
  sys_print("\n");
  return 1;
}

RBAPI int32_t RBCALL showrec(char *const *fields, const char *sep) {
  if (fields != nullptr) {
    for (int32_t f = 0; fields[f] != nullptr; ++f) {
      print_record_value(g_current_db, f, fields[f]);
      sys_print(separator(sep));
    }
  }
  sys_print("\n");
  return 1;
}

}  // extern "C"
