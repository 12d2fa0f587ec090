"""Every message the sampler can raise is in the error reference, docs/errors.md, as it is raised."""

import re
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[1]
SOURCES = sorted(p for p in (ROOT / "src").rglob("*") if p.suffix in {".cpp", ".hpp", ".h"})
ERROR_CALLS = re.compile(r"\bthrow\b|\bPyErr_(?:Format|SetString)\b|\braise_from\b|\bset_error\b")
PRINTF_FIELD = re.compile(r"%[-+ #0]*\d*(?:\.\d+)?[sdiuxXfc]")


def error_reference():
    return (ROOT / "docs" / "errors.md").read_text()


# Comments, character literals, and runs of adjacent string literals (group 1).
TOKENS = re.compile(r"""//[^\n]*|/\*.*?\*/|'(?:[^'\\\n]|\\.)*'|((?:"(?:[^"\\\n]|\\.)*"\s*)+)""", re.S)
STRING = re.compile(r'"((?:[^"\\\n]|\\.)*)"')


def message_pieces():
    """Fixed text of every error message composed in src/: the literals of each throw (and
    each Python error set), and of the strings it is built from in the same file."""
    pieces = set()
    for path in SOURCES:
        literals = []

        def mark(m):  # comments and characters go; each run of string literals is joined,
            if not m.group(1):  # as the compiler joins them, and left as a marker
                return " "
            literals.append("".join(STRING.findall(m.group(1))).encode().decode("unicode_escape"))
            return f"@{len(literals) - 1}@ "

        code = re.sub(r"^\s*#.*$", "", path.read_text(), flags=re.M)  # include paths are no messages
        statements = TOKENS.sub(mark, code).split(";")
        raising = [s for s in statements if ERROR_CALLS.search(s)]
        used = set(re.findall(r"\w+", " ".join(raising)))
        for statement in statements:
            built = re.search(r"std::string\s+(\w+)\s*=", statement)
            if statement in raising or (built and built.group(1) in used):
                for index in re.findall(r"@(\d+)@", statement):
                    for piece in PRINTF_FIELD.split(literals[int(index)]):
                        if re.search(r"[A-Za-z]{2}", piece):
                            pieces.add((path.relative_to(ROOT).as_posix(), piece))
    return sorted(pieces)


def test_every_message_piece_in_the_sources_is_documented():
    pieces = message_pieces()
    assert len(pieces) >= 15  # the scan found the messages
    reference = error_reference()
    missing = [f"{path}: {piece!r}" for path, piece in pieces if piece not in reference]
    assert not missing, "not in docs/errors.md:\n" + "\n".join(missing)


def documented_messages():
    """(exception type name, regex) for each message in the error reference tables."""
    out = []
    for cell in re.findall(r"^\| `([^`]+)` \|", error_reference(), re.M):
        kind, sep, message = cell.partition(": ")
        if not (sep and re.fullmatch(r"[A-Z]\w*Error", kind)):
            kind, message = "RuntimeError", cell
        if message in {"TypeError", "KeyError"}:
            continue
        parts = re.split(r"<[^>]+>", message)
        out.append((kind, "".join(p if k == 0 else ".+?" + p
                                  for k, p in enumerate(map(re.escape, parts)))))
    return out


@pytest.fixture(scope="module")
def quorvix():
    return pytest.importorskip("quorvix")


def i64(*values):
    return np.array(values, dtype=np.int64)


SCHEMA = (["u", "o"], [("o", "by", "u"), ("u", "of", "o")])
GOOD = {  # user 0 has orders 0 and 1, user 1 has order 2; orders at times 1, 2, 3
    "colptr": {"o__by__u": i64(0, 2, 3), "u__of__o": i64(0, 1, 2, 3)},
    "row": {"o__by__u": i64(0, 1, 2), "u__of__o": i64(0, 0, 1)},
    "node_time": {"u": i64(0, 0), "o": i64(1, 2, 3)},
}


def build(quorvix, node_types=SCHEMA[0], edge_types=SCHEMA[1], **changes):
    args = {**GOOD, **changes}
    return quorvix.NeighborSampler(node_types, edge_types, args["colptr"], args["row"], args["node_time"])


def sample(sampler, num_neighbors=None, offsets=None, entity="u", seeds=i64(0), times=i64(5)):
    if num_neighbors is None:
        num_neighbors = {"o__by__u": [1], "u__of__o": [1]}
    return sampler.sample(num_neighbors, offsets or {}, entity, seeds, times)


class Key:
    """Not a str, but its str() names a node type."""

    def __init__(self, name):
        self.name = name

    def __str__(self):
        return self.name


