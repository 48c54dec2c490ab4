/* recbase: the ISAM layer, the display routines and the output window.
 *
 * Conventions of this header:
 *  1. A database is reached through an IsamDb handle and each of its indexes
 *     through an IsamIndex handle: opaque pointers that the library makes,
 *     registers and frees at close. Every call checks them first: a stale
 *     handle fails with isam_errno 1 (database) or 2 (index).
 *  2. Results: 1 success, -1 failure; calls that return a handle, a text or
 *     a list return NULL on failure. Finding and walking also return 2, 3,
 *     -2, -3 and -4 (a lock another process holds).
 *  3. Errors: most calls set isam_errno to 0 on entry and to the reason on
 *     failure. A failure of the B-tree layer below is isam_errno 9, with
 *     cberrcode, cbfcncode and cbconcode left as that layer set them.
 *  4. Field values travel as arrays of pointers to char (char ** to fill,
 *     char *const * to read); lists of names as const char *const *. Lists
 *     that the library returns are char ** owned by the library.
 *  5. Calling convention RBCALL; integers are int32_t.
 */
#ifndef RECBASE_ISAM_H
#define RECBASE_ISAM_H

#include "recbase/cbt.h"

RB_EXTERN_C_BEGIN

/* An open database: the data file NAME.db and its index file NAME.idx. */
typedef struct IsamDb IsamDb;
/* One open index of a database. */
typedef struct IsamIndex IsamIndex;

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

RB_EXTERN_C_END

#endif /* RECBASE_ISAM_H */
