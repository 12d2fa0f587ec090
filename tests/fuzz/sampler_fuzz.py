"""Malformed and well-formed inputs for NeighborSampler, and the one property they must all keep:
every constructor or sample call ends in a result or in a Python exception, never in a crash.

The inputs start from a consistent random graph (CSC arrays of the right lengths, runs sorted by
time) and then spoil parts of it: ids out of range, colptr decreasing or of the wrong length, times
out of order, dtypes, dimensions and memory layouts the sampler does not expect, dict subclasses
that answer lookups differently from their items, keys whose str() raises, names that are not
UTF-8, fan-outs and times at the int64 limits. A result is checked for its internal consistency.

Run under the sanitizer build (tools/fuzz.sh), a memory error aborts the process with a report;
the last input is written to the file named by QUORVIX_FUZZ_LAST_INPUT just before each call.
"""

import collections
import os
import re

import numpy as np
from hypothesis import strategies as st

import quorvix

INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1
EXTREMES = [INT64_MIN, INT64_MIN + 1, -(2**31) - 1, -1, 0, 1, 2**31, 2**32 + 1, INT64_MAX - 1, INT64_MAX]

# Names collide on purpose: duplicates, a name holding the key separator, a NUL byte, bytes that are
# not UTF-8, and a str that cannot be encoded at all.
NAMES = ["a", "b", "a", "", "a__b", "x\x00y", "\u00e9t\u00e9", b"a", bytearray(b"b"), b"\xff\xfe", "\udc80"]
RELATIONS = ["r", "s", "", "__", b"\x80"]

# Outcomes by exception type and the start of its message, for a review of what the run met.
outcomes = collections.Counter()
calls = collections.Counter()

_last_input_path = os.environ.get("QUORVIX_FUZZ_LAST_INPUT")


class FuzzFault(AssertionError):
    """An outcome that is neither a consistent result nor an ordinary Python exception."""


def _record_input(what, args):
    calls[what] += 1
    if _last_input_path:
        with open(_last_input_path, "w") as out:
            out.write(f"{what}\n{args!r}\n")


def _text(name):
    """The str a name becomes in the sampler's results, or None when it has none."""
    try:
        return name if isinstance(name, str) else bytes(name).decode()
    except UnicodeDecodeError:
        return None


def _key(triple):
    parts = [_text(part) for part in triple]
    return None if None in parts else "__".join(parts)


# Every input spoils at most one aspect, so that the others let it reach the code that handles it.
GRAPH_ASPECTS = ["nothing"] * 4 + ["names", "keys", "containers", "layouts", "colptr", "row", "times", "seed"]
REQUEST_ASPECTS = ["nothing"] * 4 + ["placement", "keys", "containers", "layouts", "entity", "seeds", "seed_time",
                                     "offsets"]


def pick(draw, spoil, usual, unusual, weight=8):
    """`usual`, or when `spoil` now and then one of `unusual`."""
    if not spoil:
        return usual
    return draw(st.sampled_from([usual] * weight + list(unusual)))


# ---- values that stand where an int64 array is expected ---------------------------------------


class SubArray(np.ndarray):
    pass


class ArrayLike:
    """An object that NumPy coerces through __array__."""

    def __init__(self, array):
        self.array = array

    def __array__(self, dtype=None, copy=None):
        return self.array if dtype is None else self.array.astype(dtype)

    def __repr__(self):
        return f"ArrayLike({self.array!r})"


def _misaligned(array):
    raw = b"\0" + np.ascontiguousarray(array, dtype=np.int64).tobytes()
    return np.frombuffer(raw, dtype=np.int64, offset=1)


def _readonly(array):
    array = array.copy()
    array.flags.writeable = False
    return array


def _astype(dtype):
    def convert(array):
        try:
            return array.astype(dtype)
        except (OverflowError, ValueError):
            return array

    return convert


