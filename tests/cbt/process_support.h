// Helpers for tests that share one B-tree file between processes.
//
//  - wait_child: waits for a child with a deadline, so that a child stuck in
//    a lock fails the test instead of blocking it.
//  - Worker: a forked process that runs B-tree calls on command, one at a
//    time, and answers each with the result and the error variables. The
//    test drives several workers step by step, so an interleaving between
//    processes is spelled out in the test's own order.
//
// A worker calls cbinit itself, so the test process must not hold a buffer
// pool when it forks one (the child would inherit it); workers are made
// before the test process starts using the library, or after its cbexit.
#ifndef RECBASE_TESTS_CBT_PROCESS_SUPPORT_H
#define RECBASE_TESTS_CBT_PROCESS_SUPPORT_H

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>

#include "bufpool/bufpool.h"
#include "cbt/checker.h"
#include "recbase/cbt.h"

namespace recbase::test {

// Exit status of a child, -1 when it did not exit normally (killed by a
// signal, say), -2 when it was still running at the deadline (it is then
// killed and reaped).
inline int wait_child(pid_t pid, int timeout_ms) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (r < 0) return -1;
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -2;
    }
    usleep(1000);
  }
}

// Forks a child that runs body() and leaves with its result through _exit
// (no test-framework or static destructors run in the child). The child
// dies with the test process.
template <typename Body>
pid_t spawn(Body body) {
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    _exit(body());
  }
  return pid;
}

// Result of a worker call that got no answer in time.
constexpr int32_t kNoAnswer = -999;

struct Reply {
  int32_t result = kNoAnswer;
  int32_t item = 0;
  int32_t err = 0;  // cberrcode after the call (cleared before it)
  int32_t con = 0;  // cbconcode after the call
  char text[240] = {};
};

class Worker {
 public:
  // Forks the worker; it makes its own pool of 32 buffers of
  // buffer_size bytes and will work on the file at path.
  explicit Worker(const std::string &path, int32_t buffer_size = 512) {
    signal(SIGPIPE, SIG_IGN);  // a killed worker must not kill the test
    int to_child[2];
    int to_parent[2];
    if (pipe(to_child) != 0 || pipe(to_parent) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      ::close(to_child[1]);
      ::close(to_parent[0]);
      serve(to_child[0], to_parent[1], path, buffer_size);
    }
    ::close(to_child[0]);
    ::close(to_parent[1]);
    out_ = to_child[1];
    in_ = to_parent[0];
  }
  ~Worker() {
    if (pid_ > 0 && !reaped_) {
      if (alive_) send({Call::kQuit}, 2000);
      wait_child(pid_, 2000);
    }
    ::close(out_);
    ::close(in_);
  }
  Worker(const Worker &) = delete;
  Worker &operator=(const Worker &) = delete;

  pid_t pid() const { return pid_; }

  // cbscreate(path, null, block_size, shared); result 1 when a handle came.
  Reply create(int32_t block_size, int32_t shared = 1) {
    return send({Call::kCreate, block_size, shared});
  }
  // cbopen_shared(path, null, shared, read_only); result 1 or 0.
  Reply open(int32_t shared = 1, int32_t read_only = 0) {
    return send({Call::kOpen, shared, read_only});
  }
  Reply close() { return send({Call::kClose}); }
  Reply insert(const std::string &key, int32_t item) {
    return send(keyed(Call::kInsert, key, item));
  }
  Reply del(const std::string &key, int32_t item) {
    return send(keyed(Call::kDelete, key, item));
  }
  // cbfind; text holds the key at the position.
  Reply find(const std::string &key) {
    return send(keyed(Call::kFind, key, 0));
  }
  // cbnext; text holds the key at the new position.
  Reply next() { return send({Call::kNext}); }
  // Walks the whole tree with cbhead/cbnext: result = pairs seen, or -1.
  Reply count() { return send({Call::kCount}); }
  // cbmark; cbfindmark (text holds the key at the position it gives).
  Reply mark() { return send({Call::kMark}); }
  Reply find_mark() { return send({Call::kFindMark}); }
  Reply flush() { return send({Call::kFlush}); }
  Reply lock(int32_t mode) { return send({Call::kLock, mode}); }
  Reply unlock(int32_t mode) { return send({Call::kUnlock, mode}); }
  Reply set_flush(int32_t deferred, int32_t skip) {
    return send({Call::kSetFlush, deferred, skip});
  }
  Reply lock_timeout(int32_t tries, int32_t delay_ms, int32_t timeout_ms) {
    return send({Call::kLockTimeout, tries, delay_ms, timeout_ms});
  }
  // The tree checker on the worker's own handle: result 1 and text "" when
  // the tree is sound as the worker sees it.
  Reply check() { return send({Call::kCheck}); }

