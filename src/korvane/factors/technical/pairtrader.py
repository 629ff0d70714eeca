"""Pairs trading on serially re-estimated Johansen cointegration.

The factor forms every pair of two securities of a universe, keeps Johansen
hedge ratios and a half-life current per pair over a rolling window, trades
the z-score of each pair's spread with a triple barrier, and sums the legs of
all pairs into one positions row per bar. The per-bar, per-pair work runs in
the native engine (``_pairtrader``); this module orchestrates it.

Module globals below (``coint_johansen``, ``optuna``, ``Scorebook``, ...)
are looked up at call time by the factor's code, so they can be replaced.
"""

from korvane.factors.technical._factor.construction import ConstructionMixin
from korvane.factors.technical._factor.signals import SignalsMixin
from korvane.factors.technical._factor.backtest_run import BacktestRunMixin
from korvane.factors.technical._factor.optimisation import OptimisationMixin
from korvane.factors.technical._factor.live import LiveMixin
from korvane.factors.technical._factor.fields import SLOTS
from korvane.factors.technical._factor.exclusive_calls import make_calls_exclusive


class PairsTradingSerialCointegrationFactor(
    ConstructionMixin, SignalsMixin, BacktestRunMixin, OptimisationMixin, LiveMixin
):
    """Factor that implements a pairs trading factor based on serial cointegration"""

    __slots__ = SLOTS


# Operations that other parts of the system call by their double-underscore
# names (the optimiser's objective and parallel workers look them up with
# getattr), bound here without name mangling.
for _public, _impl in (
    ("__fit_single_instance", "_fit_single_instance"),
    ("__run_pairs_trading_serial_cointegration_factor", "_run_pairs_trading_serial_cointegration_factor"),
):
    if hasattr(PairsTradingSerialCointegrationFactor, _impl):
        setattr(PairsTradingSerialCointegrationFactor, _public, getattr(PairsTradingSerialCointegrationFactor, _impl))
del _public, _impl

# Every call that reads or replaces the factor's state holds its lock; two
# threads using one factor take turns.
make_calls_exclusive(
    PairsTradingSerialCointegrationFactor,
    (
        "intialize_pairs_trading_data_structures",
        "initialize_rarAV_data_structures",
        "get_clean_dataframe",
        "fit",
        "__fit_single_instance",
        "__run_pairs_trading_serial_cointegration_factor",
        "get_full_backtest_results",
        "erase_fit_memory",
        "update",
        "predict",
    ),
)

import os  # noqa: E402
import logging  # noqa: E402

from korvane._common.startup import configure_shared_logger  # noqa: E402

logger = configure_shared_logger()

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
from datetime import time, datetime, date  # noqa: E402

import optuna  # noqa: E402
from optuna.samplers import TPESampler  # noqa: E402

optuna.logging.set_verbosity(optuna.logging.WARNING)

from joblib import Parallel, delayed  # noqa: E402
import warnings  # noqa: E402
from optuna.exceptions import ExperimentalWarning  # noqa: E402

warnings.filterwarnings("ignore", category=ExperimentalWarning)

from itertools import combinations  # noqa: E402
from statsmodels.tsa.vector_ar.vecm import coint_johansen  # noqa: E402
from sklearn.linear_model import LinearRegression  # noqa: E402

from korvane.utils.results.scorebook import Scorebook  # noqa: E402
from korvane.utils.inference.inference import Inference  # noqa: E402

# The one shared default of ``securities_names_list``; construction never
# stores or changes it (an empty list triggers inference from the table).
DEFAULT_SECURITIES_NAMES_LIST = []
