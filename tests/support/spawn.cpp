// The two systems' ways of starting children and programs, of passing
// bytes through pipes, and of the other facts listed in spawn.h.
#include "tests/support/spawn.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#endif

namespace recbase::test {
namespace {

std::map<std::string, ChildMain> &roles() {
  static std::map<std::string, ChildMain> r;
  return r;
}

// The child's ends of the channel (descriptors of the C runtime).
int g_from_parent = -1, g_to_parent = -1;

using Clock = std::chrono::steady_clock;

}  // namespace

ChildRole::ChildRole(const char *name, ChildMain main) { roles()[name] = main; }

int run_child(const std::string &role, const std::vector<std::string> &args) {
  Child child(role, args);
  return child.wait();
}

#ifdef _WIN32
// ---------------------------------------------------------------------------
// Windows

namespace {

HANDLE as_handle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

// One argument of a command line, quoted as the C runtime parses it:
// backslashes are literal except before a quote, where they are doubled.
// The first (the program) has no space before it, or the runtime would
// take an empty argument first.
void append_quoted(std::string &line, const std::string &arg) {
  if (!line.empty()) line += ' ';
  line += '"';
  size_t slashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++slashes;
      continue;
    }
    line.append(c == '"' ? 2 * slashes + 1 : slashes, '\\');
    slashes = 0;
    line += c;
  }
  line.append(2 * slashes, '\\');
  line += '"';
}

std::string self_path() {
  char buf[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
  return std::string(buf, n);
}

HANDLE inheritable(HANDLE h) {
  HANDLE copy = nullptr;
  DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, TRUE,
                  DUPLICATE_SAME_ACCESS);
  return copy;
}

// Starts program with the three standard handles; the process handle or 0.
intptr_t start(const std::string &program, const std::vector<std::string> &args,
               HANDLE in, HANDLE out, HANDLE err) {
  std::string line;
  append_quoted(line, program);
  for (const std::string &a : args) append_quoted(line, a);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = in;
  si.hStdOutput = out;
  si.hStdError = err;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0,
                      nullptr, nullptr, &si, &pi)) {
    return 0;
  }
  CloseHandle(pi.hThread);
  return reinterpret_cast<intptr_t>(pi.hProcess);
}

