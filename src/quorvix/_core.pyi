"""Type information for the quorvix extension module."""

import os
from collections.abc import Iterable, Sequence
from typing import Any, Literal, SupportsIndex, TypeVar, overload

import numpy as np
import numpy.typing as npt
from _typeshed import SupportsKeysAndGetItem

_Int64Array = npt.NDArray[np.int64]
# Values of the dict arguments go through numpy.asarray unless they already are arrays.
# The TypeVars keep a dict[str, NDArray[np.int64]] or a dict[str, list[int]] acceptable
# although dict is invariant in its value type.
_ColptrArrays = TypeVar("_ColptrArrays", bound=npt.ArrayLike)
_RowArrays = TypeVar("_RowArrays", bound=npt.ArrayLike)
_FanOutArrays = TypeVar("_FanOutArrays", bound=npt.ArrayLike)
# Offsets rows may hold None as their lower bound, which needs an object array or a list.
_OffsetArrays = TypeVar("_OffsetArrays", bound=npt.ArrayLike | Sequence[Sequence[int | None]])

_NodeTypeName = str | bytes | bytearray
_EdgeTypeNames = tuple[_NodeTypeName, _NodeTypeName, _NodeTypeName] | Sequence[_NodeTypeName]
_ArraysByName = SupportsKeysAndGetItem[str, npt.ArrayLike] | Iterable[tuple[str, npt.ArrayLike]]

