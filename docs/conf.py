"""Sphinx configuration of the indexfuse manual (``make docs``).

The guide is MyST Markdown (``docs/guide``), the API reference is generated
from the docstrings (``docs/api``), and the gallery runs ``examples/*.py``
at build time.
"""

from __future__ import annotations

import ast
import shutil
import sys
from pathlib import Path
from typing import Any

import matplotlib

matplotlib.use("Agg")

from sphinx_gallery import gen_rst  # noqa: E402

import indexfuse  # noqa: E402,F401  (the compiled module: autodoc would otherwise run its type stub as one)
import indexfuse_tools  # noqa: E402

DOCS = Path(__file__).resolve().parent
ROOT = DOCS.parent
EXAMPLES = ROOT / "examples"
# The gallery names its helpers by module, so that the configuration stays
# picklable between builds.
sys.path.insert(0, str(DOCS / "_ext"))

project = "indexfuse"
author = "the indexfuse developers"
copyright = "the indexfuse developers"
release = indexfuse_tools.__version__.split("+")[0]
version = release

extensions = [
    "myst_parser",
    "numpydoc",
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx_gallery.gen_gallery",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build", "**/GALLERY_HEADER.rst", "auto_examples/*.ipynb"]
templates_path = ["_templates"]

# ------------------------------------------------------------------ MyST --
myst_enable_extensions = ["colon_fence", "deflist"]
# Headings up to ### get anchors, so "page.md#a-section" links resolve.
myst_heading_anchors = 3

# ------------------------------------------------------- API reference --
autosummary_generate = True
autosummary_imported_members = True
autodoc_default_options = {"members": True, "inherited-members": False}
autodoc_typehints = "none"  # numpydoc's Parameters sections say the types
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
# Every docstring is read as numpydoc; one that does not parse fails the build.
numpydoc_validation_checks: set[str] = set()

# --------------------------------------------------------------- gallery --
sphinx_gallery_conf = {
    "examples_dirs": str(EXAMPLES),
    "gallery_dirs": "auto_examples",
    # Every example runs: none needs a cluster (dask_scoring.py uses Dask's
    # threads on this machine) and all of them together take well under a
    # minute.
    "filename_pattern": r"\.py$",
    "image_scrapers": ("matplotlib", "indexfuse_gallery.written_files_scraper"),
    "within_subsection_order": "indexfuse_gallery.ReadingOrder",
    "download_all_examples": False,
    "write_computation_times": False,
    "show_memory": False,
    "remove_config_comments": True,
    "plot_gallery": "True",
    "abort_on_example_error": True,
}

_execute_code_block = gen_rst.execute_code_block


def _execute_with_file(compiler: Any, block: Any, example_globals: Any, script_vars: Any, *args: Any) -> str:
    # sphinx-gallery runs an example without __file__, but ours find their
    # neighbours (the quickstart, the figures folder) through it, as a
    # script that may be run from any directory must.
    if example_globals is not None:
        example_globals.setdefault("__file__", script_vars["src_file"])
    return str(_execute_code_block(compiler, block, example_globals, script_vars, *args))


gen_rst.execute_code_block = _execute_with_file

# ---------------------------------------------------------------- theme --
html_theme = "pydata_sphinx_theme"
html_title = "indexfuse"
html_static_path = ["_static"]
html_css_files = ["indexfuse.css"]
# A reader's first visit follows the system's light or dark setting.
html_context = {"default_mode": "auto"}
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
    "header_links_before_dropdown": 5,
    "secondary_sidebar_items": ["page-toc"],
}
html_sidebars: dict[str, list[str]] = {"index": []}
html_show_sourcelink = False
# The search reads searchindex.js, which a page opened from file:// can load;
# the summaries under each result would be fetched, which file:// refuses.
html_show_search_summary = False


# ----------------------------- the extension's class, from its type stub --
def _stub_docstrings(stub: Path) -> dict[str, str]:
    """Docstrings of the stub's classes and methods, by dotted name."""
    tree = ast.parse(stub.read_text())
    found: dict[str, str] = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            found[node.name] = ast.get_docstring(node) or ""
            for member in node.body:
                if isinstance(member, ast.FunctionDef):
                    found[f"{node.name}.{member.name}"] = ast.get_docstring(member) or ""
    return found


# The compiled class carries signatures but no docstrings; the stub that is
# installed beside it holds them, so the reference reads them from there.
STUB_DOCSTRINGS = _stub_docstrings(ROOT / "src" / "indexfuse.pyi")


def fill_from_stub(app: Any, what: str, name: str, obj: Any, options: Any, lines: list[str]) -> None:
    if not name.startswith("indexfuse.") or name.startswith("indexfuse_tools") or any(lines):
        return
    docstring = STUB_DOCSTRINGS.get(name.removeprefix("indexfuse."))
    if docstring:
        lines[:] = docstring.splitlines()


def keep_stub_documented_members(app: Any, what: str, name: str, obj: Any, skip: bool, options: Any) -> bool | None:
    # autodoc leaves out members without a docstring, which are all of the
    # compiled class's: those the stub documents stay in.
    if getattr(obj, "__module__", None) == "indexfuse" and getattr(obj, "__qualname__", "") in STUB_DOCSTRINGS:
        return name.startswith("_")
    return None


def copy_written_pages(app: Any, exception: Exception | None) -> None:
    """Put the pages the examples wrote beside the gallery's pages."""
    if exception is not None or app.builder.format != "html":
        return
    target = Path(app.outdir) / "auto_examples" / "output"
    for page in sorted((EXAMPLES / "output").glob("*.html")):
        target.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(page, target / page.name)


# Guide pages that the guide's table of contents names before they are
# written on their own branches: left out of it while their file is absent.
AWAITED_GUIDE_PAGES = ("editions", "explorer")


def drop_awaited_pages(app: Any, docname: str, source: list[str]) -> None:
    if docname != "guide/index":
        return
    absent = {name for name in AWAITED_GUIDE_PAGES if not (DOCS / "guide" / f"{name}.md").exists()}
    lines = source[0].split("\n")
    source[0] = "\n".join(line for line in lines if line.strip() not in absent)


def setup(app: Any) -> None:
    app.connect("source-read", drop_awaited_pages)
    # Before numpydoc (priority 500) reads the docstring.
    app.connect("autodoc-process-docstring", fill_from_stub, priority=100)
    app.connect("autodoc-skip-member", keep_stub_documented_members)
    app.connect("build-finished", copy_written_pages)
