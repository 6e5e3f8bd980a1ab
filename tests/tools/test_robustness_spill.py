"""The analysis in bounded memory: every run's ranks on disk, statistics read back exactly, limits said beforehand."""

from __future__ import annotations

import contextlib
import copy as copy_module
import errno
import gc
import os
import pickle
import tracemalloc
import zipfile

import numpy as np
import pandas as pd
import pytest

from indexfuse_tools import RobustnessResult, robustness
from indexfuse_tools._robustness import budget, spill
from indexfuse_tools._robustness.result import RANK_COLUMNS, rank_table
from indexfuse_tools._robustness.series import descending_ranks
from indexfuse_tools._robustness.spill import SpillError, SpillFile

pytest.importorskip("SALib")
pytestmark = pytest.mark.filterwarnings("ignore::indexfuse_tools.RobustnessWarning")

SCHEMA = {"A": ["a", ("b", -1)], "B": ["c", "d"], "C": ["e"]}


def _table(n: int, seed: int = 5) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    f = rng.normal(size=(n, 1))
    data = f + rng.normal(size=(n, 5)) * [0.5, 0.7, 0.6, 0.9, 1.2]
    data[:, 1] *= -1
    return pd.DataFrame(data, columns=list("abcde"), index=pd.Index([f"u{i}" for i in range(n)], name="unit"))


