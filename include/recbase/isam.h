/* recbase: the ISAM layer (the display routines and the output window in
 * recbase/display.h, included at the end).
 *
 * Conventions of this header:
 *  1. A database is reached through an IsamDb handle and each of its indexes
 *     through an IsamIndex handle: opaque pointers that the library makes,
 *     registers and frees at close. Every call checks them first: a stale
 *     handle fails with isam_errno 1 (ISERR_BAD_DB: database) or 2
 *     (ISERR_BAD_INDEX: index, also for an index of another database) and
 *     changes nothing.
 *  2. Results: 1 success, -1 failure; calls that return a handle, a text or
 *     a list return NULL on failure. Finding and walking also return 2
 *     (found), 3 (not found, positioned on the next record), -2 (before the
 *     first record), -3 (past the last record, or empty) and -4 (a lock that
 *     another process holds).
 *  3. Errors: most calls set isam_errno to 0 on entry and to the reason on
 *     failure (ISERR_... in recbase/codes.h). A failure of the B-tree layer
 *     below is isam_errno 9 (ISERR_CBT), with cberrcode, cbfcncode and
 *     cbconcode left as that layer set them. A NULL where a name, a list or a
 *     result pointer is required is isam_errno 35 (ISERR_NULL_ARG).
 *  4. Field values travel as arrays of pointers to char, one per field in
 *     field order ("by field number") or one per key field of an index in
 *     key order ("by key field"), each pointing at the value in its stored
 *     form: text NUL-terminated; numbers as the machine holds them (I and U
 *     16 bits, L 32 bits, F float, D double); binary fields their n bytes.
 *  5. Memory: the library owns every handle, name and list it returns. Field
 *     names and index names live until their database is closed; the lists
 *     of igetdesc and igetindexnames are overwritten by the next call of the
 *     same function and freed by a call with a NULL handle or by isamexit.
 *  6. Files: a database NAME is the data file NAME.db (a header of field
 *     definitions, then the records) and the index file NAME.idx (a B-tree
 *     file holding every index of the database). A name becomes a full path
 *     (of at most 259 characters) whose extension, if any, is replaced.
 *  7. The first icreate_db, iopen_db_shared, irename_db or idestroy_db of a
 *     process that has not set the library up calls isaminit(16, 512)
 *     itself (ISAM_AUTO_BUFFERS, ISAM_AUTO_BUFFER_SIZE; icopy_db through its
 *     open).
 *  8. No threads: the layer keeps process-wide state (open databases, the
 *     current database, a key buffer of the pool's buffer size, result
 *     lists); callers make one call at a time.
 *  9. Calling convention RBCALL; integers are int32_t unless shown.
 */
#ifndef RECBASE_ISAM_H
#define RECBASE_ISAM_H

#include "recbase/cbt.h"

RB_EXTERN_C_BEGIN

/* An open database: the data file NAME.db and its index file NAME.idx. */
typedef struct IsamDb IsamDb;
/* One open index of a database. */
typedef struct IsamIndex IsamIndex;

/* ------------------------------------------------------------------------ */
/* Error state                                                               */
/* ------------------------------------------------------------------------ */

/* Error code of the most recent ISAM failure (see isammsg). */
RBAPI extern int32_t isam_errno;

/* Message text of an ISAM error code (0..41), else "Unknown isam error
 * number". The text is constant and owned by the library. */
RBAPI const char *RBCALL isammsg(int32_t code);
/* Prints the text of isam_errno followed by a newline through the print routine
 * (one call for texts under 79 characters, else text then newline). Changes no
 * error variable. Returns the print routine's result (1, or -1
 * when any piece failed). */
RBAPI int32_t RBCALL iprterr(void);
/* Current isam_errno. */
RBAPI int32_t RBCALL iget_errno(void);
/* Stores code in isam_errno. */
RBAPI void RBCALL iset_errno(int32_t code);

/* Rollback journal of databases. on non-zero: every database created or
 * opened after the call keeps one journal, NAME.jnl beside NAME.db and
 * NAME.idx, covering both files (a record change writes both); 0 (the
 * default): none. Returns the previous setting.
 *
 * The promise: with the journal on, after the process dies at any point, or
 * after every write fails from some point on, the next open of the database
 * (exclusive, shared or read-only, whatever that process's setting) rolls
 * both files back to exactly their state at the last completed flush point:
 * iflush_db, iclose_db, isamexit, and in a shared database the end of each
 * change call (or iunlock_all after ilock_all(db, 2)). A writer of a shared
 * database that dies holding its write lock leaves a journal that the next
 * process to take a lock rolls back before it reads. Between flush points
 * changed index blocks may still reach NAME.idx (the pool is full), and in
 * a shared database record bytes reach NAME.db: the old image of each index
 * block and of each 4 KiB page of NAME.db goes into the journal, and the
 * journal is synced, before its first overwrite since the flush point. A
 * database not shared keeps its changed pages of NAME.db in memory until
 * the flush point, so a failed write of them is reported there (ISERR_IO
 * from iflush_db or iclose_db), or by a later call that needed room for
 * another page, rather than by the call that changed the record; the
 * database then rolls back at its next open. icreate_db, icopy_db (its
 * target) and inew_index_file write the new files beside the old ones and
 * put them in place in one step: a crash leaves the old files or the new
 * ones (a copy's target absent or complete), and inew_index_file that
 * fails leaves the database as it was. A database with a journal beside it
 * keeps using it whatever the setting; irename_db renames it and
 * idestroy_db removes it. Not covered: a power loss right after a flush
 * point may bring back the one before it. */
