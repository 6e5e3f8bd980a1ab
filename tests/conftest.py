"""Shared fixtures: recording stand-ins for the toolkit and small tables."""

from __future__ import annotations

import os
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import indexfuse
from tessel import _knn

pytest_plugins = ["_profiles"]  # hypothesis profiles: --hypothesis-profile=long

EXTENSIONS = {"indexfuse": indexfuse.__file__, "tessel._knn": _knn.__file__}


def build_problems(files: dict[str, str], expect_dir: str | None, sanitized: bool) -> list[str]:
    """What is wrong with the extension builds in use, for a run that asks
    for builds under ``expect_dir`` and, if ``sanitized``, instrumented ones."""
    problems = []
    root = os.path.realpath(expect_dir) if expect_dir else None
    for name, file in files.items():
        if root and not os.path.realpath(file).startswith(root + os.sep):
            problems.append(f"{name} is imported from {file}, not from under {root}")
        # Instrumented code calls the AddressSanitizer runtime, so the
        # library names its entry points.
        if sanitized and b"__asan_report_" not in Path(file).read_bytes():
            problems.append(f"{name} ({file}) is not built with AddressSanitizer")
    return problems


def pytest_sessionstart(session):
    """Stops the run before any test when the builds in use are not the ones
    asked for: INDEXFUSE_EXPECT_DIR (the directory they must come from) and
    INDEXFUSE_EXPECT_SANITIZED=1 (instrumented builds), as make test-asan
    and make test-oldest set them."""
    problems = build_problems(
        EXTENSIONS,
        os.environ.get("INDEXFUSE_EXPECT_DIR"),
        os.environ.get("INDEXFUSE_EXPECT_SANITIZED") == "1",
    )
    if problems:
        pytest.exit("wrong extension builds: " + "; ".join(problems), returncode=pytest.ExitCode.USAGE_ERROR)


def pytest_report_header(config):
    return [f"{name}: {file}" for name, file in EXTENSIONS.items()]


class CallLog(list):
    """Calls made to the fakes, in order: (name, args, kwargs) tuples."""

    def names(self):
        return [name for name, _, _ in self]

    def of(self, name):
        return [(args, kwargs) for entry, args, kwargs in self if entry == name]


class FakePCA:
    """Records fit/score; statistics are the frame's own, coefficients equal shares."""

    def __init__(self, log, coef=None, abnormal=(), **kwargs):
        log.append(("PCA", (), kwargs))
        self.log = log
        self.coef_for = coef
        self.abnormal = list(abnormal)
        self.kwargs = kwargs

    def fit(self, frame):
        self.log.append(("fit", (frame,), {}))
        self.max = frame.max().tolist()
        self.min = frame.min().tolist()
        self.mean = frame.mean().tolist()
        self.std = frame.std().tolist()

    def score(self, frame):
        self.log.append(("score", (frame,), {}))
        width = frame.shape[1]
        coef = self.coef_for(frame) if self.coef_for else [1.0 / width] * width
        return None, coef, self.abnormal


def spread(x) -> float:
    values = np.asarray(x, dtype=float)
    return float(np.log1p(np.ptp(values))) if values.size else 0.0


class FakeEntropy:
    """multivar_knn returns `estimate(x)` (by default the log of the spread)."""

    def __init__(self, log, estimate=None):
        self.log = log
        self.estimate = estimate or spread


    def multivar_knn(self, x, k=3):
        self.log.append(("multivar_knn", (x,), {"k": k}))
        return self.estimate(x)


class FakeProcess:
    """scale maps (low, high) onto (0, 1); rescale maps min..max onto the range."""

    def __init__(self, log):
        self.log = log

    def scale(self, column, method="max_min", range=None, mean=None, std=None):
        self.log.append(("scale", (column,), dict(method=method, range=range, mean=mean, std=std)))
        low, high = range
        return (column - low) / ((high - low) or 1.0)

    def rescale(self, series, method="max_min", range=(0, 1)):
        self.log.append(("rescale", (series,), dict(method=method, range=range)))
        low, high = range
        span = series.max() - series.min()
        return low + (series - series.min()) / (span or 1.0) * (high - low)


class Toolkit:
    """The three fakes bound as the module's globals, sharing one call log."""

    def __init__(self, monkeypatch):
        self.log = CallLog()
        self.pca_options = {}
        self.entropy = FakeEntropy(self.log)
        self.process = FakeProcess(self.log)
        monkeypatch.setattr(indexfuse, "PCA", self.make_pca)
        monkeypatch.setattr(indexfuse, "entropy", self.entropy)
        monkeypatch.setattr(indexfuse, "process", self.process)

    def make_pca(self, **kwargs):
        return FakePCA(self.log, **self.pca_options, **kwargs)


@pytest.fixture
def toolkit(monkeypatch):
    return Toolkit(monkeypatch)


@pytest.fixture
def frame():
    rng = np.random.default_rng(7)
    return pd.DataFrame(rng.normal(size=(30, 5)), columns=list("abcde"))
