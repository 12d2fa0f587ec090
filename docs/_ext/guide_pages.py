"""The user guide's table of contents: the pages index.md names, in its order, then every
other page of docs/guide/ in name order. A toctree glob would warn when it finds no page left,
and guide pages come and go as features are added."""

from pathlib import Path

PLACEHOLDER = "guide/*\n"


def add_other_guide_pages(app, docname, source):
    if docname != "index" or PLACEHOLDER not in source[0]:
        return
    pages = sorted(p.stem for p in (Path(app.srcdir) / "guide").glob("*.md"))
    others = [f"guide/{stem}\n" for stem in pages if f"guide/{stem}\n" not in source[0]]
    source[0] = source[0].replace(PLACEHOLDER, "".join(others))


def setup(app):
    app.connect("source-read", add_other_guide_pages)
    return {"parallel_read_safe": True}
