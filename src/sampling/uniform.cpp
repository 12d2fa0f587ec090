#include "sampling/uniform.hpp"

#include "sampling/recording.hpp"

namespace quorvix {

namespace {

// Out of line: inlined, the take-all branch crowds the registers of the draw loop below.
template <typename Edges>
__attribute__((noinline)) void record_whole_window(const Edges& edges, const FrontierNode& frontier, int64_t start,
                                                   int64_t end) {
  record_run(edges, frontier, start, end);
}

}  // namespace

template <typename Edges>
void sample_uniform(const Edges& edges, const FrontierNode& frontier, int64_t start, int64_t end, int64_t k) {
  const int64_t candidates = end - start;
  if (k < 0 || k >= candidates) {
    record_whole_window(edges, frontier, start, end);
    return;
  }
  EdgeRecorder record(edges, frontier, k);
  IndexSet& chosen = *edges.chosen;
  chosen.start(candidates, k);
  for (int64_t j = candidates - k; j < candidates; ++j) {
    // The plain remainder, without rejecting biased draws: the chosen offsets are defined this way.
    const uint64_t draw = (*edges.generator)();
    const int64_t t = static_cast<int64_t>(draw % static_cast<uint64_t>(j + 1));
    // Every offset inserted so far is below j, so j itself is always free.
    const int64_t offset = chosen.contains(t) ? j : t;
    chosen.insert(offset);
    record.add(start + offset);
  }
  record.finish();
}

#define QUORVIX_INSTANTIATE(Edges) \
  template void sample_uniform<Edges>(const Edges&, const FrontierNode&, int64_t, int64_t, int64_t);
QUORVIX_FOR_EACH_EDGE_SAMPLING(QUORVIX_INSTANTIATE)
#undef QUORVIX_INSTANTIATE

}  // namespace quorvix
