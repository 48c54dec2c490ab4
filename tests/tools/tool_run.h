// Runs the built recbase tool (RECBASE_TOOL_PATH) as a child process, its
// standard output and error caught in two files, for the tool's tests.
#ifndef RECBASE_TESTS_TOOLS_TOOL_RUN_H
#define RECBASE_TESTS_TOOLS_TOOL_RUN_H

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <string>
#include <utility>
#include <vector>

#include "bufpool/journal.h"
#include "frame/platform.h"
#include "tests/support/files.h"
#include "tests/support/process.h"

extern char **environ;

namespace recbase::test {

struct ToolRun {
  int code = -1;  // exit status; -1 when it did not run or exit normally
  std::string out, err;
};

// out_path and err_path are (re)written with what the tool printed.
inline ToolRun run_tool(std::vector<std::string> args,
                        const std::string &out_path,
                        const std::string &err_path) {
  args.insert(args.begin(), RECBASE_TOOL_PATH);
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  ToolRun run;
  int status = 0;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) ==
          0 &&
      waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
    run.code = WEXITSTATUS(status);
  }
  posix_spawn_file_actions_destroy(&actions);
  for (auto [file, text] :
       {std::pair{&out_path, &run.out}, {&err_path, &run.err}}) {
    const std::vector<uint8_t> bytes = read_file(*file);
    text->assign(bytes.begin(), bytes.end());
  }
  return run;
}

// Leaves the journal `journal` of files waiting, as a writer that died
// would: a period begun, the first unit of files[0] saved and synced, never
// ended. 1 when it is in place.
inline int32_t leave_hot_journal(const std::string &journal,
                                 const std::vector<std::string> &files,
                                 int32_t unit) {
  std::vector<const char *> names;
  for (const std::string &f : files) names.push_back(f.c_str());
  Journal *j = journal_open(journal.c_str(), names.data(),
                            static_cast<int32_t>(names.size()), 0, 1, {});
  const int32_t h = sys_open(names[0], 0, 0);
  if (j == nullptr || h == -1) return -1;
  journal_attach(j, 0, h, unit);
  const int32_t r = journal_protect(j, 0, 0, 1);
  journal_close(j);
  sys_close(h);
  return r;
}

}  // namespace recbase::test

#endif  // RECBASE_TESTS_TOOLS_TOOL_RUN_H
