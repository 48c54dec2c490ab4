// Worker: a forked process that runs B-tree calls on command, one at a
// time, and answers each with the result and the error variables. A test
// drives several workers step by step, so an interleaving between processes
// is spelled out in the test's own order.
//
// A worker calls cbinit itself, so the test process must not hold a buffer
// pool when it forks one (the child would inherit it); workers are made
// before the test process starts using the library, or after its cbexit.
#ifndef RECBASE_TESTS_CBT_PROCESS_SUPPORT_H
#define RECBASE_TESTS_CBT_PROCESS_SUPPORT_H

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "bufpool/bufpool.h"
#include "cbt/checker.h"
#include "recbase/cbt.h"
#include "tests/support/temp_dir.h"

namespace recbase::test {

struct Reply {
  int32_t result = -999;  // -999: no answer in time
  int32_t item = 0;
  int32_t err = 0;      // cberrcode after the call (cleared before it)
  int32_t con = 0;      // cbconcode after the call
  char text[240] = {};  // the key at the position, or the checker's finding
};

class Worker {
 public:
  // Forks the worker, with its own pool of 32 buffers of buffer_size bytes,
  // for the file at path.
  explicit Worker(const std::string &path, int32_t buffer_size = 512) {
    signal(SIGPIPE, SIG_IGN);  // a killed worker must not kill the test
    int down[2], up[2];
    if (pipe(down) != 0 || pipe(up) != 0) return;
    pid_ = spawn([&] {
      ::close(down[1]);
      ::close(up[0]);
      return serve(down[0], up[1], path, buffer_size);
    });
    ::close(down[0]);
    ::close(up[1]);
    out_ = down[1];
    in_ = up[0];
  }
  ~Worker() {
    if (alive_) send({kQuit}, 2000);
    if (pid_ > 0) wait_child(pid_, 2000);
    ::close(out_);
    ::close(in_);
  }
  Worker(const Worker &) = delete;
  Worker &operator=(const Worker &) = delete;

  // cbscreate and cbopen_shared: result 1 when a handle came, else 0.
  Reply create(int32_t block_size, int32_t shared = 1) {
    return send({kCreate, block_size, shared});
  }
  Reply open(int32_t shared = 1, int32_t read_only = 0) {
    return send({kOpen, shared, read_only});
  }
  Reply close() { return send({kClose}); }
  Reply insert(const std::string &key, int32_t item) {
    return send(keyed(kInsert, key, item));
  }
  Reply del(const std::string &key, int32_t item) {
    return send(keyed(kDelete, key, item));
  }
  Reply find(const std::string &key) { return send(keyed(kFind, key, 0)); }
  Reply next() { return send({kNext}); }
  // Walks the whole tree: result = pairs seen, or -1.
  Reply count() { return send({kCount}); }
  Reply mark() { return send({kMark}); }
  Reply find_mark() { return send({kFindMark}); }
  Reply flush() { return send({kFlush}); }
  Reply lock(int32_t mode) { return send({kLock, mode}); }
  Reply unlock(int32_t mode) { return send({kUnlock, mode}); }
  Reply set_flush(int32_t deferred, int32_t skip) {
    return send({kSetFlush, deferred, skip});
  }
  Reply lock_timeout(int32_t tries, int32_t delay_ms, int32_t timeout_ms) {
    return send({kLockTimeout, tries, delay_ms, timeout_ms});
  }
  // The checker on the worker's handle: result 1 when the tree is sound.
  Reply check() { return send({kCheck}); }

