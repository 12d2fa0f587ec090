#include "sampling/keyed_draws.hpp"

#include <array>

namespace quorvix {

namespace {

using Block = std::array<uint64_t, 4>;

// The high and low 64 bits of a * b.
inline void multiply(uint64_t a, uint64_t b, uint64_t& high, uint64_t& low) {
#if defined(__SIZEOF_INT128__)
  __extension__ typedef unsigned __int128 Product;  // a GCC and Clang extension, hence the marker
  const Product product = static_cast<Product>(a) * b;
  high = static_cast<uint64_t>(product >> 64);
  low = static_cast<uint64_t>(product);
#else
  const uint64_t a_lo = a & 0xFFFFFFFFu, a_hi = a >> 32, b_lo = b & 0xFFFFFFFFu, b_hi = b >> 32;
  const uint64_t lo_lo = a_lo * b_lo, hi_lo = a_hi * b_lo, lo_hi = a_lo * b_hi, hi_hi = a_hi * b_hi;
  const uint64_t middle = (lo_lo >> 32) + (hi_lo & 0xFFFFFFFFu) + lo_hi;
  high = hi_hi + (hi_lo >> 32) + (middle >> 32);
  low = (middle << 32) | (lo_lo & 0xFFFFFFFFu);
#endif
}

// Philox4x64 with 10 rounds (Salmon et al., "Parallel random numbers: as easy as 1, 2, 3", 2011).
Block philox(Block counter, uint64_t key0, uint64_t key1) {
  constexpr uint64_t kMultiplier0 = 0xD2E7470EE14C6C93u;
  constexpr uint64_t kMultiplier1 = 0xCA5A826395121157u;
  constexpr uint64_t kWeyl0 = 0x9E3779B97F4A7C15u;
  constexpr uint64_t kWeyl1 = 0xBB67AE8584CAA73Bu;
  for (int round = 0; round < 10; ++round) {
    if (round > 0) {
      key0 += kWeyl0;
      key1 += kWeyl1;
    }
    uint64_t high0, low0, high1, low1;
    multiply(kMultiplier0, counter[0], high0, low0);
    multiply(kMultiplier1, counter[2], high1, low1);
    counter = {high1 ^ counter[1] ^ key0, low1, high0 ^ counter[3] ^ key1, low0};
  }
  return counter;
}

}  // namespace

void append_keyed_draws(const DrawKey& key, int64_t count, std::vector<uint32_t>& out) {
  // A saturated count (far beyond any run's draws) fails here, as vector's own limits say.
  out.reserve(out.size() + static_cast<std::size_t>(count));
  for (uint64_t block = 1; count > 0; ++block) {
    const Block words = philox({block, key.subgraph, 0, 0}, key.stream, key.node);
    for (uint64_t word : words) {
      for (int half = 0; half < 2 && count > 0; ++half, --count) {
        out.push_back(static_cast<uint32_t>(half == 0 ? word : word >> 32));
      }
    }
  }
}

}  // namespace quorvix
