#include "tools/db_csv.h"

#include <charconv>
#include <cstring>
#include <type_traits>

#include "recbase/isam.h"

namespace recbase::tool {

namespace {

// Stored numbers are held as the machine holds them; the values are copied
// in and out of typed variables, never read through casts.
template <typename T>
std::string format_number(const char *value) {
  T number;
  std::memcpy(&number, value, sizeof number);
  char text[64];
  const std::to_chars_result r =
      std::to_chars(text, text + sizeof text, number);
  return std::string(text, r.ptr);
}

template <typename T>
std::string parse_number(const std::string &text, std::string &stored) {
  T number{};
  const char *end = text.data() + text.size();
  const std::from_chars_result r = std::from_chars(text.data(), end, number);
  if (r.ec == std::errc::result_out_of_range) return "number out of range";
  // Unsigned parsing stops at a minus sign; a negative integer is a number
  // all the same, one out of the field's range.
  if constexpr (std::is_unsigned_v<T>) {
    int64_t negative = 0;
    const char *begin = text.data();
    if (r.ec != std::errc() && !text.empty() && text[0] == '-' &&
        std::from_chars(begin, end, negative).ptr == end) {
      return "number out of range";
    }
  }
  if (r.ec != std::errc() || r.ptr != end || text.empty()) {
    return "not a number";
  }
  stored.assign(sizeof number, '\0');
  std::memcpy(stored.data(), &number, sizeof number);
  return "";
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

void append_csv_field(std::string &line, const std::string &value) {
  if (value.find_first_of(",\"\r\n") == std::string::npos) {
    line += value;
    return;
  }
  line += '"';
  for (char c : value) {
    if (c == '"') line += '"';
    line += c;
  }
  line += '"';
}

void CsvReader::skip_line() {
  while (at_ < text_.size() && text_[at_] != '\n') ++at_;
  if (at_ < text_.size()) ++at_, ++line_;
}

bool CsvReader::next(CsvRecord &record) {
  if (at_ >= text_.size()) return false;
  record.fields.assign(1, std::string());
  record.line = line_;
  record.error.clear();
  bool quoted = false, closed = false;
  while (at_ < text_.size()) {
    const char c = text_[at_++];
    std::string &field = record.fields.back();
    if (quoted) {
      if (c == '"') {
        if (at_ < text_.size() && text_[at_] == '"') {
          field += '"', ++at_;
        } else {
          quoted = false, closed = true;
        }
      } else {
        if (c == '\n') ++line_;
        field += c;
      }
      continue;
    }
    if (c == ',') {
      record.fields.emplace_back(), closed = false;
    } else if (c == '\n' ||
               (c == '\r' && at_ < text_.size() && text_[at_] == '\n')) {
      if (c == '\r') ++at_;
      ++line_;
      return true;
    } else if (closed) {
      record.error = "text after a closing quote";
    } else if (c == '"') {
      if (!field.empty()) {
        record.error = "a quote inside an unquoted field";
      } else {
        quoted = true;
      }
    } else {
      field += c;
    }
    if (!record.error.empty()) {
      --at_;
      skip_line();
      return true;
    }
  }
  if (quoted) record.error = "a quoted field is never closed";
  return true;
}

std::string format_value(int32_t type, const char *value, int32_t length) {
  switch (type) {
    case ISFIELD_INT16:
      return format_number<int16_t>(value);
    case ISFIELD_UINT16:
      return format_number<uint16_t>(value);
    case ISFIELD_INT32:
      return format_number<int32_t>(value);
    case ISFIELD_FLOAT:
      return format_number<float>(value);
    case ISFIELD_DOUBLE:
      return format_number<double>(value);
    case ISFIELD_BINARY: {
      static const char kDigits[] = "0123456789abcdef";
      std::string hex;
      for (int32_t i = 0; i < length; ++i) {
        const auto byte = static_cast<uint8_t>(value[i]);
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0x0F];
      }
      return hex;
    }
    default:
      return value;
  }
}

std::string parse_value(int32_t type, int32_t length, const std::string &text,
                        std::string &stored) {
  switch (type) {
    case ISFIELD_INT16:
      return parse_number<int16_t>(text, stored);
    case ISFIELD_UINT16:
      return parse_number<uint16_t>(text, stored);
    case ISFIELD_INT32:
      return parse_number<int32_t>(text, stored);
    case ISFIELD_FLOAT:
      return parse_number<float>(text, stored);
    case ISFIELD_DOUBLE:
      return parse_number<double>(text, stored);
    case ISFIELD_BINARY: {
      if (text.size() % 2 != 0)
        return "binary value of an odd number of hex digits";
      if (text.size() / 2 > static_cast<size_t>(length)) {
        return "binary value longer than the field's " +
               std::to_string(length) + " bytes";
      }
      stored.assign(length, '\0');
      for (size_t i = 0; i < text.size(); i += 2) {
        const int high = hex_digit(text[i]), low = hex_digit(text[i + 1]);
        if (high < 0 || low < 0) return "binary value not in hex digits";
        stored[i / 2] = static_cast<char>(high * 16 + low);
      }
      return "";
    }
    default:
      if (text.find('\0') != std::string::npos) {
        return "text holding a NUL byte";
      }
      stored.assign(text.c_str(), text.size() + 1);
      return "";
  }
}

}  // namespace recbase::tool
