// recbase db info, show and dump: read a database through the ISAM layer,
// opened shared and read-only, so that they can run beside the
// applications using it.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "recbase/codes.h"
#include "recbase/isam.h"
#include "tools/db_cmd.h"
#include "tools/db_csv.h"
#include "tools/db_support.h"
#include "tools/tool_support.h"

namespace recbase::tool {

namespace {

// An open database, closed at the end of the scope. A later failure is
// reported with the system error of its own call, not one the open met on
// the way (a missing index file).
class OpenDb {
 public:
  explicit OpenDb(const std::string &name)
      : db_(iopen_db_shared(name.c_str(), 1, 1)) {
    if (db_ != nullptr) clear_os_error();
  }
  ~OpenDb() {
    if (db_ != nullptr) iclose_db(db_);
  }
  OpenDb(const OpenDb &) = delete;
  OpenDb &operator=(const OpenDb &) = delete;
  IsamDb *get() const { return db_; }

 private:
  IsamDb *db_;
};

// One record's values, read with igetrec3: a buffer per field, text
// buffers grown by the library as the values need.
class RecordBuffers {
 public:
  explicit RecordBuffers(IsamDb *db) {
    const int32_t count = igetfldcount(db);
    for (int32_t i = 0; i < count; ++i) {
      types_.push_back(igetfldtype(db, i));
      lengths_.push_back(igetfldlen(db, i));
      const int32_t size = isam_field_size(types_[i], lengths_[i]);
      sizes_.push_back(size);
      fields_.push_back(size > 0 ? static_cast<char *>(std::malloc(size))
                                 : nullptr);
    }
  }
  ~RecordBuffers() {
    for (char *field : fields_) std::free(field);
  }
  RecordBuffers(const RecordBuffers &) = delete;
  RecordBuffers &operator=(const RecordBuffers &) = delete;

  // igetrec3 of the current record of ix.
  int32_t read(IsamDb *db, IsamIndex *ix) {
    return igetrec3(db, ix, fields_.data(), sizes_.data());
  }
  std::string text(size_t i) const {
    return format_value(types_[i], fields_[i], lengths_[i]);
  }
  size_t count() const { return fields_.size(); }

 private:
  std::vector<int32_t> types_, lengths_, sizes_;
  std::vector<char *> fields_;
};

std::string file_size_text(const std::string &file) {
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(file, error);
  return error ? "(" + error.message() + ")" : std::to_string(size) + " bytes";
}

// showrec and showdb print every value followed by the separator, the last
// one too, each piece on its own; the lines of show and --display end
// without it. A tab piece is held back until the next piece shows whether
// it ended the line.
class TrimmedLines {
 public:
  TrimmedLines() : previous_(cbset_print(print)) {}
  ~TrimmedLines() { cbset_print(previous_); }
  TrimmedLines(const TrimmedLines &) = delete;
  TrimmedLines &operator=(const TrimmedLines &) = delete;

