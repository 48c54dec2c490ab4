// The "recbase db ..." subcommands, over the ISAM layer's public calls. Each
// prints its results to standard output and its diagnostics, with the
// library's message texts, to standard error, and returns an exit code of
// tools/tool_support.h. NAME is a database name as the ISAM layer takes it:
// the data file NAME.db and the index file NAME.idx.
#ifndef RECBASE_TOOLS_DB_CMD_H
#define RECBASE_TOOLS_DB_CMD_H

#include <cstdint>
#include <string>
#include <vector>

namespace recbase::tool {

// Prints the fields (number, definition, type, binary length), the indexes
// with their key parts, the record count, the sizes of both files and the
// free space as the index file's free-space map lists it. The database is
// opened shared and read-only.
int db_info(const std::string &name);

// Prints the records in the order of index (empty: the data file's order),
// at most limit of them (-1: all), one line each through the display
// routines (showrec): the values in their types' display formats,
// separated by tabs. An index may be named without its ",U". Opened shared
// and read-only.
int db_show(const std::string &name, const std::string &index, int64_t limit);

// Checks the database with icheck_db. Sound: "NAME: sound" and the record,
// index and free-space figures on standard output (nothing with quiet),
// exit 0. Not sound: "NAME: " and the first violation on standard error,
// exit 1. Exit 2 when it could not be checked (a file missing or
// unreadable), with the reason.
int db_check(const std::string &name, bool quiet);

struct DbDumpOptions {
  std::string index;     // walk order; empty: the data file's order
  bool display = false;  // the display routines' lines instead of CSV
};

// Prints every record in the order of an index. CSV: a header row of the
// field definitions as the data file keeps them, then one row per record,
// quoted as RFC 4180 does (a value holding a comma, a quote, CR or LF is
// put in quotes, its quotes doubled), lines ended by LF; numbers in their
// shortest exact decimal form, binary fields as lower-case hex digits.
// Opened shared and read-only.
int db_dump(const std::string &name, const DbDumpOptions &options);

struct DbLoadOptions {
  std::vector<std::string> indexes;  // "NAME=SPEC;SPEC..." each
  int32_t block_size = 0;            // of the index file; 0: 512
  bool strict = false;               // the first bad row stops the load
  bool quiet = false;                // no progress bar
};

// load, copy and reindex draw a progress bar on standard error when it is a
// terminal (tools/progress_bar.h), unless quiet.

// Creates the database NAME from a CSV file whose header row holds the
// field definitions, adds every row, then makes each index (a unique one
// before the rows). A key field may be given by its plain name ("age" for
// "age,I") when no other field has that name. A row that does not fit
// (wrong column count, a number out of range or not a number, binary not
// in hex or too long, a record too large, a key that a unique index holds
// already) is reported as "FILE:LINE: ..." and skipped; with strict the
// load stops at it and the new database is destroyed. An existing database
// of that name is refused.
// Exit 0 when every row was added, 1 when rows were skipped (the database
// stays) or the load was refused or stopped, 2 when the CSV cannot be read.
int db_load(const std::string &name, const std::string &csv_file,
            const DbLoadOptions &options);

// icopy_db: DST made anew (refused when it exists) holding SRC's records
// back to back in the order of index (empty: file order) and every index
// of SRC made again.
int db_copy(const std::string &source, const std::string &target,
            const std::string &index, int32_t block_size, bool quiet);

// A new index file (block_size 0: the old file's block size when it can be
// read) with every index the old one described made again.
int db_reindex(const std::string &name, int32_t block_size, bool quiet);

int db_rename(const std::string &from, const std::string &to);
int db_destroy(const std::string &name);

}  // namespace recbase::tool

#endif  // RECBASE_TOOLS_DB_CMD_H
