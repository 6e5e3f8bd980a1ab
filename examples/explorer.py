"""
The explorer
============

The quickstart's index as one page its readers open in any browser.

    python examples/explorer.py            # writes examples/output/wellbeing-explorer.html
    python examples/explorer.py PAGE --screenshot PNG

The page works offline: mail it, put it on a shared drive, or open it from
the disk with a double click.
"""

import argparse
import shutil
import subprocess
from pathlib import Path

import statsmodels.api as sm

import indexfuse
import indexfuse_tools

HERE = Path(__file__).resolve().parent
parser = argparse.ArgumentParser(description="The quickstart's index as one page its readers open in any browser.")
parser.add_argument(
    "page", nargs="?", default=HERE / "output" / "wellbeing-explorer.html", type=Path, help="where to write the page"
)
parser.add_argument("--screenshot", metavar="PNG", help="also save a picture of the page (needs Chromium)")
arguments = parser.parse_args()

data = sm.datasets.statecrime.load_pandas().data
schema = {
    "safety": [("violent", -1), ("murder", -1)],
    "opportunity": {
        "education": ["hs_grad"],
        ("hardship", -1): ["poverty", "single"],
    },
}
model = indexfuse.indexpca_diment(schema)
model.fit(data)

arguments.page.parent.mkdir(parents=True, exist_ok=True)
page = indexfuse_tools.explorer(
    model,
    data,
    arguments.page,
    title="Wellbeing of the US states, 2009",
    source="statsmodels' statecrime data set",
)
# A unit's profile opens from the page's address, after "#": "#unit=Ohio".
address = page.resolve().as_uri() + "#unit=Ohio"
print(f"Open it in a browser: {address}")

if arguments.screenshot:
    browser = shutil.which("chromium") or shutil.which("google-chrome")
    if browser is None:
        raise SystemExit("no Chromium to take the screenshot with (apt-get install chromium)")
    # --virtual-time-budget lets the page draw its table before the picture is taken.
    subprocess.run(
        [browser, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
         "--window-size=1280,1500", "--virtual-time-budget=20000",
         f"--screenshot={arguments.screenshot}", address],
        check=True, capture_output=True, timeout=120,
    )  # fmt: skip
    print(f"Screenshot saved to {arguments.screenshot}")
