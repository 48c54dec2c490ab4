// Starting child processes and reading their results.
#include "bench/peers/child.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <stdexcept>

namespace peers {

// Starts this program again with args, its standard output a pipe to us.
// Of our descriptors only those in keep stay open in it.
Child spawn(const std::vector<std::string>& args, const std::vector<int>& keep,
            const std::string& label) {
  std::vector<std::string> all = {"/proc/self/exe"};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    for (int fd : keep) fcntl(fd, F_SETFD, 0);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  return {pid, out[0], label};
}

// Reads the child's results to their end and waits for it.
ChildResult finish(const Child& c) {
  std::string text;
  char buf[4096];
  ssize_t got;
  while ((got = read(c.out, buf, sizeof buf)) > 0) text.append(buf, got);
  close(c.out);
  int status = 0;
  if (waitpid(c.pid, &status, 0) != c.pid || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    throw std::runtime_error(c.label + " failed");
  }
  ChildResult r;
  std::istringstream in(text);
  std::string kind;
  std::string name;
  while (in >> kind >> name) {
    if (kind == "phase" || kind == "stopped") {
      PhaseTime& t = r.phases[name];
      in >> t.ops >> t.seconds >> t.start_ns >> t.end_ns;
      t.stopped = kind == "stopped";
    } else if (kind == "value") {
      in >> r.values[name];
    } else {
      throw std::runtime_error(c.label + " printed '" + kind + "'");
    }
  }
  return r;
}

int64_t value_or(const ChildResult& r, const char* name, int64_t fallback) {
  const auto it = r.values.find(name);
  return it == r.values.end() ? fallback : it->second;
}

}  // namespace peers
