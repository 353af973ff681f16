#include "shared_memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

namespace sk_nmf {
namespace {

std::mutex regions_lock;
std::map<const void *, SharedRegion> &regions() {
  static std::map<const void *, SharedRegion> all;
  return all;
}

// The first number after `key` on a line of a /proc or /sys file, or -1.
double number_in(const char *path, const char *key) {
  std::FILE *f = std::fopen(path, "r");
  if (!f) return -1;
  char line[256];
  double value = -1;
  const size_t n = std::strlen(key);
  while (value < 0 && std::fgets(line, sizeof line, f)) {
    unsigned long long v = 0;
    if (std::strncmp(line, key, n) == 0 && std::sscanf(line + n, " %llu", &v) == 1) value = static_cast<double>(v);
  }
  std::fclose(f);
  return value;
}

}  // namespace

size_t available_memory() {
  double available = number_in("/proc/meminfo", "MemAvailable:") * 1024;
  if (available <= 0) available = static_cast<double>(::sysconf(_SC_PHYS_PAGES)) * static_cast<double>(::sysconf(_SC_PAGESIZE));
  // A cgroup's limit (cgroup v2), less what the group already uses.
  const double limit = number_in("/sys/fs/cgroup/memory.max", ""), used = number_in("/sys/fs/cgroup/memory.current", "");
  if (limit > 0 && used >= 0) available = std::min(available, std::max(limit - used, 0.0));
  // An address-space limit (ulimit -v), less what this process has mapped.
  rlimit as{};
  if (::getrlimit(RLIMIT_AS, &as) == 0 && as.rlim_cur != RLIM_INFINITY) {
    const double mapped = number_in("/proc/self/status", "VmSize:") * 1024;
    available = std::min(available, std::max(static_cast<double>(as.rlim_cur) - std::max(mapped, 0.0), 0.0));
  }
  return static_cast<size_t>(available);
}

void *shared_allocate(size_t bytes, bool commit) {
  const size_t page = 4096;
  const size_t size = bytes == 0 ? page : (bytes + page - 1) / page * page;
  if (size < bytes) throw std::bad_alloc();
  // Taking more than the machine has would wake the kernel's OOM killer.
  if (commit && size > available_memory()) throw std::bad_alloc();
  const int fd = ::memfd_create("sk_nmf", MFD_CLOEXEC);
  if (fd < 0) throw std::bad_alloc();
  const bool sized = commit ? ::posix_fallocate(fd, 0, static_cast<off_t>(size)) == 0
                            : ::ftruncate(fd, static_cast<off_t>(size)) == 0;
  if (!sized) {
    ::close(fd);
    throw std::bad_alloc();
  }
  void *p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) {
    ::close(fd);
    throw std::bad_alloc();
  }
  try {
    std::lock_guard<std::mutex> hold(regions_lock);
    regions()[p] = SharedRegion{fd, size};
  } catch (...) {
    ::munmap(p, size);
    ::close(fd);
    throw std::bad_alloc();
  }
  return p;
}

void shared_free(void *p) noexcept {
  if (!p) return;
  SharedRegion r;
  {
    std::lock_guard<std::mutex> hold(regions_lock);
    const auto it = regions().find(p);
    if (it == regions().end()) return;
    r = it->second;
    regions().erase(it);
  }
  ::munmap(p, r.bytes);
  ::close(r.fd);
}

SharedRegion shared_region(const void *p) {
  std::lock_guard<std::mutex> hold(regions_lock);
  const auto it = regions().find(p);
  return it == regions().end() ? SharedRegion{} : it->second;
}

}  // namespace sk_nmf
