/* recbase: the frame, the block buffer pool and the B-tree layer.
 *
 * Conventions of this header:
 *  1. A tree is reached through a CbTree handle, an opaque pointer that the
 *     library allocates at create/open, keeps in a registry and frees at
 *     close. Every call checks its handle against the registry: a stale or
 *     foreign pointer fails with cberrcode 19 (18 for a damaged file record)
 *     and cbconcode 10, never a crash.
 *  2. A tree holds pairs of a key (bytes, given as pointer plus int32_t
 *     length, 0 to cbbufsize() - 28 bytes) and a 32-bit item. Pairs are
 *     ordered by key under the tree's compare function, then by item as a
 *     signed number; a pair occurs at most once.
 *  3. Results: 1 success, -1 failure; calls that return a handle return NULL
 *     on failure. Searching and walking also return 2 (found), 3 (not found,
 *     positioned on the next pair), -2 (before the first pair), -3 (past the
 *     last pair or empty tree), and cblock -4 (held by another process).
 *  4. Errors: every cb function stores its function code in cbfcncode on
 *     entry. A failure stores cberrcode and cbconcode (what the layer was
 *     doing). A success does not clear them: read them only after -1/NULL.
 *     cbprterr() prints all three in words; recbase/codes.h names every
 *     code (CBERR_, CBFN_, CBCTX_). The operating system's own error of a
 *     failed file operation is kept apart, in cbget_syserr().
 *  5. Calling convention RBCALL; integers are int32_t; out-parameters are
 *     written only on the results each call names.
 *  6. Memory: the library owns every handle and every text it returns (the
 *     message texts are constant for the life of the process). Caller
 *     buffers are never kept beyond the call.
 *  7. No threads: the library keeps process-wide state (pool, error
 *     variables, open files); callers make one call at a time.
 */
#ifndef RECBASE_CBT_H
#define RECBASE_CBT_H

#include "recbase/codes.h"
#include "recbase/defs.h"

RB_EXTERN_C_BEGIN

/* An open B-tree: a position (cursor), a mark and a compare function over one
 * B-tree file. */
typedef struct CbTree CbTree;

/* ------------------------------------------------------------------------ */
/* Error state                                                               */
/* ------------------------------------------------------------------------ */

/* Error code of the most recent B-tree failure (see cberrmsg). */
RBAPI extern int32_t cberrcode;
/* Function code of the most recent B-tree call entered (see cbfcnmsg). */
RBAPI extern int32_t cbfcncode;
/* Context code: the step that failed (see cbconmsg). */
RBAPI extern int32_t cbconcode;
/* The buffer pool's status of its last operation: 0 none, 1 not a pool,
 * 2 out of memory, 3 every buffer pinned, 4 file read/write/flush/open
 * failed, 6 purge of a pinned block, 7 file block size larger than the
 * pool's buffers, 9 purge of a dirty block (its change was dropped). */
RBAPI extern int32_t bufpool_err;

/* Current value of cberrcode / cbfcncode / cbconcode. */
RBAPI int32_t RBCALL cbget_errcode(void);
RBAPI int32_t RBCALL cbget_fcncode(void);
RBAPI int32_t RBCALL cbget_concode(void);
/* Sets cberrcode, cbfcncode and cbconcode to 0. */
RBAPI void RBCALL cbclear_error(void);
/* Message text of a cbt error code (0..32), else "Unknown cbt error number". */
RBAPI const char *RBCALL cberrmsg(int32_t code);
/* Name of a cbt function code (0..30), else "Unknown cbt function number". */
RBAPI const char *RBCALL cbfcnmsg(int32_t code);
/* Text of a cbt context code (0..56), else "Unknown cbt context number". */
RBAPI const char *RBCALL cbconmsg(int32_t code);
/* Prints, with one call of the print routine, "context: <context>,
 * function: <function>\n<error>\n" for the current codes (seven separate
 * calls when no line buffer can be allocated). Changes no error variable.
 * Returns the print routine's result (1, or -1 when any piece failed). */
RBAPI int32_t RBCALL cbprterr(void);

/* cbget_syserr's value for a read or write that moved fewer bytes than asked
 * (the file ended early), which is no error of the operating system. */
#define CB_SHORT_TRANSFER 30
/* The error the operating system gave for the most recent file operation of
 * the library that failed (errno on POSIX systems), or CB_SHORT_TRANSFER;
 * 0 when none failed since the library was loaded or cbclear_syserr was
 * called. The library stores it beside the codes above (cberrcode 2 for a
 * file that cannot be opened, say, leaves the reason here) and never clears
 * it. Sets no error variable. */
