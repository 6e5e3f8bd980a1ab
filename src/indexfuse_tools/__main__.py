"""``python -m indexfuse_tools``: the same command line as ``indexfuse``."""

from indexfuse_tools._cli import main

raise SystemExit(main(prog="python -m indexfuse_tools"))