RBAPI int32_t RBCALL iset_journal(int32_t on);
/* 1 when the journal of database name waits to be rolled back (its next
 * open will do it), 0 when there is none to roll back, -1 when it cannot be
 * read or the name cannot be made a path. Touches no file and no error. */
RBAPI int32_t RBCALL ijournal_hot(const char *name);

/* ------------------------------------------------------------------------ */
/* Library start and exit                                                    */
/* ------------------------------------------------------------------------ */

/* Sets the library up: the block buffer pool (cbinit(count, size): 0 buffers
 * means 16, fewer than 6 become 6; size 0 or below 36 means 512) and the
 * platform services. The pool's buffer size bounds every index file's block
 * size and every key. Registers isamexit to run at normal process exit (once
 * per call that gets past the first check). Returns 1 with isam_errno 0, or -1
 * with 22 (ISERR_ALREADY_INIT) when already set up (nothing changes), 9
 * (ISERR_CBT) when cbinit fails. */
RBAPI int32_t RBCALL isaminit(int32_t count, int32_t size);
/* As isaminit, and then makes display (if not NULL) the print routine through
 * which every text of the library goes. instance is the application's handle
 * that the output window needs; it is stored even when the call fails. On Linux
 * any non-null pointer will do (the window needs no instance there; a non-null
 * one says that the application wants it). Passing iputs_win without an
 * instance fails with 40 (ISERR_NO_WIN_INSTANCE) after the library was set up
 * (the default print routine stays); while set-up fails, a display function
 * given leaves iputs_winbox as the print routine. Returns 1, or -1 with 22
 * (ISERR_ALREADY_INIT), 9 (ISERR_CBT) or 40 (ISERR_NO_WIN_INSTANCE). */
RBAPI int32_t RBCALL isaminit_mswin(int32_t count, int32_t size,
                                    RbPrint display, void *instance);
/* Closes every open database (as iclose_db), frees the layer's key buffer and
 * result lists, and ends the B-tree layer (cbexit) when it is set up; the
 * library may then be set up again. Every database is released even when
 * closing it fails. Returns 1 with isam_errno 0, or -1 with 9 (ISERR_CBT) when
 * cbexit failed, else the code of the first close that failed. */
RBAPI int32_t RBCALL isamexit(void);
/* The pool that the first create or open of a process sets up when nobody
 * called isaminit (convention 7): isaminit(ISAM_AUTO_BUFFERS,
 * ISAM_AUTO_BUFFER_SIZE). */
enum { ISAM_AUTO_BUFFERS = 16, ISAM_AUTO_BUFFER_SIZE = 512 };

/* ------------------------------------------------------------------------ */
/* Databases                                                                 */
/* ------------------------------------------------------------------------ */

/* The name of the built-in index of every database, "Physical Index": the
 * records in the order of the data file. */
RBAPI extern const char *iphysical;

/* Creates the database name, replacing its files if they exist (and are not
 * open), and opens it exclusive and read-write. fields is a NULL-terminated
 * array of field definitions, each the field's name, optionally followed by a
 * comma and a type letter: S or none (text compared without regard to case), C
 * (text compared exactly), I (16-bit signed), U (16-bit unsigned), L (32-bit
 * signed), F (float), D (double), B[:]n (binary of n bytes; no digits or 0 mean
 * 1, above 32767 means 32767); any other letter is text. The whole definition
 * is the field's name. block_size is the index file's (0 means 512, below 92
 * means 92). Returns the handle, or NULL with: 35 (ISERR_NULL_ARG) name or
 * fields NULL; 38 (ISERR_RANGE) the definitions take more than 32767 bytes with
 * their terminators or are more than 32767; 16 (ISERR_BAD_FILE_NAME) the name
 * cannot be made into file names; 3 (ISERR_DB_IN_USE) the database is open; 7
 * (ISERR_IO) the data file cannot be written; 20 (ISERR_BLOCK_TOO_BIG)
 * block_size larger than the pool's buffers; 9 (ISERR_CBT) the index file
 * cannot be made; 5 (ISERR_NO_MEMORY) out of memory; or an error of the open. A
 * failure before the open removes the new data file again (the old one is gone
 * by then). */
RBAPI IsamDb *RBCALL icreate_db(const char *name, int32_t block_size,
                                const char *const *fields);
/* iopen_db_shared(name, 0, 0). */
RBAPI IsamDb *RBCALL iopen_db(const char *name);
/* Opens the database name. shared non-zero lets other processes open it shared
 * too (the header is read under a lock of its first 4 bytes); otherwise no
 * other open of its files is possible until it is closed. read_only refuses
 * every change. A database can be open once per process. Returns the handle, or
 * NULL with: 35 (ISERR_NULL_ARG) name NULL; 16 (ISERR_BAD_FILE_NAME) bad name;
 * 3 (ISERR_DB_IN_USE) already open; 5 (ISERR_NO_MEMORY) out of memory; 10
 * (ISERR_NOT_FOUND) the data file cannot be opened; 26 (ISERR_LOCK_REC) the
 * header or the index file cannot be locked; 27 (ISERR_UNLOCK_REC) the header's
 * lock cannot be released; 7 (ISERR_IO) the header cannot be read or is not
 * sound (negative counts, more definitions or bytes than the file holds, a
 * definition without its terminator). When the index file cannot be used
 * (missing, damaged, a descriptor naming no field, or the same index number
 * twice) the database still opens, with "Physical Index" as its only index and
 * isam_errno left at 12 (ISERR_INDEX_CORRUPT; 9 ISERR_CBT when reading a
 * descriptor failed, 5 ISERR_NO_MEMORY when memory ran out); isam_errno is 0
 * after a complete open. */