class Graph:
    """A heterogeneous temporal graph as an immutable value: per-edge-type CSC arrays, node and edge
    times, edge weights with their search structures. Any number of samplers share one graph
    (NeighborSampler(graph)); the arrays are borrowed when they are contiguous native int64
    (float64 for weights), copied otherwise.

    Example:
        >>> import numpy as np, quorvix
        >>> graph = quorvix.Graph(["user", "item"], [("item", "bought", "user")],
        ...                       {"item__bought__user": np.array([0, 2, 3])},
        ...                       {"item__bought__user": np.array([0, 1, 1])},
        ...                       {"item": np.array([5, 7])})
        >>> graph.num_nodes, graph.num_edges
        ({'user': 2, 'item': 2}, {'item__bought__user': 3})
    """

    def __init__(
        self,
        node_types: Sequence[_NodeTypeName],
        edge_types: Sequence[_EdgeTypeNames],
        colptr: dict[str, _ColptrArrays],
        row: dict[str, _RowArrays],
        node_time: _ArraysByName,
        *,
        edge_time: _ArraysByName | None = None,
        edge_weight: _ArraysByName | None = None,
    ) -> None:
        """Checks and keeps the arrays as NeighborSampler's constructor does, with the same messages.

        Args:
            node_types: the node type names.
            edge_types: ``(neighbour type, relation, frontier type)`` triples; each one's key in
                the dicts is ``"t0__t1__t2"``.
            colptr: per edge type key, int64 offsets indexed by frontier node id: node v's
                neighbours are ``row[colptr[v]:colptr[v + 1]]``.
            row: per edge type key, int64 neighbour ids, each node's run sorted by the
                neighbours' time where the neighbour type has times.
            node_time: per node type with timestamps, one int64 time per node (a dict, or
                ``(name, array)`` pairs).
            edge_time: per edge type key, one int64 time per row position (windows and
                fan-outs then read edge times instead of node times).
            edge_weight: per edge type key, one float64 weight per row position, for weighted
                random fan-outs.

        Returns:
            None: the graph holds the arrays (borrowed or copied).

        Raises:
            RuntimeError: an argument is malformed, with the message listed in the
                error reference (docs/errors.md).
        """
    @property
    def node_types(self) -> list[str]:
        """The node types, as given."""
    @property
    def edge_types(self) -> list[tuple[str, str, str]]:
        """The edge types as (neighbour type, relation, frontier type) tuples, as given."""
    @property
    def num_nodes(self) -> dict[str, int | None]:
        """Per node type, the node count ids are checked against: the length of its node_time, else the
        largest len(colptr) - 1 among the edge types whose frontier type it is, else None."""
    @property
    def num_edges(self) -> dict[str, int]:
        """Per edge type key, the positions of row its runs cover: colptr[-1] - colptr[0], or 0."""
    @property
    def colptr(self) -> dict[str, _Int64Array]:
        """Per edge type key, a read-only view of colptr."""
    @property
    def row(self) -> dict[str, _Int64Array]:
        """Per edge type key, a read-only view of row."""
    @property
    def node_time(self) -> dict[str, _Int64Array]:
        """Per node type with timestamps, a read-only view of them."""
    @property
    def edge_time(self) -> dict[str, _Int64Array]:
        """Per edge type key with edge times, a read-only view of them."""
    @property
    def edge_weight(self) -> dict[str, npt.NDArray[np.float64]]:
        """Per edge type key with weights, a read-only float64 view of them."""
    def check(self) -> None:
        """Checks the whole graph once, as NeighborSampler.check() does; raises RuntimeError at the first
        fault.

        Returns:
            None, when the graph is sound.

        Raises:
            RuntimeError: the first fault found, naming the edge type and position.
        """
    @property
    def unsorted_runs(self) -> dict[str, _Int64Array]:
        """Per edge type key, the nodes (ascending) whose runs are not sorted by the time sampling reads:
        the edge type's edge_time, else its neighbours' node_time. A call that samples such a run by
        time raises instead of bisecting it. Found when the graph is built, unless it was loaded from
        a directory whose graph.json records every run sorted."""
    def save(self, path: str | os.PathLike[str], *, overwrite: bool = False) -> None:
        """Writes the graph to the directory `path` (made if missing): one .npy file per array and a
        graph.json naming them. Refuses a directory that already holds a saved graph.

        Files are written under temporary names and renamed into place, so a process that has the
        directory open keeps reading the files it opened. With overwrite=True a saved graph in `path`
        is replaced rather than refused. A save that finds another one writing to `path` raises
        FileExistsError.

        Args:
            path: the directory to write.
            overwrite: replace a graph saved in `path` instead of refusing it.

        Returns:
            None.

        Raises:
            FileExistsError: `path` already holds a saved graph (without overwrite), or another
                save is writing to it.

        Example:
            >>> import tempfile
            >>> directory = tempfile.mkdtemp()
            >>> graph.save(directory)
            >>> quorvix.Graph.load(directory).num_edges
            {'item__bought__user': 3}
        """
    @staticmethod
    def load(path: str | os.PathLike[str], mmap: bool = True) -> Graph:
        """Opens a graph Graph.save wrote. With mmap (the default) the arrays are memory-mapped read-only,
        not read; such a graph pickles as its directory and reopens it when unpickled.

        Args:
            path: a directory that `save` wrote.
            mmap: map the arrays read-only (the default) instead of reading them into memory.

        Returns:
            Graph: the saved graph.

        Raises:
            ValueError: the directory or one of its files is damaged or does not match graph.json.
        """
    @staticmethod
    def from_tables(*args: Any, **kwargs: Any) -> Any:
        """A graph and its key maps from tables of rows: calls ``quorvix.tables.from_tables`` with the same arguments.

        Args:
            *args: the arguments of :func:`quorvix.tables.from_tables`.
            **kwargs: its keyword arguments.

        Returns:
            tuple[Graph, quorvix.tables.TableKeys]: the graph and its key maps.
        """
    @staticmethod
    def from_database(*args: Any, **kwargs: Any) -> Any:
        """A graph and its key maps from a database's tables: calls ``quorvix.tables.from_database`` with the same arguments.

        Args:
            *args: the arguments of :func:`quorvix.tables.from_database`.
            **kwargs: its keyword arguments.

        Returns:
            tuple[Graph, quorvix.tables.TableKeys]: the graph and its key maps.
        """
    def __getstate__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, state: tuple[Any, ...]) -> None: ...

