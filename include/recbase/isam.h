/* recbase: the ISAM layer, the display routines and the output window.
 *
 * Conventions of this header:
 *  1. A database is reached through an IsamDb handle and each of its indexes
 *     through an IsamIndex handle: opaque pointers that the library makes,
 *     registers and frees at close. Every call checks them first: a stale
 *     handle fails with isam_errno 1 (database) or 2 (index, also for an
 *     index of another database) and changes nothing.
 *  2. Results: 1 success, -1 failure; calls that return a handle, a text or
 *     a list return NULL on failure. Finding and walking also return 2
 *     (found), 3 (not found, positioned on the next record), -2 (before the
 *     first record), -3 (past the last record, or empty) and -4 (a lock that
 *     another process holds).
 *  3. Errors: most calls set isam_errno to 0 on entry and to the reason on
 *     failure (ISERR_... in recbase/codes.h). A failure of the B-tree layer
 *     below is isam_errno 9, with cberrcode, cbfcncode and cbconcode left as
 *     that layer set them. A NULL where a name, a list or a result pointer is
 *     required is isam_errno 35.
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
 *  7. The first icreate_db or iopen_db_shared of a process that has not set
 *     the library up calls isaminit(16, 512) itself.
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
/* Prints the text of isam_errno followed by a newline through the print
 * routine (one call for texts under 79 characters, else text then newline).
 * Changes no error variable. Returns the print routine's result (1, or -1
 * when any piece failed). */
RBAPI int32_t RBCALL iprterr(void);
/* Current isam_errno. */
RBAPI int32_t RBCALL iget_errno(void);
/* Stores code in isam_errno. */
RBAPI void RBCALL iset_errno(int32_t code);

/* ------------------------------------------------------------------------ */
/* Library start and exit                                                    */
/* ------------------------------------------------------------------------ */

/* Sets the library up: the block buffer pool (cbinit(count, size): 0
 * buffers means 16, fewer than 6 become 6; size 0 or below 36 means 512) and
 * the platform services. The pool's buffer size bounds every index file's
 * block size and every key. Registers isamexit to run at normal process
 * exit (once per call that gets past the first check). Returns 1 with
 * isam_errno 0, or -1 with 22 when already set up (nothing changes), 9 when
 * cbinit fails. */
RBAPI int32_t RBCALL isaminit(int32_t count, int32_t size);
/* As isaminit, and then makes display (if not NULL) the print routine
 * through which every text of the library goes. instance is the
 * application's handle that the output window needs; it is stored even when
 * the call fails. Passing iputs_win without an instance fails with 40 after
 * the library was set up (the default print routine stays); while set-up
 * fails, a display function given leaves iputs_winbox as the print routine.
 * Returns 1, or -1 with 22, 9 or 40. */
RBAPI int32_t RBCALL isaminit_mswin(int32_t count, int32_t size,
                                    RbPrint display, void *instance);
/* Closes every open database (as iclose_db), frees the layer's key buffer
 * and result lists, and ends the B-tree layer (cbexit) when it is set up;
 * the library may then be set up again. Every database is released even
 * when closing it fails. Returns 1 with isam_errno 0, or -1 with 9 when
 * cbexit failed, else the code of the first close that failed. */
RBAPI int32_t RBCALL isamexit(void);

/* ------------------------------------------------------------------------ */
/* Databases                                                                 */
/* ------------------------------------------------------------------------ */

/* The name of the built-in index of every database, "Physical Index": the
 * records in the order of the data file. */
RBAPI extern const char *iphysical;

