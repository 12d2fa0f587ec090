"""A small pure-Python model of quorvix.NeighborSampler, used as the oracle of the tests.

It favours plain dicts, lists and loops over speed. It models well-formed calls, the
non-sorted window error, the refusal of a run not sorted by time wherever a time rule reads it, the id range errors and the weight errors; argument validation is
not modelled. Edge times replace the neighbour's node time for their edge type; weighted and
with-replacement fan-outs follow the documented draws exactly, floating point included.
Every id that enters a result is checked against its type's known node count: the length of
its node_time, else the largest len(colptr) - 1 among the edge types it is the frontier type
of, else none (then only negative ids are refused).

Every seed carries a batch value, and a node is identified by (batch value, global id): per-seed
calls give seed i the value i, calls with disjoint=False the first seed of its seed time, and
sample_groups the caller's group. The time rules read the seed time of the node's batch value.
"""

import bisect
import math

import numpy as np

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1


class MT19937:
    """The 32-bit Mersenne Twister with the standard single-value seeding (std::mt19937)."""

    def __init__(self, seed):
        self.state = [seed & 0xFFFFFFFF]
        for i in range(1, 624):
            prev = self.state[-1]
            self.state.append((1812433253 * (prev ^ (prev >> 30)) + i) & 0xFFFFFFFF)
        self.index = 624

    def _twist(self):
        mt = self.state
        for i in range(624):
            y = (mt[i] & 0x80000000) | (mt[(i + 1) % 624] & 0x7FFFFFFF)
            mt[i] = mt[(i + 397) % 624] ^ (y >> 1) ^ (0x9908B0DF if y & 1 else 0)
        self.index = 0

    def next_u32(self):
        if self.index == 624:
            self._twist()
        y = self.state[self.index]
        self.index += 1
        y ^= y >> 11
        y ^= (y << 7) & 0x9D2C5680
        y ^= (y << 15) & 0xEFC60000
        y ^= y >> 18
        return y


class KeyedDraws:
    """The 32-bit draws of one frontier entry when sampling across parts: Philox4x64-10 keyed
    (stream, node), counter (block, subgraph, 0, 0) from block 1, each word's low half first."""

    def __init__(self, stream, node, subgraph):
        self.words = np.random.Philox(key=np.array([stream, node], dtype=np.uint64),
                                       counter=np.array([0, subgraph, 0, 0], dtype=np.uint64))
        self.pending = []

    def next_u32(self):
        if not self.pending:
            word = int(self.words.random_raw())
            self.pending = [word >> 32, word & 0xFFFFFFFF]
        return self.pending.pop()


def dist_draws(seed):
    """ReferenceSampler.keyed_draws for the calls of a distributed sampler seeded `seed`, from its
    first call on: next_call() starts each call."""
    from quorvix.dist.sampler import draw_stream

    keys = np.random.default_rng(seed)
    call = {}

    def next_call():
        call["key"] = int(keys.integers(0, 2**63))

    def engine(hop, edge_index, subgraph, node):
        return KeyedDraws(draw_stream(call["key"], hop, edge_index), node, subgraph)

    return next_call, engine


def edge_key(edge_type):
    return "__".join(edge_type)


def ints(values):
    return [int(x) for x in np.asarray(values).reshape(-1)]


def saturate(x):
    return max(INT64_MIN, min(INT64_MAX, x))


def cumulative_weights(colptr, weights):
    """Per position the weight summed from its run's start (from position 0 when colptr does
    not tile row in node order), negative, NaN and infinite weights counted as 0."""
    counted = [w if math.isfinite(w) and w > 0 else 0.0 for w in weights]
    tiles = all(0 <= c <= len(weights) for c in colptr) and all(a <= b for a, b in zip(colptr, colptr[1:]))
    cumulative = [0.0] * len(weights)
    starts = [(colptr[v], colptr[v + 1]) for v in range(len(colptr) - 1)] if tiles else [(0, len(weights))]
    for start, end in starts:
        total = 0.0
        for p in range(start, end):
            total += counted[p]
            cumulative[p] = total
    return cumulative, tiles


MAX_REPLACED_FANOUT = 2**31 - 1