RBAPI IsamDb *RBCALL iopen_db_shared(const char *name, int32_t shared,
                                     int32_t read_only);
/* Flushes and closes the database and frees the handle, which is invalid
 * afterwards in every case once it was valid. Returns 1, or -1 with 1
 * (ISERR_BAD_DB: bad handle), 9 (ISERR_CBT: a B-tree flush or close failed), 7
 * (ISERR_IO: the data file), 27 (ISERR_UNLOCK_REC: a record lock could not be
 * released), the first failure's code. */
RBAPI int32_t RBCALL iclose_db(IsamDb *db);
/* Writes every index's changes to disk, then flushes the data file. A
 * database not shared keeps its changes in memory between flush points (the
 * index blocks in the pool, the changed 4 KiB pages of NAME.db in its data
 * cache) and writes them here, at iclose_db and at isamexit; without the
 * journal, a process that dies between flush points leaves its files as an
 * unknown mix of the two states (with it, as at the last flush point). A
 * page that cannot be written stays changed in memory, and iclose_db tries
 * it once more before the memory goes. Returns 1,
 * or -1 with 1 (ISERR_BAD_DB), 9 (ISERR_CBT: the data file is then not flushed)
 * or 7 (ISERR_IO). */
RBAPI int32_t RBCALL iflush_db(IsamDb *db);
/* The open database whose data file's full path equals that of name, byte for
 * byte; NULL when none is open (isam_errno unchanged), or NULL with 35
 * (ISERR_NULL_ARG: name NULL) or 16 (ISERR_BAD_FILE_NAME: bad name). */
RBAPI IsamDb *RBCALL idbhandle(const char *name);
/* Full path of the data file (owned by the handle), or NULL with 1
 * (ISERR_BAD_DB). */
RBAPI const char *RBCALL igetfilename(IsamDb *db);
/* Number of fields, or -1 with 1 (ISERR_BAD_DB). */
RBAPI int32_t RBCALL igetfldcount(IsamDb *db);
/* The field type codes (igetfldtype) and the letter of each in a field
 * definition. */
typedef enum IsamFieldType {
  ISFIELD_TEXT = 0,       /* S or none: text, compared without regard to case */
  ISFIELD_EXACT_TEXT = 1, /* C: text, compared exactly */
  ISFIELD_INT16 = 2,      /* I: 16-bit signed */
  ISFIELD_UINT16 = 3,     /* U: 16-bit unsigned */
  ISFIELD_INT32 = 4,      /* L: 32-bit signed */
  ISFIELD_FLOAT = 5,      /* F: float */
  ISFIELD_DOUBLE = 6,     /* D: double */
  ISFIELD_BINARY = 7      /* B: binary of its declared length */
} IsamFieldType;
/* Bytes of a stored value of field type `type`: 2 (I, U), 4 (L, F), 8 (D),
 * binary_length (B, as igetfldlen gives it); 0 for text, whose stored size
 * is its length and its NUL, and for any other code. */
static inline int32_t isam_field_size(int32_t type, int32_t binary_length) {
  switch (type) {
    case ISFIELD_INT16:
    case ISFIELD_UINT16:
      return 2;
    case ISFIELD_INT32:
    case ISFIELD_FLOAT:
      return 4;
    case ISFIELD_DOUBLE:
      return 8;
    case ISFIELD_BINARY:
      return binary_length;
    default:
      return 0;
  }
}
/* Type code of field n (IsamFieldType); -1 with 1 (ISERR_BAD_DB), or 24
 * (ISERR_FIELD_NUMBER) when n is not 0..count - 1. */
RBAPI int32_t RBCALL igetfldtype(IsamDb *db, int32_t n);
/* Length of field n when it is binary, 0 for every other type; -1 with 1
 * (ISERR_BAD_DB) or 24 (ISERR_FIELD_NUMBER). */
RBAPI int32_t RBCALL igetfldlen(IsamDb *db, int32_t n);
/* NULL-terminated array of the field definitions as written at create (owned by
 * the handle), or NULL with 1 (ISERR_BAD_DB). */
RBAPI char **RBCALL igetfldnames(IsamDb *db);

/* ------------------------------------------------------------------------ */
/* Indexes and their definitions                                             */
/* ------------------------------------------------------------------------ */

/* An index is named by any text; ",U" (or ",u") anywhere in the name makes
 * it unique (no two records with equal keys). Its key fields are given by
 * specifications "FIELD", "FIELD:LEN" (the first LEN characters of a text
 * field) or "FIELD:START,LEN" (LEN characters from character START), where
 * FIELD is a whole field definition, compared without regard to case. */

/* The index named name (compared without regard to case), or NULL with 35
 * (ISERR_NULL_ARG: name NULL), 1 (ISERR_BAD_DB), 8 (ISERR_UNKNOWN_INDEX: no
 * such index) or 12 (ISERR_INDEX_CORRUPT: the database was opened without its
 * index file). */
RBAPI IsamIndex *RBCALL ihandle(IsamDb *db, const char *name);
/* The index's name (owned by the index), or NULL with 1 (ISERR_BAD_DB) or 2
 * (ISERR_BAD_INDEX). */
RBAPI const char *RBCALL iindexname(IsamDb *db, IsamIndex *ix);
/* The index's key fields as a NULL-terminated array of texts: each field's
 * definition, followed by ":LEN" or ":START,LEN" (START when not 0) when the
 * index uses part of it; for "Physical Index" every field in field order. The
 * array lives in one library buffer, overwritten by the next call; db NULL
 * frees it and returns NULL (isam_errno 0). NULL with 1 (ISERR_BAD_DB), 2
 * (ISERR_BAD_INDEX) or 5 (ISERR_NO_MEMORY). */
