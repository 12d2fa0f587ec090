"""The module, the class and the sampler's constructor."""

import enum

import numpy as np
import pytest

import quorvix
from graphs import PAPER, as_lists, draws_graph, i64, paper_graph, shop_graph
from reference_sampler import ReferenceSampler

NS = quorvix.NeighborSampler
NONE = i64()


def paper_result(sampler):
    return as_lists(sampler.sample({PAPER: i64(-1, -1)}, {}, "paper", i64(0), NONE))


PAPER_RESULT = paper_result(ReferenceSampler(**paper_graph()))


# -- module and class -----------------------------------------------------------------


def test_module_exports_the_graph_and_the_sampler():
    assert quorvix.__all__ == ["Graph", "NeighborSampler", "SeedTimeWarning", "partition"]
    assert quorvix._core.__doc__ is None
    assert [name for name in dir(quorvix._core) if not name.startswith("__")] == [
        "GivenRuns", "Graph", "NeighborSampler", "NodeRecorder", "gather_rows", "induced_edges", "reverse_edges"]
    assert quorvix.Graph is quorvix._core.Graph and quorvix.NeighborSampler.__module__ == "quorvix"


def test_signatures_and_docstrings():
    assert NS.__doc__ is None
    assert NS.__init__.__doc__ == (
        "__init__(self: quorvix.NeighborSampler, node_types: list[str], "
        "edge_types: list[tuple[str, str, str]], colptr: dict, row: dict, node_time: object, "
        "seed: int = 123, *, edge_time: object = None, edge_weight: object = None) -> None\n"
    )
    assert NS.sample.__doc__ == (
        "sample(self: quorvix.NeighborSampler, num_neighbors: dict, sampling_time_offsets: dict, "
        "entity_table: str, seed_node: numpy.ndarray, seed_time: numpy.ndarray) "
        "-> tuple[dict, dict, dict, dict, dict, dict]\n"
    )
    assert NS.check.__doc__ == "check(self: quorvix.NeighborSampler) -> None\n"


def test_instances_take_no_new_attributes():
    sampler = NS(**paper_graph())
    with pytest.raises(AttributeError):
        sampler.extra = 1


def test_subclasses():
    class Plain(NS):
        pass

    class Skips(NS):
        def __init__(self):
            pass

    assert paper_result(Plain(**paper_graph())) == PAPER_RESULT
    with pytest.raises(TypeError) as info:
        Skips()
    # pybind11 2.13 names the bound class here, not the subclass.
    assert str(info.value) == "quorvix.NeighborSampler.__init__() must be called when overriding __init__"


def test_arguments_by_keyword():
    graph = paper_graph()
    sampler = NS(node_time=graph["node_time"], row=graph["row"], colptr=graph["colptr"],
                 edge_types=graph["edge_types"], node_types=graph["node_types"], seed=5)
    assert paper_result(sampler) == PAPER_RESULT


# -- accepted and refused argument kinds ----------------------------------------------


@pytest.mark.parametrize(
    "changes",
    [
        dict(node_types=("paper",)),
        dict(node_types=[b"paper"]),
        dict(edge_types=[["paper", "cites", "paper"]]),
        dict(edge_types=(("paper", b"cites", bytearray(b"paper")),)),
    ],
)
def test_accepted_names(changes):
    assert paper_result(NS(**{**paper_graph(), **changes})) == PAPER_RESULT


def test_three_character_string_is_an_edge_type():
    sampler = NS(["a", "c"], ["abc"], {"a__b__c": i64(0, 1)}, {"a__b__c": i64(0)}, {})
    result = as_lists(sampler.sample({"a__b__c": i64(-1)}, {}, "c", i64(0), NONE))
    assert result[0] == {"a__b__c": [0]} and result[2] == {"a": [0], "c": [0]}


@pytest.mark.parametrize(
    "changes",
    [
        dict(node_types="paper"),
        dict(node_types=["paper", 1]),
        dict(node_types=None),
        dict(edge_types=[("paper", "cites")]),
        dict(edge_types=[("paper", "cites", "paper", "x")]),
        dict(edge_types=[("paper", "cites", 3)]),
        dict(colptr=[(PAPER, i64(0, 2, 3, 3))]),
        dict(row=None),
        dict(seed=2**31),
        dict(seed=-(2**31) - 1),
        dict(seed=1.0),
        dict(seed=np.float64(1)),
        dict(seed="1"),
        dict(seed=None),
    ],
)
def test_refused_argument_kinds(changes):
    with pytest.raises(TypeError):
        NS(**{**paper_graph(), **changes})


def test_node_time_goes_through_dict():
    with pytest.raises(TypeError) as info:
        NS(**{**paper_graph(), "node_time": None})
    with pytest.raises(TypeError) as expected:
        dict(None)
    assert str(info.value) == str(expected.value)
    graph = shop_graph()
    request = ({"item__bought__user": i64(-1), "user__bought_by__item": i64(-1)}, {}, "user", i64(0), i64(1))
    as_pairs = NS(**{**graph, "node_time": list(graph["node_time"].items())})
    assert as_lists(as_pairs.sample(*request)) == as_lists(NS(**graph).sample(*request))
    assert as_lists(as_pairs.sample(*request))[2]["item"] == [0]  # item 1 is later than 1


