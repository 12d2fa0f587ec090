"""The API reference pages: one page per importable package of the source tree, each an
``automodule`` of the installed package, so new packages and names appear without edits."""

import importlib
from pathlib import Path


def packages(root):
    """The package ``quorvix`` first, then each of its public subpackages under src/quorvix."""
    package = Path(root) / "src" / "quorvix"
    subpackages = sorted(p.parent.name for p in package.glob("*/__init__.py") if not p.parent.name.startswith("_"))
    return ["quorvix"] + [f"quorvix.{name}" for name in subpackages]


def stub_files(root):
    """``{package: stub file}`` for the compiled classes the package re-exports: the stubs installed
    beside the compiled module, else those of the source tree."""
    source = Path(root) / "src" / "quorvix" / "_core.pyi"
    installed = Path(importlib.import_module("quorvix").__file__).with_name("_core.pyi")
    return {"quorvix": str(installed if installed.exists() else source)}


def write(api_dir, names, compiled):
    api_dir.mkdir(exist_ok=True)
    for stale in api_dir.glob("*.md"):
        if stale.stem not in names:
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
        stems = sorted(p.stem for p in init.parent.glob("*.py") if p.stem != "__init__")
        if stems:
            out.append(rf"quorvix\.{init.parent.name}\.({'|'.join(stems)})(\..*)?")
    return out
