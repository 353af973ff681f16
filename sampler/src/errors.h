// Errors the sampler reports to its front ends, and allocation that names
// its size and purpose when memory runs out.
#pragma once

#include <cstddef>
#include <cstdio>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "shared_memory.h"

namespace sk_nmf {

// Bad input or a resource the user can act on; `where` is "file:line" or "".
struct Error : std::runtime_error {
  std::string where;
  explicit Error(const std::string &what, std::string at = "")
      : std::runtime_error(what), where(std::move(at)) {}
};

// A fit that could not go on for a reason outside its input: a worker
// process died, a checkpoint could not be written.
struct RunError : Error {
  using Error::Error;
};

inline std::string byte_size(double bytes) {
  char text[64];
  if (bytes >= 1024.0 * 1024 * 1024) std::snprintf(text, sizeof text, "%.1f GiB", bytes / (1024.0 * 1024 * 1024));
  else if (bytes >= 1024.0 * 1024) std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1024.0 * 1024));
  else std::snprintf(text, sizeof text, "%.0f bytes", bytes);
  return text;
}

[[noreturn]] inline void out_of_memory(double bytes, const std::string &what) {
  throw Error("out of memory allocating " + byte_size(bytes) + " for " + what);
}

// A zeroed vector of n elements, or an Error naming its size and purpose.
template <class V>
V allocate_filled(double n, const std::string &what, typename V::value_type fill = {}) {
  const double bytes = n * static_cast<double>(sizeof(typename V::value_type));
  if (n < 0 || n > static_cast<double>(V().max_size())) out_of_memory(bytes, what);
  try {
    return V(static_cast<size_t>(n), fill);
  } catch (const std::bad_alloc &) {
    out_of_memory(bytes, what);
  } catch (const std::length_error &) {
    out_of_memory(bytes, what);
  }
}

template <class T>
std::vector<T> allocate_vector(double n, const std::string &what, T fill = T()) {
  return allocate_filled<std::vector<T>>(n, what, fill);
}

// The same in pages that worker processes can map.
template <class T>
Array<T> allocate_array(double n, const std::string &what, T fill = T()) {
  return allocate_filled<Array<T>>(n, what, fill);
}

}  // namespace sk_nmf
