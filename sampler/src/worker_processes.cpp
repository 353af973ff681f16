#include "worker_processes.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <thread>

#include "errors.h"

extern char **environ;

namespace sk_nmf {
namespace {

constexpr uint32_t kSetupMagic = 0x314e4b53;  // "SKN1"
constexpr int kWorkerFd = 3;

struct Setup {
  uint32_t magic;
  int32_t worker;
  FitSettings settings;
  uint64_t bytes[kRegions];
  int32_t present[kRegions];
};

struct Command {
  int32_t phase;
  int32_t quit;
  int64_t sweep;
};

struct Reply {
  int32_t ok;
  char message[500];
};

// One message on a SOCK_SEQPACKET socket, with file descriptors if any.
bool send_message(int socket, const void *data, size_t bytes, const int *fds = nullptr, int count = 0) {
  iovec io{const_cast<void *>(data), bytes};
  msghdr m{};
  m.msg_iov = &io;
  m.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kRegions)];
  if (count > 0) {
    m.msg_control = control;
    m.msg_controllen = CMSG_SPACE(sizeof(int) * static_cast<size_t>(count));
    cmsghdr *c = CMSG_FIRSTHDR(&m);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int) * static_cast<size_t>(count));
    std::memcpy(CMSG_DATA(c), fds, sizeof(int) * static_cast<size_t>(count));
  }
  for (;;) {
    const ssize_t sent = ::sendmsg(socket, &m, MSG_NOSIGNAL);
    if (sent == static_cast<ssize_t>(bytes)) return true;
    if (sent < 0 && errno == EINTR) continue;
    return false;
  }
}

// The next message: its size (0 when the peer has gone), with up to kRegions
// descriptors into fds.
ssize_t receive_message(int socket, void *data, size_t bytes, int *fds = nullptr, int *count = nullptr) {
  iovec io{data, bytes};
  msghdr m{};
  m.msg_iov = &io;
  m.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kRegions)];
  if (fds) {
    m.msg_control = control;
    m.msg_controllen = sizeof control;
  }
  ssize_t got;
  do got = ::recvmsg(socket, &m, MSG_CMSG_CLOEXEC);
  while (got < 0 && errno == EINTR);
  if (fds && count) {
    *count = 0;
    for (cmsghdr *c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
      if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
      const int n = static_cast<int>((c->cmsg_len - CMSG_LEN(0)) / sizeof(int));
      std::memcpy(fds, CMSG_DATA(c), sizeof(int) * static_cast<size_t>(std::min(n, kRegions)));
      *count = std::min(n, kRegions);
    }
  }
  return got < 0 ? 0 : got;
}

