"""Principal-component weights for the indicator columns of one dimension."""

from __future__ import annotations

import math
from typing import Any, cast

import numpy as np
import pandas as pd

from tessel.validation import check_choice, describe, frame_non_numeric, frame_to_float
from tessel.process import SCALE_METHODS, _affine

__all__ = ["PCA", "NotFittedError"]

# Components whose entries sum to less than this (in absolute value) count as
# balanced: their sign is then set by the first entry larger than it.
_TIE = 1e-10
# Rounding allowance when comparing cumulative explained-variance ratios, and
# the relative gap below which two eigenvalues count as equal (their
# eigenvectors are then an arbitrary basis of one eigenspace).
_RATIO_SLACK = 1e-12
_EQUAL_EIGENVALUES = 1e-9


class NotFittedError(ValueError, AttributeError):
    """A :class:`PCA` was used (scored, or its statistics read) before ``fit``."""


NotFittedError.__module__ = "tessel.modelbench"


def _numeric_matrix(frame: Any, action: str) -> tuple[np.ndarray, pd.Index | None, list[Any]]:
    """(float64 values, row index or None, column labels) of a numeric 2-D input."""
    if isinstance(frame, pd.DataFrame):
        bad = frame_non_numeric(frame)
        if bad:
            raise ValueError(
                f"{action} needs numeric columns; non-numeric columns (position label: dtype): "
                + "; ".join(bad)
            )
        return frame_to_float(frame), frame.index, list(frame.columns)
    try:
        array = np.asarray(frame)
    except (TypeError, ValueError) as exc:
        raise ValueError(f"{action} needs a DataFrame or a 2-D numeric array: {exc}") from None
    if array.ndim != 2:
        raise ValueError(
            f"{action} needs a DataFrame or a 2-D numeric array, got {type(frame).__name__} "
            f"of shape {array.shape}"
        )
    if array.dtype.kind not in "biuf":
        raise ValueError(f"{action} needs numeric values, got an array of dtype {array.dtype}")
    return array.astype(np.float64, copy=False), None, list(range(array.shape[1]))


def _orient(vector: np.ndarray) -> np.ndarray:
    """Flip ``vector`` so its entries sum to a positive number (first clear entry on a tie).

    For display only: the coefficients do not depend on the sign of any component.
    """
    total = vector.sum()
    if abs(total) > _TIE:
        return -vector if total < 0 else vector
    clear = np.flatnonzero(np.abs(vector) > _TIE)
    if clear.size and vector[clear[0]] < 0:
        return -vector
    return vector


