"""What the signal tests share: the strategy parameters (all but the window), a closes matrix, a bare engine."""

import numpy as np

from korvane import _kernels
from korvane._common.synthetic_universe import PriceModel, close_matrix
from korvane.factors.technical import _pairtrader

ENGINE_PARAMS = {
    "zscore_halflife_multiplier": 3.0,
    "starting_sd_for_position_entry": 1,
    "rolling_volatility_halflife_multiplier": 2.0,
    "take_profit_std_multiplier": 1.5,
    "take_profit_current_volatility_multiplier_sensitivity_at_time_of_entry": 0.7,
    "take_profit_current_volatility_multiplier_sensitivity_at_adjustment": 0.9,
    "stop_loss_std_multiplier": 2.0,
    "stop_loss_current_volatility_multiplier_sensitivity_at_time_of_entry": 1.1,
    "stop_loss_current_volatility_multiplier_sensitivity_at_adjustment": 1.2,
    "time_stop_halflife_multiplier": 2.0,
    "time_stop_adjustment_sensitivity": 0.8,
}


def universe(bars, seed, cointegrated=3, independent=2, persistence=0.8):
    """Closes: ``cointegrated`` securities on one common trend, then ``independent`` random walks."""
    # The walks' levels run 40, 47, 54, ... from the first walk on.
    model = PriceModel(persistence=persistence, walk_first_price=40.0 - 7.0 * cointegrated, walk_price_step=7.0)
    return close_matrix(cointegrated + independent, bars, seed, model, cointegrated=range(cointegrated))


def engine_for(closes, window, bars_per_day):
    """A native engine over every pair of the closes' columns, with its layout, intervals and parameters."""
    n = closes.shape[1]
    first, second = zip(*[(a, b) for a in range(n) for b in range(a + 1, n)])
    engine = _pairtrader.PairEngine(np.array(first, dtype=np.int64), np.array(second, dtype=np.int64))
    layout = np.arange(n, dtype=np.int64)
    intervals = _kernels.Intervals(new_spread_update=bars_per_day, johansen_resampling=bars_per_day,
                                   triple_barrier_update=bars_per_day, max_zscore_window=len(closes) // 2)
    params = _kernels.engine_params(ENGINE_PARAMS)
    return engine, layout, intervals, params
