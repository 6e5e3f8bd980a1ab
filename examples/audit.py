"""
Auditing an index
=================

The quickstart's index audited: coherence of each dimension, nominal against
effective weights, and its link to an outside measure.
"""

import contextlib
import io
import runpy
from pathlib import Path

import indexfuse_tools

# The quickstart's model and data (its printed output set aside).
with contextlib.redirect_stdout(io.StringIO()):
    quickstart = runpy.run_path(str(Path(__file__).with_name("quickstart.py")), run_name="quickstart")
model, data = quickstart["model"], quickstart["data"]

# The share of each state's people living in urban areas is no part of the
# index: the audit correlates the index with it.
review = indexfuse_tools.audit(model, data, external=data[["urban"]])
print(review)
