#include "shared_memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>

namespace sk_nmf {
namespace {

std::mutex regions_lock;
std::map<const void *, SharedRegion> &regions() {
  static std::map<const void *, SharedRegion> all;
  return all;
}

// What the machine can still give: MemAvailable, else all of its memory.
size_t available_memory() {
  if (std::FILE *f = std::fopen("/proc/meminfo", "r")) {
    char line[256];
    unsigned long long kib = 0;
    while (std::fgets(line, sizeof line, f))
      if (std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1) break;
    std::fclose(f);
    if (kib > 0) return static_cast<size_t>(kib) * 1024;
  }
  return static_cast<size_t>(::sysconf(_SC_PHYS_PAGES)) * static_cast<size_t>(::sysconf(_SC_PAGESIZE));
}

}  // namespace

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
