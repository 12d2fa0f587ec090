"""The API reference pages: one page per importable package of the source tree, each an
``automodule`` of the installed package, so new packages and names appear without edits."""

import importlib
from pathlib import Path


def packages(root):
    """The top-level modules the project installs: the compiled module (named by its stub
    package, ``<name>-stubs``) first, then every Python package under src/."""
    src = Path(root) / "src"
    compiled = sorted(p.name[:-len("-stubs")] for p in src.glob("*-stubs") if p.is_dir())
    pure = sorted(p.parent.name for p in src.glob("*/__init__.py"))
    return compiled + [name for name in pure if name not in compiled]


def stub_files(root):
    """``{module: stub file}`` for each compiled module: the stubs installed beside it, else
    those of the source tree."""
    out = {}
    for stub_dir in sorted((Path(root) / "src").glob("*-stubs")):
        module = stub_dir.name[:-len("-stubs")]
        installed = Path(importlib.import_module(module).__file__).parent / stub_dir.name / "__init__.pyi"
        out[module] = str(installed if installed.exists() else stub_dir / "__init__.pyi")
    return out


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
    """Patterns of the packages' own submodules (``quorvix_pyg.loader``...): their names are
    documented where the package exports them, so references into them are not checked."""
    out = []
    for init in sorted((Path(root) / "src").glob("*/__init__.py")):
        stems = sorted(p.stem for p in init.parent.glob("*.py") if p.stem != "__init__")
        if stems:
            out.append(rf"{init.parent.name}\.({'|'.join(stems)})(\..*)?")
    return out
