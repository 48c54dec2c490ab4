// recbase db load: a new database from a CSV file. The header row's texts
// are the field definitions as icreate_db takes them; each later row is one
// record, converted to the fields' stored forms and added with iaddrec. The
// unique indexes are made first, so that they refuse duplicates row by
// row; the others at the end, each over every record at once.
#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "recbase/codes.h"
#include "recbase/isam.h"
#include "tools/db_cmd.h"
#include "tools/db_csv.h"
#include "tools/db_support.h"
#include "tools/progress_bar.h"
#include "tools/tool_support.h"

namespace recbase::tool {

namespace {

struct IndexSpec {
  std::string name;
  std::vector<std::string> specs;
};

// "NAME=SPEC;SPEC..." into its parts; false when there is no '=' or no
// name.
bool parse_index_option(const std::string &option, IndexSpec &index) {
  const size_t equals = option.find('=');
  if (equals == std::string::npos || equals == 0) return false;
  index.name = option.substr(0, equals);
  index.specs.clear();
  const std::string rest = option.substr(equals + 1);
  size_t start = 0;
  while (start < rest.size()) {
    size_t end = rest.find(';', start);
    if (end == std::string::npos) end = rest.size();
    index.specs.push_back(rest.substr(start, end - start));
    start = end + 1;
  }
  return true;
}

std::vector<const char *> c_strings(const std::vector<std::string> &texts) {
  std::vector<const char *> list;
  for (const std::string &t : texts) list.push_back(t.c_str());
  list.push_back(nullptr);
  return list;
}

// Errors of iaddrec that belong to the row (it is then not added and the
// database is as before): too large, a key too long, or a key that a
// unique index holds already; any other stops the load.
bool row_error(int32_t code) {
  return code == ISERR_DATA_TOO_LARGE || code == ISERR_KEY_TOO_LONG ||
         (code == ISERR_CBT && cberrcode == CBERR_DUP_KEY);
}

bool is_unique(const std::string &index_name) {
  return index_name.find(",U") != std::string::npos ||
         index_name.find(",u") != std::string::npos;
}

// A key field specification (FIELD, FIELD:LEN or FIELD:START,LEN) whose
// FIELD is not a field definition but the plain name (the definition up
// to its first comma) of exactly one field is given that definition, as
// the library matches whole definitions; any other comes back as it is.
std::string with_definition(const std::string &spec, char **definitions) {
  const size_t colon = spec.find(':');
  const std::string field = spec.substr(0, colon);
  std::string found;
  int matches = 0;
  for (char **d = definitions; *d != nullptr; ++d) {
    const std::string definition = *d;
    if (same_name(definition, field)) return spec;
    if (same_name(definition.substr(0, definition.find(',')), field)) {
      found = definition;
      ++matches;
    }
  }
  if (matches != 1) return spec;
  return colon == std::string::npos ? found : found + spec.substr(colon);
}

// imkindex over the records the database holds, with the bar; false with
// the error printed.
bool make_index(IsamDb *db, const std::string &name, const IndexSpec &index,
                ProgressBar &bar, int64_t records) {
  std::vector<const char *> specs = c_strings(index.specs);
  bar.restart("index \"" + index.name + "\"", records);
  ProgressBar::Routine routine(bar);
  clear_os_error();
  const int32_t made = imkindex(db, index.name.c_str(), specs.data());
  bar.finish();
  if (made == 1) return true;
  report_isam_error(name + ": index \"" + index.name + "\"");
  std::fprintf(stderr, "%s: load stopped; nothing is kept\n", name.c_str());
  return false;
}

// Gives every key field its definition (with_definition) and makes the
// unique indexes, before the rows go in: iaddrec then refuses a row whose
// key one of them holds already, and the row is reported by its line. The
// others are made at the end, each over every record at once. unique_names
// receives the unique indexes' names for that report. False with the error
// printed.
bool prepare_indexes(IsamDb *db, const std::string &name,
                     std::vector<IndexSpec> &indexes, ProgressBar &bar,
                     std::string *unique_names) {
  for (IndexSpec &index : indexes) {
    for (std::string &spec : index.specs) {
      spec = with_definition(spec, igetfldnames(db));
    }
    if (!is_unique(index.name)) continue;
    if (!make_index(db, name, index, bar, 0)) return false;
    *unique_names += (unique_names->empty() ? "\"" : " or \"") + index.name;
    *unique_names += '"';
  }
  return true;
}

// The new database: removed again unless kept.
class NewDb {
 public:
  NewDb(std::string name, IsamDb *db) : name_(std::move(name)), db_(db) {}
  ~NewDb() {
    if (db_ != nullptr) iclose_db(db_);
    if (!kept_) idestroy_db(name_.c_str());
  }
  NewDb(const NewDb &) = delete;
  NewDb &operator=(const NewDb &) = delete;
  IsamDb *get() const { return db_; }
  // Closes the database for good; false with the error printed.
  bool keep() {
    IsamDb *db = db_;
    db_ = nullptr;
    clear_os_error();
    if (iclose_db(db) != 1) {
      report_isam_error(name_);
      return false;
    }
    kept_ = true;
    return true;
  }