/* Creates the database name, replacing its files if they exist (and are
 * not open), and opens it exclusive and read-write. fields is a
 * NULL-terminated array of field definitions, each the field's name,
 * optionally followed by a comma and a type letter: S or none (text compared
 * without regard to case), C (text compared exactly), I (16-bit signed), U
 * (16-bit unsigned), L (32-bit signed), F (float), D (double), B[:]n
 * (binary of n bytes; no digits or 0 mean 1, above 32767 means 32767); any
 * other letter is text. The whole definition is the field's name. block_size
 * is the index file's (0 means 512, below 92 means 92). Returns the handle,
 * or NULL with: 35 name or fields NULL; 38 the definitions take more than
 * 32767 bytes with their terminators or are more than 32767; 16 the name
 * cannot be made into file names; 3 the database is open; 7 the data file
 * cannot be written; 20 block_size larger than the pool's buffers; 9 the
 * index file cannot be made; 5 out of memory; or an error of the open. A
 * failure before the open removes the new data file again (the old one is
 * gone by then). */
RBAPI IsamDb *RBCALL icreate_db(const char *name, int32_t block_size,
                                const char *const *fields);
/* iopen_db_shared(name, 0, 0). */
RBAPI IsamDb *RBCALL iopen_db(const char *name);
/* Opens the database name. shared non-zero lets other processes open it
 * shared too (the header is read under a lock of its first 4 bytes);
 * otherwise no other open of its files is possible until it is closed.
 * read_only refuses every change. A database can be open once per process.
 * Returns the handle, or NULL with: 35 name NULL; 16 bad name; 3 already
 * open; 5 out of memory; 10 the data file cannot be opened; 26 the header
 * or the index file cannot be locked; 27 the header's lock cannot be
 * released; 7 the header cannot be read or is not sound (negative counts,
 * more definitions or bytes than the file holds, a definition without its
 * terminator). When the index file cannot be used (missing, damaged, a
 * descriptor naming no field, or the same index number twice) the database
 * still opens, with "Physical Index" as its only index and isam_errno left
 * at 12 (9 when reading a descriptor failed, 5 when memory ran out);
 * isam_errno is 0 after a complete open. */
RBAPI IsamDb *RBCALL iopen_db_shared(const char *name, int32_t shared,
                                     int32_t read_only);
/* Flushes and closes the database and frees the handle, which is invalid
 * afterwards in every case once it was valid. Returns 1, or -1 with 1 (bad
 * handle), 9 (a B-tree flush or close failed), 7 (the data file), 27 (a
 * record lock could not be released), the first failure's code. */
RBAPI int32_t RBCALL iclose_db(IsamDb *db);
/* Writes every index's changes to disk, then flushes the data file. Returns
 * 1, or -1 with 1, 9 (the data file is then not flushed) or 7. */
RBAPI int32_t RBCALL iflush_db(IsamDb *db);
/* The open database whose data file's full path equals that of name, byte
 * for byte; NULL when none is open (isam_errno unchanged), or NULL with 35
 * (name NULL) or 16 (bad name). */
RBAPI IsamDb *RBCALL idbhandle(const char *name);
/* Full path of the data file (owned by the handle), or NULL with 1. */
RBAPI const char *RBCALL igetfilename(IsamDb *db);
/* Number of fields, or -1 with 1. */
RBAPI int32_t RBCALL igetfldcount(IsamDb *db);
/* Type code of field n: 0 S, 1 C, 2 I, 3 U, 4 L, 5 F, 6 D, 7 B; -1 with 1,
 * or 24 when n is not 0..count - 1. */
RBAPI int32_t RBCALL igetfldtype(IsamDb *db, int32_t n);
/* Length of field n when it is binary, 0 for every other type; -1 with 1 or
 * 24. */
RBAPI int32_t RBCALL igetfldlen(IsamDb *db, int32_t n);
/* NULL-terminated array of the field definitions as written at create
 * (owned by the handle), or NULL with 1. */
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
 * (name NULL), 1, 8 (no such index) or 12 (the database was opened without
 * its index file). */