class Index:
    def __index__(self):
        return 7


@pytest.mark.parametrize(
    "seed, model_seed",
    [
        (True, 1),
        (np.int64(7), 7),
        (np.int32(7), 7),
        (np.uint8(7), 7),
        (Index(), 7),
        (-1, 2**32 - 1),
        (2**31 - 1, 2**31 - 1),
        (-(2**31), 2**31),
    ],
)
def test_seed_values(seed, model_seed):
    sampler, model = NS(**draws_graph(), seed=seed), ReferenceSampler(**draws_graph(), seed=model_seed)
    request = ({"item__a__user": i64(3), "item__b__user": i64(2)}, {}, "user", i64(0, 0, 0), NONE)
    for _ in range(3):
        assert as_lists(sampler.sample(*request)) == as_lists(model.sample(*request))


# -- checks of the graph dicts --------------------------------------------------------


INT64 = "must have dtype int64."


class Named:
    """A key that is not a str but whose text form is an allowed name."""

    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


def construct(**changes):
    NS(**{**paper_graph(), **changes})


def refused(message, **changes):
    with pytest.raises(RuntimeError) as info:
        construct(**changes)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "changes, message",
    [
        (dict(colptr={"bad": i64(0)}), "Invalid type 'bad' found in colptr."),
        (
            dict(colptr={("paper", "cites", "paper"): i64(0, 2, 3, 3)}),
            "Invalid type '('paper', 'cites', 'paper')' found in colptr.",
        ),
        (dict(row={PAPER.encode(): i64(1, 2, 2)}), f"Invalid type 'b'{PAPER}'' found in row."),
        (dict(node_time={"Paper": i64(1, 2, 3)}), "Invalid type 'Paper' found in node_time."),
        # The key is refused before its value is looked at, even one NumPy cannot coerce.
        (dict(colptr={PAPER: i64(0, 2, 3, 3), "bad": [[1], [1, 2]]}), "Invalid type 'bad' found in colptr."),
        (dict(colptr={PAPER: np.zeros((4, 1), dtype=np.int64)}), f"Type '{PAPER}' in colptr is not 1D."),
        (dict(colptr={PAPER: np.zeros((0, 2), dtype=np.int64)}), f"Type '{PAPER}' in colptr is not 1D."),
        (dict(row={PAPER: 1}), f"Type '{PAPER}' in row is not 1D."),
        (dict(node_time={"paper": np.int64(1)}), "Type 'paper' in node_time is not 1D."),
        (dict(row={PAPER: np.array([1, 2, 2], dtype=np.uint64)}), f"Type '{PAPER}' in row {INT64}"),
        (dict(colptr={PAPER: np.array([0, 2, 3, 3], dtype=np.int32)}), f"Type '{PAPER}' in colptr {INT64}"),
        (dict(row={PAPER: np.array([1.0, 2.0, 2.0])}), f"Type '{PAPER}' in row {INT64}"),
        (dict(node_time={"paper": np.array([True, False, True])}), f"Type 'paper' in node_time {INT64}"),
    ],
)
def test_graph_dict_messages(changes, message):
    refused(message, **changes)


def test_graph_dict_checks_report_the_first_offence():
    two_types = dict(node_types=["paper", "venue"])
    float_times, flat_times = np.array([1.0, 2.0, 3.0]), np.zeros((3, 1), dtype=np.int64)
    refused("Type 'paper' in node_time must have dtype int64.", **two_types,
            node_time={"paper": float_times, "venue": flat_times})
    refused("Type 'venue' in node_time is not 1D.", **two_types,
            node_time={"venue": flat_times, "paper": float_times})
    # colptr, then row, then node_time.
    refused("Invalid type 'x' found in colptr.",
            colptr={"x": i64()}, row={"y": i64()}, node_time={"z": i64()})
    refused("Invalid type 'y' found in row.", row={"y": i64()}, node_time={"z": i64()})


def test_graph_dicts_that_pass():
    # Empty arrays pass whatever their dtype.
    construct(colptr={PAPER: np.array([], dtype=float)}, row={PAPER: np.array([], dtype=bool)},
              node_time={"paper": np.array([], dtype=np.uint8)})
    # Values that NumPy can coerce, and errors of that coercion, pass through.
    assert paper_result(NS(**{**paper_graph(), "colptr": {PAPER: [0, 2, 3, 3]}})) == PAPER_RESULT
    with pytest.raises(ValueError):
        construct(colptr={PAPER: [[1], [1, 2]]})


class Colour(enum.Enum):
    PAPER = "paper"

    def __str__(self):
        return self.value


