/* recbase: the display routines, which print a database's definitions,
 * keys and records through the print routine, and the output window, a
 * print routine of its own. Reached through recbase/isam.h, whose
 * conventions hold here too (handles, results, isam_errno and the error
 * names of recbase/codes.h, RBCALL).
 */
#ifndef RECBASE_DISPLAY_H
#define RECBASE_DISPLAY_H

#include "recbase/isam.h"

RB_EXTERN_C_BEGIN

/* ------------------------------------------------------------------------ */
/* Display                                                                   */
/* ------------------------------------------------------------------------ */
/* Every piece of text goes to the print routine (cbset_print) by itself: a
 * text value, a number formatted whole, one byte of a binary value, a
 * separator, a closing line feed. A list prints each item followed by sep
 * (NULL: "\n") and then one more "\n". The print routine's results are not
 * looked at. Numbers by field type:
 *
 *   type   show_key                   showrec
 *   S, C   the text                   the text
 *   I      %hd                        %hd
 *   U      %hu                        %hu
 *   L      %ld                        %ld
 *   F      %.2f (as a double)         %G (as a double)
 *   D      %.2f                       %G
 *   B      BINARY:n (n its length)    \xHH per byte (upper-case hex)
 *
 * A number's text is never cut: "%.2f" of the largest double fits. */

/* Prints every record of the database in the order of ix (NULL: "Physical
 * Index"), one showrec line each with sep. The walk runs on ix itself from its
 * head: a user index that was on a record is marked first (the mark replaces
 * one set with imarkrec) and put back on it afterwards (then the result is that
 * of the return: 1, or -1 with isam_errno from ifindmark); otherwise ix is left
 * where the walk ended, past the end after a whole walk. In a shared database
 * each record's position is taken under the temporary read lock, which goes
 * before the record is printed. A failure inside the walk stops it with one
 * message through the print routine, "can't lock index\n" (the read lock is
 * refused), "can't get current record\n" (the index's current entry cannot be
 * read) or "error reading record\n" (the record cannot be read or does not hold
 * every field), and is no failure of the call: the result stays 1 with
 * isam_errno 0. A step of the walk that fails (ifindhead, ifindnext) ends it
 * silently. Returns 1, or -1 with 1 (ISERR_BAD_DB), 2 (ISERR_BAD_INDEX), or the
 * error of imarkrec (9 (ISERR_CBT)). */
RBAPI int32_t RBCALL showdb(IsamDb *db, IsamIndex *ix, const char *sep);
/* Prints the values of a record (fields by field number in their stored
 * form, NULL-terminated; NULL: no values) by the field types of the current
 * database (the one the last ISAM call worked on), each followed by sep,
 * then "\n". Values beyond that database's fields, and every value when
 * there is no current database, print as text. Leaves isam_errno alone.
 * Returns 1. */
RBAPI int32_t RBCALL showrec(char *const *fields, const char *sep);
/* Prints the key fields of key, an entry key of ix as stored (its first byte
 * the index number, then every key field; a shorter key is read past its end),
 * each followed by sep, then "\n". A text field cut by its specification prints
 * as the key holds it. Returns 1, or -1 with 1 (ISERR_BAD_DB), 2
 * (ISERR_BAD_INDEX: also for a key whose first byte is not ix's number) or 35
 * (ISERR_NULL_ARG: key NULL). */
RBAPI int32_t RBCALL show_key(IsamDb *db, IsamIndex *ix, const void *key,
                              const char *sep);
/* Prints igetdesc's texts of ix (NULL: "Physical Index", every field
 * definition), each followed by sep, then "\n"; igetdesc's previous list is
 * overwritten. Returns 1, or -1 with 1 (ISERR_BAD_DB), 2 (ISERR_BAD_INDEX) or 5
 * (ISERR_NO_MEMORY), printing nothing. */
RBAPI int32_t RBCALL showdesc(IsamDb *db, IsamIndex *ix, const char *sep);
/* Prints the field definitions, each followed by sep, then "\n". Returns 1, or
 * -1 with 1 (ISERR_BAD_DB). */
