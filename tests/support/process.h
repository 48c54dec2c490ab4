// Child processes of the tests that lock between processes.
#ifndef RECBASE_TESTS_SUPPORT_PROCESS_H
#define RECBASE_TESTS_SUPPORT_PROCESS_H

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

namespace recbase::test {

// Forks a child that runs body() and leaves through _exit with its result,
// running no destructors of the parent's state; it dies with the parent.
template <typename Body>
pid_t spawn(Body body) {
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    _exit(body());
  }
  return pid;
}
// Exit status of a child (0..255), -1 when it did not exit normally, -2
// when it was still running at the deadline (it is then killed).
inline int wait_child(pid_t pid, int timeout_ms = 60000) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (int status = 0;; usleep(1000)) {
    const pid_t r = pid > 0 ? waitpid(pid, &status, WNOHANG) : -1;
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (r < 0) return -1;
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -2;
    }
  }
}
template <typename Body>
int run_in_child(Body body) {
  return wait_child(spawn(body));
}

}  // namespace recbase::test

#endif  // RECBASE_TESTS_SUPPORT_PROCESS_H