def test_a_key_whose_text_form_is_allowed():
    key = "5__r__5"
    graph = dict(node_types=["5"], edge_types=[("5", "r", "5")], colptr={key: i64(0, 1)}, row={key: i64(0)})
    with pytest.raises(KeyError) as info:
        NS(**{**graph, "colptr": {Named(key): i64(0, 1)}}, node_time={})
    assert info.value.args == (key,)
    # In node_time such a key would match no lookup and leave the type without timestamps.
    with pytest.raises(RuntimeError) as info:
        NS(**graph, node_time={"5": i64(1), 5: i64(1)})
    assert str(info.value) == "Type '5' in node_time has a key of type int, not str."
    refused("Type 'paper' in node_time has a key of type Colour, not str.", node_time={Colour.PAPER: i64(1, 2, 3)})
    timed = NS(**graph, node_time={"5": i64(1)})
    assert as_lists(timed.sample({}, {key: np.array([[0, 1]])}, "5", i64(0), i64(0)))[0] == {key: [0]}


COLLIDING = [("a__b", "c", "d"), ("a", "b__c", "d")]


@pytest.mark.parametrize(
    "changes, message",
    [
        (
            dict(node_types=["a__b", "a", "d"], edge_types=COLLIDING, colptr={"a__b__c__d": i64(0, 1)},
                 row={"a__b__c__d": i64(0)}),
            "Edge types ('a__b', 'c', 'd') and ('a', 'b__c', 'd') share the key 'a__b__c__d'.",
        ),
        (dict(node_types=["paper", "venue", "paper"]), "Node type 'paper' appears twice in 'node_types'."),
        (
            dict(edge_types=[("paper", "cites", "paper")] * 2),
            "Edge type ('paper', 'cites', 'paper') appears twice in 'edge_types'.",
        ),
        (dict(node_types=["paper", "u\0x"], node_time={"u\0x": i64(1)}),
         "Name 'u\\x00x' in 'node_types' contains a NUL character."),
        (
            dict(edge_types=[("paper", "ci\0tes", "paper")], colptr={"paper__ci\0tes__paper": i64(0, 2, 3, 3)},
                 row={"paper__ci\0tes__paper": i64(1, 2, 2)}),
            "Name 'ci\\x00tes' in 'edge_types' contains a NUL character.",
        ),
        # NUL first, then repeated node types, then edge types, then node_time keys.
        (dict(node_types=["paper", "paper", "\0"]), "Name '\\x00' in 'node_types' contains a NUL character."),
        (dict(node_types=["paper", "paper"], edge_types=[("paper", "cites", "paper")] * 2,
              node_time={Colour.PAPER: i64()}),
         "Node type 'paper' appears twice in 'node_types'."),
    ],
)
def test_names_that_would_share_entries_are_refused(changes, message):
    refused(message, **changes)


def test_refusals_of_shared_entries_come_after_the_specified_checks():
    twice = dict(node_types=["paper", "paper"])
    refused("Invalid type 'x' found in node_time.", **twice, node_time={"x": i64()})
    with pytest.raises(KeyError):
        construct(**twice, row={})
    key = "zzz__r__paper"  # the neighbour type check comes last
    refused("Edge type ('paper', 'cites', 'paper') appears twice in 'edge_types'.",
            edge_types=[("paper", "cites", "paper")] * 2 + [("zzz", "r", "paper")],
            colptr={PAPER: i64(0, 2, 3, 3), key: i64(0)}, row={PAPER: i64(1, 2, 2), key: i64()})


def test_missing_graph_arrays_raise_key_error():
    edge_types = [("a", "x", "b"), ("b", "y", "a"), ("a", "z", "a")]
    keys = ["a__x__b", "b__y__a", "a__z__a"]
    arrays = {k: i64(0, 0) for k in keys}
    # Keys in edge type order, colptr before row for each key.
    for colptr, row, missing in [
        ({}, {}, "a__x__b"),
        ({keys[0]: i64(0, 0), keys[1]: i64(0, 0)}, {keys[0]: i64()}, "b__y__a"),
        (arrays, {keys[0]: i64(), keys[1]: i64()}, "a__z__a"),
    ]:
        with pytest.raises(KeyError) as info:
            NS(["a", "b"], edge_types, colptr, row, {})
        assert info.value.args == (missing,)


def test_unknown_neighbour_type_is_refused_after_the_other_checks():
    key = "zzz__r__a"
    graph = dict(node_types=["a"], edge_types=[("zzz", "r", "a")], colptr={key: i64(0, 1)}, row={key: i64(0)})
    with pytest.raises(RuntimeError) as info:
        NS(**graph, node_time={})
    assert str(info.value) == f"Edge type '{key}' has neighbour type 'zzz', which is not in 'node_types'."
    with pytest.raises(RuntimeError, match="^Invalid type 'q' found in node_time.$"):
        NS(**graph, node_time={"q": i64()})
    with pytest.raises(KeyError):
        NS(**{**graph, "row": {}}, node_time={})
