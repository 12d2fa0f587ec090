"""Sphinx configuration: Markdown pages through MyST, the API reference generated from the
installed modules (their docstrings, and the compiled module's type stubs)."""

import sys
from pathlib import Path

DOCS = Path(__file__).resolve().parent
ROOT = DOCS.parent
sys.path.insert(0, str(DOCS / "_ext"))

import api_pages  # noqa: E402
import stub_api  # noqa: E402

# quorvix.pyg and quorvix.dist import torch and torch_geometric; without them their API pages would
# be empty, so the build stops here and says what to install.
for _needed in ("torch", "torch_geometric"):
    try:
        __import__(_needed)
    except ImportError as error:
        raise RuntimeError(f"the API pages of quorvix.pyg and quorvix.dist need {_needed}: install "
                           "PyTorch and PyTorch Geometric (docs/getting-started.md) before building the "
                           "site") from error

project = "quorvix"
author = "the quorvix developers"
copyright = "the quorvix developers"

extensions = ["myst_parser", "sphinx.ext.autodoc", "sphinx.ext.napoleon", "sphinx_copybutton", "stub_api",
              "guide_pages", "api_pages"]
source_suffix = {".md": "markdown"}
# api/overview.md is written at every build and included in api.md.
exclude_patterns = ["_build", "_ext", "api/overview.md", "Thumbs.db", ".DS_Store"]
html_theme = "furo"
html_title = "quorvix"
html_static_path = ["_static"]
html_css_files = ["wide.css"]

# The copy button leaves out the prompts and the output of interactive examples.
copybutton_prompt_text = r">>> |\.\.\. |\$ "
copybutton_prompt_is_regexp = True
copybutton_only_copy_prompt_lines = True

# Links between pages go to headings by their GitHub-style anchors, as on a code host.
myst_heading_anchors = 3
# Definition lists, for the glossary.
myst_enable_extensions = ["deflist"]
# Broken references fail the build; references to other projects' types (NumPy, PyTorch,
# PyG, typing) have no inventory here (the build uses no network) and are not checked.
nitpicky = True
nitpick_ignore_regex = [(r"py:.*", r"(?!quorvix).*")] + [
    (r"py:.*", pattern) for pattern in api_pages.submodule_patterns(ROOT)]

autodoc_member_order = "bysource"
# A class's signature and text also come from __init__ (the compiled classes keep their signatures
# there); the compiled classes' texts come from the stubs (stub_api), class and __init__ together.
autoclass_content = "both"
autodoc_typehints = "signature"
autodoc_default_options = {"members": True, "undoc-members": True}
napoleon_google_docstring = True
napoleon_numpy_docstring = False

# The API pages: one per package of src/, written at every build (docs/api/ is not checked in).
stub_api_files = api_pages.stub_files(ROOT)
api_pages.write(DOCS / "api", api_pages.packages(ROOT), compiled=stub_api_files)
api_pages.write_overview(DOCS / "api", api_pages.packages(ROOT),
                         {name: entry[2] for path in stub_api_files.values()
                          for name, entry in stub_api.stub_entries(path, "quorvix").items()})