LAYOUTS_1D = {
    "int64": lambda a: a,
    "list": lambda a: a.tolist(),
    "big-endian": lambda a: a.astype(">i8"),
    "strided": lambda a: np.repeat(a, 2)[::2],
    "reversed": lambda a: a[::-1].copy()[::-1],
    "read-only": _readonly,
    "misaligned": _misaligned,
    "subclass": lambda a: a.view(SubArray),
    "array-like": ArrayLike,
    "int32": _astype(np.int32),
    "uint64": _astype(np.uint64),
    "float64": _astype(np.float64),
    "bool": _astype(bool),
    "object": _astype(object),
    "str": _astype(str),
    "2-D": lambda a: a.reshape(1, -1),
    "column": lambda a: a.reshape(-1, 1),
    "0-D": lambda a: np.int64(a[0]) if a.size else np.int64(0),
    "python int": lambda a: int(a[0]) if a.size else 0,
    "huge ints": lambda a: [2**70] + a.tolist(),
    "None": lambda a: None,
    "text": lambda a: ",".join(map(str, a.tolist())),
}


# Layouts that hold the same int64 values, which the sampler must read correctly.
FAITHFUL_1D = ["int64", "list", "big-endian", "strided", "reversed", "read-only", "misaligned", "subclass",
               "array-like"]
NDARRAY_1D = ["int64", "big-endian", "strided", "reversed", "read-only", "misaligned", "subclass", "int32",
              "uint64", "float64", "bool", "object", "str", "2-D", "0-D"]


@st.composite
def int64_value(draw, values, spoil=False, ndarray_only=False):
    """`values` as an int64 array in some faithful layout; when `spoil`, now and then in another
    dtype, dimension or kind of object."""
    array = np.array(values, dtype=np.int64)
    faithful = [name for name in FAITHFUL_1D if not ndarray_only or name in NDARRAY_1D]
    layout = draw(st.sampled_from(["int64"] * 6 + faithful))
    layout = pick(draw, spoil, layout, NDARRAY_1D if ndarray_only else list(LAYOUTS_1D), weight=4)
    value = LAYOUTS_1D[layout](array)
    if ndarray_only and not isinstance(value, np.ndarray):
        value = np.asarray(value)
    return value


def spoilable_int64_value(values, spoiled):
    return int64_value(values, spoiled == "layouts")


def ids(upper, spoil=False):
    """Valid ids below `upper`; when `spoil`, also negative, past the end or at the int64 limits."""
    valid = st.integers(0, max(upper - 1, 0))
    if not spoil and upper > 0:
        return valid
    return st.one_of(valid, valid, valid, valid, st.sampled_from([-1, upper, upper + 1]), st.sampled_from(EXTREMES))


# ---- keys and dicts --------------------------------------------------------------------------


class NamedKey:
    """A key that is not a str but whose str() is a valid name."""

    def __init__(self, name):
        self.name = name

    def __str__(self):
        return self.name

    def __repr__(self):
        return f"NamedKey({self.name!r})"


class RaisingKey:
    def __str__(self):
        raise ValueError("this key has no text form")

    def __repr__(self):
        return "RaisingKey()"


class DictSub(dict):
    pass


class ShiftyDict(dict):
    """Answers item lookups with another value than its items hold, and may call into the sampler
    in the middle of a call on it."""

    sampler = None  # the sampler of the current call, and its arguments
    request = None
    inside = False

    def __init__(self, items, replacement, reenter):
        super().__init__(items)
        self.replacement = replacement
        self.reenter = reenter

    def __getitem__(self, key):
        if self.reenter and ShiftyDict.sampler is not None and not ShiftyDict.inside:
            # The same call again, from within itself; once, so that it does not recurse for ever.
            ShiftyDict.inside = True
            try:
                ShiftyDict.sampler.sample(**ShiftyDict.request)
            except Exception:
                if self.reenter == "propagate":
                    raise
            finally:
                ShiftyDict.inside = False
        if self.replacement is not None:
            return self.replacement
        return super().__getitem__(key)

    def __repr__(self):
        return f"ShiftyDict({dict(self)!r}, replacement={self.replacement!r}, reenter={self.reenter!r})"