RBAPI IsamIndex *RBCALL ihandle(IsamDb *db, const char *name);
/* The index's name (owned by the index), or NULL with 1 or 2. */
RBAPI const char *RBCALL iindexname(IsamDb *db, IsamIndex *ix);
/* The index's key fields as a NULL-terminated array of texts: each field's
 * definition, followed by ":LEN" or ":START,LEN" (START when not 0) when the
 * index uses part of it; for "Physical Index" every field in field order.
 * The array lives in one library buffer, overwritten by the next call;
 * db NULL frees it and returns NULL (isam_errno 0). NULL with 1, 2 or 5. */
RBAPI char **RBCALL igetdesc(IsamDb *db, IsamIndex *ix);
/* Number of key fields, or -1 with 1 or 2. */
RBAPI int32_t RBCALL igetdesc_count(IsamDb *db, IsamIndex *ix);
/* Field number of key field k, or -1 with 1, 2 or 25 (k not 0..count-1). */
RBAPI int32_t RBCALL igetdesc_fldnbr(IsamDb *db, IsamIndex *ix, int32_t k);
/* START of key field k (0 when the index uses whole fields), or -1 with 1,
 * 2 or 25. */
RBAPI int32_t RBCALL igetdesc_fldstart(IsamDb *db, IsamIndex *ix, int32_t k);
/* LEN of key field k (0: the whole field), or -1 with 1, 2 or 25. */
RBAPI int32_t RBCALL igetdesc_fldlen(IsamDb *db, IsamIndex *ix, int32_t k);

/* ------------------------------------------------------------------------ */
/* Records                                                                   */
/* ------------------------------------------------------------------------ */

/* Every index has a current record and a state: 1 on a record, -2 before the
 * first, -3 past the last (a new index starts at -2). The calls below that
 * work on the current record return -2 or -3 themselves, with no error,
 * when the index is not on a record. */

/* Adds a record (fields by field number) and enters it into every index;
 * ix (may be NULL) is left on the new record. The record goes into the
 * largest free area of the data file when it fits (split when the rest is
 * worth keeping), else at the end of the file. Returns 1, or -1 with 31
 * (read-only), 26 (lock), 35 (fields or one of its values NULL), 30 (the
 * values take more than 32767 bytes: a slot cannot hold them), 5, 7, 11 (a
 * key longer than the key buffer) or 9 (a unique index refused a
 * duplicate): a failed add removes the keys it entered and gives its slot
 * back to the free space, so no record of it remains. */
RBAPI int32_t RBCALL iaddrec(IsamDb *db, IsamIndex *ix, char *const *fields);
/* Reads the current record into buffer (size bytes) and points fields
 * (count + 1 slots) at its values; slots of fields that did not fit are
 * NULL. Returns 1, the state, or -1 with 34 (buffer too small: the first
 * size - 1 bytes are read and split), 35 (fields NULL, or buffer NULL with
 * size > 0), 9, 4 or 26; 7 when the slot cannot be read (the file ends
 * inside it) or does not hold a whole record; 12 when the index entry
 * points before the first slot or at a free area (a damaged index). The
 * last three also hold for every call below that reads a record, and none
 * of them writes anything then. */
RBAPI int32_t RBCALL igetrec(IsamDb *db, IsamIndex *ix, char **fields,
                             char *buffer, int32_t size);
/* Copies each field of the current record into the caller's buffer
 * fields[i] of lengths[i] bytes (lengths NULL: unchecked). Returns 1, the
 * state, or -1 with 35 (fields or a buffer NULL), 23 (a field longer than
 * its buffer; the fields before it are copied), 5, 7, 12, 9, 4 or 26. */
RBAPI int32_t RBCALL igetrec2(IsamDb *db, IsamIndex *ix, char *const *fields,
                              int32_t *lengths);
/* As igetrec2, but each text field's buffer is a malloc/realloc block that
 * is enlarged with realloc (and its lengths entry updated to the value's
 * size with its NUL) when the value needs more; a NULL buffer is allocated.
 * Number and binary buffers never grow: a lengths entry below their size is
 * 23. fields and lengths are both required (35); 5 when realloc fails (the
 * buffer is then unchanged). */