SHORT_RUN = 64  # runs at most this long are drawn from _ScratchRun throughout
TINY = 2.0**-960  # below it, a fraction of a sum is taken of the sum scaled up by SCALE_UP
SCALE_UP = 2.0**1000
SCALE_DOWN = 2.0**-64  # an overflowing sum is recomputed from the weights scaled by it


class _ScratchRun:
    """The weights left in one run (0 once taken) with their running sums, recomputed from the
    weights left rather than subtracted from a total; the exact rule of successive sampling."""

    def __init__(self, weights, start, end, taken):
        self.weights, self.start, self.end = weights, start, end
        self.taken = list(taken)
        self.load()

    def load(self):
        self.weight = self.weights[self.start:self.end]
        for p in self.taken:
            self.weight[p - self.start] = 0.0
        self.scaled_down = False

    def find(self, fraction):
        """The position of the first running sum that exceeds fraction times the sum of all."""
        sums = _running_sums(self.weight)
        if self.scaled_down and sums[-1] < TINY:  # read the small weights again as given
            self.load()
            sums = _running_sums(self.weight)
        if math.isinf(sums[-1]):
            self.weight = [w * SCALE_DOWN for w in self.weight]
            self.scaled_down = True
            sums = _running_sums(self.weight)
        scale = SCALE_UP if sums[-1] < TINY else 1.0
        target = fraction * (sums[-1] * scale)
        found = next((i for i, s in enumerate(sums) if s * scale > target), None)
        if found is None:  # the product rounded up to the whole sum: the last weight left
            found = max(i for i, w in enumerate(self.weight) if w > 0)
        return self.start + found

    def pick(self, fraction):
        """find's position, taken out of the run."""
        found = self.find(fraction)
        self.weight[found - self.start] = 0.0
        self.taken.append(found)
        return found


def _running_sums(values):
    sums, total = [], 0.0
    for v in values:
        total += v
        sums.append(total)
    return sums


