// recbase: the C++ class ISAM, one object per open database.
//
// Conventions of this header:
//  1. An object wraps at most one open database. It owns one buffer per
//     field (the record that addRec, modRec and findRec send and getRec
//     fills), the case-insensitively sorted list of the database's index
//     names, and a selected index whose key is built from the buffers of its
//     key fields (its "key parts"): setField a key field, then findKey.
//  2. Results: 1 success and -1 failure (null for members that return a text
//     or a list); finding, walking and locking pass on the ISAM layer's other
//     results (2 found, 3 not found, -2 before the first record, -3 past the
//     last, -4 a lock another process holds) without recording an error.
//  3. Errors: a failing member stores its ISAM error code (ISERR_... in
//     recbase/codes.h) in isam_errno and on the object (errno()), keeps the
//     B-tree codes of an error 9 (errnoCBT), and then calls the error handler
//     once. An error the handler itself causes does not call it again.
//     Every member of a closed object fails with error 1. Static members
//     that fail report their error on a temporary closed object.
//  4. The member errno() shares its name with the C library's errno macro,
//     which this header always includes (<cerrno>) so that the name means
//     the same wherever the header is. Call it with the macro set aside:
//
//         #pragma push_macro("errno")
//         #undef errno
//         int code = db.errno();
//         #pragma pop_macro("errno")
//
//     ((db.errno)() is not enough where errno is an object-like macro, as in
//     glibc.) The static twin ISAM::_errno() reads isam_errno and needs no
//     such care.
//  5. Memory: text buffers are malloc blocks that grow when a longer value
//     is stored (setField) or read (getRec), and every key part follows its
//     field's buffer; a pointer from getField(f) is valid until the next
//     member that may grow field f, setFieldClear, or close. Names and
//     lists returned are owned by the object (or its database) and valid
//     until the object selects another index, reloads its index names or
//     closes.
//  6. Widths: the database's numbers are 16 bits (I, U) and 32 bits (L, F,
//     D being 64). Where the members take a long and long is wider than 32
//     bits, a value outside the 32-bit range is refused with error 38
//     (setField) or limited to the largest 32-bit value (setRetry, delay).
//     setFieldClear refuses a size below 1 with error 38: a text buffer
//     always has room for its terminator.
//  7. Handlers are process-wide. The display handler is the library's print
//     routine (every text of the library goes to it); the progress handler
//     is called with the running count of records of a copy or an index
//     being made. No threads: one call at a time, as for the whole library.
//  8. Member functions use the calling convention RBCALL; only the members
//     below are exported from the shared library.
#ifndef RECBASE_ISAM_HPP
#define RECBASE_ISAM_HPP

#include <cerrno>

#include "recbase/isam.h"

class ISAM {
 public:
  // A closed object: no database, no error.
  RBAPI ISAM();
  // A closed object, then open(name, mode); a failed open leaves it closed
  // with errno() telling why (the error handler has been called).
  RBAPI ISAM(char const *name, int mode);
  // close().
  RBAPI ~ISAM();
  ISAM(ISAM const &) = delete;
  ISAM &operator=(ISAM const &) = delete;

  // Opens the database name (its files NAME.db and NAME.idx); mode 0
  // exclusive read-write, 1 shared, 2 read-only, 3 shared read-only (bit 0
  // shared, bit 1 read-only). Sets the library up first (16 buffers of 512
  // bytes) when nothing has; closes what the object had open; clears the
  // object's error. Selects the alphabetically first index other than
  // "Physical Index" ("Physical Index" when it is the only one). Returns 1,
  // or -1 with an error of iopen_db_shared, or 5 (ISERR_NO_MEMORY).
  RBAPI int RBCALL open(char const *name, int mode);
  // Creates the database name with the field definitions fields (a
  // null-terminated list, as icreate_db takes them) and an index file of
  // blockSize bytes per block, and opens it exclusive read-write. Returns 1,
  // or -1 with 35 (ISERR_NULL_ARG: name or fields null), an error of
  // icreate_db, or 5 (ISERR_NO_MEMORY).
  RBAPI int RBCALL create(char const *name, char const *const *fields,
                          int blockSize);
  // Closes the database (releasing its record locks) and frees the object's
  // buffers; the last error stays. 1 when already closed, else iclose_db's
  // result (-1 with its error, the object closed all the same).
  RBAPI int RBCALL close();