  // Starts cbinsert without waiting for its answer, so that the test can
  // act in other processes meanwhile; finish() collects the answer.
  void start_insert(const std::string &key, int32_t item) {
    post(keyed(Call::kInsert, key, item));
  }
  // True when the started call has answered within ms milliseconds.
  bool answered_within(int ms) {
    pollfd p{in_, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
  }
  Reply finish(int timeout_ms = 20000) { return collect(timeout_ms); }

  // Kills the worker with SIGKILL and reaps it.
  void kill9() {
    kill(pid_, SIGKILL);
    wait_child(pid_, 5000);
    alive_ = false;
    reaped_ = true;
  }

 private:
  enum class Call : int32_t {
    kCreate,
    kOpen,
    kClose,
    kInsert,
    kDelete,
    kFind,
    kNext,
    kCount,
    kMark,
    kFindMark,
    kFlush,
    kLock,
    kUnlock,
    kSetFlush,
    kLockTimeout,
    kCheck,
    kQuit,
  };
  struct Request {
    Call call = Call::kQuit;
    int32_t a = 0;
    int32_t b = 0;
    int32_t c = 0;
    int32_t key_len = 0;
    char key[64] = {};
  };

  static Request keyed(Call call, const std::string &key, int32_t item) {
    Request q{call, item};
    q.key_len = static_cast<int32_t>(key.size() < sizeof q.key ? key.size()
                                                               : sizeof q.key);
    std::memcpy(q.key, key.data(), static_cast<size_t>(q.key_len));
    return q;
  }

  static bool read_all(int fd, void *p, size_t n) {
    auto *b = static_cast<char *>(p);
    while (n > 0) {
      const ssize_t r = read(fd, b, n);
      if (r <= 0) return false;
      b += r;
      n -= static_cast<size_t>(r);
    }
    return true;
  }
  static bool write_all(int fd, const void *p, size_t n) {
    const auto *b = static_cast<const char *>(p);
    while (n > 0) {
      const ssize_t r = write(fd, b, n);
      if (r <= 0) return false;
      b += r;
      n -= static_cast<size_t>(r);
    }
    return true;
  }

  static void key_at(CbTree *tree, Reply &r) {
    int32_t len = 0;
    if (cbkeylen(tree, &len) == 1 && len >= 0 &&
        len < static_cast<int32_t>(sizeof r.text)) {
      cbkey(tree, r.text, len);
    }
  }

  [[noreturn]] static void serve(int in, int out, const std::string &path,
                                 int32_t buffer_size) {
    // An inherited pool would belong to the test process's files.
    if (bufpool_current() != nullptr || cbinit(32, buffer_size) != 1) {
      _exit(90);
    }
    CbTree *tree = nullptr;
    for (;;) {
      Request q;
      if (!read_all(in, &q, sizeof q)) _exit(0);
      Reply r;
      cbclear_error();
      switch (q.call) {
        case Call::kCreate:
          tree = cbscreate(path.c_str(), nullptr, q.a, q.b);
          r.result = tree != nullptr ? 1 : 0;
          break;
        case Call::kOpen:
          tree = cbopen_shared(path.c_str(), nullptr, q.a, q.b);
          r.result = tree != nullptr ? 1 : 0;
          break;
        case Call::kClose:
          r.result = cbclose(tree);
          tree = nullptr;
          break;
        case Call::kInsert:
          r.result = cbinsert(tree, q.key, q.key_len, q.a, 0);
          break;
        case Call::kDelete:
          r.result = cbdelete(tree, q.key, q.key_len, q.a);
          break;
        case Call::kFind:
          r.result = cbfind(tree, q.key, q.key_len, &r.item);
          key_at(tree, r);
          break;
        case Call::kNext:
          r.result = cbnext(tree, &r.item);
          key_at(tree, r);
          break;
        case Call::kCount: {
          int32_t item = 0;
          int32_t n = 0;
          int32_t s = cbhead(tree, &item);
          while (s == 1) {
            ++n;
            s = cbnext(tree, &item);
          }
          r.result = s == -3 ? n : -1;
          break;
        }
        case Call::kMark:
          r.result = cbmark(tree);
          break;
        case Call::kFindMark:
          r.result = cbfindmark(tree, &r.item);
          key_at(tree, r);
          break;
        case Call::kFlush:
          r.result = cbflush(tree);
          break;
        case Call::kLock:
          r.result = cblock(tree, q.a);
          break;
        case Call::kUnlock:
          r.result = cbunlock(tree, q.a);
          break;
        case Call::kSetFlush:
          cb_set_flush(q.a, q.b);
          r.result = 1;
          break;
        case Call::kLockTimeout:
          cblock_timeout(q.a, q.b, q.c);
          r.result = 1;
          break;
        case Call::kCheck: {
          const std::string fault = cbt::check_tree(tree);
          std::strncat(r.text, fault.c_str(), sizeof r.text - 1);
          r.result = fault.empty() ? 1 : 0;
          break;
        }
        case Call::kQuit:
          break;
      }
      r.err = cberrcode;
      r.con = cbconcode;
      if (q.call == Call::kQuit) {
        r.result = cbexit();
        write_all(out, &r, sizeof r);
        _exit(0);
      }
      if (!write_all(out, &r, sizeof r)) _exit(0);
    }
  }

  // Sends one request and waits up to timeout_ms for the answer; no answer
  // gives result kNoAnswer and kills the worker.
  Reply send(const Request &q, int timeout_ms = 20000) {
    post(q);
    return collect(timeout_ms);
  }
  void post(const Request &q) {
    if (alive_ && !write_all(out_, &q, sizeof q)) alive_ = false;
  }
  Reply collect(int timeout_ms) {
    Reply r;
    if (!alive_) return r;
    pollfd p{in_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1 || !read_all(in_, &r, sizeof r)) {
      kill(pid_, SIGKILL);
      alive_ = false;
      r = Reply();
    }
    return r;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int in_ = -1;
  bool alive_ = true;
  bool reaped_ = false;
};

}  // namespace recbase::test

#endif  // RECBASE_TESTS_CBT_PROCESS_SUPPORT_H