std::string directory_of(const std::string &path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string real_path(const std::string &path) {
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

}  // namespace

int available_cores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
  return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

std::string worker_program() {
  if (const char *given = std::getenv("SK_NMF_WORKER"); given && *given) {
    if (::access(given, X_OK) != 0)
      throw RunError(std::string("SK_NMF_WORKER names ") + given + ", which is not a program that can be run");
    return given;
  }
  // The library (for a host that loaded it) or the program this code is in.
  Dl_info info{};
  std::string image;
  if (::dladdr(reinterpret_cast<void *>(&worker_program), &info) && info.dli_fname &&
      std::strstr(info.dli_fname, ".so"))
    image = info.dli_fname;
  else
    image = "/proc/self/exe";
  const std::string dir = directory_of(real_path(image));
#ifdef SK_NMF_LIBDIR
  const char *libdir = SK_NMF_LIBDIR;
#else
  const char *libdir = "lib";
#endif
  const std::string candidates[] = {dir + "/sk_nmf_worker", dir + "/../" + libdir + "/sk_nmf_worker",
                                    dir + "/../sk_nmf_worker"};
  for (const std::string &c : candidates)
    if (::access(c.c_str(), X_OK) == 0) return c;
  throw RunError("cannot find the worker program sk_nmf_worker beside " + dir +
              " (set SK_NMF_WORKER to its path, or fit on one core)");
}

WorkerProcesses::WorkerProcesses(int32_t count, const FitSettings &settings,
                                 const SharedRegion (&regions)[kRegions]) {
  if (count < 1) return;
  const std::string program = worker_program();
  Setup setup{};
  setup.magic = kSetupMagic;
  setup.settings = settings;
  int fds[kRegions];
  int present = 0;
  for (int r = 0; r < kRegions; ++r) {
    setup.bytes[r] = regions[r].bytes;
    setup.present[r] = regions[r].fd >= 0;
    if (regions[r].fd >= 0) fds[present++] = regions[r].fd;
  }
  // Want of processes, memory or descriptors: the fit goes on with fewer.
  const auto short_of = [](int error) {
    return error == EAGAIN || error == ENOMEM || error == EMFILE || error == ENFILE || error == ENOBUFS;
  };
  const auto note_shortfall = [&](int32_t n, const char *what, int error) {
    shortfall_ = "started " + std::to_string(n - 1) + " of " + std::to_string(count) + " worker processes (" + what +
                 ": " + std::strerror(error) + ")";
  };
  try {
    for (int32_t n = 1; n <= count; ++n) {
      int pair[2];
      if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        if (short_of(errno)) {
          note_shortfall(n, "a socket", errno);
          break;
        }
        throw RunError(std::string("cannot make a socket for a worker process: ") + std::strerror(errno));
      }
      int child = pair[1];
      if (child == kWorkerFd) {  // dup2 onto itself would leave close-on-exec set
        child = ::fcntl(pair[1], F_DUPFD_CLOEXEC, kWorkerFd + 1);
        ::close(pair[1]);
      }
      workers_.push_back(Worker{-1, pair[0], false});
      posix_spawn_file_actions_t actions;
      posix_spawnattr_t attributes;
      ::posix_spawn_file_actions_init(&actions);
      ::posix_spawn_file_actions_adddup2(&actions, child, kWorkerFd);
      ::posix_spawnattr_init(&attributes);
      sigset_t none, defaults;
      sigemptyset(&none);
      sigemptyset(&defaults);
      sigaddset(&defaults, SIGPIPE);
      sigaddset(&defaults, SIGTERM);
      ::posix_spawnattr_setsigmask(&attributes, &none);
      ::posix_spawnattr_setsigdefault(&attributes, &defaults);
      // A group of its own: a terminal's Ctrl-C goes to the fit, which then
      // stops its workers itself.
      ::posix_spawnattr_setpgroup(&attributes, 0);
      ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
      std::string argument = "--serve-fit";
      char *argv[] = {const_cast<char *>(program.c_str()), argument.data(), nullptr};
      pid_t pid = -1;
      const int status = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv, environ);
      ::posix_spawn_file_actions_destroy(&actions);
      ::posix_spawnattr_destroy(&attributes);
      ::close(child);
      if (status != 0 && short_of(status)) {
        ::close(workers_.back().socket);
        workers_.pop_back();
        note_shortfall(n, "a process", status);
        break;
      }
      if (status != 0) throw RunError("cannot start the worker program " + program + ": " + std::strerror(status));
      workers_.back().pid = pid;
      setup.worker = n;
      if (!send_message(workers_.back().socket, &setup, sizeof setup, fds, present)) died(workers_.size() - 1);
    }
  } catch (...) {
    stop_all();
    throw;
  }
}

WorkerProcesses::~WorkerProcesses() { stop_all(); }

void WorkerProcesses::start(Phase phase, int64_t sweep) {
  const Command c{static_cast<int32_t>(phase), 0, sweep};
  for (size_t n = 0; n < workers_.size(); ++n) {
    if (!send_message(workers_[n].socket, &c, sizeof c)) died(n);
    workers_[n].busy = true;
  }
}