  // Sets the library up (as isaminit) and makes the class's display, which
  // writes to std::cout (buffered, not flushed), the print routine. Returns
  // 1, or -1 with 22 (ISERR_ALREADY_INIT) or 9 (ISERR_CBT).
  static RBAPI int RBCALL init(int buffers, int bufferSize);
  // Sets the library up for a windowed program, display (may be null) being
  // the print routine (as isaminit_mswin). Returns 1, or -1 with 22
  // (ISERR_ALREADY_INIT), 9 (ISERR_CBT), or 40 (ISERR_NO_WIN_INSTANCE) for
  // ISAM::putsWin without an instance handle, which leaves the library set
  // up with ISAM::putsWinBox as print routine.
  static RBAPI int RBCALL initWin(int buffers, int bufferSize,
                                  int(RBCALL *display)(char const *),
                                  void *instance);
  // Shuts the library down (isamexit). Returns 1, or -1 with 37
  // (ISERR_DB_OPEN) and nothing done while an object is open, or with
  // isamexit's error.
  static RBAPI int RBCALL exit();

  // Handlers, process-wide (no results). The error handler is called with
  // the object that recorded an error; null removes it. The display handler
  // becomes the library's print routine (an RbPrint: it has the calling
  // convention RBCALL, as puts, putsWin and putsWinBox below); null brings
  // back the class's std::cout display. The progress handler gets the
  // running count of records of a copy, of an index being made and of
  // rebuildIndexFile; null switches it off.
  static RBAPI void RBCALL setErrorHandler(void (*handler)(ISAM &));
  static RBAPI void RBCALL setDisplayHandler(
      int(RBCALL *display)(char const *));
  static RBAPI void RBCALL setProgressHandler(void (*progress)(long));

  // The object's last error (0, ISERR_OK: none); see 4 above for how to call
  // it.
#pragma push_macro("errno")
#undef errno
  RBAPI int RBCALL errno();
#pragma pop_macro("errno")
  // The B-tree codes saved with the object's last error 9: which -1 the
  // error code, 0 the context code, any other value the function code.
  RBAPI int RBCALL errnoCBT(int which);
  // Message texts of errno() and errnoCBT(which) (owned by the library,
  // never null).
  RBAPI char const *RBCALL errmsg();
  RBAPI char const *RBCALL errmsgCBT(int which);
  // Clears the last error and the saved B-tree codes.
  RBAPI void RBCALL errClear();
  // Prints, through the print routine, "\n===> ISAM error: " and the error
  // text, "\n      data file: " and the file name when the object has one,
  // for error 9 "\n      CBT error: ", "\n       function: " and
  // "\n        context: " with the saved B-tree texts, then "\n". Returns
  // 1, or -1 (no error recorded) when the report would not fit 499 bytes or
  // printing failed.
  RBAPI int RBCALL showErr();
  // The same for the library's current error state (isam_errno and the
  // B-tree codes as they stand).
  static RBAPI int RBCALL _errno();
  static RBAPI int RBCALL _errnoCBT(int which);
  static RBAPI char const *RBCALL _errmsg();
  static RBAPI char const *RBCALL _errmsgCBT(int which);
  static RBAPI void RBCALL _errClear();
  static RBAPI int RBCALL _showErr();

  // Output, returning what the routine returns: through the print routine
  // (iputs), into the output window (iputs_win: 1, or -1 with 40
  // ISERR_NO_WIN_INSTANCE, 41 ISERR_NO_WINDOW or 5 ISERR_NO_MEMORY), in a
  // message box (iputs_winbox, always 1). They record no error.
  static RBAPI int RBCALL puts(char const *text);
  static RBAPI int RBCALL putsWin(char const *text);
  static RBAPI int RBCALL putsWinBox(char const *text);

