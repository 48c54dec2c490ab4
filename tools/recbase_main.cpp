// recbase: command-line tool over the library's files.
//
//   recbase tree check FILE                  verify every invariant
//   recbase tree stat FILE                   shape, blocks and fill per level
//   recbase tree dump FILE [--hex] [--limit N]
//                                            pairs in order
//
// Exit codes: 0 done (and sound), 1 the tree is not sound, 2 the file could
// not be opened or read, 64 the command line was not understood.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "tools/tool_support.h"
#include "tools/tree_cmd.h"

namespace {

using recbase::tool::DumpOptions;

constexpr const char *kExitCodes =
    "Exit codes: 0 done, 1 the tree is not sound, 2 the file cannot be "
    "opened or read, 64 bad command line.";

// The subcommand chosen on the command line and its arguments.
struct Command {
  enum Kind { kNone, kCheck, kStat, kDump } kind = kNone;
  std::string file;
  DumpOptions dump;
};

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
      ->check(CLI::Validator(
          [](std::string &value) {
            return !value.empty() && value[0] == '-'
                       ? std::string("must be 0 or more")
                       : std::string();
          },
          "N>=0", "non-negative"));
  dump->callback([&cmd] { cmd.kind = Command::kDump; });

  for (CLI::App *sub : {check, stat, dump}) sub->footer(kExitCodes);
  return tree;
}

// CLI11 words a misspelt command as a missing one; name the word that was
// not understood first.
void report_unknown_command(CLI::App &app, CLI::App &tree) {
  for (CLI::App *level : {&tree, &app}) {
    if (level == &tree && !tree.parsed()) continue;
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
  CLI::App app{"recbase: examine recbase files", "recbase"};
  app.require_subcommand(1);
  app.footer(kExitCodes);
  Command cmd;
  CLI::App *tree = add_tree_commands(app, cmd);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    // --help and its kin are "errors" that exit 0; keep that, and give
    // every real parse error the usage exit code.
    if (dynamic_cast<const CLI::RequiredError *>(&e) != nullptr) {
      report_unknown_command(app, *tree);
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
    case Command::kNone:
      break;
  }
  std::fprintf(stderr, "recbase: no command given (try --help)\n");
  return recbase::tool::kExitUsage;
}
