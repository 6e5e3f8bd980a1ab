"""
Scoring with Dask
=================

Fit on a sample, score a partitioned table with Dask.

The RAND Health Insurance Experiment data (20,190 person-years, shipped with
statsmodels) stands in for a table too large for one machine: it is split
into partitions, a model is fitted on a sample, and every partition is
scored by a copy of the pickled model.
"""

import functools
import pickle
import sys

import dask.dataframe as dd
import pandas as pd
import statsmodels.api as sm

import indexfuse


@functools.lru_cache(maxsize=4)
def _unpickled(blob: bytes) -> indexfuse.indexpca_diment:
    # Each worker unpickles a model once and reuses it for its partitions.
    model: indexfuse.indexpca_diment = pickle.loads(blob)
    return model


def score_partition(part: pd.DataFrame, blob: bytes) -> pd.Series:
    composite, _ = _unpickled(blob).score(part)
    return composite.rename("score")


def score_dask(table: dd.DataFrame, model: indexfuse.indexpca_diment) -> dd.Series:
    """Composite scores of every row of ``table``, one task per partition."""
    blob = pickle.dumps(model)
    meta = pd.Series(dtype="float64", name="score")
    scores: dd.Series = table.map_partitions(score_partition, blob, meta=meta)
    return scores


# Health need: limitations, chronic disease, fair or poor self-rated health
# and doctor visits all raise the index.
SCHEMA = {
    "health": ["physlm", "disea", "hlthf", "hlthp"],
    "utilisation": ["mdvis"],
}


def main(partitions: int = 8, sample_size: int = 3000, scheduler: str = "threads") -> pd.Series:
    data = sm.datasets.randhie.load_pandas().data
    table = dd.from_pandas(data, npartitions=partitions)

    model = indexfuse.indexpca_diment(SCHEMA)
    model.fit(data.sample(sample_size, random_state=0))

    scores: pd.Series = score_dask(table, model).compute(scheduler=scheduler)
    print(f"{len(scores)} rows scored in {table.npartitions} partitions")
    print(scores.describe().round(3).to_string())
    return scores


if __name__ == "__main__":
    # Optional argument: the Dask scheduler, e.g. "processes" or "sync".
    main(scheduler=sys.argv[1] if len(sys.argv) > 1 else "threads")