RBAPI char **RBCALL igetdesc(IsamDb *db, IsamIndex *ix);
/* Number of key fields, or -1 with 1 (ISERR_BAD_DB) or 2 (ISERR_BAD_INDEX). */
RBAPI int32_t RBCALL igetdesc_count(IsamDb *db, IsamIndex *ix);
/* Field number of key field k, or -1 with 1 (ISERR_BAD_DB), 2 (ISERR_BAD_INDEX)
 * or 25 (ISERR_KEY_NUMBER: k not 0..count-1). */
RBAPI int32_t RBCALL igetdesc_fldnbr(IsamDb *db, IsamIndex *ix, int32_t k);
/* START of key field k (0 when the index uses whole fields), or -1 with 1
 * (ISERR_BAD_DB), 2 (ISERR_BAD_INDEX) or 25 (ISERR_KEY_NUMBER). */
RBAPI int32_t RBCALL igetdesc_fldstart(IsamDb *db, IsamIndex *ix, int32_t k);
/* LEN of key field k (0: the whole field), or -1 with 1 (ISERR_BAD_DB), 2
 * (ISERR_BAD_INDEX) or 25 (ISERR_KEY_NUMBER). */
RBAPI int32_t RBCALL igetdesc_fldlen(IsamDb *db, IsamIndex *ix, int32_t k);

/* ------------------------------------------------------------------------ */
/* Records                                                                   */
/* ------------------------------------------------------------------------ */

/* Every index has a current record and a state: 1 on a record, -2 before the
 * first, -3 past the last (a new index starts at -2). The calls below that
 * work on the current record return -2 or -3 themselves, with no error,
 * when the index is not on a record. */

/* Adds a record (fields by field number) and enters it into every index; ix
 * (may be NULL) is left on the new record. The record goes into the largest
 * free area of the data file when it fits (split when the rest is worth
 * keeping), else at the end of the file. Returns 1, or -1 with 31
 * (ISERR_READ_ONLY: read-only), 26 (ISERR_LOCK_REC: lock), 35 (ISERR_NULL_ARG:
 * fields or one of its values NULL), 30 (ISERR_DATA_TOO_LARGE: the values take
 * more than 32767 bytes: a slot cannot hold them), 5 (ISERR_NO_MEMORY), 7
 * (ISERR_IO), 11 (ISERR_KEY_TOO_LONG: a key longer than the key buffer) or 9
 * (ISERR_CBT: a unique index refused a duplicate): a failed add removes the
 * keys it entered and gives its slot back to the free space, so no record of it
 * remains. */
RBAPI int32_t RBCALL iaddrec(IsamDb *db, IsamIndex *ix, char *const *fields);
/* Reads the current record into buffer (size bytes) and points fields (count +
 * 1 slots) at its values; slots of fields that did not fit are NULL. Returns 1,
 * the state, or -1 with 34 (ISERR_BUFFER_SMALL: buffer too small: the first
 * size - 1 bytes are read and split), 35 (ISERR_NULL_ARG: fields NULL, or
 * buffer NULL with size > 0), 9 (ISERR_CBT), 4 (ISERR_NO_CURRENT) or 26
 * (ISERR_LOCK_REC); 7 (ISERR_IO) when the slot cannot be read (the file ends
 * inside it) or does not hold a whole record; 12 (ISERR_INDEX_CORRUPT) when the
 * index entry points before the first slot or at a free area (a damaged index).
 * The last three also hold for every call below that reads a record, and none
 * of them writes anything then. */
RBAPI int32_t RBCALL igetrec(IsamDb *db, IsamIndex *ix, char **fields,
                             char *buffer, int32_t size);
/* Copies each field of the current record into the caller's buffer fields[i] of
 * lengths[i] bytes (lengths NULL: unchecked). Returns 1, the state, or -1 with
 * 35 (ISERR_NULL_ARG: fields or a buffer NULL), 23 (ISERR_FIELD_TOO_LONG: a
 * field longer than its buffer; the fields before it are copied), 5
 * (ISERR_NO_MEMORY), 7 (ISERR_IO), 12 (ISERR_INDEX_CORRUPT), 9 (ISERR_CBT), 4
 * (ISERR_NO_CURRENT) or 26 (ISERR_LOCK_REC). */
RBAPI int32_t RBCALL igetrec2(IsamDb *db, IsamIndex *ix, char *const *fields,
                              int32_t *lengths);
/* As igetrec2, but each text field's buffer is a malloc/realloc block that
 * is enlarged with realloc (and its lengths entry updated to the value's
 * size with its NUL) when the value needs more; a NULL buffer is allocated.
 * Number and binary buffers never grow: a lengths entry below their size is
 * 23. fields and lengths are both required (35 (ISERR_NULL_ARG)); 5
 *     (ISERR_NO_MEMORY) when realloc fails (the
 * buffer is then unchanged).  */
RBAPI int32_t RBCALL igetrec3(IsamDb *db, IsamIndex *ix, char **fields,
                              int32_t *lengths);
/* Stores the current record's slot length (its content bytes, slack included)
 * in *length (0 when nothing was read). Returns 1, the state, or -1 with 7
 * (ISERR_IO), 9 (ISERR_CBT), 4 (ISERR_NO_CURRENT) or 26 (ISERR_LOCK_REC). */