RBAPI int32_t RBCALL cbget_syserr(void);
/* Sets the value cbget_syserr returns to 0, so that it tells afterwards
 * whether the calls made since met an error of the operating system. Sets no
 * error variable. */
RBAPI void RBCALL cbclear_syserr(void);

/* ------------------------------------------------------------------------ */
/* Output and handle registry                                                */
/* ------------------------------------------------------------------------ */

/* Installs the routine through which the library prints every text and
 * returns the routine that was installed, so that a caller can restore it.
 * Not checked for NULL; sets no error. cbinit installs the default routine
 * (standard output, unbuffered from its first call) again. */
RBAPI RbPrint RBCALL cbset_print(RbPrint print_function);

/* A member set is a pointer-sized head word (NULL when empty) owned by the
 * caller; members are records whose first pointer-sized word is free for the
 * set's link. Nothing is allocated. */
/* Makes obj the new head of *set. Adding an object that is already a member
 * corrupts the set. */
RBAPI void RBCALL add_member(void **set, void *obj);
/* 1 when obj is reached from the head of *set, else 0 (0 for NULL obj). */
RBAPI int32_t RBCALL is_member(void **set, void *obj);
/* Unlinks obj (its link word becomes NULL) and returns 1; 0 when obj is NULL
 * or not in the set, which is then unchanged. */
RBAPI int32_t RBCALL del_member(void **set, void *obj);

/* ------------------------------------------------------------------------ */
/* Library start and the buffer pool                                         */
/* ------------------------------------------------------------------------ */

/* Creates the process's block buffer pool and fills the platform services
 * table (the print routine included). buffer_count 0 means 16, below 6 means
 * 6; buffer_size 0 or below 36 means 512. Keys may be up to buffer_size - 28
 * bytes; trees need block sizes up to buffer_size. Returns 1, or -1 with
 * cberrcode 4 / cbconcode 4 when a pool exists already (it is left as it
 * is), cberrcode 5 / cbconcode 4 when memory runs out. cbfcncode 1. */
RBAPI int32_t RBCALL cbinit(int32_t buffer_count, int32_t buffer_size);
/* The same operation as cbinit under two more names. */
RBAPI int32_t RBCALL cbinit_w32(int32_t buffer_count, int32_t buffer_size);
RBAPI int32_t RBCALL cbinit_mswin(int32_t buffer_count, int32_t buffer_size);
/* The pool's buffer size in bytes; 0 when there is no pool. cbfcncode 24. */
RBAPI int32_t RBCALL cbbufsize(void);
/* The pool's buffer count; 0 when there is no pool. cbfcncode 23. */
RBAPI int32_t RBCALL cbbufcnt(void);
/* Adds n buffers; returns how many were added. No pool: 0 with cberrcode 3,
 * cbconcode 4. Fewer than n added: cberrcode 5, cbconcode 4. cbfcncode 25. */
RBAPI int32_t RBCALL cbaddbufs(int32_t n);
/* Removes up to n unpinned buffers, writing dirty ones back first, never
 * leaving fewer than 6; returns how many were removed. No pool: 0 with
 * cberrcode 3, cbconcode 4. cbfcncode 26. */
RBAPI int32_t RBCALL cbrmbufs(int32_t n);

/* ------------------------------------------------------------------------ */
/* Tree files and handles                                                    */
/* ------------------------------------------------------------------------ */

/* The default compare function: length 0 sorts first; otherwise bytes are
 * compared unsigned with ASCII letters folded to lower case, and on a common
 * prefix the shorter key sorts first. Returns -1, 0 or 1; sets no error. */
RBAPI int32_t RBCALL cbkeycmp(const void *a, int32_t alen, const void *b,
                              int32_t blen);

/* cbscreate(name, compare, block_size, 0); stores cbfcncode 4. */
RBAPI CbTree *RBCALL cbcreate(const char *name, CbCompare compare,
                              int32_t block_size);
/* Creates the B-tree file name, replacing any file of that name that is not
 * open in this process, and opens it (shared between processes when shared
 * is non-zero). compare NULL selects cbkeycmp. block_size 0 means 512, below
 * 92 means 92. Returns the handle, or NULL with: 17/9 block size larger than
 * the pool's buffers or above 32767; 3 no pool; 1 the name is open in this
 * process or cannot be created; 5 out of memory; 8 writing the file failed;
 * 2 opening it failed. Stores cbfcncode 4 and clears cberrcode/cbconcode. */