bool transfer_all(bool out, int fd, char *p, size_t n) {
  while (n > 0) {
    const int r = out ? _write(fd, p, static_cast<unsigned>(n))
                      : _read(fd, p, static_cast<unsigned>(n));
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

// Bytes waiting in a pipe, or -1 when its other end is gone.
long pipe_waiting(HANDLE h) {
  DWORD avail = 0;
  if (!PeekNamedPipe(h, nullptr, 0, nullptr, &avail, nullptr)) return -1;
  return static_cast<long>(avail);
}

// A crash ends the process with a message instead of starting a debugger,
// which would wait for a person.
LONG WINAPI report_crash(EXCEPTION_POINTERS *e) {
  std::fprintf(stderr, "crash: exception 0x%08lx at %p\n",
               e->ExceptionRecord->ExceptionCode,
               e->ExceptionRecord->ExceptionAddress);
  std::fflush(stderr);
  ExitProcess(3);
}

// GoogleTest copies every failure and skip message to the debugger with
// OutputDebugStringA, which raises and unwinds an exception. 32-bit Wine
// under QEMU user emulation (machines whose kernel cannot run 32-bit code)
// crashes in that unwind: QEMU delivers the fault without a trap number,
// and Wine gives up on it ("Got unexpected trap -1"). With
// RECBASE_TEST_NO_DEBUG_STRINGS set, the call returns at once instead:
// the messages still go to standard output.
void silence_debug_strings() {
  if (std::getenv("RECBASE_TEST_NO_DEBUG_STRINGS") == nullptr) return;
  auto *code = reinterpret_cast<unsigned char *>(GetProcAddress(
      GetModuleHandleA("kernel32.dll"), "OutputDebugStringA"));
  if (code == nullptr) return;
  // ret 4 (stdcall, one argument) on 32 bits; ret on 64 bits.
  const unsigned char ret[] = {sizeof(void *) == 4 ? 0xC2 : 0xC3, 4, 0};
  DWORD old = 0;
  if (VirtualProtect(code, sizeof ret, PAGE_EXECUTE_READWRITE, &old)) {
    std::memcpy(code, ret, sizeof ret);
    VirtualProtect(code, sizeof ret, old, &old);
    FlushInstructionCache(GetCurrentProcess(), code, sizeof ret);
  }
}

void enter_process() {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  SetUnhandledExceptionFilter(report_crash);
  silence_debug_strings();
}

void enter_child() {
  _setmode(0, _O_BINARY);
  _setmode(1, _O_BINARY);
  g_from_parent = _dup(0);
  g_to_parent = _dup(1);
  _dup2(2, 1);
}

}  // namespace

Child::Child(const std::string &role, const std::vector<std::string> &args) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE down_read, down_write, up_read, up_write;
  if (!CreatePipe(&down_read, &down_write, &sa, 0)) return;
  if (!CreatePipe(&up_read, &up_write, &sa, 0)) {
    CloseHandle(down_read);
    CloseHandle(down_write);
    return;
  }
  SetHandleInformation(down_write, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(up_read, HANDLE_FLAG_INHERIT, 0);
  std::vector<std::string> all = {"--child", role};
  all.insert(all.end(), args.begin(), args.end());
  HANDLE err = inheritable(GetStdHandle(STD_ERROR_HANDLE));
  process_ = start(self_path(), all, down_read, up_write, err);
  CloseHandle(err);
  CloseHandle(down_read);
  CloseHandle(up_write);
  to_ = reinterpret_cast<intptr_t>(down_write);
  from_ = reinterpret_cast<intptr_t>(up_read);
}

Child::~Child() {
  close_input();
  if (process_ != 0) wait(2000);
  if (from_ != -1) CloseHandle(as_handle(from_));
}

bool Child::send(const void *data, size_t n) {
  const char *p = static_cast<const char *>(data);
  while (n > 0 && to_ != -1) {
    DWORD done = 0;
    if (!WriteFile(as_handle(to_), p, static_cast<DWORD>(n), &done, nullptr)) {
      return false;
    }
    p += done;
    n -= done;
  }
  return n == 0;
}

bool Child::receive(void *data, size_t n) {
  char *p = static_cast<char *>(data);
  while (n > 0) {
    DWORD done = 0;
    if (!ReadFile(as_handle(from_), p, static_cast<DWORD>(n), &done,
                  nullptr) ||
        done == 0) {
      return false;
    }
    p += done;
    n -= done;
  }
  return true;
}

bool Child::readable_within(int ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    if (pipe_waiting(as_handle(from_)) != 0) return true;
    if (Clock::now() >= deadline) return false;
    Sleep(1);
  }
}

void Child::close_input() {
  if (to_ != -1) CloseHandle(as_handle(to_));
  to_ = -1;
}

int Child::wait(int timeout_ms) {
  if (process_ == 0) return -1;
  HANDLE p = as_handle(process_);
  int code = -2;
  if (WaitForSingleObject(p, static_cast<DWORD>(timeout_ms)) == WAIT_OBJECT_0) {
    DWORD status = 0;
    GetExitCodeProcess(p, &status);
    code = status <= 255 ? static_cast<int>(status) : -1;
  } else {
    TerminateProcess(p, 255);
    WaitForSingleObject(p, INFINITE);
  }
  CloseHandle(p);
  process_ = 0;
  return code;
}

void Child::kill() {
  if (process_ == 0) return;
  TerminateProcess(as_handle(process_), 255);
  wait(5000);
}

bool parent_receive(void *data, size_t n) {
  return transfer_all(false, g_from_parent, static_cast<char *>(data), n);
}
bool parent_send(const void *data, size_t n) {
  return transfer_all(true, g_to_parent,
                      static_cast<char *>(const_cast<void *>(data)), n);
}
bool parent_input_waiting() {
  return pipe_waiting(reinterpret_cast<HANDLE>(_get_osfhandle(g_from_parent))) !=
         0;
}

int run_program(const std::string &program,
                const std::vector<std::string> &args,
                const std::string &out_path, const std::string &err_path) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  auto create = [&](const std::string &path) {
    return CreateFileA(path.c_str(), GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  HANDLE out = create(out_path), err = create(err_path);
  HANDLE in = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ, &sa,
                          OPEN_EXISTING, 0, nullptr);
  const intptr_t process = start(program, args, in, out, err);
  CloseHandle(in);
  CloseHandle(out);
  CloseHandle(err);
  if (process == 0) return -1;
  HANDLE p = as_handle(process);
  WaitForSingleObject(p, INFINITE);
  DWORD status = 0;
  GetExitCodeProcess(p, &status);
  CloseHandle(p);
  return status <= 255 ? static_cast<int>(status) : -1;
}

