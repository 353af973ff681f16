// sk_nmf_worker: one worker process of a fit, started by the fit itself
// (see worker_processes.h), never by hand.  It serves the socket the fit
// gave it as descriptor 3.
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "worker_processes.h"

int main(int argc, char **argv) {
  if (argc != 2 || std::strcmp(argv[1], "--serve-fit") != 0) {
    std::fprintf(stderr, "sk_nmf_worker: a worker process of poisson_nmf and PoissonNMF, started by their fits\n");
    return 2;
  }
  // Gone with the fit's process, whatever ends it; Ctrl-C is the fit's to handle.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  ::signal(SIGINT, SIG_IGN);
  ::signal(SIGPIPE, SIG_IGN);
  return sk_nmf::serve_worker(3);
}