RBAPI int32_t RBCALL igetrec3(IsamDb *db, IsamIndex *ix, char **fields,
                              int32_t *lengths);
/* Stores the current record's slot length (its content bytes, slack
 * included) in *length (0 when nothing was read). Returns 1, the state, or
 * -1 with 7, 9, 4 or 26. */
RBAPI int32_t RBCALL igetreclen(IsamDb *db, IsamIndex *ix, uint16_t *length);
/* Replaces the current record by fields (by field number). The record
 * stays in its slot when it fits (a tail of more than the minimum record
 * length becomes free space), else it moves to a new slot (its record locks
 * move with it). Every index follows and takes its state from where its
 * cursor stands afterwards: an index whose cursor was on the record stands
 * on the entry after it; "Physical Index" on the record moves to the next
 * record in file order. Returns 1, the state, or -1 with 31, 26, 35, 30, 5,
 * 7, 12, 11 or 9. An index that cannot follow undoes the change: the
 * indexes before it take their old entries back and the old values are
 * written back (or the new slot is freed). When a moved record's locks
 * cannot be taken to its new place the change stands, the locks stay on
 * the old place and the result is -1 with 26. */
RBAPI int32_t RBCALL imodrec(IsamDb *db, IsamIndex *ix, char *const *fields);
/* Deletes the current record from the data file and every index; ix is
 * left on the record that followed. Its slot becomes free space, merged
 * with free areas just before and after it. Returns 1, or -1 with 4 (no
 * current record), 31, 26, 7, 12 (nothing is deleted then), 9 or 11 (an
 * index that fails does not stop the others). */
RBAPI int32_t RBCALL idelrec(IsamDb *db, IsamIndex *ix);

/* ------------------------------------------------------------------------ */
/* Finding                                                                   */
/* ------------------------------------------------------------------------ */

/* Calls marked (*) are refused by "Physical Index" with -1 and isam_errno 6.
 * A B-tree failure is -1 with 9. */

/* First record: 1, or -3 when the index is empty. "Physical Index" reads
 * the data file slot by slot, skipping free areas; in a shared database it
 * keeps its current record locked (against other processes) until it moves
 * on, and each step holds the database's read lock while it reads the
 * slots' length words (-1 with 26 when a slot stays locked by another
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
 * searches for the first key that begins with the values given): 2 the
 * exact key found, 3 positioned on the next key (or past the end); -1 with
 * 11 for a key too long, 35 for values NULL. */
RBAPI int32_t RBCALL ifindkey(IsamDb *db, IsamIndex *ix, char *const *values);
/* (*) Searches for the record whose every field equals fields (by field
 * number): 2 found, 3 not found (positioned on the next key). The entries
 * whose keys equal the key of fields (under the index's order, so an index
 * on part of a text field compares that part only) are walked until one
 * whose record equals fields in every field: S text without regard to
 * case, C exactly, numbers as numbers (a NaN equals nothing), binary
 * bytewise. -1 with 35 (fields NULL), 11, 26, 9, or a read error. */
RBAPI int32_t RBCALL ifindrec(IsamDb *db, IsamIndex *ix, char *const *fields);
/* (*) Marks the current record of the index: 1, or -1. */
RBAPI int32_t RBCALL imarkrec(IsamDb *db, IsamIndex *ix);
/* (*) Returns to the marked record: 1 on it, 3 on the record that followed
 * it when it was deleted, -2/-3 outside the index, or -1 with 9 (14: no
 * mark). */
RBAPI int32_t RBCALL ifindmark(IsamDb *db, IsamIndex *ix);
/* 1 when the current key equals the key of values (by key field, NULL ends
 * them early) over the latter's length, 0 when not; -1 with 4 (the index is
 * not on a record), 6, 35, 11 or 9. */
