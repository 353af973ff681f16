// The rand() of the fuzz executables: a stream described by the input, which
// can be rewound so that the library and the reference see the same values.
#pragma once

#include <cstdint>
#include <vector>

#include "fuzz_input.h"

namespace fuzz {

class RandScript {
 public:
  enum Tail : uint8_t { kGenerated, kCycle, kAllMax, kAllZero, kTails };

  void read(Input &in) {
    static const int edges[] = {0,          1,          2147483647, 2147483646,
                                1073741823, 1073741824, 1,          2};
    values_.clear();
    const int n = in.byte() % 48;
    for (int i = 0; i < n; ++i) {
      const uint8_t b = in.byte();
      values_.push_back(b < 128 ? edges[b % 8] : int(in.u32() & 0x7fffffffu));
    }
    tail_ = static_cast<Tail>(in.byte() % kTails);
    seed_ = in.u64();
    rewind();
  }

  void rewind() {
    next_ = 0;
    state_ = seed_;
    calls_ = 0;
  }

  int next() {
    ++calls_;
    if (next_ < values_.size()) return values_[next_++];
    switch (tail_) {
      case kCycle:
        if (!values_.empty()) return values_[next_++ % values_.size()];
        return 0;
      case kAllMax:
        return 2147483647;
      case kAllZero:
        return 0;
      default:
        return static_cast<int>(splitmix(state_) >> 33);
    }
  }

  int64_t calls() const { return calls_; }

 private:
  std::vector<int> values_;
  Tail tail_ = kGenerated;
  uint64_t seed_ = 0, state_ = 0;
  std::size_t next_ = 0;
  int64_t calls_ = 0;
};

}  // namespace fuzz
