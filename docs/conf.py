"""Sphinx configuration: Markdown pages through MyST, the API reference generated from the
installed modules (their docstrings, and the compiled module's type stubs)."""

import sys
from pathlib import Path

DOCS = Path(__file__).resolve().parent
ROOT = DOCS.parent
sys.path.insert(0, str(DOCS / "_ext"))

import api_pages  # noqa: E402

project = "quorvix"
author = "the quorvix developers"
copyright = "the quorvix developers"

extensions = ["myst_parser", "sphinx.ext.autodoc", "sphinx.ext.napoleon", "stub_api", "guide_pages"]
source_suffix = {".md": "markdown"}
exclude_patterns = ["_build", "_ext", "Thumbs.db", ".DS_Store"]
html_theme = "furo"
html_title = "quorvix"

# Links between pages go to headings by their GitHub-style anchors, as on a code host.
myst_heading_anchors = 3
# Broken references fail the build; references to other projects' types (NumPy, PyTorch,
# PyG, typing) have no inventory here (the build uses no network) and are not checked.
nitpicky = True
nitpick_ignore_regex = [(r"py:.*", r"(?!quorvix).*")] + [
    (r"py:.*", pattern) for pattern in api_pages.submodule_patterns(ROOT)]

autodoc_member_order = "bysource"
# A class's text and signature also come from __init__ (the compiled class keeps them there).
autoclass_content = "both"
autodoc_typehints = "signature"
autodoc_default_options = {"members": True, "undoc-members": True}
napoleon_google_docstring = True
napoleon_numpy_docstring = False

# The API pages: one per package of src/, written at every build (docs/api/ is not checked in).
stub_api_files = api_pages.stub_files(ROOT)
api_pages.write(DOCS / "api", api_pages.packages(ROOT), compiled=stub_api_files)
