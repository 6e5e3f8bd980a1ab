from collections.abc import Buffer

#: |x| / resolution must stay below this for the grid of the resolution to be exact (2**52).
GRID_LIMIT: float

def sum_log_kth(x: Buffer, k: int, resolution: float, /) -> float:
    """Sum of log r_i over a sorted C-contiguous float64 vector, where r_i is the
    distance from point i to its k-th nearest other point, or, for the points of
    a tie group of c > k values in one cell of the grid of width ``resolution``,
    exp(psi(k) - psi(c)) * resolution / 2."""
