"""A factor with hand-set fields and a stand-in signal engine.

Used where a test needs exact control of the raw positions, the recorded
trades or the classifier check, and for the pure split helpers.
"""

import numpy as np
import pandas as pd

from korvane.factors.technical._factor.fields import reset_fields
from korvane.factors.technical.pairtrader import PairsTradingSerialCointegrationFactor

PARAMS = {
    "size_of_rolling_windows": 31,
    "zscore_halflife_multiplier": 1.0,
    "starting_sd_for_position_entry": 2,
    "rolling_volatility_halflife_multiplier": 1.0,
    "take_profit_std_multiplier": 1.0,
    "take_profit_current_volatility_multiplier_sensitivity_at_time_of_entry": 1.0,
    "take_profit_current_volatility_multiplier_sensitivity_at_adjustment": 1.0,
    "stop_loss_std_multiplier": 1.0,
    "stop_loss_current_volatility_multiplier_sensitivity_at_time_of_entry": 1.0,
    "stop_loss_current_volatility_multiplier_sensitivity_at_adjustment": 1.0,
    "time_stop_halflife_multiplier": 1.0,
    "time_stop_adjustment_sensitivity": 1.0,
}


class StandInFactor(PairsTradingSerialCointegrationFactor):
    """The factor with its signal engine and parameter draw replaced.

    The engine writes a fixed raw positions matrix and records one closed
    trade per run entered at a chosen bar, so runs are cheap and exact.
    """

    __slots__ = ("stub_positions", "stub_trade_entry_bars", "stub_calls", "stub_ready")

    def _get_positions_from_rolling_cube_for_pairs_trading_serial_cointegration_factor(
        self, params, data_matrix, size_of_rolling_windows, is_optimising=False
    ):
        self.stub_calls.append(("engine", size_of_rolling_windows, is_optimising, data_matrix))
        self._raw_positions_matrix_array = self.stub_positions.copy()
        for bar in self.stub_trade_entry_bars:
            record = dict(self._rarav_clean_single_trade_store_dict)
            record["time_of_entry"] = self._data_datetime_array[bar]
            record["time_of_exit"] = self._data_datetime_array[min(bar + 3, self._datetime_length - 1)]
            record["trade_label"] = 1
            record["trade_returns"] = 0.01 * (bar + 1)
            record["trade_securities"] = ("S0", "S1")
            self._rarav_trades_store_dict[self._rarav_trades_count] = record
            self._rarav_trades_count += 1
        return self._raw_positions_matrix_array

    def _get_trial_params_for_pairs_trading_serial_cointegration_factor(self, trial):
        self.stub_calls.append(("trial_params", trial))
        return dict(PARAMS)

    def _check_if_rarAV_optimal_entry_exists_and_load(self):
        self.stub_calls.append(("readiness",))
        return self.stub_ready


def build_factor(bars=200, securities=3, seed=0, resolution=60, train_split_ratio=0.8, objective="latest_cumprod_returns"):
    rng = np.random.default_rng(seed)
    factor = object.__new__(StandInFactor)
    reset_fields(factor)
    names = [f"S{k}" for k in range(securities)]
    close = 50.0 * np.exp(np.cumsum(rng.normal(0, 0.01, size=(bars, securities)), axis=0))
    raw = rng.normal(size=(bars, securities))
    raw[: PARAMS["size_of_rolling_windows"]] = 0.0
    raw[rng.uniform(size=bars) < 0.3] = 0.0
    times = pd.date_range("2021-01-04", periods=bars, freq=f"{resolution}min").as_unit("ns").to_numpy()
    factor.stub_positions = raw
    factor.stub_trade_entry_bars = []
    factor.stub_calls = []
    factor.stub_ready = True
    for name, value in {
        "objective": objective,
        "universe_name": "test",
        "study_name": "PairsTradingSerialCointegrationFactor",
        "securities_names_list": names,
        "market_value_pct_commissions": 0.001,
        "bid_ask_spread_pct_slippage": 0.5,
        "starting_equity": 100000.0,
        "pct_equity_invested": 0.9,
        "train_split_ratio": train_split_ratio,
        "resolution_in_mins": resolution,
        "datetime_length": bars,
        "number_of_securities": securities,
        "scale_equity_to_traded_securities": True,
        "data_datetime_array": times,
        "data_matrix": np.repeat(close, 5, axis=1),
        "close_columns_only_data_matrix_array": close,
        "estimated_proportional_slippage_array": rng.uniform(0.001, 0.01, size=securities),
        "rarav_trades_count": 0,
        "rarav_clean_single_trade_store_dict": dict.fromkeys(
            ("time_of_entry", "time_of_exit", "trade_label", "trade_returns", "trade_securities", "features")
        ),
        "rarav_trades_store_dict": {},
        "rarAV_optimal_entry_ready": False,
    }.items():
        setattr(factor, "_" + name, value)
    return factor
