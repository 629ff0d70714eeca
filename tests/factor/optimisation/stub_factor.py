"""A minimal factor for testing the optimisation mixin on its own.

It carries the factor's fields (at their start values) and replaces the
backtest run with a cheap deterministic score of the drawn parameters, so
trials cost milliseconds and the search machinery (studies, seeds, workers) is
what is exercised. It pickles, like the real factor, as a rebuild function plus its
constructor values; worker processes import this module by name.
"""

import multiprocessing
import os
import time

import korvane.factors.technical.pairtrader  # noqa: F401  (module globals the mixin looks up)
from korvane.factors.technical._factor.fields import SLOTS, reset_fields
from korvane.factors.technical._factor.optimisation import OptimisationMixin


def rebuild_stub_factor(*arguments):
    return StubFactor(*arguments)


class StubFactor(OptimisationMixin):
    # The factor's own fields, then the stub's records. The train trade table
    # is a plain slot here (the real factor builds it from the run's tables).
    __slots__ = SLOTS + ("_rarav_train_trades_store_df", "_die_at_trial_number", "_runs", "_resets")

    constructed = 0  # constructions in this process

    def __init__(
        self,
        universe_name="stub",
        resolution_in_mins=60,
        objective="latest_cumprod_returns",
        datetime_length=400,
        die_at_trial_number=None,
        rarAV_signalforge=None,
        rarAV_optimal_entry_model=None,
    ):
        StubFactor.constructed += 1
        reset_fields(self)
        self._rarav_train_trades_store_df = None
        self._universe_name = universe_name
        self._resolution_in_mins = resolution_in_mins
        self._objective = objective
        self._study_name = "PairsTradingSerialCointegrationFactor"
        self._datetime_length = datetime_length
        self._die_at_trial_number = die_at_trial_number
        self._rarAV_signalforge = rarAV_signalforge
        self._rarAV_optimal_entry_model = rarAV_optimal_entry_model
        self._fit_rarAV = False
        self._runs = []
        self._resets = 0
        import numpy as np

        self._data_datetime_array = np.arange(
            np.datetime64("2021-01-01T00:00"), np.datetime64("2021-01-01T00:00") + 10, dtype="datetime64[m]"
        ).astype("datetime64[ns]")

    def __reduce__(self):
        # Same layout as the real factor's rebuild values: positions 5 and 6
        # hold the feature generator and the classifier.
        return rebuild_stub_factor, (
            self._universe_name,
            self._resolution_in_mins,
            self._objective,
            self._datetime_length,
            self._die_at_trial_number,
            self._rarAV_signalforge,
            self._rarAV_optimal_entry_model,
        )

    def _run_pairs_trading_serial_cointegration_factor(
        self, trial, is_optimising=True, optimal_params=None, use_rarAV_if_ready=True
    ):
        self._runs.append((is_optimising, optimal_params, use_rarAV_if_ready, os.getpid()))
        if not is_optimising:
            self._rarav_train_trades_store_df = "train-trades"
            return ("results", optimal_params)
        params = self._get_trial_params_for_pairs_trading_serial_cointegration_factor(trial)
        if self._die_at_trial_number is not None and trial.number == self._die_at_trial_number:
            os._exit(3)
        if multiprocessing.parent_process() is not None:
            # Lets a test catch workers in the middle of their trials.
            time.sleep(float(os.environ.get("STUB_WORKER_TRIAL_SECONDS", "0")))
        # Lets a test catch any process in the middle of a trial.
        time.sleep(float(os.environ.get("STUB_TRIAL_SECONDS", "0")))
        gate = os.environ.get("STUB_TRIAL_GATE")
        while gate and not os.path.exists(gate):  # holds every trial until the test opens the gate
            time.sleep(0.01)
        return -((params["zscore_halflife_multiplier"] - 3.0) ** 2)

    def initialize_rarAV_data_structures(self, rarAV_signalforge, rarAV_optimal_entry_model):
        self._rarAV_signalforge = rarAV_signalforge
        self._rarAV_optimal_entry_model = rarAV_optimal_entry_model
        self._resets += 1

    def _preprocess_train_trades_store_df_for_rarAV(self, rarav_train_trades_store_df, impact_col="trade_returns"):
        return ("X", "y", "entry", "exit", ("impact", rarav_train_trades_store_df, impact_col))


setattr(StubFactor, "__fit_single_instance", StubFactor._fit_single_instance)
setattr(
    StubFactor,
    "__run_pairs_trading_serial_cointegration_factor",
    StubFactor._run_pairs_trading_serial_cointegration_factor,
)