class ReferenceSampler:
    def __init__(self, node_types, edge_types, colptr, row, node_time, seed=123, *, edge_time=None,
                 edge_weight=None):
        self.node_types = list(node_types)
        self.edge_types = [tuple(e) for e in edge_types]
        self.colptr = {edge_key(e): ints(colptr[edge_key(e)]) for e in self.edge_types}
        self.row = {edge_key(e): ints(row[edge_key(e)]) for e in self.edge_types}
        node_time = dict(node_time)
        self.has_node_time = len(node_time) > 0
        self.node_time = {t: ints(node_time[t]) for t in self.node_types if t in node_time}
        self.edge_time = {k: ints(v) for k, v in (edge_time or {}).items()}
        self.edge_weight = {k: [float(w) for w in np.asarray(v, dtype=np.float64)] for k, v in (edge_weight or {}).items()}
        self.cumulative = {k: cumulative_weights(self.colptr[k], w) for k, w in self.edge_weight.items()}
        self.replace = False
        self.rng = MT19937(seed)
        # When set, (hop, edge type index, subgraph, node) -> the engine that node's expansion draws
        # from, as sampling across parts does; else every draw comes from the one rng in order.
        self.keyed_draws = None
        self.temporal_strategy = "last"
        self.disjoint = True
        self.num_threads = 1  # results do not depend on it
        self.node_count = {}
        for e in self.edge_types:
            if e[2] in self.node_types and len(self.colptr[edge_key(e)]) > 0:
                count = len(self.colptr[edge_key(e)]) - 1
                self.node_count[e[2]] = max(count, self.node_count.get(e[2], 0))
        self.node_count.update({t: len(times) for t, times in self.node_time.items()})

    # -- the graph's counts --------------------------------------------------------------
    @property
    def num_nodes(self):
        """Per node type the count its ids are checked against; None where nothing tells."""
        return {t: self.node_count.get(t) for t in self.node_types}

    @property
    def num_edges(self):
        """Per edge type the positions of row its runs cover."""
        return {k: c[-1] - c[0] if len(c) > 1 else 0 for k, c in self.colptr.items()}

    # -- reads with the extension's range checks --------------------------------------
    def _check_id(self, node_type, node, where=""):
        if node < 0:
            raise RuntimeError(f"Node {node} of type '{node_type}'{where} is negative.")
        count = self.node_count.get(node_type)
        if count is not None and node >= count:
            raise RuntimeError(f"Node {node} of type '{node_type}'{where} is not below the type's node count {count}.")

    def _time(self, node_type, node):
        times = self.node_time[node_type]
        if not 0 <= node < len(times):
            raise RuntimeError(f"Node {node} of type '{node_type}' is out of range of 'node_time'.")
        return times[node]

    def _time_at(self, where, p):
        key, neighbour_type = where[0], where[1]
        if key in self.edge_time:
            return self.edge_time[key][p]
        return self._time(neighbour_type, self.row[key][p])

    def _run(self, key, frontier_type, v):
        colptr = self.colptr[key]
        if not (0 <= v and v + 1 < len(colptr)):
            raise RuntimeError(
                f"Node {v} of type '{frontier_type}' is out of range of 'colptr' for '{key}'."
            )
        start, end = colptr[v], colptr[v + 1]
        if not 0 <= start <= end <= len(self.row[key]):
            raise RuntimeError(
                f"'colptr' for '{key}' at node {v} does not bound a valid range of 'row'."
            )
        return start, end

    # -- the whole-graph check -----------------------------------------------------------
    def check(self):
        for edge_type in self.edge_types:
            key, neighbour_type = edge_key(edge_type), edge_type[0]
            colptr, row = self.colptr[key], self.row[key]
            count = self.node_count.get(edge_type[2])  # sampling looks every id below it up in colptr
            if edge_type[2] in self.node_types and count is not None and len(colptr) < count + 1:
                raise RuntimeError(
                    f"'colptr' for '{key}' has {len(colptr)} entries, fewer than the {count} nodes of type "
                    f"'{edge_type[2]}' plus one."
                )
            for i, value in enumerate(colptr):
                if not 0 <= value <= len(row):
                    raise RuntimeError(
                        f"'colptr' for '{key}' at position {i} is {value}, outside the {len(row)} entries of 'row'."
                    )
                if i > 0 and colptr[i - 1] > value:
                    raise RuntimeError(
                        f"'colptr' for '{key}' decreases from {colptr[i - 1]} to {value} at node {i - 1}."
                    )
            runs = [(v, p) for v in range(len(colptr) - 1) for p in range(colptr[v], colptr[v + 1])]
            for v, p in runs:
                where = f" at position {p} of 'row' for '{key}' (a neighbour of node {v})"
                self._check_id(neighbour_type, row[p], where)
            if key in self.edge_time:
                times = self.edge_time[key]
                time_of = lambda p: times[p]  # noqa: E731
            elif neighbour_type in self.node_time:
                times = self.node_time[neighbour_type]
                time_of = lambda p: times[row[p]]  # noqa: E731
            else:
                time_of = None
            for v, p in runs if time_of else []:
                if p > colptr[v] and time_of(p) < time_of(p - 1):
                    raise RuntimeError(
                        f"Neighbours of node {v} in '{key}' are not sorted by time: position {p} of 'row' "
                        f"has time {time_of(p)}, earlier than {time_of(p - 1)} before it."
                    )
            for v, p in runs if key in self.edge_weight else []:
                w = self.edge_weight[key][p]
                if not (math.isfinite(w) and w >= 0):
                    raise RuntimeError(
                        f"'edge_weight' for '{key}' at position {p} of 'row' (an edge of node {v}) "
                        "is negative, NaN or infinite."
                    )

    # -- one call ---------------------------------------------------------------------
    def sample_with_edge_ids(self, *args, **kwargs):
        result = self.sample(*args, **kwargs)
        return result + ({k: np.array(v, dtype=np.int64) for k, v in self.out["edge"].items()},)

    def sample(self, num_neighbors, sampling_time_offsets, entity_table, seed_node, seed_time):
        def seeding():
            seeds = ints(seed_node)
            for v in seeds:
                self._check_id(entity_table, v)
            seed_times = []
            if (self.has_node_time or self.edge_time) and len(np.asarray(seed_time)) > 0:
                seed_times = ints(seed_time)[: len(seeds)]
            elif entity_table in self.node_time:
                seed_times = [self._time(entity_table, v) for v in seeds]
            if self.disjoint:
                batches = list(range(len(seeds)))
            else:  # a group is named by its first seed
                first = {}
                batches = [first.setdefault(seed_times[i] if seed_times else None, i) for i in range(len(seeds))]
            return [(entity_table, seeds, batches)], seed_times

        return self._sample(num_neighbors, sampling_time_offsets, seeding)

    def sample_groups(self, num_neighbors, sampling_time_offsets, seed_nodes, seed_groups, group_time):
        def seeding():
            typed = []
            for t in seed_nodes:
                seeds = ints(seed_nodes[t])
                for v in seeds:
                    self._check_id(t, v)
                typed.append((t, seeds, ints(seed_groups[t])))
            return typed, ints(group_time) if (self.has_node_time or self.edge_time) else []

        result = self._sample(num_neighbors, sampling_time_offsets, seeding)
        return result + ({k: np.array(v, dtype=np.int64) for k, v in self.out["edge"].items()},)

    def _sample(self, num_neighbors, sampling_time_offsets, seeding):
        keys = [edge_key(e) for e in self.edge_types]
        fanouts, offsets = {}, {}
        num_hops = 0
        for key in keys:
            if key in num_neighbors:
                fanouts[key] = ints(num_neighbors[key])
                num_hops = max(num_hops, len(fanouts[key]))
            else:
                offsets[key] = sampling_time_offsets[key]
                num_hops = max(num_hops, len(offsets[key]))

        self.out = {name: {} for name in ("nodes", "edges", "batch", "node", "col", "row", "edge")}
        for t in self.node_types:
            self.out["nodes"][t], self.out["batch"][t], self.out["node"][t] = [0], [], []
        for key in keys:
            self.out["edges"][key], self.out["col"][key], self.out["row"][key] = [0], [], []
            self.out["edge"][key] = []

        self.local_nodes = {t: [] for t in self.node_types}
        self.local_index = {t: {} for t in self.node_types}
        frontier = {t: (0, 0) for t in self.node_types}

        typed, seed_times = seeding()
        if self.replace:  # the largest fan-out drawn with replacement, checked before sampling
            for key, fanout in fanouts.items():
                for hop, k in enumerate(fanout):
                    if k > MAX_REPLACED_FANOUT:
                        raise ValueError(
                            f"'num_neighbors' for '{key}' at hop {hop} is {k}, above {MAX_REPLACED_FANOUT}, "
                            "the largest fan-out drawn with replacement."
                        )
        for t, seeds, batches in typed:
            # A repeated seed keeps its own place; the index keeps its first occurrence.
            for v, b in zip(seeds, batches):
                self.local_index[t].setdefault((b, v), len(self.local_nodes[t]))
                self.local_nodes[t].append((b, v))
            frontier[t] = (0, len(seeds))
            self.out["nodes"][t][0] = len(seeds)
            for b, v in self.local_nodes[t]:
                self.out["batch"][t].append(b)
                self.out["node"][t].append(v)

        for hop in range(num_hops):
            for edge_index, (edge_type, key) in enumerate(zip(self.edge_types, keys)):
                neighbour_type, _, frontier_type = edge_type
                if frontier_type not in frontier:
                    raise IndexError(
                        f"Frontier type '{frontier_type}' of '{key}' is not in 'node_types'."
                    )
                begin, end = frontier[frontier_type]
                self.out["edges"][key].append(0)
                k, window = 0, None
                if key in fanouts:
                    if hop < len(fanouts[key]):
                        k = fanouts[key][hop]
                elif hop < len(offsets[key]):
                    lower, upper = offsets[key][hop][0], offsets[key][hop][1]
                    window = [int(upper)] if lower is None else [int(lower), int(upper)]
                temporal = (neighbour_type in self.node_time or key in self.edge_time) and len(seed_times) > 0
                for f in range(begin, end):
                    s, v = self.local_nodes[frontier_type][f]
                    where = (key, neighbour_type, frontier_type, s, v, f)
                    if self.keyed_draws is not None:
                        self.rng = self.keyed_draws(hop, edge_index, s, v)
                    if temporal and window is not None:
                        self._time_window(where, window, seed_times[s])
                    elif temporal:
                        self._recent_window(where, k, seed_times[s])
                    else:
                        self._all_window(where, k)
            for t in self.node_types:
                previous_end = frontier[t][1]
                frontier[t] = (previous_end, len(self.local_nodes[t]))
                self.out["nodes"][t].append(frontier[t][1] - previous_end)
                for i, v in self.local_nodes[t][previous_end:]:
                    self.out["batch"][t].append(i)
                    self.out["node"][t].append(v)

        def arrays(table, skip_first=False):
            return {k: np.array(v[1:] if skip_first else v, dtype=np.int64) for k, v in table.items()}

        return (
            arrays(self.out["row"]),
            arrays(self.out["col"]),
            arrays(self.out["node"]),
            arrays(self.out["batch"]),
            arrays(self.out["nodes"]),
            arrays(self.out["edges"], skip_first=True),
        )

    # -- windows ----------------------------------------------------------------------
    def _first_after(self, where, bound, lo, hi):
        """First position in [lo, hi) whose time is later than bound, by the same bisection
        as std::upper_bound, so that disordered runs give the same answer."""
        while lo < hi:
            mid = lo + (hi - lo) // 2
            if bound < self._time_at(where, mid):
                hi = mid
            else:
                lo = mid + 1
        return lo

    def _check_sorted(self, where, start, end):
        if end - start >= 2:
            first = self._time_at(where, start)
            last = self._time_at(where, end - 1)
            if first > last:
                raise RuntimeError("Found invalid non-sorted temporal neighborhood")

    def _check_run_order(self, where, run):
        """A run that is not sorted by time is refused wherever a time rule reads it; one holding a
        neighbour without a timestamp is left to the id checks, which report it first."""
        key, neighbour_type, v = where[0], where[1], where[4]
        positions = range(*run)
        if key in self.edge_time:
            times = [self.edge_time[key][p] for p in positions]
        else:
            node_times = self.node_time[neighbour_type]
            ids = [self.row[key][p] for p in positions]
            if not all(0 <= i < len(node_times) for i in ids):
                return
            times = [node_times[i] for i in ids]
        for i in range(1, len(times)):
            if times[i] < times[i - 1]:
                raise RuntimeError(
                    f"Neighbours of node {v} in '{key}' are not sorted by time: position {run[0] + i} of "
                    f"'row' has time {times[i]}, earlier than {times[i - 1]} before it."
                )

    def _time_window(self, where, window, seed_time):
        key, _, frontier_type, _, v, _ = where
        start, end = run = self._run(key, frontier_type, v)
        if start == end:
            return
        if len(window) == 2:
            start = self._first_after(where, saturate(seed_time + window[0]), start, end)
        end = self._first_after(where, saturate(seed_time + window[-1]), start, end)
        self._check_sorted(where, start, end)
        self._check_run_order(where, run)
        for p in range(start, end):
            self._record(where, p)

    def _recent_window(self, where, k, seed_time):
        key, _, frontier_type, _, v, _ = where
        if k == 0:
            return
        start, end = run = self._run(key, frontier_type, v)
        if start == end:
            return
        end = self._first_after(where, seed_time, start, end)
        self._check_sorted(where, start, end)
        self._check_run_order(where, run)
        if self.temporal_strategy == "uniform":
            if start < end:
                self._choose(where, start, end, k)
            return
        if k > 0:
            start = max(start, end - k)
        for p in range(start, end):
            self._record(where, p)

    def _all_window(self, where, k):
        key, _, frontier_type, _, v, _ = where
        if k == 0:
            return
        start, end = self._run(key, frontier_type, v)
        if start < end:
            self._choose(where, start, end, k)

    def _choose(self, where, start, end, k):
        key = where[0]
        if k >= 0 and key in self.edge_weight:
            self._choose_weighted(where, start, end, k)
            return
        if k >= 0 and self.replace:
            for _ in range(k):  # the remainder used as is
                self._record(where, start + self.rng.next_u32() % (end - start))
            return
        n = end - start
        if k < 0 or k >= n:
            for p in range(start, end):
                self._record(where, p)
            return
        # Floyd's algorithm: one draw per iteration, the remainder used as is.
        chosen = set()
        for j in range(n - k, n):
            t = self.rng.next_u32() % (j + 1)
            pick = t if t not in chosen else j
            chosen.add(pick)
            self._record(where, start + pick)

    def _fraction(self):
        """A uniform float in [0, 1): 27 high bits of one draw, then 26 of the next."""
        high, low = self.rng.next_u32() >> 5, self.rng.next_u32() >> 6
        return ((high << 26) | low) / 2**53

    def _choose_weighted(self, where, start, end, k):
        """Successive sampling by weight (with replacement: independent picks by weight).

        With replacement (unless the run's total is not finite or is below TINY, or colptr does not
        tile row: then _ScratchRun.find), and without it on a run longer than SHORT_RUN whose colptr tiles row,
        a pick searches the per-run cumulative sums for the first position whose cumulative weight,
        less the weights already picked up to it, exceeds u * (mass left). Without replacement this
        holds while the mass left is at least half the run's (and the run's total is finite and not
        TINY); from there on, and on short runs throughout, picks come from _ScratchRun."""
        key = where[0]
        weights = self.edge_weight[key]
        for p in range(start, end):
            if not (math.isfinite(weights[p]) and weights[p] >= 0):
                raise RuntimeError(f"'edge_weight' for '{key}' at position {p} is negative, NaN or infinite.")
        positive = sum(1 for p in range(start, end) if weights[p] > 0)
        if positive == 0 or (positive <= k and not self.replace):
            for p in range(start, end):
                if weights[p] > 0:
                    self._record(where, p)
            return
        cumulative, per_run = self.cumulative[key]
        before = 0.0 if per_run or start == 0 else cumulative[start - 1]

        def width(p):
            return cumulative[p] - (before if p == start else cumulative[p - 1])

        picked, widths, through = [], [], []  # ascending positions, their widths, running sums

        def mass_through(p):
            i = bisect.bisect_right(picked, p)
            return through[i - 1] if i else 0.0

        def first_where(above):
            lo, length = start, end - start
            while length > 0:
                half = length // 2
                if above(lo + half):
                    length = half
                else:
                    lo, length = lo + half + 1, length - half - 1
            return lo

        def drawable_near(p):
            def drawable(q):
                return weights[q] > 0 and q not in picked

            for q in list(range(p, end)) + list(range(min(p, end) - 1, start - 1, -1)):
                if drawable(q):
                    return q
            return start

        run_total = cumulative[end - 1] - before
        if self.replace and not (per_run and math.isfinite(run_total) and run_total >= TINY):
            scratch = _ScratchRun(weights, start, end, [])
            for _ in range(k):
                self._record(where, scratch.find(self._fraction()))
            return
        if self.replace:
            for _ in range(k):
                u = self._fraction() * run_total
                self._record(where, drawable_near(first_where(lambda q: cumulative[q] - before > u)))
            return
        i = 0
        if per_run and end - start > SHORT_RUN and math.isfinite(run_total) and run_total >= TINY:
            while i < k:
                left = run_total - (through[-1] if through else 0.0)
                if left < 0.5 * run_total:
                    break
                u = self._fraction() * left
                p = drawable_near(first_where(lambda q: (cumulative[q] - before) - mass_through(q) > u))
                j = bisect.bisect_left(picked, p)
                picked.insert(j, p)
                widths.insert(j, width(p))
                del through[j:]
                for m in range(j, len(picked)):
                    through.append((through[m - 1] if m else 0.0) + widths[m])
                self._record(where, p)
                i += 1
        scratch = _ScratchRun(weights, start, end, picked)
        for _ in range(i, k):
            self._record(where, scratch.pick(self._fraction()))

    def _record(self, where, p):
        key, neighbour_type, _, s, _, f = where
        node = (s, self.row[key][p])
        self._check_id(neighbour_type, node[1])
        index = self.local_index[neighbour_type]
        if node not in index:
            index[node] = len(self.local_nodes[neighbour_type])
            self.local_nodes[neighbour_type].append(node)
        self.out["edges"][key][-1] += 1
        self.out["row"][key].append(index[node])
        self.out["col"][key].append(f)
        self.out["edge"][key].append(p)