RBAPI int32_t RBCALL igetreclen(IsamDb *db, IsamIndex *ix, uint16_t *length);
/* Replaces the current record by fields (by field number). The record stays in
 * its slot when it fits (a tail of more than the minimum record length becomes
 * free space), else it moves to a new slot (its record locks move with it).
 * Every index follows and takes its state from where its cursor stands
 * afterwards: an index whose cursor was on the record stands on the entry after
 * it; "Physical Index" on the record moves to the next record in file order.
 * Returns 1, the state, or -1 with 31 (ISERR_READ_ONLY), 26 (ISERR_LOCK_REC),
 * 35 (ISERR_NULL_ARG), 30 (ISERR_DATA_TOO_LARGE), 5 (ISERR_NO_MEMORY), 7
 * (ISERR_IO), 12 (ISERR_INDEX_CORRUPT), 11 (ISERR_KEY_TOO_LONG) or 9
 * (ISERR_CBT). An index that cannot follow, or space left behind that cannot be
 * freed, undoes the change: the indexes take their old entries back and the old
 * values are written back (or the new slot is freed). When a moved record's
 * locks cannot be taken to its new place the change stands, the locks stay on
 * the old place and the result is -1 with 26 (ISERR_LOCK_REC). */
RBAPI int32_t RBCALL imodrec(IsamDb *db, IsamIndex *ix, char *const *fields);
/* Deletes the current record from the data file and every index; ix is left on
 * the record that followed. Its slot becomes free space first, merged with free
 * areas just before and after it; then every index drops the record's entry.
 * Returns 1, or -1 with 4 (ISERR_NO_CURRENT: no current record), 31
 * (ISERR_READ_ONLY), 26 (ISERR_LOCK_REC), 7 (ISERR_IO), 12
 * (ISERR_INDEX_CORRUPT), 9 (ISERR_CBT: nothing is deleted when the record
 * cannot be read or its slot cannot be released), or 9 (ISERR_CBT) or 11
 * (ISERR_KEY_TOO_LONG) from an index: an index that fails does not stop the
 * others, and may keep its entry for the slot now free. */
RBAPI int32_t RBCALL idelrec(IsamDb *db, IsamIndex *ix);

/* ------------------------------------------------------------------------ */
/* Finding                                                                   */
/* ------------------------------------------------------------------------ */

/* Calls marked (*) are refused by "Physical Index" with -1 and isam_errno 6
 * (ISERR_NOT_FOR_INDEX). A B-tree failure is -1 with 9 (ISERR_CBT). */

/* First record: 1, or -3 when the index is empty. "Physical Index" reads the
 * data file slot by slot, skipping free areas; in a shared database it keeps
 * its current record locked (against other processes) until it moves on, and
 * each step holds the database's read lock while it reads the slots' length
 * words (-1 with 26 (ISERR_LOCK_REC) when a slot stays locked by another
 * process beyond the ilock_timeout settings). */
RBAPI int32_t RBCALL ifindhead(IsamDb *db, IsamIndex *ix);
/* (*) Last record: 1, or -2 when the index is empty. */
RBAPI int32_t RBCALL ifindtail(IsamDb *db, IsamIndex *ix);
/* Next record: 1, or -3 past the end (from -2: as ifindhead). */
RBAPI int32_t RBCALL ifindnext(IsamDb *db, IsamIndex *ix);
/* (*) Previous record: 1, or -2 before the beginning (from -3: as
 * ifindtail). */
RBAPI int32_t RBCALL ifindprev(IsamDb *db, IsamIndex *ix);
/* (*) Searches by key (values by key field; a NULL ends them early, which
 * searches for the first key that begins with the values given): 2 the exact
 * key found, 3 positioned on the next key (or past the end); -1 with 11
 * (ISERR_KEY_TOO_LONG) for a key too long, 35 (ISERR_NULL_ARG) for values
 * NULL. */
RBAPI int32_t RBCALL ifindkey(IsamDb *db, IsamIndex *ix, char *const *values);
/* (*) Searches for the record whose every field equals fields (by field
 * number): 2 found, 3 not found (positioned on the next key). The entries whose
 * keys equal the key of fields (under the index's order, so an index on part of
 * a text field compares that part only) are walked until one whose record
 * equals fields in every field: S text without regard to case, C exactly,
 * numbers as numbers (a NaN equals nothing), binary bytewise. -1 with 35
 * (ISERR_NULL_ARG: fields or one of its values NULL), 11 (ISERR_KEY_TOO_LONG),
 * 26 (ISERR_LOCK_REC), 9 (ISERR_CBT), or a read error. */
RBAPI int32_t RBCALL ifindrec(IsamDb *db, IsamIndex *ix, char *const *fields);
/* (*) Marks the current record of the index: 1, or -1. */
RBAPI int32_t RBCALL imarkrec(IsamDb *db, IsamIndex *ix);
/* (*) Returns to the marked record: 1 on it, 3 on the record that followed
 * it when it was deleted, -2/-3 outside the index, or -1 with 9 (ISERR_CBT;
 * cberrcode 27 when the index has no mark). */
RBAPI int32_t RBCALL ifindmark(IsamDb *db, IsamIndex *ix);
/* 1 when the current key equals the key of values (by key field, NULL ends them
 * early) over the latter's length, 0 when not; -1 with 4 (ISERR_NO_CURRENT: the
 * index is not on a record), 6 (ISERR_NOT_FOR_INDEX), 35 (ISERR_NULL_ARG), 11
 * (ISERR_KEY_TOO_LONG) or 9 (ISERR_CBT). */