CASES = {
    "invalid key": lambda q: build(q, colptr={**GOOD["colptr"], "x": i64(0)}),
    "dict entry not 1-D": lambda q: build(q, row={**GOOD["row"], "o__by__u": np.zeros((3, 1), np.int64)}),
    "dict entry not int64": lambda q: build(q, node_time={"u": np.array([0, 0], np.int32)}),
    "unknown neighbour type": lambda q: build(q, ["u"], [("o", "by", "u")]),
    "seed array not 1-D": lambda q: sample(build(q), seeds=np.zeros((1, 1), np.int64)),
    "seed array not int64": lambda q: sample(build(q), times=np.array([5.0])),
    "invalid entity table": lambda q: sample(build(q), entity="U"),
    "seed size mismatch": lambda q: sample(build(q), times=i64(5, 6)),
    "edge type in both dicts": lambda q: sample(build(q), offsets={"o__by__u": [[0, 1]]}),
    "window without timestamps": lambda q: sample(
        build(q, node_time={"u": i64(0, 0)}), {"u__of__o": [1]}, {"o__by__u": i64(0, 0).reshape(1, 2)}),
    "window not (N, 2)": lambda q: sample(build(q), {"u__of__o": [1]}, {"o__by__u": np.zeros((1, 3))}),
    "float offsets": lambda q: sample(build(q), {"u__of__o": [1]}, {"o__by__u": np.array([[-1.5, 0.0]])}),
    "unsorted neighbours": lambda q: sample(build(q, node_time={"u": i64(0, 0), "o": i64(2, 1, 3)})),
    "frontier id past colptr": lambda q: sample(build(q, node_time={"u": i64(0, 0, 0), "o": i64(1, 2, 3)}),
                                                seeds=i64(2)),
    "id past the node count": lambda q: sample(build(q), seeds=i64(2)),
    "negative id": lambda q: sample(build(q), seeds=i64(-1)),
    "colptr past row": lambda q: sample(build(q, colptr={**GOOD["colptr"], "o__by__u": i64(0, 2, 9)}),
                                        seeds=i64(1)),
    "neighbour id past node_time": lambda q: sample(build(q, row={**GOOD["row"], "o__by__u": i64(0, 7, 2)})),
    "check: colptr outside row": lambda q: build(q, colptr={**GOOD["colptr"], "o__by__u": i64(0, 2, 4)}).check(),
    "check: decreasing colptr": lambda q: build(q, colptr={**GOOD["colptr"], "o__by__u": i64(0, 3, 2)}).check(),
    "check: negative id": lambda q: build(q, row={**GOOD["row"], "o__by__u": i64(0, -1, 2)}).check(),
    "check: id past the node count": lambda q: build(q, row={**GOOD["row"], "o__by__u": i64(0, 1, 3)}).check(),
    "check: unsorted run": lambda q: build(q, node_time={"u": i64(0, 0), "o": i64(2, 1, 3)}).check(),
    "colliding keys": lambda q: build(q, ["a__b", "a", "d"], [("a__b", "c", "d"), ("a", "b__c", "d")],
                                      colptr={"a__b__c__d": i64(0)}, row={"a__b__c__d": i64()}, node_time={}),
    "repeated node type": lambda q: build(q, ["u", "o", "u"]),
    "repeated edge type": lambda q: build(q, edge_types=SCHEMA[1] * 2),
    "NUL in a name": lambda q: build(q, ["u", "o", "x\0"]),
    "node_time key not str": lambda q: build(q, node_time={"u": i64(0, 0), Key("o"): i64(1, 2, 3)}),
    "second __init__": lambda q: build(q).__init__(*SCHEMA, **GOOD),
    "unknown frontier type": lambda q: sample(
        build(q, ["u", "o"], [("o", "by", "u"), ("u", "of", "x")], colptr={
            "o__by__u": i64(0, 2, 3), "u__of__x": i64(0)}, row={"o__by__u": i64(0, 1, 2), "u__of__x": i64()}),
        {"o__by__u": [1], "u__of__x": [1]}),
}


@pytest.mark.parametrize("case", CASES)
def test_raised_message_is_documented_as_raised(quorvix, case):
    with pytest.raises(Exception) as raised:
        CASES[case](quorvix)
    kind, message = type(raised.value).__name__, str(raised.value)
    matches = [k for k, pattern in documented_messages() if re.fullmatch(pattern, message)]
    assert matches, f"undocumented: {kind}: {message}"
    assert kind in matches, f"documented as {matches}, raised as {kind}"


def bridge_message_pieces():
    """Fixed text of every message raised in quorvix.pyg: the literal parts of each raise's
    string or f-string."""
    import ast

    pieces = set()
    for path in sorted((ROOT / "src" / "quorvix" / "pyg").glob("*.py")):
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.Raise) and isinstance(node.exc, ast.Call) and node.exc.args:
                message = node.exc.args[0]
                parts = message.values if isinstance(message, ast.JoinedStr) else [message]
                for part in parts:
                    if isinstance(part, ast.Constant) and isinstance(part.value, str):
                        if re.search(r"[A-Za-z]{2}", part.value):
                            pieces.add((path.name, part.value))
    return sorted(pieces)


def test_every_message_of_the_pyg_bridge_is_documented():
    pieces = bridge_message_pieces()
    assert len(pieces) >= 30
    reference = error_reference()
    missing = [f"{path}: {piece!r}" for path, piece in pieces if piece not in reference]
    assert not missing, "not in docs/errors.md:\n" + "\n".join(missing)