class NeighborSampler:
    """Draws per-seed temporal subgraphs from a heterogeneous graph.

    Built over a :class:`Graph` (shared, any number of samplers) or, as the original constructor,
    straight from the arrays (the arguments of :class:`Graph`, with ``seed``). A sampler keeps a
    random engine (a 32-bit Mersenne Twister seeded once with ``seed``) and per-call storage: one
    sampler serves one call at a time; use one sampler per thread or worker.

    Args:
        graph: the graph to draw from (first form).
        node_types, edge_types, colptr, row, node_time, edge_time, edge_weight: the graph's
            arrays, as for :class:`Graph` (second form).
        seed: the random engine's seed (default 123).

    Raises:
        RuntimeError: a malformed argument, with the message listed in the error reference.

    Example:
        >>> sampler = quorvix.NeighborSampler(graph, seed=7)
        >>> out_row, out_col, out_node, out_batch, num_nodes, num_edges = sampler.sample(
        ...     {"item__bought__user": [2]}, {}, "user", np.array([0, 1]), np.array([6, 6]))
        >>> {k: v.tolist() for k, v in out_node.items()}  # item 1 (time 7) is after the seeds' time 6
        {'user': [0, 1], 'item': [0]}
    """

    @overload
    def __init__(self, graph: Graph, seed: SupportsIndex = 123) -> None:
        """A sampler over `graph`, shared with every other sampler over it."""
    @overload
    def __init__(
        self,
        node_types: Sequence[_NodeTypeName],
        edge_types: Sequence[_EdgeTypeNames],
        colptr: dict[str, _ColptrArrays],
        row: dict[str, _RowArrays],
        node_time: _ArraysByName,
        seed: SupportsIndex = 123,
        *,
        edge_time: _ArraysByName | None = None,
        edge_weight: _ArraysByName | None = None,
    ) -> None: ...
    @property
    def graph(self) -> Graph:
        """The graph the sampler draws from, shared with every other holder of it."""
    def sample(
        self,
        num_neighbors: dict[str, _FanOutArrays],
        sampling_time_offsets: dict[str, _OffsetArrays],
        entity_table: str | bytes | bytearray,
        seed_node: _Int64Array,
        seed_time: _Int64Array,
    ) -> tuple[
        dict[str, _Int64Array],
        dict[str, _Int64Array],
        dict[str, _Int64Array],
        dict[str, _Int64Array],
        dict[str, _Int64Array],
        dict[str, _Int64Array],
    ]:
        """Sample a subgraph around every seed.

        Args:
            num_neighbors: per edge type key, the fan-out of each hop (k most recent with times,
                k at random without; -1 takes all).
            sampling_time_offsets: per edge type key, one ``(lower, upper)`` window per hop,
                relative to the seed's time (lower excluded, None for no lower bound).
            entity_table: the node type of the seeds.
            seed_node: int64 seed ids.
            seed_time: one int64 time per seed, or an empty array: then the seeds' own node times,
                if their type has times, else no time rule.

        Returns:
            tuple: ``(out_row, out_col, out_node, out_batch, num_sampled_nodes,
            num_sampled_edges)``: per edge type the local indices of the neighbour and frontier
            end of every sampled edge, per node type the global id and seed index of every
            sampled node and the nodes added per hop (seeds first), per edge type the edges
            sampled per hop.

        Raises:
            RuntimeError: a malformed argument, with the message listed in the error reference.
        """
    def gather_rows(
        self,
        sources: list[npt.NDArray[Any]],
        indices: list[npt.NDArray[np.int64]],
        outputs: list[npt.NDArray[Any]],
    ) -> None:
        """Copy rows by index: outputs[k][i] = sources[k][indices[k][i]] for every k and i.

        The PyG loaders gather every feature of a batch with one call. The copies run on the
        sampler's ``num_threads`` threads (when the batch is large enough to pay), without the
        interpreter lock, one call at a time per sampler, as for ``sample``.

        Args:
            sources: C-contiguous arrays of at least one dimension, indexed along the first.
            indices: one C-contiguous int64 array per source, of rows to take.
            outputs: one writable C-contiguous array per source, of its dtype and row shape,
                with one row per index.

        Returns:
            None: the outputs hold the rows.

        Raises:
            ValueError: the lists differ in length or an array breaks a condition above.
            TypeError: an entry is not a NumPy array.
            IndexError: an index is outside its source's rows (the outputs then hold part of
                the rows).
        """
    def check(self) -> None:
        """Check the whole graph once; raise RuntimeError at the first fault.

        Finds a colptr entry outside row or decreasing, a row id that is negative or not
        below its type's node count, and a run not sorted by time where the neighbour type
        has timestamps (by edge time where the edge type has edge_time), and a weight in a
        run that is negative, NaN or infinite. Returns None on a sound graph.

        Returns:
            None, when the graph is sound.

        Raises:
            RuntimeError: the first fault found.
        """
    def sample_with_edge_ids(
        self,
        num_neighbors: dict[str, _FanOutArrays],
        sampling_time_offsets: dict[str, _OffsetArrays],
        entity_table: str | bytes | bytearray,
        seed_node: _Int64Array,
        seed_time: _Int64Array,
    ) -> tuple[
        dict[str, _Int64Array],
        dict[str, _Int64Array],
        dict[str, _Int64Array],
        dict[str, _Int64Array],
        dict[str, _Int64Array],
        dict[str, _Int64Array],
        dict[str, _Int64Array],
    ]:
        """Like sample, with a seventh dict out_edge: per edge type, aligned with out_row, the
        position in row of every sampled edge.

        Args:
            num_neighbors, sampling_time_offsets, entity_table, seed_node, seed_time: as for
                :meth:`sample`.

        Returns:
            tuple: the six dicts of :meth:`sample`, then ``out_edge``.

        Raises:
            RuntimeError: as :meth:`sample`.
        """
    def sample_groups(
        self,
        num_neighbors: dict[str, _FanOutArrays],
        sampling_time_offsets: dict[str, _OffsetArrays],
        seed_nodes: dict[str, _Int64Array],
        seed_groups: dict[str, _Int64Array],
        group_time: _Int64Array,
    ) -> tuple[
        dict[str, _Int64Array],
        dict[str, _Int64Array],
        dict[str, _Int64Array],
        dict[str, _Int64Array],
        dict[str, _Int64Array],
        dict[str, _Int64Array],
        dict[str, _Int64Array],
    ]:
        """Draws one subgraph per group of seeds; seeds may be of several node types.

        seed_nodes maps node types to int64 arrays of seed ids, seed_groups maps the same types to
        arrays of the same lengths holding each seed's group (a non-negative int), and group_time holds
        one time per group (indexed by group), or is empty for no time rule. The seeds of a type take
        local indices 0..n-1 of the type in the given order and are all expanded in the first hop;
        any other node is recorded once per group, and a seed id repeated within a group keeps its own
        index while later edges to the id point at its first occurrence.

        Args:
            num_neighbors, sampling_time_offsets: as for :meth:`sample`.
            seed_nodes: per node type, int64 seed ids.
            seed_groups: per node type, each seed's group.
            group_time: one time per group, or empty for no time rule.

        Returns:
            tuple: the seven dicts of sample_with_edge_ids; out_batch holds the group of every
            node and element 0 of num_sampled_nodes the number of seeds of the type.

        Raises:
            RuntimeError: as :meth:`sample`, and for groups outside group_time.
        """
    @property
    def disjoint(self) -> bool:
        """True (the default): sample and sample_with_edge_ids grow one subgraph per seed. False: one
        subgraph per distinct seed time (one for all seeds when the call has no seed times); seeds keep
        their places, any other node is recorded once per subgraph, and out_batch holds for every node
        the index of the first seed of its subgraph."""
    @disjoint.setter
    def disjoint(self, value: bool | np.bool_) -> None: ...
    @property
    def temporal_strategy(self) -> Literal["last", "uniform"]:
        """How a fan-out k chooses among the neighbours not later than the seed time: 'last'
        takes the k latest, 'uniform' k at random without replacement."""
    @temporal_strategy.setter
    def temporal_strategy(self, value: Literal["last", "uniform"]) -> None: ...
    @property
    def num_threads(self) -> int:
        """The most threads a call may use, from 1 to 256 (others are refused; it reads back as set);
        results do not depend on it. A call uses at most one thread per chunk of its seeds and starts
        no thread it has no chunk for."""
    @num_threads.setter
    def num_threads(self, value: int) -> None: ...
    @property
    def replace(self) -> bool:
        """Whether a random fan-out k draws its k edges with replacement (a drawn edge may be drawn
        again, and is then recorded again) rather than k distinct ones."""
    @replace.setter
    def replace(self, value: bool) -> None: ...