@st.composite
def key_for(draw, name, spoil):
    """The name itself; when `spoil`, now and then a stand-in that the sampler must refuse or fail to find."""
    choice = pick(draw, spoil, "name", ["bytes", "named", "raising", "tuple", "other", "int"], weight=4)
    if choice == "name" or name is None:
        return name if name is not None else "?"
    return {
        "bytes": lambda: name.encode("utf-8", "surrogatepass"),
        "named": lambda: NamedKey(name),
        "raising": RaisingKey,
        "tuple": lambda: tuple(name.split("__")),
        "other": lambda: name + "_",
        "int": lambda: 5,
    }[choice]()


@st.composite
def array_dict(draw, entries, value_of, spoiled, sampler_inside=False):
    """A dict from names to values. When its keys are spoiled, an entry may be dropped, doubled or
    filed under a stand-in key; when its container is, it may be no dict or a dict subclass that
    answers lookups in its own way; when its values are, they have other dtypes and shapes."""
    items = []
    for name, payload in entries:
        fate = pick(draw, spoiled == "keys", "keep", ["drop", "extra"], weight=6)
        if fate == "drop":
            continue
        items.append((draw(key_for(name, spoiled == "keys")), draw(value_of(payload, spoiled))))
        if fate == "extra":
            items.append(("not_a_type", draw(value_of(payload, spoiled))))
    container = draw(st.sampled_from(["dict"] * 3 + ["subclass"]))
    container = pick(draw, spoiled == "containers", container, ["shifty", "reentrant", "pairs", "None"], weight=2)
    try:
        plain = dict(items)
    except TypeError:  # an unhashable key
        plain = {}
    if container == "dict":
        return plain
    if container == "subclass":
        return DictSub(plain)
    if container == "shifty":
        replacement = draw(st.sampled_from([None, np.array([1.5, 2.5]), np.zeros((2, 2), np.int64), np.int64(3),
                                            np.array([INT64_MAX, 0, INT64_MIN], dtype=np.int64), "text"]))
        return ShiftyDict(plain, replacement, None)
    if container == "reentrant":
        return ShiftyDict(plain, None, "propagate" if sampler_inside and draw(st.booleans()) else "swallow")
    if container == "pairs":
        return list(plain.items())
    return None


# ---- graphs ----------------------------------------------------------------------------------


