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
// the operating system's reason when there was one.
void report_isam_error(const std::string &what);

// Type letter of a field type code (igetfldtype): S C I U L F D B.
char field_type_letter(int32_t type);

// Bytes of a stored value of a number type (I U L F D); 0 for the others.
int32_t number_size(int32_t type);

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

// Records of db, counted by a walk of "Physical Index" (the length words
// only); -1 with the ISAM error state set when the walk fails.
int64_t count_records(IsamDb *db);

// True when the data file or the index file of name exists.
bool database_exists(const std::string &name);

}  // namespace recbase::tool

#endif  // RECBASE_TOOLS_DB_SUPPORT_H