  // Field access. Fields are numbered 0 .. getFieldCount() - 1 (else error
  // 24, ISERR_FIELD_NUMBER). Typed reads accept one field type each (else
  // error 36, ISERR_TYPE_MISMATCH): short and int type I, unsigned short and
  // unsigned int type U, long type L, float F, double D, signed char a
  // one-byte B field; they return 1 with v set, or -1. getField(f) is the
  // field's buffer (null on failure); getField(f, buf, size) copies a text
  // with its terminator or a binary field's bytes and returns 1, or -1 with
  // 35 (ISERR_NULL_ARG: buf null) or 34 (ISERR_BUFFER_SMALL: value longer
  // than size).
  RBAPI char const *RBCALL getField(int f);
  RBAPI int RBCALL getField(int f, short &v);
  RBAPI int RBCALL getField(int f, int &v);
  RBAPI int RBCALL getField(int f, unsigned short &v);
  RBAPI int RBCALL getField(int f, unsigned int &v);
  RBAPI int RBCALL getField(int f, long &v);
  RBAPI int RBCALL getField(int f, float &v);
  RBAPI int RBCALL getField(int f, double &v);
  RBAPI int RBCALL getField(int f, signed char &v);
  RBAPI int RBCALL getField(int f, void *buf, int size);
  // Integer stores convert to the field's type: I takes -32768..32767, U
  // 0..65535 (else 38), L any 32-bit value, F and D the converted number, B
  // of length 1, 2 or 4 the low bytes; text and other B fields refuse
  // numbers (36). A short into I, an unsigned short into U and a long into L
  // are stored as they are; an unsigned int of 2^31 or more counts as
  // negative. A float goes into F, D (converted) or a 4-byte B (its bytes);
  // a double into D, an 8-byte B (its bytes) or F when within the float's
  // range (else 38). setField(f, v) with a pointer stores a text (growing
  // the buffer) or a binary field's bytes (36 for a number field, 35 v
  // null, 5 when the buffer cannot grow). Each returns 1, or -1 with 24
  // (ISERR_FIELD_NUMBER), 36 (ISERR_TYPE_MISMATCH), 38 (ISERR_RANGE), 35
  // (ISERR_NULL_ARG) or 5 (ISERR_NO_MEMORY).
  RBAPI int RBCALL setField(int f, signed char v);
  RBAPI int RBCALL setField(int f, unsigned char v);
  RBAPI int RBCALL setField(int f, short v);
  RBAPI int RBCALL setField(int f, unsigned short v);
  RBAPI int RBCALL setField(int f, int v);
  RBAPI int RBCALL setField(int f, unsigned int v);
  RBAPI int RBCALL setField(int f, long v);
  RBAPI int RBCALL setField(int f, float v);
  RBAPI int RBCALL setField(int f, double v);
  RBAPI int RBCALL setField(int f, void const *v);
  // Makes every text buffer size bytes and zero-fills every buffer. Returns
  // 1, or -1 with 38 (ISERR_RANGE: size below 1) or 5 (ISERR_NO_MEMORY).
  RBAPI int RBCALL setFieldClear(int size);

  // Descriptions; on failure -1 (null for a text) with 1 (ISERR_BAD_DB:
  // closed) or the error named. getFieldCount is the number of fields;
  // getFieldType the type code (IsamFieldType, 0 S .. 7 B; 24
  // ISERR_FIELD_NUMBER); getFieldLength the text's length plus 1, or the
  // buffer's size for the other types (24); getFieldNumber the field whose
  // name (the definition without its ",type" suffix) equals name without
  // regard to case (18 ISERR_BAD_FIELD_NAME when none, 35 ISERR_NULL_ARG name
  // null, 5 ISERR_NO_MEMORY); getFileName the data file's full path (owned
  // by the database).
  RBAPI int RBCALL getFieldCount();
  RBAPI int RBCALL getFieldType(int f);
  RBAPI int RBCALL getFieldLength(int f);
  RBAPI int RBCALL getFieldNumber(char const *name);
  RBAPI char const *RBCALL getFileName();
  // The selected index's key parts, 0 .. getKeyCount() - 1 (else -1 with
  // 25, ISERR_KEY_NUMBER): the part's length and start within its field (0:
  // whole field).
  RBAPI int RBCALL getKeyCount();
  RBAPI int RBCALL getKeyLength(int k);
  RBAPI int RBCALL getKeyStart(int k);
  // Index names in case-insensitive order, 0 .. getIndexCount() - 1 (else
  // -1 or null with 39, ISERR_INDEX_NUMBER); the copying form returns 1, or
  // -1 with 35 (ISERR_NULL_ARG: buf null) or 34 (ISERR_BUFFER_SMALL) when
  // the name does not fit size bytes; getIndexNameList is the whole sorted
  // list, null-terminated (null with 1 when closed).
  RBAPI int RBCALL getIndexCount();
  RBAPI char const *RBCALL getIndexName(int i);
  RBAPI int RBCALL getIndexName(int i, char *buf, int size);
  RBAPI char const *const *RBCALL getIndexNameList();