const NativeErrors kNativeErrors = {
    ERROR_FILE_EXISTS,   ERROR_INVALID_PARAMETER, ERROR_FILE_TOO_LARGE,
    ERROR_INVALID_HANDLE, ERROR_SHARING_VIOLATION, ERROR_SHARING_VIOLATION,
};
const bool kReadOnlyLocksShared = false;

int probe_lock(const std::string &path, int32_t offset, int32_t length) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return -1;
  const bool free = LockFile(h, static_cast<DWORD>(offset), 0,
                             static_cast<DWORD>(length), 0);
  if (free) UnlockFile(h, static_cast<DWORD>(offset), 0,
                       static_cast<DWORD>(length), 0);
  CloseHandle(h);
  return free ? 0 : 1;
}

std::string file_of_handle(int32_t handle) {
  char buf[1024];
  const DWORD n = GetFinalPathNameByHandleA(
      reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle)), buf, sizeof buf,
      0);
  if (n == 0 || n >= sizeof buf) return std::string();
  // The name comes as \\?\C:\...; the rest is the ordinary full path.
  const bool prefixed = std::strncmp(buf, "\\\\?\\", 4) == 0;
  return std::string(buf + (prefixed ? 4 : 0), n - (prefixed ? 4 : 0));
}

namespace {

// The handle of this process that has path open, found among the small
// handle values that files get; null when none has.
HANDLE held_handle(const std::string &path) {
  char full[1024];
  const DWORD n = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  if (n == 0 || n >= sizeof full) return nullptr;
  for (intptr_t v = 4; v < 4 * 4096; v += 4) {
    HANDLE h = reinterpret_cast<HANDLE>(v);
    if (GetFileType(h) == FILE_TYPE_DISK &&
        _stricmp(file_of_handle(static_cast<int32_t>(v)).c_str(), full) == 0) {
      return h;
    }
  }
  return nullptr;
}

}  // namespace

// The library positions its handle before every transfer, so moving the
// file pointer here disturbs nothing.
bool read_held_file(const std::string &path, std::vector<uint8_t> *bytes) {
  HANDLE h = held_handle(path);
  LARGE_INTEGER size;
  if (h == nullptr || !GetFileSizeEx(h, &size)) return false;
  bytes->assign(static_cast<size_t>(size.QuadPart), 0);
  DWORD done = 0;
  return SetFilePointer(h, 0, nullptr, FILE_BEGIN) == 0 &&
         ReadFile(h, bytes->data(), static_cast<DWORD>(bytes->size()), &done,
                  nullptr) &&
         done == bytes->size();
}

bool write_held_file(const std::string &path, size_t offset,
                     const std::vector<uint8_t> &bytes, bool truncate) {
  HANDLE h = held_handle(path);
  DWORD done = 0;
  return h != nullptr &&
         SetFilePointer(h, static_cast<LONG>(offset), nullptr, FILE_BEGIN) ==
             offset &&
         WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &done,
                   nullptr) &&
         done == bytes.size() && (!truncate || SetEndOfFile(h));
}

long open_handle_count() {
  DWORD n = 0;
  return GetProcessHandleCount(GetCurrentProcess(), &n) ? static_cast<long>(n)
                                                         : -1;
}

void set_environment(const char *name, const char *value) {
  SetEnvironmentVariableA(name, value);
  _putenv((std::string(name) + "=" + (value != nullptr ? value : "")).c_str());
}

#else
// ---------------------------------------------------------------------------
// Linux

