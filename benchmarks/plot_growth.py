"""Log-log plot of fit and score time against the number of rows, both implementations."""

from __future__ import annotations

from pathlib import Path


def plot(rows: list[dict], path: Path, n_cores: int) -> Path:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    sizes = [r["n"] for r in rows]
    fig, axes = plt.subplots(1, 2, figsize=(10, 4.2), sharex=True)
    for ax, step in zip(axes, ("fit", "score")):
        ax.loglog(sizes, [r[f"{step}_indexfuse_s"] for r in rows], "o-", label="indexfuse")
        ax.loglog(sizes, [r[f"{step}_plain_s"] for r in rows], "s--",
                  label="pandas + scikit-learn + cKDTree")
        ax.set_title(f"{step}")
        ax.set_xlabel("rows")
        ax.set_ylabel("seconds (median)")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend()
    fig.suptitle(f"Cost against rows: 40 indices in 8 groups, {n_cores} cores")
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path
