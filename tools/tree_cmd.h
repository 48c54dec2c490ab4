// The "recbase tree ..." subcommands. Each takes the name of a B-tree file
// that is not open elsewhere for writing, prints its results to standard
// output and its diagnostics to standard error, and returns an exit code
// of tools/tool_support.h. Keys are ordered by the default compare
// function (cbkeycmp).
#ifndef RECBASE_TOOLS_TREE_CMD_H
#define RECBASE_TOOLS_TREE_CMD_H

#include <cstdint>
#include <string>

namespace recbase::tool {

// Runs the tree checker over the whole file. Sound: prints
// "<file>: sound (<entries> entries, depth <depth>)" and returns kExitOk.
// Otherwise prints "<file>: <first violation>" to standard error and
// returns kExitUnsound. The index file of a database (tree_check and
// tree_stat alike) is refused with kExitUsage and a message naming
// "recbase db check", which checks it in the database's key order.
int tree_check(const std::string &file);

// Prints the file's shape: block size, depth, blocks, free chain, entries,
// and per level (root first) nodes, entries and fill factor. A tree that is
// not sound still gets the figures the checker gathered before it stopped,
// then the violation on standard error, and kExitUnsound.
int tree_stat(const std::string &file);

struct DumpOptions {
  bool hex = false;    // keys as hex digits rather than escaped text
  int64_t limit = -1;  // at most this many pairs; -1: all
};

// Prints the pairs in order, one per line: key, a tab, the item as a signed
// number. In text form printable ASCII bytes other than '\' stand for
// themselves and every other byte is written \xNN. The file is opened shared
// and read-only and held under a reader lock for the whole walk; when a
// writer in another process keeps the lock past the library's retries, or
// any call fails, the library's error is printed and kExitCannotRead
// returned.
int tree_dump(const std::string &file, const DumpOptions &options);

}  // namespace recbase::tool

#endif  // RECBASE_TOOLS_TREE_CMD_H
