#include "shared_memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <mutex>

namespace sk_nmf {
namespace {

std::mutex regions_lock;
std::map<const void *, SharedRegion> &regions() {
  static std::map<const void *, SharedRegion> all;
  return all;
}

}  // namespace

void *shared_allocate(size_t bytes) {
  const size_t page = 4096;
  const size_t size = bytes == 0 ? page : (bytes + page - 1) / page * page;
  if (size < bytes) throw std::bad_alloc();
  const int fd = ::memfd_create("sk_nmf", MFD_CLOEXEC);
  if (fd < 0) throw std::bad_alloc();
  if (::ftruncate(fd, static_cast<off_t>(size)) != 0) {
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