void WorkerProcesses::finish() {
  std::vector<pollfd> waiting;
  std::vector<size_t> which;
  std::string failure;
  for (;;) {
    waiting.clear();
    which.clear();
    for (size_t n = 0; n < workers_.size(); ++n) {
      if (!workers_[n].busy) continue;
      waiting.push_back(pollfd{workers_[n].socket, POLLIN, 0});
      which.push_back(n);
    }
    if (waiting.empty()) break;
    const int ready = ::poll(waiting.data(), waiting.size(), 1000);
    if (ready < 0 && errno != EINTR) throw RunError(std::string("cannot wait for the worker processes: ") + std::strerror(errno));
    for (size_t p = 0; ready > 0 && p < waiting.size(); ++p) {
      if (waiting[p].revents == 0) continue;
      Worker &w = workers_[which[p]];
      Reply r{};
      if (!(waiting[p].revents & POLLIN) || receive_message(w.socket, &r, sizeof r) <= 0) died(which[p]);
      w.busy = false;
      r.message[sizeof r.message - 1] = '\0';
      if (!r.ok && failure.empty()) failure = r.message;
    }
  }
  if (!failure.empty()) throw Error(failure);
}

void WorkerProcesses::died(size_t n) {
  Worker &w = workers_[n];
  std::string how = "stopped answering";
  int status = 0;
  for (int tries = 0; tries < 200; ++tries) {  // the socket closes just before the exit
    const pid_t got = ::waitpid(w.pid, &status, WNOHANG);
    if (got == w.pid) {
      if (WIFSIGNALED(status)) {
        how = "was killed by signal " + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")";
        if (WTERMSIG(status) == SIGKILL) how += ", perhaps for want of memory";
      } else if (WIFEXITED(status)) {
        how = "exited with status " + std::to_string(WEXITSTATUS(status));
      }
      w.pid = -1;
      break;
    }
    if (got < 0) break;  // reaped by someone else
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  throw RunError("worker process " + std::to_string(n + 1) + " of " + std::to_string(workers_.size()) + " " + how);
}

void WorkerProcesses::stop_all() noexcept {
  const Command quit{0, 1, 0};
  for (Worker &w : workers_) {
    if (w.socket < 0) continue;
    send_message(w.socket, &quit, sizeof quit);
    ::close(w.socket);
    w.socket = -1;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  for (Worker &w : workers_) {
    while (w.pid > 0) {
      int status;
      const pid_t got = ::waitpid(w.pid, &status, WNOHANG);
      if (got == w.pid || got < 0) {
        w.pid = -1;
      } else if (std::chrono::steady_clock::now() > deadline) {
        ::kill(w.pid, SIGKILL);
        ::waitpid(w.pid, &status, 0);
        w.pid = -1;
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
  }
  workers_.clear();
}

int serve_worker(int fd) {
  Setup setup{};
  int fds[kRegions];
  int count = 0;
  if (receive_message(fd, &setup, sizeof setup, fds, &count) != static_cast<ssize_t>(sizeof setup) ||
      setup.magic != kSetupMagic) {
    std::fprintf(stderr, "sk_nmf_worker: started by something other than a fit\n");
    return 2;
  }
  void *base[kRegions] = {};
  for (int r = 0, next = 0; r < kRegions; ++r) {
    if (!setup.present[r]) continue;
    if (next >= count) return 2;
    base[r] = ::mmap(nullptr, setup.bytes[r], r == 0 ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fds[next], 0);
    ::close(fds[next++]);
    if (base[r] == MAP_FAILED) {
      std::fprintf(stderr, "sk_nmf_worker: cannot map the fit's memory: %s\n", std::strerror(errno));
      return 2;
    }
  }
  const FitArena arena(base[0], setup.settings);
  const Counts x{static_cast<const int64_t *>(base[1]), static_cast<const int32_t *>(base[2]),
                 static_cast<const double *>(base[3])};
  SweepWorker worker(setup.settings, arena, x, setup.worker);
  for (;;) {
    Command c{};
    if (receive_message(fd, &c, sizeof c) != static_cast<ssize_t>(sizeof c) || c.quit) return 0;
    Reply r{};
    r.ok = 1;
    try {
      worker.run(static_cast<Phase>(c.phase), c.sweep);
    } catch (const std::exception &e) {
      r.ok = 0;
      std::snprintf(r.message, sizeof r.message, "%s", e.what());
    }
    if (!send_message(fd, &r, sizeof r)) return 0;
  }
}

}  // namespace sk_nmf
