#include "sampling/pair_table.hpp"

namespace quorvix {

PairTable::PairTable(std::size_t count) {
  unsigned bits = 4;
  while ((std::size_t{1} << bits) < 2 * count) ++bits;
  slots_.resize(std::size_t{1} << bits);
  mask_ = (uint64_t{1} << bits) - 1;
  shift_ = 64 - bits;
}

}  // namespace quorvix