class NodeRecorder:
    """The (subgraph, node id) pairs of one node type a call reached, in local-index order, each found
    again in constant time: what a sampler that expands hops elsewhere records them in."""

    def __init__(self) -> None: ...
    def add_seeds(self, batch: _Int64Array, node: _Int64Array) -> None:
        """Appends the seeds: each takes its own local index; a seed repeated in its subgraph is found
        at its first copy."""
    def record(self, batch: _Int64Array, node: _Int64Array) -> npt.NDArray[np.int64]:
        """The local index of each (batch[i], node[i]), appending the pairs not recorded before in the
        order they first occur."""
    def record_answers(
        self, frontier_batch: npt.ArrayLike, frontier_begin: int, answers: list[tuple[npt.ArrayLike, ...]]
    ) -> tuple[_Int64Array, _Int64Array, _Int64Array]:
        """The owners' answers for one edge type's frontier (subgraphs frontier_batch, first local index
        frontier_begin), each (entries, counts, neighbour, edge) with its entries ascending, merged in
        entry order: (row, col, edge), the neighbours recorded here in that order."""
    def nodes(self, begin: int = 0, end: int = -1) -> npt.NDArray[np.int64]:
        """The node ids of local indices [begin, end) (end -1: all)."""
    def batches(self, begin: int = 0, end: int = -1) -> npt.NDArray[np.int64]:
        """The subgraphs of local indices [begin, end) (end -1: all)."""
    def __len__(self) -> int: ...

