// Worker processes on this machine.  Threads in one process share one
// rand() stream, so each worker is a process of its own: started afresh from
// the helper program sk_nmf_worker (never forked, since the host may have
// threads), mapping the fit's shared pages, and told over a socket which
// phase of which sweep to run.  A worker that dies ends the fit with an
// error at once; a worker whose fit's process dies exits.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "shared_memory.h"
#include "worker.h"

namespace sk_nmf {

// The regions a worker maps, in this order: the arena, then the counts'
// offsets, indices and values (a region of fd -1 is empty).
constexpr int kRegions = 4;

class WorkerProcesses {
 public:
  // Workers 1 to count (worker 0 is the fit's own process).  When the
  // system will not start more (a process limit, low memory), those that
  // did start serve the fit and shortfall() says why; the fit is the same.
  WorkerProcesses(int32_t count, const FitSettings &settings, const SharedRegion (&regions)[kRegions]);
  ~WorkerProcesses();
  WorkerProcesses(const WorkerProcesses &) = delete;
  WorkerProcesses &operator=(const WorkerProcesses &) = delete;

  void start(Phase phase, int64_t sweep);
  // Waits for every worker to finish the phase; throws Error if one failed
  // or died.  Returns at once when no phase is running.
  void finish();
  int32_t count() const { return static_cast<int32_t>(workers_.size()); }
  const std::string &shortfall() const { return shortfall_; }

 private:
  struct Worker {
    pid_t pid = -1;
    int socket = -1;
    bool busy = false;
  };
  [[noreturn]] void died(size_t n);
  void stop_all() noexcept;
  std::vector<Worker> workers_;
  std::string shortfall_;
};

// The helper program's side: serves the fit on the socket at `fd` until it
// is told to quit or the socket closes; returns the exit status.
int serve_worker(int fd);

// The path of sk_nmf_worker: $SK_NMF_WORKER, or beside the library or
// program that holds this code (or in ../lib or .. from it).
std::string worker_program();

// How many cores this process may run on (its CPU affinity).
int available_cores();

}  // namespace sk_nmf