 private:
  static int32_t RBCALL print(const char *text) {
    const bool line_end = std::strcmp(text, "\n") == 0;
    if (held_ && !line_end && std::fputs("\t", stdout) < 0) return -1;
    held_ = std::strcmp(text, "\t") == 0;
    if (held_) return 1;
    return std::fputs(text, stdout) >= 0 ? 1 : -1;
  }
  static inline bool held_ = false;
  RbPrint previous_;
};

}  // namespace

int db_info(const std::string &name) {
  IsamLibrary library;
  if (!library.start(name)) return kExitCannotRead;
  OpenDb db(name);
  if (db.get() == nullptr) {
    report_isam_error(name, true);
    return kExitCannotRead;
  }
  const bool without_index_file = isam_errno != ISERR_OK;
  const std::string data_file = igetfilename(db.get());
  const std::string index_file = index_file_of(data_file);
  std::printf("data file   %s, %s\n", data_file.c_str(),
              file_size_text(data_file).c_str());
  std::printf("index file  %s, %s%s\n", index_file.c_str(),
              file_size_text(index_file).c_str(),
              without_index_file ? " (cannot be used)" : "");

  const int32_t count = igetfldcount(db.get());
  char **definitions = igetfldnames(db.get());
  std::printf("fields      %" PRId32 "\n", count);
  for (int32_t i = 0; i < count; ++i) {
    const int32_t type = igetfldtype(db.get(), i);
    std::string line = "  " + std::to_string(i) + "  " + definitions[i] + "  " +
                       field_type_letter(type);
    if (type == ISFIELD_BINARY)
      line += " " + std::to_string(igetfldlen(db.get(), i));
    std::printf("%s\n", line.c_str());
  }

  // igetindexnames and igetdesc each reuse one buffer: copy the names first.
  std::vector<std::string> names;
  for (char **n = igetindexnames(db.get()); n != nullptr && *n != nullptr; ++n)
    names.emplace_back(*n);
  std::printf("indexes     %zu\n", names.size());
  for (const std::string &index : names) {
    IsamIndex *ix = ihandle(db.get(), index.c_str());
    char **parts = ix == nullptr ? nullptr : igetdesc(db.get(), ix);
    if (parts == nullptr) {
      report_isam_error(name + ": index \"" + index + "\"");
      return kExitCannotRead;
    }
    std::string line = "  " + index + ":";
    for (char **p = parts; *p != nullptr; ++p)
      line += std::string(" ") + *p + ";";
    line.pop_back();
    std::printf("%s\n", line.c_str());
  }

  const int64_t records = count_records(db.get());
  if (records < 0) {
    report_isam_error(name);
    return kExitCannotRead;
  }
  std::printf("records     %" PRId64 "\n", records);
  IsamFreeSpace free{};
  if (without_index_file || ifreespace(db.get(), &free) != 1) {
    std::printf("free space  unknown (no free-space map)\n");
  } else {
    std::printf("free space  %" PRId64 " areas, %" PRId64
                " bytes, largest %" PRId32 "\n",
                free.areas, free.bytes, free.largest);
  }
  return kExitOk;
}

int db_dump(const std::string &name, const DbDumpOptions &options) {
  IsamLibrary library;
  if (!library.start(name)) return kExitCannotRead;
  OpenDb db(name);
  if (db.get() == nullptr) {
    report_isam_error(name, true);
    return kExitCannotRead;
  }
  const std::string index = options.index.empty() ? iphysical : options.index;
  IsamIndex *ix = find_index(db.get(), index);
  if (ix == nullptr) {
    report_isam_error(name + ": index \"" + index + "\"");
    return isam_errno == ISERR_UNKNOWN_INDEX ? kExitUnsound : kExitCannotRead;
  }

  if (options.display) {
    // showdb prints through the print routine and words a failure inside
    // the walk as one of its lines.
    const TrimmedLines lines;
    if (showdb(db.get(), ix, "\t") != 1) {
      report_isam_error(name);
      return kExitCannotRead;
    }
    return std::fflush(stdout) == 0 ? kExitOk : kExitCannotRead;
  }

  std::string line;
  char **definitions = igetfldnames(db.get());
  for (char **d = definitions; *d != nullptr; ++d) {
    if (d != definitions) line += ',';
    append_csv_field(line, *d);
  }
  line += '\n';
  std::fputs(line.c_str(), stdout);

  RecordBuffers record(db.get());
  const int32_t rc = walk(db.get(), ix, [&] {
    if (record.read(db.get(), ix) != 1) return false;
    line.clear();
    for (size_t i = 0; i < record.count(); ++i) {
      if (i > 0) line += ',';
      append_csv_field(line, record.text(i));
    }
    // A lone empty value would make an empty line; quoting keeps the row.
    if (line.empty()) line = "\"\"";
    line += '\n';
    return std::fwrite(line.data(), 1, line.size(), stdout) == line.size();
  });
  if (rc != 1) {
    report_isam_error(name);
    return kExitCannotRead;
  }
  if (std::fflush(stdout) != 0) {
    std::perror("recbase: writing the dump");
    return kExitCannotRead;
  }
  return kExitOk;
}

int db_show(const std::string &name, const std::string &index, int64_t limit) {
  IsamLibrary library;
  if (!library.start(name)) return kExitCannotRead;
  OpenDb db(name);
  if (db.get() == nullptr) {
    report_isam_error(name, true);
    return kExitCannotRead;
  }
  const std::string order = index.empty() ? iphysical : index;
  IsamIndex *ix = find_index(db.get(), order);
  if (ix == nullptr) {
    report_isam_error(name + ": index \"" + order + "\"");
    return isam_errno == ISERR_UNKNOWN_INDEX ? kExitUnsound : kExitCannotRead;
  }
  // A slot holds at most 32767 bytes of values, so one buffer of that size
  // takes any record whole.
  std::vector<char> buffer(32768);
  std::vector<char *> fields(igetfldcount(db.get()) + 1, nullptr);
  int64_t shown = 0;
  const TrimmedLines lines;
  int32_t rc = ifindhead(db.get(), ix);
  while (rc == 1 && (limit < 0 || shown < limit)) {
    if (igetrec(db.get(), ix, fields.data(), buffer.data(),
                static_cast<int32_t>(buffer.size())) != 1) {
      rc = -1;
      break;
    }
    // showrec prints through the print routine, each value in its field
    // type's display format.
    showrec(fields.data(), "\t");
    ++shown;
    rc = ifindnext(db.get(), ix);
  }
  if (rc != 1 && rc != -3) {
    report_isam_error(name);
    return kExitCannotRead;
  }
  return std::fflush(stdout) == 0 ? kExitOk : kExitCannotRead;
}

}  // namespace recbase::tool