@st.composite
def graphs(draw):
    """Constructor arguments: a consistent graph, half of the time spoiled here and there."""
    spoiled = draw(st.sampled_from(GRAPH_ASPECTS))
    clean = spoiled != "names"
    usual_names = st.sampled_from(NAMES[:3])
    # A clean graph names each type once: repeated and colliding names are refused at construction.
    node_types = draw(st.lists(usual_names, min_size=1, max_size=4, unique=True) if clean else
                      st.lists(usual_names | st.sampled_from(NAMES), max_size=4))
    sizes = {}
    for name in node_types:
        sizes.setdefault(None if name == "\udc80" else _text(name), draw(st.integers(0, 6)))
    triple_part = st.sampled_from(node_types) if node_types else st.sampled_from(NAMES)
    neighbour_part = triple_part if clean and node_types else triple_part | st.sampled_from(NAMES)
    relations = st.sampled_from(RELATIONS[:2] if clean else RELATIONS)
    edge_types = [
        (draw(neighbour_part), draw(relations), draw(triple_part))
        for _ in range(draw(st.integers(0, 4) if node_types or not clean else st.just(0)))
    ]
    if clean:
        edge_types = list(dict.fromkeys(edge_types))

    def size_of(name):
        return sizes.get(_text(name) if name != "\udc80" else None, 3)

    times = {}
    for name, size in sizes.items():
        if name is not None and draw(st.integers(0, 3)):
            times[name] = sorted(draw(st.lists(st.integers(-5, 20) | st.sampled_from(EXTREMES),
                                               min_size=size, max_size=size)))
    colptr, row = [], []
    for triple in edge_types:
        t0, _, t2 = triple
        runs = [draw(st.lists(ids(size_of(t0), spoiled == "row"), max_size=5)) for _ in range(size_of(t2))]
        t0_times = times.get(_text(t0))
        if t0_times is not None:
            def time_of(node, t0_times=t0_times):
                return t0_times[node] if 0 <= node < len(t0_times) else 0
            runs = [sorted(run, key=time_of) for run in runs]
        pointers = np.cumsum([0] + [len(run) for run in runs]).tolist()
        flat = [node for run in runs for node in run]
        spoil = pick(draw, spoiled == "colptr", "none", ["decreasing", "longer", "shorter", "past row",
                                                         "negative", "extreme"], weight=2)
        spoil = pick(draw, spoiled == "row", spoil, ["unsorted"], weight=2)
        if spoil == "decreasing" and len(pointers) > 2:
            i = draw(st.integers(1, len(pointers) - 2))
            pointers[i] = pointers[-1] + 1
        elif spoil == "longer":
            pointers += [pointers[-1]] * draw(st.integers(1, 3))
        elif spoil == "shorter":
            pointers = pointers[: draw(st.integers(0, max(len(pointers) - 1, 0)))]
        elif spoil == "past row" and pointers:
            pointers[-1] += draw(st.integers(1, 3))
        elif spoil == "negative" and pointers:
            pointers[0] = -1
        elif spoil == "extreme" and pointers:
            pointers[draw(st.integers(0, len(pointers) - 1))] = draw(st.sampled_from(EXTREMES))
        elif spoil == "unsorted":
            flat.reverse()
        colptr.append((_key(triple), pointers))
        row.append((_key(triple), flat))
    time_entries = []
    for name, values in times.items():
        spoil = pick(draw, spoiled == "times", "none", ["shorter", "reversed", "empty"], weight=1)
        if spoil == "shorter":
            values = values[:-1]
        elif spoil == "reversed":
            values = values[::-1]
        elif spoil == "empty":
            values = []
        time_entries.append((name, values))
    seed = draw(st.integers(-(2**31), 2**31 - 1) | st.sampled_from([True, np.int64(7)]))
    seed = pick(draw, spoiled == "seed", seed, [2**31, -(2**31) - 1, 1.0, None, "1"], weight=1)
    return dict(
        node_types=node_types,
        edge_types=edge_types,
        colptr=draw(array_dict(colptr, spoilable_int64_value, spoiled)),
        row=draw(array_dict(row, spoilable_int64_value, spoiled)),
        node_time=draw(array_dict(time_entries, spoilable_int64_value, spoiled)),
        seed=seed,
    ), sizes, times


# ---- requests --------------------------------------------------------------------------------


@st.composite
def offsets_value(draw, rows, spoiled):
    """Per hop a (lower, upper) pair, as an (h, 2) array in some layout, or when the offsets are
    spoiled in some malformed one."""
    form = draw(st.sampled_from(["int64"] * 4 + ["None lower", "list", "big-endian", "fortran", "transposed",
                                                 "empty"]))
    form = pick(draw, spoiled == "offsets", form, ["None upper", "float", "str", "huge", "(h, 3)", "1-D"],
                weight=2)
    array = np.array(rows, dtype=np.int64).reshape(-1, 2)
    if form == "int64":
        return array
    if form in ("None lower", "None upper"):
        value = array.astype(object)
        if len(value):
            value[draw(st.integers(0, len(value) - 1)), 0 if form == "None lower" else 1] = None
        return value
    if form == "float":
        return array.astype(np.float64) + 0.5
    if form == "str":
        return array.astype(str)
    if form == "huge":
        value = array.astype(object)
        if len(value):
            value[0, draw(st.integers(0, 1))] = 2**70
        return value
    if form == "(h, 3)":
        return np.zeros((len(array), 3), dtype=np.int64)
    if form == "1-D":
        return array.ravel()
    if form == "list":
        return [[None if draw(st.integers(0, 3)) == 0 else lower, upper] for lower, upper in array.tolist()]
    if form == "big-endian":
        return array.astype(">i8")
    if form == "fortran":
        return np.asfortranarray(array)
    if form == "transposed":
        return np.ascontiguousarray(array.T).T
    return np.empty((0, 2), dtype=np.int64)


