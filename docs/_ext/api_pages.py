"""The API reference pages: one page per importable package of the source tree, each an
``automodule`` of the installed package, so new packages and names appear without edits."""

import importlib
import inspect
from pathlib import Path


def packages(root):
    """The public modules: the package ``quorvix``, its public top-level modules (``quorvix.datasets``),
    then each public subpackage and its ``datasets`` module where it has one."""
    package = Path(root) / "src" / "quorvix"
    names = ["quorvix"] + [f"quorvix.{p.stem}" for p in sorted(package.glob("*.py"))
                           if not p.stem.startswith("_")]
    for init in sorted(package.glob("*/__init__.py")):
        if not init.parent.name.startswith("_"):
            names.append(f"quorvix.{init.parent.name}")
            if (init.parent / "datasets.py").exists():
                names.append(f"quorvix.{init.parent.name}.datasets")
    return names


def stub_files(root):
    """``{package: stub file}`` for the compiled classes the package re-exports: the stubs installed
    beside the compiled module, else those of the source tree."""
    source = Path(root) / "src" / "quorvix" / "_core.pyi"
    installed = Path(importlib.import_module("quorvix").__file__).with_name("_core.pyi")
    return {"quorvix": str(installed if installed.exists() else source)}


def summary(obj, stub_docs):
    """The first sentence-line of an object's text: the stub's for compiled objects."""
    name = f"{obj.__module__}.{obj.__qualname__}" if hasattr(obj, "__qualname__") else ""
    text = stub_docs.get(name) or inspect.getdoc(obj) or ""
    return " ".join(text.strip().split("\n\n")[0].split())


def write_overview(api_dir, names, stub_docs):
    """api/overview.md: every public name of every package with its one-line summary."""
    lines = []
    for package in names:
        module = importlib.import_module(package)
        lines += [f"## `{package}`", "", "| name | what it is |", "|---|---|"]
        for public in getattr(module, "__all__", []):
            obj = getattr(module, public)
            role = "class" if isinstance(obj, type) else "func"
            lines.append(f"| {{py:{role}}}`~{package}.{public}` | {summary(obj, stub_docs)} |")
        lines.append("")
    text = "\n".join(lines)
    page = api_dir / "overview.md"
    if not page.exists() or page.read_text() != text:
        page.write_text(text)


def write(api_dir, names, compiled):
    api_dir.mkdir(exist_ok=True)
    for stale in api_dir.glob("*.md"):
        if stale.stem not in names and stale.stem != "overview":
            stale.unlink()
    for name in names:
        # A Python class's base says what it plugs into (PyG's BaseSampler); a compiled one's
        # would only name the binding library's base.
        option = "" if name in compiled else "   :show-inheritance:\n"
        text = f"# `{name}`\n\n```{{eval-rst}}\n.. automodule:: {name}\n{option}```\n"
        page = api_dir / f"{name}.md"
        if not page.exists() or page.read_text() != text:  # unchanged pages keep Sphinx's cache
            page.write_text(text)


def submodule_patterns(root):
    """Patterns of the packages' own modules (``quorvix.pyg.loader``...): their names are documented
    where the package exports them, so references into them are not checked."""
    out = [r"quorvix\._.*"]
    for init in sorted((Path(root) / "src" / "quorvix").glob("*/__init__.py")):
        stems = sorted(p.stem for p in init.parent.glob("*.py") if p.stem not in {"__init__", "datasets"})
        if stems:
            out.append(rf"quorvix\.{init.parent.name}\.({'|'.join(stems)})(\..*)?")
    return out


def warn_on_empty_pages(app, doctree, docname):
    """A reference page that documents nothing (a package that failed to import, or whose names lost
    their docstrings) is a warning, which fails a build run with -W."""
    from sphinx import addnodes
    from sphinx.util import logging

    if docname.startswith("api/") and docname != "api/overview":
        if not any(True for _ in doctree.findall(addnodes.desc)):
            logging.getLogger(__name__).warning(f"the API page {docname} documents nothing", location=docname)


def setup(app):
    app.connect("doctree-resolved", warn_on_empty_pages)
    return {"parallel_read_safe": True}
