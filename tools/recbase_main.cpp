// recbase: command-line tool over the library's files.
//
//   recbase tree check FILE                  verify every invariant
//   recbase tree stat FILE                   shape, blocks and fill per level
//   recbase tree dump FILE [--hex] [--limit N]
//                                            pairs in order
//   recbase db info NAME                     fields, indexes, records, sizes,
//                                            free space
//   recbase db check NAME [--quiet]          verify the database's invariants
//   recbase db show NAME [--index I] [--limit N]
//   recbase db dump NAME [--index I] [--csv|--display]
//   recbase db load NAME FILE.csv [--index 'NAME=SPEC;SPEC...']...
//                                 [--block N] [--strict] [--quiet]
//   recbase db copy SRC DST [--index I] [--block N] [--quiet]
//   recbase db reindex NAME [--block N] [--quiet]
//   recbase db rename FROM TO
//   recbase db destroy NAME
//
// Exit codes: 0 done (and sound), 1 not sound or refused, 2 a file could
// not be opened or read, 64 the command line was not understood.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/db_cmd.h"
#include "tools/tool_support.h"
#include "tools/tree_cmd.h"

namespace {

using recbase::tool::DumpOptions;

constexpr const char *kExitCodes =
    "Exit codes: 0 done, 1 the tree is not sound, 2 the file cannot be "
    "opened or read, 64 bad command line (or the index file of a database "
    "given to check or stat: use db check).";
constexpr const char *kDbExitCodes =
    "Exit codes: 0 done, 1 refused or not sound, 2 a file cannot be "
    "opened or read, 64 bad command line.";

// The subcommand chosen on the command line and its arguments.
struct Command {
  enum Kind {
    kNone,
    kCheck,
    kStat,
    kDump,
    kDbInfo,
    kDbCheck,
    kDbShow,
    kDbDump,
    kDbLoad,
    kDbCopy,
    kDbReindex,
    kDbRename,
    kDbDestroy
  } kind = kNone;
  std::string file, second;  // FILE or NAME, and the second name or CSV
  DumpOptions dump;
  recbase::tool::DbDumpOptions db_dump;
  recbase::tool::DbLoadOptions db_load;
  std::string index;  // db show and db copy --index
  int64_t limit = -1;
  int32_t block_size = 0;
  bool quiet = false;  // db check, copy and reindex
};

const CLI::Validator kNonNegative(
    [](std::string &value) {
      return !value.empty() && value[0] == '-'
                 ? std::string("must be 0 or more")
                 : std::string();
    },
    "N>=0", "non-negative");

void add_quiet_flag(CLI::App *sub, bool &quiet) {
  sub->add_flag("--quiet", quiet,
                "No progress bar (drawn on standard error when it is a "
                "terminal)");
}

void add_block_option(CLI::App *sub, Command &cmd) {
  sub->add_option("--block", cmd.block_size,
                  "Block size of the new index file (0: the default)")
      ->type_name("N")
      ->check(CLI::Range(0, 32767));
}

// A subcommand of "db" that makes cmd that command when it is chosen.
CLI::App *db_subcommand(CLI::App *db, Command &cmd, const char *name,
                        const char *help, Command::Kind kind) {
  CLI::App *s = db->add_subcommand(name, help);
  s->callback([&cmd, kind] { cmd.kind = kind; });
  s->footer(kDbExitCodes);
  return s;
}

// The db subcommands that read a database: info, check, show, dump.
void add_db_read_commands(CLI::App *db, Command &cmd) {
  auto sub = [&](const char *name, const char *help, Command::Kind kind) {
    return db_subcommand(db, cmd, name, help, kind);
  };
  CLI::App *info = sub("info",
                       "Print the fields, the indexes with their key parts, "
                       "the record count, the file sizes and the free space",
                       Command::kDbInfo);
  info->add_option("NAME", cmd.file, "Database")->required();

  CLI::App *check = sub("check",
                        "Verify the database: the index file's tree, the "
                        "record slots and free areas, every index's entries "
                        "and the free-space map; print the first violation",
                        Command::kDbCheck);
  check->add_option("NAME", cmd.file, "Database")->required();
  check->add_flag("--quiet", cmd.quiet,
                  "No progress bar, and nothing printed when the database "
                  "is sound (the exit code tells)");

  CLI::App *show = sub("show",
                       "Print the records in an index's order in the display "
                       "format, values separated by tabs",
                       Command::kDbShow);
  show->add_option("NAME", cmd.file, "Database")->required();
  show->add_option("--index", cmd.index,
                   "Index whose order to follow (default: file order)")
      ->type_name("I");
  show->add_option("--limit", cmd.limit, "Print at most N records")
      ->type_name("N")
      ->check(kNonNegative);

  CLI::App *dump = sub("dump",
                       "Print every record in an index's order: CSV with a "
                       "header row of the field definitions, or the display "
                       "format",
                       Command::kDbDump);
  dump->add_option("NAME", cmd.file, "Database")->required();
  dump->add_option("--index", cmd.db_dump.index,
                   "Index whose order to follow (default: file order)")
      ->type_name("I");
  CLI::Option *csv = dump->add_flag("--csv", "CSV (the default)");
  dump->add_flag("--display", cmd.db_dump.display,
                 "The display routines' lines, fields separated by tabs")
      ->excludes(csv);
}

// The db subcommands that make or change databases: load, copy, reindex,
// rename, destroy.
void add_db_write_commands(CLI::App *db, Command &cmd) {
  auto sub = [&](const char *name, const char *help, Command::Kind kind) {
    return db_subcommand(db, cmd, name, help, kind);
  };
  CLI::App *load = sub("load",
                       "Create a database from a CSV file whose header row "
                       "holds the field definitions, then make its indexes",
                       Command::kDbLoad);
  load->add_option("NAME", cmd.file, "Database to create")->required();
  load->add_option("FILE", cmd.second, "CSV file")->required();
  load->add_option("--index", cmd.db_load.indexes,
                   "An index to make: its name (\",U\" for unique), '=', "
                   "its key field specifications separated by ';'")
      ->type_name("'NAME=SPEC;SPEC...'");
  load->add_option("--block", cmd.db_load.block_size,
                   "Block size of the index file (0: the default)")
      ->type_name("N")
      ->check(CLI::Range(0, 32767));
  load->add_flag("--strict", cmd.db_load.strict,
                 "Stop at the first bad row and remove the new database");
  add_quiet_flag(load, cmd.db_load.quiet);

  CLI::App *copy = sub("copy",
                       "Copy a database into a new one, compacted, with every "
                       "index made again",
                       Command::kDbCopy);
  copy->add_option("SRC", cmd.file, "Database to copy")->required();
  copy->add_option("DST", cmd.second, "New database")->required();
  copy->add_option("--index", cmd.index,
                   "Index whose order the records are copied in")
      ->type_name("I");
  add_block_option(copy, cmd);
  add_quiet_flag(copy, cmd.quiet);

  CLI::App *reindex = sub("reindex",
                          "Make a new index file with every index made again "
                          "(the repair for a damaged index file)",
                          Command::kDbReindex);
  reindex->add_option("NAME", cmd.file, "Database")->required();
  add_block_option(reindex, cmd);
  add_quiet_flag(reindex, cmd.quiet);

  CLI::App *rename =
      sub("rename", "Rename both files of a database", Command::kDbRename);
  rename->add_option("FROM", cmd.file, "Database")->required();
  rename->add_option("TO", cmd.second, "New name")->required();

  CLI::App *destroy =
      sub("destroy", "Remove both files of a database", Command::kDbDestroy);
  destroy->add_option("NAME", cmd.file, "Database")->required();
}

// Adds "db" and its subcommands; returns the "db" command.
CLI::App *add_db_commands(CLI::App &app, Command &cmd) {
  CLI::App *db = app.add_subcommand(
      "db", "Examine, dump, load and copy databases (NAME.db with NAME.idx)");
  db->require_subcommand(1);
  db->footer(kDbExitCodes);
  add_db_read_commands(db, cmd);
  add_db_write_commands(db, cmd);
  return db;
}

// Adds "tree" and its subcommands; returns the "tree" command.
CLI::App *add_tree_commands(CLI::App &app, Command &cmd) {
  CLI::App *tree =
      app.add_subcommand("tree", "Examine a B-tree file (one tree per file)");
  tree->require_subcommand(1);
  tree->footer(kExitCodes);

  CLI::App *check = tree->add_subcommand(
      "check", "Verify every invariant of the file; print the first violation");
  check->add_option("FILE", cmd.file, "B-tree file")->required();
  check->callback([&cmd] { cmd.kind = Command::kCheck; });

  CLI::App *stat = tree->add_subcommand(
      "stat",
      "Print block size, depth, blocks in use and free, free chain, entries, "
      "and per level the nodes, entries and fill factor");
  stat->add_option("FILE", cmd.file, "B-tree file")->required();
  stat->callback([&cmd] { cmd.kind = Command::kStat; });

  CLI::App *dump = tree->add_subcommand(
      "dump",
      "Print the pairs in key order, one per line: key, tab, item. "
      "Non-printable key bytes and '\\' are written \\xNN");
  dump->add_option("FILE", cmd.file, "B-tree file")->required();
  dump->add_flag("--hex", cmd.dump.hex, "Print every key as hex digits");
  dump->add_option("--limit", cmd.dump.limit, "Print at most N pairs")
      ->type_name("N")
      ->check(kNonNegative);
  dump->callback([&cmd] { cmd.kind = Command::kDump; });

  for (CLI::App *sub : {check, stat, dump}) sub->footer(kExitCodes);
  return tree;
}

// CLI11 words a misspelt command as a missing one; name the word that was
// not understood first.
void report_unknown_command(CLI::App &app, CLI::App &tree, CLI::App &db) {
  for (CLI::App *level : {&tree, &db, &app}) {
    if (level != &app && !level->parsed()) continue;
    const std::vector<std::string> rest = level->remaining();
    if (!rest.empty()) {
      std::fprintf(stderr, "recbase: unknown command \"%s\"\n",
                   rest.front().c_str());
      return;
    }
  }
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App app{"recbase: examine recbase files and databases", "recbase"};
  app.require_subcommand(1);
  app.footer(kExitCodes);
  Command cmd;
  CLI::App *tree = add_tree_commands(app, cmd);
  CLI::App *db = add_db_commands(app, cmd);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    // --help and its kin are "errors" that exit 0; keep that, and give
    // every real parse error the usage exit code.
    if (dynamic_cast<const CLI::RequiredError *>(&e) != nullptr) {
      report_unknown_command(app, *tree, *db);
    }
    const int shown = app.exit(e);
    return shown == 0 ? 0 : recbase::tool::kExitUsage;
  }