RBAPI int32_t RBCALL showfldnames(IsamDb *db, const char *sep);
/* Prints the index names in index-list order (as igetindexnames lists them),
 * each followed by sep, then "\n". Returns 1, or -1 with 1 (ISERR_BAD_DB). */
RBAPI int32_t RBCALL showindexnames(IsamDb *db, const char *sep);
/* Hands text to the print routine as it is, NULL included (iputs_win makes
 * its window; the default routine returns -1), and returns the routine's
 * result. Leaves isam_errno alone. */
RBAPI int32_t RBCALL iputs(const char *text);

/* ------------------------------------------------------------------------ */
/* Output window: 80 columns by 25 rows of text that scroll up              */
/* ------------------------------------------------------------------------ */
/* One window at most, titled "Ledgerwick Output", with scroll bars; Page Up,
 * Page Down, Home, End and the up and down arrows scroll its rows, left and
 * right 8 columns. It is made by the first iputs_win once isaminit_mswin was
 * given an instance handle, and lives until the user closes it; the next
 * iputs_win then makes a fresh, blank one.
 * On Windows it is a window of the application's instance (the handle given
 * to isaminit_mswin) in the system's fixed font, and the application's
 * message loop runs it: a write invalidates the cells it changed and the
 * window paints them when its WM_PAINT is dispatched. Closing the last
 * top-level window of the instance posts WM_QUIT (code 0), which ends the
 * loop. After WM_QUERYENDSESSION its text is gone: writing and clearing
 * fail with 5 (ISERR_NO_MEMORY).
 * Elsewhere it is drawn with Xlib on the display that the DISPLAY variable
 * names, in the server's fixed-pitch font. The library has no thread: the
 * window answers (repaints, scrolls, closes) during iputs_win,
 * iputs_win_clear and iputs_win_setcursor, so an application that waits keeps
 * it alive by calling iputs_win(NULL) now and then. A library built without
 * Xlib (RECBASE_X11=OFF) has no window: iputs_win fails with 41
 * (ISERR_NO_WINDOW) and iputs_winbox prints.
 * These routines do not clear isam_errno, which they may be printing. */

/* Writes text into the output window, creating the window first (text NULL:
 * only that, and handling its events). A line feed ends a row, a carriage
 * return goes back to its column 0, the 81st character of a row starts the
 * next, a character below the last row scrolls the text up one row (the top row
 * is lost). A print routine. Returns 1, or -1 with 40 (ISERR_NO_WIN_INSTANCE:
 * no instance handle), 41 (ISERR_NO_WINDOW: no window can be made: no X
 * display) or 5 (ISERR_NO_MEMORY: no memory for the text, or the text is
 * gone after the end-session query). */
RBAPI int32_t RBCALL iputs_win(const char *text);
/* Blanks the window's text and puts the cursor at row 0, column 0; the window
 * shows it at its next repaint. Returns 1, or -1 with 41 (ISERR_NO_WINDOW) when
 * there is no window, or 5 (ISERR_NO_MEMORY) when its text is gone. */
RBAPI int32_t RBCALL iputs_win_clear(void);
/* Moves the window's cursor to column, row. A negative value becomes 0, a
 * column past 79 becomes 79 and a row past 24 becomes 25 (the next character
 * scrolls the text once), so no write lands outside the text. Returns 1, or -1
 * with 41 (ISERR_NO_WINDOW) when there is no window (the position is stored all
 * the same, though a new window starts at row 0, column 0). */
RBAPI int32_t RBCALL iputs_win_setcursor(int32_t column, int32_t row);
/* Shows text (NULL: an empty text) in a modal box titled "Ledgerwick" with
 * an OK button, and waits until it is dismissed (OK, Return, Enter, space,
 * Escape, or closing the box); on Windows a task-modal information box
 * (MessageBoxA). When no box can be shown (no X display) it prints text
 * through the default print routine (standard output) instead. A print
 * routine. Returns 1. */
RBAPI int32_t RBCALL iputs_winbox(const char *text);

RB_EXTERN_C_END

#endif /* RECBASE_DISPLAY_H */
