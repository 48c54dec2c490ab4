// Runs the built recbase tool (RECBASE_TOOL_PATH) as a child process, its
// standard output and error caught in two files, for the tool's tests.
#ifndef RECBASE_TESTS_TOOLS_TOOL_RUN_H
#define RECBASE_TESTS_TOOLS_TOOL_RUN_H

#include <string>
#include <utility>
#include <vector>

#include "tests/support/keys.h"
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

}  // namespace recbase::test

#endif  // RECBASE_TESTS_TOOLS_TOOL_RUN_H
