// Worker: a forked process that runs B-tree calls on command, one at a
// time, and answers each with the result and the error variables, so that a
// test spells out an interleaving between processes in its own order.
// A worker calls cbinit itself: the test process must hold no pool when it
// forks one.
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
#include "cbt/checker.h"
#include "recbase/cbt.h"
#include "tests/support/keys.h"

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
  // Forks the worker, with a pool of 32 buffers of 512 bytes, for path.
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

  // a, b, c are the call's integer arguments (an item for keyed calls);
  // create and open give result 1 when a handle came, else 0.
  Reply send(Call call, int32_t a = 0, int32_t b = 0, int32_t c = 0,
             const std::string &key = "") {
    post(call, a, b, c, key);
    return finish();
  }
  Reply create(int32_t bs, int32_t shared = 1) {
    return send(kCreate, bs, shared);
  }
  Reply open(int32_t shared = 1, int32_t ro = 0) {
    return send(kOpen, shared, ro);
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
  Reply count() { return send(kCount); }  // result: pairs walked, or -1

  // Starts a call without waiting; finish() collects the answer.
  void post(Call call, int32_t a = 0, int32_t b = 0, int32_t c = 0,
            const std::string &key = "") {
    Request q{call, a, b, c,
              static_cast<int32_t>(std::min(key.size(), size_t{64}))};
    std::memcpy(q.key, key.data(), static_cast<size_t>(q.key_len));
    alive_ = alive_ && move_all(write, out_, reinterpret_cast<const char *>(&q),
                                sizeof q);
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

  template <typename Io, typename Byte>
  static bool move_all(Io io, int fd, Byte *p, size_t n) {
    for (ssize_t r = 0; n > 0; p += r, n -= static_cast<size_t>(r)) {
      if ((r = io(fd, p, n)) <= 0) return false;
    }
    return true;
  }
  static int32_t with_key(CbTree *t, int32_t result, Reply &r) {
    int32_t len = 0;
    if (cbkeylen(t, &len) == 1 && len >= 0 && len < 240) cbkey(t, r.text, len);
    return result;
  }
  static int32_t run(CbTree *&t, const std::string &path, const Request &q,
                     Reply &r) {
    switch (q.call) {
      case kCreate:
        return (t = cbscreate(path.c_str(), nullptr, q.a, q.b)) != nullptr;
      case kOpen:
        return (t = cbopen_shared(path.c_str(), nullptr, q.a, q.b)) != nullptr;
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
      case kMark:
        return cbmark(t);
      case kFindMark:
        return with_key(t, cbfindmark(t, &r.item), r);
      case kFlush:
        return cbflush(t);
      case kLock:
        return cblock(t, q.a);
      case kUnlock:
        return cbunlock(t, q.a);
      case kSetFlush:
        return cb_set_flush(q.a, q.b), 1;
      case kLockTimeout:
        return cblock_timeout(q.a, q.b, q.c), 1;
      case kCheck: {
        const std::string fault = cbt::check_tree(t);
        std::strncat(r.text, fault.c_str(), sizeof r.text - 1);
        return fault.empty();
      }
      case kQuit:
        return cbexit();
    }
    return -1;
  }
  static int serve(int in, int out, const std::string &path) {
    // An inherited pool would belong to the test process's files.
    if (bufpool_current() != nullptr || cbinit(32, 512) != 1) return 90;
    CbTree *tree = nullptr;
    for (Request q;
         move_all(read, in, reinterpret_cast<char *>(&q), sizeof q);) {
      Reply r;
      cbclear_error();
      r.result = run(tree, path, q, r);
      r.err = cberrcode, r.con = cbconcode;
      if (!move_all(write, out, reinterpret_cast<const char *>(&r), sizeof r) ||
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