class GivenRuns:
    """One edge type's CSC runs for the frontier nodes a part owns (colptr indexed by the part's node
    index, row holding global neighbour ids), with the times windows read (one per row position),
    optional weights and optional edge ids (one per row position). Part `part` of `num_parts` owns
    the frontier ids id % num_parts == part (below node_count when given), at index id // num_parts.
    expand() runs one hop's rule for frontier nodes the caller gives."""

    def __init__(
        self,
        key: str,
        frontier_type: str,
        neighbour_type: str,
        colptr: npt.ArrayLike,
        row: npt.ArrayLike,
        *,
        time: npt.ArrayLike | None = None,
        weight: npt.ArrayLike | None = None,
        neighbour_count: SupportsIndex | None = None,
        edge_id: npt.ArrayLike | None = None,
        num_parts: SupportsIndex = 1,
        part: SupportsIndex = 0,
        node_count: SupportsIndex | None = None,
    ) -> None: ...
    def expand(
        self,
        nodes: npt.ArrayLike,
        seed_time: npt.ArrayLike,
        draw_key: npt.ArrayLike,
        *,
        draw_stream: SupportsIndex = 0,
        fan_out: SupportsIndex | None = None,
        window: tuple[SupportsIndex | None, SupportsIndex] | None = None,
        temporal: bool = False,
        temporal_strategy: Literal["last", "uniform"] = "last",
        replace: bool = False,
    ) -> tuple[_Int64Array, _Int64Array, _Int64Array]:
        """Expands the frontier ids `nodes`, each owned by the part (entry i with seed time seed_time[i]
        when `temporal`), by a fan-out or a window (lower or None, upper), as one hop of a sample call does. A rule that draws reads
        entry i's own Philox4x64-10 stream, keyed (draw_stream, draw_key[i, 0]) with counter
        (block, draw_key[i, 1], 0, 0) for blocks 1, 2, ... (draw_key is (n, 2) uint64: node id and
        subgraph; it may be empty for other rules). Returns (counts, neighbour, edge): the edges each entry
        took, then per sampled edge, in entry order, the neighbour id and the row position (the edge_id
        given for it, when the runs were given edge ids)."""