  // Starts cbinsert without waiting for its answer; finish() collects it.
  void start_insert(const std::string &key, int32_t item) {
    post(keyed(kInsert, key, item));
  }
  bool answered_within(int ms) {
    pollfd p{in_, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
  }
  Reply finish() { return collect(20000); }

  void kill9() {
    kill(pid_, SIGKILL);
    wait_child(pid_, 5000);
    alive_ = false;
    pid_ = -1;
  }

 private:
  enum Call : int32_t {
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
    kQuit
  };
  struct Request {
    Call call = kQuit;
    int32_t a = 0, b = 0, c = 0;
    int32_t key_len = 0;
    char key[64] = {};
  };

  static Request keyed(Call call, const std::string &key, int32_t item) {
    Request q{call, item};
    q.key_len = static_cast<int32_t>(std::min(key.size(), sizeof q.key));
    std::memcpy(q.key, key.data(), static_cast<size_t>(q.key_len));
    return q;
  }

  // Moves all n bytes through read or write; false on end of file or error.
  template <typename Io, typename Byte>
  static bool move_all(Io io, int fd, Byte *p, size_t n) {
    for (ssize_t r = 0; n > 0; p += r, n -= static_cast<size_t>(r)) {
      if ((r = io(fd, p, n)) <= 0) return false;
    }
    return true;
  }

  static int32_t key_at(CbTree *tree, int32_t result, Reply &r) {
    int32_t len = 0;
    if (cbkeylen(tree, &len) == 1 && len >= 0 &&
        len < static_cast<int32_t>(sizeof r.text)) {
      cbkey(tree, r.text, len);
    }
    return result;
  }

  static int32_t run(CbTree *&tree, const std::string &path, const Request &q,
                     Reply &r) {
    switch (q.call) {
      case kCreate:
        return (tree = cbscreate(path.c_str(), nullptr, q.a, q.b)) != nullptr;
      case kOpen:
        return (tree = cbopen_shared(path.c_str(), nullptr, q.a, q.b)) !=
               nullptr;
      case kClose:
        return cbclose(std::exchange(tree, nullptr));
      case kInsert:
        return cbinsert(tree, q.key, q.key_len, q.a, 0);
      case kDelete:
        return cbdelete(tree, q.key, q.key_len, q.a);
      case kFind:
        return key_at(tree, cbfind(tree, q.key, q.key_len, &r.item), r);
      case kNext:
        return key_at(tree, cbnext(tree, &r.item), r);
      case kCount: {
        int32_t n = 0, s = cbhead(tree, &r.item);
        for (; s == 1; s = cbnext(tree, &r.item)) ++n;
        return s == -3 ? n : -1;
      }
      case kMark:
        return cbmark(tree);
      case kFindMark:
        return key_at(tree, cbfindmark(tree, &r.item), r);
      case kFlush:
        return cbflush(tree);
      case kLock:
        return cblock(tree, q.a);
      case kUnlock:
        return cbunlock(tree, q.a);
      case kSetFlush:
        cb_set_flush(q.a, q.b);
        return 1;
      case kLockTimeout:
        cblock_timeout(q.a, q.b, q.c);
        return 1;
      case kCheck: {
        const std::string fault = cbt::check_tree(tree);
        std::strncat(r.text, fault.c_str(), sizeof r.text - 1);
        return fault.empty();
      }
      case kQuit:
        return cbexit();
    }
    return -1;
  }

  static int serve(int in, int out, const std::string &path,
                   int32_t buffer_size) {
    // An inherited pool would belong to the test process's files.
    if (bufpool_current() != nullptr || cbinit(32, buffer_size) != 1) {
      return 90;
    }
    CbTree *tree = nullptr;
    for (Request q;
         move_all(read, in, reinterpret_cast<char *>(&q), sizeof q);) {
      Reply r;
      cbclear_error();
      r.result = run(tree, path, q, r);
      r.err = cberrcode;
      r.con = cbconcode;
      if (!move_all(write, out, reinterpret_cast<const char *>(&r), sizeof r) ||
          q.call == kQuit) {
        return 0;
      }
    }
    return 0;
  }

  // Sends one request and waits up to timeout_ms for the answer; no answer
  // kills the worker.
  Reply send(const Request &q, int timeout_ms = 20000) {
    post(q);
    return collect(timeout_ms);
  }
  void post(const Request &q) {
    alive_ = alive_ && move_all(write, out_, reinterpret_cast<const char *>(&q),
                                sizeof q);
  }
  Reply collect(int timeout_ms) {
    Reply r;
    if (!alive_) return r;
    if (!answered_within(timeout_ms) ||
        !move_all(read, in_, reinterpret_cast<char *>(&r), sizeof r)) {
      kill(pid_, SIGKILL);
      alive_ = false;
      r = Reply();
    }
    return r;
  }

  pid_t pid_ = -1;
  int out_ = -1, in_ = -1;
  bool alive_ = true;
};

}  // namespace recbase::test

#endif  // RECBASE_TESTS_CBT_PROCESS_SUPPORT_H
