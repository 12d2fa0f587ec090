"""Signatures and docstrings of the compiled module, taken from its type stubs.

pybind11 writes C++-flavoured signatures (``dict``, ``numpy.ndarray``) and the module carries no
docstring for some of its members; the stubs hold the typed signatures and the missing text.
autodoc reads the module itself; this extension fills in from the stubs what the module lacks.
"""

import ast
import inspect
from pathlib import Path


def private_aliases(tree):
    """The stub's private aliases (``_Int64Array = ...``), a TypeVar by its bound, so that
    signatures show what a caller passes rather than names the module does not export."""
    aliases = {}
    for node in tree.body:
        if isinstance(node, ast.Assign) and len(node.targets) == 1 and isinstance(node.targets[0], ast.Name):
            name, value = node.targets[0].id, node.value
            if not name.startswith("_"):
                continue
            if isinstance(value, ast.Call) and ast.unparse(value.func) == "TypeVar":
                value = next((k.value for k in value.keywords if k.arg == "bound"), ast.Name("object"))
            aliases[name] = value
    return aliases


# How the stub's private aliases read in signatures: what a caller passes, in the words of the
# guide, rather than every type the stubs accept.
DISPLAY = {
    "_Int64Array": "ndarray",
    "_NodeTypeName": "str",
    "_EdgeTypeNames": "tuple[str, str, str]",
    "_ArraysByName": "dict[str, ArrayLike]",
}


def readable(text):
    """numpy.typing's spellings, shortened."""
    for long, short in (("npt.NDArray[np.int64]", "ndarray"), ("npt.NDArray[np.float64]", "ndarray"),
                        ("npt.ArrayLike", "ArrayLike")):
        text = text.replace(long, short)
    return text


class ExpandAliases(ast.NodeTransformer):
    def __init__(self, aliases):
        self.aliases = aliases

    def visit_Name(self, node):
        if node.id in DISPLAY:
            return ast.Name(DISPLAY[node.id])
        if node.id in self.aliases:
            return self.visit(self.aliases[node.id])
        return node


def stub_entries(stub_path, module):
    """``{qualified name: (arguments, return annotation, docstring)}`` for every class, function
    and property of a stub file."""
    tree = ast.parse(Path(stub_path).read_text())
    expand = ExpandAliases(private_aliases(tree))
    entries = {}

    def visit(body, prefix):
        for node in body:
            if isinstance(node, ast.ClassDef):
                name = f"{prefix}.{node.name}"
                entries[name] = (None, None, ast.get_docstring(node))
                visit(node.body, name)
            elif isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
                decorators = {ast.unparse(d) for d in node.decorator_list}
                if any(d.endswith(".setter") for d in decorators):
                    continue
                name = f"{prefix}.{node.name}"
                args = expand.visit(node.args)
                if args.args and args.args[0].arg == "self":
                    args.args = args.args[1:]
                returns = readable(ast.unparse(expand.visit(node.returns))) if node.returns else None
                entries[name] = (readable(f"({ast.unparse(args)})"), returns, ast.get_docstring(node))

    visit(tree.body, module)
    return entries


def setup(app):
    app.add_config_value("stub_api_files", {}, "env")
    entries = {}

    def load(app, config):
        for module, path in config.stub_api_files.items():
            entries.update(stub_entries(path, module))

    def signature(app, what, name, obj, options, sig, ret):
        if name not in entries or sig is None:
            return None
        stub_args, stub_ret, _ = entries[name]
        if what == "class":
            # The first constructor the stubs declare (NeighborSampler's over a Graph).
            stub_args, stub_ret = entries.get(f"{name}.__init__", (None, None, None))[0], None
        if what == "property":
            return "", stub_ret
        if what in {"function", "method", "class"} and stub_args is not None:
            return stub_args, stub_ret
        return None

    def own_text(name, obj):
        """The stub's docstring, which adds parameters, returns and examples to the compiled
        object's, else the compiled object's without pybind11's signature line."""
        if entries[name][2]:
            return entries[name][2]
        doc = inspect.getdoc(obj) or ""
        first, _, rest = doc.partition("\n")
        if first.startswith(name.rpartition(".")[2] + "("):
            doc = rest
        return doc.strip()

    def docstring(app, what, name, obj, options, lines):
        # After Napoleon, which reads a property's "True (the default): ..." as a type: the
        # compiled module's text is plain prose, kept as written.
        if name not in entries:
            return
        if what == "class":
            init = entries.get(f"{name}.__init__", (None, None, None))[2] or ""
            text = "\n\n".join(t for t in (own_text(name, obj), init) if t)
        else:
            text = own_text(name, obj)
        # The text replaces what Napoleon produced, so it goes through Napoleon here.
        from sphinx.ext.napoleon import GoogleDocstring

        if what == "property":
            lines[:] = text.splitlines()
        else:
            lines[:] = GoogleDocstring(text.splitlines(), app.config, app, what, name, obj).lines()

    app.connect("config-inited", load)
    app.connect("autodoc-process-signature", signature)
    app.connect("autodoc-process-docstring", docstring, priority=600)
    return {"parallel_read_safe": True}
