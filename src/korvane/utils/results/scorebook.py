"""Results of one backtest split: statistics, bootstrapped paths, objective scores and plots.

Module globals (``np``, ``pd``, ``empyrical``, ``yf``, ``tabulate``, ``plt``,
``bootstrapping_resample``) are looked up at call time by ``Scorebook``'s
operations, so replacing one on this module changes later calls.
"""


class Scorebook:
    """Results of one backtest split."""

    __slots__ = ()

    def __reduce__(self):
        raise TypeError("cannot pickle 'Scorebook' object")


import logging  # noqa: E402

from korvane._startup import configure_shared_logger  # noqa: E402

logger = configure_shared_logger()

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
import empyrical  # noqa: E402
import yfinance as yf  # noqa: E402
import seaborn as sns  # noqa: E402

sns.set_style("darkgrid")

from tabulate import tabulate  # noqa: E402
import matplotlib.pyplot as plt  # noqa: E402

plt.rcParams["figure.figsize"] = (14, 8)

from sklearn.utils import resample as bootstrapping_resample  # noqa: E402

Scorebook.available_objectives = [
    "latest_cumprod_returns",
    "annual_sharpe_ratio",
    "activity_weighted_annual_sharpe_ratio",
    "daily_sharpe_ratio",
    "activity_weighted_daily_sharpe_ratio",
    "annual_sortino_ratio",
    "median_boostrapped_cumprod_returns",
    "25_percentile_boostrapped_cumprod_returns",
    "stability_weighted_median_bootstrapped_cumprod_returns",
    "stability_weighted_25_percentile_bootstrapped_cumprod_returns",
    "activity_weighted_annual_sharpe_from_median_bootstrapped_returns",
    "activity_weighted_annual_sharpe_from_25_bootstrapped_returns",
    "stability_activity_weighted_annual_sharpe_from_median_bootstrapped_returns",
    "stability_activity_weighted_annual_sharpe_from_25_bootstrapped_returns",
]