  // Records. getRec(1) first locks the current record (once: the lock is
  // held until the next find, walk, add, modify or delete of the object
  // releases it) and returns -4 at once when another process holds it;
  // getRec(0) never locks. getRecLen is the current record's stored length
  // (-1 with 4, ISERR_NO_CURRENT, when there is none). addRec adds the field
  // buffers as a new record; modRec replaces the current record by them;
  // delRec deletes it. getRec, addRec, modRec and delRec return 1, the state
  // (-2, -3) when the selected index is on no record, -4 (getRec(1)), or -1
  // with the error of the ISAM call (igetrec3, ilock_rec, iaddrec, imodrec,
  // idelrec) or 27 (ISERR_UNLOCK_REC) when the held lock cannot go.
  RBAPI int RBCALL getRec(int lock);
  RBAPI int RBCALL getRecLen();
  RBAPI int RBCALL addRec();
  RBAPI int RBCALL modRec();
  RBAPI int RBCALL delRec();
  // Finding in the selected index: by the key parts' buffers (findKey: 2
  // found, 3 on the next key), by every field buffer (findRec), first,
  // last, next, previous, the marked record; markRec marks the current one;
  // matchKey is 1 when the current key equals the key parts' values, else 0.
  // They return the ISAM call's result (ifindkey, ifindrec, ifindhead,
  // ifindtail, ifindnext, ifindprev, ifindmark, imarkrec, imatchkey), -1
  // with its error. flush writes the database's changes (iflush_db): 1, or
  // -1 with its error.
  RBAPI int RBCALL findKey();
  RBAPI int RBCALL findRec();
  RBAPI int RBCALL findHead();
  RBAPI int RBCALL findTail();
  RBAPI int RBCALL findNext();
  RBAPI int RBCALL findPrev();
  RBAPI int RBCALL findMark();
  RBAPI int RBCALL markRec();
  RBAPI int RBCALL matchKey();
  RBAPI int RBCALL flush();
  // Locks of a shared database: the current record (id receives the lock's
  // identifier; the object does not hold it), the whole database (mode 1
  // read, 2 write). setRetry sets the retries of the ISAM layer's locks
  // (which 0), the B-tree layer's (1) or both (2); any other which changes
  // nothing. delay sleeps ms milliseconds. lockRec, unlockRec, lockFile and
  // unlockFile return the ISAM call's result (ilock_rec, iunlock_rec,
  // ilock_all, iunlock_all: 1, -4, or -1 with 26 ISERR_LOCK_REC, 27
  // ISERR_UNLOCK_REC, 28 ISERR_DB_LOCKED, 29 ISERR_NO_LOCKS and the others
  // they name).
  RBAPI int RBCALL lockRec(int &id);
  RBAPI int RBCALL unlockRec(int id);
  RBAPI int RBCALL lockFile(int mode);
  RBAPI int RBCALL unlockFile(int mode);
  static RBAPI void RBCALL setRetry(int tries, long delay, long timeout,
                                    int which);
  static RBAPI void RBCALL delay(long ms);
  // Switches the rollback journal of databases opened from now on
  // (iset_journal); returns the previous setting.
  static RBAPI bool RBCALL setJournal(bool on);

  // Indexes; each returns 1, or -1 with the error recorded. selectIndex
  // takes a name without regard to case (8, ISERR_UNKNOWN_INDEX, when
  // unknown). index makes an index over the key field specifications fields
  // and selects it; reindex replaces the index file by one holding only
  // "Physical Index" and selects it; removeIndex removes an index and keeps
  // the selected one, or, when that was the one removed, selects the
  // alphabetically first one left other than "Physical Index". After a
  // failure of these three the object's index list is what it was.
  RBAPI int RBCALL selectIndex(char const *name);
  RBAPI int RBCALL index(char const *name, char const *const *fields);
  RBAPI int RBCALL reindex(int blockSize, int overwrite);
  // rebuildIndexFile makes the index file anew keeping every index
  // (irebuild_index_file; blockSize 0: the old file's) and selects the
  // index selected before, by name. On failure the index list is the one
  // the database is left with, "Physical Index" selected.
  RBAPI int RBCALL rebuildIndexFile(int blockSize);
  RBAPI int RBCALL removeIndex(char const *name);
  // Prints every record in the selected index's order (showdb), or the
  // field buffers (showrec), separated by arg (null: "\n"). Returns 1, or -1
  // with showdb's error (9 ISERR_CBT when the selected index cannot be
  // marked) or 1 (ISERR_BAD_DB) when closed.
  RBAPI int RBCALL showFile(char const *arg);
  RBAPI int RBCALL showFields(char const *arg);

