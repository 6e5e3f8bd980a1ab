from collections.abc import Buffer

def sum_log_kth(x: Buffer, k: int, floor: float, /) -> float:
    """Sum of log(max(r_i, floor)) over a C-contiguous float64 vector, where r_i
    is the distance from point i to its k-th nearest other point."""