RBAPI int32_t RBCALL imatchkey(IsamDb *db, IsamIndex *ix, char *const *values);
/* 1 when every value (one per key field) matches the current key's part: a text
 * value matches the part's first strlen(value) characters ("" or NULL matches
 * anything), a NULL number matches anything; 0 when one differs; -1 with 4
 * (ISERR_NO_CURRENT), 6 (ISERR_NOT_FOR_INDEX), 35 (ISERR_NULL_ARG) or 9
 * (ISERR_CBT). */
RBAPI int32_t RBCALL ipartialmatch(IsamDb *db, IsamIndex *ix,
                                   char *const *values);

/* ------------------------------------------------------------------------ */
/* Index management                                                          */
/* ------------------------------------------------------------------------ */

/* Makes the index name over the key field specifications specs (a
 * NULL-terminated array; an empty one makes an index whose keys are all equal),
 * gives it the smallest free index number and fills it with every record in
 * file order, calling the progress routine (iprogress) after each record with
 * the count so far; the index is left at its head and at the front of the index
 * list. Checks, in this order: 1 (ISERR_BAD_DB), 35 (ISERR_NULL_ARG: name or
 * specs NULL), 17 (ISERR_DUP_INDEX_NAME: the name exists, case aside), 31
 * (ISERR_READ_ONLY), 18 (ISERR_BAD_FIELD_NAME: the text before a
 * specification's first ':' is no field definition, or a specification such as
 * "name:0" names no field as a whole), 11 (ISERR_KEY_TOO_LONG: the descriptor
 * is longer than the longest key, the pool's buffer size - 28), 13
 * (ISERR_TOO_MANY_INDEXES: numbers 1..253 all taken), 32
 * (ISERR_MUST_BE_UNSHARED), 12 (ISERR_INDEX_CORRUPT: the database was opened
 * without its index file). Then -1 with 9 (ISERR_CBT: a
 * unique index meets equal keys: cberrcode 22), 5 (ISERR_NO_MEMORY) or 7
 * (ISERR_IO). Every failure leaves the index file and the index list as they
 * were: what was made is removed again (without progress calls). A progress
 * routine that closes the database ends the call: -1 with 1 (ISERR_BAD_DB). */
RBAPI int32_t RBCALL imkindex(IsamDb *db, const char *name,
                              const char *const *specs);
/* Removes the index name (case aside) with all its entries, calling the
 * progress routine after each entry deleted. Returns 1, or -1 with 1
 * (ISERR_BAD_DB), 35 (ISERR_NULL_ARG), 8 (ISERR_UNKNOWN_INDEX: no such index;
 * 12 (ISERR_INDEX_CORRUPT) without an index file), 6 (ISERR_NOT_FOR_INDEX:
 * "Physical Index"), 31 (ISERR_READ_ONLY), 32 (ISERR_MUST_BE_UNSHARED), 9
 * (ISERR_CBT) or 11 (ISERR_KEY_TOO_LONG). A failure while entries are deleted
 * leaves the index in place with the entries not yet deleted. */
RBAPI int32_t RBCALL irmindex(IsamDb *db, const char *name);
/* Replaces the index file by a new one of block_size (0 means 512, below 92
 * means 92) holding "Physical Index" and the free areas of the data file, found
 * again by stepping through its slots; every other index is gone (make them
 * again with imkindex). overwrite 0 refuses to replace a file that exists, also
 * the database's own index file. Checked before anything changes, leaving the
 * database as it was: 1 (ISERR_BAD_DB), 32 (ISERR_MUST_BE_UNSHARED), 31
 * (ISERR_READ_ONLY), 16 (ISERR_BAD_FILE_NAME). Then the database's index
 * structures are closed (a failure there is 9 (ISERR_CBT)), and: 21
 * (ISERR_INDEX_EXISTS: the file exists and overwrite is 0) leaves the
 * database with no index at all, not even "Physical Index", until it is closed and opened again; 20
 * (ISERR_BLOCK_TOO_BIG: block size larger than the pool's buffers) and later
 * failures (9 (ISERR_CBT), 5 (ISERR_NO_MEMORY), 7 (ISERR_IO)) leave it as one
 * opened without its index file, "Physical Index" alone. The index file on disk
 * is replaced only once the new one is being made. With the journal on, the
 * database is first flushed (a failure there, 9 or 7, leaves it as it was),
 * the new file is made beside the old one and put in its place once complete,
 * and a failure on the way (9, 5, 7) leaves the database and its index file as
 * they were. Returns 1 with isam_errno 0. */
RBAPI int32_t RBCALL inew_index_file(IsamDb *db, int32_t block_size,
                                     int32_t overwrite);
/* Rebuilds the index file keeping its index definitions: as inew_index_file(db,
 * block_size, 1), then every index the database had (but "Physical Index") made
 * again by imkindex from its name and igetdesc's texts, in the order that gives
 * each its index number again, each filled with every record (progress routine
 * calls counting 1, 2, ... per index) and left at its head. block_size 0 keeps
 * the old file's block size (512 when it cannot be read). Use it to mend a
 * damaged index file that still opens, or to change the block size. A database
 * opened without its index file has no definitions left: the new file holds
 * "Physical Index" alone. Every IsamIndex handle of db is invalid afterwards
 * (ihandle finds the new ones by name); igetdesc's list is overwritten. Returns
 * 1 with isam_errno 0, or -1 with the errors of inew_index_file (32
 * (ISERR_MUST_BE_UNSHARED), 31 (ISERR_READ_ONLY), 16 (ISERR_BAD_FILE_NAME), 20
 * (ISERR_BLOCK_TOO_BIG), 9 (ISERR_CBT), 5 (ISERR_NO_MEMORY), 7 (ISERR_IO),
 * leaving db as that call does) or of an imkindex (9 (ISERR_CBT) when a unique
 * index meets equal keys, 11 (ISERR_KEY_TOO_LONG), 5, 7; 1 (ISERR_BAD_DB) when
 * the progress routine closed db): the indexes made before it stay, the others
 * are gone. With the journal on (iset_journal), every index goes into the new
 * file before it replaces the old one, and a failure leaves the database and
 * its index file as they were. */
