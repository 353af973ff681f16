// Memory whose neighbourhood faults when touched: proves that a routine reads
// nothing beyond what it is allowed to.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

// `n` elements of T placed so that element `n` starts an inaccessible page.
template <class T>
class Guarded {
 public:
  explicit Guarded(std::size_t n) : n_(n) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t data = (n * sizeof(T) + page - 1) / page * page;
    size_ = data + page;
    void *p = mmap(nullptr, size_, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::runtime_error("mmap failed");
    base_ = static_cast<char *>(p);
    if (mprotect(base_ + data, page, PROT_NONE) != 0)
      throw std::runtime_error("mprotect failed");
    data_ = reinterpret_cast<T *>(base_ + data) - n;
  }
  // A guarded copy of v.
  explicit Guarded(const std::vector<T> &v) : Guarded(v.size()) {
    for (std::size_t i = 0; i < v.size(); ++i) data_[i] = v[i];
  }
  ~Guarded() { munmap(base_, size_); }
  Guarded(const Guarded &) = delete;
  Guarded &operator=(const Guarded &) = delete;

  T *data() { return data_; }
  T &operator[](std::size_t i) { return data_[i]; }
  // The address of the first element that may not be touched.
  T *end() { return data_ + n_; }

 private:
  std::size_t n_;
  std::size_t size_ = 0;
  char *base_ = nullptr;
  T *data_ = nullptr;
};

using GuardedDoubles = Guarded<double>;

// A large zero-filled mapping that costs memory only where it is touched.
class SparseDoubles {
 public:
  explicit SparseDoubles(std::size_t n) : size_(n * sizeof(double)) {
    void *p = mmap(nullptr, size_, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) throw std::runtime_error("mmap failed");
    data_ = static_cast<double *>(p);
  }
  ~SparseDoubles() { munmap(data_, size_); }
  SparseDoubles(const SparseDoubles &) = delete;
  SparseDoubles &operator=(const SparseDoubles &) = delete;
  double *data() { return data_; }
  double &operator[](std::size_t i) { return data_[i]; }

 private:
  std::size_t size_;
  double *data_;
};