  switch (cmd.kind) {
    case Command::kCheck:
      return recbase::tool::tree_check(cmd.file);
    case Command::kStat:
      return recbase::tool::tree_stat(cmd.file);
    case Command::kDump:
      return recbase::tool::tree_dump(cmd.file, cmd.dump);
    case Command::kDbInfo:
      return recbase::tool::db_info(cmd.file);
    case Command::kDbCheck:
      return recbase::tool::db_check(cmd.file, cmd.quiet);
    case Command::kDbShow:
      return recbase::tool::db_show(cmd.file, cmd.index, cmd.limit);
    case Command::kDbDump:
      return recbase::tool::db_dump(cmd.file, cmd.db_dump);
    case Command::kDbLoad:
      return recbase::tool::db_load(cmd.file, cmd.second, cmd.db_load);
    case Command::kDbCopy:
      return recbase::tool::db_copy(cmd.file, cmd.second, cmd.index,
                                    cmd.block_size, cmd.quiet);
    case Command::kDbReindex:
      return recbase::tool::db_reindex(cmd.file, cmd.block_size, cmd.quiet);
    case Command::kDbRename:
      return recbase::tool::db_rename(cmd.file, cmd.second);
    case Command::kDbDestroy:
      return recbase::tool::db_destroy(cmd.file);
    case Command::kNone:
      break;
  }
  std::fprintf(stderr, "recbase: no command given (try --help)\n");
  return recbase::tool::kExitUsage;
}