class PCA:
    """Principal-component coefficients of a set of indicator columns.

    The columns are scaled (see :func:`tessel.process.scale`), the covariance
    matrix ``C`` of the scaled data is decomposed into eigenvalues
    ``lambda_j`` and unit eigenvectors ``v_j``, and the leading components
    are combined into one coefficient per column::

        raw = sum over kept j of lambda_j**2 * v_j * (v_j . 1)
        coef = raw / sum(abs(raw))

    With every component kept, ``raw = C @ (C @ 1)``: ``C @ 1`` holds each
    column's covariance with the equal-weight sum of the scaled columns, and
    ``raw`` each column's covariance with the sum weighted by those. See the
    Notes for why.

    Parameters
    ----------
    cumulative : float, default 1
        Share of the explained variance, in ``(0, 1]``, that the kept
        components must reach. ``1`` keeps every component.
    scale_method : {"max_min", "z_score"}, default "max_min"
        How each column is scaled before the decomposition.

    Raises
    ------
    ValueError
        If ``cumulative`` is not a number in ``(0, 1]`` or ``scale_method`` is
        not one of the accepted methods.

    Attributes
    ----------
    max, min, mean, std : list of float
        Per-column maximum, minimum, mean and sample standard deviation
        (``ddof=1``) of the fitted frame, in column order.
    coef : list of float
        One coefficient per column; ``sum(abs(coef)) == 1``.
    eigenvalues : numpy.ndarray
        All eigenvalues of the scaled covariance matrix, largest first.
    components : numpy.ndarray
        Eigenvectors as rows, in the order of ``eigenvalues``. For display
        each is oriented so its entries sum to a positive number (or, if they
        sum to zero, so its first non-zero entry is positive); ``coef`` does
        not depend on these signs.
    explained_variance_ratio : numpy.ndarray
        ``eigenvalues / eigenvalues.sum()`` (zeros when there is no variance).
    n_components : int
        Number of leading components kept: the fewest whose explained
        variance reaches ``cumulative``, plus any whose eigenvalue equals that
        of the last one kept.
    n_features : int
        Number of columns of the fitted frame.

    Reading any of these before :meth:`fit` raises :class:`NotFittedError`
    (a subclass of both ``ValueError`` and ``AttributeError``).

    Notes
    -----
    Why this combination. Interchangeable indicators should get equal
    coefficients, and a coefficient should not move when the columns are
    reordered, when a component's sign flips, or when the data change a
    little. Components after the first are nearly orthogonal to the
    all-ones direction, so any rule that orients them by a sign (for
    instance "entries sum to a positive number") switches on tiny changes of
    the data and moves the coefficients by whole components. Weighting each
    component by its projection ``v_j . 1`` instead is continuous: such a
    component contributes in proportion to how much it moves the
    equal-weight sum, which is little. The result is permutation-equivariant
    and invariant to every eigenvector's sign and to the choice of basis
    within an eigenspace of equal eigenvalues (which is why tied eigenvalues
    are kept or dropped together).

    Why ``lambda_j**2`` rather than ``lambda_j``. With ``lambda_j`` alone
    (``C @ 1`` when all are kept) each column's own variance counts in its
    favour, so an indicator whose direction is wrong stays positive unless
    its anticorrelation with the others outweighs its own variance; on
    typical data it is missed more often than not. The second power is one
    step from the equal-weight sum towards the first principal component: a
    column that disagrees with the majority gets a negative covariance with
    their provisional composite, comes out negative and is reported as
    abnormal by :meth:`score`, while the coefficients keep the stability of
    the equal-weight sum. Two columns that run against each other are
    symmetric under ``"z_score"`` scaling, so no rule that ignores column
    order can tell which one is reversed: both get 0.5.

    Degenerate cases: a constant column gets exactly 0 (it is left out of
    the decomposition); when ``raw`` is all zeros (every column constant, or
    columns that cancel, such as ``x`` and ``-x``, so that the equal-weight
    sum does not vary) the coefficients fall back to equal shares of the
    non-constant columns (of all columns if every one is constant).

    Columns are handled by position, never by label, so frames with duplicate
    or tuple labels work. Fitting costs one pass over the data for the
    statistics and one float64 matrix product for the covariance. Fitted
    objects can be pickled.

    Examples
    --------
    >>> import numpy as np, pandas as pd
    >>> rng = np.random.default_rng(0)
    >>> base = rng.normal(size=500)
    >>> frame = pd.DataFrame({"a": base + rng.normal(size=500), "b": base})
    >>> values, coef, abnormal = PCA().fit(frame).score(frame)
    >>> round(sum(abs(c) for c in coef), 12), abnormal
    (1.0, [])
    """

    def __init__(self, cumulative: float = 1, scale_method: str = "max_min") -> None:
        if (
            isinstance(cumulative, (bool, np.bool_))
            or not isinstance(cumulative, (int, float, np.integer, np.floating))
            or not 0 < float(cumulative) <= 1
        ):
            raise ValueError(
                f"cumulative must be a number in (0, 1] (the share of explained variance "
                f"to keep), got {describe(cumulative)}"
            )
        self.cumulative: float = float(cumulative)
        self.scale_method: str = check_choice(scale_method, "scale_method", SCALE_METHODS)
        self._fitted: dict[str, Any] | None = None

    def __repr__(self) -> str:
        return f"PCA(cumulative={self.cumulative!r}, scale_method={self.scale_method!r})"

    # ------------------------------------------------------------- state --

    def _state(self, name: str) -> Any:
        fitted = self.__dict__.get("_fitted")
        if fitted is None:
            raise NotFittedError(
                f"this PCA is not fitted yet, so it has no {name}: call fit(frame) first"
            )
        return fitted[name]

    @property
    def max(self) -> list[float]:
        """Per-column maximum of the fitted frame."""
        return cast(list[float], self._state("max"))

    @property
    def min(self) -> list[float]:
        """Per-column minimum of the fitted frame."""
        return cast(list[float], self._state("min"))

    @property
    def mean(self) -> list[float]:
        """Per-column mean of the fitted frame."""
        return cast(list[float], self._state("mean"))

    @property
    def std(self) -> list[float]:
        """Per-column sample standard deviation (``ddof=1``) of the fitted frame."""
        return cast(list[float], self._state("std"))

    @property
    def coef(self) -> list[float]:
        """Per-column coefficients, ``sum(abs(coef)) == 1``."""
        return cast(list[float], self._state("coef"))

    @property
    def eigenvalues(self) -> np.ndarray:
        """Eigenvalues of the scaled covariance matrix, largest first."""
        return cast(np.ndarray, self._state("eigenvalues"))

    @property
    def components(self) -> np.ndarray:
        """Eigenvectors as rows, in the order of :attr:`eigenvalues` (signs for display only)."""
        return cast(np.ndarray, self._state("components"))

    @property
    def explained_variance_ratio(self) -> np.ndarray:
        """Share of the total variance carried by each component."""
        values = self.eigenvalues
        total = values.sum()
        return values / total if total > 0 else np.zeros_like(values)

    @property
    def n_components(self) -> int:
        """Number of leading components kept."""
        return cast(int, self._state("n_components"))

    @property
    def n_features(self) -> int:
        """Number of columns of the fitted frame."""
        return cast(int, self._state("n_features"))

    @property
    def is_fitted(self) -> bool:
        """Whether :meth:`fit` has been called."""
        return self.__dict__.get("_fitted") is not None

    # ----------------------------------------------------------- fitting --

    def _offset_width(self) -> tuple[np.ndarray, np.ndarray]:
        fitted = self._fitted
        assert fitted is not None
        if self.scale_method == "max_min":
            low = np.asarray(fitted["min"])
            return low, np.asarray(fitted["max"]) - low
        return np.asarray(fitted["mean"]), np.asarray(fitted["std"])

    def fit(self, frame: pd.DataFrame) -> PCA:
        """Fit the scaling statistics, the decomposition and the coefficients.

        Parameters
        ----------
        frame : pandas.DataFrame
            At least 2 rows and 1 column, all numeric (int, float, bool or
            nullable numeric dtypes), with no missing or infinite value. A 2-D
            numeric numpy array is accepted too.

        Returns
        -------
        PCA
            ``self``, fitted.

        Raises
        ------
        ValueError
            For fewer than 2 rows, no columns, non-numeric columns, or columns
            with missing or infinite values; the message names the offending
            columns by position and label.
        """
        values, _, labels = _numeric_matrix(frame, "fit")
        n, d = values.shape
        if d == 0:
            raise ValueError("fit needs at least 1 column, got a frame with 0 columns")
        if n < 2:
            raise ValueError(f"fit needs at least 2 rows, got {n}")
        finite = np.isfinite(values).all(axis=0)
        if not finite.all():
            bad = "; ".join(f"{pos} {labels[pos]!r}" for pos in np.flatnonzero(~finite))
            raise ValueError(
                "fit needs a frame without missing or infinite values; offending columns "
                f"(position label): {bad}"
            )

        high = values.max(axis=0)
        low = values.min(axis=0)
        mean = values.mean(axis=0)
        centred = values - mean
        cov = centred.T @ centred
        cov /= n - 1
        del centred
        std = np.sqrt(np.clip(np.diag(cov), 0.0, None))

        # Covariance of the scaled data: scaling column i by 1 / w_i scales
        # cov[i, j] by 1 / (w_i w_j); a constant column scales to all zeros.
        width = high - low if self.scale_method == "max_min" else std
        active = width > 0
        inverse = np.zeros(d)
        inverse[active] = 1.0 / width[active]
        scaled_cov = cov * np.outer(inverse, inverse)

        eigenvalues, components = self._decompose(scaled_cov, active)
        n_components = self._count_kept(eigenvalues)
        coef = self._coefficients(eigenvalues[:n_components], components[:n_components], active)

        self._fitted = {
            "max": [float(v) for v in high],
            "min": [float(v) for v in low],
            "mean": [float(v) for v in mean],
            "std": [float(v) for v in std],
            "eigenvalues": eigenvalues,
            "components": components,
            "n_components": n_components,
            "coef": coef,
            "n_features": d,
        }
        return self

    @staticmethod
    def _decompose(matrix: np.ndarray, active: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """Eigenvalues (largest first) and oriented eigenvectors (rows).

        Constant columns are left out of the decomposition: each gets the
        exact unit vector with eigenvalue 0, after the others, so rounding
        noise never gives them a coefficient.
        """
        d = matrix.shape[0]
        index = np.flatnonzero(active)
        eigenvalues = np.zeros(d)
        components = np.zeros((d, d))
        if index.size:
            vals, vecs = np.linalg.eigh(matrix[np.ix_(index, index)])
            order = np.argsort(vals, kind="stable")[::-1]
            eigenvalues[: index.size] = np.clip(vals[order], 0.0, None)
            for row, col in enumerate(order):
                components[row, index] = _orient(vecs[:, col])
        for row, col in enumerate(np.flatnonzero(~active), start=index.size):
            components[row, col] = 1.0
        return eigenvalues, components

    def _count_kept(self, eigenvalues: np.ndarray) -> int:
        d = eigenvalues.size
        total = eigenvalues.sum()
        if self.cumulative >= 1 or total <= 0:
            return d
        ratio = np.cumsum(eigenvalues) / total
        kept = min(d, int(np.searchsorted(ratio, self.cumulative - _RATIO_SLACK)) + 1)
        # Within an eigenspace of equal eigenvalues the eigenvectors are an
        # arbitrary basis: keep all of it or none, or coef would depend on it.
        last = eigenvalues[kept - 1]
        while kept < d and last - eigenvalues[kept] <= _EQUAL_EIGENVALUES * eigenvalues[0]:
            kept += 1
        return kept

    @staticmethod
    def _coefficients(
        eigenvalues: np.ndarray, components: np.ndarray, active: np.ndarray
    ) -> list[float]:
        """``sum_j lambda_j**2 v_j (v_j . 1)``, normalised to ``sum(abs(coef)) == 1``."""
        weight = eigenvalues**2
        raw = components.T @ (weight * components.sum(axis=1))
        size = np.abs(raw).sum()
        # Each term is at most lambda_j**2 * d in absolute sum: below rounding
        # noise of that, raw carries no direction.
        noise = _RATIO_SLACK * raw.size * weight.sum()
        if size > noise and math.isfinite(size):
            return [float(v) for v in raw / size]
        share = active if active.any() else np.ones_like(active)
        return [float(v) for v in share / share.sum()]

    # ----------------------------------------------------------- scoring --

    def score(self, frame: pd.DataFrame) -> tuple[pd.Series, list[float], list[float]]:
        """Weighted sum of the scaled columns.

        Parameters
        ----------
        frame : pandas.DataFrame
            Numeric frame with as many columns as the fitted one, in the same
            order (columns are matched by position). It is scaled with the
            statistics stored by :meth:`fit`, like
            ``process.scale(column, method, range=(min, max), mean=mean, std=std)``.
            Rows with a missing value score NaN.

        Returns
        -------
        values : pandas.Series
            ``scaled_frame @ coef``, float64, over the frame's rows (its index).
        coef : list of float
            The fitted coefficients (a copy).
        abnormal : list of float
            The coefficients that are negative or not finite. A negative
            coefficient is an indicator pulling against the rest of its
            dimension, usually a column whose direction is wrong.

        Raises
        ------
        NotFittedError
            If :meth:`fit` has not been called (a ``ValueError`` and an
            ``AttributeError``).
        ValueError
            If the frame has non-numeric columns, a different number of
            columns than the fitted frame, or infinite values (missing ones
            are fine); the message names the offending columns.
        """
        if not self.is_fitted:
            raise NotFittedError("score needs a fitted PCA: call fit(frame) before score(frame)")
        coef = self.coef
        values, index, labels = _numeric_matrix(frame, "score")
        d = self.n_features
        if values.shape[1] != d:
            raise ValueError(
                f"score needs a frame with the {d} column(s) the PCA was fitted on, "
                f"got {values.shape[1]}"
            )
        infinite = np.isinf(values).sum(axis=0)
        if infinite.any():
            bad = "; ".join(
                f"{pos} {labels[pos]!r}: {infinite[pos]}" for pos in np.flatnonzero(infinite)
            )
            raise ValueError(
                "score needs finite values (missing ones score NaN); columns with infinite "
                f"values (position label: count): {bad}"
            )
        offset, width = self._offset_width()
        result = _affine(values, offset, width) @ np.asarray(coef)
        abnormal = [c for c in coef if not (math.isfinite(c) and c >= 0)]
        series = pd.Series(result, index=index, dtype=np.float64, copy=False)
        return series, list(coef), abnormal


PCA.__module__ = "tessel.modelbench"
