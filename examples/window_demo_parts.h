/* The output window demo's content, shared by its Linux and Windows mains:
 * a small database of parts listed in the window with showdb, and an error
 * message printed there by a failing call. */
#ifndef RECBASE_EXAMPLES_WINDOW_DEMO_PARTS_H
#define RECBASE_EXAMPLES_WINDOW_DEMO_PARTS_H

/* Makes window_demo_parts.db/.idx in the current directory and shows them
 * through the print routine (the library must be set up with iputs_win).
 * Returns 0, or 1 when the database cannot be made (the error is printed). */
int window_demo_show_parts(void);

#endif /* RECBASE_EXAMPLES_WINDOW_DEMO_PARTS_H */
