// Runs the built recbase tool (RECBASE_TOOL_PATH) as a child process, its
// standard output and error caught in two files, for the tool's tests.
#ifndef RECBASE_TESTS_TOOLS_TOOL_RUN_H
#define RECBASE_TESTS_TOOLS_TOOL_RUN_H

#include <string>
#include <utility>
#include <vector>

#include "bufpool/journal.h"
#include "frame/platform.h"
#include "tests/support/files.h"
#include "tests/support/spawn.h"

namespace recbase::test {

struct ToolRun {
  int code = -1;  // exit status; -1 when it did not run or exit normally
  std::string out, err;
};

// out_path and err_path are (re)written with what the tool printed.
inline ToolRun run_tool(const std::vector<std::string> &args,
                        const std::string &out_path,
                        const std::string &err_path) {
  ToolRun run;
  run.code = run_program(RECBASE_TOOL_PATH, args, out_path, err_path);
  // Lines as the tool wrote them, without the carriage returns that text
  // output has on Windows.
  for (auto [file, text] :
       {std::pair{&out_path, &run.out}, {&err_path, &run.err}}) {
    const std::vector<uint8_t> bytes = read_file(*file);
    for (size_t i = 0; i < bytes.size(); ++i) {
      if (bytes[i] != '\r' || i + 1 >= bytes.size() || bytes[i + 1] != '\n') {
        text->push_back(static_cast<char>(bytes[i]));
      }
    }
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
