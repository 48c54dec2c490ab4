// The two file names of a database name.
//
// The name is made a full path (relative to the current directory; the
// file need not exist), of at most 259 characters. Then its extension is
// put in: the path is scanned backwards from its last character to its
// second (the first is never looked at). A backslash, '/' or ':' met first
// means the last component has no extension, and the new one is appended;
// a '.' met first is where the old extension starts, and it is replaced.
// So cust, cust.db and cust.xyz all name cust.db and cust.idx, and
// dir.old/cust names dir.old/cust.db. The result, extension included, must
// fit in kPathBufferSize bytes with its terminator.
#ifndef RECBASE_ISAM_NAMES_H
#define RECBASE_ISAM_NAMES_H

#include "isam/handles.h"

namespace recbase::isam {

constexpr char kDataExtension[] = ".db";
constexpr char kIndexExtension[] = ".idx";
// The rollback journal of the database (isam/journal_db.h).
constexpr char kJournalExtension[] = ".jnl";

struct DbPaths {
  char data[kPathBufferSize];
  char index[kPathBufferSize];
  char journal[kPathBufferSize];
};

// The full path of name with extension ext, in out (kPathBufferSize
// bytes). kIsBadFileName when the name cannot be expanded or the result is
// too long.
IsamError build_path(const char *name, const char *ext, char *out);
// The three paths; kIsBadFileName.
IsamError build_paths(const char *name, DbPaths *out);
// The open database whose data path equals data_path byte for byte.
IsamDb *find_open_db(const char *data_path);

}  // namespace recbase::isam

#endif  // RECBASE_ISAM_NAMES_H