  // Whole databases (they must not be open): copy, in the order of the
  // index indexName (null: "Physical Index"; shared 1 opens the source
  // shared) into an index file of blockSize bytes per block (0: the
  // source's); rename; destroy. They record no error on an object: each
  // returns 1, or -1 with the ISAM call's error in isam_errno (see icopy_db,
  // irename_db and idestroy_db: 3 ISERR_DB_IN_USE when open here, 15
  // ISERR_CANNOT_RENAME, 10 ISERR_NOT_FOUND, ...) after calling the error
  // handler with a temporary closed object.
  static RBAPI int RBCALL copy(char const *from, char const *to,
                               char const *indexName, int shared,
                               int blockSize);
  static RBAPI int RBCALL rename(char const *from, char const *to);
  static RBAPI int RBCALL destroy(char const *name);

 private:
  // Records code on the object and in isam_errno, keeps the B-tree codes of
  // an error 9 and calls the error handler unless it is running. Returns
  // -1.
  int record(int code);
  // record(iget_errno()).
  int recordLibrary();
  // Records code on a temporary closed object (for the static members);
  // returns -1.
  static int report(int code);
  // True when open; else records error 1.
  bool checkOpen();
  // checkOpen, then f within 0 .. field count - 1 (else 24).
  bool checkField(int f);
  // checkField, then the field's type is t, or t is 0 and the field holds
  // text or bytes (else 36).
  bool checkType(int f, int t);
  // Releases the record lock the object holds (1, or -1 recorded).
  int release();
  // The helpers below return an ISAM error code (0: done) and record
  // nothing.
  // Sets up the object after iopen_db_shared or icreate_db succeeded; on
  // failure the database is closed again and the object reset.
  int setUp();
  // Replaces the sorted index names by the database's current ones.
  int loadIndexNames();
  // Selects the alphabetically first index other than "Physical Index"
  // ("Physical Index" when alone).
  int selectFirst();
  // Selects sorted index i: its handle and key parts.
  int selectPosition(int i);
  // Makes text field f's buffer size bytes (its content is not kept).
  int resizeText(int f, int size);
  // Plain field names, their sorted list and map, built on first use.
  int buildFieldNames();
  // The general integer store of x into field f (records its error).
  int storeInt(int f, int32_t x);
  // Points key parts that used buffer from at buffer to.
  void followBuffer(char const *from, char *to);
  // Frees every buffer and list and resets all but the error members.
  void reset();

  // In the order of the design; the key description lists that it places
  // after keyCount_ back private describing helpers that no public member
  // calls, and are left out with them.
  IsamDb *database_;
  char **values_;  // field buffers, then null
  int32_t fieldCount_;
  char **descriptions_;     // igetfldnames's list (the database's)
  int32_t *capacities_;     // bytes of each field buffer
  char **fieldNames_;       // plain names, then null; one block with
  char **sortedNames_;      // the sorted list and the texts
  int32_t *sortedToField_;  // field number of each sorted name
  unsigned char *types_;    // type code of each field
  char const *fileName_;    // igetfilename's (the database's)
  IsamIndex *selected_;
  int32_t indexCount_;
  char const **indexNames_;  // sorted, then null (the database's texts)
  int32_t selectedNumber_;   // position of selected_ in indexNames_
  char **keyParts_;          // field buffer of each key part
  int32_t keyCount_;
  int32_t cbtContext_;
  int32_t cbtError_;
  int32_t cbtFunction_;
  int32_t lastError_;
  int32_t heldLock_;  // record lock taken by getRec(1); 0: none
};

#endif  // RECBASE_ISAM_HPP