RBAPI CbTree *RBCALL cbscreate(const char *name, CbCompare compare,
                               int32_t block_size, int32_t shared);
/* cbopen_shared(name, compare, 0, 0); stores cbfcncode 7. */
RBAPI CbTree *RBCALL cbopen(const char *name, CbCompare compare);
/* Opens an existing B-tree file. shared non-zero lets other processes open
 * it shared at the same time; an exclusive open keeps every other open of
 * the file out. read_only refuses insert, delete and modify through this
 * handle (cberrcode 32). Further opens of a file already open in this
 * process share its buffers and OS handle. Returns the handle (positioned
 * before the first pair, no mark) or NULL with: 3 no pool; 28 the file is
 * open here with the other shared flag; 2 it cannot be opened; 16/7 the
 * control record's parity is wrong (checked before any of its fields is
 * trusted, the block size included); 17/7 a sound control record gives a
 * block size below 92 (0 and negative sizes included); 17 the block size is
 * larger than the pool's buffers; 6/7 the control record cannot be read;
 * 25/7 it describes blocks beyond the end of the file; 5 out of memory;
 * 29/54 lock not obtainable. cbfcncode 8; clears cberrcode/cbconcode. */
RBAPI CbTree *RBCALL cbopen_shared(const char *name, CbCompare compare,
                                   int32_t shared, int32_t read_only);
/* Writes back what the handle's file holds in the pool and frees the
 * handle; the last handle of a file also releases its locks and closes it.
 * The handle is freed even when writing back fails. Returns 1, or -1 with
 * 19/10 or 18/10 for a bad handle, 11/50 when writing back failed, 12/19
 * when closing the file failed. cbfcncode 3; clears cberrcode/cbconcode. */
RBAPI int32_t RBCALL cbclose(CbTree *tree);
/* Writes the control record and every changed block of the file to disk and
 * asks the OS to flush them (unless cb_set_flush(.., 1) said not to).
 * Returns 1, or -1 with 19/10, 18/10, 8/8 (control record), 11/50 (blocks or
 * OS flush), 29/54 (shared file: write lock not obtainable). cbfcncode 6;
 * clears cberrcode/cbconcode. */
RBAPI int32_t RBCALL cbflush(CbTree *tree);
/* Closes every open tree and destroys the pool; cbinit may then be called
 * again. Returns 1, or -1 with 3/3 when there is no pool, the codes of the
 * first failing close (the pool then stays), or 4/5 when writing back the
 * pool failed. cbfcncode 2 (3 once a handle was closed); clears
 * cberrcode/cbconcode. */
RBAPI int32_t RBCALL cbexit(void);
/* Block size of the named B-tree file, or -1 with 3/7 no pool, 2/7 cannot
 * open it, 6/7 cannot read or check its control record. cbfcncode 28. */
RBAPI int32_t RBCALL cbblksize(const char *name);
/* Number of levels of the tree (0 when empty), or -1 (bad handle, or a
 * shared file that cannot be synchronised). cbfcncode 27. */
RBAPI int32_t RBCALL cbdepth(CbTree *tree);
/* Flush settings for the whole process. deferred (default 1): under an
 * explicit write lock (cblock mode 2) changes to a shared file are written
 * back at cbunlock/cbflush/cbclose rather than after every change.
 * skip (default 0): non-zero skips the OS flush (fdatasync) after writing
 * back. No result, no error state. */
RBAPI void RBCALL cb_set_flush(int32_t deferred, int32_t skip);

/* Rollback journal of tree files. on non-zero: every tree file created or
 * opened after the call keeps a journal beside it, named like the file with
 * ".jnl" added; 0 (the default): none. Returns the previous setting.
 *
 * The promise: with the journal on, after the process dies at any point, or
 * after every write fails from some point on, the next open of the file
 * (exclusive, shared or read-only, whatever that process's setting) rolls it
 * back to exactly its state at the last completed flush point: cbflush,
 * cbclose, cbexit, and for a shared file the write-back at the end of each
 * change or of an explicit write lock. A writer of a shared file that dies
 * holding the writer lock leaves a journal that the next process to take a
 * lock rolls back before it reads. Between flush points the pool may still
 * write changed blocks: the old image of each block goes into the journal,
 * and the journal is synced, before its first overwrite since the flush
 * point. cbscreate with the journal on writes the new file beside the old
 * one and puts it in place in one step: a crash leaves the old file or the
 * new one. A file that has a journal beside it keeps using it whatever the
 * setting; cbscreate without the journal removes the journal of the file
 * it replaces. What the promise does not cover: a power loss right after a
 * flush point may bring back the flush point before it (the end of a
 * journal is not synced). */