@st.composite
def requests(draw, graph, sizes, times):
    """Arguments of one sample call, half of the time spoiled here and there."""
    spoiled = draw(st.sampled_from(REQUEST_ASPECTS))
    node_types = graph["node_types"]
    fan_outs, windows = [], []
    fan_out = st.sampled_from([-1, 0, 1, 2, 3, -3]) | st.sampled_from(EXTREMES)
    offset = st.integers(-8, 8) | st.sampled_from(EXTREMES)
    places = {}
    for triple in graph["edge_types"]:
        key = _key(triple)
        if key in places:  # a repeated edge type shares its key, and is given once
            continue
        # A window needs timestamps on the neighbour type; asking for one elsewhere is a spoiled placement.
        usual = draw(st.sampled_from(["fan-out", "window"])) if _text(triple[0]) in times else "fan-out"
        places[key] = place = pick(draw, spoiled == "placement", usual, ["both", "neither", "window"], weight=2)
        hops = draw(st.integers(0, 3))
        if place in ("fan-out", "both"):
            fan_outs.append((key, [draw(fan_out) for _ in range(hops)]))
        if place in ("window", "both"):
            windows.append((key, [sorted([draw(offset), draw(offset)]) for _ in range(hops)]))
    entity = draw(st.sampled_from(node_types) if node_types else st.sampled_from(["a", b"\xff"]))
    misspelt = entity.upper() if isinstance(entity, str) else "A"
    entity = pick(draw, spoiled == "entity", entity, ["nope", b"\xff", misspelt], weight=0)
    size = sizes.get(_text(entity) if entity != "\udc80" else None, 3)
    seeds = draw(st.lists(ids(size, spoiled == "seeds"), max_size=5))
    seed_time_length = pick(draw, spoiled == "seed_time", draw(st.sampled_from([len(seeds), len(seeds), 0])),
                            [len(seeds) + 1, max(len(seeds) - 1, 0)], weight=0)
    seed_time = draw(st.lists(st.integers(-5, 25) | st.sampled_from(EXTREMES), min_size=seed_time_length,
                              max_size=seed_time_length))
    seeds_as_arrays = spoiled != "layouts" or draw(st.integers(0, 4)) > 0
    return dict(
        num_neighbors=draw(array_dict(fan_outs, spoilable_int64_value, spoiled, sampler_inside=True)),
        sampling_time_offsets=draw(array_dict(windows, offsets_value, spoiled, sampler_inside=True)),
        entity_table=entity,
        # Only ndarrays pass for these two, unless the layouts are being spoiled.
        seed_node=draw(int64_value(seeds, spoiled == "layouts", ndarray_only=seeds_as_arrays)),
        seed_time=draw(int64_value(seed_time, spoiled == "layouts", ndarray_only=seeds_as_arrays)),
    )


# ---- the property ----------------------------------------------------------------------------


def _classify(error):
    message = str(error)
    if isinstance(error, SystemError) or "unknown exception" in message or "unknown nested" in message:
        raise FuzzFault(f"{type(error).__name__}: {message}") from error
    shape = re.sub(r"-?\d+", "N", re.sub(r"'[^']*'", "'…'", message))[:70]
    outcomes[f"{type(error).__name__}: {shape}"] += 1