RBAPI int32_t RBCALL irebuild_index_file(IsamDb *db, int32_t block_size);
/* NULL-terminated array of the index names in index-list order: the ones made
 * since the open, newest first, then the ones loaded at the open in descending
 * order of name, case aside. One library buffer, overwritten by the next call;
 * the texts belong to the indexes. db NULL frees it and returns NULL
 * (isam_errno 0). NULL with 1 (ISERR_BAD_DB) or 5 (ISERR_NO_MEMORY). */
RBAPI char **RBCALL igetindexnames(IsamDb *db);

/* ------------------------------------------------------------------------ */
/* Locks (a database that is not shared needs none: every call succeeds)    */
/* ------------------------------------------------------------------------ */

/* Locks the current record of ix for this process and stores the lock's id in
 * *id: 1 for the first lock held, then one more than the largest id held (after
 * 2147483646, the smallest free id from 2 to 255). A record that this database
 * already holds (another lock, or the current record of "Physical Index") is
 * not locked twice in the file, and stays locked until its last holder lets go.
 * Like the other lock calls it leaves isam_errno alone unless it fails. Returns
 * 1, -4 when another process holds it (26 (ISERR_LOCK_REC)), or -1 with 4
 * (ISERR_NO_CURRENT), 26 (ISERR_LOCK_REC), 35 (ISERR_NULL_ARG: id NULL, whether
 * shared or not), 5 (ISERR_NO_MEMORY) or 33 (ISERR_TOO_MANY_LOCKS: no id left).
 */
RBAPI int32_t RBCALL ilock_rec(IsamDb *db, IsamIndex *ix, int32_t *id);
/* Releases the record lock id. Returns 1, or -1 with 29 (ISERR_NO_LOCKS: no
 * such lock) or
 * 27.  */
RBAPI int32_t RBCALL iunlock_rec(IsamDb *db, int32_t id);
/* Locks the whole database: mode 1 read, 2 write. Returns 1, -4 when another
 * process holds a conflicting lock, or -1 with 28 (ISERR_DB_LOCKED: already
 * held) or 26 (ISERR_LOCK_REC). */
RBAPI int32_t RBCALL ilock_all(IsamDb *db, int32_t mode);
/* Releases ilock_all's lock of mode 1 or 2 (1 when not held).
 * Returns 1, or -1 with 27 (ISERR_UNLOCK_REC). */
RBAPI int32_t RBCALL iunlock_all(IsamDb *db, int32_t mode);
/* Retry settings of every record and header lock: tries (default 25), delay
 * between tries (50 ms), give-up time (10000 ms). Not checked. */
RBAPI void RBCALL ilock_timeout(int32_t tries, int32_t delay_ms,
                                int32_t timeout_ms);
/* Sleeps milliseconds (also before the library is set up); returns 1. */
RBAPI int32_t RBCALL itime_delay(int32_t milliseconds);

/* ------------------------------------------------------------------------ */
/* Whole databases                                                           */
/* ------------------------------------------------------------------------ */

/* Copies the database from into the database to (created anew, replacing its
 * files unless it is open): the same fields, every index of from made again (no
 * progress calls meanwhile), and the records added one by one in the order of
 * the index index_name, the progress routine called after each with the count
 * so far. A source that opens without its index file (missing or unusable: the
 * open leaves 12 (ISERR_INDEX_CORRUPT), or 9 (ISERR_CBT) or 5 (ISERR_NO_MEMORY)
 * when reading it failed) knows "Physical Index" alone: it is copied in that
 * order, whatever index_name says, into a target with no other index, and the
 * result is still 1 with isam_errno 0. The target's data file is its header and
 * the record slots back to back, with no free space. block_size is the target
 * index file's (0: the source's, or 512 when that cannot be read). The source
 * is opened read-only and exclusive. Returns 1 with isam_errno 0, or -1 with 35
 * (ISERR_NULL_ARG), 16 (ISERR_BAD_FILE_NAME), 19 (ISERR_COPY_SELF: both names
 * name one data file), an error of the source's open, 8 (ISERR_UNKNOWN_INDEX:
 * no such index; nothing is created), an error of the target's create (3
 * (ISERR_DB_IN_USE) when it is open) or of imkindex, 26 (ISERR_LOCK_REC), 5
 * (ISERR_NO_MEMORY), 7 (ISERR_IO), or an error of closing either database. Both
 * databases are closed on every way out; a failure after the create leaves the
 * target's files with what was copied so far, or, with the journal on
 * (iset_journal), no target at all: it is made beside and put in place once
 * complete. */
RBAPI int32_t RBCALL icopy_db(const char *from, const char *to,
                              const char *index_name, int32_t block_size);
/* As icopy_db, opening the source shared and holding its whole-database read
 * lock (26 (ISERR_LOCK_REC) when it cannot be had) and each record's lock while
 * it is read. */
RBAPI int32_t RBCALL icopy_db_shared(const char *from, const char *to,
                                     const char *index_name,
                                     int32_t block_size);