RBAPI int32_t RBCALL imatchkey(IsamDb *db, IsamIndex *ix, char *const *values);
/* 1 when every value (one per key field) matches the current key's part:
 * a text value matches the part's first strlen(value) characters ("" or
 * NULL matches anything), a NULL number matches anything; 0 when one
 * differs; -1 with 4, 6, 35 or 9. */
RBAPI int32_t RBCALL ipartialmatch(IsamDb *db, IsamIndex *ix,
                                   char *const *values);

/* ------------------------------------------------------------------------ */
/* Index management                                                          */
/* ------------------------------------------------------------------------ */

/* Makes the index name over the key field specifications specs (a
 * NULL-terminated array) and fills it with every record; the index is left
 * at its head. Returns 1, or -1 with 17 (the name exists, case aside), 31,
 * 18 (a specification names no field), 11, 13 (253 indexes exist), 32
 * (shared database), 9 (a unique index meets equal keys), 5; a failure
 * leaves the database as it was. */
RBAPI int32_t RBCALL imkindex(IsamDb *db, const char *name,
                              const char *const *specs);
/* Removes the index name with all its entries. Returns 1, or -1 with 8/12,
 * 6 ("Physical Index"), 31, 32, 9 or 11. */
RBAPI int32_t RBCALL irmindex(IsamDb *db, const char *name);
/* Replaces the index file by a new one (block_size 0 means 512) holding
 * "Physical Index" and the data file's free space; every other index is
 * gone. overwrite 0 refuses to replace an existing file (21). Returns 1, or
 * -1 with 32, 16, 21, 20, 9, 5 or 7. */
RBAPI int32_t RBCALL inew_index_file(IsamDb *db, int32_t block_size,
                                     int32_t overwrite);
/* NULL-terminated array of the index names in index-list order (the ones
 * made since the open, newest first, then the loaded ones in descending
 * order of name). One library buffer, overwritten by the next call; db
 * NULL frees it and returns NULL. NULL with 1 or 5. */
RBAPI char **RBCALL igetindexnames(IsamDb *db);

/* ------------------------------------------------------------------------ */
/* Locks (a database that is not shared needs none: every call succeeds)    */
/* ------------------------------------------------------------------------ */

/* Locks the current record of ix for this process and stores the lock's id
 * in *id: 1 for the first lock held, then one more than the largest id held
 * (after 2147483646, the smallest free id from 2 to 255). A record that
 * this database already holds (another lock, or the current record of
 * "Physical Index") is not locked twice in the file, and stays locked
 * until its last holder lets go. Like the other lock calls it leaves
 * isam_errno alone unless it fails. Returns 1, -4 when another process
 * holds it (26), or -1 with 4, 26, 35 (id NULL), 5 or 33 (no id left). */
RBAPI int32_t RBCALL ilock_rec(IsamDb *db, IsamIndex *ix, int32_t *id);
/* Releases the record lock id. Returns 1, or -1 with 29 (no such lock) or
 * 27. */
RBAPI int32_t RBCALL iunlock_rec(IsamDb *db, int32_t id);
/* Locks the whole database: mode 1 read, 2 write. Returns 1, -4 when another
 * process holds a conflicting lock, or -1 with 28 (already held) or 26. */
RBAPI int32_t RBCALL ilock_all(IsamDb *db, int32_t mode);
/* Releases ilock_all's lock of mode 1 or 2 (1 when not held). Returns 1, or
 * -1 with 27. */
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

/* Copies the database from into a new database to (replaced if it exists),
 * with the same fields and indexes, its records in the order of the index
 * index_name (NULL: "Physical Index") and no free space; block_size is the
 * new index file's (0: the source's). The source is opened read-only,
 * exclusive. Returns 1, or -1 with 16, 19 (a copy onto itself), 8 (no such
 * index), an error of the open, create or index making, 26, 5 or 7. */
