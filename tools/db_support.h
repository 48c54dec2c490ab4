// What the db subcommands share: the library's start for a database
// command, the printing of the ISAM layer's error state, the names of the
// field types and the files of a database.
#ifndef RECBASE_TOOLS_DB_SUPPORT_H
#define RECBASE_TOOLS_DB_SUPPORT_H

#include <cstdint>
#include <string>

#include "recbase/isam.h"

namespace recbase::tool {

// isaminit with buffers as large as any block, so that an index file of
// any block size opens, and isamexit (closing every database still open)
// at the end of the scope.
class IsamLibrary {
 public:
  IsamLibrary() = default;
  ~IsamLibrary();
  IsamLibrary(const IsamLibrary &) = delete;
  IsamLibrary &operator=(const IsamLibrary &) = delete;
  // False with the error printed for what.
  bool start(const std::string &what);

 private:
  bool started_ = false;
};

// Prints "<what>: <isammsg(isam_errno)>" to standard error, followed by the
// B-tree layer's words when the failure came from there (isam_errno 9) and
// the operating system's reason when there was one since clear_os_error()
// (so a command clears it before each call whose failure it reports). A
// file that another process holds open (the system's share lock refused
// it) is said to be in use instead, "opened exclusively" when this
// command's open was a shared one.
void report_isam_error(const std::string &what, bool shared_open = false);

// Index names and field definitions compare without regard to the case of
// ASCII letters, as the library compares them.
bool same_name(const std::string &a, const std::string &b);

// The index of db called name: the one ihandle finds, or else the one
// index whose name without its ",U" (unique) marks is name, when no other
// has that name. Null with isam_errno set (ISERR_UNKNOWN_INDEX when there
// is no such index, or more than one).
IsamIndex *find_index(IsamDb *db, const std::string &name);

// Type letter of a field type code (igetfldtype): S C I U L F D B.
char field_type_letter(int32_t type);

// The data file and index file names the ISAM layer makes of a database
// name: its extension replaced by .db and .idx.
std::string data_file_of(const std::string &name);
std::string index_file_of(const std::string &name);

// Walks ix from its head, calling visit after each step onto a record.
// Returns 1 at the end of the walk, -1 when visit returned false, else the
// failing step's result.
template <typename Visit>
int32_t walk(IsamDb *db, IsamIndex *ix, Visit visit) {
  int32_t rc = ifindhead(db, ix);
  while (rc == 1) {
    if (!visit()) return -1;
    rc = ifindnext(db, ix);
  }
  return rc == -3 ? 1 : rc;
}

// Records of db, counted by a walk of one of its ordinary indexes (every
// record has one entry in each) under the database's read lock, a step of
// the index file's tree per record; a database without one is counted by a
// walk of "Physical Index", which reads and locks every record. -1 with the
// ISAM error state set when the walk fails.
int64_t count_records(IsamDb *db);

// True when the data file or the index file of name exists.
bool database_exists(const std::string &name);

}  // namespace recbase::tool

#endif  // RECBASE_TOOLS_DB_SUPPORT_H
