"""The gallery's helpers: the scraper of the files an example writes, and its order."""

from __future__ import annotations

import shutil
from pathlib import Path
from typing import Any

from sphinx_gallery.scrapers import figure_rst

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def _snapshot() -> dict[Path, int]:
    return {
        path: path.stat().st_mtime_ns
        for folder in (EXAMPLES / "figures", EXAMPLES / "output")
        if folder.is_dir()
        for path in folder.iterdir()
        if path.is_file()
    }


# Files the examples write under examples/figures and examples/output are
# matched to the example that wrote them by their modification time.
_seen = _snapshot()


def written_files_scraper(block: Any, block_vars: dict[str, Any], gallery_conf: dict[str, Any]) -> str:
    """Show the figures an example saved itself, and link the pages it wrote.

    The examples draw on ``matplotlib.figure.Figure`` objects without pyplot
    and save them, which the gallery's own scraper does not see.  A page
    written to ``examples/output/NAME.html`` is copied into the built manual
    next to the example's page and shown by its screenshot
    ``examples/figures/NAME_page.png`` when one is committed.
    """
    now = _snapshot()
    written = sorted(path for path, stamp in now.items() if _seen.get(path) != stamp)
    _seen.clear()
    _seen.update(now)
    images = [path for path in written if path.suffix == ".png" and not path.stem.endswith("_page")]
    pages = [path for path in written if path.suffix == ".html"]
    rst = ""
    if images:
        targets = []
        for path in images:
            target = Path(next(block_vars["image_path_iterator"]))
            shutil.copyfile(path, target)
            targets.append(target)
        rst += figure_rst(targets, gallery_conf["src_dir"])
    for page in pages:
        rst += _page_rst(page, block_vars, gallery_conf)
    return rst


def _page_rst(page: Path, block_vars: dict[str, Any], gallery_conf: dict[str, Any]) -> str:
    link = f"output/{page.name}"
    rst = f"\n\nThe page it wrote: `{page.name} <{link}>`__ (opens the page itself).\n"
    screenshot = EXAMPLES / "figures" / f"{page.stem}_page.png"
    if screenshot.exists():
        target = Path(next(block_vars["image_path_iterator"]))
        shutil.copyfile(screenshot, target)
        relative = target.relative_to(Path(gallery_conf["src_dir"])).as_posix()
        rst += f"\n.. image:: /{relative}\n   :alt: {page.name}, as a browser shows it\n   :target: {link}\n"
    return rst + "\n"


# The gallery in the order a newcomer reads the guide; an example not named
# here comes after these, by file name.
READING_ORDER = (
    "quickstart.py",
    "directions.py",
    "preparing.py",
    "audit.py",
    "robustness.py",
    "weights.py",
    "demo.py",
    "editions.py",
    "explorer.py",
    "dask_scoring.py",
    "persistence.py",
)


class ReadingOrder:
    """Sort key of the gallery's examples (``within_subsection_order``)."""

    def __init__(self, src_dir: str) -> None:
        self.src_dir = src_dir

    def __call__(self, filename: str) -> tuple[int, str]:
        name = Path(filename).name
        position = READING_ORDER.index(name) if name in READING_ORDER else len(READING_ORDER)
        return position, name