def _reference_rank_table(run_ranks, nominal, mean_shift, index):
    """The reduction as it was while every run's ranks were held in memory: sort a block of units at a time."""
    runs = run_ranks.shape[0]
    quantiles = np.empty((run_ranks.shape[1], 3))
    tails = np.quantile(np.arange(runs), (0.05, 0.95), method="inverted_cdf").astype(np.intp)
    middle = [(runs - 1) // 2, runs // 2]
    buffer = np.empty((min(2048, run_ranks.shape[1]), runs), dtype=run_ranks.dtype)
    for start in range(0, run_ranks.shape[1], 2048):
        block = buffer[: min(2048, run_ranks.shape[1] - start)]
        np.copyto(block, run_ranks[:, start : start + 2048].T)
        block.sort(axis=1)
        rows = slice(start, start + len(block))
        quantiles[rows, :2] = block[:, tails]
        quantiles[rows, 2] = block[:, middle].astype(np.float64).mean(axis=1)
    table = pd.DataFrame(quantiles, index=index, columns=["p5", "p95", "median"])
    table.insert(0, "nominal", nominal)
    table["mean_shift"] = mean_shift
    ranked = (~np.isnan(run_ranks)).sum(axis=1, keepdims=True)
    unranked = np.isnan(nominal)
    table["top_tenth"] = np.where(unranked, np.nan, (run_ranks <= ranked / 10).mean(axis=0))
    table["bottom_tenth"] = np.where(unranked, np.nan, (run_ranks > ranked - ranked / 10).mean(axis=0))
    return table[list(RANK_COLUMNS)]


def _run_ranks(runs: int, units: int, seed: int) -> np.ndarray:
    """Ranks as runs give them: ties averaged (whole numbers and halves), a unit without a composite NaN."""
    rng = np.random.default_rng(seed)
    scores = rng.integers(0, units // 3 + 2, size=(runs, units)).astype(float)
    scores[:, units // 2] = np.nan
    return np.stack([descending_ranks(row, units) for row in scores]).astype(np.float32)


def _spilled(directory, matrix: np.ndarray) -> SpillFile:
    file = SpillFile(directory, *matrix.shape, matrix.dtype)
    for run in np.random.default_rng(0).permutation(len(matrix)):  # runs end in any order
        file.write(int(run), matrix[run])
    return file


@pytest.mark.parametrize(
    "runs, units, block_bytes",
    [(40, 3000, 40 * 4 * 128), (37, 250, 37 * 4 * 7), (1, 9, 64), (200, 64, 2**20), (6, 1, 4)],
    ids=["many-blocks", "uneven-last-block", "one-run", "one-block", "one-unit"],
)
def test_statistics_from_the_spill_equal_those_of_the_whole_matrix_to_the_bit(
    tmp_path, monkeypatch, runs, units, block_bytes
):
    matrix = _run_ranks(runs, units, seed=units)
    nominal = descending_ranks(np.arange(units, dtype=float), units)
    shift = np.abs(matrix - nominal).mean(axis=0)
    monkeypatch.setattr(spill, "SPILL_BLOCK_BYTES", block_bytes)
    file = _spilled(tmp_path, matrix)
    index = pd.RangeIndex(units)
    want = _reference_rank_table(matrix, nominal, shift, index)
    pd.testing.assert_frame_equal(rank_table(file, nominal, shift, index), want, check_exact=True)
    pd.testing.assert_frame_equal(rank_table(matrix, nominal, shift, index), want, check_exact=True)
    np.testing.assert_array_equal(file.matrix(), matrix)
    assert os.listdir(tmp_path) == []  # a spill file has no name


def _short_reads(real):

    def short(fd, buffers, offset):  # a read that stops halfway, as a signal or a network file system may
        (buffer,) = buffers
        return real(fd, [buffer[: max(1, len(buffer) // 2)]], offset)

    return short


@pytest.mark.parametrize("reads", ["without-preadv", "short"])
def test_a_system_without_preadv_or_with_short_reads_reads_the_same(tmp_path, monkeypatch, reads):
    if reads == "short":
        monkeypatch.setattr(os, "preadv", _short_reads(os.preadv))
    else:
        monkeypatch.delattr(os, "preadv")
    monkeypatch.setattr(spill, "SPILL_BLOCK_BYTES", 30 * 4 * 70)  # blocks of 70 units: pieces of rows
    matrix = _run_ranks(30, 500, seed=2)
    file = _spilled(tmp_path, matrix)
    np.testing.assert_array_equal(file.read_runs(0, 30), matrix)
    np.testing.assert_array_equal(file.read_units(7, 9), matrix[:, 7:9])
    by_unit = np.concatenate([block.copy() for _, block in file.unit_blocks(3, 497)])
    np.testing.assert_array_equal(by_unit, matrix[:, 3:497].T)


@pytest.mark.parametrize("scheduler", [1, 2], ids=["here", "local-processes"])
def test_an_analysis_gives_what_the_whole_matrix_gives(tmp_path, monkeypatch, scheduler):
    monkeypatch.setattr(spill, "SPILL_BLOCK_BYTES", 4096)  # several blocks (ranges of units for the workers)
    data = _table(300)
    result = robustness(SCHEMA, data, n=16, scheduler=scheduler, progress=False, spill_dir=tmp_path)
    matrix = np.array(result.run_ranks)
    nominal = result.ranks["nominal"].to_numpy()
    shift = np.abs(matrix.astype(np.float64) - nominal).mean(axis=0)
    want = _reference_rank_table(matrix, nominal, shift, data.index)
    pd.testing.assert_frame_equal(result.ranks, want, check_exact=True)
    np.testing.assert_array_equal(result.runs["rank_shift"], np.abs(matrix - nominal).mean(axis=1))
    assert os.listdir(tmp_path) == []


def _holed(data: pd.DataFrame) -> pd.DataFrame:
    holed = data.copy()
    holed.iloc[::7, 0] = np.nan
    holed.iloc[3::11, 3] = np.nan
    return holed


def test_memory_does_not_grow_with_the_runs(monkeypatch):
    data = _table(2500)
    factors = {"scale_method": None, "weight_noise": 0.25}
    monkeypatch.setattr(spill, "SPILL_BLOCK_BYTES", 2**16)  # the buffer that is allowed to grow, bounded

    def peak(n: int) -> int:
        gc.collect()
        tracemalloc.start()
        try:
            robustness(SCHEMA, data, method="uncertainty", n=n, factors=factors, scheduler=1, progress=False)
            return tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()

    # The Sobol indices' bootstrap (SALib) grows with the runs, not the units: drawn at random instead.
    peak(2)  # what is allocated once
    few, many = peak(16), peak(320)  # every run's ranks would take 2.9 MiB more
    assert many - few < 2**20, f"{few:,} bytes at 16 runs, {many:,} at 320"


@pytest.mark.parametrize(
    "text, size",
    [("2GiB", 2 * 2**30), ("1.5 GB", 1_500_000_000), ("800MiB", 800 * 2**20), ("64k", 64_000), (4096, 4096),
     (np.int64(10), 10)],
)  # fmt: skip
def test_memory_sizes_are_read_in_decimal_and_binary_units(text, size):
    assert budget.parse_memory(text) == size


@pytest.mark.parametrize("bad", ["2 gigs", "-1GB", "0", True, 2.5, [1]], ids=str)
def test_a_memory_limit_that_is_no_size_is_refused(bad):
    with pytest.raises((ValueError, TypeError), match="memory"):
        robustness(SCHEMA, _table(30), n=4, scheduler=1, progress=False, memory=bad)


def _no_runs(monkeypatch):
    def ran(*args, **kwargs):
        raise AssertionError("the runs started")

    monkeypatch.setattr("indexfuse_tools._robustness.api.execute", ran)


@pytest.mark.parametrize(
    "scheduler, memory, advice",
    [
        (1, "50MiB", "use fewer levels of exclude"),
        (2, "50MiB", "use fewer levels of exclude"),  # this process alone would not fit either
        (2, "400MiB", "use scheduler=1 (this process only, about 0."),
    ],
)
def test_an_analysis_over_the_memory_limit_is_refused_before_it_starts_with_the_estimate(
    monkeypatch, scheduler, memory, advice
):
    _no_runs(monkeypatch)
    with pytest.raises(MemoryError, match=r"would need about \d+\.\d\d GiB .*more than the 0\.\d\d GiB") as caught:
        robustness(SCHEMA, _table(300), n=4, scheduler=scheduler, progress=False, memory=memory)
    assert advice in str(caught.value)


def _panel(units: int, periods: int) -> pd.DataFrame:
    frames = [_holed(_table(units, seed=period)).assign(period=period, unit=range(units)) for period in range(periods)]
    return pd.concat(frames, ignore_index=True)


def _estimate(monkeypatch, schema, data, **options):
    """The estimate robustness() checks before it starts (no run is made)."""
    import indexfuse_tools._robustness.api as api

    found = []

    def checked(estimate, *args):
        found.append(estimate)
        raise InterruptedError

    monkeypatch.setattr(api, "check_budget", checked)
    with pytest.raises(InterruptedError):
        robustness(schema, data, method="uncertainty", n=4, scheduler=1, progress=False, **options)
    return found[0]


def test_the_estimate_counts_the_rival_weightings_and_a_preparation_kept_over_time(monkeypatch):
    from indexfuse_tools import prepare

    data = _table(3000)
    plain = _estimate(monkeypatch, SCHEMA, data, factors={"scale_method": None})
    rivals = _estimate(monkeypatch, SCHEMA, data, factors={"scale_method": None, "weighting": None, "aggregation": None})
    # The principal components' weights stack every dimension's values at least once.
    assert rivals.caller - plain.caller >= 3 * 8 * len(data)
    panel = _panel(2000, 2)
    over_time = prepare(SCHEMA, panel, impute="carry", period="period", unit="unit")[2]
    once = prepare(SCHEMA, panel, impute="median")[2]
    kept = len(over_time.units) + sum(map(len, over_time.last_values.values())) * 2
    replayed, plain = (
        _estimate(monkeypatch, SCHEMA, panel, preparation=preparation, factors={"outliers": None})
        for preparation in (over_time, once)
    )
    # A preparation over time keeps each unit's last values and periods, a Python number each.
    assert replayed.caller - plain.caller >= 24 * kept


def test_the_default_limit_is_the_memory_available(monkeypatch):
    _no_runs(monkeypatch)
    monkeypatch.setattr(budget, "available_memory", lambda: 2**20)
    monkeypatch.setattr("indexfuse_tools._robustness.api.available_memory", lambda: 2**20)
    with pytest.raises(MemoryError, match="by default what the machine has available"):
        robustness(SCHEMA, _table(30), n=4, scheduler=1, progress=False)


def test_spill_files_that_would_not_fit_are_refused_before_the_runs(monkeypatch, tmp_path):
    _no_runs(monkeypatch)
    monkeypatch.setattr("indexfuse_tools._robustness.api.spill_room", lambda directory: 1000)
    with pytest.raises(OSError, match=r"take 0\.00 GiB on disk .* has 0\.00 GiB free: pass spill_dir="):
        robustness(SCHEMA, _table(300), n=4, scheduler=1, progress=False, spill_dir=tmp_path)


def test_a_full_disk_found_while_reserving_says_how_much_is_needed(monkeypatch, tmp_path):
    def full(fd, offset, size):
        raise OSError(errno.ENOSPC, "No space left on device")

    monkeypatch.setattr(os, "posix_fallocate", full)
    with pytest.raises(SpillError, match=r"cannot hold 0\.37 GiB \(every run's value of every unit, 1,000 x 100,000"):
        SpillFile(tmp_path, 1000, 100_000, np.float32)


def test_a_spill_dir_that_is_no_directory_is_refused(tmp_path):
    with pytest.raises(ValueError, match="spill_dir is an existing directory"):
        robustness(SCHEMA, _table(30), n=4, scheduler=1, progress=False, spill_dir=tmp_path / "missing")


def test_a_result_keeps_its_spill_file_until_it_is_dropped(tmp_path):
    result = robustness(SCHEMA, _table(50), n=4, scheduler=1, progress=False, spill_dir=tmp_path)
    held = lambda: [fd for fd in os.listdir("/proc/self/fd") if str(tmp_path) in _link(fd)]  # noqa: E731
    assert len(held()) == 1 and os.listdir(tmp_path) == []
    assert result.unit_sensitivity("u3").shape == (len(result.factors), 6)
    del result
    gc.collect()
    assert held() == []


def _link(fd: str) -> str:
    try:
        return os.readlink(f"/proc/self/fd/{fd}")
    except OSError:
        return ""


@pytest.fixture(scope="module")
def analysis():
    return robustness(SCHEMA, _table(120), n=8, scheduler=1, progress=False)


@pytest.mark.parametrize("copy", [lambda r: pickle.loads(pickle.dumps(r)), lambda r: copy_module.deepcopy(r)],
                         ids=["pickle", "deepcopy"])
def test_a_result_still_pickles_with_its_ranks(analysis, copy):
    analysis.composite(3)  # builds its engine, which holds a lock
    again = copy(analysis)
    np.testing.assert_array_equal(again.run_ranks, analysis.run_ranks)
    pd.testing.assert_frame_equal(again.unit_sensitivity("u5"), analysis.unit_sensitivity("u5"))
    pd.testing.assert_series_equal(again.composite(3), analysis.composite(3), check_exact=True)


def test_load_copies_the_runs_ranks_a_block_at_a_time(analysis, tmp_path, monkeypatch):
    path = tmp_path / "analysis.zip"
    analysis.save(path)
    monkeypatch.setattr(spill, "SPILL_BLOCK_BYTES", 3 * 120 * 4)
    monkeypatch.setattr("indexfuse_tools._robustness.saved.SPILL_BLOCK_BYTES", 3 * 120 * 4)
    spill_dir = tmp_path / "spill"
    spill_dir.mkdir()
    back = RobustnessResult.load(path, spill_dir=spill_dir)
    np.testing.assert_array_equal(back.run_ranks, analysis.run_ranks)
    pd.testing.assert_frame_equal(back.unit_sensitivity("u7"), analysis.unit_sensitivity("u7"))
    assert os.listdir(spill_dir) == []


@pytest.mark.parametrize("order", ["C", "F"])
@pytest.mark.parametrize("byteorder", ["<", ">"])
def test_saved_ranks_load_whatever_their_layout(analysis, tmp_path, order, byteorder):
    path = tmp_path / "analysis.zip"
    analysis.save(path)
    with zipfile.ZipFile(path) as archive:
        members = {name: archive.read(name) for name in archive.namelist()}
    import io

    buffer = io.BytesIO()
    np.save(buffer, np.asarray(analysis.run_ranks, dtype=f"{byteorder}f4", order=order))
    members["run_ranks.npy"] = buffer.getvalue()
    with zipfile.ZipFile(path, "w") as archive:
        for name, body in members.items():
            archive.writestr(name, body)
    np.testing.assert_array_equal(RobustnessResult.load(path).run_ranks, analysis.run_ranks)


def test_saved_ranks_cut_short_are_refused(analysis, tmp_path):
    path = tmp_path / "analysis.zip"
    analysis.save(path)
    with zipfile.ZipFile(path) as archive:
        members = {name: archive.read(name) for name in archive.namelist()}
    members["run_ranks.npy"] = members["run_ranks.npy"][:-40]
    with zipfile.ZipFile(path, "w") as archive:
        for name, body in members.items():
            archive.writestr(name, body)
    with pytest.raises(ValueError, match=r"run_ranks\.npy: declares"):
        RobustnessResult.load(path)


# ------------------------------------------------------------------ Dask --


@contextlib.contextmanager
def _in_process_cluster(distributed, workers, memory_limit):
    """Workers in this process, with a ``memory_limit`` the analysis reads
    but never acts on: an in-process worker measures the whole test
    process, which a long run (under the sanitizers, above all) takes past
    any small limit, and a paused worker takes no data."""
    import dask

    unmanaged = {f"distributed.worker.memory.{level}": False for level in ("target", "spill", "pause", "terminate")}
    with dask.config.set(unmanaged), distributed.LocalCluster(
        n_workers=workers, threads_per_worker=1, processes=False, dashboard_address=":0", memory_limit=memory_limit
    ) as cluster:
        yield cluster


def test_on_dask_tasks_are_small_and_few_wait_at_a_time(monkeypatch, analysis):
    distributed = pytest.importorskip("distributed")
    from indexfuse_tools._robustness import series, workers

    monkeypatch.setattr(workers, "DASK_TASK_BYTES", 120 * 4)  # one run's ranks: a task per configuration at most
    counts = {"submitted": 0, "taken": 0, "most": 0}
    take = series.Accumulator.take

    def counted(self, result):
        counts["taken"] += 1
        take(self, result)

    monkeypatch.setattr(series.Accumulator, "take", counted)
    with _in_process_cluster(distributed, 2, "2GiB") as cluster, distributed.Client(cluster) as client:
        client.wait_for_workers(2, timeout=120)  # a slow machine starts them after the client is made
        submit = client.submit

        def counting_submit(*args, **kwargs):
            counts["submitted"] += 1
            counts["most"] = max(counts["most"], counts["submitted"] - counts["taken"])
            return submit(*args, **kwargs)

        monkeypatch.setattr(client, "submit", counting_submit)
        on_dask = robustness(SCHEMA, _table(120), n=8, scheduler=client, progress=False)
    assert counts["submitted"] == counts["taken"] > 2 * 2 + 1
    assert counts["most"] <= 2 * 2 + 1  # two tasks per worker, and the next one submitted as one is taken
    pd.testing.assert_frame_equal(on_dask.ranks, analysis.ranks, check_exact=True)
    np.testing.assert_array_equal(on_dask.run_ranks, analysis.run_ranks)


@pytest.mark.parametrize("configurations", [1, 3, 40])
def test_tasks_that_carry_their_ranks_back_hold_few_runs_even_if_a_configuration_has_many(configurations):
    from indexfuse_tools._robustness.factors import DISCRETE
    from indexfuse_tools._robustness.workers import split

    codes = np.zeros((200, len(DISCRETE)), dtype=np.int64)
    codes[:, 0] = np.arange(200) % configurations
    tasks = split(codes, np.ones((200, 2)), workers=2, most=7)
    assert max(len(task.runs) for task in tasks) <= 7
    assert sorted(np.concatenate([task.runs for task in tasks]).tolist()) == list(range(200))


def test_a_dask_worker_without_the_room_is_named_before_anything_runs(monkeypatch):
    distributed = pytest.importorskip("distributed")
    _no_runs(monkeypatch)
    with _in_process_cluster(distributed, 1, "64MiB") as cluster, distributed.Client(cluster) as client:
        client.wait_for_workers(1, timeout=120)
        address = next(iter(client.scheduler_info()["workers"]))
        with pytest.raises(MemoryError, match=rf"worker {address} may take 0\.06 GiB"):
            robustness(SCHEMA, _table(120), n=8, scheduler=client, progress=False)


@pytest.mark.slow
def test_census_scale_stays_within_two_gib():
    """242,335 units, 17 indicators in 4 dimensions, every default factor, n=1024: 8,192 runs."""
    import sys
    from pathlib import Path

    sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "benchmarks"))
    import bench_scale

    figures = bench_scale.measure("robustness", 242_335, 1024)
    assert figures["runs"] == 8192
    assert figures["peak_bytes"] <= 2 * 2**30, f"peak {figures['peak_bytes'] / 2**30:.2f} GiB"


def test_the_estimate_counts_every_draw_of_error_as_a_table_and_the_moves_on_disk(monkeypatch):
    data = _table(3000).assign(a_se=0.1)
    plain = _estimate(monkeypatch, SCHEMA, data, factors={"scale_method": None})
    draws = _estimate(monkeypatch, SCHEMA, data, factors={"scale_method": None, "measurement_error": list(range(8))},
                      errors={"a": "a_se"})  # fmt: skip
    # Each draw is a noisy table with its own dimension values, kept for the runs that share it.
    assert draws.caller - plain.caller >= 7 * data.memory_usage(deep=True).sum()

    from indexfuse_tools import Index

    panel = _panel(2000, 2)
    index = Index.build(SCHEMA, panel, period="period", unit="unit", preparation={"impute": "median"})
    found = []

    def checked(estimate, *args):
        found.append(estimate)
        raise InterruptedError

    import indexfuse_tools._robustness.api as api

    monkeypatch.setattr(api, "check_budget", checked)
    for moves in (False, True):
        with pytest.raises(InterruptedError):
            index.robustness(method="uncertainty", n=4, scheduler=1, progress=False, moves=moves)
    # Two more series spilled: the places climbed (float32) and the composite's change (float64), per unit and run.
    assert found[1].spill - found[0].spill == 4 * 2000 * (4 + 8)
