// Worker: a forked process that runs B-tree calls on command, one at a
// time, and answers each with the result and the error variables, so that a
// test spells out an interleaving between processes in its own order. A
// worker calls cbinit itself: the test process holds no pool when it forks.
#ifndef RECBASE_TESTS_CBT_WORKER_H
#define RECBASE_TESTS_CBT_WORKER_H

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "bufpool/bufpool.h"
#include "recbase/cbt.h"
#include "tests/support/keys.h"

namespace recbase::test {

struct Reply {
  int32_t result = -999;               // -999: no answer in time
  int32_t item = 0, err = 0, con = 0;  // codes after the call (cleared before)
  char key[64] = {};                   // the key at the position
};

class Worker {
 public:
  // create/open: a, b = block size or shared, shared or read-only; result
  // 1 when a handle came. Keyed calls: a = item. kCount: pairs walked.
  enum Call : int32_t {
    kCreate,
    kOpen,
    kClose,
    kInsert,
    kDelete,
    kFind,
    kNext,
    kCount,
    kLock,
    kUnlock,
    kSetFlush,
    kTimeout,
    kQuit
  };

  explicit Worker(const std::string &path) {
    signal(SIGPIPE, SIG_IGN);  // a killed worker must not kill the test
    int down[2], up[2];
    if (pipe(down) != 0 || pipe(up) != 0) return;
    pid_ = spawn([&] {
      ::close(down[1]);
      ::close(up[0]);
      return serve(down[0], up[1], path);
    });
    ::close(down[0]);
    ::close(up[1]);
    out_ = down[1], in_ = up[0];
  }
  ~Worker() {
    if (alive_) send(kQuit);
    if (pid_ > 0) wait_child(pid_, 2000);
    ::close(out_);
    ::close(in_);
  }
  Worker(const Worker &) = delete;
  Worker &operator=(const Worker &) = delete;

  Reply send(Call call, int32_t a = 0, int32_t b = 0, int32_t c = 0,
             const std::string &key = "") {
    post(call, a, b, c, key);
    return finish();
  }
  Reply insert(const std::string &k, int32_t item) {
    return send(kInsert, item, 0, 0, k);
  }
  Reply del(const std::string &k, int32_t item) {
    return send(kDelete, item, 0, 0, k);
  }
  Reply find(const std::string &k) { return send(kFind, 0, 0, 0, k); }
  Reply lock(int32_t mode) { return send(kLock, mode); }
  Reply unlock(int32_t mode) { return send(kUnlock, mode); }

  // Starts a call without waiting; finish() collects the answer.
  void post(Call call, int32_t a = 0, int32_t b = 0, int32_t c = 0,
            const std::string &key = "") {
    Request q{call, a, b, c,
              static_cast<int32_t>(std::min<size_t>(key.size(), 64))};
    std::memcpy(q.key, key.data(), static_cast<size_t>(q.key_len));
    alive_ =
        alive_ && move_all(write, out_, reinterpret_cast<char *>(&q), sizeof q);
  }
  bool answered_within(int ms) {
    pollfd p{in_, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
  }
  // No answer within 20 s kills the worker.
  Reply finish() {
    Reply r;
    if (alive_ &&
        (!answered_within(20000) ||
         !move_all(read, in_, reinterpret_cast<char *>(&r), sizeof r))) {
      kill9();
      r = Reply();
    }
    return r;
  }
  void kill9() {
    kill(pid_, SIGKILL);
    wait_child(pid_, 5000);
    alive_ = false;
    pid_ = -1;
  }

 private:
  struct Request {
    Call call = kQuit;
    int32_t a = 0, b = 0, c = 0, key_len = 0;
    char key[64] = {};
  };
  template <typename Io>
  static bool move_all(Io io, int fd, char *p, size_t n) {
    for (ssize_t r = 0; n > 0; p += r, n -= static_cast<size_t>(r)) {
      if ((r = io(fd, p, n)) <= 0) return false;
    }
    return true;
  }
  static int32_t with_key(CbTree *t, int32_t result, Reply &r) {
    int32_t len = 0;
    if (cbkeylen(t, &len) == 1 && len >= 0 && len < 64) cbkey(t, r.key, len);
    return result;
  }
  static int32_t run(CbTree *&t, const char *path, const Request &q, Reply &r) {
    switch (q.call) {
      case kCreate:
        return (t = cbscreate(path, nullptr, q.a, q.b)) != nullptr;
      case kOpen:
        return (t = cbopen_shared(path, nullptr, q.a, q.b)) != nullptr;
      case kClose:
        return cbclose(std::exchange(t, nullptr));
      case kInsert:
        return cbinsert(t, q.key, q.key_len, q.a, 0);
      case kDelete:
        return cbdelete(t, q.key, q.key_len, q.a);
      case kFind:
        return with_key(t, cbfind(t, q.key, q.key_len, &r.item), r);
      case kNext:
        return with_key(t, cbnext(t, &r.item), r);
      case kCount: {
        int32_t n = 0, s = cbhead(t, &r.item);
        for (; s == 1; s = cbnext(t, &r.item)) ++n;
        return s == -3 ? n : -1;
      }
      case kLock:
        return cblock(t, q.a);
      case kUnlock:
        return cbunlock(t, q.a);
      case kSetFlush:
        return cb_set_flush(q.a, q.b), 1;
      case kTimeout:
        return cblock_timeout(q.a, q.b, q.c), 1;
      case kQuit:
        return cbexit();
    }
    return -1;
  }
  static int serve(int in, int out, const std::string &path) {
    // An inherited pool would belong to the test process's files.
    if (bufpool_current() != nullptr || cbinit(32, 512) != 1) return 90;
    cb_set_flush(1, 1);  // durability is not under test
    CbTree *tree = nullptr;
    for (Request q;
         move_all(read, in, reinterpret_cast<char *>(&q), sizeof q);) {
      Reply r;
      cbclear_error();
      r.result = run(tree, path.c_str(), q, r);
      r.err = cberrcode, r.con = cbconcode;
      if (!move_all(write, out, reinterpret_cast<char *>(&r), sizeof r) ||
          q.call == kQuit) {
        break;
      }
    }
    return 0;
  }

  pid_t pid_ = -1;
  int out_ = -1, in_ = -1;
  bool alive_ = true;
};

}  // namespace recbase::test

#endif  // RECBASE_TESTS_CBT_WORKER_H