RBAPI int32_t RBCALL cb_set_journal(int32_t on);
/* 1 when a journal beside the tree file name waits to be rolled back (the
 * next open will do it), 0 when there is none to roll back, -1 when it
 * cannot be read. Touches neither file nor the error state. */
RBAPI int32_t RBCALL cbjournal_hot(const char *name);

/* ------------------------------------------------------------------------ */
/* Search and navigation                                                     */
/* ------------------------------------------------------------------------ */

/* Positions on the first pair whose key equals key with an item of 0 or
 * more, or else on the next pair. Returns 2 (equal key found; *item set),
 * 3 (positioned on the next pair; *item set), -3 (past every pair), -1.
 * cbfcncode 19. */
RBAPI int32_t RBCALL cbfind(CbTree *tree, const void *key, int32_t key_length,
                            int32_t *item);
/* Positions on the pair (key, *item) or the next one in (key, item) order.
 * Returns 2 (exact pair), 3 (next pair) with its item stored back in *item,
 * -3, or -1. cbfcncode 20. */
RBAPI int32_t RBCALL cbfinditem(CbTree *tree, const void *key,
                                int32_t key_length, int32_t *item);
/* First pair: 1 with *item, -3 empty tree, -1. cbfcncode 9. */
RBAPI int32_t RBCALL cbhead(CbTree *tree, int32_t *item);
/* Last pair: 1 with *item, -2 empty tree, -1. cbfcncode 10. */
RBAPI int32_t RBCALL cbtail(CbTree *tree, int32_t *item);
/* Next pair: 1 with *item, -3 past the end, -1. When the pair at the
 * position was deleted meanwhile (by another handle or process), moves onto
 * the pair that now follows it and sets cberrcode 31 while returning 1.
 * cbfcncode 11. */
RBAPI int32_t RBCALL cbnext(CbTree *tree, int32_t *item);
/* Previous pair: 1 with *item, -2 before the start, -1. cbfcncode 12. */
RBAPI int32_t RBCALL cbprev(CbTree *tree, int32_t *item);
/* Item of the pair at the position: 1, or the position's state (-2, -3), or
 * -1. cberrcode 31 as for cbnext. cbfcncode 13. */
RBAPI int32_t RBCALL cbcurr(CbTree *tree, int32_t *item);
/* Copies min(key length, buffer_size) bytes of the key at the position into
 * buffer (no terminator). Returns 1, the state (-2, -3) or -1. cbfcncode 14.
 */
RBAPI int32_t RBCALL cbkey(CbTree *tree, void *buffer, int32_t buffer_size);
/* Length of the key at the position: 1, the state or -1. cbfcncode 15. */
RBAPI int32_t RBCALL cbkeylen(CbTree *tree, int32_t *length);
/* Saves the position as the handle's mark. 1, or -1 (5 out of memory).
 * cbfcncode 21. */
RBAPI int32_t RBCALL cbmark(CbTree *tree);
/* Makes the mark the position again: 1 on the marked pair, 3 when it was
 * deleted and the position is on its successor, -3 when nothing follows it;
 * *item gets the position's item. -1 with 27/51 when there is no mark.
 * cbfcncode 22. */
RBAPI int32_t RBCALL cbfindmark(CbTree *tree, int32_t *item);

/* ------------------------------------------------------------------------ */
/* Changes                                                                   */
/* ------------------------------------------------------------------------ */

/* Adds the pair (key, item). dup_allowed 0 refuses a key that is present
 * with another item (cberrcode 22); the same pair twice gives 23. A key
 * longer than cbbufsize() - 28 returns -1 and leaves cberrcode as it was.
 * A read-only handle gives 32. Positions are not moved. cbfcncode 16. */
RBAPI int32_t RBCALL cbinsert(CbTree *tree, const void *key,
                              int32_t key_length, int32_t item,
                              int32_t dup_allowed);
/* Removes the pair (key, item). The handle's own position and mark, when on
 * the pair, move to the pair that followed it. Returns 1, or -1 with 24/26
 * empty tree, 26/28 pair not present, 32 read-only. cbfcncode 17. */
RBAPI int32_t RBCALL cbdelete(CbTree *tree, const void *key,
                              int32_t key_length, int32_t item);
/* Replaces the pair (old_key, old_item) by (new_key, new_item). Returns 1,
 * or -1 with 23/22 the new pair exists, 22/22 the new key exists and
 * dup_allowed is 0, 26/21 old pair not present, 24/21 empty tree, 32
 * read-only; a new key longer than cbbufsize() - 28 returns -1 with no code.
 * Not atomic: a failure after the old pair was removed does not restore it.
 * cbfcncode 18. */
