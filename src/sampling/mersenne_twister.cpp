#include "sampling/mersenne_twister.hpp"

#include <algorithm>
#include <cstring>

namespace quorvix {

namespace {

constexpr std::size_t kShift = 397;  // the twist's middle word
constexpr uint32_t kTwist = 0x9908b0dfu;

// One word of the twist from the word it replaces, the next word and the word kShift on.
inline uint32_t twisted(uint32_t word, uint32_t next, uint32_t far) {
  const uint32_t joined = (word & 0x80000000u) | (next & 0x7fffffffu);
  return far ^ (joined >> 1) ^ ((0u - (joined & 1u)) & kTwist);
}

inline uint32_t tempered(uint32_t value) {
  value ^= value >> 11;
  value ^= (value << 7) & 0x9d2c5680u;
  value ^= (value << 15) & 0xefc60000u;
  return value ^ (value >> 18);
}

}  // namespace

void MersenneTwister::seed(uint32_t value) {
  state_[0] = value;
  for (std::size_t i = 1; i < kStateSize; ++i) {
    state_[i] = 1812433253u * (state_[i - 1] ^ (state_[i - 1] >> 30)) + static_cast<uint32_t>(i);
  }
  next_ = kStateSize;
}

void MersenneTwister::refill() {
  constexpr std::size_t kFirst = kStateSize - kShift;  // words whose far word is not yet twisted
  uint32_t* const state = state_;
  for (std::size_t i = 0; i < kFirst; ++i) state[i] = twisted(state[i], state[i + 1], state[i + kShift]);
  // Here the far word was twisted kFirst words back, more than any vector's width.
  for (std::size_t i = kFirst; i < kStateSize - 1; ++i) state[i] = twisted(state[i], state[i + 1], state[i - kFirst]);
  state[kStateSize - 1] = twisted(state[kStateSize - 1], state[0], state[kShift - 1]);
  for (std::size_t i = 0; i < kStateSize; ++i) tempered_[i] = tempered(state[i]);
  next_ = 0;
}

void MersenneTwister::fill(uint32_t* out, std::size_t count) {
  while (count != 0) {
    if (next_ == kStateSize) refill();
    const std::size_t take = std::min(count, kStateSize - next_);
    std::memcpy(out, tempered_ + next_, take * sizeof(uint32_t));
    out += take;
    next_ += take;
    count -= take;
  }
}

void MersenneTwister::discard(unsigned long long count) {
  while (count != 0) {
    if (next_ == kStateSize) refill();
    const auto take = static_cast<std::size_t>(std::min<unsigned long long>(count, kStateSize - next_));
    next_ += take;
    count -= take;
  }
}

}  // namespace quorvix
