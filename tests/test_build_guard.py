"""The test run refuses extension builds other than the ones it is asked for."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]


@pytest.mark.parametrize(
    ("variable", "value", "message"),
    [
        ("INDEXFUSE_EXPECT_DIR", "{tmp}", "not from under"),
        ("INDEXFUSE_EXPECT_SANITIZED", "1", "is not built with AddressSanitizer"),
    ],
)
def test_a_wrong_build_stops_even_a_quiet_run(tmp_path, variable, value, message):
    if variable == "INDEXFUSE_EXPECT_SANITIZED" and os.environ.get(variable) == "1":
        pytest.skip("this run uses the instrumented builds")
    env = dict(os.environ, **{variable: value.format(tmp=tmp_path)})
    result = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "tests/tools/test_tables.py"],
        cwd=ROOT, env=env, capture_output=True, text=True, timeout=300,
    )
    assert result.returncode == pytest.ExitCode.USAGE_ERROR, result.stdout + result.stderr
    assert message in result.stderr and "passed" not in result.stdout