RBAPI int32_t RBCALL cbmodify(CbTree *tree, const void *old_key,
                              int32_t old_key_length, int32_t old_item,
                              const void *new_key, int32_t new_key_length,
                              int32_t new_item, int32_t dup_allowed);

/* ------------------------------------------------------------------------ */
/* Locks between processes                                                   */
/* ------------------------------------------------------------------------ */

/* Takes an explicit lock held across calls: mode 1 reader, mode 2 writer.
 * Returns 1, -4 when another process holds a conflicting lock (cberrcode
 * 29, cbconcode 54), -1 otherwise (other modes: -1 with no code). On a file
 * that is not shared no OS lock is taken. cbfcncode 29. */
RBAPI int32_t RBCALL cblock(CbTree *tree, int32_t mode);
/* Releases an explicit lock of the mode (writing back deferred changes
 * first for mode 2). Returns 1 (also when the lock is not held), -1 with
 * 30/53 when the unlock fails (the lock is kept), -1 for other modes.
 * cbfcncode 30. */
RBAPI int32_t RBCALL cbunlock(CbTree *tree, int32_t mode);
/* Retry settings of every lock the library takes: tries (default 25; 0 is
 * taken as 1), delay between tries (default 50 ms), give-up time (default
 * 10000 ms). No result, no error state. */
RBAPI void RBCALL cblock_timeout(int32_t tries, int32_t delay_ms,
                                 int32_t timeout_ms);

/* ------------------------------------------------------------------------ */
/* Checking a tree file                                                      */
/* ------------------------------------------------------------------------ */

/* The most levels a tree has, and so the levels cbcheck reports. */
#define CBCHECK_MAX_LEVELS 64

/* One level of a tree as cbcheck counts it. */
typedef struct CbCheckLevel {
  uint64_t entries;    /* pairs on the leaf level, separator entries above */
  uint64_t bytes_used; /* node headers, entries and key text, summed */
  uint32_t nodes;      /* nodes (blocks) on the level */
} CbCheckLevel;

/* The shape of a tree file as cbcheck found it. */
typedef struct CbCheckStats {
  int32_t block_size;      /* bytes per block, from the control record */
  int32_t depth;           /* levels, from the control record */
  uint32_t last_block;     /* highest block number of the file */
  uint32_t blocks_in_tree; /* nodes reached from the root */
  uint32_t free_blocks;    /* blocks on the free chain */
  int32_t level_count;     /* entries of levels filled in */
  uint64_t entries;        /* pairs in the leaves */
  CbCheckLevel levels[CBCHECK_MAX_LEVELS]; /* root level first */
} CbCheckStats;

/* Reads the whole B-tree file name and checks every invariant of its format:
 * the control record (parity, block size, file length, root, leaves, depth),
 * each node's layout, the order of the pairs within and across nodes, the
 * sibling links of every level, and that each block but block 0 is either in
 * the tree (once) or on the free chain. compare NULL selects cbkeycmp; it
 * must be the function the tree was built with.
 * The file is read as it is on disk, through its own shared read-only open,
 * without the tree's locks: a caller that wants one state while other
 * processes write opens the tree shared and holds cblock(tree, 1) around the
 * call. Changes that handles of this process hold in the pool are not seen
 * (cbflush first); a file that an exclusive open holds, here or elsewhere,
 * cannot be read.
 * stats (may be NULL) is zeroed and gets the figures the check gathered:
 * all of them when it returns 1, those of the levels and free chain it got
 * through otherwise. message (may be NULL) gets "" or, on 0 and -1, the
 * reason in words ("block 7: entries 3 and 4 out of order"), truncated to
 * message_size - 1 bytes and always terminated when message_size > 0.
 * Returns 1 when the tree is sound; 0 when the file was read and breaks an
 * invariant (no error variable changes); -1 when it could not be checked,
 * with cberrcode / cbconcode 3/7 no pool, 2/7 name NULL or an error of the
 * operating system opening or reading the file (cbget_syserr() gives it),
 * 5/7 out of memory (the check works on a copy of the whole file).
 * Stores cbfcncode 0 (CBFN_NONE): the function codes have no row for it. */
RBAPI int32_t RBCALL cbcheck(const char *name, CbCompare compare,
                             CbCheckStats *stats, char *message,
                             int32_t message_size);

RB_EXTERN_C_END

#endif /* RECBASE_CBT_H */