RBAPI int32_t RBCALL icopy_db(const char *from, const char *to,
                              const char *index_name, int32_t block_size);
/* As icopy_db, opening the source shared and holding its read lock. */
RBAPI int32_t RBCALL icopy_db_shared(const char *from, const char *to,
                                     const char *index_name,
                                     int32_t block_size);
/* Renames both files of the database from to the name to. Returns 1, or -1
 * with 3 (either is open), 16 or 15 (a file exists under the new name or
 * cannot be renamed; both files keep their names). */
RBAPI int32_t RBCALL irename_db(const char *from, const char *to);
/* Removes both files of the database name. Returns 1, or -1 with 3 (open),
 * 16 or 10 (a file cannot be removed). */
RBAPI int32_t RBCALL idestroy_db(const char *name);
/* Sets the routine called with the running count of records during
 * icopy_db, imkindex and irmindex (NULL: none). The routine may use the
 * library. */
RBAPI void RBCALL iprogress(IsamProgress progress);

/* ------------------------------------------------------------------------ */
/* Display (every text goes through the print routine; sep NULL is "\n")     */
/* ------------------------------------------------------------------------ */

/* Prints every record of the database in the order of ix (NULL: "Physical
 * Index"), one per line, fields separated by sep; a user index on a record
 * is put back on it. Returns 1, or -1 with 1 or 2. */
RBAPI int32_t RBCALL showdb(IsamDb *db, IsamIndex *ix, const char *sep);
/* Prints the values of a record of the current database (fields by field
 * number, NULL-terminated), each followed by sep, then "\n". Returns 1. */
RBAPI int32_t RBCALL showrec(char *const *fields, const char *sep);
/* Prints the key fields of key, a whole key of ix as stored (index number
 * byte first), each followed by sep, then "\n". Returns 1, or -1 with 1 or
 * 2. */
RBAPI int32_t RBCALL show_key(IsamDb *db, IsamIndex *ix, const void *key,
                              const char *sep);
/* Prints igetdesc's texts of ix (NULL: "Physical Index"), each followed by
 * sep, then "\n". Returns 1, or -1 with 1, 2 or 5. */
RBAPI int32_t RBCALL showdesc(IsamDb *db, IsamIndex *ix, const char *sep);
/* Prints the field definitions, each followed by sep, then "\n". Returns 1,
 * or -1 with 1. */
RBAPI int32_t RBCALL showfldnames(IsamDb *db, const char *sep);
/* Prints the index names in index-list order, each followed by sep, then
 * "\n". Returns 1, or -1 with 1. */
RBAPI int32_t RBCALL showindexnames(IsamDb *db, const char *sep);
/* Hands text to the print routine and returns its result. */
RBAPI int32_t RBCALL iputs(const char *text);

/* ------------------------------------------------------------------------ */
/* Output window: 80 columns by 25 rows of text that scroll up              */
/* ------------------------------------------------------------------------ */

/* Writes text into the output window, creating the window first (text NULL:
 * only that). A line feed ends a row, a carriage return goes back to its
 * column 0, the 81st character of a row starts the next. A print routine.
 * Returns 1, or -1 with 40 (no instance handle), 41 (no window) or 5. */
RBAPI int32_t RBCALL iputs_win(const char *text);
/* Blanks the window's text and puts the cursor at row 0, column 0. Returns
 * 1, or -1 with 41 or 5. */
RBAPI int32_t RBCALL iputs_win_clear(void);
/* Moves the window's cursor. Returns 1, or -1 with 41 when there is no
 * window (the position is stored all the same). */
RBAPI int32_t RBCALL iputs_win_setcursor(int32_t column, int32_t row);
/* Shows text in a message box and waits until it is dismissed. A print
 * routine. Returns 1. */
RBAPI int32_t RBCALL iputs_winbox(const char *text);

RB_EXTERN_C_END

#endif /* RECBASE_ISAM_H */
