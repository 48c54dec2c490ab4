// CSV as the db dump and load commands write and read it: RFC 4180 quoting
// (a field holding a comma, a double quote, CR or LF is enclosed in double
// quotes, its quotes doubled), records ended by LF or CRLF; and the text
// form of each field type's stored values.
#ifndef RECBASE_TOOLS_DB_CSV_H
#define RECBASE_TOOLS_DB_CSV_H

#include <cstdint>
#include <string>
#include <vector>

namespace recbase::tool {

// Appends value to line as one CSV field, quoted when it needs to be.
void append_csv_field(std::string &line, const std::string &value);

// One record of a CSV text: its fields, and the line on which it starts.
struct CsvRecord {
  std::vector<std::string> fields;
  int64_t line = 0;
  std::string error;  // not empty: the record is malformed (fields unset)
};

// Reads the records of a CSV text one at a time. A final line end is
// optional; a malformed record (a quote inside an unquoted field, text
// after a closing quote, a quote never closed) is returned with its error
// and reading goes on after the line on which the error was found.
class CsvReader {
 public:
  explicit CsvReader(const std::string &text) : text_(text) {}
  // False at the end of the text.
  bool next(CsvRecord &record);
  // Bytes of the text read so far.
  size_t position() const { return at_; }

 private:
  void skip_line();
  const std::string &text_;
  size_t at_ = 0;
  int64_t line_ = 1;
};

// The text of a stored value of a field of type (igetfldtype's code):
// integers in decimal, F and D in the shortest decimal form that reads back
// to the same value, B (length bytes) as lower-case hex, texts as they are.
std::string format_value(int32_t type, const char *value, int32_t length);

// Parses text into the stored form of a value of type, in stored (for a
// binary field of length bytes: shorter hex is padded with zero bytes).
// Returns an empty string, or what is wrong with the text.
std::string parse_value(int32_t type, int32_t length, const std::string &text,
                        std::string &stored);

}  // namespace recbase::tool

#endif  // RECBASE_TOOLS_DB_CSV_H