/* Renames both files of the database from to the name to: the data file, then
 * the index file (undoing the first when the second fails). Never replaces a
 * file. Returns 1, or -1 with 35 (ISERR_NULL_ARG), 16 (ISERR_BAD_FILE_NAME), 3
 * (ISERR_DB_IN_USE: either name is open here) or 15 (ISERR_CANNOT_RENAME: a
 * file of the new name exists, a file of the old one is missing, held open by
 * another process, or cannot be renamed); both files keep their names then. */
RBAPI int32_t RBCALL irename_db(const char *from, const char *to);
/* Removes the data file, then (only when that worked) the index file of the
 * database name. Returns 1, or -1 with 35 (ISERR_NULL_ARG), 16
 * (ISERR_BAD_FILE_NAME), 3 (ISERR_DB_IN_USE: open here) or 10 (ISERR_NOT_FOUND:
 * a file is missing or held open by another process: when the data file went,
 * the index file remains). */
RBAPI int32_t RBCALL idestroy_db(const char *name);
/* Sets the routine called with the running count 1, 2, 3, ... of records
 * copied (icopy_db), records entered (imkindex), entries deleted
 * (irmindex), and slots and keys checked (icheck_db: every slot of the
 * data file and every key of the index file); NULL switches it
 * off. The routine may use the library: the operation makes its own
 * database current again after each call. */
RBAPI void RBCALL iprogress(IsamProgress progress);

/* What icheck_db found, as far as it got. */
typedef struct IsamCheckStats {
  int64_t data_file_size;  /* bytes */
  int64_t index_file_size; /* bytes; 0 when the file cannot be opened */
  int64_t records;         /* record slots */
  int64_t record_bytes;    /* content bytes of the record slots */
  int64_t free_areas;      /* free areas of the data file */
  int64_t free_bytes;      /* their content bytes */
  int32_t largest_free;    /* content bytes of the largest; 0 when none */
  int32_t index_count;     /* indexes, "Physical Index" included */
  int64_t index_entries;   /* entries of the made indexes, summed */
} IsamCheckStats;

/* Checks the database name (NAME.db and NAME.idx) as both files are on disk,
 * through its own read-only opens, and reports the first violation of, in this
 * order: the data file's header; the index file's index descriptors; the index
 * file as a B-tree under the ISAM key comparison (cbcheck); record slots and
 * free areas following one another from the first slot to the end of the file,
 * each record holding every field (only the first length word of a free area is
 * read); the free-space map (each free area with exactly one size key and one
 * position key agreeing with its length word, no key without an area); every
 * index holding exactly one entry per record, pointing at the record's slot,
 * with the key the record's fields give; unique indexes without two equal keys.
 * The library is set up as iopen_db_shared does when it is not yet
 * (isaminit(16, 512)); an index file whose blocks are larger than the pool's
 * buffers cannot be checked then. The database is read shared, under the
 * database's read lock (as ilock_all(db, 1) takes it) so that writers in other
 * processes wait for the check; open in this process (shared), it is read as
 * its files hold it, without that lock: flush it first (iflush_db). Open
 * databases of the calling process are not changed; isam_errno is 0 unless the
 * result is -1. stats (may be NULL) is zeroed and gets what the check gathered:
 * all of it when the result is 1 (ISERR_BAD_DB). message (may be NULL) gets ""
 * on 1, else the violation or the reason in words ("record at 1234: length word
 * 30000 runs past the end of the file (1300 bytes)", "index \"by name\": record
 * at 512 has no entry"), truncated to message_size - 1 bytes and always
 * terminated when message_size > 0. The iprogress routine, when set, is called
 * with the running count of slots and keys checked. Returns 1 when the database
 * is sound; 0 when a violation was found; -1 when it could not be checked, with
 * isam_errno: 35 name NULL, 16 bad name, 3 open in this process without
 * sharing, 10 the data file cannot be opened, 7 it cannot be read, 26 a lock
 * cannot be had, 5 out of memory, 20 the index file's blocks are larger than
 * the pool's buffers, 9 reading the index file failed (the B-tree codes tell
 * why), 12 the index file is missing or cannot be opened: the data file alone
 * was then checked (a violation there still gives 0) and stats hold its
 * figures. */
RBAPI int32_t RBCALL icheck_db(const char *name, IsamCheckStats *stats,
                               char *message, int32_t message_size);

/* The free space of an open database as its index file's free-space map
 * lists it (the figures icheck_db gathers from the data file itself). */
typedef struct IsamFreeSpace {
  int64_t areas;   /* free areas of the data file */
  int64_t bytes;   /* their content bytes */
  int32_t largest; /* content bytes of the largest; 0 when none */
} IsamFreeSpace;

/* Fills *out (zeroed first) from the free-space map: a step per free area, none
 * per record, so it costs little however many records there are. In a shared
 * database the map is read under the database's temporary read lock unless a
 * lock of db covers it. Returns 1, -4 when another process holds the write lock
 * (26, ISERR_LOCK_REC), or -1 with 1 (ISERR_BAD_DB), 35
 * (ISERR_NULL_ARG: out NULL), 12 (ISERR_INDEX_CORRUPT: the database was opened
 * without its index file, which alone holds the map), 26, 27 (ISERR_UNLOCK_REC)
 * or 9 (ISERR_CBT: the map cannot be read; *out holds what was read before). */
RBAPI int32_t RBCALL ifreespace(IsamDb *db, IsamFreeSpace *out);

RB_EXTERN_C_END

/* The display routines and the output window. */
#include "recbase/display.h"

#endif /* RECBASE_ISAM_H */