namespace {

bool transfer_all(bool out, int fd, char *p, size_t n) {
  while (n > 0) {
    const ssize_t r = out ? ::write(fd, p, n) : ::read(fd, p, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

bool poll_in(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, ms) == 1;
}

// Forks and execs program with args, the descriptors in, out and err as
// its standard ones; the child dies with the test process. 0 on failure.
pid_t start(const std::string &program, const std::vector<std::string> &args,
            int in, int out, int err) {
  std::vector<std::string> all = {program};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (std::string &a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if ((in >= 0 && dup2(in, 0) < 0) || dup2(out, 1) < 0 || dup2(err, 2) < 0) {
      _exit(127);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid < 0 ? 0 : pid;
}

int exit_code(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

void enter_process() {}

void enter_child() {
  g_from_parent = dup(0);
  g_to_parent = dup(1);
  dup2(2, 1);
}

}  // namespace

Child::Child(const std::string &role, const std::vector<std::string> &args) {
  signal(SIGPIPE, SIG_IGN);  // a child that died must not end the test
  int down[2], up[2];
  if (pipe2(down, O_CLOEXEC) != 0) return;
  if (pipe2(up, O_CLOEXEC) != 0) {
    ::close(down[0]);
    ::close(down[1]);
    return;
  }
  std::vector<std::string> all = {"--child", role};
  all.insert(all.end(), args.begin(), args.end());
  process_ = start(std::filesystem::read_symlink("/proc/self/exe").string(),
                   all, down[0], up[1], 2);
  ::close(down[0]);
  ::close(up[1]);
  to_ = down[1];
  from_ = up[0];
}

Child::~Child() {
  close_input();
  if (process_ != 0) wait(2000);
  if (from_ != -1) ::close(static_cast<int>(from_));
}

bool Child::send(const void *data, size_t n) {
  return to_ != -1 &&
         transfer_all(true, static_cast<int>(to_),
                      static_cast<char *>(const_cast<void *>(data)), n);
}

bool Child::receive(void *data, size_t n) {
  return transfer_all(false, static_cast<int>(from_), static_cast<char *>(data),
                      n);
}

bool Child::readable_within(int ms) {
  return poll_in(static_cast<int>(from_), ms);
}

void Child::close_input() {
  if (to_ != -1) ::close(static_cast<int>(to_));
  to_ = -1;
}

int Child::wait(int timeout_ms) {
  if (process_ == 0) return -1;
  const auto pid = static_cast<pid_t>(process_);
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  int status = 0, code = -2;
  for (;; std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid || r < 0) {
      code = r == pid ? exit_code(status) : -1;
      break;
    }
    if (Clock::now() >= deadline) {
      ::kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
  }
  process_ = 0;
  return code;
}

void Child::kill() {
  if (process_ == 0) return;
  ::kill(static_cast<pid_t>(process_), SIGKILL);
  wait(5000);
}

bool parent_receive(void *data, size_t n) {
  return transfer_all(false, g_from_parent, static_cast<char *>(data), n);
}
bool parent_send(const void *data, size_t n) {
  return transfer_all(true, g_to_parent,
                      static_cast<char *>(const_cast<void *>(data)), n);
}
bool parent_input_waiting() { return poll_in(g_from_parent, 0); }

int run_program(const std::string &program,
                const std::vector<std::string> &args,
                const std::string &out_path, const std::string &err_path) {
  const int out = ::open(out_path.c_str(),
                         O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int err = ::open(err_path.c_str(),
                         O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const pid_t pid = out >= 0 && err >= 0 ? start(program, args, -1, out, err)
                                         : 0;
  if (out >= 0) ::close(out);
  if (err >= 0) ::close(err);
  int status = 0;
  return pid != 0 && waitpid(pid, &status, 0) == pid ? exit_code(status) : -1;
}

const NativeErrors kNativeErrors = {EEXIST, EINVAL,      EFBIG,
                                    EBADF,  EWOULDBLOCK, EBUSY};
const bool kReadOnlyLocksShared = true;

// An open file description of its own meets the locks of every other
// (F_OFD_GETLK); the open takes no share-mode lock.
int probe_lock(const std::string &path, int32_t offset, int32_t length) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return -1;
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = offset;
  fl.l_len = length;
  const int r = fcntl(fd, F_OFD_GETLK, &fl);
  ::close(fd);
  return r != 0 ? -1 : fl.l_type != F_UNLCK ? 1 : 0;
}

bool read_held_file(const std::string &, std::vector<uint8_t> *) {
  return false;
}
bool write_held_file(const std::string &, size_t, const std::vector<uint8_t> &,
                     bool) {
  return false;
}

std::string file_of_handle(int32_t handle) {
  std::error_code ignored;
  return std::filesystem::read_symlink(
             "/proc/self/fd/" + std::to_string(handle), ignored)
      .string();
}

long open_handle_count() {
  const std::filesystem::directory_iterator fds("/proc/self/fd");
  return static_cast<long>(std::distance(begin(fds), end(fds)));
}

void set_environment(const char *name, const char *value) {
  if (value != nullptr) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
}

#endif

int run_role(int argc, char **argv) {
  enter_process();
  // A child whose arguments came out shifted must not run the tests, which
  // would start children of their own.
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--child") == 0) return 125;
  }
  if (argc < 3 || std::strcmp(argv[1], "--child") != 0) return -1;
  const auto role = roles().find(argv[2]);
  if (role == roles().end()) return 126;
  enter_child();
  return role->second(std::vector<std::string>(argv + 3, argv + argc));
}

}  // namespace recbase::test
