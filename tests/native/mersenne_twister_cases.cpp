// The sampler's Mersenne Twister against the standard library's, value for value: single draws,
// bulk copies and skips of many lengths across block boundaries, copies of the engine, five seeds.
// Prints the number of values that differed.
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "sampling/mersenne_twister.hpp"

int main() {
  long differed = 0;
  for (const uint32_t seed : {0u, 1u, 5489u, 123456789u, 4294967295u}) {
    quorvix::MersenneTwister ours(seed);
    std::mt19937 standard(seed);
    std::vector<uint32_t> block(20000);
    for (int round = 0; round < 60; ++round) {
      for (int k = 0; k < 600 + 7 * round; ++k) differed += ours() != static_cast<uint32_t>(standard());
      const std::size_t count = static_cast<std::size_t>(331 * round % 2500);
      ours.fill(block.data(), count);
      for (std::size_t k = 0; k < count; ++k) differed += block[k] != static_cast<uint32_t>(standard());
      const unsigned long long skipped = 97ull * static_cast<unsigned long long>(round * round);
      ours.discard(skipped);
      standard.discard(skipped);
      quorvix::MersenneTwister copy = ours;
      differed += copy() != ours();
      standard();
    }
    differed += ours() != static_cast<uint32_t>(standard());
  }
  std::printf("%ld\n", differed);
  return 0;
}
