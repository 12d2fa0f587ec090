// The 32-bit Mersenne Twister, value for value the standard one (std::mt19937, seeded the same
// way), which every rule's random draws come from. Its own rather than the standard library's
// because a block of 624 values is twisted and tempered at once, in loops the compiler vectorises
// for any x86-64: a value then costs a load, where the library's engine, built without wider
// instructions than the wheel may assume, spends about 5 ns on each.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvix {

class MersenneTwister {
 public:
  static constexpr std::size_t kStateSize = 624;

  explicit MersenneTwister(uint32_t seed = 5489u) { this->seed(seed); }

  // std::mt19937::seed(value): the state from one value, the first draw twisting it.
  void seed(uint32_t value);

  uint32_t operator()() {
    if (next_ == kStateSize) refill();
    return tempered_[next_++];
  }

  // `count` values into `out`, as `count` calls would give them, the engine left where they leave it.
  void fill(uint32_t* out, std::size_t count);

  // Skips `count` values.
  void discard(unsigned long long count);

 private:
  // The next block: the state twisted once, and each of its words tempered.
  void refill();

  uint32_t state_[kStateSize];
  uint32_t tempered_[kStateSize] = {};  // zero until the first draw fills it
  std::size_t next_ = kStateSize;
};

}  // namespace quorvix