def check_result(result, sampler_args, request):
    """A successful result is a tuple of six dicts of int64 arrays whose counts and indices agree."""
    if not isinstance(result, tuple) or len(result) != 6 or not all(type(d) is dict for d in result):
        raise FuzzFault(f"not six dicts: {result!r}")
    out_row, out_col, out_node, out_batch, node_counts, edge_counts = result
    for part in result:
        for value in part.values():
            if not (isinstance(value, np.ndarray) and value.dtype == np.int64 and value.ndim == 1):
                raise FuzzFault(f"not a 1-D int64 array: {value!r}")
    seeds = np.asarray(request["seed_node"]).reshape(-1)
    n = len(seeds)
    for name in node_types_text(sampler_args):
        nodes, batches, counts = out_node[name], out_batch[name], node_counts[name]
        if not (len(nodes) == len(batches) == counts.sum()) or (counts < 0).any():
            raise FuzzFault(f"node counts disagree for {name!r}")
        if len(batches) and (batches.min() < 0 or batches.max() >= n):
            raise FuzzFault(f"batch index out of range for {name!r}")
    entity = _text(request["entity_table"])
    if entity is not None and not np.array_equal(out_node[entity][:n], seeds.astype(np.int64)):
        raise FuzzFault("the seeds do not open the entity table's nodes")
    for triple in sampler_args["edge_types"]:
        t0, _, t2 = triple
        key = _key(triple)
        rows, cols, counts = out_row[key], out_col[key], edge_counts[key]
        if not (len(rows) == len(cols) == counts.sum()) or (counts < 0).any():
            raise FuzzFault(f"edge counts disagree for {key!r}")
        for local, name in ((rows, t0), (cols, t2)):
            if len(local) and (local.min() < 0 or local.max() >= len(out_node[_text(name)])):
                raise FuzzFault(f"local index out of range under {key!r}")


def node_types_text(sampler_args):
    return [_text(name) for name in sampler_args["node_types"]]


def exercise(data):
    """One fuzz input: a constructor call, then up to three sample calls on what it built."""
    args, sizes, times = data.draw(graphs())
    _record_input("NeighborSampler", args)
    try:
        sampler = quorvix.NeighborSampler(**args)
    except Exception as error:  # noqa: BLE001 - every Python exception is an acceptable outcome
        _classify(error)
        return
    outcomes["constructed"] += 1
    if data.draw(st.sampled_from([False] * 40 + [True])):  # an instance whose __init__ never ran
        sampler = quorvix.NeighborSampler.__new__(quorvix.NeighborSampler)
    if data.draw(st.booleans()):
        _record_input("check", args)
        try:
            if sampler.check() is not None:
                raise FuzzFault("check() returned something other than None")
            outcomes["checked"] += 1
        except FuzzFault:
            raise
        except Exception as error:  # noqa: BLE001
            _classify(error)
    try:  # calls on several threads split the seeds into chunks sampled side by side
        sampler.num_threads = data.draw(st.sampled_from([1, 1, 2, 3, 8]))
        sampler.temporal_strategy = data.draw(st.sampled_from(["last", "last", "uniform"]))
    except TypeError as error:  # the instance without __init__
        _classify(error)
    for _ in range(data.draw(st.integers(1, 3))):
        request = data.draw(requests(args, sizes, times))
        with_edge_ids = data.draw(st.sampled_from([False, False, True]))
        _record_input("sample_with_edge_ids" if with_edge_ids else "sample", request)
        ShiftyDict.sampler, ShiftyDict.request = sampler, request
        try:
            result = (sampler.sample_with_edge_ids if with_edge_ids else sampler.sample)(**request)
        except Exception as error:  # noqa: BLE001
            _classify(error)
            continue
        finally:
            ShiftyDict.sampler = ShiftyDict.request = None
        outcomes["sampled"] += 1
        if with_edge_ids:
            edge_ids = result[6] if isinstance(result, tuple) and len(result) == 7 else None
            if not isinstance(edge_ids, dict) or [(k, len(a)) for k, a in edge_ids.items()] != [
                    (k, len(a)) for k, a in result[0].items()]:
                raise FuzzFault(f"out_edge does not match out_row: {result!r}")
            result = result[:6]
        check_result(result, args, request)