_Edges = tuple[_Int64Array, _Int64Array, _Int64Array, _Int64Array]

def gather_rows(
    sources: list[npt.NDArray[Any]], indices: list[npt.NDArray[np.int64]], outputs: list[npt.NDArray[Any]]
) -> None:
    """NeighborSampler.gather_rows on the calling thread, without a sampler: copies
    sources[k][indices[k]] into outputs[k] for every k, with the same checks and errors."""

def induced_edges(
    colptr: _Int64Array,
    row: _Int64Array,
    perm: _Int64Array,
    edge_time: _Int64Array | None,
    num_src_nodes: int,
    src_node: _Int64Array,
    src_batch: _Int64Array,
    src_hop_counts: _Int64Array,
    dst_node: _Int64Array,
    dst_batch: _Int64Array,
    dst_hop_counts: _Int64Array,
    group_time: _Int64Array,
    num_hops: int,
    *,
    sampler: NeighborSampler | None = None,
) -> _Edges:
    """Every edge of one edge type (CSC colptr, row, perm, edge_time or None) between two sampled
    nodes of one subgraph, no later than the subgraph's time group_time[batch] (empty: no bound)
    when the type has edge times. Returns (row, col, e_id, hop_counts): local ends, edge ids and
    edges per hop; an edge's hop is the later of its ends' hops less one. sampler: a
    NeighborSampler whose threads read a large subgraph's runs (one call at a time, as for
    sample); the edges do not depend on it."""

def reverse_edges(
    colptr: _Int64Array,
    row: _Int64Array,
    perm: _Int64Array,
    edge_time: _Int64Array | None,
    index_row: _Int64Array | None,
    index_position: _Int64Array | None,
    row_node: _Int64Array,
    row_batch: _Int64Array,
    col_node: _Int64Array,
    target: _Edges,
    sources: Sequence[tuple[_Int64Array, _Int64Array, _Int64Array, _Int64Array, bool]],
    group_time: _Int64Array,
    source_index: Sequence[tuple[_Int64Array, _Int64Array] | None] | None = None,
    by_destination: bool = False,
    *,
    sampler: NeighborSampler | None = None,
) -> _Edges:
    """The sampled edges target = (row, col, e_id, hop_counts) of one edge type R -> C plus, per
    hop, reverse copies of the sources ((row, col, e_id, hop_counts, same_type), sampled edges
    C -> R) so that each pair is joined at least as often as any source joins it the other way.
    A copy takes the id of the graph's earliest edge between its ends (no later than
    group_time[batch] when the type has edge times; found through index_row and index_position
    on long runs when given), else the sampled edge's id for a same_type source, else it is left
    out. source_index, one (position, reverse_position) or None per source: the sampled edges'
    CSC positions in the source type, and per position of that type the target's CSC position of
    the earliest edge joining its ends the other way (-1: none); the copies' edges are then read
    there instead of searched for. by_destination: the edges sorted by col, then row (equal pairs
    in hop order), instead of by hop; the counts per hop stay. sampler: a NeighborSampler whose
    threads walk many columns (one call at a time, as for sample); the edges do not depend on it.
    Returns (row, col, e_id, hop_counts)."""
