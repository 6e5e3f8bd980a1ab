"""Every chart of the package, each drawn in the one look of :mod:`.style`.

Each function takes the table (or model) it draws and returns a
:class:`matplotlib.figure.Figure`, new or the one of the ``ax`` given; none
touches pyplot's state. matplotlib is imported only when a chart is drawn.
"""

from indexfuse_tools._plots.correlations import plot_correlations
from indexfuse_tools._plots.distribution import decimals, plot_distribution
from indexfuse_tools._plots.editions import plot_change, plot_trajectories
from indexfuse_tools._plots.maps import plot_map
from indexfuse_tools._plots.ranking import plot_ranking
from indexfuse_tools._plots.robustness import plot_rank_intervals, plot_sensitivity_indices
from indexfuse_tools._plots.style import style
from indexfuse_tools._plots.weights import plot_effective_weights, plot_weight_intervals, plot_weights

__all__ = [
    "plot_weights",
    "plot_effective_weights",
    "plot_weight_intervals",
    "plot_distribution",
    "plot_correlations",
    "plot_ranking",
    "plot_map",
    "plot_trajectories",
    "plot_change",
    "plot_rank_intervals",
    "plot_sensitivity_indices",
    "style",
    "decimals",
]