 private:
  std::string name_;
  IsamDb *db_;
  bool kept_ = false;
};

// The --index options as name and specifications; false with the usage
// error printed.
bool parse_indexes(const std::vector<std::string> &options,
                   std::vector<IndexSpec> *indexes) {
  indexes->resize(options.size());
  for (size_t i = 0; i < options.size(); ++i) {
    if (!parse_index_option(options[i], (*indexes)[i])) {
      std::fprintf(stderr,
                   "recbase: --index \"%s\": expected NAME=SPEC;SPEC...\n",
                   options[i].c_str());
      return false;
    }
  }
  return true;
}

// The CSV file whole into *text; false with the error printed.
bool read_csv(const std::string &csv_file, std::string *text) {
  std::ifstream in(csv_file, std::ios::binary);
  std::stringstream content;
  if (!in || !(content << in.rdbuf())) {
    // An empty file reads as a failed copy too; it has no header either.
    std::fprintf(stderr, "%s: cannot be read, or has no header row\n",
                 csv_file.c_str());
    return false;
  }
  *text = content.str();
  return true;
}

// What the rows of a load came to.
struct RowCount {
  int64_t added = 0, skipped = 0;
};

// Adds every row after the header as a record; a row that does not fit is
// reported by its line and skipped (with strict, the load stops). Returns
// kExitOk to go on, else the exit code of a load that stopped.
int load_rows(IsamDb *db, const std::string &name, const std::string &csv_file,
              const CsvRecord &header, CsvReader &reader, bool strict,
              ProgressBar &bar, const std::string &unique_names,
              RowCount *count) {
  const size_t columns = header.fields.size();
  std::vector<int32_t> types(columns), lengths(columns);
  for (size_t i = 0; i < columns; ++i) {
    types[i] = igetfldtype(db, static_cast<int32_t>(i));
    lengths[i] = igetfldlen(db, static_cast<int32_t>(i));
  }
  CsvRecord row;
  std::vector<std::string> stored(columns);
  std::vector<char *> values(columns + 1, nullptr);
  while (reader.next(row)) {
    bar.update(static_cast<int64_t>(reader.position()));
    std::string problem = row.error;
    if (problem.empty() && row.fields.size() != columns) {
      problem = std::to_string(row.fields.size()) + " columns, not " +
                std::to_string(columns);
    }
    for (size_t i = 0; problem.empty() && i < columns; ++i) {
      problem = parse_value(types[i], lengths[i], row.fields[i], stored[i]);
      if (!problem.empty()) problem = header.fields[i] + ": " + problem;
      values[i] = stored[i].data();
    }
    if (problem.empty()) {
      clear_os_error();
      if (iaddrec(db, nullptr, values.data()) == 1) {
        ++count->added;
        continue;
      }
      if (!row_error(isam_errno)) {
        report_isam_error(name);
        return kExitUnsound;
      }
      problem = isam_errno == ISERR_CBT
                    ? "duplicate key in unique index " + unique_names
                    : isammsg(isam_errno);
    }
    bar.finish();
    std::fprintf(stderr, "%s:%" PRId64 ": %s\n", csv_file.c_str(), row.line,
                 problem.c_str());
    ++count->skipped;
    if (strict) {
      std::fprintf(stderr, "%s: load stopped; nothing is kept\n", name.c_str());
      return kExitUnsound;
    }
  }
  return kExitOk;
}

}  // namespace

int db_load(const std::string &name, const std::string &csv_file,
            const DbLoadOptions &options) {
  std::vector<IndexSpec> indexes;
  if (!parse_indexes(options.indexes, &indexes)) return kExitUsage;
  std::string text;
  if (!read_csv(csv_file, &text)) return kExitCannotRead;
  CsvReader reader(text);
  CsvRecord header;
  if (!reader.next(header) || !header.error.empty()) {
    std::fprintf(stderr, "%s:1: header row: %s\n", csv_file.c_str(),
                 header.error.empty() ? "missing" : header.error.c_str());
    return kExitUnsound;
  }
  if (database_exists(name)) {
    std::fprintf(stderr,
                 "%s: a database of that name exists (destroy it first)\n",
                 name.c_str());
    return kExitUnsound;
  }

  IsamLibrary library;
  if (!library.start(name)) return kExitCannotRead;
  iset_journal(1);  // a load cut short leaves its last flush point
  const std::vector<const char *> definitions = c_strings(header.fields);
  IsamDb *created =
      icreate_db(name.c_str(), options.block_size, definitions.data());
  if (created == nullptr) {
    report_isam_error(name);
    idestroy_db(name.c_str());
    return kExitUnsound;
  }
  NewDb db(name, created);
  std::string unique_names;
  ProgressBar bar("load " + name, 0, !options.quiet);
  if (!prepare_indexes(db.get(), name, indexes, bar, &unique_names)) {
    return kExitUnsound;
  }
  bar.restart("load " + name, static_cast<int64_t>(text.size()));
  RowCount rows;
  if (const int code = load_rows(db.get(), name, csv_file, header, reader,
                                 options.strict, bar, unique_names, &rows)) {
    return code;
  }
  for (const IndexSpec &index : indexes) {
    if (!is_unique(index.name) &&
        !make_index(db.get(), name, index, bar, rows.added)) {
      return kExitUnsound;
    }
  }
  if (!db.keep()) return kExitUnsound;
  std::printf("%s: %" PRId64 " records added, %" PRId64
              " rows skipped, %zu indexes made\n",
              name.c_str(), rows.added, rows.skipped, indexes.size());
  return rows.skipped == 0 ? kExitOk : kExitUnsound;
}

}  // namespace recbase::tool
