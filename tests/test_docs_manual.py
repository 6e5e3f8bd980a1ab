"""The manual's sources: every public name has a page, every page is reachable,
and the README's links lead somewhere. No Sphinx build: these read the sources."""

from __future__ import annotations

import ast
import importlib
import importlib.util
import inspect
import re
from pathlib import Path

import pytest

import indexfuse

ROOT = Path(__file__).resolve().parents[1]
DOCS = ROOT / "docs"
API = DOCS / "api"
README = ROOT / "README.md"

# Modules whose __all__ is the public surface the reference must cover.
PUBLIC_MODULES = [
    "indexfuse_tools",
    "tessel",
    "tessel.process",
    "tessel.modelbench",
    "tessel.modelbench.entropy",
    "tessel.validation",
]


def _public_names() -> set[str]:
    names = {"indexfuse", *PUBLIC_MODULES}
    for module_name in PUBLIC_MODULES:
        module = importlib.import_module(module_name)
        names |= {f"{module_name}.{name}" for name in module.__all__}
    # The extension has no __all__: its public names are the classes it defines.
    names |= {
        f"indexfuse.{name}"
        for name, value in vars(indexfuse).items()
        if inspect.isclass(value) and value.__module__ == "indexfuse"
    }
    return names


def _autosummary_entries(text: str) -> set[str]:
    """Fully qualified names listed in the autosummary blocks of ``text``."""
    entries, module, in_list = set(), "", False
    for line in text.splitlines():
        stripped = line.strip()
        if in_list and stripped and not line[0].isspace():
            in_list = False  # the first line back at the margin ends the list
        if stripped.startswith(".. currentmodule::"):
            module = stripped.split("::", 1)[1].strip()
        elif stripped.startswith(".. automodule::"):
            entries.add(stripped.split("::", 1)[1].strip())
        elif stripped.startswith(".. autosummary::"):
            in_list = True
        elif in_list and stripped and not stripped.startswith(":"):
            entries.add(f"{module}.{stripped}")
    return entries


def _documented() -> set[str]:
    documented: set[str] = set()
    for path in sorted(API.glob("*")):
        if path.suffix in {".rst", ".md"}:
            documented |= _autosummary_entries(path.read_text())
    return documented


def test_every_public_name_has_a_page_in_the_api_reference():
    missing = sorted(_public_names() - _documented())
    assert not missing, f"add these to an autosummary list in docs/api/: {missing}"


def test_the_api_reference_names_nothing_that_is_not_public():
    unknown = sorted(_documented() - _public_names())
    assert not unknown, unknown


@pytest.mark.parametrize(
    "text, expected",
    [
        (".. currentmodule:: a\n\n.. autosummary::\n   :toctree: generated\n\n   f\n   G\n\nNext\n----\n", {"a.f", "a.G"}),
        (".. automodule:: a.b\n   :no-members:\n", {"a.b"}),
        ("```{eval-rst}\n.. currentmodule:: b\n\n.. autosummary::\n\n   h\n```\n", {"b.h"}),
        (".. currentmodule:: a\n\nNo list here.\n", set()),
    ],
)
def test_autosummary_entries_are_read_under_their_module(text, expected):
    assert _autosummary_entries(text) == expected


def _stub_methods() -> dict[str, str | None]:
    tree = ast.parse((ROOT / "src" / "indexfuse.pyi").read_text())
    cls = next(node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "indexpca_diment")
    found: dict[str, str | None] = {"": ast.get_docstring(cls)}
    found |= {node.name: ast.get_docstring(node) for node in cls.body if isinstance(node, ast.FunctionDef)}
    return found


@pytest.mark.parametrize(
    "method", ["", *[name for name in vars(indexfuse.indexpca_diment) if not name.startswith("_")]]
)
def test_the_stub_documents_what_the_compiled_class_has(method):
    # The compiled class carries no docstrings: the reference reads the stub's.
    assert _stub_methods().get(method), f"src/indexfuse.pyi has no docstring for {method or 'the class'}"


def _toctree_entries(page: Path) -> list[str]:
    blocks = re.findall(r"```\{toctree\}\n(.*?)```", page.read_text(), flags=re.S)
    return [line.strip() for block in blocks for line in block.splitlines() if line.strip() and not line.startswith(":")]


def test_every_guide_page_is_in_the_guide_contents():
    listed = set(_toctree_entries(DOCS / "guide" / "index.md"))
    pages = {path.stem for path in (DOCS / "guide").glob("*.md")} - {"index"}
    assert pages <= listed, sorted(pages - listed)


def test_the_guide_names_the_pages_by_task():
    listed = _toctree_entries(DOCS / "guide" / "index.md")
    assert listed[:2] == ["install", "quickstart"]
    assert {"editions", "explorer"} <= set(listed)  # written on their own branches


def test_readme_fits_on_a_few_screens():
    assert len(README.read_text().splitlines()) <= 300


def _relative_links(text: str) -> list[str]:
    links = re.findall(r"\]\(([^)\s]+)\)", text)
    return [link for link in links if not re.match(r"[a-z]+:", link) and not link.startswith("#")]


@pytest.mark.parametrize(
    "page", [README, *sorted(path for path in DOCS.rglob("*.md") if "_build" not in path.parts)], ids=str
)
def test_relative_links_lead_to_files(page):
    for link in _relative_links(page.read_text()):
        target = link.split("#")[0]
        if "auto_examples/" in target or "api/generated/" in target:
            continue  # written by the build
        assert (page.parent / target).exists(), f"{page.relative_to(ROOT)}: {link}"


def test_the_readme_links_into_the_guide_for_each_task():
    linked = {Path(link.split("#")[0]).stem for link in _relative_links(README.read_text()) if link.startswith("docs/")}
    guide = {path.stem for path in (DOCS / "guide").glob("*.md")} - {"index", "install"}
    assert guide <= linked, sorted(guide - linked)


@pytest.mark.parametrize("marker", ["setup", "quickstart"])
def test_the_readme_keeps_the_markers_the_guide_includes(marker):
    text = README.read_text()
    start, end = f"<!-- {marker}: start -->", f"<!-- {marker}: end -->"
    assert text.count(start) == text.count(end) == 1 and text.index(start) < text.index(end)
    assert any(start in page.read_text() for page in (DOCS / "guide").glob("*.md"))


# ------------------------------------------------------------ the gallery --


@pytest.fixture
def gallery(tmp_path, monkeypatch):
    """The gallery helpers, watching a fresh examples folder under tmp_path."""
    pytest.importorskip("sphinx_gallery")
    spec = importlib.util.spec_from_file_location("indexfuse_gallery", DOCS / "_ext" / "indexfuse_gallery.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    examples = tmp_path / "examples"
    (examples / "figures").mkdir(parents=True)
    (examples / "figures" / "old.png").write_bytes(b"png")
    monkeypatch.setattr(module, "EXAMPLES", examples)
    monkeypatch.setattr(module, "_seen", module._snapshot())
    return module


def _block_vars(tmp_path):
    images = tmp_path / "docs" / "auto_examples" / "images"
    images.mkdir(parents=True)
    names = (images / f"sphx_glr_example_{i:03}.png" for i in range(1, 10))
    return {"image_path_iterator": names}, {"src_dir": str(tmp_path / "docs")}


def test_the_scraper_shows_only_the_figures_the_block_wrote(gallery, tmp_path):
    block_vars, conf = _block_vars(tmp_path)
    (gallery.EXAMPLES / "figures" / "ranks.png").write_bytes(b"new")
    rst = gallery.written_files_scraper(None, block_vars, conf)
    assert "sphx_glr_example_001.png" in rst and "old.png" not in rst
    assert (tmp_path / "docs/auto_examples/images/sphx_glr_example_001.png").read_bytes() == b"new"
    assert gallery.written_files_scraper(None, block_vars, conf) == ""  # nothing new since


@pytest.mark.parametrize("with_screenshot", [True, False])
def test_the_scraper_links_a_written_page_with_its_screenshot(gallery, tmp_path, with_screenshot):
    block_vars, conf = _block_vars(tmp_path)
    if with_screenshot:
        (gallery.EXAMPLES / "figures" / "report_page.png").write_bytes(b"shot")
        gallery._seen.update(gallery._snapshot())  # committed before the example ran
    (gallery.EXAMPLES / "output").mkdir()
    (gallery.EXAMPLES / "output" / "report.html").write_text("<html></html>")
    rst = gallery.written_files_scraper(None, block_vars, conf)
    assert "`report.html <output/report.html>`__" in rst
    assert (":target: output/report.html" in rst) is with_screenshot


def test_the_gallery_runs_in_reading_order(gallery):
    key = gallery.ReadingOrder("examples")
    names = ["persistence.py", "zz_new.py", "audit.py", "quickstart.py", "aa_new.py"]
    assert sorted(names, key=key) == ["quickstart.py", "audit.py", "persistence.py", "aa_new.py", "zz_new.py"]
    assert set(gallery.READING_ORDER) <= {path.name for path in (ROOT / "examples").glob("*.py")}  # none renamed away
